// The configuration file path: the scanner and the compaction on any bytes,
// then the same file through copy_config_file onto a scratch partition.
//
// The compaction yields what the compaction of before (config_reference.cpp,
// over the scanner of before) yields: the same refusal, or the same text,
// which is no longer than the file. copy_config_file stores exactly that
// text as a block the loader accepts, or refuses and leaves the partition as
// it was.
#include <fcntl.h>
#include <stdint.h>
#include <unistd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "config.h"
#include "config_reference.h"
#include "firmware.h"
#include "fuzz_root.h"
#include "io.h"

using fuzzroot::Fail;

namespace {
const char kConfig[] = "/dev/mtdblock/4";
const char kOld[] = "partition as it was";
}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzroot::Create();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string file(reinterpret_cast<const char *>(data), size);

  // 1. Compaction of the bytes as they are, now and before.
  std::string scanned = file + std::string(2, '\0');
  std::string out(size, '\0');
  size_t length = 0;
  int r = compact_config(&scanned[0], size, out.empty() ? nullptr : &out[0], size, &length);
  if (r != 0 && r != RESULT_CONFIG_TOKEN) Fail("compact_config: unexpected result");
  if (r == 0 && length > size) Fail("compacted text longer than the file");
  out.resize(r == 0 ? length : 0);

  std::string before(size, '\0');
  size_t before_length = 0;
  FILE *in = size > 0 ? fmemopen(&file[0], size, "r") : fopen("/dev/null", "r");
  if (in == nullptr) Fail("fmemopen");
  int b = reference_compact(in, before.empty() ? nullptr : &before[0], size, &before_length);
  fclose(in);
  before.resize(b == 0 ? before_length : 0);
  if (b != r) Fail("compaction refuses otherwise than before");
  if (out != before) Fail("compacted text differs from before");

  // 2. The same bytes as an uploaded fw.bin.
  fuzzroot::Write("/var/tmp/fw.bin", file);
  fuzzroot::Write(kConfig, kOld);
  static struct request req;
  request_reset(&req, -1);
  req.image_fd = open(fuzzroot::Path("/var/tmp/fw.bin").c_str(), O_RDONLY);
  int c = copy_config_file(&req);
  if (req.image_fd >= 0) close(req.image_fd);
  std::string partition = fuzzroot::Read(kConfig);
  if (c == 0) {
    if (r != 0) Fail("stored a file the compaction refused");
    unsigned char *block = nullptr;
    size_t block_size = 0;
    if (io_load_mtd_header(fuzzroot::Path(kConfig).c_str(), &block, &block_size) != 0)
      Fail("stored block does not load");
    std::string stored(reinterpret_cast<char *>(block) + IO_HEADER_SIZE, block_size - IO_HEADER_SIZE);
    free(block);
    if (stored != out) Fail("stored text differs from the compaction");
  } else {
    if (c != RESULT_CONFIG_TOKEN) Fail("copy_config_file: unexpected result");
    if (r == 0 && length <= IO_MAX_DATA) Fail("refused a file the compaction took");
    if (partition != kOld) Fail("refused file changed the partition");
  }
  return 0;
}
