// The debug log of dornix, "/var/tmp/log.txt": every request appends its
// steps to it. The bottom of the CGI: every unit may log, and this one
// calls none of them.
#ifndef DORNIX_CGI_LOG_H
#define DORNIX_CGI_LOG_H

#include <stdio.h>

struct debug_log {
  int debug;        // lines are written only while it is 1
  FILE *pLogFile;   // the log, opened for appending
  bool at_line_start;
};

// Opens the log for appending into `log` and makes it the one debug_printf
// writes to. False when it cannot be opened.
bool log_open(struct debug_log *log);

// Closes the log (once; later calls do nothing).
void log_close(struct debug_log *log);

// Appends printf-formatted text (at most 1023 characters) to the log. Each
// entry that starts a line starts with its time and the request's pid, so
// that one request's lines can be told from another's.
void debug_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
