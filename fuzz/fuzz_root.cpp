#include "fuzz_root.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzzroot {

namespace {

std::string root;

int remove_entry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

void remove_root() {
  if (!root.empty()) nftw(root.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace

void Create() {
  char tmpl[] = "/tmp/dornix-fuzz.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) Fail("mkdtemp");
  root = tmpl;
  for (const char *dir : {"/var", "/var/tmp", "/var/log", "/dev", "/dev/mtdblock"})
    if (mkdir(Path(dir).c_str(), 0755) != 0) Fail(dir);
  Write("/dev/led", "");
  setenv("DORNIX_ROOT", root.c_str(), 1);
  atexit(remove_root);
}

std::string Path(const char *gatewayPath) { return root + gatewayPath; }

void Write(const char *gatewayPath, const void *data, size_t n) {
  FILE *f = fopen(Path(gatewayPath).c_str(), "wb");
  if (f == nullptr) Fail(gatewayPath);
  if (n > 0 && fwrite(data, 1, n, f) != n) Fail(gatewayPath);
  fclose(f);
}

void Write(const char *gatewayPath, const std::string &data) {
  Write(gatewayPath, data.data(), data.size());
}

std::string Read(const char *gatewayPath) {
  std::string out;
  FILE *f = fopen(Path(gatewayPath).c_str(), "rb");
  if (f == nullptr) return out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.append(buf, n);
  fclose(f);
  return out;
}

bool Exists(const char *gatewayPath) {
  struct stat st;
  return lstat(Path(gatewayPath).c_str(), &st) == 0;
}

void Fail(const char *what) {
  fprintf(stderr, "fuzz check failed: %s\n", what);
  abort();
}

}  // namespace fuzzroot
