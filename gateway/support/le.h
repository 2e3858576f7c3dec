// Little-endian words as they lie on the wire and on flash. Every on-flash or
// on-wire word goes through these two, never through a copied host integer,
// so the big-endian gateway build reads the same bytes.
#ifndef DORNIX_SUPPORT_LE_H
#define DORNIX_SUPPORT_LE_H

#include <stdint.h>

static inline uint32_t le32_get(const unsigned char *p) {
  return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static inline void le32_put(unsigned char *p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

#endif
