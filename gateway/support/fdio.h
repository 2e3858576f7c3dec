// Descriptor helpers shared by the flash and configuration writers: a guard
// that closes on every way out, and reads and writes that continue short
// transfers, as block devices may return them.
#ifndef DORNIX_SUPPORT_FDIO_H
#define DORNIX_SUPPORT_FDIO_H

#include <stddef.h>
#include <sys/types.h>
#include <unistd.h>

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Writes all `n` bytes, continuing short writes. A write that fails or
// writes nothing ends it: false.
inline bool fd_write_all(int fd, const void *data, size_t n) {
  const unsigned char *p = static_cast<const unsigned char *>(data);
  while (n > 0) {
    ssize_t put = write(fd, p, n);
    if (put <= 0) return false;
    p += put;
    n -= (size_t)put;
  }
  return true;
}

// Reads up to `n` bytes, continuing short reads until the file ends.
// Returns the number read, or -1 when a read fails.
inline ssize_t fd_read_up_to(int fd, void *data, size_t n) {
  unsigned char *p = static_cast<unsigned char *>(data);
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, p + got, n - got);
    if (r < 0) return -1;
    if (r == 0) break;
    got += (size_t)r;
  }
  return (ssize_t)got;
}

#endif
