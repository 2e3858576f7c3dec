// Local files under a temporary directory that stands for "C:\".
#include <gtest/gtest.h>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/shown_text.h"
#include "platform/support_log.h"

namespace velmora {
namespace platform {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDirectory("velmora-files-");
    ASSERT_FALSE(dir_.empty());
    Env().localDir = dir_;
  }
  void TearDown() override {
    ResetEnv();
    EXPECT_TRUE(RemoveTree(dir_));
    EXPECT_FALSE(PathExists(dir_));
  }
  std::string dir_;
};

TEST_F(FilesTest, DriveNamesMapIntoTheLocalDirectory) {
  EXPECT_EQ(LocalPath("C:\\Ssid"), JoinPath(dir_, "Ssid"));
  EXPECT_EQ(LocalPath("C:\\zuntmp.dat"), JoinPath(dir_, "zuntmp.dat"));
  Env().localDir.clear();
  EXPECT_EQ(LocalPath("C:\\Ssid"), "C:\\Ssid");
}

TEST_F(FilesTest, WriteAppendTruncateKeepBinaryBytesExactly) {
  const std::string path = LocalPath("C:\\AccessList");
  // CR LF, a lone LF, NUL and 0x1A must survive: no text-mode translation.
  const std::string first("line\r\nnext\n\0\x1a" "end", 16);
  ASSERT_TRUE(WriteWholeFile(path, first));
  ASSERT_TRUE(AppendToFile(path, "+more", 5));
  std::string got;
  ASSERT_TRUE(ReadWholeFile(path, &got));
  EXPECT_EQ(got, first + "+more");

  File f;
  ASSERT_TRUE(f.Open(path, File::kRead));
  EXPECT_EQ(f.Size(), static_cast<int64_t>(first.size() + 5));
  char block[4];
  EXPECT_EQ(f.Read(block, sizeof block), 4);
  EXPECT_EQ(std::string(block, 4), "line");
  f.Close();
  EXPECT_EQ(f.Read(block, sizeof block), -1);

  // Writing anew replaces the old content entirely.
  ASSERT_TRUE(WriteWholeFile(path, "ab"));
  ASSERT_TRUE(ReadWholeFile(path, &got));
  EXPECT_EQ(got, "ab");
  ASSERT_TRUE(TruncateFile(path));
  ASSERT_TRUE(ReadWholeFile(path, &got));
  EXPECT_EQ(got, "");
}

TEST_F(FilesTest, AppendCreatesAMissingFile) {
  const std::string path = LocalPath("C:\\Fresh");
  ASSERT_TRUE(AppendToFile(path, "a", 1));
  ASSERT_TRUE(AppendToFile(path, "b", 1));
  std::string got;
  ASSERT_TRUE(ReadWholeFile(path, &got));
  EXPECT_EQ(got, "ab");
}

// The upload reads the image with read sharing: a second reader is fine.
TEST_F(FilesTest, AFileOpenForReadingCanBeReadAgain) {
  const std::string path = LocalPath("C:\\fw.img");
  ASSERT_TRUE(WriteWholeFile(path, "image"));
  File first;
  ASSERT_TRUE(first.Open(path, File::kRead));
  File second;
  ASSERT_TRUE(second.Open(path, File::kRead));
  char buf[8];
  EXPECT_EQ(second.Read(buf, sizeof buf), 5);
  EXPECT_EQ(first.Read(buf, sizeof buf), 5);
}

TEST_F(FilesTest, MissingFilesAndDirectoriesFailCleanly) {
  const std::string missing = LocalPath("C:\\Nothing");
  File f;
  EXPECT_FALSE(f.Open(missing, File::kRead));
  EXPECT_FALSE(f.IsOpen());
  std::string got = "unchanged";
  EXPECT_FALSE(ReadWholeFile(missing, &got));
  EXPECT_FALSE(DeleteLocalFile(missing));
  EXPECT_FALSE(PathExists(missing));
  EXPECT_FALSE(CopyLocalFile(missing, LocalPath("C:\\Copy"), false));
  EXPECT_FALSE(PathExists(LocalPath("C:\\Copy")));
  // A directory is not a file.
  EXPECT_FALSE(f.Open(dir_, File::kRead));
  EXPECT_TRUE(IsDirectory(dir_));
  EXPECT_FALSE(WriteWholeFile(JoinPath(JoinPath(dir_, "no-such-dir"), "x"), "x"));
}

TEST_F(FilesTest, CopyRespectsFailIfExists) {
  const std::string from = LocalPath("C:\\Ssid");
  const std::string to = LocalPath("C:\\SsidBak");
  ASSERT_TRUE(WriteWholeFile(from, "new"));
  ASSERT_TRUE(WriteWholeFile(to, "old"));
  EXPECT_FALSE(CopyLocalFile(from, to, true));
  std::string got;
  ASSERT_TRUE(ReadWholeFile(to, &got));
  EXPECT_EQ(got, "old");
  EXPECT_TRUE(CopyLocalFile(from, to, false));
  ASSERT_TRUE(ReadWholeFile(to, &got));
  EXPECT_EQ(got, "new");
  EXPECT_TRUE(DeleteLocalFile(from));
  EXPECT_FALSE(PathExists(from));
  EXPECT_TRUE(PathExists(to));
}

TEST_F(FilesTest, ImageSearchFindsPlainFilesByPatternIgnoringCase) {
  for (const char *name : {"fw-2.0.img", "OTHER.IMG", "fw.img.bak", "img", "notes.txt"}) {
    ASSERT_TRUE(WriteWholeFile(JoinPath(dir_, name), "x"));
  }
  ASSERT_TRUE(MakeDirectories(JoinPath(dir_, "folder.img")));
  std::vector<std::string> found = FindFiles(dir_, "*.img");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], "OTHER.IMG");
  EXPECT_EQ(found[1], "fw-2.0.img");
  EXPECT_TRUE(FindFiles(JoinPath(dir_, "missing"), "*.img").empty());
}

TEST(FilePatternTest, WildcardsMatchLikeTheWindowsShell) {
  EXPECT_TRUE(MatchesPattern("a.img", "*.img"));
  EXPECT_TRUE(MatchesPattern(".img", "*.img"));
  EXPECT_TRUE(MatchesPattern("x.y.IMG", "*.img"));
  EXPECT_FALSE(MatchesPattern("a.imgx", "*.img"));
  EXPECT_FALSE(MatchesPattern("a.im", "*.img"));
  EXPECT_TRUE(MatchesPattern("upgrade.ini", "upgrade.ini"));
  EXPECT_TRUE(MatchesPattern("ab", "a?"));
  EXPECT_FALSE(MatchesPattern("a", "a?"));
  EXPECT_TRUE(MatchesPattern("anything", "*"));
}

TEST(FilePathTest, JoinAndDirectoryOf) {
  EXPECT_EQ(JoinPath("", "a"), "a");
  EXPECT_EQ(JoinPath("d/", "a"), "d/a");
  EXPECT_EQ(JoinPath("d\\", "a"), "d\\a");
  EXPECT_EQ(DirectoryOf("C:\\kit\\Velmora.exe"), "C:\\kit");
  EXPECT_EQ(DirectoryOf("/opt/kit/velmora"), "/opt/kit");
  EXPECT_EQ(DirectoryOf("velmora"), "");
}

TEST(FilePathTest, TheKitIsBesideTheProgramUnlessNamed) {
  ResetEnv();
  const std::string program = ProgramPath();
  ASSERT_FALSE(program.empty());
  EXPECT_TRUE(PathExists(program));
  EXPECT_EQ(KitDirectory(), DirectoryOf(program));
  Env().programDir = "elsewhere";
  EXPECT_EQ(KitDirectory(), "elsewhere");
  ResetEnv();
}

// The support log goes to users' support requests: no secret may reach it,
// and every line carries its time.
TEST_F(FilesTest, SupportLogStampsEveryLineAndMasksSecrets) {
  const struct {
    const char *in, *out;
  } cases[] = {
      {"POST body=ap:settings/key_value1=0123456789&ap:settings/ssid=Home Net",
       "POST body=ap:settings/key_value1=***&ap:settings/ssid=Home Net"},
      {"var:pskvalue=geheim; password=x y", "var:pskvalue=***; password=*** y"},
      {"Authorization: Basic YWRtaW46cw==\r\nHost: 192.168.0.1",
       "Authorization: ***\r\nHost: 192.168.0.1"},
      {"telnet_password=\"vemox\" version=3.60.1.0.9-GQ", "telnet_password=\"***\" version=3.60.1.0.9-GQ"},
      {"GET /cgi-bin/webcm?getpage=../html/qorn.html&var:contype=pppoe",
       "GET /cgi-bin/webcm?getpage=../html/qorn.html&var:contype=pppoe"},
      {"key= empty", "key= empty"},
  };
  for (const auto &c : cases) EXPECT_EQ(MaskSecrets(c.in), c.out) << c.in;

  const std::string path = JoinPath(dir_, "velmora.log");
  SupportLog("before the log is open");
  ASSERT_TRUE(OpenSupportLog(path));
  EXPECT_EQ(SupportLogPath(), path);
  SupportLog("login as %s with password=%s", "admin", "s3cret");
  SupportLog("two\r\nlines\n");
  SupportLog("version %s", "3.6\x1b]0;x\x07\x9b");
  CloseSupportLog();
  std::string text;
  ASSERT_TRUE(ReadWholeFile(path, &text));
  EXPECT_EQ(text.find("before"), std::string::npos);
  EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  ASSERT_EQ(lines.size(), 4u) << text;
  for (const std::string &l : lines) {
    int y, mo, d, h, mi, sec, ms;
    EXPECT_EQ(sscanf(l.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d ", &y, &mo, &d, &h, &mi, &sec, &ms), 7) << l;
  }
  EXPECT_NE(lines[1].find("login as admin with password=***"), std::string::npos);
  EXPECT_NE(lines[2].find("two  lines"), std::string::npos);
  EXPECT_NE(lines[3].find("version 3.6\\x1B]0;x\\x07\\x9B"), std::string::npos) << lines[3];
}

// Whatever a text holds, what is shown holds no control character but the
// line ends the text's own kind keeps.
TEST(ShownTextTest, ControlCharactersAreShownEscaped) {
  const struct {
    const char *in;
    LineEnds keep;
    const char *out;
  } cases[] = {
      {"OK\r\nDONE\r\n", LineEnds::kCrLf, "OK\r\nDONE\r\n"},
      {"a\nb\rc\td", LineEnds::kCrLf, "a\\x0Ab\\x0Dc\\x09d"},
      {"a\nb\r\nc\r", LineEnds::kLf, "a\nb\r\nc\\x0D"},
      {"a\r\nb\n", LineEnds::kNone, "a\\x0D\\x0Ab\\x0A"},
      {"\x1b]0;title\x07\x1b[2J\b\x7f", LineEnds::kLf, "\\x1B]0;title\\x07\\x1B[2J\\x08\\x7F"},
      // C1 controls as UTF-8 and as single bytes; other UTF-8 and
      // single-byte text stays.
      {"\xc2\x9b" "2J \xc2\xa0 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", LineEnds::kCrLf,
       "\\xC2\\x9B2J \xc2\xa0 caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      {"\x9b" "2J caf\xe9 \xff \xe2\x82", LineEnds::kCrLf, "\\x9B2J caf\xe9 \xff \xe2\\x82"},
      {"C:\\Ssid \\x41", LineEnds::kCrLf, "C:\\Ssid \\x41"},
  };
  for (const auto &c : cases)
    EXPECT_EQ(ShownText(c.in, c.keep), c.out) << c.in;
  EXPECT_EQ(ShownText(std::string("a\0b", 3), LineEnds::kCrLf), "a\\x00b");
}

}  // namespace
}  // namespace platform
}  // namespace velmora
