#include "io.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "cfgmgr_cksum.h"
#include "le.h"

namespace {

std::string word(uint32_t v) {
  unsigned char raw[4];
  le32_put(raw, v);
  return std::string(reinterpret_cast<char *>(raw), 4);
}

// A block as the gateway stores it.
std::string block(uint32_t version, const std::string &data, const std::string &extra = "") {
  return word(IO_MAGIC) + word(version) + word((uint32_t)data.size()) +
         word(cs_calc_buf_sum(data.data(), data.size())) + extra + data;
}

// Puts `flash` on a partition file and loads it: the block, or "refused".
std::string load(const std::string &flash) {
  char name[] = "/tmp/io_test_XXXXXX";
  int fd = mkstemp(name);
  if (!flash.empty() && write(fd, flash.data(), flash.size()) != (ssize_t)flash.size()) return "?";
  close(fd);
  unsigned char *buf = nullptr;
  size_t size = 0;
  int r = io_load_mtd_header(name, &buf, &size);
  unlink(name);
  if (r != 0) return "refused";
  std::string out(reinterpret_cast<char *>(buf), size);
  free(buf);
  return out;
}

TEST(IoBlock, LoadsHeaderAndDataAndNothingBeyond) {
  std::string data("<c>\0\r\n\xff</c", 10);
  EXPECT_EQ(load(block(512, data) + "old flash"), block(512, data));
  std::string extended = block(768, std::string(300, 'x'), word(0xA1B2C3D4));
  EXPECT_EQ(load(extended + "old flash"), extended);
}

TEST(IoBlock, LengthLimit) {
  EXPECT_EQ(load(block(512, std::string(IO_MAX_DATA, 'a'))).size(), 16 + IO_MAX_DATA);
  EXPECT_EQ(load(block(512, std::string(IO_MAX_DATA + 1, 'a'))), "refused");
}

TEST(IoBlock, RefusesWhatIsNotAnIntactBlock) {
  const std::string good = block(512, std::string(40, 'q'));
  std::string damaged = good;
  damaged[16 + 17] ^= 0x01;
  std::string foreign = good;
  foreign[0] = 'X';
  const std::string refused[] = {
      damaged, foreign, block(0x100, "abc"), good.substr(0, good.size() - 1),
      good.substr(0, 14), std::string(4096, '\xff'), "",
  };
  for (const std::string &flash : refused) EXPECT_EQ(load(flash), "refused") << flash.size();
  EXPECT_NE(io_load_mtd_header("/nonexistent/mtdblock/4", nullptr, nullptr), 0);
}

}  // namespace
