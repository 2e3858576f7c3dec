// Directory entries and file status with 64-bit inode numbers and sizes,
// which a 32-bit build otherwise cannot take from every file system.
#define _FILE_OFFSET_BITS 64

#include "package.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "contract/tar.h"
#include "firmware.h"
#include "platform.h"

namespace {

// The archive is read by descriptor, at any offset.
long read_fd(void *ctx, uint64_t offset, void *buffer, size_t length) {
  return (long)pread(*static_cast<int *>(ctx), buffer, length, (off_t)offset);
}

off_t size_of(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_size : -1;
}

// Creates directory `path` unless a directory (not a link) stands there.
bool make_dir(const char *path) {
  if (mkdir(path, 0755) == 0) return true;
  struct stat st;
  return errno == EEXIST && lstat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates the directories that lead to `path`, below `base`.
bool make_parents(char *path, size_t base) {
  if (path[base] == '\0') return true;  // the directory itself
  for (char *slash = strchr(path + base + 1, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
    *slash = '\0';
    bool ok = make_dir(path);
    *slash = '/';
    if (!ok) return false;
  }
  return true;
}

bool copy_data(int from, off_t offset, unsigned long long size, int to) {
  static char buffer[64 * 1024];
  while (size > 0) {
    size_t want = size < sizeof buffer ? (size_t)size : sizeof buffer;
    ssize_t got = pread(from, buffer, want, offset);
    if (got <= 0) return false;
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(to, buffer + done, (size_t)(got - done));
      if (put <= 0) return false;
      done += put;
    }
    offset += got;
    size -= (unsigned long long)got;
  }
  return true;
}

bool unpack_file(int fd, const gwc_tar_member &m, const char *path) {
  int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) return false;
  bool ok = copy_data(fd, (off_t)m.data, m.size, out) && fchmod(out, m.mode | 0600) == 0;
  return close(out) == 0 && ok;
}

long long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

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

void remove_below(int dir) {
  DIR *d = fdopendir(dir);
  if (d == nullptr) {
    close(dir);
    return;
  }
  while (struct dirent *e = readdir(d)) {
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    struct stat st;
    if (fstatat(dir, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      int sub = openat(dir, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) remove_below(sub);
      unlinkat(dir, e->d_name, AT_REMOVEDIR);
    } else {
      unlinkat(dir, e->d_name, 0);
    }
  }
  closedir(d);
}

}  // namespace

bool pkg_is_archive(int fd) {
  unsigned char h[GWC_TAR_BLOCK];
  return pread(fd, h, sizeof h, 0) == (ssize_t)sizeof h && gwc_tar_is_archive(h);
}

int pkg_check(int fd) {
  gwc_tar_reader r;
  gwc_tar_open(&r, read_fd, &fd, (uint64_t)size_of(fd));
  if (gwc_pkg_check(&r, nullptr) == 0) return RESULT_OK;
  debug_printf("pkg_check: %s\n", r.reason);
  return RESULT_BAD_MAGIC;
}

int pkg_unpack(int fd, const char *dir) {
  if (mkdir(dir, 0755) != 0) {
    debug_printf("pkg_unpack: cannot create %s\n", GW_PKG_DIR);
    return RESULT_TMP_OPEN;
  }
  const size_t base = strlen(dir);
  gwc_tar_reader r;
  gwc_tar_open(&r, read_fd, &fd, (uint64_t)size_of(fd));
  gwc_tar_member m;
  while (gwc_tar_next(&r, &m) == 1) {
    if (m.root) continue;
    char path[2 * GW_PATH_MAX];
    snprintf(path, sizeof path, "%s%s", dir, m.path);
    bool ok = make_parents(path, base) &&
              (m.type == GWC_TAR_DIR ? make_dir(path) : unpack_file(fd, m, path));
    if (!ok) {
      debug_printf("pkg_unpack: cannot create pkg%s: %s\n", m.path, strerror(errno));
      return RESULT_TMP_OPEN;
    }
  }
  return RESULT_OK;
}

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

void pkg_remove_tree(const char *path) {
  struct stat st;
  if (lstat(path, &st) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlink(path);
    return;
  }
  int dir = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir >= 0) remove_below(dir);
  rmdir(path);
}
