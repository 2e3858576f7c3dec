// fwtag: the image tag for people who build firmware images.
//
//   fwtag add [--replace] IMAGE   append the tag (or replace an existing one)
//   fwtag verify IMAGE            check the tag; exit 0 when it holds
//   fwtag sum FILE                print the checksum (as cksum's first number)
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "cfgmgr_cksum.h"

namespace {

int usage(FILE *to) {
  fputs("usage: fwtag add [--replace] IMAGE   append the 8-byte image tag\n"
        "       fwtag verify IMAGE            check the image tag\n"
        "       fwtag sum FILE                print the checksum of FILE\n",
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

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))
    return usage(stdout);
  if (argc == 3 && strcmp(argv[1], "sum") == 0) return sum(argv[2]);
  if (argc == 3 && strcmp(argv[1], "verify") == 0) return verify(argv[2]);
  if (argc == 3 && strcmp(argv[1], "add") == 0) return add(argv[2], false);
  if (argc == 4 && strcmp(argv[1], "add") == 0 && strcmp(argv[2], "--replace") == 0)
    return add(argv[3], true);
  return usage(stderr);
}
