// The rules both halves share, one table per kind of fault.
#include <gtest/gtest.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>

#include "contract/kitmeta.h"
#include "contract/result.h"
#include "contract/tar.h"
#include "contract/version.h"
#include "fixtures.h"

using namespace fixtures;

namespace {

// The docs' tables name each code with the program's own words.
TEST(Results, DocumentationTablesFollowTheTable) {
  size_t count = 0;
  const gwc_result_info *table = gwc_result_table(&count);
  for (const char *doc : {"docs/result-codes.md", "docs/troubleshooting.md"}) {
    std::ifstream in(std::string(DORNIX_SOURCE_DIR) + "/" + doc);
    if (!in) GTEST_SKIP() << "no source tree at " << DORNIX_SOURCE_DIR;
    std::stringstream text;
    text << in.rdbuf();
    size_t rows = 0;
    std::string line;
    while (std::getline(text, line)) {
      int code = 0;
      char quote = 0;
      if (sscanf(line.c_str(), "| %d | %c", &code, &quote) != 2 || quote != '"') continue;
      ++rows;
      const gwc_result_info *r = gwc_result_find(code);
      ASSERT_NE(r, nullptr) << doc << ": " << line;
      EXPECT_EQ(line.find(std::string("| \"") + r->meaning + "\" |"), (size_t)line.find('|', 1))
          << doc << ": " << line;
    }
    EXPECT_EQ(rows, count - 1) << doc;  // every code but -1, which has no words
    EXPECT_NE(text.str().find("| −1 ("), std::string::npos) << doc;
  }
  for (size_t i = 0; i < count; ++i) EXPECT_GT(strlen(table[i].what), 0u) << table[i].name;
}

TEST(Upload, LengthsAreThoseOfTheWizardsBytes) {
  const std::string signature = "untrusted comment: x\nRWQ...\ntrusted comment: y\nabc\n";
  for (const std::string &name : {std::string(), std::string("prepare.bin"), std::string(38, 'n')})
    for (const std::string *sig : {(const std::string *)nullptr, &signature})
      for (uint64_t size : {0ull, 1ull, 700000ull}) {
        const long sl = sig ? (long)sig->size() : GWC_UNSIGNED;
        const std::string body = WizardBody(name, std::string(size, 'x'), sig);
        EXPECT_EQ(gwc_upload_body_length(name.size(), size, sl), body.size()) << name;
        EXPECT_EQ(gwc_upload_counted_bytes(name.size(), size, sl), body.size() - strlen(GWC_CLOSING_LINE));
      }
  // The wizard's body without a signature: 182 bytes around the file and its name.
  EXPECT_EQ(gwc_upload_body_length(11, 5, GWC_UNSIGNED), 182u + 11 + 5);
  for (long sl : {(long)GWC_UNSIGNED, 0L, 300L}) {
    const uint64_t most = gwc_upload_largest_file(11, sl), least = gwc_upload_smallest_file(11, sl);
    EXPECT_EQ(gwc_upload_counted_bytes(11, most, sl), (uint64_t)GWC_MAX_BODY_BYTES);
    EXPECT_EQ(gwc_upload_body_length(11, least, sl), (uint64_t)GWC_MIN_CONTENT_LENGTH);
  }
}

TEST(Images, KindsByFirstWordAndSize) {
  struct {
    uint32_t magic;
    uint64_t size;
    int kind;
  } cases[] = {
      {GWC_MAGIC_CONFIG, 10, GWC_IMAGE_CONFIG},         {GWC_MAGIC_SQUASHFS, 700000, GWC_IMAGE_FILESYSTEM},
      {GWC_MAGIC_CRAMFS, 12, GWC_IMAGE_FILESYSTEM},     {GWC_MAGIC_JFFS2, 12, GWC_IMAGE_FILESYSTEM},
      {GWC_MAGIC_KERNEL, 0xA0008, GWC_IMAGE_KERNEL},    {GWC_MAGIC_KERNEL, 0xA0009, GWC_IMAGE_COMBINED},
      {0x12345678, 700000, GWC_IMAGE_UNKNOWN},
  };
  for (const auto &c : cases) {
    const std::string w = Word(c.magic);
    EXPECT_EQ(gwc_image_kind(reinterpret_cast<const unsigned char *>(w.data()), c.size), c.kind) << c.magic;
  }
  std::string img = Image(GWC_MAGIC_SQUASHFS, 100);
  EXPECT_EQ(gwc_tag_check(img.data(), img.size()), RESULT_OK);
  img[50] ^= 1;
  EXPECT_EQ(gwc_tag_check(img.data(), img.size()), RESULT_BAD_CRC);
  EXPECT_EQ(gwc_tag_check(img.data(), 7), RESULT_NO_CHECKSUM);
  const std::string empty = Tag("");
  EXPECT_EQ(gwc_tag_check(empty.data(), empty.size()), RESULT_OK);
}

long read_string(void *ctx, uint64_t offset, void *buffer, size_t length) {
  const std::string &s = *static_cast<const std::string *>(ctx);
  if (offset > s.size()) return -1;
  const size_t n = s.size() - offset < length ? s.size() - offset : length;
  memcpy(buffer, s.data() + offset, n);
  return (long)n;
}

// Archives no archiver here writes, or only by accident: the reader's
// answer for each, and its reason.
TEST(Packages, ExtendedHeadersAndDamage) {
  const std::vector<TarEntry> good = Package("exit 0\n");
  auto with = [&](const std::string &more) { return Tar(good).substr(0, Tar(good).size() - 1024) + more; };
  const std::string long_name = "pkg/" + std::string(150, 'd') + "/" + std::string(60, 'f');
  const std::string end(1024, '\0');
  struct {
    const char *what;
    std::string archive;
    const char *reason;  // nullptr: a package
    unsigned members;
  } cases[] = {
      {"ustar", Tar(good), nullptr, 3},
      {"long name in the POSIX prefix", Tar(Package("", {{long_name, "x"}}), kUstar), nullptr, 4},
      {"GNU long-name record", Tar(Package("", {{long_name, "x"}}), kGnu), nullptr, 4},
      {"pax path and attributes",
       Tar(Package("", {{long_name, "x", '0', 0644, "",
                         {{"SCHILY.xattr.user.a", std::string(2000, 'v')}, {"LIBARCHIVE.xattr.com.apple.x", "eA=="},
                          {"mtime", "1.5"}, {"uname", "ann"}, {"hdrcharset", "BINARY"}}}}),
           kPax),
       nullptr, 4},
      {"contiguous file", Tar(Package("", {{"pkg/c", "x", '7'}})), nullptr, 4},
      {"pax size over the header's", with(TarPax('x', PaxRecord("size", "600")) + TarHeader("pkg/big", '0', 0) +
                                          TarData(std::string(600, 'b')) + end), nullptr, 4},
      {"global comment", TarPax('g', PaxRecord("comment", "made here")) + Tar(good), nullptr, 3},
      {"long link name before a link", with(TarHeader("././@LongLink", 'K', 5, 0644, "", true) + TarData("abcd") +
                                            TarHeader("pkg/l", '2', 0, 0777, "abcd") + end),
       "member 'pkg/l' is a symbolic link", 3},
      {"sparse file", with(TarPax('x', PaxRecord("GNU.sparse.size", "9999")) + TarHeader("pkg/s", '0', 0) + end),
       "member 'pkg/s' is a sparse file", 3},
      {"damaged pax record", with(TarPax('x', "99 path=pkg/a\n") + TarHeader("pkg/a", '0', 0) + end),
       "damaged extended header", 3},
      {"long name too long", Tar(Package("", {{"pkg/" + std::string(300, 'n'), "x"}}), kGnu),
       "longer than 255 characters", 3},
      {"extended header without its member", with(TarPax('x', PaxRecord("path", "pkg/a")) + end),
       "ends after an extended header", 3},
      {"pkg as a file", Tar({{"pkg", "x"}, {"pkg/fw.inf", ""}}), "is a file where the folder pkg/ must be", 0},
      {"no marker", Tar({{"pkg/fw_exec.sh", ""}}), "no regular file pkg/fw.inf", 1},
      {"data cut short", Tar(Package("", {{"pkg/big", std::string(5000, 'b')}})).substr(0, 3500),
       "'pkg/big': data beyond the end", 3},
      {"header cut short", Tar(good).substr(0, 2560 + 100), "ends inside a header at byte 2560", 3},
      {"damaged header", with(std::string(512, 'z') + end), "damaged header at byte 2560 (after 'pkg/fw_exec.sh')", 3},
  };
  for (const auto &c : cases) {
    ASSERT_GE(c.archive.size(), 512u) << c.what;
    EXPECT_TRUE(gwc_tar_is_archive(reinterpret_cast<const unsigned char *>(c.archive.data()))) << c.what;
    gwc_tar_reader r;
    gwc_tar_open(&r, read_string, const_cast<std::string *>(&c.archive), c.archive.size());
    gwc_pkg_summary s;
    const int got = gwc_pkg_check(&r, &s);
    if (c.reason == nullptr) {
      EXPECT_EQ(got, 0) << c.what << ": " << r.reason;
    } else {
      EXPECT_EQ(got, -1) << c.what;
      EXPECT_NE(std::string(r.reason).find(c.reason), std::string::npos) << c.what << ": " << r.reason;
    }
    EXPECT_EQ(s.members, c.members) << c.what;
  }
  const std::string image = Image(GWC_MAGIC_SQUASHFS, 1024);
  EXPECT_FALSE(gwc_tar_is_archive(reinterpret_cast<const unsigned char *>(image.data())));
}

TEST(Versions, ParseAndCompareAsTheWizardDoes) {
  struct {
    const char *running, *kit;
    int expected;
  } cases[] = {
      {"3.60.1.0.5-GQ", "3.60.1.0.5-GQ", GWC_VERSION_NOT_OLDER},
      {"3.60.2.0.1-GQ", "3.60.1.9.9-GQ", GWC_VERSION_OLDER},
      {"3.60.2.0.1b-GQ", "3.60.2.0.1a-GQ", GWC_VERSION_OLDER},
      {"3.60.2.0.1b-GQ", "3.60.2.0.1-GQ", GWC_VERSION_NOT_OLDER},
      {"3.60.2.0.1-GQ", "3.60.2.0.1.0-GQ", GWC_VERSION_OTHER_PLATFORM},
      {"XY-3.60.2.0.1-gq", "3.60.2.0.2-GQ", GWC_VERSION_NOT_OLDER},
      {"3.60.2.0.1-GQ", "3.60.2.0.1-GR", GWC_VERSION_OTHER_PLATFORM},
      {"3.60. 9.0.1-GQ", "3.60.+10.0.1-GQ", GWC_VERSION_NOT_OLDER},
      {"3.60.99999999999999999999.0.1-GQ", "3.60.1.0.1-GQ", GWC_VERSION_OLDER},
  };
  for (const auto &c : cases) {
    gwc_version r, n;
    const char *why = "";
    ASSERT_TRUE(gwc_version_parse(c.running, strlen(c.running), &r, &why)) << c.running << why;
    ASSERT_TRUE(gwc_version_parse(c.kit, strlen(c.kit), &n, &why)) << c.kit << why;
    EXPECT_EQ(gwc_version_compare(c.running, &r, c.kit, &n), c.expected) << c.running << " " << c.kit;
    EXPECT_EQ(gwc_version_same(c.running, &r, c.kit, &n), strcmp(c.running, c.kit) == 0) << c.running;
  }
  gwc_version v;
  const char *why = "";
  ASSERT_TRUE(gwc_version_parse("XY-3.60.2.0.1b-gq", 17, &v, &why));
  char field[8], platform[8];
  gwc_version_field("XY-3.60.2.0.1b-gq", &v, 4, field, sizeof field);
  gwc_version_platform("XY-3.60.2.0.1b-gq", &v, platform, sizeof platform);
  EXPECT_EQ(v.dots, 4);
  EXPECT_STREQ(field, "1b");
  EXPECT_STREQ(platform, "GQ");
  // A dot in the platform name counts as one between numbers.
  for (const char *bad : {"3.60.2.0.1-G.Q", "3.60.2.0-GQ", "3.60.2.0.1", "1.2.3.4.5.6.7.8.9.10.11.12-GQ", "version", "XY-"})
    EXPECT_FALSE(gwc_version_parse(bad, strlen(bad), &v, &why)) << bad;
}

TEST(KitFiles, ConfigVersionAndPlatformList) {
  struct {
    std::string file;
    const char *version;  // nullptr: none found
  } configs[] = {
      {"<?xml?>\n<Config Version=\"3.60.1.0.5-GQ\">\n", "3.60.1.0.5-GQ"},
      {"<config version=" + std::string(190, ' ') + "\"3.60\">\n", nullptr},  // closing quote past the window
      {"<config version=\"a\nb\">\n", nullptr},
      {"<config release=\"1\">\n", nullptr},
      {"no line end <CONFIG VERSION=\"x\"", "x"},
  };
  for (const auto &c : configs) {
    gwc_span value;
    const char *why = "";
    const int found = gwc_config_version(c.file.data(), c.file.size(), &value, &why);
    EXPECT_EQ(found, c.version != nullptr) << c.file << why;
    if (found && c.version) {
      EXPECT_EQ(c.file.substr(value.at, value.length), c.version);
    }
  }
  const std::string ini = "[platforms]\r\n GQ\tgr x\n\nGZ";
  std::string platforms;
  gwc_span t;
  for (size_t pos = 0; gwc_ini_next_token(ini.data(), ini.size(), &pos, &t);)
    if (gwc_ini_is_platform(ini.data(), t)) platforms += ini.substr(t.at, t.length) + ",";
  EXPECT_EQ(platforms, "GQ,gr,GZ,");
}

}  // namespace
