// Web commands and the telnet reboot dialogue.
#include <gtest/gtest.h>

#include <string>

#include "fake_server.h"
#include "platform/clock.h"
#include "webclient/gateway_client.h"

namespace velmora {
namespace {

using testing::FakeConnection;
using testing::FakeServer;
using testing::Reply;
using testing::ScopedTestEnv;
using testing::ServePages;

class Commands : public ::testing::Test {
 protected:
  CGatewayClient Client() {
    CGatewayClient c;
    env.Place(c);
    c.gatewayAddress = "127.0.0.1";
    return c;
  }
  ScopedTestEnv env;
};

// A telnet service: prompt, read the answer line, and so on.
FakeServer::Script Telnet(std::string login, std::string password) {
  return [login, password](FakeConnection &c) {
    c.Send(login);
    if (!c.ReadUntil("\r\n", 5000)) return;
    c.Send(password);
    if (!c.ReadUntil("\r\n", 5000)) return;
    c.Send("\r\nBusyBox built-in shell\r\n# ");
    c.ReadUntil("reboot\r\n", 8000);
  };
}

TEST_F(Commands, TelnetRebootDialogue) {
  struct Case {
    const char *user, *password, *login;
    std::string sent;
  } cases[] = {
      {"", "", "\xff\xfd\x01Login: ", "admin\r\nvemox\r\nreboot\r\n"},
      {"root", "", "gateway login: ", "root\r\nvemox\r\nreboot\r\n"},
      {"root", "s3cret", "LOGIN:", "root\r\ns3cret\r\nreboot\r\n"},
  };
  for (const Case &k : cases) {
    FakeServer server(Telnet(k.login, "Password: "));
    Env().telnetPort = server.port();
    CGatewayClient c = Client();
    c.userName = k.user;
    c.password = k.password;
    EXPECT_TRUE(c.TelnetReboot()) << k.login;
    ASSERT_TRUE(server.WaitForConnections(1));
    EXPECT_EQ(server.Received()[0], k.sent);
  }
  EXPECT_EQ(env.clock.PumpingSleeps().size(), 3u * 5u);
}

TEST_F(Commands, TelnetPromptSplitAcrossBlocks) {
  // 510 bytes of banner put "lo" at the end of the first 512-byte block.
  FakeServer server(Telnet(std::string(510, '=') + "login: ", std::string(510, ' ') + "Password:"));
  Env().telnetPort = server.port();
  CGatewayClient c = Client();
  EXPECT_TRUE(c.TelnetReboot());
  ASSERT_TRUE(server.WaitForConnections(1));
  EXPECT_EQ(server.Received()[0], "admin\r\nvemox\r\nreboot\r\n");
}

// A service that never stops talking, before its prompts or after them,
// ends the dialogue at its deadline; no reboot is sent then.
TEST_F(Commands, TalkativeTelnetServiceCannotHoldTheWizard) {
  env.clock.limitScale = 0.01;  // the dialogue's minute becomes 2 s (and 3 s of silences)
  auto talk = [](FakeConnection &c) {
    for (int i = 0; i < 300 && c.Send(std::string(512, 'x')); i++) c.ReadFor(50);
  };
  struct Case {
    const char *name;
    FakeServer::Script script;
  } cases[] = {
      {"before the login prompt", talk},
      {"after the password",
       [talk](FakeConnection &c) {
         c.Send("login: ");
         c.ReadUntil("\r\n", 5000);
         c.Send("Password: ");
         c.ReadUntil("\r\n", 5000);
         talk(c);
       }},
  };
  for (const Case &k : cases) {
    FakeServer server(k.script);
    Env().telnetPort = server.port();
    CGatewayClient c = Client();
    uint32_t start = platform::TickCount();
    EXPECT_FALSE(c.TelnetReboot()) << k.name;
    EXPECT_LT(platform::TickCount() - start, 8000u) << k.name;
    server.Stop();
    EXPECT_EQ(server.Received()[0].find("reboot"), std::string::npos) << k.name;
  }
}

TEST_F(Commands, TelnetGivesUpWithoutPrompts) {
  FakeServer silent([](FakeConnection &c) { c.ReadFor(2000); });
  Env().telnetPort = silent.port();
  CGatewayClient c = Client();
  EXPECT_FALSE(c.TelnetReboot());
  FakeServer noPrompt(Telnet("Welcome\r\n", "Password: "));
  Env().telnetPort = noPrompt.port();
  EXPECT_FALSE(c.TelnetReboot());
  FakeServer noPassword(Telnet("login: ", "Who are you?"));
  Env().telnetPort = noPassword.port();
  EXPECT_FALSE(c.TelnetReboot());
  ASSERT_TRUE(silent.WaitForConnections(1));
  ASSERT_TRUE(noPrompt.WaitForConnections(1));
  ASSERT_TRUE(noPassword.WaitForConnections(1));
  EXPECT_EQ(silent.Received()[0], "");
  EXPECT_EQ(noPrompt.Received()[0], "");
  EXPECT_EQ(noPassword.Received()[0], "admin\r\n");
}

std::string Body(const std::string &raw) {
  size_t start = raw.find("\r\n\r\n");
  return start == std::string::npos ? "<none>" : raw.substr(start + 4, raw.size() - start - 8);
}

TEST_F(Commands, WebCommands) {
  FakeServer server(ServePages({
      {"cgi-bin/webcm?getpage=../mon/conn.inf", Reply::Page("state: up, mode bridge")},
      {"cgi-bin/webcm", Reply::Page("")},
  }));
  Env().httpPort = server.port();
  CGatewayClient c = Client();
  EXPECT_TRUE(c.StopConnection());
  EXPECT_TRUE(c.SaveAndReboot(true));
  EXPECT_TRUE(c.SaveAndReboot(false));
  EXPECT_TRUE(c.DisableAccessPoint());
  ASSERT_TRUE(server.WaitForConnections(6));
  std::vector<std::string> got = server.Received();
  EXPECT_EQ(Body(got[1]),
            "&logic:command/stop_module=connection0&var:conname=connection0&var:contype=bridge");
  EXPECT_EQ(Body(got[2]), "logic:command/save");
  EXPECT_EQ(Body(got[3]), "logic:command/reboot");
  EXPECT_EQ(Body(got[4]), "logic:command/reboot");
  EXPECT_EQ(Body(got[5]), "ap:settings/ap_enabled=0");
  EXPECT_EQ(env.clock.PumpingSleeps(), std::vector<uint32_t>{7000});

  FakeServer none(ServePages({{"cgi-bin/webcm?getpage=../mon/conn.inf", Reply::Page("adsl")}}));
  Env().httpPort = none.port();
  EXPECT_FALSE(c.StopConnection());
  ASSERT_TRUE(none.WaitForConnections(1));
  EXPECT_EQ(none.Received().size(), 1u);
}

}  // namespace
}  // namespace velmora
