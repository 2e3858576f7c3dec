// The parts of net.h that are the same on every system.
#include <stdio.h>

#include "platform/net.h"

#include <string.h>

#include "platform/net_sys.h"

#include "platform/clock.h"

namespace velmora {
namespace platform {
namespace {
int g_netUsers = 0;
}

void NetAcquire() {
  if (g_netUsers++ == 0) NetStartup();
}

void NetRelease() {
  if (--g_netUsers <= 0) {
    NetCleanup();
    if (g_netUsers < 0) g_netUsers = 0;
  }
}

int NetUseCount() { return g_netUsers; }

bool ParseIpv4(const char *text, Ipv4 *out) {
  if (text == nullptr) return false;
  uint32_t fields[4];
  const char *p = text;
  for (int i = 0; i < 4; ++i) {
    if (*p < '0' || *p > '9') return false;
    uint32_t value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<uint32_t>(*p - '0');
      if (++digits > 3 || value > 255) return false;
      ++p;
    }
    fields[i] = value;
    if (i < 3) {
      if (*p != '.') return false;
      ++p;
    }
  }
  if (*p != '\0') return false;
  // Network order: the first field is the lowest-addressed byte.
  uint8_t bytes[4] = {static_cast<uint8_t>(fields[0]), static_cast<uint8_t>(fields[1]),
                      static_cast<uint8_t>(fields[2]), static_cast<uint8_t>(fields[3])};
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) reinterpret_cast<uint8_t *>(&v)[i] = bytes[i];
  out->networkOrder = v;
  return true;
}

std::string FormatIpv4(Ipv4 address) {
  const uint8_t *b = reinterpret_cast<const uint8_t *>(&address.networkOrder);
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return text;
}

Ipv4 LoopbackIpv4() {
  Ipv4 a;
  ParseIpv4("127.0.0.1", &a);
  return a;
}

bool ResolveHost(const char *host, Ipv4 *out) {
  if (host == nullptr || *host == '\0') return false;
  if (ParseIpv4(host, out)) return true;
  return LookupHost(host, out);
}

bool SetReceiveBuffer(Socket s, int bytes) {
  return Check(setsockopt(Sys(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&bytes),
                          sizeof bytes));
}

bool SetSendBuffer(Socket s, int bytes) {
  return Check(setsockopt(Sys(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes),
                          sizeof bytes));
}

bool BindAny(Socket s) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  sa.sin_port = 0;
  // Winsock, and Linux alike, answer "invalid argument" when the socket is
  // already bound.
  return Check(bind(Sys(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa));
}

bool LookupHost(const char *name, Ipv4 *out) {
  if (name == nullptr || *name == '\0') {
    SetLastNetErrorCode(kSysInvalidArgument);
    return false;
  }
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  addrinfo *result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) {
    SetLastNetErrorCode(kSysHostNotFound);
    return false;
  }
  out->networkOrder = reinterpret_cast<sockaddr_in *>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return true;
}

bool Connect(Socket s, Ipv4 address, int port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address.networkOrder;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  return Check(connect(Sys(s), reinterpret_cast<sockaddr *>(&sa), sizeof sa));
}

bool ConnectWithin(Socket s, Ipv4 address, int port, uint32_t timeoutMs) {
  if (!SetNonBlocking(s, true)) return false;
  bool ok = Connect(s, address, port);
  if (!ok && LastNetError() == NetError::kWouldBlock) {
    uint32_t start = TickCount();
    for (;;) {
      uint32_t spent = TickCount() - start;
      if (spent >= timeoutMs) break;
      WaitResult w = WaitWritable(s, timeoutMs - spent);
      if (w == WaitResult::kReady) ok = ConnectSucceeded(s);
      if (w != WaitResult::kError || LastNetError() != NetError::kInterrupted) break;
    }
  }
  if (!SetNonBlocking(s, false)) ok = false;
  return ok;
}

}  // namespace platform
}  // namespace velmora
