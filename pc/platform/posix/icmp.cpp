#include "platform/icmp.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmora {
namespace platform {
namespace {
int g_openIcmp = 0;
}

Socket OpenIcmpSocket() {
  int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd < 0) return kInvalidSocket;
  ++g_openIcmp;
  return fd;
}

bool CloseIcmpSocket(Socket s) {
  if (s == kInvalidSocket) return false;
  --g_openIcmp;
  return close(static_cast<int>(s)) == 0;
}

int OpenIcmpSocketCount() { return g_openIcmp; }

int SendTo(Socket s, const void *data, int length, Ipv4 to) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = to.networkOrder;
  ssize_t n = sendto(static_cast<int>(s), data, static_cast<size_t>(length), MSG_NOSIGNAL,
                     reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  return n < 0 ? -1 : static_cast<int>(n);
}

int ReceiveFrom(Socket s, void *buffer, int length, Ipv4 *from) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  socklen_t len = sizeof sa;
  ssize_t n = recvfrom(static_cast<int>(s), buffer, static_cast<size_t>(length), 0,
                       reinterpret_cast<sockaddr *>(&sa), &len);
  if (n < 0) return -1;
  if (from != nullptr) from->networkOrder = sa.sin_addr.s_addr;
  return static_cast<int>(n);
}

}  // namespace platform
}  // namespace velmora
