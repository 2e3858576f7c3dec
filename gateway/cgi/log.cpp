#include "log.h"

#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "platform.h"

namespace {

// The log debug_printf writes to: the one of the request this process serves.
struct debug_log *active = nullptr;

}  // namespace

bool log_open(struct debug_log *log) {
  log->debug = 1;
  log->at_line_start = true;
  int fd = open(GwPath(GW_LOG_FILE), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  log->pLogFile = fd >= 0 ? fdopen(fd, "a") : nullptr;
  if (fd >= 0 && log->pLogFile == nullptr) close(fd);
  active = log->pLogFile != nullptr ? log : nullptr;
  return log->pLogFile != nullptr;
}

void log_close(struct debug_log *log) {
  if (log->pLogFile != nullptr) {
    fclose(log->pLogFile);
    log->pLogFile = nullptr;
  }
  if (active == log) active = nullptr;
}

void debug_printf(const char *format, ...) {
  static char line[1024];
  struct debug_log *log = active;
  if (log == nullptr || log->debug != 1 || log->pLogFile == nullptr) return;
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n < 0) snprintf(line, sizeof line, "Overflow");
  if (line[0] == '\0') return;
  if (log->at_line_start) {
    time_t now = time(nullptr);
    struct tm tm;
    char stamp[32];
    if (localtime_r(&now, &tm) == nullptr || strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm) == 0)
      snprintf(stamp, sizeof stamp, "%ld", (long)now);
    fprintf(log->pLogFile, "%s [%ld] ", stamp, (long)getpid());
  }
  fprintf(log->pLogFile, "%s", line);
  log->at_line_start = line[strlen(line) - 1] == '\n';
}
