// Base64 (RFC 4648 alphabet, "=" padding, no line breaks) for the Basic
// authorisation header.
#ifndef VELMORA_WEBCLIENT_BASE64_H
#define VELMORA_WEBCLIENT_BASE64_H

#include <stddef.h>

namespace velmora {

// Output buffer size for n input bytes, terminator included; 0 for n = 0.
size_t Base64EncodedSize(size_t n);

// Encodes n bytes into out (zero-filled first, terminated in its last byte).
// False when out is missing or smaller than Base64EncodedSize(n).
bool Base64Encode(const unsigned char *data, size_t n, char *out, size_t outSize);

}  // namespace velmora

#endif
