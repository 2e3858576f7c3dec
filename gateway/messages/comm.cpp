#include "comm.h"

#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "platform.h"

int serv_socket = -1;
int send_flags = 0;

namespace {

// Notices are cut to 49 characters: the LED driver takes no more.
char notice[51];

void make_address(const char *address, struct sockaddr_un *sa) {
  memset(sa, 0, sizeof *sa);
  sa->sun_family = AF_UNIX;
  comm_socket_path(address, sa->sun_path, sizeof sa->sun_path);
}

// True when a socket file (not a link to one) stands at `path`.
bool is_socket_file(const char *path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

// The socket file exists. A process that is bound there and reading
// accepts a connection; a file left by a process that ended does not, and
// is replaced, as is anything that is no socket file: a link planted at
// the path, even to another process's live socket, is no process's
// endpoint at this address. Two processes that both found the file left over must not
// each remove it: the second would remove the socket the first has just
// bound, and both would run. So the judgement and the replacement are made
// under an advisory lock on the directory that holds the socket files (it
// creates no file of its own); a process that binds a free address needs
// no lock, as it cannot bind while a file stands there.
int claim_left_over(int sock, struct sockaddr_un *sa) {
  GwPath dir(GW_TMP_DIR);
  int lock = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (lock >= 0) flock(lock, LOCK_EX);
  int r = 0;
  struct sockaddr *addr = reinterpret_cast<struct sockaddr *>(sa);
  if (bind(sock, addr, sizeof *sa) == 0) {
    // The lock's last holder removed the file and ended since.
  } else if (is_socket_file(sa->sun_path) && connect(sock, addr, sizeof *sa) == 0) {
    syslog(LOG_ERR, "Second instance already running");
    r = COMM_ERR_RUNNING;
  } else {
    gw_test_pause(GW_HOOK_STALE_PAUSE);  // tests widen the window here
    if (unlink(sa->sun_path) != 0) {
      syslog(LOG_ERR, "Error removing old socket");
      r = COMM_ERR_STALE;
    } else if (bind(sock, addr, sizeof *sa) != 0) {
      syslog(LOG_ERR, "Error binding socket");
      r = COMM_ERR_BIND;
    }
  }
  if (lock >= 0) close(lock);  // releases the lock
  return r;
}

}  // namespace

// A path longer than a socket address holds is cut (107 characters).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation"
void comm_socket_path(const char *address, char *out, size_t size) {
  GwPath dir(GW_TMP_DIR);
  snprintf(out, size, "%s/cm_%s.ctl", dir.c_str(), address);
}
#pragma GCC diagnostic pop

int comm_start(const char *address, int flags) {
  openlog(address, 0, LOG_USER);
  int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (sock < 0) {
    syslog(LOG_ERR, "Low level socket error");
    return COMM_ERR_SOCKET;
  }
  struct sockaddr_un sa;
  make_address(address, &sa);
  if (bind(sock, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
    int r = claim_left_over(sock, &sa);
    if (r < 0) {
      close(sock);
      return r;
    }
  }
  serv_socket = sock;
  send_flags = flags;
  return sock;
}

int comm_unlink(const char *address) {
  struct sockaddr_un sa;
  make_address(address, &sa);
  return unlink(sa.sun_path) == 0 ? 0 : -1;
}

int comm_sendto(int sock, const void *data, size_t length, const char *address) {
  struct sockaddr_un sa;
  make_address(address, &sa);
  ssize_t n = sendto(sock, data, length, send_flags, reinterpret_cast<struct sockaddr *>(&sa),
                     sizeof sa);
  return n < 0 ? -1 : (int)n;
}

int kprintf(const char *format, ...) {
  GwPath led(GW_LED_DEVICE);
  int fd = open(led, O_RDWR);
  if (fd < 0) return -1;
  memset(notice, 0, sizeof notice);
  va_list ap;
  va_start(ap, format);
  vsnprintf(notice, 50, format, ap);
  va_end(ap);
  gw_led_notice(fd, notice);
  close(fd);
  return 0;
}
