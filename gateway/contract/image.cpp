#include "image.h"

#include "result.h"
#include "support/le.h"

int gwc_image_kind(const unsigned char first[4], uint64_t size) {
  switch (le32_get(first)) {
    case GWC_MAGIC_CONFIG: return GWC_IMAGE_CONFIG;
    case GWC_MAGIC_SQUASHFS:
    case GWC_MAGIC_CRAMFS:
    case GWC_MAGIC_JFFS2: return GWC_IMAGE_FILESYSTEM;
    case GWC_MAGIC_KERNEL:
      return size <= (uint64_t)GWC_KERNEL_PARTITION_SIZE + CS_TAG_SIZE ? GWC_IMAGE_KERNEL : GWC_IMAGE_COMBINED;
    default: return GWC_IMAGE_UNKNOWN;
  }
}

const char *gwc_image_kind_name(int kind) {
  switch (kind) {
    case GWC_IMAGE_CONFIG: return "configuration file";
    case GWC_IMAGE_FILESYSTEM: return "file system image";
    case GWC_IMAGE_KERNEL: return "kernel image";
    case GWC_IMAGE_COMBINED: return "combined image";
    default: return "unknown image kind";
  }
}

void gwc_tag_make(unsigned char tag[CS_TAG_SIZE], uint32_t sum) {
  le32_put(tag, CS_TAG_MAGIC);
  le32_put(tag + 4, sum);
}

int gwc_tag_check(const void *image, size_t size) {
  const unsigned char *p = static_cast<const unsigned char *>(image);
  if (size < CS_TAG_SIZE || le32_get(p + size - CS_TAG_SIZE) != CS_TAG_MAGIC) return RESULT_NO_CHECKSUM;
  return cs_calc_buf_sum(p, size - CS_TAG_SIZE) == le32_get(p + size - 4) ? RESULT_OK : RESULT_BAD_CRC;
}
