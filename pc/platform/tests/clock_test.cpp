// The system clock.
#include <gtest/gtest.h>

#include "app/environment.h"
#include "platform/clock.h"

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

}  // namespace
}  // namespace velmora
