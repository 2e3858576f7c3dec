#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include "cfgmgr_cksum.h"
#include "comm.h"
#include "contract/image.h"
#include "fdio.h"
#include "firmware.h"
#include "platform.h"

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

int do_firmware_upgrade(void) {
  GwPath bin(GW_FW_BIN);
  unsigned char first[4];
  off_t size;
  {
    Fd fd(open(bin, O_RDONLY));
    if (fd.get() < 0) return RESULT_TMP_OPEN;
    if (fd_read_up_to(fd.get(), first, sizeof first) != (ssize_t)sizeof first) return RESULT_BAD_MAGIC;
    size = lseek(fd.get(), 0, SEEK_END);
  }
  const int kind = gwc_image_kind(first, (uint64_t)size);
  // Configuration files carry no tag.
  if (kind == GWC_IMAGE_CONFIG) return copy_config_file();

  FILE *stream = fopen(bin, "r+");
  if (stream == nullptr) return RESULT_TMP_OPEN;
  uint32_t computed = 0, stored = 0;
  int r;
  if (!cs_is_tagged(stream)) {
    r = RESULT_NO_CHECKSUM;
  } else if (!cs_calc_sum(stream, &computed, 1)) {
    r = RESULT_CHECKSUM_CALC;
  } else if (!cs_get_sum(stream, &stored) || computed != stored) {
    r = RESULT_BAD_CRC;
  } else if (kind == GWC_IMAGE_FILESYSTEM) {
    r = copy_firmware_image(GW_MTD_FILESYSTEM, IMAGE_FILESYSTEM);
  } else if (kind == GWC_IMAGE_KERNEL) {
    r = copy_firmware_image(GW_MTD_KERNEL, IMAGE_KERNEL);
  } else if (kind == GWC_IMAGE_COMBINED) {
    r = copy_firmware_image_combo();
    debug_printf("copy_firmware_image_combo: %d\n", r);
  } else {
    r = RESULT_BAD_MAGIC;
  }
  fclose(stream);
  return r;
}

int copy_firmware_image(const char *device, int kind) {
  Buffer buf;
  if (buf.p == nullptr) return RESULT_NO_MEMORY;
  Fd src(open(GwPath(GW_FW_BIN), O_RDONLY));
  Fd dst(open(GwPath(device), O_WRONLY));
  if (src.get() < 0 || dst.get() < 0) return RESULT_MTD_OPEN;

  const off_t size = lseek(src.get(), 0, SEEK_END);
  if (size < 0 || lseek(src.get(), 0, SEEK_SET) != 0) return RESULT_TMP_READ;
  // The tag stays behind: it is checked, never written.
  const off_t end = size - CS_TAG_SIZE;
  debug_printf("copy_firmware_image: Upgrading: %s\n", kind == IMAGE_FILESYSTEM ? "FileSystem" : "Kernel");

  off_t offset = 0;
  unsigned long total = 0;
  ssize_t got;
  bool write_failed = false;
  while ((got = read(src.get(), buf.p, kChunk)) > 0) {
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

// The three descriptors of one pass of the combined writer.
struct ComboFiles {
  Fd src, kernel, fs;

  // Opens fw.bin for reading and both partitions for synchronous writing;
  // on failure logs what could be opened and returns false.
  bool open_for_writing() {
    src.reset(open(GwPath(GW_FW_BIN), O_RDONLY));
    kernel.reset(open(GwPath(GW_MTD_KERNEL), O_WRONLY | O_SYNC));
    fs.reset(open(GwPath(GW_MTD_FILESYSTEM), O_WRONLY | O_SYNC));
    if (src.get() >= 0 && kernel.get() >= 0 && fs.get() >= 0) return true;
    debug_printf("copy_firmware_image: open failed, src=%d, dst=%d, errno = %d.\n", src.get(),
                 kernel.get(), errno);
    return false;
  }
  bool open_for_reading() {
    src.reset(open(GwPath(GW_FW_BIN), O_RDONLY));
    kernel.reset(open(GwPath(GW_MTD_KERNEL), O_RDONLY));
    fs.reset(open(GwPath(GW_MTD_FILESYSTEM), O_RDONLY));
    return src.get() >= 0 && kernel.get() >= 0 && fs.get() >= 0;
  }
  void close_all() {
    src.reset();
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
  while ((got = read(f.src.get(), buf, kChunk)) > 0) {
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
  while ((got = read(f.src.get(), buf, kChunk)) > 0) {
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

int copy_firmware_image_combo(void) {
  Buffer data;
  if (data.p == nullptr) return RESULT_NO_MEMORY;
  ComboFiles f;
  bool opened = f.open_for_writing();
  off_t size = f.src.get() >= 0 ? lseek(f.src.get(), 0, SEEK_END) : -1;
  debug_printf("copy_firmware_image: Upgrading: \n");
  if (!opened) return RESULT_MTD_OPEN;
  if (size < 0 || lseek(f.src.get(), 0, SEEK_SET) != 0) return RESULT_TMP_READ;
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
