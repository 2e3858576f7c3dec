#include "wizard/console/console_support.h"

#include "platform/files.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <thread>


namespace velmora {
namespace console {

void RealSleep(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void ScaledClock::Sleep(uint32_t ms) {
  double scaled = ms * scale_;
  if (scaled <= 0) return;
  auto until = std::chrono::steady_clock::now() +
               std::chrono::microseconds(static_cast<long long>(scaled * 1000));
  // In slices, so that a stop request is noticed within 50 ms.
  for (;;) {
    if (stop_ && stop_->load()) return;
    auto now = std::chrono::steady_clock::now();
    if (now >= until) return;
    auto slice = std::min<std::chrono::steady_clock::duration>(
        until - now, std::chrono::milliseconds(50));
    std::this_thread::sleep_for(slice);
  }
}

bool NormalizeAddress(const char *text, char *out, size_t outSize) {
  unsigned field[4];
  const char *p = text;
  while (*p == ' ' || *p == '\t') ++p;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && *p++ != '.') return false;
    int digits = 0;
    unsigned v = 0;
    while (isdigit(static_cast<unsigned char>(*p)) && digits < 4) {
      v = v * 10 + static_cast<unsigned>(*p++ - '0');
      ++digits;
    }
    if (digits == 0 || digits > 3 || v > 255) return false;
    field[i] = v;
  }
  while (*p == ' ' || *p == '\t') ++p;
  if (*p) return false;
  int n = snprintf(out, outSize, "%u.%u.%u.%u", field[0], field[1], field[2], field[3]);
  return n > 0 && static_cast<size_t>(n) < outSize;
}

std::string TrimLower(const std::string &text) {
  size_t b = text.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = text.find_last_not_of(" \t\r\n");
  std::string s = text.substr(b, e - b + 1);
  for (char &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

namespace {

bool PortFromEnv(const char *name, int *port) {
  const char *v = getenv(name);
  if (!v || !*v) return false;
  char *end = nullptr;
  long p = strtol(v, &end, 10);
  if (*end || p < 1 || p > 65535) {
    fprintf(stderr, "velmora-cli: ignoring %s=%s\n", name, v);
    return false;
  }
  *port = static_cast<int>(p);
  return true;
}

}  // namespace

void ApplyTestHooks(Environment *env) {
  PortFromEnv("VELMORA_HTTP_PORT", &env->httpPort);
  PortFromEnv("VELMORA_UPDATE_PORT", &env->updatePort);
  PortFromEnv("VELMORA_TELNET_PORT", &env->telnetPort);
  const char *probeFile = getenv("VELMORA_PROBE_FILE");
  if (probeFile && *probeFile) {
    std::string path = probeFile;
    env->isGatewayReachable = [path](const char *) {
      if (platform::PathExists(path)) return 1;
      RealSleep(20);  // as an echo without answer, a probe takes its time
      return 0;
    };
  }
}

}  // namespace console
}  // namespace velmora
