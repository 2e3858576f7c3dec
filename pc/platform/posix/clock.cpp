#include "platform/clock.h"

#include <errno.h>
#include <time.h>

namespace velmora {
namespace platform {

uint32_t TickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// No window messages here: the pumping sleep is a plain one.
void PumpingSleep(uint32_t ms) { SleepMs(ms); }

void PumpMessages() {}

}  // namespace platform
}  // namespace velmora
