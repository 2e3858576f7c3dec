// The system's clock: tick count, plain sleep and the message-pumping sleep.
// Wizard code reaches these through Env().clock so that tests can run in
// virtual time; these are what SystemClock() forwards to.
#ifndef VELMORA_PLATFORM_CLOCK_H
#define VELMORA_PLATFORM_CLOCK_H

#include <stdint.h>

namespace velmora {
namespace platform {

// Milliseconds since some fixed start; wraps like GetTickCount.
uint32_t TickCount();
void SleepMs(uint32_t ms);
// Returns after `ms`, having dispatched the calling thread's window
// messages meanwhile (Win32: an event set by a timer thread, polled while
// the queue is emptied). POSIX has no window messages: a plain sleep.
void PumpingSleep(uint32_t ms);
// Removes, translates and dispatches every message waiting in the calling
// thread's queue (nothing on POSIX).
void PumpMessages();

}  // namespace platform
}  // namespace velmora

#endif
