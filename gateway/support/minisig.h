// Detached Ed25519 signatures in the minisign formats, for signed kits.
//
// A public key is "Ed", an 8-byte key id and the 32-byte Ed25519 key, in
// base64 on one line. A key file's first line may be a comment whatever it
// says (the minisign tool skips it unread: "untrusted comment: ...", or
// that line behind a byte-order mark a Windows editor put there).
// A signature file has four lines:
//
//   untrusted comment: <anything>
//   base64 of the algorithm ("ED" or "Ed"), the key id, the 64-byte signature
//   trusted comment: <text>
//   base64 of the 64-byte signature of the file signature and the text
//
// "ED" signs the 64-byte BLAKE2b digest of the file, which is read in
// blocks; the legacy "Ed" signs the file itself, which is mapped, not read
// into memory. The cryptography is libsodium's; this module only moves bytes
// between files and its calls. It never calls sodium_init: verifying uses
// only fixed portable code (no randomness, no choice of implementation by
// processor), and sodium_init would link every primitive's implementations
// into the gateway's programs. Programs that sign call it themselves.
#ifndef DORNIX_SUPPORT_MINISIG_H
#define DORNIX_SUPPORT_MINISIG_H

#include <stddef.h>

#define MS_ID_BYTES 8
#define MS_KEY_BYTES 32
#define MS_SIG_BYTES 64
#define MS_DIGEST_BYTES 64
// Longest trusted comment accepted, and longest signature file.
#define MS_COMMENT_MAX 1024
#define MS_SIG_TEXT_MAX 4096
// Longest public key file.
#define MS_KEY_TEXT_MAX 1024

struct ms_public_key {
  unsigned char id[MS_ID_BYTES];
  unsigned char key[MS_KEY_BYTES];
};

struct ms_signature {
  int prehashed;                        // "ED" (1) or legacy "Ed" (0)
  unsigned char id[MS_ID_BYTES];        // of the key that made it
  unsigned char sig[MS_SIG_BYTES];      // over the file or its digest
  char comment[MS_COMMENT_MAX];         // the trusted comment, NUL-terminated
  unsigned char global[MS_SIG_BYTES];   // over sig followed by comment
};

enum ms_result {
  MS_OK = 0,
  MS_MALFORMED,       // not a signature or key in these formats
  MS_UNKNOWN_KEY,     // made by a key that is not among the given ones
  MS_BAD_SIGNATURE,   // the file is not the one that was signed
  MS_BAD_COMMENT,     // the trusted comment was changed
  MS_READ_ERROR,      // the file could not be read
  MS_TOO_LONG,        // longer than a gateway takes (MS_COMMENT_MAX, MS_SIG_TEXT_MAX)
};

// Parses a public key from `len` bytes of key file text. 1 on success.
int ms_parse_public_key(const char *text, size_t len, struct ms_public_key *out);

// Reads and parses the public key file `path`. 1 on success.
int ms_load_public_key(const char *path, struct ms_public_key *out);

// Parses `len` bytes of signature file text: MS_OK, MS_MALFORMED, or
// MS_TOO_LONG for a signature the minisign tool may well verify but whose
// trusted comment or text is longer than a gateway holds.
enum ms_result ms_parse_signature(const char *text, size_t len, struct ms_signature *out);

// Reads and parses the signature file `path`: as above, or MS_READ_ERROR.
enum ms_result ms_load_signature(const char *path, struct ms_signature *out);

// Checks `sig` over everything in the open file `fd` (read from its start)
// with whichever of the `count` keys made it. MS_OK only when both the file
// signature and the trusted comment's signature hold.
enum ms_result ms_verify_fd(int fd, const struct ms_signature *sig,
                            const struct ms_public_key *keys, int count);

// The BLAKE2b-512 digest of everything in `fd` from its start. 1 on success.
int ms_digest_fd(int fd, unsigned char digest[MS_DIGEST_BYTES]);

// The key id as minisign prints it: the 8 bytes as a little-endian number
// in upper-case hex without leading zeros. `out` holds at least 17 bytes.
void ms_id_text(const unsigned char id[MS_ID_BYTES], char *out);

// A short English text for a result.
const char *ms_result_text(enum ms_result r);

#endif
