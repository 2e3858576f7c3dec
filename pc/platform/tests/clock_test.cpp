// The system clock and the production defaults of the environment.
#include <gtest/gtest.h>

#include "app/environment.h"
#include "platform/clock.h"
#include "platform/files.h"

#include "message_window.h"

namespace velmora {
namespace {

TEST(ClockTest, SleepsLastAboutAsLongAsAsked) {
  Clock &clock = SystemClock();
  uint32_t start = clock.TickCount();
  clock.Sleep(120);
  uint32_t slept = clock.TickCount() - start;
  EXPECT_GE(slept, 110u);
  EXPECT_LT(slept, 1500u);

  start = clock.TickCount();
  clock.PumpingSleep(250);
  slept = clock.TickCount() - start;
  EXPECT_GE(slept, 240u);
  EXPECT_LT(slept, 2000u);
}

#ifdef _WIN32
// A window of the sleeping thread keeps getting its messages.
TEST(ClockTest, PumpingSleepDispatchesMessagesWhileItWaits) {
  CountingWindow window;
  ASSERT_TRUE(window.Ok());
  window.Post();
  window.Post();
  platform::PumpingSleep(100);
  EXPECT_EQ(window.Delivered(), 2);
}
#endif

TEST(EnvironmentTest, ProductionDefaultsAndReset) {
  ResetEnv();
  Environment &env = Env();
  EXPECT_EQ(env.httpPort, 80);
  EXPECT_EQ(env.updatePort, 8080);
  EXPECT_EQ(env.telnetPort, 23);
  EXPECT_EQ(env.clock, &SystemClock());
  EXPECT_TRUE(static_cast<bool>(env.isGatewayReachable));
  EXPECT_TRUE(env.programDir.empty());
#ifdef _WIN32
  EXPECT_TRUE(env.localDir.empty());
#else
  ASSERT_FALSE(env.localDir.empty());
  EXPECT_TRUE(platform::IsDirectory(env.localDir));
#endif

  env.httpPort = 1;
  env.clock = nullptr;
  env.localDir = "x";
  env.isGatewayReachable = [](const char *) { return 7; };
  EXPECT_EQ(Env().clock, &SystemClock()) << "the clock is never null";
  ResetEnv();
  EXPECT_EQ(Env().httpPort, 80);
  EXPECT_NE(Env().localDir, "x");
  EXPECT_NE(Env().isGatewayReachable("127.0.0.1"), 7);
}

}  // namespace
}  // namespace velmora
