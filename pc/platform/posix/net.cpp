// BSD sockets behind the Winsock-shaped contract of net.h.
#include "platform/net.h"
#include "platform/net_sys.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmora {
namespace platform {
namespace {

thread_local int t_lastError = 0;

bool Fail() {
  t_lastError = errno;
  return false;
}

int Fd(Socket s) { return static_cast<int>(s); }

WaitResult WaitFor(Socket s, uint32_t timeoutMs, bool readable) {
  if (s < 0 || s >= FD_SETSIZE) {
    t_lastError = EBADF;
    return WaitResult::kError;
  }
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Fd(s), &set);
  timeval tv;
  tv.tv_sec = static_cast<time_t>(timeoutMs / 1000);
  tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
  int rc = select(Fd(s) + 1, readable ? &set : nullptr, readable ? nullptr : &set, nullptr, &tv);
  if (rc > 0) return WaitResult::kReady;
  if (rc == 0) return WaitResult::kTimeout;
  t_lastError = errno;
  return WaitResult::kError;
}

}  // namespace

int LastNetErrorCode() { return t_lastError; }
void SetLastNetErrorCode(int code) { t_lastError = code; }

NetError LastNetError() {
  switch (t_lastError) {
    case 0: return NetError::kNone;
    case EINTR: return NetError::kInterrupted;
    case EINVAL: return NetError::kInvalidArgument;
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN:
    case EINPROGRESS: return NetError::kWouldBlock;
    case ECONNREFUSED: return NetError::kConnectionRefused;
    case ECONNRESET:
    case EPIPE: return NetError::kConnectionReset;
    case ETIMEDOUT: return NetError::kTimedOut;
    case ENOTCONN: return NetError::kNotConnected;
    case ENETUNREACH:
    case EHOSTUNREACH: return NetError::kUnreachable;
    default: return NetError::kOther;
  }
}

bool NetStartup() { return true; }
void NetCleanup() {}

Socket TcpSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  return fd;
}

bool CloseSocket(Socket s) { return Check(close(Fd(s))); }

bool SetDontLinger(Socket s) {
  linger l;
  l.l_onoff = 0;
  l.l_linger = 0;
  return Check(setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l));
}

bool SetNonBlocking(Socket s, bool nonBlocking) {
  int on = nonBlocking ? 1 : 0;
  return Check(ioctl(Fd(s), FIONBIO, &on));
}

bool ConnectSucceeded(Socket s) {
  int err = 0;
  socklen_t len = sizeof err;
  if (getsockopt(Fd(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return Fail();
  if (err == 0) return true;
  t_lastError = err;
  return false;
}

WaitResult WaitReadable(Socket s, uint32_t timeoutMs) { return WaitFor(s, timeoutMs, true); }
WaitResult WaitWritable(Socket s, uint32_t timeoutMs) { return WaitFor(s, timeoutMs, false); }

int Send(Socket s, const void *data, int length) {
  if (length < 0) {
    t_lastError = EINVAL;
    return -1;
  }
  ssize_t n = send(Fd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (n < 0) {
    t_lastError = errno;
    return -1;
  }
  return static_cast<int>(n);
}

int Receive(Socket s, void *buffer, int length) {
  if (length < 0) {
    t_lastError = EINVAL;
    return -1;
  }
  ssize_t n = recv(Fd(s), buffer, static_cast<size_t>(length), 0);
  if (n < 0) {
    t_lastError = errno;
    return -1;
  }
  return static_cast<int>(n);
}

Socket ListenLoopback(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    Fail();
    close(fd);
    return kInvalidSocket;
  }
  if (port != nullptr) *port = ntohs(sa.sin_port);
  return fd;
}

Socket Accept(Socket listener) {
  int fd;
  do {
    fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    Fail();
    return kInvalidSocket;
  }
  return fd;
}

bool ShutdownSend(Socket s) { return Check(shutdown(Fd(s), SHUT_WR)); }

}  // namespace platform
}  // namespace velmora
