#include "app/environment.h"

#include <string.h>

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
  env.localDir = DefaultLocalDir();
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

std::string LocalPath(const char *windowsPath) {
  const std::string &dir = Env().localDir;
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

std::string KitDirectory() {
  if (!Env().programDir.empty()) return Env().programDir;
  return platform::DirectoryOf(platform::ProgramPath());
}

}  // namespace velmora
