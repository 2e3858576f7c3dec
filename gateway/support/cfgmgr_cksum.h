// The image tag: the last 8 bytes of every firmware image, the magic
// 0xC453DE23 and then the POSIX cksum CRC of everything before the tag, both
// little-endian. The checksum equals the first number `cksum` prints.
#ifndef DORNIX_SUPPORT_CFGMGR_CKSUM_H
#define DORNIX_SUPPORT_CFGMGR_CKSUM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CS_TAG_MAGIC 0xC453DE23u
#define CS_TAG_SIZE 8

// crctab[i]: i placed in the top byte of the register and shifted out
// through the polynomial 0x04C11DB7 (most significant bit first).
extern const uint32_t crctab[256];

// 1 when the 4 bytes at S - 8 of the stream are the tag magic, else 0.
int cs_is_tagged(FILE *stream);

// Stores the stored checksum word in *sum; 1 when it could be read, else 0.
int cs_get_sum(FILE *stream, uint32_t *sum);

// The stored checksum word (0 when it cannot be read).
uint32_t cs_read_sum(FILE *stream);

// Checksum of the whole stream, or of all but its last 8 bytes when
// `exclude_tag` is set. 1 with *sum filled, 0 on a read error.
int cs_calc_sum(FILE *stream, uint32_t *sum, int exclude_tag);

// Checksum of a memory block (0xFFFFFFFF for an empty block).
uint32_t cs_calc_buf_sum(const void *data, size_t length);

// Writes the tag with checksum `sum`: appended at the end, or over the last
// 8 bytes when `replace` is set. 1 when both words were written in full.
int cs_set_sum(FILE *stream, uint32_t sum, int replace);

// Incremental form of the checksum, for callers that see the data in pieces.
typedef struct {
  uint32_t crc;
  uint64_t length;
} cs_state;
void cs_begin(cs_state *st);
void cs_update(cs_state *st, const void *data, size_t length);
uint32_t cs_end(const cs_state *st);

#ifdef __cplusplus
}
#endif

#endif
