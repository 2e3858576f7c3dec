// The package reader over any bytes, as dornix and the kit checker read an
// upload that starts like a tar archive.
//
// After every input: a package that passes names only folders and regular
// files inside pkg/, whose data lies inside the archive, with no ".."; a
// refusal says why.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "contract/tar.h"

namespace {

struct Input {
  const uint8_t *data;
  size_t size;
};

long read_input(void *ctx, uint64_t offset, void *buffer, size_t length) {
  const Input *in = static_cast<const Input *>(ctx);
  if (offset > in->size) return -1;
  const size_t n = in->size - offset < length ? (size_t)(in->size - offset) : length;
  memcpy(buffer, in->data + offset, n);
  return (long)n;
}

[[noreturn]] void fail(const char *what, const char *name) {
  fprintf(stderr, "tar_fuzz: %s: '%s'\n", what, name);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Input in = {data, size};
  gwc_tar_reader r;
  gwc_tar_open(&r, read_input, &in, size);
  if (gwc_pkg_check(&r, nullptr) != 0) {
    if (r.reason[0] == '\0') fail("a refusal without a reason", "");
    return 0;
  }
  // The package is taken: walk it again as the unpacking does.
  gwc_tar_open(&r, read_input, &in, size);
  gwc_tar_member m;
  int got;
  while ((got = gwc_tar_next(&r, &m)) == 1) {
    if (m.type != GWC_TAR_FILE && m.type != GWC_TAR_DIR) fail("a member of another kind", m.name);
    if (m.data > size || m.size > size - m.data) fail("data beyond the archive", m.name);
    if (m.root) continue;
    if (m.path[0] != '\0' && m.path[0] != '/') fail("a path not below pkg", m.path);
    if (strstr(m.path, "/../") != nullptr || strstr(m.path, "//") != nullptr ||
        (strlen(m.path) >= 3 && strcmp(m.path + strlen(m.path) - 3, "/..") == 0))
      fail("a path that climbs out or is not plain", m.path);
    if (m.mode & ~0755u) fail("a mode beyond 0755", m.name);
  }
  if (got != 0) fail("a package that passed, then refused", r.reason);
  return 0;
}
