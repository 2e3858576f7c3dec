#include "app/environment.h"

#include <stdlib.h>
#include <string.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "app/probe.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace velmora {
namespace {

class SystemClockImpl : public Clock {
 public:
  uint32_t TickCount() override { return platform::TickCount(); }
  void Sleep(uint32_t ms) override { platform::SleepMs(ms); }
  void PumpingSleep(uint32_t ms) override { platform::PumpingSleep(ms); }
};

Environment Defaults() {
  Environment env;
  env.isGatewayReachable = [](const char *address) { return IsGatewayReachable(address); };
  env.clock = &SystemClock();
  return env;
}

}  // namespace

Clock &SystemClock() {
  static SystemClockImpl clock;
  return clock;
}

Environment &Env() {
  static Environment env = Defaults();
  if (env.clock == nullptr) env.clock = &SystemClock();
  return env;
}

void ResetEnv() { Env() = Defaults(); }

uint32_t ScaleLimit(uint32_t ms, double scale) {
  const uint32_t kFloorMs = 2000;
  double scaled = ms * scale;
  uint32_t floor = ms < kFloorMs ? ms : kFloorMs;
  if (scaled < floor) return floor;
  if (scaled > 4.0e9) return 4000000000u;
  return static_cast<uint32_t>(scaled);
}

std::string LocalPath(const std::string &dir, const char *windowsPath) {
  std::string path = windowsPath != nullptr ? windowsPath : "";
  if (dir.empty()) return path;
  // Drop the drive and any leading separators: "C:\Ssid" -> "Ssid".
  size_t start = 0;
  if (path.size() >= 2 && path[1] == ':') start = 2;
  while (start < path.size() && (path[start] == '\\' || path[start] == '/')) ++start;
  std::string name = path.substr(start);
  for (char &c : name) {
    if (c == '\\') c = '/';
  }
  return platform::JoinPath(dir, name);
}

std::string DefaultStateDir() {
#ifdef _WIN32
  return "";
#else
  static const std::string dir = [] {
    const char *state = getenv("XDG_STATE_HOME");
    const char *home = getenv("HOME");
    std::string d;
    if (state != nullptr && *state == '/') {
      d = std::string(state) + "/velmora";
    } else if (home != nullptr && *home != '\0') {
      d = std::string(home) + "/.local/state/velmora";
    } else {
      d = "/tmp/velmora-state-" + std::to_string(getuid());
    }
    platform::MakePrivateDirectories(d);
    platform::RestrictToOwner(d);
    return d;
  }();
  return dir;
#endif
}

}  // namespace velmora
