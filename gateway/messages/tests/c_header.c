/* Proves that the public headers are C: builds a query and sends it. */
#include <stdlib.h>
#include <string.h>

#include "comm.h"
#include "message.h"

int c_send_query(const char *key) {
  msg_record *q = msgr_makeTransQuery("fw", "logic", NULL, key);
  if (q == NULL || !msg_isTrans(q) || msg_getTransType(q) != TRANS_QUERY) {
    msg_free(q);
    return -100;
  }
  if (msgr_addTransValues(q, 2, "a", (const char *)NULL) != 0) {
    msg_free(q);
    return -101;
  }
  return msg_send(q); /* takes the message over */
}

/* Records are plain: a C caller may fill and release them by hand. */
int c_hand_made_record(char *out, size_t size) {
  msg_record *m = (msg_record *)calloc(1, sizeof *m);
  if (m == NULL) return -1;
  m->to = strdup("pc");
  m->from = strdup("fw");
  m->type = MSG_REPORT;
  m->report = (report_record *)calloc(1, sizeof *m->report);
  if (m->report != NULL) m->report->name = strdup("up");
  int n = msg_makeXML(out, size, m);
  msg_free(m);
  return n;
}
