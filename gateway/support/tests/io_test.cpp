#include "io.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cfgmgr_cksum.h"
#include "le.h"

namespace {

using Bytes = std::vector<unsigned char>;

class IoBlock : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/io_test_XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    close(fd);
    path_ = name;
  }
  void TearDown() override { unlink(path_.c_str()); }

  void put(const Bytes &content) {
    FILE *f = fopen(path_.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    if (!content.empty()) fwrite(content.data(), 1, content.size(), f);
    fclose(f);
  }
  Bytes get() {
    Bytes out;
    FILE *f = fopen(path_.c_str(), "rb");
    int c;
    while (f != nullptr && (c = fgetc(f)) != EOF) out.push_back((unsigned char)c);
    if (f != nullptr) fclose(f);
    return out;
  }
  // Loads the block; empty when io_load_mtd_header refuses it.
  bool load(Bytes *out) {
    unsigned char *buf = nullptr;
    size_t size = 0;
    if (io_load_mtd_header(path_.c_str(), &buf, &size) != 0) return false;
    out->assign(buf, buf + size);
    free(buf);
    return true;
  }

  std::string path_;
};

void word(Bytes *b, uint32_t v) {
  unsigned char raw[4];
  le32_put(raw, v);
  b->insert(b->end(), raw, raw + 4);
}

// A block as the gateway stores it, with `trailer` bytes of old flash after it.
Bytes block(uint32_t version, const Bytes &data, size_t trailer = 0, uint32_t length = 0) {
  Bytes b;
  word(&b, IO_MAGIC);
  word(&b, version);
  word(&b, length ? length : (uint32_t)data.size());
  word(&b, cs_calc_buf_sum(data.data(), data.size()));
  if (version == IO_VERSION_EXTENDED) word(&b, 0xA1B2C3D4u);
  b.insert(b.end(), data.begin(), data.end());
  b.insert(b.end(), trailer, 0xFF);
  return b;
}

TEST_F(IoBlock, PlainBlockComesBackHeaderAndAll) {
  Bytes data = {'<', 'c', '>', 0, '\r', '\n', 0xFF, '<', '/', '>'};
  Bytes stored = block(IO_VERSION_PLAIN, data, 100);
  put(stored);
  Bytes got;
  ASSERT_TRUE(load(&got));
  EXPECT_EQ(got, Bytes(stored.begin(), stored.begin() + 26));
}

TEST_F(IoBlock, ExtendedBlockKeepsItsExtraWord) {
  Bytes data(300, 'x');
  Bytes stored = block(IO_VERSION_EXTENDED, data, 7);
  put(stored);
  Bytes got;
  ASSERT_TRUE(load(&got));
  ASSERT_EQ(got.size(), 20u + 300u);
  EXPECT_EQ(le32_get(&got[16]), 0xA1B2C3D4u);
  EXPECT_EQ(got, Bytes(stored.begin(), stored.begin() + 320));
}

TEST_F(IoBlock, LengthLimit) {
  Bytes data(IO_MAX_DATA, 'a');
  put(block(IO_VERSION_PLAIN, data));
  Bytes got;
  EXPECT_TRUE(load(&got));
  data.push_back('a');
  put(block(IO_VERSION_PLAIN, data));
  EXPECT_FALSE(load(&got));
}

TEST_F(IoBlock, RefusesWhatIsNotAnIntactBlock) {
  Bytes data(40, 'q');
  Bytes good = block(IO_VERSION_PLAIN, data);
  Bytes got;

  Bytes damaged = good;
  damaged[16 + 17] ^= 0x01;
  put(damaged);
  EXPECT_FALSE(load(&got)) << "one data byte changed";

  put(block(0x100, data));
  EXPECT_FALSE(load(&got)) << "unknown version";

  Bytes foreign = good;
  foreign[0] = 'X';
  put(foreign);
  EXPECT_FALSE(load(&got)) << "wrong magic";

  put(Bytes(good.begin(), good.end() - 1));
  EXPECT_FALSE(load(&got)) << "data cut short";

  put(Bytes(good.begin(), good.begin() + 14));
  EXPECT_FALSE(load(&got)) << "header cut short";

  put(Bytes(4096, 0xFF));
  EXPECT_FALSE(load(&got)) << "erased partition";

  put(Bytes());
  EXPECT_FALSE(load(&got)) << "empty partition";

  EXPECT_NE(io_load_mtd_header("/nonexistent/mtdblock/4", nullptr, nullptr), 0);
}

TEST_F(IoBlock, WrittenBlockLoadsBackAndKeepsOldFlashBeyondIt) {
  put(Bytes(200, 0xEE));
  const char text[] = "<config><a>1</a></config>";
  int fd = open(path_.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(io_write_mtd_block(fd, text, 25), 0);
  close(fd);

  Bytes flash = get();
  ASSERT_EQ(flash.size(), 200u);
  EXPECT_EQ(Bytes(flash.begin(), flash.begin() + 4), (Bytes{'L', 'M', 'M', 'C'}));
  EXPECT_EQ(le32_get(&flash[4]), 512u);
  EXPECT_EQ(le32_get(&flash[8]), 25u);
  EXPECT_EQ(flash[41], 0xEE);

  Bytes got;
  ASSERT_TRUE(load(&got));
  EXPECT_EQ(std::string(got.begin() + 16, got.end()), text);
}

TEST_F(IoBlock, WriterReportsAFullDevice) {
  int fd = open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(io_write_mtd_block(fd, "abc", 3), -1);
  close(fd);
}

}  // namespace
