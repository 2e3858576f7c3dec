// Message builders: complete records from plain arguments, and their send
// variants (builder followed by msg_send).
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "msg_internal.h"

namespace {

// Error texts are expanded here; a longer text is cut to 255 characters.
char error_text_buffer[256];

const char *const kProcessControl = "pc";
const char *const kMonitor = "monitor";

// Hangs a zero-filled part of type T into the message; releases the message
// and returns false when memory runs out.
template <typename T>
bool add_part(msg_record *msg, T **part, int type) {
  *part = static_cast<T *>(msg_calloc(1, sizeof(T)));
  if (*part == nullptr) {
    msg_free(msg);
    return false;
  }
  msg->type = type;
  return true;
}

// Builds and fails as one: a string that cannot be copied releases the
// message. Returns the message or absent.
msg_record *fail(msg_record *msg) {
  msg_free(msg);
  return nullptr;
}

bool set(char **field, const char *value) { return msg_setString(field, value) == 0; }

search_item *append_search(search_item **list, const char *name, const char *regex) {
  search_item *s = new_search();
  if (s == nullptr) return nullptr;
  search_item *last = *list;
  while (last != nullptr && last->next != nullptr) last = last->next;
  if (last != nullptr) {
    last->next = s;
    s->prev = last;
  } else {
    *list = s;
  }
  if (!set(&s->name, name) || !set(&s->regex, regex)) return nullptr;
  return s;
}

msg_record *make_program(const char *from, const char *action, const char *name,
                         const char *pid, const char *signal) {
  msg_record *msg = msgr_makeBase(from, kProcessControl);
  if (msg == nullptr) return nullptr;
  if (!add_part(msg, &msg->program, MSG_PROGRAM)) return nullptr;
  program_record *p = msg->program;
  if (!set(&p->action, action) || !set(&p->name, name) || !set(&p->pid, pid) ||
      !set(&p->signal, signal))
    return fail(msg);
  return msg;
}

msg_record *make_monitor(const char *from, const char *action, const char *filename,
                         const char *name, const char *regex) {
  msg_record *msg = msgr_makeBase(from, kMonitor);
  if (msg == nullptr) return nullptr;
  if (!add_part(msg, &msg->monitor, MSG_MONITOR)) return nullptr;
  monitor_record *m = msg->monitor;
  if (!set(&m->action, action) || !set(&m->filename, filename) ||
      append_search(&m->searches, name, regex) == nullptr)
    return fail(msg);
  return msg;
}

int response_type(int cont) { return cont != 0 ? TRANS_RESPONSE_CONT : TRANS_RESPONSE; }

msg_record *make_trans(const char *from, const char *to, int type, const char *gid,
                       const char *key) {
  return msgr_makeTransBase(from, to, type, gid, key, nullptr, 0, 0, nullptr);
}

}  // namespace

msg_record *msgr_makeBase(const char *from, const char *to) {
  msg_record *msg = static_cast<msg_record *>(msg_calloc(1, sizeof(msg_record)));
  if (msg == nullptr) return nullptr;
  if (!set(&msg->to, to) || !set(&msg->from, from) ||
      !set(&msg->seq, msg_convSeq(msg_getNextSeq())))
    return fail(msg);
  return msg;
}

// ---- Program and monitor requests ----

msg_record *msgr_makeProgramStart(const char *from, const char *name, const char *pid,
                                  int argc, const char *const *argv,
                                  int searchc, const char *const *searches) {
  msg_record *msg = make_program(from, "start", name, pid, nullptr);
  if (msg == nullptr) return nullptr;
  program_record *p = msg->program;
  arg_item *last = nullptr;
  for (int i = 0; argv != nullptr && i < argc; ++i) {
    arg_item *a = new_arg();
    if (a == nullptr) return fail(msg);
    a->prev = last;
    if (last != nullptr) last->next = a; else p->args = a;
    last = a;
    if (!set(&a->text, argv[i])) return fail(msg);
  }
  for (int i = 0; searches != nullptr && i < searchc; ++i)
    if (append_search(&p->output, searches[2 * i], searches[2 * i + 1]) == nullptr)
      return fail(msg);
  return msg;
}

int msgr_sendProgramStart(const char *from, const char *name, const char *pid, int argc,
                          const char *const *argv, int searchc,
                          const char *const *searches) {
  return msg_send(msgr_makeProgramStart(from, name, pid, argc, argv, searchc, searches));
}

msg_record *msgr_makeProgramStop(const char *from, const char *pid) {
  return make_program(from, "stop", nullptr, pid, nullptr);
}
int msgr_sendProgramStop(const char *from, const char *pid) {
  return msg_send(msgr_makeProgramStop(from, pid));
}

msg_record *msgr_makeProgramSignal(const char *from, const char *pid, const char *signal) {
  return make_program(from, "signal", nullptr, pid, signal);
}
int msgr_sendProgramSignal(const char *from, const char *pid, const char *signal) {
  return msg_send(msgr_makeProgramSignal(from, pid, signal));
}

msg_record *msgr_makeProgramReboot(const char *from) {
  return make_program(from, "reboot", nullptr, nullptr, nullptr);
}
int msgr_sendProgramReboot(const char *from) { return msg_send(msgr_makeProgramReboot(from)); }

msg_record *msgr_makeProgramAction(const char *from, const char *action, const char *name,
                                   const char *pid, const char *signal) {
  return make_program(from, action, name, pid, signal);
}

msg_record *msgr_makeMonitorAdd(const char *from, const char *filename, const char *name,
                                const char *regex) {
  return make_monitor(from, "add", filename, name, regex);
}
int msgr_sendMonitorAdd(const char *from, const char *filename, const char *name,
                        const char *regex) {
  return msg_send(msgr_makeMonitorAdd(from, filename, name, regex));
}

msg_record *msgr_makeMonitorDelete(const char *from, const char *filename, const char *name) {
  return make_monitor(from, "delete", filename, name, nullptr);
}
int msgr_sendMonitorDelete(const char *from, const char *filename, const char *name) {
  return msg_send(msgr_makeMonitorDelete(from, filename, name));
}

// ---- Reports ----

msg_record *msgr_makeReport(const char *from, const char *to, const char *name,
                            const char *pid, const char *text, int text_len) {
  msg_record *msg = msgr_makeBase(from, to);
  if (msg == nullptr) return nullptr;
  if (!add_part(msg, &msg->report, MSG_REPORT)) return nullptr;
  report_record *r = msg->report;
  if (!set(&r->name, name) || !set(&r->pid, pid)) return fail(msg);
  if (text != nullptr && text_len > 0) {
    r->text = msg_strndup(text, (size_t)text_len);
    if (r->text == nullptr) return fail(msg);
  }
  return msg;
}

int msgr_sendReport(const char *from, const char *to, const char *name, const char *pid,
                    const char *text, int text_len) {
  return msg_send(msgr_makeReport(from, to, name, pid, text, text_len));
}

// ---- Transactions ----

msg_record *msgr_makeTransBaseVar(const char *from, const char *to, int type, const char *gid,
                                  const char *key, const char *re_seq, int cont,
                                  int error_code, const char *format, va_list ap) {
  msg_record *msg = msgr_makeBase(from, to);
  if (msg == nullptr) return nullptr;
  if (!add_part(msg, &msg->trans, MSG_TRANSACTION)) return nullptr;
  trans_record *t = msg->trans;
  t->type = type;
  t->error_code = error_code;
  t->cont = cont;
  if (!set(&t->key, key) || !set(&t->gid, gid) || !set(&t->re_seq, re_seq)) return fail(msg);
  if (format != nullptr) {
    vsnprintf(error_text_buffer, sizeof error_text_buffer, format, ap);
    if (!set(&t->error_text, error_text_buffer)) return fail(msg);
  }
  return msg;
}

msg_record *msgr_makeTransBase(const char *from, const char *to, int type, const char *gid,
                               const char *key, const char *re_seq, int cont, int error_code,
                               const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  msg_record *msg =
      msgr_makeTransBaseVar(from, to, type, gid, key, re_seq, cont, error_code, format, ap);
  va_end(ap);
  return msg;
}

msg_record *msgr_makeTransQuery(const char *from, const char *to, const char *gid,
                                const char *key) {
  return make_trans(from, to, TRANS_QUERY, gid, key);
}
int msgr_sendTransQuery(const char *from, const char *to, const char *gid, const char *key) {
  return msg_send(msgr_makeTransQuery(from, to, gid, key));
}

msg_record *msgr_makeTransSet(const char *from, const char *to, const char *gid,
                              const char *key, const char *value) {
  msg_record *msg = make_trans(from, to, TRANS_SET, gid, key);
  if (msg != nullptr && msgr_addTransValueSingle(msg, value) != 0) return fail(msg);
  return msg;
}
int msgr_sendTransSet(const char *from, const char *to, const char *gid, const char *key,
                      const char *value) {
  return msg_send(msgr_makeTransSet(from, to, gid, key, value));
}

#define GROUP_BUILDER(Name, type)                                                          \
  msg_record *msgr_makeTrans##Name(const char *from, const char *to, const char *gid) {    \
    return make_trans(from, to, type, gid, nullptr);                                       \
  }                                                                                        \
  int msgr_sendTrans##Name(const char *from, const char *to, const char *gid) {            \
    return msg_send(msgr_makeTrans##Name(from, to, gid));                                  \
  }
GROUP_BUILDER(GroupBegin, TRANS_GROUP_BEGIN)
GROUP_BUILDER(GroupEnd, TRANS_GROUP_END)
GROUP_BUILDER(Apply, TRANS_APPLY)
GROUP_BUILDER(Reject, TRANS_REJECT)
#undef GROUP_BUILDER

#define ERROR_BUILDER(Name, type)                                                          \
  msg_record *msgr_makeTrans##Name(const char *from, const char *to, const char *gid,      \
                                   const char *re_seq, int error_code, const char *format, \
                                   ...) {                                                  \
    va_list ap;                                                                            \
    va_start(ap, format);                                                                  \
    msg_record *msg = msgr_makeTransBaseVar(from, to, type, gid, nullptr, re_seq, 0,       \
                                            error_code, format, ap);                       \
    va_end(ap);                                                                            \
    return msg;                                                                            \
  }                                                                                        \
  int msgr_sendTrans##Name(const char *from, const char *to, const char *gid,              \
                           const char *re_seq, int error_code, const char *format, ...) {  \
    va_list ap;                                                                            \
    va_start(ap, format);                                                                  \
    msg_record *msg = msgr_makeTransBaseVar(from, to, type, gid, nullptr, re_seq, 0,       \
                                            error_code, format, ap);                       \
    va_end(ap);                                                                            \
    return msg_send(msg);                                                                  \
  }
ERROR_BUILDER(Error, TRANS_RESPONSE)
ERROR_BUILDER(ComboError, TRANS_GROUP_ERROR)
#undef ERROR_BUILDER

msg_record *msgr_makeTransResponseEmpty(const char *from, const char *to, const char *gid,
                                        const char *re_seq, int cont, const char *key) {
  return msgr_makeTransBase(from, to, response_type(cont), gid, key, re_seq, cont, 0,
                            nullptr);
}
int msgr_sendTransResponseEmpty(const char *from, const char *to, const char *gid,
                                const char *re_seq, int cont, const char *key) {
  return msg_send(msgr_makeTransResponseEmpty(from, to, gid, re_seq, cont, key));
}

// A response whose row cannot be added is still returned, without values.
msg_record *msgr_makeTransResponseVar(const char *from, const char *to, const char *gid,
                                      const char *re_seq, int cont, const char *key,
                                      int count, va_list ap) {
  msg_record *msg = msgr_makeTransResponseEmpty(from, to, gid, re_seq, cont, key);
  if (msg != nullptr && count > 0) msgr_addTransValuesVar(msg, count, ap);
  return msg;
}

msg_record *msgr_makeTransResponse(const char *from, const char *to, const char *gid,
                                   const char *re_seq, int cont, const char *key, int count,
                                   ...) {
  va_list ap;
  va_start(ap, count);
  msg_record *msg = msgr_makeTransResponseVar(from, to, gid, re_seq, cont, key, count, ap);
  va_end(ap);
  return msg;
}

int msgr_sendTransResponse(const char *from, const char *to, const char *gid,
                           const char *re_seq, int cont, const char *key, int count, ...) {
  va_list ap;
  va_start(ap, count);
  msg_record *msg = msgr_makeTransResponseVar(from, to, gid, re_seq, cont, key, count, ap);
  va_end(ap);
  return msg_send(msg);
}

msg_record *msgr_makeTransResponseSingle(const char *from, const char *to, const char *gid,
                                         const char *re_seq, int cont, const char *key,
                                         const char *value) {
  msg_record *msg = msgr_makeTransResponseEmpty(from, to, gid, re_seq, cont, key);
  if (msg != nullptr && value != nullptr) msgr_addTransValueSingle(msg, value);
  return msg;
}
int msgr_sendTransResponseSingle(const char *from, const char *to, const char *gid,
                                 const char *re_seq, int cont, const char *key,
                                 const char *value) {
  return msg_send(msgr_makeTransResponseSingle(from, to, gid, re_seq, cont, key, value));
}

msg_record *msgr_makeTransResponsePair(const char *from, const char *to, const char *gid,
                                       const char *re_seq, int cont, const char *key,
                                       const char *value1, const char *value2) {
  msg_record *msg = msgr_makeTransResponseEmpty(from, to, gid, re_seq, cont, key);
  if (msg != nullptr && value1 != nullptr && value2 != nullptr)
    msgr_addTransValues(msg, 2, value1, value2);
  return msg;
}
int msgr_sendTransResponsePair(const char *from, const char *to, const char *gid,
                               const char *re_seq, int cont, const char *key,
                               const char *value1, const char *value2) {
  return msg_send(msgr_makeTransResponsePair(from, to, gid, re_seq, cont, key, value1, value2));
}

// ---- Values ----

int msgr_addTransValuesVar(msg_record *msg, int count, va_list ap) {
  if (msg == nullptr || msg->type != MSG_TRANSACTION || msg->trans == nullptr) return -1;
  if (count < 0 || count > MSG_MAX_VALUES) return -1;
  value_row *row = new_value();
  if (row == nullptr) return -1;
  row->num_cols = count;
  for (int i = 0; i < count; ++i) {
    if (!set(&row->values[i], va_arg(ap, const char *))) {
      msg_freeRows(row);
      return -1;
    }
  }
  value_row **link = &msg->trans->rows;
  value_row *last = nullptr;
  while (*link != nullptr) {
    last = *link;
    link = &last->next;
  }
  row->prev = last;
  *link = row;
  return 0;
}

int msgr_addTransValues(msg_record *msg, int count, ...) {
  if (count <= 0) return 0;
  va_list ap;
  va_start(ap, count);
  int r = msgr_addTransValuesVar(msg, count, ap);
  va_end(ap);
  return r;
}

int msgr_addTransValueSingle(msg_record *msg, const char *value) {
  return msgr_addTransValues(msg, 1, value);
}
