#include "io.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cfgmgr_cksum.h"
#include "fdio.h"
#include "le.h"
#include "platform.h"

namespace {

// Reads exactly `n` bytes unless the device ends or fails first.
bool read_full(int fd, void *buf, size_t n) { return fd_read_up_to(fd, buf, n) == (ssize_t)n; }

bool read_word(int fd, uint32_t *value) {
  unsigned char raw[4];
  if (!read_full(fd, raw, sizeof raw)) return false;
  *value = le32_get(raw);
  return true;
}

bool write_word(int fd, uint32_t value) {
  unsigned char raw[4];
  le32_put(raw, value);
  return fd_write_all(fd, raw, sizeof raw);
}

}  // namespace

int io_load_mtd_header(const char *device, unsigned char **block, size_t *size) {
  Fd fd(open(device, O_RDONLY));
  if (fd.get() < 0) return -1;

  uint32_t magic, version, length, sum, extra = 0;
  if (!read_word(fd.get(), &magic) || magic != IO_MAGIC) return -1;
  if (!read_word(fd.get(), &version)) return -1;
  if (version != IO_VERSION_PLAIN && version != IO_VERSION_EXTENDED) return -1;
  if (!read_word(fd.get(), &length) || length > IO_MAX_DATA) return -1;
  if (!read_word(fd.get(), &sum)) return -1;
  const bool extended = version == IO_VERSION_EXTENDED;
  if (extended && !read_word(fd.get(), &extra)) return -1;

  const size_t head = extended ? IO_HEADER_SIZE_EXTENDED : IO_HEADER_SIZE;
  unsigned char *buf = static_cast<unsigned char *>(malloc(head + length));
  if (buf == nullptr) return -1;
  if (!read_full(fd.get(), buf + head, length) || cs_calc_buf_sum(buf + head, length) != sum) {
    free(buf);
    return -1;
  }

  le32_put(buf, magic);
  le32_put(buf + 4, version);
  le32_put(buf + 8, length);
  le32_put(buf + 12, sum);
  if (extended) le32_put(buf + 16, extra);
  *block = buf;
  *size = head + length;
  return 0;
}

int io_write_mtd_block(int fd, const void *data, uint32_t length) {
  // What the request does is the flash driver's business; its answer does
  // not decide anything here.
  gw_mtd_request0(fd);
  if (!write_word(fd, IO_MAGIC) || !write_word(fd, IO_VERSION_PLAIN) ||
      !write_word(fd, length) || !write_word(fd, cs_calc_buf_sum(data, length)))
    return -1;
  return fd_write_all(fd, data, length) ? 0 : -1;
}
