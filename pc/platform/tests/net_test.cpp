// Sockets against real loopback listeners, in both builds: the web client
// relies on exactly these outcomes (ready / timeout / error, the bind and
// interrupted-call codes, a peer that closes).
#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"
#include "platform/net.h"
#include "own_network.h"

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

namespace velmora {
namespace platform {
namespace {

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NetAcquire();
    listener_ = ListenLoopback(&port_);
    ASSERT_NE(listener_, kInvalidSocket);
    ASSERT_GT(port_, 0);
  }
  void TearDown() override {
    if (listener_ != kInvalidSocket) CloseSocket(listener_);
    NetRelease();
  }
  // A connected client and the server's end of it.
  void ConnectPair(Socket *client, Socket *server) {
    *client = TcpSocket();
    ASSERT_NE(*client, kInvalidSocket);
    ASSERT_TRUE(Connect(*client, LoopbackIpv4(), port_));
    *server = Accept(listener_);
    ASSERT_NE(*server, kInvalidSocket);
  }

  Socket listener_ = kInvalidSocket;
  int port_ = 0;
};

TEST_F(NetTest, ConfiguredSocketConnectsAndCarriesBytesBothWays) {
  Socket client = TcpSocket();
  ASSERT_NE(client, kInvalidSocket);
  // The web client's set-up of every connection, in its order.
  EXPECT_TRUE(SetDontLinger(client));
  EXPECT_TRUE(SetNonBlocking(client, false));
  EXPECT_TRUE(SetDontLinger(client));
  EXPECT_TRUE(SetReceiveBuffer(client, 1024));
  EXPECT_TRUE(SetSendBuffer(client, 1024));
  ASSERT_TRUE(BindAny(client));
  Ipv4 address;
  ASSERT_TRUE(ResolveHost("127.0.0.1", &address));
  ASSERT_TRUE(Connect(client, address, port_));
  Socket server = Accept(listener_);
  ASSERT_NE(server, kInvalidSocket);

  const char request[] = "GET / HTTP/1.1\r\n\r\n\0tail";
  EXPECT_EQ(WaitWritable(client, 1000), WaitResult::kReady);
  ASSERT_EQ(Send(client, request, sizeof request), static_cast<int>(sizeof request));
  char got[64];
  int total = 0;
  while (total < static_cast<int>(sizeof request)) {
    ASSERT_EQ(WaitReadable(server, 2000), WaitResult::kReady);
    int n = Receive(server, got + total, static_cast<int>(sizeof got) - total);
    ASSERT_GT(n, 0);
    total += n;
  }
  EXPECT_EQ(std::string(got, total), std::string(request, sizeof request));

  ASSERT_EQ(Send(server, "ok", 2), 2);
  ASSERT_EQ(WaitReadable(client, 2000), WaitResult::kReady);
  EXPECT_EQ(Receive(client, got, sizeof got), 2);
  CloseSocket(server);
  EXPECT_TRUE(CloseSocket(client));
}

TEST_F(NetTest, SecondBindOfTheSameSocketIsAnInvalidArgument) {
  Socket s = TcpSocket();
  ASSERT_NE(s, kInvalidSocket);
  ASSERT_TRUE(BindAny(s));
  EXPECT_FALSE(BindAny(s));
  EXPECT_EQ(LastNetError(), NetError::kInvalidArgument) << "code " << LastNetErrorCode();
  // Still good for a connect after that.
  EXPECT_TRUE(Connect(s, LoopbackIpv4(), port_));
  CloseSocket(s);
}

TEST_F(NetTest, WaitTimesOutOnASilentPeerAndWakesWhenBytesCome) {
  Socket client, server;
  ConnectPair(&client, &server);
  uint32_t start = TickCount();
  EXPECT_EQ(WaitReadable(client, 300), WaitResult::kTimeout);
  uint32_t waited = TickCount() - start;
  EXPECT_GE(waited, 250u);
  EXPECT_LT(waited, 2000u);

  std::thread later([&] {
    SleepMs(100);
    Send(server, "x", 1);
  });
  start = TickCount();
  EXPECT_EQ(WaitReadable(client, 5000), WaitResult::kReady);
  EXPECT_LT(TickCount() - start, 3000u);
  later.join();
  CloseSocket(server);
  CloseSocket(client);
}

TEST_F(NetTest, PeerCloseReadsAsZeroAndLaterSendsFailWithoutASignal) {
  Socket client, server;
  ConnectPair(&client, &server);
  ASSERT_EQ(Send(server, "bye", 3), 3);
  ASSERT_TRUE(CloseSocket(server));
  char buf[16];
  ASSERT_EQ(WaitReadable(client, 2000), WaitResult::kReady);
  EXPECT_EQ(Receive(client, buf, sizeof buf), 3);
  ASSERT_EQ(WaitReadable(client, 2000), WaitResult::kReady);
  EXPECT_EQ(Receive(client, buf, sizeof buf), 0);

  // The first send after the close may still be accepted; the peer's reset
  // makes a later one fail.
  int rc = 0;
  for (int i = 0; i < 20 && rc >= 0; ++i) {
    rc = Send(client, "data", 4);
    if (rc >= 0) SleepMs(20);
  }
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(LastNetError(), NetError::kConnectionReset) << "code " << LastNetErrorCode();
  CloseSocket(client);
}

TEST_F(NetTest, HalfCloseLetsThePeerSeeTheEnd) {
  Socket client, server;
  ConnectPair(&client, &server);
  ASSERT_TRUE(ShutdownSend(client));
  char buf[4];
  ASSERT_EQ(WaitReadable(server, 2000), WaitResult::kReady);
  EXPECT_EQ(Receive(server, buf, sizeof buf), 0);
  CloseSocket(server);
  CloseSocket(client);
}

TEST_F(NetTest, ConnectToAClosedPortIsRefused) {
  int port = 0;
  Socket gone = ListenLoopback(&port);
  ASSERT_NE(gone, kInvalidSocket);
  CloseSocket(gone);
  Socket s = TcpSocket();
  ASSERT_NE(s, kInvalidSocket);
  EXPECT_FALSE(Connect(s, LoopbackIpv4(), port));
  EXPECT_EQ(LastNetError(), NetError::kConnectionRefused) << "code " << LastNetErrorCode();
  CloseSocket(s);
}

TEST_F(NetTest, WaitOnAClosedHandleIsAnError) {
  Socket s = TcpSocket();
  ASSERT_NE(s, kInvalidSocket);
  CloseSocket(s);
  EXPECT_EQ(WaitReadable(s, 100), WaitResult::kError);
  EXPECT_NE(LastNetError(), NetError::kNone);
}

#ifndef _WIN32
void NoOp(int) {}

// A signal that cuts a wait short reads as "interrupted", which the web
// client retries, not as a failure.
TEST_F(NetTest, SignalDuringAWaitIsReportedAsInterrupted) {
  struct sigaction sa = {};
  struct sigaction old = {};
  sa.sa_handler = NoOp;  // no SA_RESTART: select must return EINTR
  sigaction(SIGUSR1, &sa, &old);
  Socket client, server;
  ConnectPair(&client, &server);
  pthread_t self = pthread_self();
  std::thread poke([self] {
    SleepMs(100);
    pthread_kill(self, SIGUSR1);
  });
  EXPECT_EQ(WaitReadable(client, 3000), WaitResult::kError);
  EXPECT_EQ(LastNetError(), NetError::kInterrupted);
  poke.join();
  sigaction(SIGUSR1, &old, nullptr);
  CloseSocket(server);
  CloseSocket(client);
}
#endif

TEST(NetAddressTest, DottedIpv4IsParsedStrictly) {
  Ipv4 a;
  ASSERT_TRUE(ParseIpv4("192.168.0.1", &a));
  EXPECT_EQ(FormatIpv4(a), "192.168.0.1");
  const uint8_t *b = reinterpret_cast<const uint8_t *>(&a.networkOrder);
  EXPECT_EQ(b[0], 192);
  EXPECT_EQ(b[3], 1);
  ASSERT_TRUE(ParseIpv4("0.0.0.0", &a));
  ASSERT_TRUE(ParseIpv4("255.255.255.255", &a));
  EXPECT_EQ(FormatIpv4(a), "255.255.255.255");
  for (const char *bad : {"", "1.2.3", "1.2.3.4.", "1.2.3.4.5", "256.1.1.1", "1..2.3",
                          " 1.2.3.4", "1.2.3.4\n", "1.2.3.-4", "1234.1.1.1", "a.b.c.d",
                          "gateway"}) {
    EXPECT_FALSE(ParseIpv4(bad, &a)) << bad;
  }
  EXPECT_FALSE(ParseIpv4(nullptr, &a));
}

TEST(NetAddressTest, LocalhostResolvesWithoutTheNetwork) {
  NetAcquire();
  Ipv4 a;
  ASSERT_TRUE(ResolveHost("localhost", &a));
  EXPECT_EQ(FormatIpv4(a).substr(0, 4), "127.");
  EXPECT_FALSE(ResolveHost("", &a));
  NetRelease();
}

#ifndef _WIN32
// A name that does not resolve fails the lookup (asked in a network of the
// test's own, so no real resolver is ever reached).
TEST(NetAddressTest, UnknownNameFailsToResolve) {
  int rc = InOwnNetwork("ip link set lo up", [] {
    Ipv4 a;
    return ResolveHost("no-such-gateway.invalid", &a) ? 1 : 0;
  });
  if (rc < 0) GTEST_SKIP() << "no network namespace available";
  EXPECT_EQ(rc, 0);
}
#endif

TEST(NetStartupTest, UseCountStartsOnceAndNeverGoesNegative) {
  const int before = NetUseCount();
  NetAcquire();
  NetAcquire();
  EXPECT_EQ(NetUseCount(), before + 2);
  Socket s = TcpSocket();
  EXPECT_NE(s, kInvalidSocket);
  CloseSocket(s);
  NetRelease();
  NetRelease();
  EXPECT_EQ(NetUseCount(), before);
  if (before == 0) {
    NetRelease();  // one release too many
    EXPECT_EQ(NetUseCount(), 0);
  }
}

}  // namespace
}  // namespace platform
}  // namespace velmora
