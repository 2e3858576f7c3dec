// The few places where gateway code touches the device: fixed file paths,
// the restart, and driver requests. Everything else in gateway/ is plain
// POSIX and runs unchanged on a development machine.
//
// Scratch-root builds (DORNIX_SCRATCH_ROOT) prefix every fixed path with the
// directory named by $DORNIX_ROOT (when set), record a restart instead of
// performing it, and emulate driver requests on plain files, so that tests
// and the gateway simulator run the real binaries against a scratch tree.
#ifndef DORNIX_GATEWAY_PLATFORM_H
#define DORNIX_GATEWAY_PLATFORM_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Fixed paths of the gateway, as the device knows them.
#define GW_LOG_FILE        "/var/tmp/log.txt"
// The log's older generation: where the log goes when it reaches its limit.
#define GW_LOG_FILE_OLD    "/var/tmp/log.txt.0"
#define GW_TMP_DIR         "/var/tmp"
#define GW_FW_PKG          "/var/tmp/fw.pkg"
#define GW_FW_BIN          "/var/tmp/fw.bin"
#define GW_PKG_DIR         "/var/tmp/pkg"
#define GW_PKG_INF         "/var/tmp/pkg/fw.inf"
#define GW_PKG_EXEC        "/var/tmp/pkg/fw_exec.sh"
#define GW_MTD_FILESYSTEM  "/dev/mtdblock/0"
#define GW_MTD_KERNEL      "/dev/mtdblock/1"
#define GW_MTD_CONFIG      "/dev/mtdblock/4"
#define GW_SYSTEM_LOG      "/var/log/messages"
#define GW_FIREWALL_LOG    "/var/log/firewalling"
#define GW_LED_DEVICE      "/dev/led"
#define GW_PPP0_PID        "/var/run/ppp0.pid"
#define GW_PPP1_PID        "/var/run/ppp1.pid"
#define GW_PROC_NET_DEV    "/proc/net/dev"
// Public keys (one file each) of signed uploads; none: uploads unsigned.
#define GW_KEY_DIR         "/etc/dornix/keys"
// What the gateway declares of itself, one word each, for the signatures
// that bind platforms and a version: its platform, and the lowest firmware
// version it takes. A missing file declares nothing.
#define GW_PLATFORM_FILE   "/etc/dornix/platform"
#define GW_LOWEST_VERSION_FILE "/etc/dornix/lowest-version"

// The shell that runs a package script which is not a program of its own
// (no "#!" line). Never prefixed: it is a program, not gateway state.
#define GW_SHELL           "/bin/sh"
// Empty input for a package's script. Never prefixed either.
#define GW_DEV_NULL        "/dev/null"

// Longest path a scratch-root build can form (root plus fixed path).
#define GW_PATH_MAX 256

// Marker file (under the root) in which scratch-root builds record a restart.
#define GW_RESTART_MARKER  "/var/tmp/restart-requested"

// What a scratch-root build does differently, as a paragraph for a program's
// --help and --version (starting with an empty line); "" in a device build.
const char *gw_build_note(void);

// Writes the real location of the fixed path `fixed` into `out` (`size`
// bytes) and returns `out`. Without a scratch root this is `fixed` itself.
// A result that does not fit is cut; callers pass GW_PATH_MAX buffers.
const char *gw_path(const char *fixed, char *out, size_t size);

// Test hooks. Scratch-root builds let tests shorten a limit or widen a
// race window through the environment (the variable named beside each
// hook); production builds contain neither the hooks nor their names.
enum gw_hook {
  GW_HOOK_IDLE_LIMIT,    // DORNIX_IDLE_LIMIT_MS: a body that makes no progress
  GW_HOOK_SCRIPT_LIMIT,  // DORNIX_SCRIPT_LIMIT_MS: a package's script
  GW_HOOK_STALE_PAUSE,   // DORNIX_TEST_STALE_PAUSE_MS: inside the stale-socket check
  GW_HOOK_REQUEST_LIMIT, // DORNIX_REQUEST_LIMIT_MS: a request's whole body
};

// The time limit `ms`, or in scratch-root builds a shorter one from the
// hook's variable (a positive number of milliseconds), so that tests of the
// limits take seconds; production builds always return `ms`.
int gw_time_limit_ms(enum gw_hook hook, int ms);

// Scratch-root builds pause here for the milliseconds that the hook's
// variable names, so that a test can hold a process inside a race window;
// production builds do nothing.
void gw_test_pause(enum gw_hook hook);

// Restarts the device with the Linux restart command `cmd`. Scratch-root
// builds append "restart <cmd in hex> <unix time>\n" to GW_RESTART_MARKER and
// return -1, as if the call had returned.
int gw_reboot(int cmd);

// LED driver request 8 on an open "/dev/led": hands over a NUL-terminated
// notice. Scratch-root builds append the text to the file instead.
int gw_led_notice(int fd, const char *text);

// Control request 0 (argument 0) on the open configuration partition, issued
// before a configuration block is rewritten. Scratch-root builds do nothing
// for plain files and return 0.
int gw_mtd_request0(int fd);

// The Ethernet driver's private request `number` (SIOCDEVPRIVATE + number)
// on socket `sock` for interface `ifname`. Scratch-root builds refuse it
// (-1, errno EPERM) unless the process runs in a network namespace of its
// own, so a test can never reconfigure the machine's real interfaces.
int gw_eth_private(int sock, const char *ifname, int number);

#ifdef __cplusplus
}

// Convenience for C++ callers: the real location of one fixed path.
class GwPath {
 public:
  explicit GwPath(const char *fixed) { gw_path(fixed, buf_, sizeof buf_); }
  const char *c_str() const { return buf_; }
  operator const char *() const { return buf_; }

 private:
  char buf_[GW_PATH_MAX];
};
#endif

#endif
