// The reachability probe: output classification, the echo request and its
// checksum, the real ping command on loopback (Linux ping natively, Wine's
// own ping under Wine) and the raw ICMP path, which must never leave its
// socket open.
#include <gtest/gtest.h>

#include <string.h>

#include "app/probe.h"
#include "platform/clock.h"
#include "platform/icmp.h"
#include "platform/net.h"
#include "platform/process.h"

#include "message_window.h"
#include "own_network.h"

namespace velmora {
namespace {

uint16_t Checksum(std::initializer_list<uint8_t> bytes) {
  std::vector<uint8_t> v(bytes);
  return IcmpChecksum(v.data(), v.size());
}

// RFC 1071, section 3: the words 0001 f203 f4f5 f6f7 sum to ddf2 (after the
// carry), whose complement 220d goes on the wire as the bytes 22 0d. Taken as
// little-endian words the same bytes give 0x0d22.
TEST(IcmpChecksumTest, MatchesTheRfc1071Example) {
  EXPECT_EQ(Checksum({0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}), 0x0d22);
  // With the checksum in place the whole sums to zero.
  EXPECT_EQ(Checksum({0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7, 0x22, 0x0d}), 0x0000);
}

TEST(IcmpChecksumTest, OddLengthAndCarriesFold) {
  EXPECT_EQ(Checksum({}), 0xffff);
  EXPECT_EQ(Checksum({0x01}), 0xfffe);  // a last odd byte counts on its own
  EXPECT_EQ(Checksum({0x01, 0x00, 0x02}), 0xfffc);
  // Sums that carry more than once: 0xffff + 0xffff + 0x0002.
  EXPECT_EQ(Checksum({0xff, 0xff, 0xff, 0xff, 0x02, 0x00}), static_cast<uint16_t>(~0x0002));
  std::vector<uint8_t> big(70000, 0xff);
  EXPECT_EQ(IcmpChecksum(big.data(), big.size()), 0x0000);
}

TEST(EchoRequestTest, LayoutCountersAndChecksum) {
  uint8_t a[kIcmpEchoLength];
  uint8_t b[kIcmpEchoLength];
  BuildEchoRequest(a, 0x11223344);
  BuildEchoRequest(b, 0);
  EXPECT_EQ(a[0], 8);
  EXPECT_EQ(a[1], 0);
  EXPECT_EQ(a[8], 0);
  EXPECT_EQ(a[9], 0x44);
  EXPECT_EQ(a[12], 0x11);
  for (int i = 0; i < 32; ++i) EXPECT_EQ(a[13 + i], 0x20 + i);
  EXPECT_EQ(IcmpChecksum(a, sizeof a), 0) << "checksum stored at offset 2";
  // Identifier and sequence each advance by one per request.
  EXPECT_EQ(static_cast<uint16_t>(b[4] | b[5] << 8), static_cast<uint16_t>((a[4] | a[5] << 8) + 1));
  EXPECT_EQ(static_cast<uint16_t>(b[6] | b[7] << 8), static_cast<uint16_t>((a[6] | a[7] << 8) + 1));
}

TEST(PingOutputTest, ReplyWithoutUnreachableIsReachable) {
  EXPECT_EQ(ClassifyPingOutput("\r\nPinging 192.168.0.1 with 32 bytes of data:\r\n"
                               "Reply from 192.168.0.1: bytes=32 time=1ms TTL=64\r\n"),
            1);
  EXPECT_EQ(ClassifyPingOutput("REPLY FROM X"), 1);
  EXPECT_EQ(ClassifyPingOutput("64 bytes from 127.0.0.1: icmp_seq=1 ttl=64 time=0.05 ms\n"), 1);
  // Unreachable anywhere wins over a reply line.
  EXPECT_EQ(ClassifyPingOutput("Reply from 10.0.0.138: Destination host unreachable.\r\n"), 0);
  EXPECT_EQ(ClassifyPingOutput("Reply from 1.2.3.4: bytes=32\r\nNetwork UNREACHABLE\r\n"), 0);
  EXPECT_EQ(ClassifyPingOutput("From 10.0.0.2 icmp_seq=1 Destination Host Unreachable\n"), 0);
  EXPECT_EQ(ClassifyPingOutput("Request timed out.\r\n"), 0);
  EXPECT_EQ(ClassifyPingOutput("PING: transmit failed. General failure. \r\n"), 0);
  EXPECT_EQ(ClassifyPingOutput(""), 0);
}

TEST(PingCommandTest, CommandLineCarriesTheAddressLast) {
  const std::string line = PingCommandLine("192.168.0.1");
#ifdef _WIN32
  EXPECT_EQ(line, "Ping -n 1 192.168.0.1");
#else
  EXPECT_EQ(line, "ping -c 1 -W 2 192.168.0.1");
#endif
}

// Loopback is the only address pinged here.
TEST(PingCommandTest, LoopbackAnswersTheSystemPing) {
  EXPECT_EQ(PingWithCommand("127.0.0.1"), 1);
  EXPECT_EQ(IsGatewayReachable("127.0.0.1"), 1);
}

TEST(RunCommandTest, CapturesOutputUpToTheLimit) {
  platform::RunOptions options;
  std::string out;
#ifdef _WIN32
  const std::string echo = "cmd /c echo hello world";
#else
  const std::string echo = "echo hello world";
#endif
  ASSERT_TRUE(platform::RunCommand(echo, options, &out));
  EXPECT_EQ(out.substr(0, 11), "hello world");
  options.maxOutput = 5;
  ASSERT_TRUE(platform::RunCommand(echo, options, &out));
  EXPECT_EQ(out, "hello");
  EXPECT_FALSE(platform::RunCommand("velmora-no-such-program-here", options, &out));
  EXPECT_FALSE(platform::RunCommand("", options, &out));
}

TEST(RunCommandTest, ACommandThatDoesNotEndIsGivenUpOnInTime) {
  platform::RunOptions options;
  options.waitMs = 500;
  std::string out;
#ifdef _WIN32
  const std::string slow = "ping -n 8 127.0.0.1";
#else
  const std::string slow = "sleep 8";
#endif
  uint32_t start = platform::TickCount();
  ASSERT_TRUE(platform::RunCommand(slow, options, &out));
  EXPECT_LT(platform::TickCount() - start, 4000u);
}

#ifdef _WIN32
// The wait for the command serves the calling thread's windows.
TEST(RunCommandTest, WindowMessagesAreDispatchedDuringTheWait) {
  CountingWindow window;
  ASSERT_TRUE(window.Ok());
  window.Post();
  platform::RunOptions options;
  std::string out;
  ASSERT_TRUE(platform::RunCommand("ping -n 2 127.0.0.1", options, &out));
  EXPECT_EQ(window.Delivered(), 1);
  EXPECT_EQ(ClassifyPingOutput(out), 1) << out;
}
#endif

#ifndef _WIN32
// The shell never sees the line: its metacharacters are plain arguments.
TEST(RunCommandTest, NoShellInterpretsTheLine) {
  platform::RunOptions options;
  std::string out;
  ASSERT_TRUE(platform::RunCommand("echo a;echo $HOME `id`", options, &out));
  EXPECT_EQ(out, "a;echo $HOME `id`\n");
}
#endif

class IcmpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::NetAcquire();
    platform::Socket s = platform::OpenIcmpSocket();
    if (s == platform::kInvalidSocket) {
      platform::NetRelease();
      GTEST_SKIP() << "raw ICMP socket not available (needs root / administrator)";
    }
    platform::CloseIcmpSocket(s);
    acquired_ = true;
  }
  void TearDown() override {
    if (acquired_) platform::NetRelease();
  }
  bool acquired_ = false;
};

// Loopback answers, but an answer from 127.0.0.1 is not the gateway; the
// socket is closed on that path as on every other.
TEST_F(IcmpTest, LoopbackAnswerDoesNotCountAndNoSocketIsLeft) {
  const int open = platform::OpenIcmpSocketCount();
  EXPECT_EQ(PingWithIcmp("127.0.0.1"), 0);
  EXPECT_EQ(platform::OpenIcmpSocketCount(), open);
  EXPECT_EQ(PingWithIcmp(""), 0);  // failed lookup
  EXPECT_EQ(platform::OpenIcmpSocketCount(), open);
}

// Without the version the probe falls back to the ICMP echo, which does not
// count an answer from loopback.
TEST_F(IcmpTest, UnknownVersionTakesTheIcmpPath) {
  const int open = platform::OpenIcmpSocketCount();
  EXPECT_EQ(IsGatewayReachableWith("127.0.0.1", true), 1);
  EXPECT_EQ(IsGatewayReachableWith("127.0.0.1", false), 0);
  EXPECT_EQ(IsGatewayReachableWith("", false), 0);
  EXPECT_EQ(IsGatewayReachableWith(nullptr, false), 0);
  EXPECT_EQ(platform::OpenIcmpSocketCount(), open);
}

#ifndef _WIN32
// The child reports reachability * 10 + ICMP sockets left open.
int ProbeReport(const char *address) {
  int r = PingWithIcmp(address);
  return r * 10 + platform::OpenIcmpSocketCount();
}

TEST_F(IcmpTest, AnswerFromAnOrdinaryAddressCounts) {
  int rc = InOwnNetwork("ip link set lo up && ip addr add 10.99.0.1/32 dev lo",
                        [] { return ProbeReport("10.99.0.1"); });
  if (rc < 0) GTEST_SKIP() << "no network namespace available";
  EXPECT_EQ(rc, 10);
}

TEST_F(IcmpTest, UnknownVersionReachesAnOrdinaryAddressByIcmp) {
  int rc = InOwnNetwork("ip link set lo up && ip addr add 10.99.0.1/32 dev lo",
                        [] { return IsGatewayReachableWith("10.99.0.1", false); });
  if (rc < 0) GTEST_SKIP() << "no network namespace available";
  EXPECT_EQ(rc, 1);
}

TEST_F(IcmpTest, LinkLocalAnswerDoesNotCount) {
  int rc = InOwnNetwork("ip link set lo up && ip addr add 169.254.7.7/32 dev lo",
                        [] { return ProbeReport("169.254.7.7"); });
  if (rc < 0) GTEST_SKIP() << "no network namespace available";
  EXPECT_EQ(rc, 0);
}

// Our own request arrives on the raw socket too; it is not an answer. With
// echoes ignored nothing answers, and five seconds later the probe gives up.
TEST_F(IcmpTest, SilenceForFiveSecondsIsUnreachable) {
  int rc = InOwnNetwork(
      "ip link set lo up && ip addr add 10.99.0.1/32 dev lo && "
      "echo 1 > /proc/sys/net/ipv4/icmp_echo_ignore_all",
      [] {
        uint32_t start = platform::TickCount();
        int report = ProbeReport("10.99.0.1");
        uint32_t waited = platform::TickCount() - start;
        return waited >= 4900 && waited < 8000 ? report : 99;
      });
  if (rc < 0) GTEST_SKIP() << "no network namespace available";
  EXPECT_EQ(rc, 0);
}

TEST_F(IcmpTest, UnknownNameIsUnreachable) {
  int rc = InOwnNetwork("true", [] { return ProbeReport("no-such-gateway.invalid"); });
  if (rc < 0) GTEST_SKIP() << "no network namespace available";
  EXPECT_EQ(rc, 0);
}

TEST_F(IcmpTest, NoRouteIsUnreachable) {
  int rc = InOwnNetwork("ip link set lo up", [] { return ProbeReport("10.99.0.2"); });
  if (rc < 0) GTEST_SKIP() << "no network namespace available";
  EXPECT_EQ(rc, 0);
}

// With loopback down the system ping gets no reply either.
TEST(PingCommandTest, NoAnswerInAnEmptyNetwork) {
  int rc = InOwnNetwork("true", [] { return PingWithCommand("127.0.0.1"); });
  if (rc < 0) GTEST_SKIP() << "no network namespace available";
  EXPECT_EQ(rc, 0);
}
#endif

}  // namespace
}  // namespace velmora
