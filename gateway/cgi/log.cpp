#include "log.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform.h"

namespace {

// The log debug_printf writes to: the one of the request this process serves.
struct debug_log *active = nullptr;

// Room kept back from a request's share for the lines that close it (the
// repeat count and the count of lines left out).
const long long kClosingRoom = 256;

FILE *open_append(const char *path) {
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  FILE *f = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (fd >= 0 && f == nullptr) close(fd);
  return f;
}

// Writes one line with its time stamp when the request's share has room
// for it: `closing` lines may use the room kept back. False when it had none.
bool write_line(struct debug_log *log, const char *text, size_t n, bool closing) {
  time_t now = time(nullptr);
  struct tm tm;
  char stamp[48];
  if (localtime_r(&now, &tm) == nullptr || strftime(stamp, 32, "%Y-%m-%d %H:%M:%S", &tm) == 0)
    snprintf(stamp, 32, "%ld", (long)now);
  size_t used = strlen(stamp);
  snprintf(stamp + used, sizeof stamp - used, " [%ld] ", (long)getpid());
  used = strlen(stamp);
  const long long room = DORNIX_LOG_REQUEST_MAX - (closing ? 0 : kClosingRoom) - log->written;
  if ((long long)(used + n) > room) return false;
  fwrite(stamp, 1, used, log->pLogFile);
  fwrite(text, 1, n, log->pLogFile);
  fflush(log->pLogFile);
  log->written += (long long)(used + n);
  return true;
}

void write_repeats(struct debug_log *log, bool closing) {
  if (log->repeats == 0) return;
  char text[64];
  int n = snprintf(text, sizeof text, "last line repeated %ld times\n", log->repeats);
  if (!write_line(log, text, (size_t)n, closing)) {
    log->dropped_lines += log->repeats;
    log->dropped_bytes += (long long)log->repeats * log->last_length;
  }
  log->repeats = 0;
}

// Ends the line being formed: written, counted as a repeat, or counted as
// left out.
void end_line(struct debug_log *log, bool closing) {
  char *line = log->line;
  unsigned n = log->line_length;
  log->line_length = 0;
  if (n == 0) return;
  if (log->line_cut && line[n - 1] != '\n') line[n - 1] = '\n';
  log->line_cut = false;
  if (n == log->last_length && memcmp(line, log->last, n) == 0) {
    ++log->repeats;
    return;
  }
  write_repeats(log, closing);
  if (write_line(log, line, n, closing)) {
    memcpy(log->last, line, n);
    log->last_length = n;
  } else {
    ++log->dropped_lines;
    log->dropped_bytes += n;
    log->last_length = 0;
  }
}

}  // namespace

bool log_open(struct debug_log *log) {
  memset(log, 0, sizeof *log);
  log->debug = 1;
  log->pLogFile = open_append(GwPath(GW_LOG_FILE));
  active = log->pLogFile != nullptr ? log : nullptr;
  return log->pLogFile != nullptr;
}

void log_limit_size(struct debug_log *log) {
  struct stat st;
  if (log->pLogFile == nullptr || fstat(fileno(log->pLogFile), &st) != 0 || !S_ISREG(st.st_mode) ||
      st.st_size < DORNIX_LOG_FILE_MAX)
    return;
  GwPath current(GW_LOG_FILE);
  if (rename(current, GwPath(GW_LOG_FILE_OLD)) != 0) return;
  // Should no new log be possible, this request goes on in the old one.
  FILE *fresh = open_append(current);
  if (fresh == nullptr) return;
  fclose(log->pLogFile);
  log->pLogFile = fresh;
}

void log_close(struct debug_log *log) {
  if (log->pLogFile != nullptr) {
    end_line(log, true);
    write_repeats(log, true);
    if (log->dropped_lines > 0) {
      char text[160];
      int n = snprintf(text, sizeof text,
                       "debug_printf: %ld more lines (%lld bytes) not logged: a request logs at most %d bytes\n",
                       log->dropped_lines, log->dropped_bytes, DORNIX_LOG_REQUEST_MAX);
      write_line(log, text, (size_t)n, true);
    }
    fclose(log->pLogFile);
    log->pLogFile = nullptr;
  }
  if (active == log) active = nullptr;
}

void debug_printf(const char *format, ...) {
  static char text[1024];
  struct debug_log *log = active;
  if (log == nullptr || log->debug != 1 || log->pLogFile == nullptr) return;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  if (n < 0) n = snprintf(text, sizeof text, "Overflow");
  size_t length = strlen(text);
  if (length == 0) return;
  size_t take = length;
  if (take > sizeof log->line - log->line_length) {
    take = sizeof log->line - log->line_length;
    log->line_cut = true;
  }
  memcpy(log->line + log->line_length, text, take);
  log->line_length += (unsigned)take;
  if (text[length - 1] == '\n') end_line(log, false);
}
