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

#include "firmware.h"
#include "platform.h"

namespace {

const size_t kBlock = 512;  // tar header and data blocks

// One member, as the checks see it.
struct Member {
  char type;             // '0' regular file, '5' directory
  bool root;             // "./": the directory the archive unpacks into
  unsigned long long size;
  unsigned mode;
  char path[GW_PATH_MAX];  // below pkg: "" for pkg itself, else "/a/b"
};

// An octal number field, blanks and NULs around it. False for anything
// else (base-256 sizes included: no package needs them).
bool octal(const unsigned char *field, size_t n, unsigned long long *value) {
  size_t i = 0;
  while (i < n && field[i] == ' ') ++i;
  unsigned long long v = 0;
  for (; i < n && field[i] >= '0' && field[i] <= '7'; ++i) {
    if (v >> 60) return false;
    v = v * 8 + (unsigned)(field[i] - '0');
  }
  for (; i < n; ++i)
    if (field[i] != ' ' && field[i] != '\0') return false;
  *value = v;
  return true;
}

bool is_zero(const unsigned char *block) {
  for (size_t i = 0; i < kBlock; ++i)
    if (block[i] != 0) return false;
  return true;
}

// A header whose checksum holds and that carries the "ustar" mark (POSIX
// "ustar\0" or the older GNU "ustar  ").
bool header_valid(const unsigned char *h) {
  unsigned long long stored = 0;
  if (!octal(h + 148, 8, &stored) || memcmp(h + 257, "ustar", 5) != 0) return false;
  unsigned long sum = 0;
  long signed_sum = 0;
  for (size_t i = 0; i < kBlock; ++i) {
    unsigned char c = i >= 148 && i < 156 ? ' ' : h[i];
    sum += c;
    signed_sum += (signed char)c;
  }
  return stored == sum || (long long)stored == signed_sum;
}

// Appends the components of the NUL-terminated or `n`-byte name field to
// member->path: "." and empty components are dropped, ".." refused, and
// the first component kept must be "pkg" (which is not stored).
bool add_components(const char *name, size_t n, Member *member, bool *seen_pkg) {
  size_t i = 0;
  while (i < n && name[i] != '\0') {
    size_t start = i;
    while (i < n && name[i] != '\0' && name[i] != '/') ++i;
    size_t len = i - start;
    if (i < n && name[i] == '/') ++i;
    if (len == 0 || (len == 1 && name[start] == '.')) continue;
    if (len == 2 && name[start] == '.' && name[start + 1] == '.') return false;
    if (!*seen_pkg) {
      if (len != 3 || memcmp(name + start, "pkg", 3) != 0) return false;
      *seen_pkg = true;
      continue;
    }
    size_t used = strlen(member->path);
    if (used + 1 + len >= sizeof member->path) return false;
    member->path[used] = '/';
    memcpy(member->path + used + 1, name + start, len);
    member->path[used + 1 + len] = '\0';
  }
  return true;
}

// Reads the header at `offset` into `member`. Returns 1 for a member, 0 at
// the end of the archive, -1 for a member that may not be unpacked (with
// the reason in the debug log).
int read_member(int fd, off_t offset, off_t file_size, Member *member) {
  unsigned char h[kBlock];
  if (offset + (off_t)kBlock > file_size) return 0;  // no end blocks: the end all the same
  if (pread(fd, h, kBlock, offset) != (ssize_t)kBlock) return -1;
  if (is_zero(h)) return 0;
  char name[100 + 1];
  memcpy(name, h, 100);
  name[100] = '\0';
  if (!header_valid(h)) {
    debug_printf("pkg_check: damaged header at %lld (after '%s')\n", (long long)offset, name);
    return -1;
  }
  memset(member, 0, sizeof *member);
  member->type = h[156] == '\0' ? '0' : (char)h[156];
  unsigned long long mode = 0;
  if (member->type != '0' && member->type != '5') {
    debug_printf("pkg_check: '%s' is neither a regular file nor a directory (type '%c')\n", name,
                 member->type);
    return -1;
  }
  if (!octal(h + 124, 12, &member->size) || !octal(h + 100, 8, &mode)) {
    debug_printf("pkg_check: '%s': damaged size or mode\n", name);
    return -1;
  }
  member->mode = (unsigned)mode & 0755u;
  if (member->type == '5') member->size = 0;
  const unsigned long long data = (member->size + kBlock - 1) / kBlock * kBlock;
  if (data > (unsigned long long)(file_size - offset - (off_t)kBlock)) {
    debug_printf("pkg_check: '%s': data beyond the end of the archive\n", name);
    return -1;
  }
  // A POSIX header may put the leading part of a long name in its prefix.
  const bool posix = h[262] == '\0';
  const char *prefix = reinterpret_cast<const char *>(h + 345);
  const bool absolute = posix && prefix[0] != '\0' ? prefix[0] == '/' : name[0] == '/';
  bool seen_pkg = false;
  const bool inside = !absolute && (!posix || add_components(prefix, 155, member, &seen_pkg)) &&
                      add_components(name, 100, member, &seen_pkg);
  // "./" itself, as an archive of a whole directory starts, creates nothing.
  member->root = inside && !seen_pkg && member->type == '5';
  if (!inside || (!seen_pkg && !member->root)) {
    debug_printf("pkg_check: '%s' is not a path inside pkg/\n", name);
    return -1;
  }
  return 1;
}

off_t next_offset(off_t offset, const Member &member) {
  return offset + (off_t)kBlock + (off_t)((member.size + kBlock - 1) / kBlock * kBlock);
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

bool unpack_file(int fd, off_t data, const Member &m, const char *path) {
  int out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (out < 0) return false;
  bool ok = copy_data(fd, data, m.size, out) && fchmod(out, m.mode | 0600) == 0;
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
  unsigned char h[kBlock];
  return pread(fd, h, kBlock, 0) == (ssize_t)kBlock && header_valid(h);
}

int pkg_check(int fd) {
  const off_t file_size = size_of(fd);
  bool marker = false;
  Member m;
  off_t offset = 0;
  int r;
  while ((r = read_member(fd, offset, file_size, &m)) == 1) {
    if (!m.root && m.type == '0' && strcmp(m.path, "/fw.inf") == 0) marker = true;
    offset = next_offset(offset, m);
  }
  if (r < 0) return RESULT_BAD_MAGIC;
  if (!marker) {
    debug_printf("pkg_check: archive without pkg/fw.inf\n");
    return RESULT_BAD_MAGIC;
  }
  return RESULT_OK;
}

int pkg_unpack(int fd, const char *dir) {
  if (mkdir(dir, 0755) != 0) {
    debug_printf("pkg_unpack: cannot create %s\n", GW_PKG_DIR);
    return RESULT_TMP_OPEN;
  }
  const off_t file_size = size_of(fd);
  const size_t base = strlen(dir);
  Member m;
  for (off_t offset = 0; read_member(fd, offset, file_size, &m) == 1; offset = next_offset(offset, m)) {
    if (m.root) continue;
    char path[2 * GW_PATH_MAX];
    snprintf(path, sizeof path, "%s%s", dir, m.path);
    bool ok = make_parents(path, base) &&
              (m.type == '5' ? make_dir(path) : unpack_file(fd, offset + (off_t)kBlock, m, path));
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
