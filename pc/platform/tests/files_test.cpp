// Local files under a temporary directory.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/files.h"

namespace velmora {
namespace platform {
namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDirectory("velmora-files-");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    EXPECT_TRUE(RemoveTree(dir_));
    EXPECT_FALSE(PathExists(dir_));
  }
  std::string dir_;
};

TEST_F(FilesTest, WriteAppendTruncateKeepBinaryBytesExactly) {
  const std::string path = JoinPath(dir_, "AccessList");
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
  const std::string path = JoinPath(dir_, "Fresh");
  ASSERT_TRUE(AppendToFile(path, "a", 1));
  ASSERT_TRUE(AppendToFile(path, "b", 1));
  std::string got;
  ASSERT_TRUE(ReadWholeFile(path, &got));
  EXPECT_EQ(got, "ab");
}

// The upload reads the image with read sharing: a second reader is fine.
TEST_F(FilesTest, AFileOpenForReadingCanBeReadAgain) {
  const std::string path = JoinPath(dir_, "fw.img");
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
  const std::string missing = JoinPath(dir_, "Nothing");
  File f;
  EXPECT_FALSE(f.Open(missing, File::kRead));
  EXPECT_FALSE(f.IsOpen());
  std::string got = "unchanged";
  EXPECT_FALSE(ReadWholeFile(missing, &got));
  EXPECT_FALSE(DeleteLocalFile(missing));
  EXPECT_FALSE(PathExists(missing));
  EXPECT_FALSE(CopyLocalFile(missing, JoinPath(dir_, "Copy"), false));
  EXPECT_FALSE(PathExists(JoinPath(dir_, "Copy")));
  // A directory is not a file.
  EXPECT_FALSE(f.Open(dir_, File::kRead));
  EXPECT_TRUE(IsDirectory(dir_));
  EXPECT_FALSE(WriteWholeFile(JoinPath(JoinPath(dir_, "no-such-dir"), "x"), "x"));
}

#ifndef _WIN32
// What only this user may read goes into a plain file of its own: a link or
// a FIFO planted at its path (a shared --state-dir) refuses the write and
// the file behind the link stays as it was.
TEST_F(FilesTest, OwnerOnlyWritesFollowNoLinkAndWaitOnNoFifo) {
  const std::string target = JoinPath(dir_, "elsewhere"), link = JoinPath(dir_, "Ssid");
  ASSERT_TRUE(WriteWholeFile(target, "someone else's"));
  ASSERT_EQ(chmod(target.c_str(), 0644), 0);
  ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
  const std::string fifo = JoinPath(dir_, "velmora-cli.log");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (File::Mode mode : {File::kWrite, File::kAppend}) {
    File f;
    EXPECT_FALSE(f.Open(link, mode, true));
    EXPECT_FALSE(f.Open(fifo, mode, true));
  }
  std::string text;
  ASSERT_TRUE(ReadWholeFile(target, &text));
  EXPECT_EQ(text, "someone else's");
  EXPECT_EQ(PermissionBits(target), 0644);
}
#endif

TEST_F(FilesTest, CopyRespectsFailIfExists) {
  const std::string from = JoinPath(dir_, "Ssid");
  const std::string to = JoinPath(dir_, "SsidBak");
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

// A kit folder named outside the system's code page (Cyrillic on a Western
// Windows) is found, listed and read like any other: every call takes and
// gives the names as they are.
TEST_F(FilesTest, NamesOutsideTheCodePageWorkEverywhere) {
  // "Прошивка", made as the system's own tools make it (UTF-16 on
  // Windows), not through the calls under test.
  const std::string kit = JoinPath(dir_, "\xD0\x9F\xD1\x80\xD0\xBE\xD1\x88\xD0\xB8\xD0\xB2\xD0\xBA\xD0\xB0");
#ifdef _WIN32
  std::wstring native(dir_.begin(), dir_.end());
  native += L"\\\u041F\u0440\u043E\u0448\u0438\u0432\u043A\u0430";
  ASSERT_TRUE(CreateDirectoryW(native.c_str(), nullptr));
#else
  ASSERT_EQ(mkdir(kit.c_str(), 0700), 0);
#endif
  const std::string name = "\xD0\xBE\xD0\xB1\xD1\x80\xD0\xB0\xD0\xB7.img";
  const std::string image = JoinPath(kit, name);
  EXPECT_TRUE(IsDirectory(kit));
  EXPECT_TRUE(MakeDirectories(kit));
  ASSERT_TRUE(WriteWholeFile(image, "hsqs"));
  uint64_t size = 0;
  EXPECT_TRUE(IsRegularFile(image, &size));
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(FindFiles(kit, "*.img"), std::vector<std::string>{name});
  std::string got;
  EXPECT_TRUE(ReadWholeFile(image, &got));
  EXPECT_EQ(got, "hsqs");
  FILE *f = OpenCFile(image, "rb");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(fgetc(f), 'h');
  fclose(f);
  const std::string copy = JoinPath(kit, "\xD0\xBA.bak"), moved = JoinPath(kit, "\xD0\xBC");
  EXPECT_TRUE(CopyLocalFile(image, copy, true));
  EXPECT_TRUE(RenameOver(copy, moved));
  EXPECT_FALSE(PathExists(copy));
  EXPECT_TRUE(DeleteLocalFile(moved));
  EXPECT_TRUE(RemoveTree(kit));
  EXPECT_FALSE(PathExists(kit));
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
  const std::string program = ProgramPath();
  ASSERT_FALSE(program.empty());
  EXPECT_TRUE(IsRegularFile(program));
  EXPECT_EQ(JoinPath("", "a"), "a");
  EXPECT_EQ(JoinPath("d/", "a"), "d/a");
  EXPECT_EQ(JoinPath("d\\", "a"), "d\\a");
  EXPECT_EQ(DirectoryOf("C:\\kit\\Velmora.exe"), "C:\\kit");
  EXPECT_EQ(DirectoryOf("/opt/kit/velmora"), "/opt/kit");
  EXPECT_EQ(DirectoryOf("velmora"), "");
}

}  // namespace
}  // namespace platform
}  // namespace velmora
