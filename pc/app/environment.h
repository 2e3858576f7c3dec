// The wizard's surroundings, in one object: gateway ports, the reachability
// probe and the clock, the same for every run in the process. Production
// code uses the defaults; tests replace fields so that a whole upgrade runs
// against fake servers on loopback, in virtual time. What belongs to one
// run (its state folder, its kit folder) is the run's, not this.
#ifndef VELMORA_APP_ENVIRONMENT_H
#define VELMORA_APP_ENVIRONMENT_H

#include <stdint.h>

#include <functional>
#include <string>

namespace velmora {

// Time as the wizard sees it. The production clock is the system's; a test
// clock advances virtual time on every sleep and returns at once.
class Clock {
 public:
  virtual ~Clock() = default;
  // Milliseconds since some fixed start (wraps like GetTickCount).
  virtual uint32_t TickCount() = 0;
  // Plain sleep of the calling thread.
  virtual void Sleep(uint32_t ms) = 0;
  // Sleep that keeps dispatching the calling thread's window messages.
  virtual void PumpingSleep(uint32_t ms) = 0;
  // A time limit on a wait for the gateway (a reply, a send, its return
  // after a restart), as this clock runs waits. The system clock keeps it;
  // a clock that stretches or shrinks the sleeps does the same to limits.
  virtual uint32_t Limit(uint32_t ms) { return ms; }
};

// `ms` multiplied by `scale`, but never below the shorter of `ms` and two
// seconds: even a run shrunk a thousandfold gives a peer on loopback time
// to answer.
uint32_t ScaleLimit(uint32_t ms, double scale);

// The system clock (GetTickCount / Sleep on Windows, CLOCK_MONOTONIC and
// nanosleep elsewhere).
Clock &SystemClock();

struct Environment {
  int httpPort = 80;
  int updatePort = 8080;
  int telnetPort = 23;

  // 1 when the gateway answers at `address`, 0 when not. Default: the
  // ping-command / ICMP probe.
  std::function<int(const char *address)> isGatewayReachable;

  // Never null; defaults to SystemClock().
  Clock *clock = nullptr;
};

// The process-wide environment, with production defaults filled in on first
// use. Tests assign to its fields before they start the code under test.
Environment &Env();

// Resets Env() to the production defaults.
void ResetEnv();

// Maps a local file name of the form "C:\Name" into `stateDir`, the folder
// that stands for "C:\" in a run: unchanged when stateDir is empty (the
// real "C:\", Windows only), else stateDir + "/Name".
std::string LocalPath(const std::string &stateDir, const char *windowsPath);

// The state folder of a run on a system without drives:
// $XDG_STATE_HOME/velmora, else $HOME/.local/state/velmora, created on
// first use and made this user's alone (it holds the Wi-Fi keys of the
// backup). Empty on Windows, whose runs keep their files at "C:\".
std::string DefaultStateDir();

}  // namespace velmora

#endif
