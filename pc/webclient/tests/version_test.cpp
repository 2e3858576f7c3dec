// The version check table, the kit's platform list and image lookup.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "fake_server.h"
#include "platform/files.h"
#include "webclient/gateway_client.h"

namespace velmora {
namespace {

using testing::FakeServer;
using testing::Reply;
using testing::ScopedCurrentDir;
using testing::ScopedTestEnv;
using testing::ServePages;

TEST(Version, ParseVersionSplitsFields) {
  VersionParts p;
  ASSERT_TRUE(CGatewayClient::ParseVersion("3.60.1.0.4-Ab", p));
  EXPECT_EQ(p.dots, 4);
  EXPECT_EQ(p.fields, (std::vector<std::string>{"3", "60", "1", "0", "4", "AB"}));
  ASSERT_TRUE(CGatewayClient::ParseVersion("XY-3.60.2.0.1b-gq", p));
  EXPECT_EQ(p.fields, (std::vector<std::string>{"3", "60", "2", "0", "1b", "GQ"}));
  EXPECT_TRUE(CGatewayClient::ParseVersion("1.2.3.4.5.6.7.8.9.10.11-Z", p));
  EXPECT_FALSE(CGatewayClient::ParseVersion("1.2.3.4.5.6.7.8.9.10.11.12-Z", p));
  EXPECT_FALSE(CGatewayClient::ParseVersion("3.60.1.0-GQ", p));   // three dots
  EXPECT_FALSE(CGatewayClient::ParseVersion("3.60.1.0.4", p));    // no platform
  EXPECT_FALSE(CGatewayClient::ParseVersion("3.60.1.0.4-G.Q", p));  // dot in name
  EXPECT_FALSE(CGatewayClient::ParseVersion("XY-", p));
}

class VersionTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "upgrade.ini"),
                                         "  gq\nGQ  XX  Gz\n"));
  }
  void Kit(const std::string &version) {
    ASSERT_TRUE(platform::WriteWholeFile(
        platform::JoinPath(env.kitDir, "config.xml"),
        "<?xml version=\"1.0\"?>\n<Config Version=\"" + version + "\" build=\"7\">\n"));
  }
  // Runs the check on a running version; returns VersionError, or -1 when it
  // passed.
  int Check(const char *running, const char *kit, int &prepare) {
    if (kit) Kit(kit);
    CGatewayClient c;
    env.Place(c);
    c.ReadUpgradeList();
    prepare = 0;
    return c.CompareWithKit(running, prepare) ? -1 : c.VersionError;
  }
  ScopedTestEnv env;
};

TEST_F(VersionTable, ListedExamples) {
  int prepare;
  EXPECT_EQ(Check("3.60.1.0.5-GQ", "3.60.1.0.5-GQ", prepare), -1);
  EXPECT_EQ(prepare, 1);
  EXPECT_EQ(Check("3.60.1.0.4-GQ", "3.60.1.0.5-GQ", prepare), -1);
  EXPECT_EQ(prepare, 0);
  EXPECT_EQ(Check("3.60.2.0.1-GQ", "3.60.2.0.2-GQ", prepare), -1);
  EXPECT_EQ(prepare, 1);
  EXPECT_EQ(Check("3.61.3.0.1-GQ", "3.61.3.0.1-GQ", prepare), -1);
  EXPECT_EQ(prepare, 0);
  EXPECT_EQ(Check("3.60.2.0.1-GQ", "3.60.1.9.9-GQ", prepare), 7);
  EXPECT_EQ(Check("3.60.2.0.1b-GQ", "3.60.2.0.1a-GQ", prepare), 7);
  EXPECT_EQ(Check("3.60.2.0.1b-GQ", "3.60.2.0.1-GQ", prepare), -1);
  EXPECT_EQ(Check("3.60.2.0.1a-GQ", "3.60.2.0.1b-GQ", prepare), -1);
  EXPECT_EQ(Check("3.60.2.0.1-GQ", "3.60.2.0.1.0-GQ", prepare), 6);
  EXPECT_EQ(Check("3.60.2.0.1-GQ", "3.60.2.0.1-GZ", prepare), 6);
  EXPECT_EQ(Check("XY-3.60.2.0.1-GQ", "3.60.2.0.1-GQ", prepare), -1);
  EXPECT_EQ(Check("3.60.2.0.1-GQ", "3.60.2.1-GQ", prepare), 5);
  EXPECT_EQ(Check("3.60.2.1-GQ", "3.60.2.0.1-GQ", prepare), 2);
}

TEST_F(VersionTable, PlatformListAndKitFiles) {
  int prepare;
  // "gq" is listed in lower case, but the running name is upper-cased: not
  // listed, so the gateway is refused as another platform.
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "upgrade.ini"), "gq"));
  EXPECT_EQ(Check("3.60.2.0.1-gq", "1.0.0.0.0-GQ", prepare), 6);
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "upgrade.ini"), "GQ GX"));
  EXPECT_EQ(Check("3.60.1.0.4-ZZ", "3.60.1.0.5-GQ", prepare), 6);
  // A byte-order mark does not hide the first entry.
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "upgrade.ini"), "\xEF\xBB\xBFGQ GX"));
  EXPECT_EQ(Check("3.60.1.0.4-GQ", "3.60.1.0.5-GQ", prepare), -1);
  // No upgrade.ini: nothing is listed, every gateway is refused.
  platform::DeleteLocalFile(platform::JoinPath(env.kitDir, "upgrade.ini"));
  EXPECT_EQ(Check("3.60.2.0.1-GQ", "1.0.0.0.0-GQ", prepare), 6);

  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "upgrade.ini"), "GQ"));
  platform::DeleteLocalFile(platform::JoinPath(env.kitDir, "config.xml"));
  EXPECT_EQ(Check("3.60.2.0.1-GQ", nullptr, prepare), 3);  // no config.xml
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "config.xml"),
                                       "<Config name=\"x\">\n"));
  EXPECT_EQ(Check("3.60.2.0.1-GQ", nullptr, prepare), 4);
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "config.xml"),
                                       "<config version=\"3.60.2.0.1-GQ\n"));
  EXPECT_EQ(Check("3.60.2.0.1-GQ", nullptr, prepare), 4);  // closing quote missing

  // At most 101 entries are kept.
  std::string many;
  for (int i = 0; i < 150; i++) many += "G" + std::to_string(i) + " ";
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "upgrade.ini"), many));
  CGatewayClient c;
  env.Place(c);
  c.ReadUpgradeList();
  EXPECT_EQ(c.platformList.size(), 101u);
  EXPECT_EQ(c.platformList.back(), "G100");
}

TEST_F(VersionTable, CheckAgainstTheGatewayPages) {
  FakeServer server(ServePages({
      {"cgi-bin/webcm?getpage=../html/qorn.html",
       Reply::Page("Kestrelon\nvar con_name[con_cnt] = \"connection0\";\n"
                   "con_type[con_cnt]=\"pppoe\";\n")},
      {"cgi-bin/webcm?getpage=../html/status_real.html",
       Reply::Page("Kestrelon\n form.sta_version.value = \"3.60.2.0.1-GQ\";\n")},
  }));
  Env().httpPort = server.port();
  CGatewayClient c;
  env.Place(c);
  c.gatewayAddress = "127.0.0.1";
  int prepare = 5;
  {
    // Started from a shortcut, the program's current folder is another one,
    // here with another kit's files: the kit folder's count.
    std::string elsewhere = platform::JoinPath(env.localDir, "elsewhere");
    ASSERT_TRUE(platform::MakeDirectories(elsewhere));
    ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(elsewhere, "config.xml"),
                                         "<config version=\"3.60.9.0.0-GQ\">\n"));
    ScopedCurrentDir cwd(elsewhere);
    Kit("3.60.2.0.0-GQ");
    EXPECT_FALSE(c.CheckFirmwareVersion(prepare));
    EXPECT_EQ(c.VersionError, 7);
    EXPECT_EQ(prepare, 1);
    EXPECT_STREQ(VersionErrorMessage(c.VersionError),
                 "Can not upgrade back to the previous firmware version.");
  }
  ASSERT_TRUE(server.WaitForConnections(3));
  EXPECT_EQ(server.Paths()[2],
            "cgi-bin/webcm?getpage=../html/status_real.html&var:conname=connection0"
            "&var:contype=pppoe&var:sub");

  // A version that cannot be read refuses the upgrade with error 1: the
  // connection not named, no version shown, the page cut short of the
  // length it announced, or cut inside the value.
  const std::string qorn = "cgi-bin/webcm?getpage=../html/qorn.html";
  const std::string status = "cgi-bin/webcm?getpage=../html/status_real.html";
  const Reply named = Reply::Page("Kestrelon con_name[con_cnt]=\"c\" con_type[con_cnt]=\"t\"");
  const std::map<std::string, Reply> unreadable[] = {
      {{"cgi-bin/", Reply::Page("Kestrelon")}},
      {{qorn, named}, {status, Reply::Page("Kestrelon")}},
      {{qorn, named},
       {status, Reply::Raw("HTTP/1.1 200 OK\r\nContent-Length: 200\r\n\r\nKestrelon "
                           "form.sta_version.value = \"3.60.2.0.1-GQ\";")}},
      {{qorn, named}, {status, Reply::Page("Kestrelon form.sta_version.value = \"3.60.2")}},
  };
  for (const auto &pages : unreadable) {
    FakeServer gateway(ServePages(pages));
    Env().httpPort = gateway.port();
    prepare = 5;
    EXPECT_FALSE(c.CheckFirmwareVersion(prepare));
    EXPECT_EQ(c.VersionError, 1);
    EXPECT_EQ(prepare, 0);
  }
}

TEST(Version, FindImageFileNeedsExactlyOne) {
  ScopedTestEnv env;
  CGatewayClient c;
  env.Place(c);
  std::string name;
  EXPECT_FALSE(c.FindImageFile(name));
  EXPECT_EQ(name, "");
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "prepare.bin"), "p"));
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "fw-3.60.IMG"), "i"));
  // Whole names only, as velmora-kit checks: never a Windows 8.3 alias.
  for (const char *other : {"fw-3.59.img.bak", "fw-3.60.imgx", "fw-3.60.IMG.minisig"})
    ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, other), "o"));
  EXPECT_TRUE(c.FindImageFile(name));
  EXPECT_EQ(name, "fw-3.60.IMG");
  ASSERT_TRUE(platform::WriteWholeFile(platform::JoinPath(env.kitDir, "zz.img"), "i"));
  name.clear();
  EXPECT_FALSE(c.FindImageFile(name));
  EXPECT_FALSE(name.empty());
}

}  // namespace
}  // namespace velmora
