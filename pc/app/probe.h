// Does the gateway answer at an address? The system's ping command when the
// operating system can be asked for its version, else one ICMP echo on a raw
// socket. Every failure inside reads as "not reachable".
#ifndef VELMORA_APP_PROBE_H
#define VELMORA_APP_PROBE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace velmora {

// 1 reachable, 0 not.
int IsGatewayReachable(const char *address);
// The same decision with the outcome of the version query given: the ping
// command when the version is known, else the ICMP echo.
int IsGatewayReachableWith(const char *address, bool osVersionKnown);
int PingWithCommand(const char *address);
int PingWithIcmp(const char *address);

// RFC 1071 Internet checksum over `count` bytes taken as little-endian
// 16-bit words (an odd last byte counts on its own), ready to be stored
// little-endian.
uint16_t IcmpChecksum(const uint8_t *bytes, size_t count);

// The ping command's verdict on its own output: 1 when, compared in lower
// case, it says "reply" (or "bytes from", the reply line of Linux ping) and
// nowhere "unreachable".
int ClassifyPingOutput(const std::string &output);

// The command line PingWithCommand runs for `address`.
std::string PingCommandLine(const char *address);

// Length of the echo request the ICMP probe sends.
constexpr size_t kIcmpEchoLength = 45;
// Fills `out` with the next echo request (advancing the process-wide
// identifier and sequence counters) stamped with `sendTime`.
void BuildEchoRequest(uint8_t out[kIcmpEchoLength], uint32_t sendTime);

}  // namespace velmora

#endif
