#include "platform/sysinfo.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/utsname.h>

namespace velmora {
namespace platform {

bool QueryOsVersion(OsVersion *out) {
  utsname u;
  if (uname(&u) != 0) return false;
  OsVersion v;
  v.name = u.sysname;
  unsigned major = 0, minor = 0, build = 0;
  sscanf(u.release, "%u.%u.%u", &major, &minor, &build);
  v.major = major;
  v.minor = minor;
  v.build = build;
  *out = v;
  return true;
}

void DebugOutput(const char *text) {
  if (text != nullptr && getenv("VELMORA_DEBUG") != nullptr) fputs(text, stderr);
}

}  // namespace platform
}  // namespace velmora
