#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "flash.h"

#include "cfgmgr_cksum.h"
#include "comm.h"
#include "config.h"
#include "contract/image.h"
#include "contract/result.h"
#include "fdio.h"
#include "log.h"
#include "platform.h"
#include "reception.h"

namespace {

// The kernel partition; a kernel image larger than it (tag included)
// carries the file system after it.
const off_t kKernelSize = GWC_KERNEL_PARTITION_SIZE;
const size_t kChunk = 65536;
const int kPasses = 3;

struct Buffer {
  unsigned char *p = static_cast<unsigned char *>(malloc(kChunk));
  ~Buffer() { free(p); }
};

}  // namespace

int do_firmware_upgrade(struct request *req) {
  // fw.bin as it was opened once, after the upload or the package's script:
  // every check and every write below reads this descriptor.
  const int fd = req->image_fd;
  if (fd < 0) return RESULT_TMP_OPEN;
  unsigned char first[4];
  if (pread(fd, first, sizeof first, 0) != (ssize_t)sizeof first) return RESULT_BAD_MAGIC;
  const off_t size = lseek(fd, 0, SEEK_END);
  // The upload's kind was decided when it arrived; what a package's
  // script left is a file of its own.
  const int kind = req->upload_kind == UPLOAD_PACKAGE ? file_kind(fd) : req->upload_kind;
  const int image = gwc_image_kind(first, (uint64_t)size);
  // Configuration files carry no tag.
  if (kind == UPLOAD_CONFIG) return copy_config_file(req);

  // The tag is read through a stream of its own over the same file.
  const int copy = dup(fd);
  FILE *stream = copy >= 0 ? fdopen(copy, "r") : nullptr;
  if (stream == nullptr) {
    if (copy >= 0) close(copy);
    return RESULT_TMP_OPEN;
  }
  uint32_t computed = 0, stored = 0;
  int r;
  if (!cs_is_tagged(stream)) {
    r = RESULT_NO_CHECKSUM;
  } else if (!cs_calc_sum(stream, &computed, 1)) {
    r = RESULT_CHECKSUM_CALC;
  } else if (!cs_get_sum(stream, &stored) || computed != stored) {
    r = RESULT_BAD_CRC;
  } else if (image == GWC_IMAGE_FILESYSTEM) {
    r = copy_firmware_image(fd, GW_MTD_FILESYSTEM, IMAGE_FILESYSTEM);
  } else if (image == GWC_IMAGE_KERNEL) {
    r = copy_firmware_image(fd, GW_MTD_KERNEL, IMAGE_KERNEL);
  } else if (image == GWC_IMAGE_COMBINED) {
    r = copy_firmware_image_combo(fd);
    debug_printf("copy_firmware_image_combo: %d\n", r);
  } else {
    r = RESULT_BAD_MAGIC;
  }
  fclose(stream);
  return r;
}

int copy_firmware_image(int source, const char *device, int kind) {
  Buffer buf;
  if (buf.p == nullptr) return RESULT_NO_MEMORY;
  Fd dst(open(GwPath(device), O_WRONLY | O_CLOEXEC));
  if (source < 0 || dst.get() < 0) return RESULT_MTD_OPEN;
  const off_t size = lseek(source, 0, SEEK_END);
  if (size < 0 || lseek(source, 0, SEEK_SET) != 0) return RESULT_TMP_READ;
  // The tag stays behind: it is checked, never written.
  const off_t end = size - CS_TAG_SIZE;
  debug_printf("copy_firmware_image: Upgrading: %s\n", kind == IMAGE_FILESYSTEM ? "FileSystem" : "Kernel");

  off_t offset = 0;
  unsigned long total = 0;
  ssize_t got;
  bool write_failed = false;
  while ((got = read(source, buf.p, kChunk)) > 0) {
    size_t keep = offset >= end ? 0 : (size_t)(end - offset < got ? end - offset : got);
    offset += got;
    if (!fd_write_all(dst.get(), buf.p, keep)) {
      write_failed = true;
      break;
    }
    total += keep;
    debug_printf("copy_firmware_image: Wrote %lu bytes.\n", total);
  }
  // Buffered writes may fail only when the device is closed.
  if (close(dst.release()) != 0) write_failed = true;

  if (got < 0) {
    debug_printf("copy_firmware_image: failed!\n");
    return RESULT_TMP_READ;
  }
  if (write_failed) {
    debug_printf("copy_firmware_image: failed!\n");
    return RESULT_MTD_WRITE;
  }
  debug_printf("copy_firmware_image: successful!\n");
  return RESULT_OK;
}

namespace {

// The descriptors of one pass of the combined writer: the checked file,
// read again from its start for every pass, and both partitions.
struct ComboFiles {
  int src;
  Fd kernel, fs;

  // Rewinds the file and opens both partitions for synchronous writing; on
  // failure logs what could be opened and returns false.
  bool open_for_writing() {
    kernel.reset(open(GwPath(GW_MTD_KERNEL), O_WRONLY | O_SYNC | O_CLOEXEC));
    fs.reset(open(GwPath(GW_MTD_FILESYSTEM), O_WRONLY | O_SYNC | O_CLOEXEC));
    const bool rewound = src >= 0 && lseek(src, 0, SEEK_SET) == 0;
    if (rewound && kernel.get() >= 0 && fs.get() >= 0) return true;
    debug_printf("copy_firmware_image: open failed, src=%d, dst=%d, errno = %d.\n", rewound ? src : -1,
                 kernel.get(), errno);
    return false;
  }
  bool open_for_reading() {
    kernel.reset(open(GwPath(GW_MTD_KERNEL), O_RDONLY | O_CLOEXEC));
    fs.reset(open(GwPath(GW_MTD_FILESYSTEM), O_RDONLY | O_CLOEXEC));
    return lseek(src, 0, SEEK_SET) == 0 && kernel.get() >= 0 && fs.get() >= 0;
  }
  void close_all() {
    kernel.reset();
    fs.reset();
  }
};

// One chunk of the image split at the end of the kernel partition: the
// first `to_kernel` bytes belong there, the next `to_fs` to the file system.
struct Split {
  size_t to_kernel, to_fs;
};

Split split_chunk(off_t offset, size_t got, off_t end) {
  size_t keep = offset >= end ? 0 : (size_t)(end - offset < (off_t)got ? end - offset : (off_t)got);
  size_t to_kernel = offset >= kKernelSize ? 0 : (size_t)(kKernelSize - offset);
  if (to_kernel > keep) to_kernel = keep;
  return Split{to_kernel, keep - to_kernel};
}

// Write pass: a portion that cannot be written is left to the read-back to
// find. Returns false when reading fw.bin failed.
bool write_pass(ComboFiles &f, unsigned char *buf, off_t end) {
  off_t offset = 0;
  ssize_t got;
  while ((got = read(f.src, buf, kChunk)) > 0) {
    Split s = split_chunk(offset, (size_t)got, end);
    offset += got;
    fd_write_all(f.kernel.get(), buf, s.to_kernel);
    fd_write_all(f.fs.get(), buf + s.to_kernel, s.to_fs);
  }
  return got == 0;
}

enum Verdict { kSame, kDiffers, kFileReadFailed, kDeviceReadFailed };

// Compares one portion with what its device holds next. A device that ends
// before the portion does not hold the image: that is a difference too.
Verdict compare(int device, const unsigned char *want, size_t n, unsigned char *back) {
  if (n == 0) return kSame;
  ssize_t got = fd_read_up_to(device, back, n);
  if (got < 0) return kDeviceReadFailed;
  if ((size_t)got < n || memcmp(want, back, n) != 0) return kDiffers;
  return kSame;
}

Verdict verify_pass(ComboFiles &f, unsigned char *buf, unsigned char *back, off_t end) {
  off_t offset = 0;
  ssize_t got;
  while ((got = read(f.src, buf, kChunk)) > 0) {
    Split s = split_chunk(offset, (size_t)got, end);
    offset += got;
    Verdict v = compare(f.kernel.get(), buf, s.to_kernel, back);
    if (v == kSame) v = compare(f.fs.get(), buf + s.to_kernel, s.to_fs, back);
    if (v != kSame) return v;
  }
  return got == 0 ? kSame : kFileReadFailed;
}

void notice(const char *text) {
  debug_printf("%s", text);
  kprintf("%s", text);
}

}  // namespace

int copy_firmware_image_combo(int source) {
  Buffer data;
  if (data.p == nullptr) return RESULT_NO_MEMORY;
  ComboFiles f;
  f.src = source;
  bool opened = f.open_for_writing();
  off_t size = f.src >= 0 ? lseek(f.src, 0, SEEK_END) : -1;
  debug_printf("copy_firmware_image: Upgrading: \n");
  if (!opened) return RESULT_MTD_OPEN;
  if (size < 0 || lseek(f.src, 0, SEEK_SET) != 0) return RESULT_TMP_READ;
  const off_t end = size - CS_TAG_SIZE;

  for (int passes = kPasses;;) {
    bool file_read_ok = write_pass(f, data.p, end);
    f.close_all();

    Verdict v;
    {
      Buffer back;
      if (back.p == nullptr) return RESULT_NO_MEMORY;
      if (!f.open_for_reading()) return RESULT_MTD_OPEN;
      v = verify_pass(f, data.p, back.p, end);
      f.close_all();
    }
    if (v != kDiffers) {
      if (!file_read_ok || v == kFileReadFailed) {
        notice("failed!\n");
        return RESULT_TMP_READ;
      }
      if (v == kDeviceReadFailed) {
        notice("failed!\n");
        return RESULT_MTD_WRITE;
      }
      notice("successful!\n");
      return RESULT_OK;
    }
    if (--passes == 0) {
      debug_printf("\n\n \n\n !!!!! Reach max rewriting counter, Image may be wrong\n\n\n\n");
      kprintf("\n\n !!!!! Reach max rewriting counter, Image may be wrong\n\n");
      return RESULT_MTD_WRITE;
    }
    notice("\n\n !!!!! previous writing is wrong, try it again\n\n");
    if (!f.open_for_writing()) return RESULT_MTD_OPEN;
  }
}
