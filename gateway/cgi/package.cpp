// Directory entries and file status with 64-bit inode numbers and sizes,
// which a 32-bit build otherwise cannot take from every file system.
#define _FILE_OFFSET_BITS 64

#include "package.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "contract/result.h"
#include "contract/tar.h"
#include "log.h"
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

}  // namespace

void pkg_reader_open(gwc_tar_reader *reader, int *fd) {
  gwc_tar_open(reader, read_fd, fd, (uint64_t)size_of(*fd));
}

bool pkg_is_archive(int fd) {
  unsigned char h[GWC_TAR_BLOCK];
  return pread(fd, h, sizeof h, 0) == (ssize_t)sizeof h && gwc_tar_is_archive(h);
}

int pkg_check(int fd) {
  gwc_tar_reader r;
  pkg_reader_open(&r, &fd);
  if (gwc_pkg_check(&r, nullptr) == 0) return RESULT_OK;
  debug_printf("pkg_check: %s\n", r.reason);
  return RESULT_BAD_MAGIC;
}

