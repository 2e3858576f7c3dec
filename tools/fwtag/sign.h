// Key pairs and signatures for kit builders, in the files that the minisign
// tool writes and reads, so a kit can be checked with either.
#ifndef FWTAG_SIGN_H
#define FWTAG_SIGN_H

// Makes a key pair: the secret key file `secret` (mode 0600, protected by a
// passphrase unless `no_passphrase`) and the public key file `pub`. Existing
// files are never overwritten. Exit status.
int fwtag_keygen(const char *secret, const char *pub, bool no_passphrase);

// Signs `file` with the secret key file `secret` into `file`.minisig. The
// trusted comment is `comment`, or a time stamp and the file name. Exit status.
int fwtag_sign(const char *secret, const char *file, const char *comment);

// Checks `file` against `file`.minisig with the public key file `pub`.
// Exit status.
int fwtag_check_signature(const char *pub, const char *file);

#endif
