// dornix-msg: looks at the gateway's messaging from a shell.
//
//   dornix-msg listen ADDRESS            print every message that arrives
//   dornix-msg query TO KEY              ask TO for KEY, print the answer
//   dornix-msg set TO KEY VALUE          set KEY at TO, print the answer
//   dornix-msg report TO NAME [TEXT]     send a report, print the answer
//   dornix-msg answer ADDRESS VALUE      answer every query with VALUE
//
// Messages are printed one per line, parsed. Requests go straight to the
// recipient's socket file; the tool claims an address of its own (--from)
// for the answer and gives its socket file back on the way out.
//
// Every wait has its limit: a send that the recipient cannot take is tried
// again until the command's deadline (send_within), a reply of answer for
// half a second at most; every datagram is read whole, whatever its size
// (receive); and what answer copies from a query into its reply is escaped
// as the wire format escapes values (Escaped).
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "dornix_version.h"
#include "message.h"
#include "platform.h"

namespace {

enum Exit { EXIT_OK = 0, EXIT_NO_ANSWER = 1, EXIT_USAGE = 2, EXIT_FAILED = 3 };

const char kUsage[] =
    "Usage: dornix-msg [OPTION]... COMMAND ARGS...\n"
    "Looks at the gateway's messaging from a shell: sends queries, sets and\n"
    "reports to a process, listens at an address or answers in its place, and\n"
    "prints every message one per line, parsed. Socket files are\n"
    "\"/var/tmp/cm_ADDRESS.ctl\".\n"
    "\n"
    "Commands:\n"
    "  listen ADDRESS           print every message sent to ADDRESS, one per line\n"
    "  query TO KEY             send a query for KEY to TO and print the answer\n"
    "  set TO KEY VALUE         send a set of KEY to VALUE to TO and print the answer\n"
    "  report TO NAME [TEXT]    send a report to TO and print the answer\n"
    "  answer ADDRESS VALUE     answer every query sent to ADDRESS with VALUE and\n"
    "                           every set with an empty response; print what arrives\n"
    "\n"
    "A datagram that is not a readable message is printed as \"unreadable\", \"cut\"\n"
    "or \"empty\" with its size. A reply that its recipient cannot take within\n"
    "0.5 s is dropped with a line on standard error, and answer goes on.\n"
    "\n"
    "Options (--name=VALUE or --name VALUE):\n"
    "      --from=ADDRESS    the tool's own address for query, set and report\n"
    "                        (default \"dornix-msg\")\n"
    "      --group=GID       group id of a query or set\n"
    "      --pid=PID         pid of a report\n"
    "      --timeout=SECS    how long to wait for the recipient to take the\n"
    "                        message and answer it (default 5), or how long\n"
    "                        listen and answer run (default: until interrupted)\n"
    "      --count=N         listen and answer stop after N messages\n"
    "  -h, --help            print this help and exit\n"
    "      --version         print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  done\n"
    "  1  no answer in time\n"
    "  2  wrong command line\n"
    "  3  endpoint or send failure (the recipient took nothing within --timeout,\n"
    "     or nobody is listening there)\n"
    "\n"
    "Example:\n"
    "  dornix-msg --timeout=2 query pc wan/status\n";

struct Options {
  const char *from = "dornix-msg";
  const char *group = nullptr;
  const char *pid = nullptr;
  double timeout = -1;  // not given
  long count = 0;       // 0 = no limit
  const char *args[4] = {};
  int nargs = 0;
};

volatile sig_atomic_t stop_requested = 0;
void on_signal(int) { stop_requested = 1; }

// ---- Printing one message on one line ----

// `n` bytes, NULs included, quoted and with control bytes shown escaped.
void put_bytes(const char *s, size_t n) {
  putchar('"');
  for (const unsigned char *p = (const unsigned char *)s, *end = p + n; p < end; ++p) {
    if (*p == '"' || *p == '\\') printf("\\%c", *p);
    else if (*p == '\n') fputs("\\n", stdout);
    else if (*p == '\r') fputs("\\r", stdout);
    else if (*p == '\t') fputs("\\t", stdout);
    else if (*p < 0x20 || *p == 0x7f) printf("\\x%02x", *p);
    else putchar(*p);
  }
  putchar('"');
}

void put_quoted(const char *s) {
  if (s == nullptr) fputs("null", stdout);
  else put_bytes(s, strlen(s));
}

void put_field(const char *name, const char *value) {
  if (value == nullptr) return;
  printf(" %s=", name);
  put_quoted(value);
}

void put_searches(const char *name, const search_item *s) {
  printf(" %s=[", name);
  for (bool first = true; s != nullptr; s = s->next, first = false) {
    printf("%s{name=", first ? "" : ",");
    put_quoted(s->name);
    fputs(",regex=", stdout);
    put_quoted(s->regex);
    putchar('}');
  }
  putchar(']');
}

void print_message(const msg_record *m) {
  fputs("from=", stdout);
  put_quoted(m->from);
  fputs(" to=", stdout);
  put_quoted(m->to);
  put_field("seq", m->seq);
  switch (m->type) {
    case MSG_TRANSACTION:
      if (const trans_record *t = m->trans) {
        printf(" transaction=%s", msg_transTypeName(t->type));
        put_field("key", t->key);
        put_field("re_seq", t->re_seq);
        put_field("group", t->gid);
        printf(" error=%d", t->error_code);
        put_field("error_msg", t->error_text);
        if (t->rows != nullptr) {
          fputs(" values=[", stdout);
          for (const value_row *r = t->rows; r != nullptr; r = r->next) {
            printf("%s[", r == t->rows ? "" : ",");
            for (int i = 0; i < r->num_cols && i < MSG_MAX_VALUES; ++i) {
              if (i > 0) putchar(',');
              put_quoted(r->values[i]);
            }
            putchar(']');
          }
          putchar(']');
        }
        break;
      }
      printf(" type=%d", m->type);
      break;
    case MSG_REPORT:
      fputs(" report", stdout);
      if (const report_record *r = m->report) {
        put_field("name", r->name);
        put_field("pid", r->pid);
        put_field("text", r->text);
      }
      break;
    case MSG_PROGRAM:
      fputs(" program", stdout);
      if (const program_record *p = m->program) {
        put_field("action", p->action);
        put_field("name", p->name);
        put_field("pid", p->pid);
        put_field("signal", p->signal);
        fputs(" args=[", stdout);
        for (const arg_item *a = p->args; a != nullptr; a = a->next) {
          if (a != p->args) putchar(',');
          put_quoted(a->text);
        }
        putchar(']');
        put_searches("output", p->output);
      }
      break;
    case MSG_MONITOR:
      fputs(" monitor", stdout);
      if (const monitor_record *mon = m->monitor) {
        put_field("action", mon->action);
        put_field("filename", mon->filename);
        put_searches("searches", mon->searches);
      }
      break;
    default:
      printf(" type=%d", m->type);
      break;
  }
  putchar('\n');
  fflush(stdout);
}

// ---- Datagrams ----

double now_seconds() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

// One datagram as it arrived. The buffer grows to the largest one seen.
struct Datagram {
  char *data = nullptr;
  size_t capacity = 0;
  size_t length = 0;  // bytes read
  size_t real = 0;    // bytes sent, as far as the system tells
  bool cut = false;   // the system says that bytes are missing

  Datagram() = default;
  Datagram(const Datagram &) = delete;
  Datagram &operator=(const Datagram &) = delete;
  ~Datagram() { free(data); }
};

// Receives one datagram whole, waiting until `deadline` (monotonic seconds;
// a negative deadline waits until a signal). Its real size is asked first
// and the buffer made large enough; whether it was cut all the same (no
// memory, or a system that does not tell the size) is the system's own
// flag. 1 when one came, 0 when the time ran out or a signal came, -1 on an
// error.
int receive(Datagram *d, double deadline) {
  for (;;) {
    if (stop_requested) return 0;
    int wait_ms = -1;
    if (deadline >= 0) {
      double left = deadline - now_seconds();
      if (left <= 0) return 0;
      wait_ms = (int)(left * 1000) + 1;
    }
    struct pollfd pfd = {serv_socket, POLLIN, 0};
    int r = poll(&pfd, 1, wait_ms);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return -1;
    if (r == 0) continue;  // the deadline check above ends the wait
    char probe;
    ssize_t real = recv(serv_socket, &probe, 1, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (real < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (real < 0) return -1;
    if ((size_t)real > d->capacity) {
      char *grown = static_cast<char *>(realloc(d->data, (size_t)real));
      if (grown != nullptr) {
        d->data = grown;
        d->capacity = (size_t)real;
      }
    }
    struct iovec iov = {d->data, d->capacity};
    struct msghdr mh;
    memset(&mh, 0, sizeof mh);
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t n = recvmsg(serv_socket, &mh, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return -1;
    d->length = (size_t)n;
    d->cut = (mh.msg_flags & MSG_TRUNC) != 0;
    d->real = (size_t)real > d->length ? (size_t)real : d->length;
    return 1;
  }
}

// The message in a datagram, or absent: a datagram that is empty, cut or
// not a readable message is printed as such, with its size and (up to
// MSG_OUT_BUFFER bytes) what it holds.
msg_record *read_message(const Datagram &d) {
  if (d.cut) {
    printf("cut (%lu of %lu bytes): ", (unsigned long)d.length, (unsigned long)d.real);
  } else if (d.length == 0) {
    printf("empty (0 bytes)\n");
    fflush(stdout);
    return nullptr;
  } else if (msg_record *m = msg_parse(d.data, (int)d.length)) {
    return m;
  } else {
    printf("unreadable (%lu bytes): ", (unsigned long)d.length);
  }
  put_bytes(d.data, d.length < MSG_OUT_BUFFER ? d.length : MSG_OUT_BUFFER);
  putchar('\n');
  fflush(stdout);
  return nullptr;
}

// ---- Endpoint ----

// Sends never block (MSG_DONTWAIT): send_within decides how long to try.
bool claim(const char *address) {
  int r = comm_start(address, MSG_DONTWAIT);
  if (r >= 0) return true;
  char path[108];
  comm_socket_path(address, path, sizeof path);
  switch (r) {
    case COMM_ERR_RUNNING:
      fprintf(stderr, "dornix-msg: another process already serves \"%s\" (%s)\n", address, path);
      break;
    case COMM_ERR_STALE:
      fprintf(stderr, "dornix-msg: cannot remove the old socket file %s: %s\n", path,
              strerror(errno));
      break;
    default:
      fprintf(stderr, "dornix-msg: cannot claim \"%s\" at %s: %s\n", address, path,
              strerror(errno));
      break;
  }
  return false;
}

// Sends `m` to `to`. While the recipient's queue is full it tries again, at
// intervals growing to 50 ms, until `deadline`: the result of msg_sendOut,
// MSG_DELIVER_LATER when the time ran out (or a signal came).
int send_within(const msg_record *m, const char *to, double deadline) {
  for (long pause_us = 1000;; pause_us = pause_us < 25000 ? pause_us * 2 : 50000) {
    int r = msg_sendOut(m, to);
    if (r != MSG_DELIVER_LATER || stop_requested) return r;
    double left_us = (deadline - now_seconds()) * 1e6;
    if (left_us <= 0) return r;
    usleep((useconds_t)(left_us < pause_us ? left_us : pause_us));
  }
}

const char *send_error(int r) {
  return r == MSG_DELIVER_LATER ? "the recipient cannot take it now"
                                : "no process is listening there, or the message is too long";
}

// Addresses, keys, names, group ids and pids go into the text verbatim:
// a character with a meaning in XML would make the message unreadable.
bool verbatim_ok(const char *s) {
  return s == nullptr || strpbrk(s, "<>&\"") == nullptr;
}

bool valid_address(const char *a) {
  return a != nullptr && *a != '\0' && strlen(a) <= 64 && strchr(a, '/') == nullptr &&
         verbatim_ok(a);
}

// A text received in a message, to go into a field that the writer copies
// verbatim (key, sequence, group): escaped as the wire format escapes
// values, so that the reader gives back the text as it arrived and no text
// adds elements.
class Escaped {
 public:
  explicit Escaped(const char *raw) : absent_(raw == nullptr) {
    // escapeXML stops only where 5 bytes no longer fit: a shorter result is
    // the whole text.
    int n = escapeXML(text_, sizeof text_ - 1, raw);
    fits_ = n < (int)sizeof text_ - 5;
    text_[n] = '\0';
  }
  Escaped(const Escaped &) = delete;
  Escaped &operator=(const Escaped &) = delete;

  // false when the escaped text could not fit into any message.
  bool fits() const { return fits_; }
  const char *get() const { return absent_ ? nullptr : text_; }

 private:
  char text_[MSG_OUT_BUFFER];
  bool absent_;
  bool fits_;
};

// How long answer tries to hand a reply to a querier whose queue is full: a
// process that reads its socket takes it at once, and others are waiting.
const double kReplyWait = 0.5;

// The reply of answer to a query or set, or absent (said on stderr) when
// it cannot be made.
msg_record *make_reply(const char *address, const msg_record *m, const char *value) {
  Escaped key(m->trans->key), seq(m->seq), group(m->trans->gid);
  if (!key.fits() || !seq.fits() || !group.fits()) {
    fprintf(stderr, "dornix-msg: no answer to \"%s\": its key, sequence or group is too long\n",
            m->from);
    return nullptr;
  }
  if (msg_getTransType(m) == TRANS_QUERY)
    return msgr_makeTransResponseSingle(address, m->from, group.get(), seq.get(), 0, key.get(),
                                        value);
  if (msg_getTransType(m) == TRANS_SET)
    return msgr_makeTransResponseEmpty(address, m->from, group.get(), seq.get(), 0, key.get());
  return nullptr;
}


// ---- Commands ----

int listen_or_answer(const Options &o, bool answer) {
  const char *address = o.args[0];
  if (!claim(address)) return EXIT_FAILED;
  double deadline = o.timeout >= 0 ? now_seconds() + o.timeout : -1;
  Datagram d;
  long seen = 0;
  int status = EXIT_OK;
  while (o.count == 0 || seen < o.count) {
    int got = receive(&d, deadline);
    if (got < 0) {
      fprintf(stderr, "dornix-msg: receiving failed: %s\n", strerror(errno));
      status = EXIT_FAILED;
      break;
    }
    if (got == 0) break;
    ++seen;
    msg_record *m = read_message(d);
    if (m == nullptr) continue;
    print_message(m);
    // The answer goes to the file named by the sender's address: only to a
    // plain name, never to a path.
    if (answer && msg_isTrans(m) && valid_address(m->from)) {
      msg_record *a = make_reply(address, m, o.args[1]);
      if (a != nullptr) {
        double until = now_seconds() + kReplyWait;
        int r = send_within(a, m->from, deadline >= 0 && deadline < until ? deadline : until);
        if (r < 0) fprintf(stderr, "dornix-msg: answer to \"%s\" not sent: %s\n", m->from,
                           send_error(r));
        msg_free(a);
      }
    }
    msg_free(m);
  }
  comm_unlink(address);
  lib_close();
  return status;
}

int request(const Options &o, const char *command) {
  const char *to = o.args[0];
  msg_record *m = nullptr;
  if (strcmp(command, "query") == 0) {
    m = msgr_makeTransQuery(o.from, to, o.group, o.args[1]);
  } else if (strcmp(command, "set") == 0) {
    m = msgr_makeTransSet(o.from, to, o.group, o.args[1], o.args[2]);
  } else {
    const char *text = o.args[2];
    m = msgr_makeReport(o.from, to, o.args[1], o.pid, text,
                        text != nullptr ? (int)strlen(text) : 0);
  }
  if (m == nullptr) {
    fprintf(stderr, "dornix-msg: out of memory\n");
    return EXIT_FAILED;
  }
  if (!claim(o.from)) {
    msg_free(m);
    return EXIT_FAILED;
  }
  char seq[64];
  snprintf(seq, sizeof seq, "%s", m->seq != nullptr ? m->seq : "");
  bool is_report = m->type == MSG_REPORT;
  // One deadline for both: the recipient taking the message and answering.
  double timeout = o.timeout >= 0 ? o.timeout : 5.0;
  double deadline = now_seconds() + timeout;
  int r = send_within(m, to, deadline);
  msg_free(m);
  if (r < 0) {
    fprintf(stderr, "dornix-msg: not sent to \"%s\": %s\n", to, send_error(r));
    comm_unlink(o.from);
    return EXIT_FAILED;
  }

  // Print what arrives until the answer to our message does (for a report,
  // which names nothing it answers, the first message is the answer).
  Datagram d;
  int status = EXIT_NO_ANSWER;
  while (receive(&d, deadline) > 0) {
    msg_record *a = read_message(d);
    if (a == nullptr) continue;
    print_message(a);
    bool answers = is_report || strcmp(msg_getTransReSeq(a) != nullptr ? msg_getTransReSeq(a)
                                                                        : "", seq) == 0;
    msg_free(a);
    if (answers) {
      status = EXIT_OK;
      break;
    }
  }
  if (status == EXIT_NO_ANSWER)
    fprintf(stderr, "dornix-msg: no answer from \"%s\" within %g s\n", to, timeout);
  comm_unlink(o.from);
  lib_close();
  return status;
}

int usage_error(const char *what) {
  fprintf(stderr, "dornix-msg: %s\nTry 'dornix-msg --help' for more information.\n", what);
  return EXIT_USAGE;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  const char *command = nullptr;
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    char what[160];
    if (options_end || a[0] != '-' || a[1] == '\0') {
      if (command == nullptr) {
        command = a;
      } else if (o.nargs < 4) {
        o.args[o.nargs++] = a;
      } else {
        snprintf(what, sizeof what, "unexpected argument %s", a);
        return usage_error(what);
      }
      continue;
    }
    if (strcmp(a, "--") == 0) {
      options_end = true;
      continue;
    }
    // --name=VALUE or --name VALUE
    char name[16];
    const char *inline_value = nullptr, *eq = strchr(a, '=');
    if (eq != nullptr && a[1] == '-' && (size_t)(eq - a) < sizeof name) {
      memcpy(name, a, eq - a);
      name[eq - a] = '\0';
      a = name;
      inline_value = eq + 1;
    }
    auto value = [&]() -> const char * {
      if (inline_value != nullptr) return inline_value;
      return i + 1 < argc ? argv[++i] : nullptr;
    };
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0 || strcmp(a, "--version") == 0) {
      if (inline_value != nullptr) {
        snprintf(what, sizeof what, "%s takes no value", a);
        return usage_error(what);
      }
      fputs(a[2] == 'v' ? DORNIX_VERSION_LINE("dornix-msg") : kUsage, stdout);
      fputs(gw_build_note(), stdout);
      return EXIT_OK;
    } else if (strcmp(a, "--from") == 0) {
      if ((o.from = value()) == nullptr) return usage_error("--from needs an address");
    } else if (strcmp(a, "--group") == 0) {
      if ((o.group = value()) == nullptr) return usage_error("--group needs a group id");
    } else if (strcmp(a, "--pid") == 0) {
      if ((o.pid = value()) == nullptr) return usage_error("--pid needs a pid");
    } else if (strcmp(a, "--timeout") == 0 || strcmp(a, "--count") == 0) {
      const char *v = value();
      char *end = nullptr;
      double d = v != nullptr ? strtod(v, &end) : -1;
      if (v == nullptr || end == v || *end != '\0' || d < 0 || d > 86400) {
        snprintf(what, sizeof what, "%s needs %s (0 to 86400), not \"%s\"", a,
                 a[2] == 't' ? "seconds" : "a number", v != nullptr ? v : "");
        return usage_error(what);
      }
      if (a[2] == 't') o.timeout = d;
      else o.count = (long)d;
    } else {
      snprintf(what, sizeof what, "unknown option %s", argv[i]);
      return usage_error(what);
    }
  }
  if (command == nullptr) return usage_error("no command given");

  struct {
    const char *name;
    int min, max;
  } const commands[] = {{"listen", 1, 1}, {"answer", 2, 2}, {"query", 2, 2},
                        {"set", 3, 3},    {"report", 2, 3}};
  bool known = false;
  for (const auto &c : commands) {
    if (strcmp(command, c.name) != 0) continue;
    known = true;
    if (o.nargs < c.min || o.nargs > c.max) {
      char what[160];
      if (o.nargs > c.max)
        snprintf(what, sizeof what, "unexpected argument %s (%s takes %d)", o.args[c.max], c.name,
                 c.max);
      else if (c.max > c.min)
        snprintf(what, sizeof what, "%s takes %d or %d arguments", c.name, c.min, c.max);
      else
        snprintf(what, sizeof what, "%s takes %d argument%s", c.name, c.min,
                 c.min > 1 ? "s" : "");
      return usage_error(what);
    }
  }
  if (!known) {
    char what[128];
    snprintf(what, sizeof what, "unknown command %s", command);
    return usage_error(what);
  }
  if (!valid_address(o.args[0]) || !valid_address(o.from))
    return usage_error("an address is a short name without '/', '<', '>', '&' or '\"'");
  bool names_key = strcmp(command, "listen") != 0 && strcmp(command, "answer") != 0;
  if (!verbatim_ok(o.group) || !verbatim_ok(o.pid) || (names_key && !verbatim_ok(o.args[1])))
    return usage_error("keys, names, group ids and pids must not contain '<', '>', '&' or '\"'");

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (strcmp(command, "listen") == 0) return listen_or_answer(o, false);
  if (strcmp(command, "answer") == 0) return listen_or_answer(o, true);
  return request(o, command);
}
