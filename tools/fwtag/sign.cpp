// The secret key file holds, in base64 after a comment line:
//
//   "Ed"  signature algorithm
//   "Sc"  scrypt protects the key (two NUL bytes: no passphrase)
//   "B2"  the checksum below is BLAKE2b-256
//   32    scrypt salt
//   8     scrypt operations limit, little-endian
//   8     scrypt memory limit, little-endian
//   8     key id         the last three are XORed with scrypt's output
//   64    Ed25519 key    when protected
//   32    checksum       of "Ed", key id and key
//
// A wrong passphrase shows as a wrong checksum.
#include "sign.h"

#include <errno.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "fdio.h"
#include "minisig.h"

namespace {

const size_t kSaltBytes = crypto_pwhash_scryptsalsa208sha256_SALTBYTES;
const size_t kSecretBytes = crypto_sign_SECRETKEYBYTES;
const size_t kCheckBytes = 32;
const size_t kProtectedBytes = MS_ID_BYTES + kSecretBytes + kCheckBytes;
const size_t kKeyFileBytes = 6 + kSaltBytes + 16 + kProtectedBytes;
const size_t kPassMax = 1024;

// Byte offsets in the secret key file.
enum { kKdf = 2, kSalt = 6, kOps = kSalt + kSaltBytes, kMem = kOps + 8, kId = kMem + 8,
       kSecret = kId + MS_ID_BYTES, kCheck = kSecret + kSecretBytes };

struct SecretKey {
  unsigned char raw[kKeyFileBytes];
  ~SecretKey() { sodium_memzero(raw, sizeof raw); }
  const unsigned char *id() const { return raw + kId; }
  const unsigned char *secret() const { return raw + kSecret; }
};

int fail(const char *what, const char *why) {
  fprintf(stderr, "fwtag: %s: %s\n", what, why);
  return 1;
}

bool refuse(const char *what, const char *why) {
  fail(what, why);
  return false;
}

void le64_put(unsigned char *p, unsigned long long v) {
  for (int i = 0; i < 8; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

unsigned long long le64_get(const unsigned char *p) {
  unsigned long long v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void key_check(const unsigned char *raw, unsigned char out[kCheckBytes]) {
  crypto_generichash_state st;
  crypto_generichash_init(&st, nullptr, 0, kCheckBytes);
  crypto_generichash_update(&st, raw, 2);
  crypto_generichash_update(&st, raw + kId, MS_ID_BYTES + kSecretBytes);
  crypto_generichash_final(&st, out, kCheckBytes);
}

// XORs the protected part with scrypt's output for the passphrase.
bool apply_passphrase(unsigned char *raw, const char *pass) {
  unsigned char stream[kProtectedBytes];
  if (crypto_pwhash_scryptsalsa208sha256(stream, sizeof stream, pass, strlen(pass), raw + kSalt,
                                         le64_get(raw + kOps), (size_t)le64_get(raw + kMem)) != 0)
    return false;
  for (size_t i = 0; i < kProtectedBytes; ++i) raw[kId + i] ^= stream[i];
  sodium_memzero(stream, sizeof stream);
  return true;
}

// One line from the terminal without echo, or from standard input when
// that is not a terminal (a build server pipes it in).
bool read_passphrase(const char *prompt, char *out) {
  bool tty = isatty(0);
  struct termios saved, quiet;
  if (tty) {
    fputs(prompt, stderr);
    tcgetattr(0, &saved);
    quiet = saved;
    quiet.c_lflag &= ~(tcflag_t)ECHO;
    tcsetattr(0, TCSAFLUSH, &quiet);
  }
  bool ok = fgets(out, (int)kPassMax, stdin) != nullptr;
  if (tty) {
    tcsetattr(0, TCSAFLUSH, &saved);
    fputc('\n', stderr);
  }
  out[ok ? strcspn(out, "\r\n") : 0] = '\0';
  return ok && out[0] != '\0';
}

// Writes `text` to a new file `path` with `mode`; never replaces one.
bool write_new_file(const char *path, const char *text, mode_t mode) {
  Fd fd(open(path, O_WRONLY | O_CREAT | O_EXCL, mode));
  if (fd.get() < 0) return false;
  if (!fd_write_all(fd.get(), text, strlen(text)) || fsync(fd.get()) != 0) {
    unlink(path);
    return false;
  }
  return close(fd.release()) == 0;
}

// Writes `text` to `path` through a temporary file, so a reader never sees
// half a signature.
bool replace_file(const char *path, const char *text) {
  char tmp[4096];
  if (snprintf(tmp, sizeof tmp, "%s.tmp", path) >= (int)sizeof tmp) return false;
  unlink(tmp);
  if (!write_new_file(tmp, text, 0644)) return false;
  if (rename(tmp, path) != 0) {
    unlink(tmp);
    return false;
  }
  return true;
}

bool base64_line(const unsigned char *bin, size_t n, char *out, size_t size) {
  return sodium_base64_encoded_len(n, sodium_base64_VARIANT_ORIGINAL) <= size &&
         sodium_bin2base64(out, size, bin, n, sodium_base64_VARIANT_ORIGINAL) != nullptr;
}

bool load_secret_key(const char *path, SecretKey *key) {
  char text[1024];
  Fd fd(open(path, O_RDONLY));
  ssize_t n = fd.get() < 0 ? -1 : fd_read_up_to(fd.get(), text, sizeof text - 1);
  if (n < 0) return refuse(path, strerror(errno));
  text[n] = '\0';
  char *line = text;
  if (strncmp(line, "untrusted comment:", 18) == 0 && strchr(line, '\n') != nullptr) line = strchr(line, '\n') + 1;
  size_t len = strcspn(line, "\r\n"), got = 0;
  const char *end = nullptr;
  unsigned char *raw = key->raw;
  if (sodium_base642bin(raw, kKeyFileBytes, line, len, nullptr, &got, &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
      got != kKeyFileBytes || end != line + len || memcmp(raw, "Ed", 2) != 0 || memcmp(raw + 4, "B2", 2) != 0)
    return refuse(path, "not a secret key file");
  bool is_protected = memcmp(raw + kKdf, "Sc", 2) == 0;
  if (!is_protected && memcmp(raw + kKdf, "\0\0", 2) != 0)
    return refuse(path, "secret key protected in an unknown way");

  if (is_protected) {
    char pass[kPassMax];
    bool ok = read_passphrase("Passphrase of the secret key: ", pass);
    ok = ok && apply_passphrase(raw, pass);
    sodium_memzero(pass, sizeof pass);
    if (!ok) return refuse(path, "no passphrase given, or not enough memory to apply it");
  }
  unsigned char check[kCheckBytes], zero[kCheckBytes] = {0};
  key_check(raw, check);
  // minisign leaves the checksum of a key without passphrase empty.
  if (sodium_memcmp(check, raw + kCheck, kCheckBytes) != 0 &&
      (is_protected || sodium_memcmp(zero, raw + kCheck, kCheckBytes) != 0))
    return refuse(path, is_protected ? "wrong passphrase" : "secret key damaged (checksum wrong)");
  return true;
}

}  // namespace

int fwtag_keygen(const char *secret, const char *pub, bool no_passphrase) {
  if (sodium_init() < 0) return fail("libsodium", "cannot start");
  struct stat st;
  if (stat(secret, &st) == 0) return fail(secret, "exists; not overwritten");
  if (stat(pub, &st) == 0) return fail(pub, "exists; not overwritten");

  SecretKey key;
  unsigned char *raw = key.raw, pk[crypto_sign_PUBLICKEYBYTES];
  memset(raw, 0, sizeof key.raw);
  memcpy(raw, "Ed", 2);
  memcpy(raw + 4, "B2", 2);
  randombytes_buf(raw + kId, MS_ID_BYTES);
  crypto_sign_keypair(pk, raw + kSecret);
  unsigned char pub_raw[2 + MS_ID_BYTES + MS_KEY_BYTES];
  memcpy(pub_raw, "Ed", 2);
  memcpy(pub_raw + 2, raw + kId, MS_ID_BYTES);
  memcpy(pub_raw + 2 + MS_ID_BYTES, pk, MS_KEY_BYTES);
  char id[17];
  ms_id_text(raw + kId, id);
  key_check(raw, raw + kCheck);
  if (!no_passphrase) {
    char pass[kPassMax], again[kPassMax];
    bool ok = read_passphrase("Passphrase for the new secret key: ", pass);
    if (ok && isatty(0))
      ok = read_passphrase("The same passphrase again: ", again) && strcmp(pass, again) == 0;
    if (ok) {
      memcpy(raw + kKdf, "Sc", 2);
      randombytes_buf(raw + kSalt, kSaltBytes);
      le64_put(raw + kOps, crypto_pwhash_scryptsalsa208sha256_OPSLIMIT_SENSITIVE);
      le64_put(raw + kMem, crypto_pwhash_scryptsalsa208sha256_MEMLIMIT_SENSITIVE);
      ok = apply_passphrase(raw, pass);
    }
    sodium_memzero(pass, sizeof pass);
    sodium_memzero(again, sizeof again);
    if (!ok) return fail(secret, "no passphrase (or two different ones) given; -W makes a key without one");
  }

  char b64[256], text[512];
  base64_line(raw, kKeyFileBytes, b64, sizeof b64);
  snprintf(text, sizeof text, "untrusted comment: fwtag secret key %s\n%s\n", id, b64);
  sodium_memzero(b64, sizeof b64);
  bool ok = write_new_file(secret, text, 0600);
  sodium_memzero(text, sizeof text);
  if (!ok) return fail(secret, strerror(errno));

  base64_line(pub_raw, sizeof pub_raw, b64, sizeof b64);
  snprintf(text, sizeof text, "untrusted comment: fwtag public key %s\n%s\n", id, b64);
  if (!write_new_file(pub, text, 0644)) return fail(pub, strerror(errno));
  printf("key %s: secret key in %s (keep it safe), public key in %s\n", id, secret, pub);
  return 0;
}

int fwtag_sign(const char *secret, const char *file, const char *comment) {
  if (sodium_init() < 0) return fail("libsodium", "cannot start");
  char trusted[MS_COMMENT_MAX];
  if (comment != nullptr) {
    if (strlen(comment) >= sizeof trusted || strpbrk(comment, "\r\n") != nullptr)
      return fail("--comment", "must be one line shorter than 1024 bytes");
    snprintf(trusted, sizeof trusted, "%s", comment);
  } else {
    const char *base = strrchr(file, '/');
    snprintf(trusted, sizeof trusted, "timestamp:%lld\tfile:%s\thashed", (long long)time(nullptr),
             base ? base + 1 : file);
  }
  Fd fd(open(file, O_RDONLY));
  unsigned char digest[MS_DIGEST_BYTES];
  if (fd.get() < 0 || !ms_digest_fd(fd.get(), digest)) return fail(file, strerror(errno));

  SecretKey key;
  if (!load_secret_key(secret, &key)) return 1;
  unsigned char sig_raw[2 + MS_ID_BYTES + MS_SIG_BYTES];
  unsigned char global_text[MS_SIG_BYTES + MS_COMMENT_MAX], global[MS_SIG_BYTES];
  memcpy(sig_raw, "ED", 2);
  memcpy(sig_raw + 2, key.id(), MS_ID_BYTES);
  unsigned char *sig = sig_raw + 2 + MS_ID_BYTES;
  crypto_sign_detached(sig, nullptr, digest, sizeof digest, key.secret());
  size_t clen = strlen(trusted);
  memcpy(global_text, sig, MS_SIG_BYTES);
  memcpy(global_text + MS_SIG_BYTES, trusted, clen);
  crypto_sign_detached(global, nullptr, global_text, MS_SIG_BYTES + clen, key.secret());

  char sig_b64[128], global_b64[128], text[MS_SIG_TEXT_MAX], path[4096];
  base64_line(sig_raw, sizeof sig_raw, sig_b64, sizeof sig_b64);
  base64_line(global, sizeof global, global_b64, sizeof global_b64);
  snprintf(text, sizeof text, "untrusted comment: signature from fwtag secret key\n%s\ntrusted comment: %s\n%s\n",
           sig_b64, trusted, global_b64);
  if (snprintf(path, sizeof path, "%s.minisig", file) >= (int)sizeof path) return fail(file, "name too long");
  if (!replace_file(path, text)) return fail(path, strerror(errno));
  char id[17];
  ms_id_text(key.id(), id);
  printf("%s: signed with key %s\n", path, id);
  return 0;
}

int fwtag_check_signature(const char *pub, const char *file) {
  struct ms_public_key key;
  struct ms_signature sig;
  char path[4096];
  if (!ms_load_public_key(pub, &key)) return fail(pub, "not a public key file");
  if (snprintf(path, sizeof path, "%s.minisig", file) >= (int)sizeof path) return fail(file, "name too long");
  if (access(path, F_OK) != 0) return fail(path, "missing: the file is not signed");
  if (!ms_load_signature(path, &sig)) return fail(path, "not a signature file");
  Fd fd(open(file, O_RDONLY));
  if (fd.get() < 0) return fail(file, strerror(errno));
  enum ms_result r = ms_verify_fd(fd.get(), &sig, &key, 1);
  char id[17];
  ms_id_text(sig.id, id);
  if (r != MS_OK) {
    fprintf(stderr, "fwtag: %s: %s (key %s)\n", file, ms_result_text(r), id);
    return 1;
  }
  printf("%s: signature valid (key %s), trusted comment: %s\n", file, id, sig.comment);
  return 0;
}
