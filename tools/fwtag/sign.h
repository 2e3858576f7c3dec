// Key pairs and signatures for kit builders, in the files that the minisign
// tool writes and reads, so a kit can be checked with either.
#ifndef FWTAG_SIGN_H
#define FWTAG_SIGN_H

// Makes a key pair: the secret key file `secret` (mode 0600, protected by a
// passphrase unless `no_passphrase`) and the public key file `pub`. Existing
// files are never overwritten. Exit status.
int fwtag_keygen(const char *secret, const char *pub, bool no_passphrase);

// What a signature says beside the file's bytes (contract/binding.h).
struct SignOptions {
  const char *comment = nullptr;    // the trusted comment; default: time stamp and file name
  const char *platforms = nullptr;  // blank-separated platform names to bind, or none
  const char *version = nullptr;    // the firmware version to bind, or none
};

// Signs `path` with the secret key file `secret` into `path`.minisig. A
// folder is a kit: each of its images and its prepare.bin are signed,
// bound to the platforms of its upgrade.ini and the version of its
// config.xml. Exit status.
int fwtag_sign(const char *secret, const char *path, const SignOptions &options);

// Checks `file` against `file`.minisig with the public key file `pub`.
// Exit status.
int fwtag_check_signature(const char *pub, const char *file);

#endif
