// File sizes in 64 bits: a log of any size found at the path is judged by it.
#define _FILE_OFFSET_BITS 64

#include "log.h"

#include <errno.h>
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

// Opens the log at `path` for appending. Only a regular file is a log: a
// link planted at the path is not followed (the lines would land in the
// file it names, outside /var/tmp), and a FIFO or a device is not written
// into (a FIFO that nobody reads would hold every request for good). Such a
// thing is removed and a new log started; a folder there stays, and the log
// cannot be opened.
FILE *open_append(const char *path) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      FILE *f = fdopen(fd, "a");
      if (f == nullptr) close(fd);
      return f;
    }
    // ELOOP: a link; ENXIO: a FIFO that nobody reads. Another request may
    // have removed it first.
    const bool foreign = fd >= 0 || errno == ELOOP || errno == ENXIO;
    if (fd >= 0) close(fd);
    if (!foreign || (unlink(path) != 0 && errno != ENOENT)) return nullptr;
  }
  return nullptr;
}

// Most a log and its older generation grow to under this writer; a file
// larger than that was not written by it.
const off_t kLogBound = DORNIX_LOG_FILE_MAX + DORNIX_LOG_REQUEST_MAX;

// Keeps only the last DORNIX_LOG_FILE_MAX bytes of the older generation
// when it is larger than this writer lets a log grow (a log of an older
// program, or one a package's script filled): whatever the log was found
// like, the two files stay bounded, and the newest lines stay.
void keep_tail(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= kLogBound) return;
  int fd = open(path, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  const off_t keep = DORNIX_LOG_FILE_MAX, from = st.st_size - keep;
  char buf[4096];
  bool moved = true;
  for (off_t done = 0; moved && done < keep;) {
    const ssize_t n = pread(fd, buf, sizeof buf, from + done);
    moved = n > 0 && pwrite(fd, buf, (size_t)n, done) == n;
    done += n;
  }
  if (ftruncate(fd, moved ? keep : 0) != 0) {
    // Nothing more to do: the log is an aid.
  }
  close(fd);
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
  if (log->pLogFile == nullptr) return;
  GwPath current(GW_LOG_FILE), old(GW_LOG_FILE_OLD);
  struct stat st;
  if (fstat(fileno(log->pLogFile), &st) == 0 && st.st_size >= DORNIX_LOG_FILE_MAX) {
    // What stands at the older generation's path gives way to the log (an
    // empty folder, say); should the log still not move, it starts again
    // where it is, so that it stays bounded all the same.
    if (rename(current, old) != 0 && (remove(old), rename(current, old) != 0)) {
      if (ftruncate(fileno(log->pLogFile), 0) != 0) {
        // Nothing more to do: the log is an aid.
      }
    } else if (FILE *fresh = open_append(current)) {
      // Should no new log be possible, this request goes on in the old one.
      fclose(log->pLogFile);
      log->pLogFile = fresh;
    }
  }
  keep_tail(old);
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
