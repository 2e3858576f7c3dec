#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pages.h"

#include "contract/result.h"
#include "deadline.h"
#include "log.h"
#include "platform.h"

void flush_output_buffer(void) {
  for (int i = 0; i < 2000; ++i) fputs("\r\n", stdout);
  fflush(stdout);
}

void header(int kind, const char *extra) {
  if (kind == 1) {
    fputs("Content-type: text/html; charset=iso-8859-1\n", stdout);
    fputs(extra, stdout);  // empty unless a signature was checked
    fputs("\n", stdout);
  } else {
    fputs("Content-type: application/octet-stream xml;\n", stdout);
    fputs("Content-Disposition: attachment; filename=config.xml\n\n", stdout);
  }
}

void resend_firmware_page(int code, const char *extra) {
  header(1, extra);
  printf("upgrade result: %s[%d]\n", code == RESULT_OK ? "ok" : "fail", code);
  flush_output_buffer();
}

void log_header(int selector) {
  fputs("Content-type: application/octet-stream bin;\n", stdout);
  printf("Content-Disposition: attachment; filename=%s\n\n",
         selector == 0 ? "system_log.txt" : "firewall_log.txt");
}

bool response_write(const void *data, size_t n, long long deadline_ms) {
  fflush(stdout);  // the header lines go first
  const int idle_ms = gw_time_limit_ms(GW_HOOK_IDLE_LIMIT, DORNIX_IDLE_LIMIT_MS);
  const char *p = static_cast<const char *>(data);
  while (n > 0) {
    int wait_ms = idle_ms;
    if (deadline_ms > 0) {
      const long long left = deadline_ms - monotonic_ms();
      if (left < wait_ms) wait_ms = left > 0 ? (int)left : 0;
    }
    // Once the output can take bytes, a write of at most PIPE_BUF bytes
    // does not wait: how long to wait is decided here alone.
    struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
    const int ready = poll(&out, 1, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      debug_printf("response_write: the client stopped taking the download: %lu bytes not sent\n",
                   (unsigned long)n);
      return false;
    }
    const ssize_t put = write(STDOUT_FILENO, p, n < PIPE_BUF ? n : PIPE_BUF);
    if (put < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (put <= 0) return false;  // the client went away
    p += put;
    n -= (size_t)put;
  }
  return true;
}

int send_log_file(int selector, long long deadline_ms) {
  // Without waiting for a writer, should the log be a pipe.
  int fd = open(GwPath(selector == 0 ? GW_SYSTEM_LOG : GW_FIREWALL_LOG), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    // A pipe, a device or a directory has no size to hold: such a log
    // cannot be downloaded whole.
    debug_printf("send_log_file: log %d is not a file\n", selector);
    close(fd);
    return RESULT_CONFIG_TOKEN;
  }
  FILE *log = fd >= 0 ? fdopen(fd, "r") : nullptr;
  if (fd >= 0 && log == nullptr) close(fd);
  long size = 0;
  if (log != nullptr && fseek(log, 0, SEEK_END) == 0) {
    size = ftell(log);
    rewind(log);
  }
  if (log == nullptr || size == 0) {
    // A missing or empty log is an empty download.
    if (log != nullptr) fclose(log);
    log_header(selector);
    fflush(stdout);
    return RESULT_OK;
  }
  if (size < 0) {
    fclose(log);
    return RESULT_CONFIG_TOKEN;
  }
  debug_printf("Status=%d   before Malloc\n", (int)size);
  char *data = static_cast<char *>(malloc((size_t)size));
  if (data == nullptr) {
    fclose(log);
    return RESULT_NO_MEMORY;
  }
  debug_printf("Status=%d   After Malloc\n", (int)size);
  size_t items = fread(data, (size_t)size, 1, log);
  fclose(log);
  if (items != 1) {
    free(data);
    debug_printf("Status=%d  \n", (int)items);
    return RESULT_CONFIG_TOKEN;
  }
  log_header(selector);
  response_write(data, (size_t)size, deadline_ms);
  free(data);
  return RESULT_OK;
}
