#include "webclient/base64.h"

#include <string.h>

namespace velmora {

namespace {
const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

size_t Base64EncodedSize(size_t n) {
  return n == 0 ? 0 : ((n + 2) / 3) * 4 + 1;
}

bool Base64Encode(const unsigned char *data, size_t n, char *out, size_t outSize) {
  if (!out || (n > 0 && !data) || outSize < Base64EncodedSize(n)) return false;
  if (outSize == 0) return true;
  memset(out, 0, outSize);
  size_t o = 0;
  for (size_t i = 0; i < n; i += 3) {
    unsigned v = static_cast<unsigned>(data[i]) << 16;
    if (i + 1 < n) v |= static_cast<unsigned>(data[i + 1]) << 8;
    if (i + 2 < n) v |= data[i + 2];
    out[o++] = kAlphabet[(v >> 18) & 63];
    out[o++] = kAlphabet[(v >> 12) & 63];
    out[o++] = i + 1 < n ? kAlphabet[(v >> 6) & 63] : '=';
    out[o++] = i + 2 < n ? kAlphabet[v & 63] : '=';
  }
  out[outSize - 1] = '\0';
  return true;
}

}  // namespace velmora
