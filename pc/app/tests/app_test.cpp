// The application services: the environment's defaults, the run's local
// paths, the support log, and the backup of the wireless settings with its
// one rule.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include "app/backup.h"
#include "app/environment.h"
#include "app/shown_text.h"
#include "app/support_log.h"
#include "platform/files.h"

namespace velmora {
namespace {

using platform::JoinPath;

// Sets the process's time zone as the TZ variable would (nullptr: unset).
void SetTimeZone(const char *tz) {
#ifdef _WIN32
  _putenv((std::string("TZ=") + (tz ? tz : "")).c_str());
  _tzset();
#else
  if (tz)
    setenv("TZ", tz, 1);
  else
    unsetenv("TZ");
  tzset();
#endif
}

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = platform::MakeTempDirectory("velmora-app-");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { platform::RemoveTree(dir_); }
  std::string Read(const std::string &name) {
    std::string text;
    return platform::ReadWholeFile(JoinPath(dir_, name), &text) ? text : "<missing>";
  }
  std::string dir_;
};

TEST(EnvironmentTest, ProductionDefaultsAndReset) {
  ResetEnv();
  Environment &env = Env();
  EXPECT_EQ(env.httpPort, 80);
  EXPECT_EQ(env.updatePort, 8080);
  EXPECT_EQ(env.telnetPort, 23);
  EXPECT_EQ(env.clock, &SystemClock());
  EXPECT_TRUE(static_cast<bool>(env.isGatewayReachable));
#ifdef _WIN32
  EXPECT_TRUE(DefaultStateDir().empty());
#else
  ASSERT_FALSE(DefaultStateDir().empty());
  EXPECT_TRUE(platform::IsDirectory(DefaultStateDir()));
  EXPECT_EQ(platform::PermissionBits(DefaultStateDir()), 0700);
#endif

  env.httpPort = 1;
  env.clock = nullptr;
  env.isGatewayReachable = [](const char *) { return 7; };
  EXPECT_EQ(Env().clock, &SystemClock()) << "the clock is never null";
  ResetEnv();
  EXPECT_EQ(Env().httpPort, 80);
  EXPECT_NE(Env().isGatewayReachable("127.0.0.1"), 7);
}

TEST_F(AppTest, DriveNamesMapIntoTheRunsStateFolder) {
  EXPECT_EQ(LocalPath(dir_, "C:\\Ssid"), JoinPath(dir_, "Ssid"));
  EXPECT_EQ(LocalPath(dir_, "C:\\zuntmp.dat"), JoinPath(dir_, "zuntmp.dat"));
  EXPECT_EQ(LocalPath("", "C:\\Ssid"), "C:\\Ssid");
}

// The support log goes to users' support requests: no secret may reach it,
// every line carries its time, and nobody but the user reads it.
TEST_F(AppTest, SupportLogStampsEveryLineAndMasksSecrets) {
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
  ASSERT_TRUE(platform::WriteWholeFile(path, std::string()));  // an earlier version's, 0644
  SupportLog("before the log is open");
  ASSERT_TRUE(OpenSupportLog(path));
  EXPECT_EQ(SupportLogPath(), path);
  SupportLog("login as %s with password=%s", "admin", "s3cret");
  SupportLog("two\r\nlines\n");
  SupportLog("version %s", "3.6\x1b]0;x\x07\x9b");
  CloseSupportLog();
#ifndef _WIN32
  EXPECT_EQ(platform::PermissionBits(path), 0600);
#endif
  std::string text;
  ASSERT_TRUE(platform::ReadWholeFile(path, &text));
  EXPECT_EQ(text.find("before"), std::string::npos);
  EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    lines.push_back(text.substr(at, nl - at));
  ASSERT_EQ(lines.size(), 4u) << text;
  for (const std::string &l : lines) {
    int y, mo, d, h, mi, sec, ms, zh, zm;
    char sign = 0;
    EXPECT_EQ(sscanf(l.c_str(), "%4d-%2d-%2d %2d:%2d:%2d.%3d %c%2d:%2d ", &y, &mo, &d, &h, &mi, &sec,
                     &ms, &sign, &zh, &zm), 10) << l;
    EXPECT_TRUE(sign == '+' || sign == '-') << l;
  }
  EXPECT_NE(lines[1].find("login as admin with password=***"), std::string::npos);
  EXPECT_NE(lines[2].find("two  lines"), std::string::npos);
  EXPECT_NE(lines[3].find("version 3.6\\x1B]0;x\\x07\\x9B"), std::string::npos) << lines[3];

  // Each stamp says how far its local time is from UTC, whichever side of
  // it, and by half hours too (a log read in support's own time zone).
  const char *saved = getenv("TZ");
  const std::string before = saved ? saved : "";
  const struct {
    const char *tz, *offset;
  } zones[] = {{"XYZ-5:30", " +05:30 "}, {"XYZ+3", " -03:00 "}, {"UTC0", " +00:00 "}};
  for (const auto &z : zones) {
    SetTimeZone(z.tz);
    const std::string zoned = JoinPath(dir_, std::string("zone-") + std::to_string(&z - zones));
    ASSERT_TRUE(OpenSupportLog(zoned));
    CloseSupportLog();
    ASSERT_TRUE(platform::ReadWholeFile(zoned, &text));
    EXPECT_EQ(text.find(z.offset), 23u) << z.tz << ": " << text;
  }
  SetTimeZone(saved ? before.c_str() : nullptr);
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

// The backup's life, step by step: written whole and owner-only, replaced
// only by a whole new one, read back as written, and gone only once the
// settings were read back equal.
TEST_F(AppTest, BackupLivesByOneRule) {
  const WirelessSettings first{"var:conname=connection0&var:contype=pppoe&ap:settings/ssid=a",
                               "00:11:22:33:44:55\nap:settings/access_type=1\nconnectiontype=pppoe\n"};
  const WirelessSettings second{"var:conname=connection0&var:contype=dhcpc&ap:settings/ssid=b", ""};
  WirelessBackup backup(dir_);
  std::string problem;
  EXPECT_EQ(backup.state(), WirelessBackup::kNone);
  EXPECT_FALSE(backup.OnDisk());
  EXPECT_EQ(backup.Path(), JoinPath(dir_, "Ssid"));

  ASSERT_TRUE(backup.Save(first, &problem)) << problem;
  EXPECT_EQ(backup.state(), WirelessBackup::kSaved);
  EXPECT_TRUE(backup.Kept());
  EXPECT_EQ(Read("Ssid"), first.ssid);
  EXPECT_EQ(Read("AccessList"), first.accessList);
  EXPECT_EQ(platform::FindFiles(dir_, "*.new"), std::vector<std::string>{});
#ifndef _WIN32
  EXPECT_EQ(platform::PermissionBits(JoinPath(dir_, "Ssid")), 0600);
  EXPECT_EQ(platform::PermissionBits(JoinPath(dir_, "AccessList")), 0600);
#endif

  // A save that cannot be completed leaves the backup as it was.
  ASSERT_TRUE(platform::MakeDirectories(JoinPath(dir_, "Ssid.new")));
  WirelessBackup other(dir_);
  EXPECT_FALSE(other.Save(second, &problem));
  EXPECT_NE(problem.find("Ssid.new"), std::string::npos) << problem;
  EXPECT_EQ(other.state(), WirelessBackup::kNone);
  EXPECT_EQ(Read("Ssid"), first.ssid);
  EXPECT_EQ(Read("AccessList"), first.accessList);
  ASSERT_TRUE(platform::RemoveTree(JoinPath(dir_, "Ssid.new")));

  // A whole new one replaces it, access list included.
  ASSERT_TRUE(other.Save(second, &problem)) << problem;
  EXPECT_EQ(Read("Ssid"), second.ssid);
  EXPECT_EQ(Read("AccessList"), "<missing>");

  // Posted back is not back: the files stay until read back equal.
  other.Restored();
  EXPECT_EQ(other.state(), WirelessBackup::kRestored);
  EXPECT_TRUE(other.OnDisk());
  EXPECT_TRUE(other.Verified());
  EXPECT_EQ(other.state(), WirelessBackup::kVerified);
  EXPECT_FALSE(other.Kept());
  EXPECT_EQ(platform::FindFiles(dir_, "*"), std::vector<std::string>{});
}

TEST_F(AppTest, BackupOfAnEarlierRunIsReadAsWritten) {
  WirelessBackup backup(dir_);
  std::string problem;
  EXPECT_FALSE(backup.Load(&problem));
  EXPECT_NE(problem.find(backup.Path()), std::string::npos) << problem;
  EXPECT_EQ(backup.state(), WirelessBackup::kNone);

  // As an earlier version left it on Windows: text mode, readable by all.
  ASSERT_TRUE(platform::WriteWholeFile(JoinPath(dir_, "Ssid"), std::string("line1\r\nline2")));
  ASSERT_TRUE(platform::WriteWholeFile(JoinPath(dir_, "AccessList"),
                                       std::string("ap:settings/access_type=1\r\n")));
  ASSERT_TRUE(backup.Load(&problem)) << problem;
  EXPECT_EQ(backup.state(), WirelessBackup::kSaved);
  EXPECT_EQ(backup.settings().ssid, "line1\nline2");
  EXPECT_EQ(backup.settings().accessList, "ap:settings/access_type=1\n");
#ifndef _WIN32
  EXPECT_EQ(platform::PermissionBits(JoinPath(dir_, "Ssid")), 0600);
#endif
}

}  // namespace
}  // namespace velmora
