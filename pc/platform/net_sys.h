// The system's socket headers and the few names in which Winsock and BSD
// sockets differ, for the implementations of net.h only.
#ifndef VELMORA_PLATFORM_NET_SYS_H
#define VELMORA_PLATFORM_NET_SYS_H

#include "platform/net.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace velmora {
namespace platform {

#ifdef _WIN32
using SysSocket = SOCKET;
inline int SysNetError() { return WSAGetLastError(); }
const int kSysInvalidArgument = WSAEINVAL;
const int kSysHostNotFound = WSAHOST_NOT_FOUND;
#else
using SysSocket = int;
inline int SysNetError() { return errno; }
const int kSysInvalidArgument = EINVAL;
const int kSysHostNotFound = EHOSTUNREACH;
#endif

inline SysSocket Sys(Socket s) { return static_cast<SysSocket>(s); }

// The code that LastNetErrorCode() reports from now on (per thread).
void SetLastNetErrorCode(int code);

// True for rc 0; otherwise the system's error becomes the last one.
inline bool Check(int rc) {
  if (rc == 0) return true;
  SetLastNetErrorCode(SysNetError());
  return false;
}

}  // namespace platform
}  // namespace velmora

#endif
