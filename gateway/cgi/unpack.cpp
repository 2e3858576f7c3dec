// Directory entries and file status with 64-bit inode numbers and sizes,
// which a 32-bit build otherwise cannot take from every file system.
#define _FILE_OFFSET_BITS 64

#include "unpack.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "contract/result.h"
#include "log.h"
#include "package.h"
#include "platform.h"

namespace {

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

int pkg_unpack(int fd, const char *dir) {
  if (mkdir(dir, 0755) != 0) {
    debug_printf("pkg_unpack: cannot create %s\n", GW_PKG_DIR);
    return RESULT_TMP_OPEN;
  }
  const size_t base = strlen(dir);
  gwc_tar_reader r;
  pkg_reader_open(&r, &fd);
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
