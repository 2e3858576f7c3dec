// The system clock.
#include <gtest/gtest.h>

#include "app/environment.h"
#include "platform/clock.h"

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

}  // namespace
}  // namespace velmora
