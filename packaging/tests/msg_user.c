/* A gateway program of its own, built against the installed message library
 * as the firmware's build would (pkg-config): writes a report as XML and
 * reads it back, once as written and once behind an XML declaration, which
 * only the full reader (expat) takes. Exit status 0 when both agree. */
#include <dornix/message.h>
#include <stdio.h>
#include <string.h>

static int read_back(const char *text) {
  msg_record *m = msg_parse(text, (int)strlen(text));
  int ok = m != NULL && msg_getType(m) == MSG_REPORT &&
           strcmp(msg_getReportName(m), "up") == 0 && strcmp(msg_getReportText(m), "a<b") == 0;
  msg_free(m);
  return ok;
}

int main(void) {
  char xml[512], declared[600];
  msg_record *m = msgr_makeReport("fw", "pc", "up", "42", "a<b", 3);
  int n = msg_makeXML(xml, sizeof xml, m);
  msg_free(m);
  if (n <= 0) return 1;
  snprintf(declared, sizeof declared, "<?xml version=\"1.0\"?>%s", xml);
  if (!read_back(xml) || !read_back(declared)) {
    fprintf(stderr, "msg_user: %s not read back\n", xml);
    return 1;
  }
  puts(xml);
  return 0;
}
