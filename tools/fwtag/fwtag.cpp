// fwtag: the image tag for people who build firmware images.
//
//   fwtag add [--replace] IMAGE   append the tag (or replace an existing one)
//   fwtag verify IMAGE            check the tag; exit 0 when it holds
//   fwtag sum FILE                print the checksum (as cksum's first number)
// and the signatures of signed kits (sign.h):
//   fwtag keygen [-W] [--key SECRET] [--pubkey PUBLIC]
//   fwtag sign --key SECRET [--comment TEXT] FILE
//   fwtag verify --pubkey PUBLIC FILE
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "cfgmgr_cksum.h"
#include "sign.h"

namespace {

int usage(FILE *to) {
  fputs("usage: fwtag add [--replace] IMAGE   append the 8-byte image tag\n"
        "       fwtag verify IMAGE            check the image tag\n"
        "       fwtag sum FILE                print the checksum of FILE\n"
        "       fwtag keygen [-W] [--key SECRET] [--pubkey PUBLIC]\n"
        "                                     make a signing key pair (default fwtag.key,\n"
        "                                     fwtag.pub); -W: no passphrase\n"
        "       fwtag sign --key SECRET [--comment TEXT] FILE\n"
        "                                     write the signature FILE.minisig\n"
        "       fwtag verify --pubkey PUBLIC FILE\n"
        "                                     check FILE.minisig and, when tagged, the tag\n"
        "A protected secret key's passphrase is asked on the terminal, or read as\n"
        "one line from standard input when that is not a terminal. Keys and\n"
        "signatures are those of the minisign tool.\n",
        to);
  return to == stdout ? 0 : 2;
}

FILE *open_or_complain(const char *path, const char *mode) {
  FILE *f = fopen(path, mode);
  if (f == nullptr) fprintf(stderr, "fwtag: %s: %s\n", path, strerror(errno));
  return f;
}

int sum(const char *path) {
  FILE *f = open_or_complain(path, "rb");
  if (f == nullptr) return 1;
  uint32_t crc = 0;
  int ok = cs_calc_sum(f, &crc, 0);
  fclose(f);
  if (!ok) {
    fprintf(stderr, "fwtag: %s: read error\n", path);
    return 1;
  }
  printf("%u\n", crc);
  return 0;
}

int verify(const char *path) {
  FILE *f = open_or_complain(path, "rb");
  if (f == nullptr) return 1;
  uint32_t stored = 0, computed = 0;
  int rc = 1;
  if (!cs_is_tagged(f))
    fprintf(stderr, "fwtag: %s: no image tag\n", path);
  else if (!cs_calc_sum(f, &computed, 1) || !cs_get_sum(f, &stored))
    fprintf(stderr, "fwtag: %s: read error\n", path);
  else if (computed != stored)
    fprintf(stderr, "fwtag: %s: checksum mismatch: tag says %u, content gives %u\n", path,
            stored, computed);
  else {
    printf("%s: tag ok (checksum %u)\n", path, stored);
    rc = 0;
  }
  fclose(f);
  return rc;
}

int add(const char *path, bool replace) {
  FILE *f = open_or_complain(path, "rb+");
  if (f == nullptr) return 1;
  int rc = 1;
  uint32_t crc = 0;
  bool tagged = cs_is_tagged(f);
  if (tagged && !replace) {
    fprintf(stderr, "fwtag: %s: already tagged (use --replace to write a new tag)\n", path);
  } else if (!cs_calc_sum(f, &crc, tagged)) {
    fprintf(stderr, "fwtag: %s: read error\n", path);
  } else if (!cs_set_sum(f, crc, tagged)) {
    fprintf(stderr, "fwtag: %s: cannot write the tag: %s\n", path, strerror(errno));
  } else {
    printf("%s: tagged (checksum %u)\n", path, crc);
    rc = 0;
  }
  if (fclose(f) != 0 && rc == 0) {
    fprintf(stderr, "fwtag: %s: %s\n", path, strerror(errno));
    rc = 1;
  }
  return rc;
}

// Options of every command; main checks that a command got only its own.
struct Args {
  const char *command = nullptr, *file = nullptr;
  const char *key = nullptr, *pubkey = nullptr, *comment = nullptr;
  bool replace = false, no_passphrase = false;
  int files = 0;
};

bool parse(int argc, char **argv, Args *a) {
  if (argc < 2) return false;
  a->command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const char *s = argv[i];
    const char **value = strcmp(s, "--key") == 0       ? &a->key
                         : strcmp(s, "--pubkey") == 0  ? &a->pubkey
                         : strcmp(s, "--comment") == 0 ? &a->comment
                                                       : nullptr;
    if (value != nullptr) {
      if (++i == argc) return false;
      *value = argv[i];
    } else if (strcmp(s, "--replace") == 0) {
      a->replace = true;
    } else if (strcmp(s, "-W") == 0) {
      a->no_passphrase = true;
    } else if (s[0] == '-' && s[1] != '\0') {
      return false;
    } else {
      a->file = s;
      ++a->files;
    }
  }
  return true;
}

int verify_all(const Args &a) {
  if (a.pubkey == nullptr) return verify(a.file);
  if (fwtag_check_signature(a.pubkey, a.file) != 0) return 1;
  FILE *f = open_or_complain(a.file, "rb");
  if (f == nullptr) return 1;
  bool tagged = cs_is_tagged(f);
  fclose(f);
  if (tagged) return verify(a.file);
  printf("%s: no image tag (a package carries none)\n", a.file);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))
    return usage(stdout);
  Args a;
  if (!parse(argc, argv, &a)) return usage(stderr);
  const char *cmd = a.command;
  bool only_file = a.files == 1 && !a.key && !a.comment && !a.no_passphrase;
  if (strcmp(cmd, "sum") == 0 && only_file && !a.pubkey && !a.replace) return sum(a.file);
  if (strcmp(cmd, "add") == 0 && only_file && !a.pubkey) return add(a.file, a.replace);
  if (strcmp(cmd, "verify") == 0 && only_file && !a.replace) return verify_all(a);
  if (strcmp(cmd, "keygen") == 0 && a.files == 0 && !a.comment && !a.replace)
    return fwtag_keygen(a.key ? a.key : "fwtag.key", a.pubkey ? a.pubkey : "fwtag.pub", a.no_passphrase);
  if (strcmp(cmd, "sign") == 0 && a.files == 1 && a.key && !a.pubkey && !a.replace && !a.no_passphrase)
    return fwtag_sign(a.key, a.file, a.comment);
  return usage(stderr);
}
