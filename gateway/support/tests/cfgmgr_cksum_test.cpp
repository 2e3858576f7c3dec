#include "cfgmgr_cksum.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

#include "le.h"

namespace {

// The reference: the cksum utility's first number for the same bytes.
uint32_t cksum_utility(const std::string &data) {
  char path[] = "/tmp/cksumXXXXXX";
  int fd = mkstemp(path);
  EXPECT_GE(fd, 0);
  FILE *f = fdopen(fd, "wb");
  fwrite(data.data(), 1, data.size(), f);
  fclose(f);
  std::string cmd = std::string("cksum < ") + path;
  FILE *p = popen(cmd.c_str(), "r");
  unsigned long value = 0;
  EXPECT_EQ(1, fscanf(p, "%lu", &value));
  pclose(p);
  remove(path);
  return (uint32_t)value;
}

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (auto &c : s) c = (char)(gen() & 0xFF);
  return s;
}

// A stream holding `data`, positioned anywhere.
FILE *stream_of(const std::string &data) {
  FILE *f = tmpfile();
  fwrite(data.data(), 1, data.size(), f);
  fflush(f);
  return f;
}

std::string tag_for(uint32_t sum) {
  unsigned char t[8];
  le32_put(t, CS_TAG_MAGIC);
  le32_put(t + 4, sum);
  return std::string(reinterpret_cast<char *>(t), 8);
}

TEST(Crctab, IsTheCksumPolynomialTable) {
  EXPECT_EQ(0u, crctab[0]);
  EXPECT_EQ(0x04C11DB7u, crctab[1]);
  EXPECT_EQ(0xB1F740B4u, crctab[255]);
}

TEST(Checksum, EqualsTheCksumUtilityOverManySizes) {
  for (size_t n : {0, 1, 7, 8, 9, 15, 16, 17, 255, 256, 65535, 65536, 65537, 131072 + 3,
                   3 * 1024 * 1024 + 5}) {
    std::string data = random_bytes(n, (unsigned)n);
    uint32_t expected = cksum_utility(data);
    EXPECT_EQ(expected, cs_calc_buf_sum(data.data(), data.size())) << "size " << n;
    FILE *f = stream_of(data);
    uint32_t sum = 0;
    ASSERT_EQ(1, cs_calc_sum(f, &sum, 0));
    EXPECT_EQ(expected, sum) << "stream of size " << n;
    fclose(f);
  }
}

TEST(Checksum, EmptyBlockIsAllOnes) { EXPECT_EQ(0xFFFFFFFFu, cs_calc_buf_sum("", 0)); }

TEST(Checksum, IncrementalPiecesGiveTheSameSum) {
  std::string data = random_bytes(70001, 9);
  cs_state st;
  cs_begin(&st);
  for (size_t at = 0; at < data.size(); at += 1237)
    cs_update(&st, data.data() + at, std::min<size_t>(1237, data.size() - at));
  EXPECT_EQ(cs_calc_buf_sum(data.data(), data.size()), cs_end(&st));
}

TEST(Checksum, ExcludeTagIgnoresTheLastEightBytesWhereverChunksEnd) {
  // Sizes that put the tag across, at and just after the 64 KiB chunk edge.
  for (size_t payload : {0, 1, 65528, 65529, 65535, 65536, 65537, 131064, 131065, 200000}) {
    std::string data = random_bytes(payload, (unsigned)payload + 1);
    std::string image = data + "TAGBYTES";
    FILE *f = stream_of(image);
    uint32_t sum = 0;
    ASSERT_EQ(1, cs_calc_sum(f, &sum, 1));
    EXPECT_EQ(cs_calc_buf_sum(data.data(), data.size()), sum) << "payload " << payload;
    fclose(f);
  }
}

TEST(Tag, TaggedImageVerifiesAndAnyChangedByteIsCaught) {
  for (size_t payload : {0, 5, 65528, 65535, 65536 + 3}) {
    std::string data = random_bytes(payload, 77);
    FILE *f = stream_of(data);
    uint32_t sum = 0;
    ASSERT_EQ(1, cs_calc_sum(f, &sum, 0));
    ASSERT_EQ(1, cs_set_sum(f, sum, 0));
    EXPECT_EQ(1, cs_is_tagged(f));
    uint32_t stored = 0, computed = 0;
    ASSERT_EQ(1, cs_get_sum(f, &stored));
    EXPECT_EQ(stored, cs_read_sum(f));
    ASSERT_EQ(1, cs_calc_sum(f, &computed, 1));
    EXPECT_EQ(stored, computed) << "payload " << payload;
    if (payload > 0) {
      fseek(f, (long)(payload / 2), SEEK_SET);
      fputc(data[payload / 2] ^ 0x01, f);
      fflush(f);
      ASSERT_EQ(1, cs_calc_sum(f, &computed, 1));
      EXPECT_NE(stored, computed);
    }
    fclose(f);
  }
}

TEST(Tag, TagBytesAreLittleEndian) {
  FILE *f = stream_of("abc");
  ASSERT_EQ(1, cs_set_sum(f, 0x11223344u, 0));
  unsigned char t[8];
  fseek(f, 3, SEEK_SET);
  ASSERT_EQ(8u, fread(t, 1, 8, f));
  const unsigned char expected[8] = {0x23, 0xDE, 0x53, 0xC4, 0x44, 0x33, 0x22, 0x11};
  EXPECT_EQ(0, memcmp(expected, t, 8));
  fclose(f);
}

TEST(Tag, ReplaceOverwritesAndShortStreamsAreNotTagged) {
  FILE *f = stream_of("payload" + tag_for(1));
  ASSERT_EQ(1, cs_set_sum(f, 2, 1));
  EXPECT_EQ(2u, cs_read_sum(f));
  fseek(f, 0, SEEK_END);
  EXPECT_EQ(15, ftell(f));
  fclose(f);

  FILE *shortf = stream_of("1234567");
  EXPECT_EQ(0, cs_is_tagged(shortf));
  uint32_t sum = 0;
  EXPECT_EQ(0, cs_get_sum(shortf, &sum));
  fclose(shortf);
}

TEST(Tag, EightByteTagOfEmptyContentVerifies) {
  FILE *f = stream_of(tag_for(0xFFFFFFFFu));
  EXPECT_EQ(1, cs_is_tagged(f));
  uint32_t sum = 0;
  ASSERT_EQ(1, cs_calc_sum(f, &sum, 1));
  EXPECT_EQ(0xFFFFFFFFu, sum);
  EXPECT_EQ(0xFFFFFFFFu, cs_read_sum(f));
  fclose(f);
}

TEST(Checksum, ReadErrorFails) {
  FILE *f = fopen("/proc/self/mem", "rb");  // reading offset 0 fails
  ASSERT_NE(nullptr, f);
  uint32_t sum = 0;
  EXPECT_EQ(0, cs_calc_sum(f, &sum, 0));
  fclose(f);
}

}  // namespace
