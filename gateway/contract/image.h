// Firmware images: their kinds, told apart by the first word, the
// partitions they go to, and the tag at their end (support/cfgmgr_cksum).
#ifndef GATEWAY_CONTRACT_IMAGE_H
#define GATEWAY_CONTRACT_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include "support/cfgmgr_cksum.h"

#ifdef __cplusplus
extern "C" {
#endif

// First words, little-endian.
#define GWC_MAGIC_CONFIG 0x6E6F633Cu    // "<con": a configuration file, no tag
#define GWC_MAGIC_SQUASHFS 0x73717368u  // "hsqs"
#define GWC_MAGIC_CRAMFS 0x28CD3D45u
#define GWC_MAGIC_JFFS2 0xE0011985u
#define GWC_MAGIC_KERNEL 0xFEEDFA42u

// The kernel partition: a kernel image larger than this (its tag aside)
// carries the file system after it.
#define GWC_KERNEL_PARTITION_SIZE 0xA0000u

// Flash partitions, as numbers of /dev/mtdblock/N.
#define GWC_MTD_FILESYSTEM 0
#define GWC_MTD_KERNEL 1
#define GWC_MTD_CONFIG 4

enum {
  GWC_IMAGE_UNKNOWN = 0,  // refused (15)
  GWC_IMAGE_CONFIG,       // stored as the configuration
  GWC_IMAGE_FILESYSTEM,   // to the file system partition
  GWC_IMAGE_KERNEL,       // to the kernel partition
  GWC_IMAGE_COMBINED,     // the first GWC_KERNEL_PARTITION_SIZE bytes to the kernel, the rest to the file system
};

// The kind of a file of `size` bytes (its tag included) that starts with
// `first`.
int gwc_image_kind(const unsigned char first[4], uint64_t size);

// What an image holds, in words: "file system", "kernel", ...
const char *gwc_image_kind_name(int kind);

// The 8-byte tag for content whose checksum is `sum`.
void gwc_tag_make(unsigned char tag[CS_TAG_SIZE], uint32_t sum);

// An image in memory, tag included: 0 when its tag holds, else
// RESULT_NO_CHECKSUM (no tag) or RESULT_BAD_CRC (its checksum differs).
int gwc_tag_check(const void *image, size_t size);

#ifdef __cplusplus
}
#endif

#endif
