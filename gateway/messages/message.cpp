// Message records: allocation, release, copy and the read accessors.
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "msg_internal.h"

namespace {

long default_clock() { return (long)time(nullptr); }
unsigned default_sleep(unsigned seconds) { return sleep(seconds); }

msg_clock_fn clock_fn = default_clock;
msg_sleep_fn sleep_fn = default_sleep;

// Forced allocation failures: fail_countdown counts down to the failing
// allocation; alloc_count counts every allocation for msg_failAlloc.
long fail_countdown = 0;
long alloc_count = 0;

bool alloc_allowed() {
  ++alloc_count;
  if (fail_countdown > 0 && --fail_countdown == 0) return false;
  return true;
}

const char *const trans_names[] = {"unknown",   "query",       "response",
                                   "response_cont", "set",     "group_begin",
                                   "group_end", "apply",       "reject",
                                   "group_error"};

}  // namespace

// ---- Hooks ----

void msg_setClock(msg_clock_fn clock) { clock_fn = clock != nullptr ? clock : default_clock; }
void msg_setSleep(msg_sleep_fn sleeper) {
  sleep_fn = sleeper != nullptr ? sleeper : default_sleep;
}
long msg_now(void) { return clock_fn(); }
unsigned msg_sleep(unsigned seconds) { return sleep_fn(seconds); }

long msg_failAlloc(long n) {
  long counted = alloc_count;
  alloc_count = 0;
  fail_countdown = n > 0 ? n : 0;
  return counted;
}

void *msg_malloc(size_t size) { return alloc_allowed() ? malloc(size) : nullptr; }
void *msg_calloc(size_t count, size_t size) {
  return alloc_allowed() ? calloc(count, size) : nullptr;
}
void *msg_realloc(void *ptr, size_t size) {
  return alloc_allowed() ? realloc(ptr, size) : nullptr;
}

char *msg_strndup(const char *text, size_t n) {
  if (text == nullptr) return nullptr;
  size_t len = strnlen(text, n);
  char *copy = static_cast<char *>(msg_malloc(len + 1));
  if (copy == nullptr) return nullptr;
  memcpy(copy, text, len);
  copy[len] = '\0';
  return copy;
}

int msg_setString(char **field, const char *value) {
  free(*field);
  *field = nullptr;
  if (value == nullptr) return 0;
  *field = msg_strndup(value, strlen(value));
  return *field != nullptr ? 0 : -1;
}

// ---- Names ----

const char *msg_transTypeName(int type) {
  if (type < 1 || type > 9) return trans_names[0];
  return trans_names[type];
}

size_t msg_decimal(int value, char *out) {
  char digits[MSG_DECIMAL_MAX];
  size_t n = sizeof digits;
  unsigned u = value < 0 ? 0u - (unsigned)value : (unsigned)value;
  do {
    digits[--n] = (char)('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (value < 0) digits[--n] = '-';
  memcpy(out, digits + n, sizeof digits - n);
  return sizeof digits - n;
}

const char *msg_typeName(int type) {
  switch (type) {
    case MSG_REPORT: return "MSG_REPORT";
    case MSG_LOG: return "MSG_LOG";
    case MSG_MONITOR: return "MSG_MONITOR";
    case MSG_PROGRAM: return "MSG_PROGRAM";
    case MSG_TRANSACTION: return "MSG_TRANSACTION";
    default: return "MSG_NONE";
  }
}

// ---- Release ----

void msg_freeSearches(search_item *item) {
  while (item != nullptr) {
    search_item *next = item->next;
    free(item->name);
    free(item->regex);
    free(item);
    item = next;
  }
}

void msg_freeArgs(arg_item *item) {
  while (item != nullptr) {
    arg_item *next = item->next;
    free(item->text);
    free(item);
    item = next;
  }
}

void msg_freeRows(value_row *row) {
  while (row != nullptr) {
    value_row *next = row->next;
    for (int i = 0; i < MSG_MAX_VALUES; ++i)
      if (row->values[i] != nullptr) free(row->values[i]);
    free(row);
    row = next;
  }
}

void msg_freeMonitor(monitor_record *m) {
  if (m == nullptr) return;
  free(m->action);
  free(m->filename);
  msg_freeSearches(m->searches);
  free(m);
}

void msg_freeProgram(program_record *p) {
  if (p == nullptr) return;
  free(p->action);
  free(p->name);
  free(p->pid);
  free(p->signal);
  msg_freeArgs(p->args);
  msg_freeSearches(p->output);
  free(p);
}

void msg_freeReport(report_record *r) {
  if (r == nullptr) return;
  free(r->name);
  free(r->pid);
  free(r->text);
  free(r);
}

void msg_freeTrans(trans_record *t) {
  if (t == nullptr) return;
  free(t->key);
  free(t->re_seq);
  free(t->gid);
  free(t->error_text);
  msg_freeRows(t->rows);
  free(t);
}

void msg_freeLog(log_record *l) {
  if (l == nullptr) return;
  free(l->facility);
  free(l->level);
  free(l->text);
  free(l);
}

void msg_free(msg_record *msg) {
  if (msg == nullptr) return;
  msg_freeMonitor(msg->monitor);
  msg_freeProgram(msg->program);
  msg_freeReport(msg->report);
  msg_freeTrans(msg->trans);
  msg_freeLog(msg->log);
  free(msg->to);
  free(msg->from);
  free(msg->seq);
  free(msg);
}

// ---- Copy ----

namespace {

// Copies a string field; false when memory ran out.
bool dup_into(char **dst, const char *src) { return msg_setString(dst, src) == 0; }

bool copy_searches(search_item **dst, const search_item *src) {
  search_item *last = nullptr;
  for (; src != nullptr; src = src->next) {
    search_item *item = new_search();
    if (item == nullptr) return false;
    item->prev = last;
    if (last != nullptr) last->next = item; else *dst = item;
    last = item;
    if (!dup_into(&item->name, src->name) || !dup_into(&item->regex, src->regex)) return false;
  }
  return true;
}

bool copy_args(arg_item **dst, const arg_item *src) {
  arg_item *last = nullptr;
  for (; src != nullptr; src = src->next) {
    arg_item *item = new_arg();
    if (item == nullptr) return false;
    item->prev = last;
    if (last != nullptr) last->next = item; else *dst = item;
    last = item;
    if (!dup_into(&item->text, src->text)) return false;
  }
  return true;
}

bool copy_rows(value_row **dst, const value_row *src) {
  value_row *last = nullptr;
  for (; src != nullptr; src = src->next) {
    value_row *row = new_value();
    if (row == nullptr) return false;
    row->prev = last;
    if (last != nullptr) last->next = row; else *dst = row;
    last = row;
    row->num_cols = src->num_cols;
    for (int i = 0; i < MSG_MAX_VALUES; ++i)
      if (!dup_into(&row->values[i], src->values[i])) return false;
  }
  return true;
}

// Copies the body part that the type selects; false when memory ran out
// (what was made so far hangs in the copy and goes with it).
bool copy_body(msg_record *c, const msg_record *msg) {
  switch (msg->type) {
    case MSG_REPORT:
      if (const report_record *r = msg->report) {
        c->report = static_cast<report_record *>(msg_calloc(1, sizeof *c->report));
        if (c->report == nullptr) return false;
        return dup_into(&c->report->name, r->name) && dup_into(&c->report->pid, r->pid) &&
               dup_into(&c->report->text, r->text);
      }
      return true;
    case MSG_LOG:
      if (const log_record *l = msg->log) {
        c->log = static_cast<log_record *>(msg_calloc(1, sizeof *c->log));
        if (c->log == nullptr) return false;
        return dup_into(&c->log->facility, l->facility) && dup_into(&c->log->level, l->level) &&
               dup_into(&c->log->text, l->text);
      }
      return true;
    case MSG_MONITOR:
      if (const monitor_record *m = msg->monitor) {
        c->monitor = static_cast<monitor_record *>(msg_calloc(1, sizeof *c->monitor));
        if (c->monitor == nullptr) return false;
        return dup_into(&c->monitor->action, m->action) &&
               dup_into(&c->monitor->filename, m->filename) &&
               copy_searches(&c->monitor->searches, m->searches);
      }
      return true;
    case MSG_PROGRAM:
      if (const program_record *p = msg->program) {
        c->program = static_cast<program_record *>(msg_calloc(1, sizeof *c->program));
        if (c->program == nullptr) return false;
        program_record *q = c->program;
        return dup_into(&q->action, p->action) && dup_into(&q->name, p->name) &&
               dup_into(&q->pid, p->pid) && dup_into(&q->signal, p->signal) &&
               copy_args(&q->args, p->args) && copy_searches(&q->output, p->output);
      }
      return true;
    case MSG_TRANSACTION:
      if (const trans_record *t = msg->trans) {
        c->trans = static_cast<trans_record *>(msg_calloc(1, sizeof *c->trans));
        if (c->trans == nullptr) return false;
        trans_record *u = c->trans;
        u->type = t->type;
        u->error_code = t->error_code;
        u->cont = t->cont;
        return dup_into(&u->key, t->key) && dup_into(&u->re_seq, t->re_seq) &&
               dup_into(&u->gid, t->gid) && dup_into(&u->error_text, t->error_text) &&
               copy_rows(&u->rows, t->rows);
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

msg_record *msg_copy(const msg_record *msg) {
  if (msg == nullptr) return nullptr;
  msg_record *c = static_cast<msg_record *>(msg_calloc(1, sizeof *c));
  if (c == nullptr) return nullptr;
  c->type = msg->type;
  c->expires = msg->expires;
  if (!dup_into(&c->to, msg->to) || !dup_into(&c->from, msg->from) ||
      !dup_into(&c->seq, msg->seq) || !copy_body(c, msg)) {
    msg_free(c);
    return nullptr;
  }
  return c;
}

// ---- Accessors ----

int msg_getType(const msg_record *msg) { return msg->type; }
const char *msg_getFrom(const msg_record *msg) { return msg->from; }
const char *msg_getTo(const msg_record *msg) { return msg->to; }
const char *msg_getSeq(const msg_record *msg) { return msg->seq; }

int msg_isTrans(const msg_record *msg) {
  return msg != nullptr && msg->type == MSG_TRANSACTION && msg->trans != nullptr;
}

namespace {

const value_row *row_at(const msg_record *msg, int row) {
  if (!msg_isTrans(msg) || row < 0) return nullptr;
  const value_row *r = msg->trans->rows;
  while (r != nullptr && row-- > 0) r = r->next;
  return r;
}

const report_record *report_of(const msg_record *msg) {
  return msg != nullptr && msg->type == MSG_REPORT ? msg->report : nullptr;
}

}  // namespace

int msg_getTransType(const msg_record *msg) { return msg_isTrans(msg) ? msg->trans->type : 0; }
const char *msg_getTransReSeq(const msg_record *msg) {
  return msg_isTrans(msg) ? msg->trans->re_seq : nullptr;
}
const char *msg_getTransGID(const msg_record *msg) {
  return msg_isTrans(msg) ? msg->trans->gid : nullptr;
}
const char *msg_getTransKey(const msg_record *msg) {
  return msg_isTrans(msg) ? msg->trans->key : nullptr;
}

int msg_getTransNumRows(const msg_record *msg) {
  if (!msg_isTrans(msg)) return 0;
  int n = 0;
  for (const value_row *r = msg->trans->rows; r != nullptr; r = r->next) ++n;
  return n;
}

int msg_getTransNumCols(const msg_record *msg, int row) {
  const value_row *r = row_at(msg, row);
  return r != nullptr ? r->num_cols : 0;
}

const char *msg_getTransValue(const msg_record *msg, int row, int col) {
  if (col < 0 || col >= MSG_MAX_VALUES) return nullptr;
  const value_row *r = row_at(msg, row);
  if (r == nullptr || col >= r->num_cols) return nullptr;
  return r->values[col];
}

const char *msg_getTransSingleValue(const msg_record *msg) { return msg_getTransValue(msg, 0, 0); }

int msg_getTransErrorCode(const msg_record *msg) {
  return msg_isTrans(msg) ? msg->trans->error_code : -1;
}
const char *msg_getTransErrorText(const msg_record *msg) {
  return msg_isTrans(msg) ? msg->trans->error_text : nullptr;
}

const char *msg_getReportName(const msg_record *msg) {
  const report_record *r = report_of(msg);
  return r != nullptr ? r->name : nullptr;
}
const char *msg_getReportPID(const msg_record *msg) {
  const report_record *r = report_of(msg);
  return r != nullptr ? r->pid : nullptr;
}
const char *msg_getReportText(const msg_record *msg) {
  const report_record *r = report_of(msg);
  return r != nullptr ? r->text : nullptr;
}

// ---- List items ----

arg_item *new_arg(void) { return static_cast<arg_item *>(msg_calloc(1, sizeof(arg_item))); }
search_item *new_search(void) {
  return static_cast<search_item *>(msg_calloc(1, sizeof(search_item)));
}
value_row *new_value(void) { return static_cast<value_row *>(msg_calloc(1, sizeof(value_row))); }
