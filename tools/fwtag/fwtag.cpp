// fwtag: the image tag for people who build firmware images.
//
//   fwtag add [--replace] IMAGE   append the tag (or replace an existing one)
//   fwtag verify IMAGE            check the tag; exit 0 when it holds
//   fwtag sum FILE                print the checksum (as cksum's first number)
// and the signatures of signed kits (sign.h):
//   fwtag keygen [-W] [--key SECRET] [--pubkey PUBLIC]
//   fwtag sign --key SECRET [--comment TEXT] [--platforms LIST] [--firmware-version V] FILE|KIT
//   fwtag verify --pubkey PUBLIC FILE
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "support/cfgmgr_cksum.h"
#include "dornix_version.h"
#include "sign.h"

namespace {

const char kHelp[] =
    "Usage: fwtag add [--replace] IMAGE\n"
    "  or:  fwtag verify [--pubkey=PUBLIC] FILE\n"
    "  or:  fwtag sum FILE\n"
    "  or:  fwtag keygen [-W] [--key=SECRET] [--pubkey=PUBLIC]\n"
    "  or:  fwtag sign --key=SECRET [--comment=TEXT] [--platforms=LIST]\n"
    "                  [--firmware-version=VERSION] FILE\n"
    "  or:  fwtag sign --key=SECRET [--comment=TEXT] KIT\n"
    "Appends, checks and computes the 8-byte tag at the end of every firmware\n"
    "image: the magic number 0xC453DE23 and the checksum of everything before it\n"
    "(the number cksum prints), both little-endian. The gateway refuses an image\n"
    "without it (fail[12]) or with a wrong checksum (fail[14]). Also makes the\n"
    "key pair and the signatures (FILE.minisig) of signed kits; keys and\n"
    "signatures are those of the minisign tool.\n"
    "\n"
    "Commands:\n"
    "  add IMAGE       append the tag to IMAGE, in place (8 bytes longer)\n"
    "  verify FILE     check the tag of FILE; with --pubkey, its signature\n"
    "                  FILE.minisig first, and the tag when it has one (a\n"
    "                  package has none)\n"
    "  sum FILE        print the checksum of the whole FILE\n"
    "  keygen          make a signing key pair (default fwtag.key, fwtag.pub);\n"
    "                  never overwrites a file\n"
    "  sign FILE       write the signature FILE.minisig\n"
    "  sign KIT        sign each image and the prepare.bin of the kit folder KIT,\n"
    "                  bound to the platforms of its upgrade.ini and the version\n"
    "                  of its config.xml\n"
    "\n"
    "Options (--name=VALUE or --name VALUE):\n"
    "      --replace         add: write a new tag over an existing one instead\n"
    "                        of refusing\n"
    "      --key=SECRET      the secret key file (keygen: to write)\n"
    "      --pubkey=PUBLIC   the public key file (keygen: to write)\n"
    "      --comment=TEXT    sign: the signature's trusted comment (default: the\n"
    "                        time and the file's name)\n"
    "      --platforms=LIST  sign: bind the signature to these platforms\n"
    "                        (blank-separated, as in upgrade.ini)\n"
    "      --firmware-version=VERSION\n"
    "                        sign: bind the signature to this firmware version\n"
    "                        (as in config.xml)\n"
    "  -W                    keygen: no passphrase on the secret key\n"
    "  -h, --help            print this help and exit\n"
    "      --version         print the version and exit\n"
    "A protected secret key's passphrase is asked on the terminal, or read as\n"
    "one line from standard input when that is not a terminal; at most 1023\n"
    "bytes. Binding adds \"platforms:LIST\" and \"version:VERSION\" to the\n"
    "trusted comment; a gateway that declares its platform or its lowest\n"
    "version refuses a file bound to others (kits.md, in share/doc/velmora of\n"
    "the installation, docs/ of the source tree).\n"
    "\n"
    "Exit status:\n"
    "  0  done; verify: the tag (and signature) hold\n"
    "  1  a file cannot be read or written, has no tag, already has one (add\n"
    "     without --replace), or its checksum or signature does not match\n"
    "  2  wrong command line\n"
    "\n"
    "Example:\n"
    "  fwtag add kit/firmware.img && fwtag verify kit/firmware.img\n";

int usage_error(const char *what, const char *arg) {
  fprintf(stderr, "fwtag: %s%s\nTry 'fwtag --help' for more information.\n", what, arg);
  return 2;
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
  const char *key = nullptr, *pubkey = nullptr;
  SignOptions sign;
  bool replace = false, no_passphrase = false;
};

// -1 when the command line is complete, else the exit status (help,
// version, or a usage error that names the argument at fault).
int parse(int argc, char **argv, Args *a) {
  bool options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char *s = argv[i];
    if (options_end || s[0] != '-' || s[1] == '\0') {
      if (a->command == nullptr) a->command = s;
      else if (a->file == nullptr) a->file = s;
      else return usage_error("unexpected argument ", s);
      continue;
    }
    if (strcmp(s, "--") == 0) {
      options_end = true;
      continue;
    }
    if (strcmp(s, "--help") == 0 || strcmp(s, "-h") == 0) return fputs(kHelp, stdout), 0;
    if (strcmp(s, "--version") == 0) return fputs(DORNIX_VERSION_LINE("fwtag"), stdout), 0;
    if (strcmp(s, "--replace") == 0) {
      a->replace = true;
      continue;
    }
    if (strcmp(s, "-W") == 0) {
      a->no_passphrase = true;
      continue;
    }
    // --name=VALUE or --name VALUE
    static const struct {
      const char *name;
      size_t len;
    } valued[] = {{"--key", 5}, {"--pubkey", 8}, {"--comment", 9}, {"--platforms", 11}, {"--firmware-version", 18}};
    const char **slots[] = {&a->key, &a->pubkey, &a->sign.comment, &a->sign.platforms, &a->sign.version};
    bool known = false;
    for (size_t k = 0; k < sizeof slots / sizeof slots[0] && !known; ++k) {
      if (strncmp(s, valued[k].name, valued[k].len) != 0) continue;
      if (s[valued[k].len] == '=') {
        *slots[k] = s + valued[k].len + 1;
      } else if (s[valued[k].len] == '\0') {
        if (i + 1 == argc) return usage_error(s, " needs a value");
        *slots[k] = argv[++i];
      } else {
        continue;
      }
      known = true;
    }
    if (!known) return usage_error("unknown option ", s);
  }
  return -1;
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
  Args a;
  int status = parse(argc, argv, &a);
  if (status >= 0) return status;
  // Each command with the options it takes and whether it takes a file.
  static const struct {
    const char *name;
    bool file, replace, key, pubkey, sign, no_passphrase;
  } commands[] = {
      {"add", true, true, false, false, false, false},
      {"verify", true, false, false, true, false, false},
      {"sum", true, false, false, false, false, false},
      {"keygen", false, false, true, true, false, true},
      {"sign", true, false, true, false, true, false},
  };
  if (a.command == nullptr) return usage_error("no command given (add, verify, sum, keygen or sign)", "");
  for (const auto &c : commands) {
    if (strcmp(a.command, c.name) != 0) continue;
    const char *stray = (a.replace && !c.replace) ? "--replace"
                        : (a.key && !c.key)         ? "--key"
                        : (a.pubkey && !c.pubkey)   ? "--pubkey"
                        : (a.sign.comment && !c.sign) ? "--comment"
                        : (a.sign.platforms && !c.sign) ? "--platforms"
                        : (a.sign.version && !c.sign) ? "--firmware-version"
                        : (a.no_passphrase && !c.no_passphrase) ? "-W"
                                                                : nullptr;
    if (stray != nullptr) {
      fprintf(stderr, "fwtag: %s does not go with %s\nTry 'fwtag --help' for more information.\n", stray,
              c.name);
      return 2;
    }
    if (!c.file && a.file != nullptr) return usage_error("unexpected argument ", a.file);
    if (c.file && a.file == nullptr) return usage_error("missing FILE after ", c.name);
    if (c.name[0] == 'a') return add(a.file, a.replace);
    if (c.name[0] == 'v') return verify_all(a);
    if (c.name[1] == 'u') return sum(a.file);
    if (c.name[0] == 'k')
      return fwtag_keygen(a.key ? a.key : "fwtag.key", a.pubkey ? a.pubkey : "fwtag.pub", a.no_passphrase);
    if (a.key == nullptr) return usage_error("sign needs --key SECRET", "");
    return fwtag_sign(a.key, a.file, a.sign);
  }
  return usage_error("unknown command ", a.command);
}
