// The configuration block: the gateway's configuration as it lies on its own
// partition, a header of little-endian words followed by the text.
//
//   0  magic   "LMMC"
//   4  version 512 (plain) or 768 (one more header word, passed through)
//   8  length  L, the number of data bytes, at most 65,504
//  12  checksum of the L data bytes (cs_calc_buf_sum)
//  16  extra word (version 768 only)
//  16 / 20     the L data bytes
#ifndef DORNIX_SUPPORT_IO_H
#define DORNIX_SUPPORT_IO_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define IO_MAGIC 0x434D4D4Cu        // "LMMC" as a little-endian word
#define IO_VERSION_PLAIN 512u
#define IO_VERSION_EXTENDED 768u
#define IO_HEADER_SIZE 16
#define IO_HEADER_SIZE_EXTENDED 20
// Header and data of a block fit in 64 KiB.
#define IO_MAX_DATA 65504u

// Reads and validates the block at the start of `device` (a real path:
// callers in gateway code hand in GwPath(GW_MTD_CONFIG)). On 0, *block is a
// new malloc'd buffer holding the header followed by the data and *size is
// 16 + L or 20 + L; the caller frees it. On -1 nothing is handed back.
int io_load_mtd_header(const char *device, unsigned char **block, size_t *size);

// Writes a version 512 block holding `length` bytes of `data` to the start of
// the open partition `fd`: control request 0, the four header words as four
// 4-byte writes, then the data. Returns 0, or -1 when any write fell short
// (the partition may then hold a partial block).
int io_write_mtd_block(int fd, const void *data, uint32_t length);

#ifdef __cplusplus
}
#endif

#endif
