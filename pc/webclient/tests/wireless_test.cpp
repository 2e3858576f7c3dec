// The wireless settings read byte for byte for given pages, their replay,
// and the check that only the wizard's own backup is posted.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "fake_server.h"
#include "platform/files.h"
#include "webclient/gateway_client.h"

namespace velmora {
namespace {

using testing::FakeServer;
using testing::Reply;
using testing::ScopedTestEnv;
using testing::ServePages;

const char kPage[] = "cgi-bin/webcm?getpage=../html/";
const char kConn[] = "var:conname=connection0&var:contype=pppoe";

std::string Field(const std::string &name, const std::string &value) {
  return "<input type=\"hidden\" name=\"ap:settings/" + name + "\" value=\"" + value +
         "\" id=\"ui_" + name + "\">\n";
}

// The pages of a gateway with the access point on, WEP security, an access
// list and two bgmode lines; tests change what they need.
struct Gateway {
  std::map<std::string, std::string> ssid = {
      {"channel", "6"},   {"ssid", "my net&co"}, {"privacy_type", "1"},
      {"interval", "300"}, {"psktype", "0"},      {"wep_auth_type", "2"},
      {"wep_privacy", "1"}};
  std::string ssidExtra;
  bool enabled = true;
  std::map<std::string, std::string> wep = {
      {"privacy_type", "1"}, {"wep_privacy", "1"},      {"wep_auth_type", "2"},
      {"key_id", "1"},       {"key_value1", "0123456789"}, {"key_len1", "64"},
      {"key_value2", "00 11 22 33 44 55 66 77 88 99 aa bb cc"}, {"key_len2", "128"},
      {"key_value3", ""},    {"key_len3", "64"},        {"key_value4", "abcdeabcde"},
      {"key_len4", "64"}};
  std::map<std::string, std::string> dot1x = {
      {"ap_enabled", "1"},    {"privacy_type", "2"},    {"wep_privacy", "0"},
      {"radius_ip", "10.0.0.5"}, {"radius_port", "1812"}, {"radius_secret", "s e&c"},
      {"interval", "600"}};
  std::map<std::string, std::string> wpa = {
      {"ap_enabled", "1"},  {"privacy_type", "3"},     {"wep_privacy", "0"},
      {"radius_ip", "10.0.0.9"}, {"radius_port", "1645"}, {"radius_secret", "rs"},
      {"interval", "900"},  {"psktype", "2"},          {"pskvalue", "pass phrase"}};
  std::string access =
      "list_init[i++]='00:11:22:33:44:55';list_init[i++]='66:77:88:99:AA:BB';\n"
      "list_init[i++]='';\n" + Field("access_type", "1");
  std::string apadv = Field("bgmode", "2") + "<p>\n" + Field("bgmode", "3") +
                      Field("hidden_ssid", "1");
  std::string connection = "pppoe";

  static std::string Fields(const std::map<std::string, std::string> &m) {
    std::string s = "<html>Kestrelon\n";
    for (auto &kv : m) s += Field(kv.first, kv.second);
    return s;
  }
  FakeServer::Script Script() const {
    std::string ssidPage = Fields(ssid) + ssidExtra;
    if (enabled)
      ssidPage += "<input name=\"ap:settings/ap_enabled\" value=\"1\" id=\"uiPostAPEnabled\">\n";
    return ServePages({
        {"cgi-bin/webcm?getpage=../mon/conn.inf", Reply::Page(connection)},
        {std::string(kPage) + "custom_setup_ssid.html", Reply::Page(ssidPage)},
        {std::string(kPage) + "custom_setup_wep.html", Reply::Page(Fields(wep))},
        {std::string(kPage) + "custom_setup_8021x.html", Reply::Page(Fields(dot1x))},
        {std::string(kPage) + "custom_setup_wpa.html", Reply::Page(Fields(wpa))},
        {std::string(kPage) + "custom_setup_access.html",
         Reply::Page("Kestrelon\n" + access)},
        {std::string(kPage) + "custom_setup_apadv.html", Reply::Page("Kestrelon\n" + apadv)},
        {"cgi-bin/webcm", Reply::Page("")},
    });
  }
};

const std::string kMainWep = std::string(kConn) +
    "&ap:settings/ap_enabled=1&ap:settings/channel=6&ap:settings/ssid=my+net%26co"
    "&ap:settings/privacy_type=1&ap:settings/interval=300&ap:settings/psktype=0"
    "&ap:settings/wep_auth_type=2&ap:settings/wep_privacy=1";
const std::string kAdvanced = std::string("\n") + kConn + "&ap:settings/bgmode=2\n" + kConn +
                              "&ap:settings/bgmode=3\n" + kConn + "&ap:settings/hidden_ssid=1";
const std::string kList =
    "00:11:22:33:44:55\n66:77:88:99:AA:BB\nap:settings/access_type=1\nconnectiontype=pppoe\n";

class Wireless : public ::testing::Test {
 protected:
  CGatewayClient Client(const FakeServer &server) {
    Env().httpPort = server.port();
    CGatewayClient c;
    env.Place(c);
    c.gatewayAddress = "127.0.0.1";
    return c;
  }
  // The main file's text as read ("<missing>" when nothing was); the
  // access list in `saved`.
  std::string Backup(const Gateway &g, int expected = 1) {
    FakeServer server(g.Script());
    CGatewayClient c = Client(server);
    EXPECT_EQ(c.BackupWireless(saved), expected);
    server.Stop();
    paths = server.Paths();
    received = server.Received();
    // Whatever the wizard saves, it takes back.
    std::string why;
    if (expected > 0) {
      EXPECT_TRUE(CheckWirelessBackup(saved, &why)) << why;
    }
    return saved.ssid.empty() ? "<missing>" : saved.ssid;
  }
  std::string List() const { return saved.accessList.empty() ? "<missing>" : saved.accessList; }
  ScopedTestEnv env;
  WirelessSettings saved;
  std::vector<std::string> paths;
  std::vector<std::string> received;
};

TEST_F(Wireless, WepBackupWithListAndAdvancedLines) {
  Gateway g;
  std::string wep = std::string("\n") + kConn +
      "&ap:settings/privacy_type=1&ap:settings/wep_privacy=1&ap:settings/wep_auth_type=2"
      "&ap:settings/key_id=1&ap:settings/key_value1=++++0123456789&ap:settings/key_len1=64"
      "&ap:settings/key_value2=00+11+22+33+44+55+66+77+88+99+aa+bb+cc&ap:settings/key_len2=128"
      "&ap:settings/key_value3=++++&ap:settings/key_len3=64"
      "&ap:settings/key_value4=++++abcdeabcde&ap:settings/key_len4=64";
  EXPECT_EQ(Backup(g), kMainWep + wep + kAdvanced);
  EXPECT_EQ(List(), kList);
  ASSERT_EQ(paths.size(), 5u);
  EXPECT_EQ(paths[1], std::string(kPage) +
                          "custom_setup_ssid.html&var:conname=connection0&var:contype=pppoe");
  EXPECT_EQ(paths[3].rfind(std::string(kPage) + "custom_setup_access.html&var:conname="
                           "connection0&var:contype=pppoe&ap:settings/ap_enabled=1"
                           "&ap:settings/channel=6&ap:settings/ssid=my",
                           0),
            0u);
}

TEST_F(Wireless, OtherSecurityLines) {
  Gateway g;
  g.ssid["privacy_type"] = "2";
  const std::string main2 = std::string(kConn) +
      "&ap:settings/ap_enabled=1&ap:settings/channel=6&ap:settings/ssid=my+net%26co"
      "&ap:settings/privacy_type=2&ap:settings/interval=300&ap:settings/psktype=0"
      "&ap:settings/wep_auth_type=2&ap:settings/wep_privacy=1";
  EXPECT_EQ(Backup(g), main2 + "\n" + kConn +
                           "&ap:settings/privacy_type=2&ap:settings/radius_ip=10.0.0.5"
                           "&ap:settings/radius_port=1812&ap:settings/radius_secret=s+e%26c"
                           "&ap:settings/interval=600" + kAdvanced);

  g.ssid["privacy_type"] = "3";
  struct {
    const char *psktype;
    std::string tail;
  } wpa[] = {
      {"0", "&ap:settings/radius_ip=10.0.0.9&ap:settings/radius_port=1645"
            "&ap:settings/radius_secret=rs&ap:settings/interval=900&ap:settings/psktype=0"},
      {"2", "&ap:settings/interval=900&ap:settings/psktype=2&ap:settings/pskvalue=pass+phrase"},
      {"1", ""},
  };
  for (auto &w : wpa) {
    g.wpa["psktype"] = w.psktype;
    std::string file = Backup(g);
    std::string line = std::string("\n") + kConn + "&ap:settings/privacy_type=3" + w.tail +
                       "&grp_interval=900\n";
    EXPECT_NE(file.find(line), std::string::npos) << w.psktype << "\n" << file;
  }

  // No security: the main line stops after privacy_type; no security page.
  g.ssid["privacy_type"] = "0";
  EXPECT_EQ(Backup(g), std::string(kConn) +
                           "&ap:settings/ap_enabled=1&ap:settings/channel=6"
                           "&ap:settings/ssid=my+net%26co&ap:settings/privacy_type=0" + kAdvanced);
  EXPECT_EQ(paths.size(), 4u);
}

TEST_F(Wireless, AccessListLinesAndAccessTypeZero) {
  Gateway g;
  g.ssid["privacy_type"] = "0";
  // All entries on one line, an empty entry ending its line, and an empty
  // entry followed by more text (whose next 17 characters are taken).
  g.access = "x list_init[i++]='AA:AA:AA:AA:AA:01';list_init[i++]='AA:AA:AA:AA:AA:02';"
             "list_init[i++]='AA:AA:AA:AA:AA:03';\nlist_init[i++]='';\n"
             "list_init[i++]='';<b>more text here</b>\n" + Field("access_type", "2") +
             "list_init[i++]='BB:BB:BB:BB:BB:BB';\n";
  Backup(g);
  EXPECT_EQ(List(),
            "AA:AA:AA:AA:AA:01\nAA:AA:AA:AA:AA:02\nAA:AA:AA:AA:AA:03\n';<b>more text he\n"
            "ap:settings/access_type=2\nconnectiontype=pppoe\n");

  g.access = "list_init[i++]='00:11:22:33:44:55';\n" + Field("access_type", "0");
  Backup(g);
  EXPECT_EQ(List(), "<missing>");
  EXPECT_EQ(env.ReadLocal("C:\\zuntmp.dat").find("list_init"), std::string::npos);
}

TEST_F(Wireless, AccessPageAddressEscapesWhatCannotStandInARequestLine) {
  // A blank in the SSID used to end the request target early: the gateway
  // refused the request and the access list was lost without a word.
  Gateway g;
  g.ssid["privacy_type"] = "0";
  g.ssid["ssid"] = "a b%c#d?e&f/g\t\x7f\xe9";
  std::string file = Backup(g);
  ASSERT_EQ(received.size(), 4u);
  const std::string line =
      std::string("GET /") + kPage + "custom_setup_access.html&" + kConn +
      "&ap:settings/ap_enabled=1&ap:settings/channel=6"
      "&ap:settings/ssid=a%20b%25c%23d%3Fe%26f/g%09%7F%E9&ap:settings/privacy_type=0 HTTP/1.1\r\n";
  EXPECT_EQ(received[2].substr(0, line.size()), line);
  EXPECT_EQ(List(), kList);
  // The form bodies carry it form-encoded.
  EXPECT_NE(file.find("&ap:settings/ssid=a+b%25c#d?e%26f/g%09%7F%E9&"), std::string::npos) << file;
}

TEST_F(Wireless, NothingToSaveOrNotReadable) {
  // Nothing to save: the access point is off, or the connection is none of
  // the five.
  Gateway g;
  g.enabled = false;
  EXPECT_EQ(Backup(g, 0), "<missing>");
  g = Gateway();
  g.connection = "unknown";
  EXPECT_EQ(Backup(g, 0), "<missing>");
  EXPECT_EQ(paths.size(), 1u);
  // Settings that cannot be read whole: -1, and no half backup is left.
  g = Gateway();
  g.ssid.erase("psktype");  // six of seven keys
  EXPECT_EQ(Backup(g, -1), "<missing>");
  g = Gateway();
  g.ssidExtra = Field("channel", "11");  // seven keys, one of them twice
  EXPECT_EQ(Backup(g, -1), "<missing>");
  g = Gateway();
  g.wep.erase("key_len4");  // the WEP keys could not be restored
  EXPECT_EQ(Backup(g, -1), "<missing>");
  EXPECT_EQ(List(), "<missing>");
  // A value without its end is no value, not an empty one.
  g = Gateway();
  g.ssid.erase("ssid");
  g.ssidExtra = "<input name=\"ap:settings/ssid\" value=\"home\">\n";
  EXPECT_EQ(Backup(g, -1), "<missing>");
  // A NUL byte cannot go back through the gateway's form: nothing is saved,
  // and the text says which setting holds it; written raw or as a
  // character reference.
  for (const std::string &nul : {std::string("ab\0cd", 5), std::string("ab&#0;cd"),
                                std::string("ab&#x00;cd")}) {
    for (const char *page : {"ssid", "wep"}) {
      g = Gateway();
      (std::string(page) == "ssid" ? g.ssid["ssid"] : g.wep["key_value4"]) = nul;
      FakeServer server(g.Script());
      CGatewayClient c = Client(server);
      WirelessSettings read;
      EXPECT_EQ(c.BackupWireless(read), -1) << page << " " << nul.size();
      EXPECT_NE(c.problem.find(std::string(page) == "ssid" ? "setting ssid holds a NUL"
                                                          : "setting key_value4 holds a NUL"),
                std::string::npos) << c.problem;
      EXPECT_EQ(read.ssid, "");
      EXPECT_EQ(read.accessList, "");
    }
  }
  g = Gateway();
  g.access = "list_init[i++]='00:11:22:33:44" + std::string(1, '\0') + ":55';\n" +
             Field("access_type", "1");
  EXPECT_EQ(Backup(g, -1), "<missing>");
  // Reading touches no backup file: those are their owner's.
  env.WriteLocal("C:\\Ssid", "kept");
  EXPECT_NE(Backup(Gateway()), "kept");
  EXPECT_EQ(env.ReadLocal("C:\\Ssid"), "kept");
  EXPECT_EQ(env.ReadLocal("C:\\AccessList"), "<missing>");
}

TEST_F(Wireless, AdvancedPageBelowItsThresholdKeepsItsLines) {
  Gateway g;
  g.ssid["privacy_type"] = "0";
  g.apadv = Field("bgmode", "1");  // below the threshold of 2
  std::string file = Backup(g);
  EXPECT_EQ(file.substr(file.size() - 21), "&ap:settings/bgmode=1");
}

TEST_F(Wireless, ValuesComeBackAsTheyWere) {
  // Shown on the page with character references; posted form-encoded;
  // lines of any length.
  Gateway g;
  g.ssid["privacy_type"] = "3";
  g.ssid["ssid"] = "a+b c";
  g.wpa["pskvalue"] = "say &quot;hi&quot; 100%41 &amp; &#60;&#x3e;" + std::string(2000, 'k');
  g.access = "";
  for (int i = 0; i < 80; i++) g.access += "list_init[i++]='AA:AA:AA:AA:AA:" + std::to_string(10 + i) + "';";
  g.access += "\n" + Field("access_type", "1");
  // Bytes, not lines: line ends and other control bytes inside a value.
  g.wpa["radius_secret"] = "two\r\nlines\x01\x1a\xff";
  g.wpa["psktype"] = "0";
  std::string file = Backup(g);
  EXPECT_NE(file.find("&ap:settings/radius_secret=two%0D%0Alines%01%1A%FF&"), std::string::npos)
      << file;
  g.wpa["psktype"] = "2";
  g.ssid["ssid"] = "a+b\n c";
  file = Backup(g);
  EXPECT_NE(file.find("&ap:settings/ssid=a%2Bb%0A+c&"), std::string::npos) << file;
  EXPECT_NE(file.find("&ap:settings/pskvalue=say+\"hi\"+100%2541+%26+<>" + std::string(2000, 'k') +
                      "&grp_interval=900"),
            std::string::npos);
  std::string list = List();
  EXPECT_NE(list.find("AA:AA:AA:AA:AA:89\nap:settings/access_type=1"), std::string::npos) << list;
  EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 82);
}

TEST_F(Wireless, VerifyReadsTheSettingsBack) {
  Gateway g;
  Backup(g);
  const WirelessSettings backup = saved;
  FakeServer same(g.Script());
  CGatewayClient c = Client(same);
  EXPECT_EQ(c.VerifyWireless(backup), 1);
  g.wep["key_value2"] = "00 11 22 33 44 55 66 77 88 99 aa bb cd";
  FakeServer changed(g.Script());
  Env().httpPort = changed.port();
  EXPECT_EQ(c.VerifyWireless(backup), 0);
  g.enabled = false;
  FakeServer off(g.Script());
  Env().httpPort = off.port();
  EXPECT_EQ(c.VerifyWireless(backup), 0);
  // Every byte counts, after a line end too.
  g = Gateway();
  g.ssid["ssid"] = "home\nnet";
  Backup(g);
  const WirelessSettings withLineEnd = saved;
  g.ssid["ssid"] = "home\nNET";
  FakeServer other(g.Script());
  Env().httpPort = other.port();
  EXPECT_EQ(c.VerifyWireless(withLineEnd), 0);
  // Nothing is moved or written aside meanwhile: the scratch page at most.
  for (const char *pattern : {"Ssid*", "AccessList*", "*Bak"})
    EXPECT_EQ(platform::FindFiles(env.localDir, pattern), std::vector<std::string>{}) << pattern;
}

std::string PostBody(const std::string &raw) {
  size_t start = raw.find("\r\n\r\n");
  if (start == std::string::npos || raw.size() < start + 8) return "<no body>";
  return raw.substr(start + 4, raw.size() - start - 8);
}

TEST_F(Wireless, RestorePostsInOrder) {
  FakeServer server(Gateway().Script());
  CGatewayClient c = Client(server);
  c.userName = "admin";
  EXPECT_TRUE(c.RestoreWireless({kMainWep + kAdvanced, kList}));
  ASSERT_TRUE(server.WaitForConnections(6));
  std::vector<std::string> got = server.Received();
  ASSERT_EQ(got.size(), 6u);
  EXPECT_EQ(PostBody(got[0]), kMainWep);
  EXPECT_EQ(PostBody(got[1]), std::string(kConn) + "&ap:settings/bgmode=2");
  EXPECT_EQ(PostBody(got[3]), std::string(kConn) + "&ap:settings/hidden_ssid=1");
  EXPECT_EQ(PostBody(got[4]), std::string(kConn) +
                                  "&ap:settings/access_type=1&ap:settings/mac_add=00:11:22:33:44:55");
  EXPECT_EQ(PostBody(got[5]), std::string(kConn) +
                                  "&ap:settings/access_type=1&ap:settings/mac_add=66:77:88:99:AA:BB");
  EXPECT_NE(got[0].find("Authorization: Basic"), std::string::npos);
  EXPECT_EQ(env.clock.PumpingSleeps(), std::vector<uint32_t>(5, 1000));

  // Only the main line: exactly one body.
  EXPECT_TRUE(c.RestoreWireless({kMainWep, ""}));
  ASSERT_TRUE(server.WaitForConnections(7));
  EXPECT_EQ(server.Received().size(), 7u);
}

TEST_F(Wireless, FailedPostsAreFailures) {
  int deadPort;
  {
    FakeServer gone([](testing::FakeConnection &) {});
    deadPort = gone.port();
  }
  Env().httpPort = deadPort;
  CGatewayClient c;
  env.Place(c);
  c.gatewayAddress = "127.0.0.1";
  const WirelessSettings backup{kMainWep, kList};
  EXPECT_FALSE(c.RestoreWireless(backup));
  EXPECT_FALSE(c.RestoreAccessList(kList));

  // Sent is not taken: a gateway that answers the posts with 401 did not
  // apply them.
  FakeServer refusing(ServePages({{"cgi-bin/webcm", Reply::Unauthorized()}}));
  Env().httpPort = refusing.port();
  EXPECT_FALSE(c.RestoreWireless(backup));
  FakeServer server(Gateway().Script());
  Env().httpPort = server.port();
  EXPECT_TRUE(c.RestoreWireless(backup));
}

// A kept backup is a file anyone with the user's rights could have edited:
// only what the wizard itself writes into it is ever posted.
TEST_F(Wireless, OnlyTheWizardsOwnBackupIsPosted) {
  const std::string conn = std::string("\n") + kConn;
  struct {
    std::string ssid, list;
    const char *refusal;  // nullptr: the wizard's own
  } rows[] = {
      {kMainWep + kAdvanced, kList, nullptr},
      {kMainWep + "&sys:admin/password=x", "", "\"sys:admin/password\""},
      {kMainWep + conn + "&ap:settings/ssid", "", "\"ap:settings/ssid\""},  // no value
      {kMainWep + "\nlogic:command/reboot", "", "line 2"},
      {kMainWep + "\nvar:conname=connection0&var:contype=x&ap:settings/ssid=a", "", "line 2"},
      {kMainWep + "\n" + kConn, "", "line 2"},  // nothing to set
      {"", "", "no settings"},
      {kMainWep, "ap:settings/access_type=1&sys:x=y\nconnectiontype=pppoe\n", "access type"},
      {kMainWep, "ap:settings/access_type=1\nconnectiontype=pppoe&a=b\n", "access type"},
      {kMainWep, "ap:settings/access_type=1\nconnectiontype=pppoe\n00:11:22:33:44:55\n",
       "access type"},
      {kMainWep, "00:11:22:33:44:55:66:77\n", "not an address"},
      // What the page showed as an address is one, whatever it holds.
      {kMainWep, "connectiontype=a\nap:settings/access_type=1\nconnectiontype=pppoe\n", nullptr},
  };
  for (const auto &r : rows) {
    const WirelessSettings backup{r.ssid, r.list};
    std::string why;
    EXPECT_EQ(CheckWirelessBackup(backup, &why), r.refusal == nullptr) << r.ssid << "|" << r.list;
    if (!r.refusal) continue;
    EXPECT_NE(why.find(r.refusal), std::string::npos) << why;
    EXPECT_EQ(why.find("=x"), std::string::npos) << "no value is shown: " << why;
    // Refused before the first post: the gateway hears nothing.
    FakeServer server(Gateway().Script());
    CGatewayClient c = Client(server);
    EXPECT_FALSE(c.RestoreWireless(backup));
    EXPECT_NE(c.problem.find(r.refusal), std::string::npos) << c.problem;
    server.Stop();
    EXPECT_TRUE(server.Received().empty());
  }
}

TEST_F(Wireless, RemovingScratchFilesLeavesTheBackup) {
  for (const char *f : {"C:\\tallis.conf", "C:\\zuntmp.dat", "C:\\Ssid", "C:\\AccessList"})
    env.WriteLocal(f, "x");
  CGatewayClient c;
  env.Place(c);
  c.RemoveScratchFiles();
  EXPECT_EQ(platform::FindFiles(env.localDir, "*"),
            (std::vector<std::string>{"AccessList", "Ssid"}));
  c.RemoveScratchFiles();  // nothing there: no error
}

}  // namespace
}  // namespace velmora
