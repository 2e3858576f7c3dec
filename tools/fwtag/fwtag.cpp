// fwtag: the image tag for people who build firmware images.
//
//   fwtag add [--replace] IMAGE   append the tag (or replace an existing one)
//   fwtag verify IMAGE            check the tag; exit 0 when it holds
//   fwtag sum FILE                print the checksum (as cksum's first number)
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "cfgmgr_cksum.h"
#include "dornix_version.h"

namespace {

const char kHelp[] =
    "Usage: fwtag add [--replace] IMAGE\n"
    "  or:  fwtag verify IMAGE\n"
    "  or:  fwtag sum FILE\n"
    "Appends, checks and computes the 8-byte tag at the end of every firmware\n"
    "image: the magic number 0xC453DE23 and the checksum of everything before it\n"
    "(the number cksum prints), both little-endian. The gateway refuses an image\n"
    "without it (fail[12]) or with a wrong checksum (fail[14]).\n"
    "\n"
    "Commands:\n"
    "  add IMAGE       append the tag to IMAGE, in place (8 bytes longer)\n"
    "  verify IMAGE    check the tag of IMAGE\n"
    "  sum FILE        print the checksum of the whole FILE\n"
    "\n"
    "Options:\n"
    "      --replace   add: write a new tag over an existing one instead of\n"
    "                  refusing\n"
    "  -h, --help      print this help and exit\n"
    "      --version   print the version and exit\n"
    "\n"
    "Exit status:\n"
    "  0  done; verify: the tag holds\n"
    "  1  the file cannot be read or written, has no tag, already has one (add\n"
    "     without --replace), or its checksum does not match\n"
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

}  // namespace

int main(int argc, char **argv) {
  const char *command = nullptr, *file = nullptr;
  bool replace = false, options_end = false;
  for (int i = 1; i < argc; ++i) {
    const char *a = argv[i];
    if (!options_end && a[0] == '-' && a[1] != 0) {
      if (strcmp(a, "--") == 0) options_end = true;
      else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) return fputs(kHelp, stdout), 0;
      else if (strcmp(a, "--version") == 0) return fputs(DORNIX_VERSION_LINE("fwtag"), stdout), 0;
      else if (strcmp(a, "--replace") == 0) replace = true;
      else return usage_error("unknown option ", a);
    } else if (command == nullptr) {
      command = a;
    } else if (file == nullptr) {
      file = a;
    } else {
      return usage_error("unexpected argument ", a);
    }
  }
  if (command == nullptr) return usage_error("no command given (add, verify or sum)", "");
  bool is_add = strcmp(command, "add") == 0;
  if (!is_add && strcmp(command, "verify") != 0 && strcmp(command, "sum") != 0)
    return usage_error("unknown command ", command);
  if (replace && !is_add) return usage_error("--replace goes with add, not with ", command);
  bool is_sum = strcmp(command, "sum") == 0;
  if (file == nullptr) return usage_error(is_sum ? "missing FILE after " : "missing IMAGE after ", command);
  if (is_add) return add(file, replace);
  return is_sum ? sum(file) : verify(file);
}
