// Helpers of the console front end that are worth testing on their own.
#ifndef VELMORA_WIZARD_CONSOLE_CONSOLE_SUPPORT_H
#define VELMORA_WIZARD_CONSOLE_CONSOLE_SUPPORT_H

#include <stddef.h>

#include <atomic>
#include <string>

#include "app/environment.h"

namespace velmora {
namespace console {

// Stretches (or shrinks) every wait of the wizard by `scale`, for
// demonstrations and tests. Waits end early once *stop is set, so an
// interrupted run does not sit out a long pause. Tick counts stay real:
// the web client's time limits, scaled with Limit, are measured with them.
class ScaledClock : public Clock {
 public:
  ScaledClock(Clock &base, double scale, const std::atomic<bool> *stop)
      : base_(base), scale_(scale), stop_(stop) {}
  uint32_t TickCount() override { return base_.TickCount(); }
  void Sleep(uint32_t ms) override;
  void PumpingSleep(uint32_t ms) override { Sleep(ms); }
  uint32_t Limit(uint32_t ms) override { return ScaleLimit(ms, scale_); }

 private:
  Clock &base_;
  double scale_;
  const std::atomic<bool> *stop_;
};

void RealSleep(uint32_t ms);

// The address as the address dialog's control would give it: four decimal
// fields of 0 to 255 joined by dots, without leading zeros. false for
// anything else.
bool NormalizeAddress(const char *text, char *out, size_t outSize);

std::string TrimLower(const std::string &text);

// For runs against fake gateways on loopback: VELMORA_HTTP_PORT,
// VELMORA_UPDATE_PORT and VELMORA_TELNET_PORT move the gateway's services,
// and VELMORA_PROBE_FILE replaces the echo probe: the gateway counts as
// answering while that file exists, so a test can power it off and on.
void ApplyTestHooks(Environment *env);

}  // namespace console
}  // namespace velmora

#endif
