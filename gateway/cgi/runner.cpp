// Directory entries with 64-bit offsets (see the CMake file).
#define _FILE_OFFSET_BITS 64

#include "runner.h"

#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "deadline.h"
#include "log.h"
#include "platform.h"

namespace {

// The script's output, cut into lines for the log.
struct Output {
  int fd;
  char line[256];
  size_t length;

  void flush() {
    if (length > 0) debug_printf("pkg_run_script: %.*s\n", (int)length, line);
    length = 0;
  }
  // Copies what the pipe holds now, at most `most` bytes, waiting at most
  // `wait_ms` for it. The number of bytes copied, 0 when there was
  // nothing, -1 once the pipe has ended.
  int take(int wait_ms, size_t most = 1024) {
    if (fd < 0) return -1;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return 0;
    char buf[1024];
    ssize_t n = read(fd, buf, most < sizeof buf ? most : sizeof buf);
    if (n < 0 && errno == EINTR) return 0;
    if (n <= 0) {
      flush();
      close(fd);
      fd = -1;
      return -1;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == '\n' || length == sizeof line) flush();
      if (buf[i] != '\n') line[length++] = buf[i];
    }
    return (int)n;
  }
};

// In the child, before exec: nothing of dornix goes with the script.
void prepare_child(int out) {
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  for (int s = 1; s < NSIG; ++s) sigaction(s, &dfl, nullptr);
  signal(SIGPIPE, SIG_IGN);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  setpgid(0, 0);

  int in = open(GW_DEV_NULL, O_RDONLY);
  if (in < 0) {
    // Empty input all the same: a pipe whose writer is gone.
    int p[2];
    if (pipe(p) == 0) {
      close(p[1]);
      in = p[0];
    }
  }
  if (in >= 0 && in != STDIN_FILENO) {
    dup2(in, STDIN_FILENO);
    close(in);
  }
  dup2(out, STDOUT_FILENO);
  dup2(out, STDERR_FILENO);
  // Whatever else is open (dornix's own descriptors are close-on-exec
  // already; the web server's may not be) is not the script's.
  DIR *d = opendir("/proc/self/fd");
  if (d != nullptr) {
    const int own = dirfd(d);
    while (struct dirent *e = readdir(d)) {
      int fd = atoi(e->d_name);
      if (fd > STDERR_FILENO && fd != own) fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    closedir(d);
  } else {
    for (int fd = STDERR_FILENO + 1; fd < 1024; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
}

// The processes of the machine, as /proc lists them: parent and group.
struct Proc {
  pid_t pid, ppid, pgid;
  char state;
};
const int kMaxProcs = 4096;
Proc procs[kMaxProcs];

int list_processes() {
  DIR *d = opendir("/proc");
  if (d == nullptr) return 0;
  int n = 0;
  char path[320], text[512];
  while (struct dirent *e = readdir(d)) {
    if (!isdigit((unsigned char)e->d_name[0]) || n == kMaxProcs) continue;
    snprintf(path, sizeof path, "/proc/%s/stat", e->d_name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) continue;
    ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) continue;
    text[got] = '\0';
    // "pid (name) state ppid pgrp ...": the name may hold anything.
    const char *end = strrchr(text, ')');
    int ppid = 0, pgid = 0;
    char state = 0;
    if (end == nullptr || sscanf(end + 1, " %c %d %d", &state, &ppid, &pgid) != 3) continue;
    procs[n++] = Proc{(pid_t)atoi(e->d_name), (pid_t)ppid, (pid_t)pgid, state};
  }
  closedir(d);
  return n;
}

// True when process `pid` holds the pipe whose inode is `ino`.
bool holds_pipe(pid_t pid, unsigned long long ino) {
  char dir[64], link[64], path[384], want[48];
  snprintf(dir, sizeof dir, "/proc/%d/fd", (int)pid);
  snprintf(want, sizeof want, "pipe:[%llu]", ino);
  DIR *d = opendir(dir);
  if (d == nullptr) return false;
  bool found = false;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    snprintf(path, sizeof path, "%s/%s", dir, e->d_name);
    ssize_t n = readlink(path, link, sizeof link - 1);
    if (n <= 0) continue;
    link[n] = '\0';
    if (strcmp(link, want) == 0) {
      found = true;
      break;
    }
  }
  closedir(d);
  return found;
}

// The variable that marks every process of one run of a script: the
// script gets it, and what it starts inherits it unless it clears its
// environment on purpose.
const char kRunVariable[] = "DORNIX_SCRIPT_RUN";
char run_mark[64];  // "DORNIX_SCRIPT_RUN=<pid>.<pipe inode>"

// True when process `pid` carries this run's mark in its environment: one
// of the NUL-terminated entries of /proc/PID/environ is exactly the mark.
bool carries_mark(pid_t pid) {
  char path[64], env[1024];
  snprintf(path, sizeof path, "/proc/%d/environ", (int)pid);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const size_t mark = strlen(run_mark);
  size_t matched = 0;  // bytes of the current entry that equal the mark's
  bool alike = true;   // the current entry is the mark so far
  bool found = false;
  ssize_t got;
  while (!found && (got = read(fd, env, sizeof env)) > 0) {
    for (ssize_t i = 0; i < got && !found; ++i) {
      if (env[i] == '\0') {
        found = alike && matched == mark;
        matched = 0;
        alike = true;
      } else if (alike && matched < mark && env[i] == run_mark[matched]) {
        ++matched;
      } else {
        alike = false;
      }
    }
  }
  close(fd);
  return found;
}

// True when `pid` descends from this process, following the parents in
// the `n` listed processes.
bool descends(pid_t pid, int n) {
  const pid_t self = getpid();
  for (int depth = 0; depth < n && pid > 1; ++depth) {
    pid_t parent = 0;
    for (int i = 0; i < n; ++i)
      if (procs[i].pid == pid) parent = procs[i].ppid;
    if (parent == self) return true;
    pid = parent;
  }
  return false;
}

// Sends `sig` to every live process the script started: its process
// group, every descendant of dornix (the subreaper takes in what lost its
// parent), every process that still holds the script's output pipe and
// every process that carries the run's mark (where the system has no
// subreaper, what left the group and the session is found by these).
// Returns how many it found.
int signal_tree(pid_t script, unsigned long long pipe_ino, int sig) {
  kill(-script, sig);
  const int n = list_processes();
  const pid_t self = getpid();
  int found = 0;
  for (int i = 0; i < n; ++i) {
    const Proc &p = procs[i];
    if (p.pid == self || p.state == 'Z' || p.state == 'X') continue;
    if (p.pgid == script || descends(p.pid, n) || holds_pipe(p.pid, pipe_ino) ||
        carries_mark(p.pid)) {
      kill(p.pid, sig);
      ++found;
    }
  }
  return found;
}

void reap_children() {
  int status;
  while (waitpid(-1, &status, WNOHANG) > 0) {
  }
}

void pause_ms(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, nullptr);
}

}  // namespace

int pkg_run_script(const char *script, int limit_ms) {
#ifdef PR_SET_CHILD_SUBREAPER
  // Processes of the script that lose their parent come back here, not to
  // init, so that a stop finds them. Kernels (and emulators) without it
  // leave the output pipe to find them by.
  prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
#endif
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
  struct stat st;
  const unsigned long long pipe_ino = fstat(pipe_fds[0], &st) == 0 ? (unsigned long long)st.st_ino : 0;
  snprintf(run_mark, sizeof run_mark, "%s=%d.%llu", kRunVariable, (int)getpid(), pipe_ino);
  fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return -1;
  }
  if (pid == 0) {
    prepare_child(pipe_fds[1]);
    putenv(run_mark);
    execl(script, script, static_cast<char *>(nullptr));
    // A script without a "#!" line is run by the shell, as the shell would.
    if (errno == ENOEXEC) execl(GW_SHELL, "sh", script, static_cast<char *>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);  // whichever of the two runs first
  close(pipe_fds[1]);
  Output out = {pipe_fds[0], {0}, 0};

  const long long deadline = monotonic_ms() + limit_ms;
  int status = -1;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) {
      // Ended in time: what it printed is taken, as much as the pipe holds
      // at its end (at most 64 KiB, four times what the log takes from one
      // request). Its background jobs may go on printing, into a pipe that
      // no one reads: however fast they print, they never keep the answer
      // waiting.
      const int most = 64 * 1024;
      int pending = most;
      if (out.fd < 0 || ioctl(out.fd, FIONREAD, &pending) != 0 || pending < 0 || pending > most) pending = most;
      for (int left = pending, got; left > 0 && (got = out.take(0, (size_t)left)) > 0;) left -= got;
      if (out.fd >= 0) {
        out.flush();
        close(out.fd);
      }
      return status;
    }
    const long long left = deadline - monotonic_ms();
    if (left <= 0) break;
    if (out.take(left < 100 ? (int)left : 100) < 0) pause_ms(left < 100 ? left : 100);
  }

  debug_printf("pkg_run_script: still running after %d ms: stopped\n", limit_ms);
  out.flush();
  // The read end stays open until the end of the stop: while it is, no
  // other pipe can carry the inode number the stop looks for.
  signal_tree(pid, pipe_ino, SIGTERM);
  const long long grace = monotonic_ms() + 2000;
  while (waitpid(pid, &status, WNOHANG) == 0 && monotonic_ms() < grace) pause_ms(20);
  for (int round = 0; round < 100; ++round) {
    int left = signal_tree(pid, pipe_ino, SIGKILL);
    reap_children();
    if (left == 0) break;
    pause_ms(10);
  }
  if (out.fd >= 0) close(out.fd);
  return PKG_SCRIPT_STOPPED;
}
