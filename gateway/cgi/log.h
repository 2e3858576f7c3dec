// The debug log of dornix, "/var/tmp/log.txt": every request appends its
// steps to it. The bottom of the CGI: every unit may log, and this one
// calls none of them.
//
// The log lives on the gateway's RAM disk and outlives every request, so
// it is bounded here, whatever a request sends or a package's script
// prints:
//   - a line is cut at DORNIX_LOG_LINE_MAX bytes;
//   - a line equal to the one before is counted, not written again ("last
//     line repeated N times");
//   - one request adds at most DORNIX_LOG_REQUEST_MAX bytes, time stamps
//     included; the lines past that are counted in one closing line;
//   - a request that finds the log at DORNIX_LOG_FILE_MAX bytes or more
//     moves it to "/var/tmp/log.txt.0" (replacing the generation before)
//     and starts a new one. So log.txt stays under FILE_MAX + REQUEST_MAX
//     bytes, and the two files together under twice that (160 KiB).
#ifndef DORNIX_CGI_LOG_H
#define DORNIX_CGI_LOG_H

#include <stdio.h>

#define DORNIX_LOG_LINE_MAX 1024
#define DORNIX_LOG_REQUEST_MAX 16384
#define DORNIX_LOG_FILE_MAX 65536

struct debug_log {
  int debug;        // lines are written only while it is 1
  FILE *pLogFile;   // the log, opened for appending
  // The line being formed: the texts of the calls until one ends a line.
  char line[DORNIX_LOG_LINE_MAX];
  unsigned line_length;
  bool line_cut;
  // The last line written, and how often it came again since.
  char last[DORNIX_LOG_LINE_MAX];
  unsigned last_length;
  long repeats;
  long long written;   // bytes this request added
  long dropped_lines;  // lines past the request's share, not written
  long long dropped_bytes;
};

// Opens the log for appending into `log` and makes it the one debug_printf
// writes to. False when it cannot be opened.
bool log_open(struct debug_log *log);

// Moves a log that has reached DORNIX_LOG_FILE_MAX to the older generation
// and starts a new one. Called by the request that holds the "fw" endpoint,
// so that no two requests move it at once.
void log_limit_size(struct debug_log *log);

// Writes what is pending (a line without its end, the repeat count, the
// count of lines past the request's share) and closes the log, once.
void log_close(struct debug_log *log);

// Appends printf-formatted text (at most 1023 characters) to the log. Each
// line starts with its time and the request's pid, so that one request's
// lines can be told from another's.
void debug_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif
