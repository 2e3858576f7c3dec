// Raw ICMP for the fallback reachability probe. Opening the socket needs
// administrator rights (root) on most systems; callers treat a failed open
// like an unreachable host.
#ifndef VELMORA_PLATFORM_ICMP_H
#define VELMORA_PLATFORM_ICMP_H

#include "platform/net.h"

namespace velmora {
namespace platform {

// A raw IPv4 socket for protocol ICMP, or kInvalidSocket. Received
// datagrams start with the IP header. Close it with CloseIcmpSocket.
Socket OpenIcmpSocket();
bool CloseIcmpSocket(Socket s);
// ICMP sockets opened and not yet closed in this process; lets tests check
// that no path leaks one.
int OpenIcmpSocketCount();

// Sends one datagram to `to`; bytes sent or -1.
int SendTo(Socket s, const void *data, int length, Ipv4 to);
// Receives one datagram of at most `length` bytes; bytes or -1. `from`
// receives the sender's address.
int ReceiveFrom(Socket s, void *buffer, int length, Ipv4 *from);

}  // namespace platform
}  // namespace velmora

#endif
