// Operating system facts and the debugger channel.
#ifndef VELMORA_PLATFORM_SYSINFO_H
#define VELMORA_PLATFORM_SYSINFO_H

#include <stdint.h>

#include <string>

namespace velmora {
namespace platform {

struct OsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint32_t platformId = 0;  // VER_PLATFORM_WIN32_NT (2) on Windows, 0 elsewhere
  std::string name;         // "Windows" or the kernel's name (uname)
};

// GetVersionEx / uname. False when the system does not tell.
bool QueryOsVersion(OsVersion *out);

// A line for the developer: standard error when VELMORA_DEBUG is set in the
// environment, on every system; on Windows also the debugger's channel
// (OutputDebugStringA).
void DebugOutput(const char *text);

}  // namespace platform
}  // namespace velmora

#endif
