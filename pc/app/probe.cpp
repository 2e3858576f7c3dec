#include "app/probe.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "platform/clock.h"
#include "platform/icmp.h"
#include "platform/net.h"
#include "platform/process.h"
#include "platform/sysinfo.h"

namespace velmora {
namespace {

// Identifier and sequence of the echo requests; they grow for the life of
// the program.
uint32_t g_icmpId = 1;
uint32_t g_icmpSeq = 1;

constexpr uint32_t kIcmpWaitMs = 5000;
constexpr int kIcmpReceiveMax = 321;
constexpr size_t kIpHeaderLength = 20;

void PutLe16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void PutLe32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLe32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Sends one echo request and waits for its reply; 1 when a reply came from
// an address that counts, 0 otherwise. Never closes `s`: the caller does,
// on every path.
int EchoOnce(platform::Socket s, const char *address) {
  platform::Ipv4 to;
  if (!platform::LookupHost(address, &to)) return 0;

  uint8_t request[kIcmpEchoLength];
  BuildEchoRequest(request, platform::TickCount());
  const uint16_t id = static_cast<uint16_t>(request[4] | request[5] << 8);
  if (platform::SendTo(s, request, static_cast<int>(sizeof request), to) !=
      static_cast<int>(sizeof request)) {
    return 0;
  }

  // A raw socket sees every ICMP datagram of the host, our own request
  // among them when it goes over loopback: only an echo reply (type 0)
  // carrying our identifier answers us. Anything else is skipped while the
  // five seconds last.
  const uint32_t start = platform::TickCount();
  for (;;) {
    uint32_t elapsed = platform::TickCount() - start;
    if (elapsed >= kIcmpWaitMs) return 0;
    if (platform::WaitReadable(s, kIcmpWaitMs - elapsed) != platform::WaitResult::kReady) return 0;
    uint8_t reply[kIcmpReceiveMax];
    platform::Ipv4 from;
    int n = platform::ReceiveFrom(s, reply, static_cast<int>(sizeof reply), &from);
    if (n < 0) return 0;
    size_t ihl = (reply[0] & 0x0F) * 4u;
    if (static_cast<size_t>(n) < kIpHeaderLength || ihl < kIpHeaderLength ||
        static_cast<size_t>(n) < ihl + 13) {
      continue;
    }
    const uint8_t *icmp = reply + ihl;
    if (icmp[0] != 0 || static_cast<uint16_t>(icmp[4] | icmp[5] << 8) != id) continue;

    const int ttl = reply[8];
    const uint32_t sent = GetLe32(icmp + 9);
    char line[128];
    std::string sender = platform::FormatIpv4(from);
    snprintf(line, sizeof line, "Reply from: %s: bytes=%d time=%ldms TTL=%d\n", sender.c_str(), 32,
             static_cast<long>(platform::TickCount() - sent), ttl);
    platform::DebugOutput(line);

    // An answer from loopback or a link-local address is not the gateway.
    if (sender.find("127.0.0.1") != std::string::npos) return 0;
    if (sender.compare(0, 7, "169.254") == 0) return 0;
    return 1;
  }
}

}  // namespace

uint16_t IcmpChecksum(const uint8_t *bytes, size_t count) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < count; i += 2) sum += static_cast<uint32_t>(bytes[i] | bytes[i + 1] << 8);
  if (i < count) sum += bytes[i];
  sum = (sum & 0xFFFF) + (sum >> 16);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum);
}

void BuildEchoRequest(uint8_t out[kIcmpEchoLength], uint32_t sendTime) {
  memset(out, 0, kIcmpEchoLength);
  out[0] = 8;
  out[1] = 0;
  PutLe16(out + 4, static_cast<uint16_t>(g_icmpId++));
  PutLe16(out + 6, static_cast<uint16_t>(g_icmpSeq++));
  out[8] = 0;
  PutLe32(out + 9, sendTime);
  for (int i = 0; i < 32; ++i) out[13 + i] = static_cast<uint8_t>(0x20 + i);
  PutLe16(out + 2, IcmpChecksum(out, kIcmpEchoLength));
}

int ClassifyPingOutput(const std::string &output) {
  std::string text = output;
  for (char &c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  if (text.find("unreachable") != std::string::npos) return 0;
  // Windows ping answers "Reply from ..."; Linux ping has no such word and
  // prints "64 bytes from ..." for each answer instead.
  if (text.find("reply") != std::string::npos) return 1;
  if (text.find("bytes from") != std::string::npos) return 1;
  return 0;
}

std::string PingCommandLine(const char *address) {
#ifdef _WIN32
  return std::string("Ping -n 1 ") + address;
#else
  // One echo, and at most two seconds for its answer (the Windows command
  // waits up to four by itself).
  return std::string("ping -c 1 -W 2 ") + address;
#endif
}

int PingWithCommand(const char *address) {
  if (address == nullptr) return 0;
  platform::RunOptions options;
  options.waitMs = 5000;
  options.maxOutput = 4000;
  std::string output;
  if (!platform::RunCommand(PingCommandLine(address), options, &output)) return 0;
  return ClassifyPingOutput(output);
}

int PingWithIcmp(const char *address) {
  if (address == nullptr) return 0;
  platform::Socket s = platform::OpenIcmpSocket();
  if (s == platform::kInvalidSocket) return 0;
  int reached = EchoOnce(s, address);
  bool closed = platform::CloseIcmpSocket(s);
  return reached == 1 && closed ? 1 : 0;
}

int IsGatewayReachable(const char *address) {
  platform::OsVersion version;
  return IsGatewayReachableWith(address, platform::QueryOsVersion(&version));
}

int IsGatewayReachableWith(const char *address, bool osVersionKnown) {
  if (osVersionKnown) return PingWithCommand(address);
  if (address == nullptr || *address == '\0') return 0;
  // Version 1.1 exactly, or no probe (NetStartup cleans up after a refusal).
  if (!platform::NetStartup()) return 0;
  int reached = PingWithIcmp(address);
  platform::NetCleanup();
  return reached == 1 ? 1 : 0;
}

}  // namespace velmora
