#include "platform/sysinfo.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#include "platform/win32/wide.h"

namespace velmora {
namespace platform {

bool QueryOsVersion(OsVersion *out) {
  OSVERSIONINFOA info;
  ZeroMemory(&info, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return false;
  OsVersion v;
  v.major = info.dwMajorVersion;
  v.minor = info.dwMinorVersion;
  v.build = info.dwBuildNumber;
  v.platformId = info.dwPlatformId;
  v.name = "Windows";
  *out = v;
  return true;
}

void DebugOutput(const char *text) {
  if (text == nullptr) return;
  OutputDebugStringW(Widen(text).c_str());
  if (getenv("VELMORA_DEBUG") != nullptr) fputs(text, stderr);
}

}  // namespace platform
}  // namespace velmora
