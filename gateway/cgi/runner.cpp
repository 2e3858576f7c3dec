#include "runner.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "deadline.h"
#include "log.h"
#include "platform.h"

namespace {

long long now_ms() { return monotonic_ms(); }

// Waits for `pid` until `deadline` (monotonic ms). True when it ended.
bool wait_until(pid_t pid, long long deadline, int *status) {
  long step = 1;
  for (;;) {
    pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (now_ms() >= deadline) return false;
    struct timespec pause = {0, step * 1000000L};
    nanosleep(&pause, nullptr);
    if (step < 100) step *= 2;
  }
}

}  // namespace

int pkg_run_script(const char *script, int limit_ms) {
  fflush(nullptr);  // the script writes to the same response and log
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    setpgid(0, 0);
    execl(script, script, static_cast<char *>(nullptr));
    // A script without a "#!" line is run by the shell, as the shell would.
    if (errno == ENOEXEC) execl(GW_SHELL, "sh", script, static_cast<char *>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);  // whichever of the two runs first
  int status = -1;
  if (wait_until(pid, now_ms() + limit_ms, &status)) return status;
  debug_printf("pkg_run_script: still running after %d ms: stopped\n", limit_ms);
  kill(-pid, SIGTERM);
  if (!wait_until(pid, now_ms() + 2000, &status)) {
    kill(-pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  kill(-pid, SIGKILL);  // what it started and left behind
  return PKG_SCRIPT_STOPPED;
}

