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

// One pass over the folder open at `dir`, below the folder open at `top`
// that is being removed: files and empty folders go; a folder that is not
// empty is emptied one level down and removed when `dir` is `top`, and is
// moved up into `top` otherwise. True when anything changed.
bool sweep(int top, int dir, unsigned long *moved) {
  const int copy = dup(dir);
  DIR *d = copy >= 0 ? fdopendir(copy) : nullptr;
  if (d == nullptr) {
    if (copy >= 0) close(copy);
    return false;
  }
  rewinddir(d);  // the copy shares the position where an earlier pass ended
  bool changed = false;
  while (struct dirent *e = readdir(d)) {
    const char *name = e->d_name;
    struct stat st;
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 ||
        fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
      continue;
    if (unlinkat(dir, name, S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0) {
      changed = true;
    } else if (S_ISDIR(st.st_mode) && dir == top) {
      const int sub = openat(top, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub < 0) continue;
      changed = sweep(top, sub, moved) || changed;
      close(sub);
      changed = unlinkat(top, name, AT_REMOVEDIR) == 0 || changed;
    } else if (S_ISDIR(st.st_mode)) {
      // A name of its own in `top`; what stands there under such a name is
      // being removed all the same.
      char up[32];
      for (int tries = 0; tries < 16; ++tries) {
        snprintf(up, sizeof up, ".removing.%lu", (*moved)++);
        if (renameat(dir, name, top, up) == 0) {
          changed = true;
          break;
        }
        if (errno != EEXIST && errno != ENOTEMPTY) break;
      }
    }
  }
  closedir(d);
  return changed;
}

// Empties the folder open at `top` (and closes it) with three descriptors
// at most, however deep the folders below it go: a script may leave a
// tree deeper than the descriptors a process may hold, and a tree that
// could not be removed made every later package fail. Each pass takes one
// level off every folder in `top`, moving the folders below up into it,
// until nothing changes.
void remove_below(int top) {
  unsigned long moved = 0;
  while (sweep(top, top, &moved)) {
  }
  close(top);
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
