// XML wire format: the writer (msg_makeXML, escapeXML) and the reader
// (msg_parse over expat).
#ifndef DORNIX_NO_XML_READER
#include <expat.h>
#endif
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "msg_internal.h"

// ---- Writer ----

namespace {

// Escapes text into dst (space bytes, no NUL); *complete tells whether the
// whole text fitted.
size_t escape_into(char *dst, size_t space, const char *text, bool *complete) {
  size_t n = 0;
  *complete = true;
  if (text == nullptr) return 0;
  for (const char *s = text; *s != '\0'; ++s) {
    const char *ref = nullptr;
    switch (*s) {
      case '"': ref = "&#34;"; break;
      case '&': ref = "&#38;"; break;
      case ';': ref = "&#59;"; break;
      case '<': ref = "&#60;"; break;
      case '>': ref = "&#62;"; break;
      default: break;
    }
    size_t need = ref != nullptr ? 5 : 1;
    if (space - n < need) {
      *complete = false;
      break;
    }
    if (ref != nullptr) memcpy(dst + n, ref, 5);
    else dst[n] = *s;
    n += need;
  }
  return n;
}

// Appends pieces to the caller's buffer, a NUL after each; once a piece does
// not fit (with room for that NUL) the writer is full and writes nothing more.
class Writer {
 public:
  Writer(char *buf, size_t size) : p_(buf), left_(size) {}

  void put(const char *text) { bytes(text, strlen(text)); }

  // <tag>text</tag>, the text as it is.
  void element(const char *tag, const char *text) {
    put("<");
    put(tag);
    put(">");
    put(text);
    put("</");
    put(tag);
    put(">");
  }

  void number(int value) {
    char digits[MSG_DECIMAL_MAX];
    bytes(digits, msg_decimal(value, digits));
  }

  void escaped(const char *text) {
    if (full_) return;
    bool complete;
    size_t n = escape_into(p_, left_, text, &complete);
    if (!complete) {
      full_ = true;
      return;
    }
    p_ += n;
    left_ -= n;
    len_ += n;
  }

  int result() const { return full_ ? -1 : (int)len_; }

 private:
  void bytes(const char *data, size_t n) {
    if (full_) return;
    if (n >= left_) {
      full_ = true;
      return;
    }
    memcpy(p_, data, n);
    p_ += n;
    left_ -= n;
    len_ += n;
    *p_ = '\0';
  }

  char *p_;
  size_t left_;
  size_t len_ = 0;
  bool full_ = false;
};

void put_searches(Writer &w, const search_item *s) {
  for (; s != nullptr; s = s->next) {
    w.put("<search>");
    w.element("name", msg_text(s->name));
    if (s->regex != nullptr) w.element("regex", s->regex);
    w.put("</search>");
  }
}

void put_report(Writer &w, const report_record *r) {
  w.put("<report>");
  w.element("name", msg_text(r->name));
  if (r->pid != nullptr) w.element("pid", r->pid);
  if (r->text != nullptr) {
    w.put("<text>");
    w.escaped(r->text);
    w.put("</text>");
  }
  w.put("</report>");
}

void put_log(Writer &w, const log_record *l) {
  w.put("<log>");
  if (l->facility != nullptr) w.element("facility", l->facility);
  if (l->level != nullptr) w.element("level", l->level);
  w.put("<text>");
  w.escaped(l->text);
  w.put("</text></log>");
}

void put_monitor(Writer &w, const monitor_record *m) {
  w.put("<monitor action=\"");
  w.put(msg_text(m->action));
  w.put("\">");
  w.element("filename", msg_text(m->filename));
  put_searches(w, m->searches);
  w.put("</monitor>");
}

void put_program(Writer &w, const program_record *p) {
  w.put("<program action=\"");
  w.put(msg_text(p->action));
  w.put("\">");
  if (p->name != nullptr) w.element("name", p->name);
  if (p->pid != nullptr) w.element("pid", p->pid);
  for (const arg_item *a = p->args; a != nullptr; a = a->next) {
    w.put("<arg>");
    w.escaped(a->text);
    w.put("</arg>");
  }
  if (p->signal != nullptr) w.element("signal", p->signal);
  w.put("<output>");
  put_searches(w, p->output);
  w.put("</output></program>");
}

void put_trans(Writer &w, const trans_record *t) {
  w.put("<transaction>");
  w.element("type", msg_transTypeName(t->type));
  if (t->key != nullptr) w.element("key", t->key);
  if (t->re_seq != nullptr) w.element("sequence", t->re_seq);
  if (t->gid != nullptr) w.element("group", t->gid);
  w.put("<error>");
  w.number(t->error_code);
  w.put("</error>");
  if (t->error_text != nullptr) w.element("error_msg", t->error_text);
  if (t->rows != nullptr) {
    w.put("<values>");
    for (const value_row *r = t->rows; r != nullptr; r = r->next) {
      w.put("<row>");
      // A hand-made row may claim more slots than it has.
      int cols = r->num_cols < MSG_MAX_VALUES ? r->num_cols : MSG_MAX_VALUES;
      for (int i = 0; i < cols; ++i) {
        if (r->values[i] == nullptr) {
          w.put("<value/>");
        } else {
          w.put("<value>");
          w.escaped(r->values[i]);
          w.put("</value>");
        }
      }
      w.put("</row>");
    }
    w.put("</values>");
  }
  w.put("</transaction>");
}

}  // namespace

int escapeXML(char *dst, size_t space, const char *text) {
  bool complete;
  return (int)escape_into(dst, space, text, &complete);
}

int msg_makeXML(char *buffer, size_t size, const msg_record *msg) {
  if (buffer == nullptr || msg == nullptr) return 0;
  Writer w(buffer, size);
  w.put("<message>");
  w.element("to", msg_text(msg->to));
  w.element("from", msg_text(msg->from));
  if (msg->seq != nullptr) w.element("sequence", msg->seq);
  switch (msg->type) {
    case MSG_REPORT: if (msg->report) put_report(w, msg->report); break;
    case MSG_LOG: if (msg->log) put_log(w, msg->log); break;
    case MSG_MONITOR: if (msg->monitor) put_monitor(w, msg->monitor); break;
    case MSG_PROGRAM: if (msg->program) put_program(w, msg->program); break;
    case MSG_TRANSACTION: if (msg->trans) put_trans(w, msg->trans); break;
    default: break;
  }
  w.put("</message>");
  return w.result();
}

// ---- Reader ----

// Builds without expat (no expat for the target) leave the reader out.
#ifndef DORNIX_NO_XML_READER

namespace {

enum State {
  DOCUMENT, MESSAGE, TO, FROM, SEQUENCE, MESSAGE_ERROR, LOG,
  TRANSACTION, TRANS_KEY, TRANS_SEQUENCE, TRANS_GROUP, TRANS_ERROR_MSG, TRANS_ERROR, TRANS_TYPE,
  VALUES, ROW, VALUE,
  REPORT, REPORT_NAME, REPORT_PID, REPORT_TEXT,
  MONITOR, FILENAME, SEARCH, SEARCH_NAME, SEARCH_REGEX,
  PROGRAM, PROGRAM_NAME, PROGRAM_PID, PROGRAM_SIGNAL, PROGRAM_ARG, OUTPUT,
  SKIP, REJECTED
};

#define TAG_NAME_MAX 63

struct tag_record {
  tag_record *next;
  tag_record *prev;
  char name[TAG_NAME_MAX + 1];
  int state;  // state before the element began
};

}  // namespace

struct parse_context {
  int state;
  search_item *search;   // filled by "name" and "regex" inside "search"
  char *scratch;         // text of "type" and "error" inside "transaction"
  char **target;         // where character data goes, or absent
  size_t text_len;
  tag_record *open;      // open elements, innermost first
  value_row *row;        // row that "value" elements fill
  int value_count;
  value_row *last_row;   // the last row of the transaction
  arg_item *last_arg;    // the last argument of the program
  msg_record *msg;
  void *parser;          // expat's, while it reads the message
};

// Free element records, reused across parses; grows to the deepest nesting.
static tag_record *tag_pool = nullptr;

namespace {

tag_record *take_tag() {
  tag_record *t = tag_pool;
  if (t != nullptr) {
    tag_pool = t->next;
  } else {
    t = static_cast<tag_record *>(msg_malloc(sizeof *t));
    if (t == nullptr) return nullptr;
  }
  t->next = t->prev = nullptr;
  return t;
}

void give_tag(tag_record *t) {
  t->prev = nullptr;
  t->next = tag_pool;
  tag_pool = t;
}

bool is_text_state(int s) {
  switch (s) {
    case TO: case FROM: case SEQUENCE: case MESSAGE_ERROR: case LOG:
    case TRANS_KEY: case TRANS_SEQUENCE: case TRANS_GROUP: case TRANS_ERROR_MSG:
    case TRANS_ERROR: case TRANS_TYPE: case VALUE:
    case REPORT_NAME: case REPORT_PID: case REPORT_TEXT: case FILENAME:
    case SEARCH_NAME: case SEARCH_REGEX:
    case PROGRAM_NAME: case PROGRAM_PID: case PROGRAM_SIGNAL: case PROGRAM_ARG:
      return true;
    default:
      return false;
  }
}

template <typename T>
T *zalloc() {
  return static_cast<T *>(msg_calloc(1, sizeof(T)));
}

bool is(const char *a, const char *b) { return a[0] == b[0] && strcmp(a, b) == 0; }

// Entering a body element: a repeated body element starts a fresh part that
// replaces the earlier one.
int enter_transaction(parse_context *c) {
  trans_record *t = zalloc<trans_record>();
  if (t == nullptr) return REJECTED;
  msg_freeTrans(c->msg->trans);
  c->msg->trans = t;
  c->msg->type = MSG_TRANSACTION;
  return TRANSACTION;
}

int enter_report(parse_context *c) {
  report_record *r = zalloc<report_record>();
  if (r == nullptr) return REJECTED;
  msg_freeReport(c->msg->report);
  c->msg->report = r;
  c->msg->type = MSG_REPORT;
  return REPORT;
}

int enter_monitor(parse_context *c, const char **attrs) {
  monitor_record *m = zalloc<monitor_record>();
  if (m == nullptr) return REJECTED;
  msg_freeMonitor(c->msg->monitor);
  c->msg->monitor = m;
  c->msg->type = MSG_MONITOR;
  if (msg_setString(&m->action, msgFindAttr(attrs, "action")) != 0) return REJECTED;
  return MONITOR;
}

int enter_program(parse_context *c, const char **attrs) {
  program_record *p = zalloc<program_record>();
  if (p == nullptr) return REJECTED;
  msg_freeProgram(c->msg->program);
  c->msg->program = p;
  c->msg->type = MSG_PROGRAM;
  if (msg_setString(&p->action, msgFindAttr(attrs, "action")) != 0) return REJECTED;
  return PROGRAM;
}

// A new search goes to the front of its list (so searches come out in
// reverse document order).
int enter_search(parse_context *c, search_item **list) {
  search_item *s = new_search();
  if (s == nullptr) return REJECTED;
  s->next = *list;
  if (*list != nullptr) (*list)->prev = s;
  *list = s;
  c->search = s;
  return SEARCH;
}

// Rows and arguments are appended after the last one, which the context
// keeps: a message of many (a crafted datagram holds tens of thousands)
// is read in linear time. A repeated body element starts its lists anew.
int enter_row(parse_context *c) {
  value_row *r = new_value();
  if (r == nullptr) return SKIP;
  value_row *last = c->msg->trans->rows != nullptr ? c->last_row : nullptr;
  r->prev = last;
  (last != nullptr ? last->next : c->msg->trans->rows) = r;
  c->row = c->last_row = r;
  c->value_count = 0;
  return ROW;
}

int enter_value(parse_context *c) {
  char **slot = &c->row->values[c->value_count];
  free(*slot);
  *slot = msg_strndup("", 0);
  if (*slot == nullptr) return REJECTED;
  c->target = slot;
  return VALUE;
}

int enter_arg(parse_context *c) {
  arg_item *a = new_arg();
  if (a == nullptr) return REJECTED;
  arg_item *last = c->msg->program->args != nullptr ? c->last_arg : nullptr;
  a->prev = last;
  (last != nullptr ? last->next : c->msg->program->args) = a;
  c->last_arg = a;
  c->target = &a->text;
  return PROGRAM_ARG;
}

// A text state: character data of the element goes into *field.
int text_into(parse_context *c, char **field, int state) {
  c->target = field;
  return state;
}

// The state table: the state that element `name` leads to from state `s`.
int next_state(parse_context *c, int s, const char *name, const char **attrs) {
  msg_record *m = c->msg;
  switch (s) {
    case DOCUMENT:
      return is(name, "message") ? MESSAGE : SKIP;
    case MESSAGE:
      if (is(name, "to")) return text_into(c, &m->to, TO);
      if (is(name, "from")) return text_into(c, &m->from, FROM);
      if (is(name, "sequence")) return text_into(c, &m->seq, SEQUENCE);
      if (is(name, "error")) return MESSAGE_ERROR;
      if (is(name, "log")) return LOG;
      if (is(name, "transaction")) return enter_transaction(c);
      if (is(name, "report")) return enter_report(c);
      if (is(name, "monitor")) return enter_monitor(c, attrs);
      if (is(name, "program")) return enter_program(c, attrs);
      return SKIP;
    case TRANSACTION: {
      trans_record *t = m->trans;
      if (is(name, "key")) return text_into(c, &t->key, TRANS_KEY);
      if (is(name, "sequence")) return text_into(c, &t->re_seq, TRANS_SEQUENCE);
      if (is(name, "group")) return text_into(c, &t->gid, TRANS_GROUP);
      if (is(name, "error_msg")) return text_into(c, &t->error_text, TRANS_ERROR_MSG);
      if (is(name, "error")) return text_into(c, &c->scratch, TRANS_ERROR);
      if (is(name, "type")) return text_into(c, &c->scratch, TRANS_TYPE);
      if (is(name, "values")) return VALUES;
      return SKIP;
    }
    case VALUES:
      return is(name, "row") ? enter_row(c) : SKIP;
    case ROW:
      if (is(name, "value") && c->value_count < MSG_MAX_VALUES) return enter_value(c);
      return SKIP;
    case REPORT: {
      report_record *r = m->report;
      if (is(name, "name")) return text_into(c, &r->name, REPORT_NAME);
      if (is(name, "pid")) return text_into(c, &r->pid, REPORT_PID);
      if (is(name, "text")) return text_into(c, &r->text, REPORT_TEXT);
      return SKIP;
    }
    case MONITOR:
      if (is(name, "filename")) return text_into(c, &m->monitor->filename, FILENAME);
      if (is(name, "search")) return enter_search(c, &m->monitor->searches);
      return SKIP;
    case SEARCH:
      if (is(name, "name")) return text_into(c, &c->search->name, SEARCH_NAME);
      if (is(name, "regex")) return text_into(c, &c->search->regex, SEARCH_REGEX);
      return SKIP;
    case PROGRAM: {
      program_record *p = m->program;
      if (is(name, "name")) return text_into(c, &p->name, PROGRAM_NAME);
      if (is(name, "pid")) return text_into(c, &p->pid, PROGRAM_PID);
      if (is(name, "signal")) return text_into(c, &p->signal, PROGRAM_SIGNAL);
      if (is(name, "arg")) return enter_arg(c);
      if (is(name, "output")) return OUTPUT;
      return SKIP;
    }
    case OUTPUT:
      return is(name, "search") ? enter_search(c, &m->program->output) : SKIP;
    case SKIP:
      return SKIP;
    default:
      // Text-only elements take no children.
      return is_text_state(s) ? REJECTED : SKIP;
  }
}

// Decimal number at the start of text (after optional whitespace and sign),
// 0 when there is none.
int leading_number(const char *text) {
  if (text == nullptr) return 0;
  long v = strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return (int)v;
}

void finish_state(parse_context *c) {
  switch (c->state) {
    case TRANS_TYPE:
      c->msg->trans->type = get_transaction_type(c->scratch);
      break;
    case TRANS_ERROR:
      c->msg->trans->error_code = leading_number(c->scratch);
      break;
    case VALUES:
      c->row = nullptr;
      break;
    case ROW:
      c->row->num_cols = c->value_count;
      c->value_count = 0;
      break;
    case VALUE:
      c->value_count++;
      break;
    default:
      break;
  }
  if (c->state == TRANS_TYPE || c->state == TRANS_ERROR) {
    free(c->scratch);
    c->scratch = nullptr;
  }
}

void clear_text(parse_context *c) {
  c->target = nullptr;
  c->text_len = 0;
}

}  // namespace

void msgStartDocument(parse_context *c) {
  memset(c, 0, sizeof *c);
  c->state = DOCUMENT;
  c->msg = zalloc<msg_record>();
  if (c->msg == nullptr) {
    c->state = REJECTED;
    return;
  }
  c->msg->expires = (int)(msg_now() + MSG_EXPIRY_SECONDS);
}

void msgEndDocument(parse_context *c) {
  while (c->open != nullptr) {
    tag_record *t = c->open;
    c->open = t->next;
    give_tag(t);
  }
  free(c->scratch);
  c->scratch = nullptr;
  clear_text(c);
  if (c->state == REJECTED) {
    msg_free(c->msg);
    c->msg = nullptr;
  }
}

void msgStartElement(void *ctx, const char *name, const char **attributes) {
  parse_context *c = static_cast<parse_context *>(ctx);
  clear_text(c);
  free(c->scratch);
  c->scratch = nullptr;
  if (c->state == REJECTED) return;
  tag_record *t = take_tag();
  if (t == nullptr) {
    c->state = REJECTED;
    return;
  }
  const size_t n = strnlen(name, TAG_NAME_MAX);
  memcpy(t->name, name, n);
  t->name[n] = '\0';
  t->state = c->state;
  c->state = next_state(c, c->state, name, attributes);
  if (c->state == REJECTED) {
    clear_text(c);
    give_tag(t);
    return;
  }
  t->next = c->open;
  if (c->open != nullptr) c->open->prev = t;
  c->open = t;
}

void msgEndElement(void *ctx, const char *name) {
  parse_context *c = static_cast<parse_context *>(ctx);
  clear_text(c);
  if (c->open == nullptr) c->state = REJECTED;
  if (c->state == REJECTED) return;
  finish_state(c);
  tag_record *t = c->open;
  // Names longer than the kept 63 characters never match their end tag.
  if (strcmp(name, t->name) != 0) {
    c->state = REJECTED;
    return;
  }
  c->open = t->next;
  if (c->open != nullptr) c->open->prev = nullptr;
  c->state = t->state;
  give_tag(t);
}

void msgCharacters(void *ctx, const char *text, int length) {
  parse_context *c = static_cast<parse_context *>(ctx);
  if (c->target == nullptr || length <= 0) return;
  char *grown = static_cast<char *>(msg_realloc(*c->target, c->text_len + (size_t)length + 1));
  if (grown == nullptr) {
    c->state = REJECTED;
    clear_text(c);
    return;
  }
  memcpy(grown + c->text_len, text, (size_t)length);
  c->text_len += (size_t)length;
  grown[c->text_len] = '\0';
  *c->target = grown;
}

const char *msgFindAttr(const char **attributes, const char *name) {
  if (attributes == nullptr || name == nullptr) return nullptr;
  for (const char **a = attributes; a[0] != nullptr && a[1] != nullptr; a += 2)
    if (strcmp(a[0], name) == 0) return a[1];
  return nullptr;
}

int get_transaction_type(const char *text) {
  static const struct {
    const char *name;
    int type;
  } names[] = {{"query", TRANS_QUERY},         {"response", TRANS_RESPONSE},
               {"response_cont", TRANS_RESPONSE_CONT}, {"set", TRANS_SET},
               {"group_begin", TRANS_GROUP_BEGIN}, {"group_end", TRANS_GROUP_END},
               {"group_error", TRANS_GROUP_ERROR}, {"apply", TRANS_APPLY},
               {"reject", TRANS_REJECT}};
  if (text == nullptr) return TRANS_UNKNOWN;
  for (const auto &n : names)
    if (strcmp(text, n.name) == 0) return n.type;
  return TRANS_UNKNOWN;
}

namespace {

// What a byte may be, as bits of kBytes.
enum { kNameStart = 1, kNameByte = 2, kText = 4, kValue = 8 };
struct ByteTable {
  unsigned char of[256];
  constexpr ByteTable() : of() {
    for (int b = 0; b < 256; ++b) {
      const bool letter = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_';
      const bool printable = b >= ' ' && b <= '~' && b != '<' && b != '&';
      of[b] = (unsigned char)((letter ? kNameStart | kNameByte : 0) |
                              ((b >= '0' && b <= '9') || b == '.' || b == '-' ? kNameByte : 0) |
                              ((printable && b != '>') || b == '\t' || b == '\n' ? kText : 0) |
                              (printable && b != '"' ? kValue : 0));
    }
  }
};
constexpr ByteTable kBytes{};

// The messages of this library use a small part of XML: ASCII element names,
// at most one attribute, text of printable ASCII, tabs and LFs, and character
// references. Such a message is read here at once, calling the same handlers
// in the same order that expat would; at anything else, wrong or merely
// unusual (a CR, a comment, a byte above 127, a blank inside a tag, ...),
// the reading stops and expat reads the message from the start instead.
class SimpleReader {
 public:
  SimpleReader(parse_context *c, const char *text, size_t length)
      : c_(c), p_(text), end_(text + length) {}

  // true when the whole message was read.
  bool read() {
    if (p_ == end_ || *p_ != '<') return false;
    do {
      if (!tag()) return false;
      while (depth_ > 0 && p_ < end_ && *p_ != '<')
        if (!text()) return false;
    } while (depth_ > 0 && p_ < end_);
    return depth_ == 0 && p_ == end_;
  }

 private:
  enum { kNameMax = 64, kValueMax = 256, kDepthMax = 32 };
  struct Open {
    const char *name;
    size_t length;
  };

  static bool is(char b, int what) { return (kBytes.of[(unsigned char)b] & what) != 0; }

  // A name at the reading position, copied with a NUL into `out`.
  bool name(char *out, size_t *length) {
    const char *start = p_;
    if (p_ == end_ || !is(*p_, kNameStart)) return false;
    while (p_ < end_ && is(*p_, kNameByte)) ++p_;
    *length = (size_t)(p_ - start);
    if (*length > kNameMax) return false;
    memcpy(out, start, *length);
    out[*length] = '\0';
    return true;
  }

  // A tag: "<name>", "<name/>", either with one ' attr="value"', or "</name>".
  bool tag() {
    char tag_name[kNameMax + 1];
    size_t length;
    ++p_;  // "<"
    if (p_ < end_ && *p_ == '/') {
      ++p_;
      if (!name(tag_name, &length) || p_ == end_ || *p_ != '>' || depth_ == 0) return false;
      const Open &o = open_[depth_ - 1];
      if (o.length != length || memcmp(o.name, tag_name, length) != 0) return false;
      ++p_;
      --depth_;
      msgEndElement(c_, tag_name);
      return true;
    }
    if (!name(tag_name, &length) || depth_ == kDepthMax) return false;
    const char *start = p_ - length;
    char attr_name[kNameMax + 1], attr_value[kValueMax + 1];
    const char *attrs[3] = {nullptr, nullptr, nullptr};
    if (p_ < end_ && *p_ == ' ') {
      ++p_;
      size_t attr_length;
      if (!name(attr_name, &attr_length) || end_ - p_ < 2 || p_[0] != '=' || p_[1] != '"')
        return false;
      p_ += 2;
      const char *value = p_;
      while (p_ < end_ && is(*p_, kValue)) ++p_;
      const size_t value_length = (size_t)(p_ - value);
      if (p_ == end_ || *p_ != '"' || value_length > kValueMax) return false;
      ++p_;
      memcpy(attr_value, value, value_length);
      attr_value[value_length] = '\0';
      attrs[0] = attr_name;
      attrs[1] = attr_value;
    }
    const bool empty = p_ < end_ && *p_ == '/';
    if (empty) ++p_;
    if (p_ == end_ || *p_ != '>') return false;
    ++p_;
    msgStartElement(c_, tag_name, attrs);
    if (empty) {
      msgEndElement(c_, tag_name);
    } else {
      open_[depth_].name = start;
      open_[depth_].length = length;
      ++depth_;
    }
    return true;
  }

  // Text up to the next "<": plain bytes as they are, a reference as the
  // character it names.
  bool text() {
    const char *start = p_;
    while (p_ < end_ && is(*p_, kText)) ++p_;
    if (p_ > start) msgCharacters(c_, start, (int)(p_ - start));
    if (p_ == end_ || *p_ == '<') return true;
    if (*p_ != '&') return false;
    char ch;
    if (!reference(&ch)) return false;
    msgCharacters(c_, &ch, 1);
    return true;
  }

  // "&#digits;" of a tab, LF, CR or printable ASCII character, or one of the
  // five named references.
  bool reference(char *ch) {
    static const struct {
      const char *text;
      char ch;
    } named[] = {{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    const char *semicolon = static_cast<const char *>(memchr(p_, ';', (size_t)(end_ - p_)));
    if (semicolon == nullptr) return false;
    const size_t n = (size_t)(semicolon + 1 - p_);
    if (n > 2 && p_[1] == '#') {
      unsigned value = 0;
      for (const char *d = p_ + 2; d < semicolon; ++d) {
        if (*d < '0' || *d > '9' || value > 1000) return false;
        value = value * 10 + (unsigned)(*d - '0');
      }
      if (n == 3 || !((value >= ' ' && value <= '~') || value == '\t' || value == '\n' || value == '\r'))
        return false;
      *ch = (char)value;
      p_ = semicolon + 1;
      return true;
    }
    for (const auto &r : named) {
      if (strlen(r.text) == n && memcmp(r.text, p_, n) == 0) {
        *ch = r.ch;
        p_ = semicolon + 1;
        return true;
      }
    }
    return false;
  }

  parse_context *c_;
  const char *p_;
  const char *end_;
  Open open_[kDepthMax];
  int depth_ = 0;
};

}  // namespace

msg_record *msg_parse(const char *text, int length) {
  if (text == nullptr || length < 0) return nullptr;
  parse_context ctx;
  msgStartDocument(&ctx);
  if (SimpleReader(&ctx, text, (size_t)length).read()) {
    msgEndDocument(&ctx);
    return ctx.msg;
  }
  // Not one of ours as far as the short reader goes: what it began is
  // dropped, and expat reads the message.
  ctx.state = REJECTED;
  msgEndDocument(&ctx);
  return msg_parse_xml(text, length);
}

namespace {

// The wire format has no document type declaration, and the entities that
// one declares would let a short message expand to text of any length. A
// message with one is refused before its declarations are read.
void XMLCALL refuse_doctype(void *ctx, const XML_Char *, const XML_Char *, const XML_Char *,
                            int) {
  parse_context *c = static_cast<parse_context *>(ctx);
  c->state = REJECTED;
  XML_StopParser(static_cast<XML_Parser>(c->parser), XML_FALSE);
}

}  // namespace

msg_record *msg_parse_xml(const char *text, int length) {
  if (text == nullptr || length < 0) return nullptr;
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser == nullptr) return nullptr;
  parse_context ctx;
  XML_SetUserData(parser, &ctx);
  XML_SetElementHandler(parser, msgStartElement, msgEndElement);
  XML_SetCharacterDataHandler(parser, msgCharacters);
  XML_SetStartDoctypeDeclHandler(parser, refuse_doctype);
  msgStartDocument(&ctx);
  ctx.parser = parser;
  if (XML_Parse(parser, text, length, 1) != XML_STATUS_OK) ctx.state = REJECTED;
  msgEndDocument(&ctx);
  XML_ParserFree(parser);
  return ctx.msg;
}

void lib_close_messages(void) {
  while (tag_pool != nullptr) {
    tag_record *t = tag_pool;
    tag_pool = t->next;
    free(t);
  }
}

#else

void lib_close_messages(void) {}

#endif
