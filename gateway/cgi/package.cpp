// Directory entries and file status with 64-bit inode numbers and sizes,
// which a 32-bit build otherwise cannot take from every file system.
#define _FILE_OFFSET_BITS 64

#include "package.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "log.h"
#include "platform.h"
#include "result.h"

namespace {

const size_t kBlock = PKG_BLOCK;  // tar header and data blocks

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
bool add_components(const char *name, size_t n, pkg_member *member, bool *seen_pkg) {
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
int read_member(int fd, off_t offset, off_t file_size, pkg_member *member) {
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

off_t next_offset(off_t offset, const pkg_member &member) {
  return offset + (off_t)kBlock + (off_t)((member.size + kBlock - 1) / kBlock * kBlock);
}

off_t size_of(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? st.st_size : -1;
}

}  // namespace

bool pkg_is_archive(int fd) {
  unsigned char h[kBlock];
  return pread(fd, h, kBlock, 0) == (ssize_t)kBlock && header_valid(h);
}

int pkg_check(int fd) {
  const off_t file_size = size_of(fd);
  bool marker = false;
  pkg_member m;
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

int pkg_read_member(int fd, long long offset, long long file_size, struct pkg_member *member) {
  return read_member(fd, (off_t)offset, (off_t)file_size, member);
}

long long pkg_next_offset(long long offset, const struct pkg_member *member) {
  return next_offset((off_t)offset, *member);
}

long long pkg_file_size(int fd) { return size_of(fd); }
