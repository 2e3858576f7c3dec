#include "platform.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/reboot.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#include <linux/sockios.h>

const char *gw_path(const char *fixed, char *out, size_t size) {
  const char *root = "";
#ifdef DORNIX_SCRATCH_ROOT
  const char *env = getenv("DORNIX_ROOT");
  if (env != nullptr) root = env;
#endif
  snprintf(out, size, "%s%s", root, fixed);
  return out;
}

#ifdef DORNIX_SCRATCH_ROOT

const char *gw_build_note(void) {
  return "\n"
         "Scratch-root build, for development machines and tests, never for a\n"
         "gateway: every fixed path lies under $DORNIX_ROOT when it is set, a restart\n"
         "is only recorded, and device requests act on plain files.\n";
}

static const char *hook_variable(enum gw_hook hook) {
  switch (hook) {
    case GW_HOOK_IDLE_LIMIT: return "DORNIX_IDLE_LIMIT_MS";
    case GW_HOOK_SCRIPT_LIMIT: return "DORNIX_SCRIPT_LIMIT_MS";
    case GW_HOOK_STALE_PAUSE: return "DORNIX_TEST_STALE_PAUSE_MS";
    case GW_HOOK_REQUEST_LIMIT: return "DORNIX_REQUEST_LIMIT_MS";
  }
  return "";
}

int gw_time_limit_ms(enum gw_hook hook, int ms) {
  const char *text = getenv(hook_variable(hook));
  if (text == nullptr) return ms;
  char *end = nullptr;
  long value = strtol(text, &end, 10);
  return end != text && *end == '\0' && value > 0 && value < ms ? (int)value : ms;
}

void gw_test_pause(enum gw_hook hook) {
  int ms = gw_time_limit_ms(hook, 60 * 1000 + 1);
  if (ms <= 60 * 1000) {
    struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

int gw_reboot(int cmd) {
  GwPath marker(GW_RESTART_MARKER);
  int fd = open(marker, O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd >= 0) {
    char line[64];
    int n = snprintf(line, sizeof line, "restart %08x %ld\n", (unsigned)cmd, (long)time(nullptr));
    if (write(fd, line, (size_t)n) < 0) {
      // Nothing to do: the marker is a test aid.
    }
    close(fd);
  }
  return -1;
}

int gw_led_notice(int fd, const char *text) {
  if (lseek(fd, 0, SEEK_END) < 0) return -1;
  size_t n = strlen(text);
  return write(fd, text, n) == (ssize_t)n ? 0 : -1;
}

int gw_mtd_request0(int fd) {
  (void)fd;
  return 0;
}

// True when this process has a network namespace of its own (not init's).
static bool in_private_netns() {
  struct stat self_ns, init_ns;
  if (stat("/proc/self/ns/net", &self_ns) != 0) return false;
  if (stat("/proc/1/ns/net", &init_ns) != 0) return false;
  return self_ns.st_ino != init_ns.st_ino || self_ns.st_dev != init_ns.st_dev;
}

#else

const char *gw_build_note(void) { return ""; }

int gw_time_limit_ms(enum gw_hook, int ms) { return ms; }

void gw_test_pause(enum gw_hook) {}

int gw_reboot(int cmd) { return reboot(cmd); }

int gw_led_notice(int fd, const char *text) { return ioctl(fd, 8, text); }

int gw_mtd_request0(int fd) { return ioctl(fd, 0, 0); }

#endif

int gw_eth_private(int sock, const char *ifname, int number) {
#ifdef DORNIX_SCRATCH_ROOT
  if (!in_private_netns()) {
    errno = EPERM;
    return -1;
  }
#endif
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
  return ioctl(sock, SIOCDEVPRIVATE + number, &ifr);
}
