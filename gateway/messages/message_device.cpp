// Device control helpers: PPP daemons, the Ethernet interface and the DSL
// interface. Fixed paths and driver requests go through the platform layer.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include "msg_internal.h"
#include "platform.h"

namespace {

const char *const kRelay = "logic";

// Steps shared by killPPP and kill_ppp1: read the daemon's pid from its pid
// file and send it SIGTERM. *read_pid tells whether a line was read (the
// callers return early otherwise).
int term_from_pidfile(const char *fixed, bool *read_pid) {
  *read_pid = false;
  GwPath path(fixed);
  FILE *f = fopen(path, "r");
  if (f == nullptr) return 0;
  char line[30];
  if (fgets(line, sizeof line, f) == nullptr) return fclose(f);
  fclose(f);
  *read_pid = true;
  // 64 bits for the number: a 32-bit long clamps an overlong one to
  // 0x7fffffff, which would pass for a pid.
  long long pid = strtoll(line, nullptr, 10);
  // Anything but a positive number would signal a process group or every
  // process we may signal.
  if (pid <= 0 || pid > 0x7fffffffLL) return 0;
  return kill((pid_t)pid, SIGTERM);
}

}  // namespace

int killPPP(const void *quiet) {
  if (quiet == nullptr) {
    msgr_sendProgramStop(kRelay, "pppd_pppoe");
    msgr_sendProgramStop(kRelay, "pppd_pppoa");
  }
  bool read_pid;
  int r = term_from_pidfile(GW_PPP0_PID, &read_pid);
  if (!read_pid || quiet != nullptr) return r;
  return (int)msg_sleep(3);
}

int kill_ppp1(void) {
  bool read_pid;
  return term_from_pidfile(GW_PPP1_PID, &read_pid);
}

int reset_eth(void) {
  int sock = socket(AF_INET, SOCK_RAW, 255);
  if (sock < 0) return sock;
  int r = gw_eth_private(sock, "eth0", 7);
  close(sock);
  return r;
}

int is_nas0_up(void) {
  GwPath path(GW_PROC_NET_DEV);
  FILE *f = fopen(path, "r");
  if (f == nullptr) {
    kprintf("nas0 up %d\n", 0);
    return 0;
  }
  int up = 0;
  char line[100];
  for (;;) {
    memset(line, 0, sizeof line);
    if (fgets(line, 99, f) == nullptr) break;
    if (strstr(line, "nas0:") != nullptr) {
      up = 1;
      break;
    }
  }
  fclose(f);
  kprintf("nas0 up %d\n", up);
  return up;
}

int logger_act(const char *format, ...) {
  (void)format;
  return 0;
}
