// Winsock itself: the contract of net.h is its behaviour.
#include "platform/net.h"
#include "platform/net_sys.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <string.h>

namespace velmora {
namespace platform {
namespace {

thread_local int t_lastError = 0;

bool Fail() {
  t_lastError = WSAGetLastError();
  return false;
}

SOCKET S(Socket s) { return static_cast<SOCKET>(s); }

WaitResult WaitFor(Socket s, uint32_t timeoutMs, bool readable) {
  fd_set set, failed;
  FD_ZERO(&set);
  FD_SET(S(s), &set);
  FD_ZERO(&failed);
  FD_SET(S(s), &failed);
  timeval tv;
  tv.tv_sec = static_cast<long>(timeoutMs / 1000);
  tv.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
  // Winsock reports a failed connect in progress in the exception set, not
  // as writable: a wait for writing ends on either.
  int rc = select(0, readable ? &set : nullptr, readable ? nullptr : &set,
                  readable ? nullptr : &failed, &tv);
  if (rc > 0) return WaitResult::kReady;
  if (rc == 0) return WaitResult::kTimeout;
  t_lastError = WSAGetLastError();
  return WaitResult::kError;
}

}  // namespace

int LastNetErrorCode() { return t_lastError; }
void SetLastNetErrorCode(int code) { t_lastError = code; }

NetError LastNetError() {
  switch (t_lastError) {
    case 0: return NetError::kNone;
    case WSAEINTR: return NetError::kInterrupted;
    case WSAEINVAL: return NetError::kInvalidArgument;
    case WSAEWOULDBLOCK:
    case WSAEINPROGRESS: return NetError::kWouldBlock;
    case WSAECONNREFUSED: return NetError::kConnectionRefused;
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAESHUTDOWN: return NetError::kConnectionReset;
    case WSAETIMEDOUT: return NetError::kTimedOut;
    case WSAENOTCONN: return NetError::kNotConnected;
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH: return NetError::kUnreachable;
    default: return NetError::kOther;
  }
}

bool NetStartup() {
  WSADATA data;
  if (WSAStartup(MAKEWORD(1, 1), &data) != 0) return false;
  if (data.wVersion != MAKEWORD(1, 1)) {
    WSACleanup();
    return false;
  }
  return true;
}

void NetCleanup() { WSACleanup(); }

Socket TcpSocket() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    Fail();
    return kInvalidSocket;
  }
  return static_cast<Socket>(s);
}

bool CloseSocket(Socket s) { return Check(closesocket(S(s))); }

bool SetDontLinger(Socket s) {
  BOOL on = TRUE;
  return Check(setsockopt(S(s), SOL_SOCKET, SO_DONTLINGER, reinterpret_cast<const char *>(&on),
                          sizeof on));
}

bool SetNonBlocking(Socket s, bool nonBlocking) {
  u_long on = nonBlocking ? 1 : 0;
  return Check(ioctlsocket(S(s), FIONBIO, &on));
}

bool ConnectSucceeded(Socket s) {
  int err = 0;
  int len = sizeof err;
  if (getsockopt(S(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err), &len) != 0)
    return Fail();
  if (err == 0) return true;
  t_lastError = err;
  return false;
}

WaitResult WaitReadable(Socket s, uint32_t timeoutMs) { return WaitFor(s, timeoutMs, true); }
WaitResult WaitWritable(Socket s, uint32_t timeoutMs) { return WaitFor(s, timeoutMs, false); }

int Send(Socket s, const void *data, int length) {
  int n = send(S(s), static_cast<const char *>(data), length, 0);
  if (n == SOCKET_ERROR) {
    t_lastError = WSAGetLastError();
    return -1;
  }
  return n;
}

int Receive(Socket s, void *buffer, int length) {
  int n = recv(S(s), static_cast<char *>(buffer), length, 0);
  if (n == SOCKET_ERROR) {
    t_lastError = WSAGetLastError();
    return -1;
  }
  return n;
}

Socket ListenLoopback(int *port) {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    Fail();
    return kInvalidSocket;
  }
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof sa;
  if (bind(s, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(s, 16) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    Fail();
    closesocket(s);
    return kInvalidSocket;
  }
  if (port != nullptr) *port = ntohs(sa.sin_port);
  return static_cast<Socket>(s);
}

Socket Accept(Socket listener) {
  SOCKET s = accept(S(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    Fail();
    return kInvalidSocket;
  }
  return static_cast<Socket>(s);
}

bool ShutdownSend(Socket s) { return Check(shutdown(S(s), SD_SEND)); }

}  // namespace platform
}  // namespace velmora
