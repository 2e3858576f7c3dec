#include "minisig.h"

#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fdio.h"

namespace {

const char kUntrusted[] = "untrusted comment:";
const char kTrusted[] = "trusted comment: ";
const size_t kDigestBlock = 8192;

// One line of a text: [start, start + len), its line end (LF or CR LF) not
// counted. Advances *pos past the line end.
bool next_line(const char *text, size_t size, size_t *pos, const char **start, size_t *len) {
  if (*pos >= size) return false;
  const char *p = text + *pos;
  const char *lf = static_cast<const char *>(memchr(p, '\n', size - *pos));
  size_t n = lf ? (size_t)(lf - p) : size - *pos;
  *pos += lf ? n + 1 : n;
  if (n > 0 && p[n - 1] == '\r') --n;
  *start = p;
  *len = n;
  return true;
}

bool starts_with(const char *s, size_t len, const char *prefix) {
  size_t n = strlen(prefix);
  return len >= n && memcmp(s, prefix, n) == 0;
}

// Decodes one whole line of standard base64 into exactly `want` bytes.
bool decode(const char *b64, size_t len, unsigned char *out, size_t want) {
  size_t got = 0;
  const char *end = nullptr;
  return sodium_base642bin(out, want, b64, len, nullptr, &got, &end, sodium_base64_VARIANT_ORIGINAL) == 0 &&
         got == want && end == b64 + len;
}

// Reads at most `size` - 1 bytes of the file at `path` into `buf`. The
// number read, or -1 when it cannot be read or is longer.
ssize_t read_small_file(const char *path, char *buf, size_t size) {
  Fd fd(open(path, O_RDONLY));
  if (fd.get() < 0) return -1;
  ssize_t n = fd_read_up_to(fd.get(), buf, size);
  if (n < 0 || (size_t)n >= size) return -1;
  buf[n] = '\0';
  return n;
}

// Ed25519 over the whole file, for the legacy form: the file is mapped, so
// even an 8 MB image is never copied into memory.
bool verify_whole_file(int fd, const unsigned char *sig, const unsigned char *key, enum ms_result *r) {
  struct stat st;
  if (fstat(fd, &st) != 0) {
    *r = MS_READ_ERROR;
    return false;
  }
  size_t size = (size_t)st.st_size;
  static const unsigned char empty[1] = {0};
  void *map = size ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
  if (size && map == MAP_FAILED) {
    *r = MS_READ_ERROR;
    return false;
  }
  const unsigned char *data = size ? static_cast<const unsigned char *>(map) : empty;
  bool ok = crypto_sign_ed25519_verify_detached(sig, data, size, key) == 0;
  if (size) munmap(map, size);
  if (!ok) *r = MS_BAD_SIGNATURE;
  return ok;
}

}  // namespace

int ms_parse_public_key(const char *text, size_t len, struct ms_public_key *out) {
  size_t pos = 0, n = 0;
  const char *line = nullptr;
  for (bool first = true; next_line(text, len, &pos, &line, &n); first = false) {
    if (n == 0 || starts_with(line, n, kUntrusted)) continue;
    unsigned char raw[2 + MS_ID_BYTES + MS_KEY_BYTES];
    if (decode(line, n, raw, sizeof raw) && raw[0] == 'E' && raw[1] == 'd') {
      memcpy(out->id, raw + 2, MS_ID_BYTES);
      memcpy(out->key, raw + 2 + MS_ID_BYTES, MS_KEY_BYTES);
      return 1;
    }
    // The first line is the file's comment, whatever it says; after it the
    // key must come.
    if (!first) return 0;
  }
  return 0;
}

int ms_load_public_key(const char *path, struct ms_public_key *out) {
  char text[MS_KEY_TEXT_MAX];
  ssize_t n = read_small_file(path, text, sizeof text);
  return n >= 0 && ms_parse_public_key(text, (size_t)n, out);
}

enum ms_result ms_parse_signature(const char *text, size_t len, struct ms_signature *out) {
  if (len > MS_SIG_TEXT_MAX) return MS_TOO_LONG;
  const char *line[4];
  size_t n[4], pos = 0;
  for (int i = 0; i < 4; ++i)
    if (!next_line(text, len, &pos, &line[i], &n[i])) return MS_MALFORMED;
  const char *rest = nullptr;
  size_t rest_len = 0;
  while (next_line(text, len, &pos, &rest, &rest_len))
    if (rest_len != 0) return MS_MALFORMED;  // nothing but empty lines after the four

  unsigned char raw[2 + MS_ID_BYTES + MS_SIG_BYTES];
  size_t tlen = strlen(kTrusted);
  if (!starts_with(line[0], n[0], kUntrusted) || !decode(line[1], n[1], raw, sizeof raw) ||
      !starts_with(line[2], n[2], kTrusted) || !decode(line[3], n[3], out->global, MS_SIG_BYTES))
    return MS_MALFORMED;
  if (raw[0] != 'E' || (raw[1] != 'D' && raw[1] != 'd')) return MS_MALFORMED;
  // The minisign tool signs trusted comments of up to 8 KiB; a gateway
  // holds 1 KiB.
  if (n[2] - tlen >= MS_COMMENT_MAX) return MS_TOO_LONG;
  out->prehashed = raw[1] == 'D';
  memcpy(out->id, raw + 2, MS_ID_BYTES);
  memcpy(out->sig, raw + 2 + MS_ID_BYTES, MS_SIG_BYTES);
  memcpy(out->comment, line[2] + tlen, n[2] - tlen);
  out->comment[n[2] - tlen] = '\0';
  // A NUL inside the comment would let two texts pass as one.
  return strlen(out->comment) == n[2] - tlen ? MS_OK : MS_MALFORMED;
}

enum ms_result ms_load_signature(const char *path, struct ms_signature *out) {
  char text[MS_SIG_TEXT_MAX + 1];
  Fd fd(open(path, O_RDONLY));
  const ssize_t n = fd.get() < 0 ? -1 : fd_read_up_to(fd.get(), text, sizeof text);
  if (n < 0) return MS_READ_ERROR;
  return ms_parse_signature(text, (size_t)n, out);
}

int ms_digest_fd(int fd, unsigned char digest[MS_DIGEST_BYTES]) {
  if (lseek(fd, 0, SEEK_SET) != 0) return 0;
  crypto_generichash_blake2b_state st;
  crypto_generichash_blake2b_init(&st, nullptr, 0, MS_DIGEST_BYTES);
  unsigned char block[kDigestBlock];
  for (;;) {
    ssize_t got = fd_read_up_to(fd, block, sizeof block);
    if (got < 0) return 0;
    if (got == 0) break;
    crypto_generichash_blake2b_update(&st, block, (unsigned long long)got);
  }
  crypto_generichash_blake2b_final(&st, digest, MS_DIGEST_BYTES);
  return 1;
}

enum ms_result ms_verify_fd(int fd, const struct ms_signature *sig, const struct ms_public_key *keys,
                            int count) {
  const struct ms_public_key *key = nullptr;
  for (int i = 0; i < count && key == nullptr; ++i)
    if (memcmp(keys[i].id, sig->id, MS_ID_BYTES) == 0) key = &keys[i];
  if (key == nullptr) return MS_UNKNOWN_KEY;

  enum ms_result r = MS_OK;
  if (sig->prehashed) {
    unsigned char digest[MS_DIGEST_BYTES];
    if (!ms_digest_fd(fd, digest)) return MS_READ_ERROR;
    if (crypto_sign_ed25519_verify_detached(sig->sig, digest, sizeof digest, key->key) != 0)
      return MS_BAD_SIGNATURE;
  } else if (!verify_whole_file(fd, sig->sig, key->key, &r)) {
    return r;
  }

  // The global signature covers the file signature and the trusted comment.
  size_t clen = strlen(sig->comment);
  unsigned char signed_text[MS_SIG_BYTES + MS_COMMENT_MAX];
  memcpy(signed_text, sig->sig, MS_SIG_BYTES);
  memcpy(signed_text + MS_SIG_BYTES, sig->comment, clen);
  if (crypto_sign_ed25519_verify_detached(sig->global, signed_text, MS_SIG_BYTES + clen, key->key) != 0)
    return MS_BAD_COMMENT;
  return MS_OK;
}

void ms_id_text(const unsigned char id[MS_ID_BYTES], char *out) {
  unsigned long long v = 0;
  for (int i = MS_ID_BYTES - 1; i >= 0; --i) v = v << 8 | id[i];
  snprintf(out, 17, "%llX", v);
}

const char *ms_result_text(enum ms_result r) {
  switch (r) {
    case MS_OK: return "signature valid";
    case MS_MALFORMED: return "not a signature file";
    case MS_UNKNOWN_KEY: return "signed with a key that is not trusted here";
    case MS_BAD_SIGNATURE: return "signature does not match the file";
    case MS_BAD_COMMENT: return "trusted comment was altered";
    case MS_READ_ERROR: return "file cannot be read";
    case MS_TOO_LONG: return "longer than a gateway takes (a trusted comment of at most 1023 bytes, a signature of at most 4096)";
  }
  return "unknown result";
}
