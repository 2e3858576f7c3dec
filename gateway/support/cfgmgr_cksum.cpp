#include "cfgmgr_cksum.h"

#include <stdlib.h>

#include "le.h"

namespace {

constexpr uint32_t kPoly = 0x04C11DB7u;
constexpr size_t kChunk = 65536;

// Slicing tables: slice[0] is crctab; slice[k][i] is the register after i
// followed by k zero bytes, so eight bytes cost eight lookups and no shifts
// through the register in between. The gateway's CPU is slow and every
// image is checksummed once per upload.
struct Tables {
  uint32_t slice[8][256];
};

constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t r = i << 24;
    for (int bit = 0; bit < 8; ++bit) r = (r & 0x80000000u) ? (r << 1) ^ kPoly : r << 1;
    t.slice[0][i] = r;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t prev = t.slice[k - 1][i];
      t.slice[k][i] = (prev << 8) ^ t.slice[0][prev >> 24];
    }
  return t;
}

constexpr Tables kTables = make_tables();
static_assert(kTables.slice[0][1] == kPoly, "crctab[1] is the polynomial");

inline uint32_t be32(const unsigned char *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

uint32_t crc_bytes(uint32_t r, const unsigned char *p, size_t n) {
  const auto &T = kTables.slice;
  while (n >= 8) {
    uint32_t a = r ^ be32(p);
    uint32_t b = be32(p + 4);
    r = T[7][a >> 24] ^ T[6][(a >> 16) & 0xFF] ^ T[5][(a >> 8) & 0xFF] ^ T[4][a & 0xFF] ^
        T[3][b >> 24] ^ T[2][(b >> 16) & 0xFF] ^ T[1][(b >> 8) & 0xFF] ^ T[0][b & 0xFF];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) r = (r << 8) ^ T[0][(r >> 24) ^ *p++];
  return r;
}

// Seeks to the tag and reads its 8 bytes; false when the stream is shorter.
bool read_tag(FILE *stream, unsigned char tag[CS_TAG_SIZE]) {
  if (fseek(stream, -CS_TAG_SIZE, SEEK_END) != 0) return false;
  return fread(tag, 1, CS_TAG_SIZE, stream) == CS_TAG_SIZE;
}

}  // namespace

// The table the checksum is defined by; the slicing tables extend it.
extern "C" const uint32_t crctab[256] = {
#define R(i) kTables.slice[0][i]
#define R8(i) R(i), R(i + 1), R(i + 2), R(i + 3), R(i + 4), R(i + 5), R(i + 6), R(i + 7)
#define R64(i) R8(i), R8(i + 8), R8(i + 16), R8(i + 24), R8(i + 32), R8(i + 40), R8(i + 48), R8(i + 56)
    R64(0), R64(64), R64(128), R64(192)
#undef R64
#undef R8
#undef R
};

void cs_begin(cs_state *st) {
  st->crc = 0;
  st->length = 0;
}

void cs_update(cs_state *st, const void *data, size_t length) {
  st->crc = crc_bytes(st->crc, static_cast<const unsigned char *>(data), length);
  st->length += length;
}

uint32_t cs_end(const cs_state *st) {
  uint32_t r = st->crc;
  for (uint64_t n = st->length; n != 0; n >>= 8)
    r = (r << 8) ^ kTables.slice[0][(r >> 24) ^ (unsigned char)n];
  return ~r;
}

uint32_t cs_calc_buf_sum(const void *data, size_t length) {
  cs_state st;
  cs_begin(&st);
  cs_update(&st, data, length);
  return cs_end(&st);
}

int cs_is_tagged(FILE *stream) {
  unsigned char tag[CS_TAG_SIZE];
  return read_tag(stream, tag) && le32_get(tag) == CS_TAG_MAGIC;
}

int cs_get_sum(FILE *stream, uint32_t *sum) {
  unsigned char tag[CS_TAG_SIZE];
  if (!read_tag(stream, tag)) return 0;
  *sum = le32_get(tag + 4);
  return 1;
}

uint32_t cs_read_sum(FILE *stream) {
  uint32_t sum = 0;
  return cs_get_sum(stream, &sum) ? sum : 0;
}

int cs_calc_sum(FILE *stream, uint32_t *sum, int exclude_tag) {
  if (fseek(stream, 0, SEEK_SET) != 0) return 0;
  // With the exclude-tag flag the last 8 bytes read so far are held back
  // until more data shows they are not the tag, so the chunk boundaries
  // never matter.
  const size_t hold = exclude_tag ? CS_TAG_SIZE : 0;
  unsigned char *buf = static_cast<unsigned char *>(malloc(kChunk + CS_TAG_SIZE));
  if (buf == nullptr) return 0;
  cs_state st;
  cs_begin(&st);
  size_t held = 0;
  int ok = 1;
  for (;;) {
    size_t n = fread(buf + held, 1, kChunk, stream);
    if (n == 0) break;
    size_t avail = held + n;
    size_t take = avail > hold ? avail - hold : 0;
    if (st.length + take < st.length) {
      ok = 0;
      break;
    }
    cs_update(&st, buf, take);
    held = avail - take;
    for (size_t i = 0; i < held; ++i) buf[i] = buf[take + i];
  }
  if (ok && ferror(stream)) ok = 0;
  free(buf);
  if (ok) *sum = cs_end(&st);
  return ok;
}

int cs_set_sum(FILE *stream, uint32_t sum, int replace) {
  if (fseek(stream, replace ? -CS_TAG_SIZE : 0, SEEK_END) != 0) return 0;
  unsigned char word[4];
  le32_put(word, CS_TAG_MAGIC);
  if (fwrite(word, 1, 4, stream) != 4) return 0;
  le32_put(word, sum);
  if (fwrite(word, 1, 4, stream) != 4) return 0;
  return fflush(stream) == 0;
}
