// The system clock and the production defaults of the environment.
#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/files.h"

#include "message_window.h"

namespace velmora {
namespace {

// The tick counter moves in steps (about 16 ms on Windows): the largest
// step seen over a few of them. Time measured with it may fall short of
// the real time by one step.
uint32_t TickStep() {
  uint32_t step = 1;
  uint32_t last = platform::TickCount();
  for (int changes = 0; changes < 4;) {
    uint32_t now = platform::TickCount();
    if (now == last) continue;
    if (now - last > step) step = now - last;
    last = now;
    ++changes;
  }
  return step;
}

TEST(ClockTest, SleepsLastAboutAsLongAsAsked) {
  Clock &clock = SystemClock();
  const uint32_t step = TickStep();
  ASSERT_LT(step, 100u);
  struct {
    const char *name;
    void (Clock::*sleep)(uint32_t);
    uint32_t ms, atMost;
  } cases[] = {
      {"Sleep", &Clock::Sleep, 120, 1500},
      {"PumpingSleep", &Clock::PumpingSleep, 250, 2000},
  };
  for (const auto &c : cases) {
    uint32_t start = clock.TickCount();
    (clock.*c.sleep)(c.ms);
    uint32_t slept = clock.TickCount() - start;
    EXPECT_GE(slept + step, c.ms) << c.name << ", the tick counter's step is " << step << " ms";
    EXPECT_LT(slept, c.atMost) << c.name;
  }
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
