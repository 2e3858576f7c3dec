#include "platform/icmp.h"

#include <winsock2.h>
#include <windows.h>
#include <string.h>

namespace velmora {
namespace platform {
namespace {
int g_openIcmp = 0;
}

Socket OpenIcmpSocket() {
  SOCKET s = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
  if (s == INVALID_SOCKET) return kInvalidSocket;
  ++g_openIcmp;
  return static_cast<Socket>(s);
}

bool CloseIcmpSocket(Socket s) {
  if (s == kInvalidSocket) return false;
  --g_openIcmp;
  return closesocket(static_cast<SOCKET>(s)) == 0;
}

int OpenIcmpSocketCount() { return g_openIcmp; }

int SendTo(Socket s, const void *data, int length, Ipv4 to) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = to.networkOrder;
  int n = sendto(static_cast<SOCKET>(s), static_cast<const char *>(data), length, 0,
                 reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  return n == SOCKET_ERROR ? -1 : n;
}

int ReceiveFrom(Socket s, void *buffer, int length, Ipv4 *from) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  int len = sizeof sa;
  int n = recvfrom(static_cast<SOCKET>(s), static_cast<char *>(buffer), length, 0,
                   reinterpret_cast<sockaddr *>(&sa), &len);
  if (n == SOCKET_ERROR) return -1;
  if (from != nullptr) from->networkOrder = sa.sin_addr.s_addr;
  return n;
}

}  // namespace platform
}  // namespace velmora
