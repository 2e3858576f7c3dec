// velmora-cli as a user runs it: the real binary against fake gateway
// services on loopback, with every wait shrunk a thousandfold. The gateway
// is "powered off" by removing the file that its reachability probe looks at.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli_run.h"
#include "contract/image.h"
#include "contract/upload.h"
#include "fake_server.h"
#include "fixtures.h"
#include "platform/files.h"
#include "webclient/base64.h"

namespace velmora {
namespace {

using testing::FakeConnection;
using testing::FakeServer;
using testing::CliRun;
using testing::Between;

const char kBoundaryEnd[] = GWC_CLOSING_LINE;

// The gateway's web server and upgrade service, sharing one state.
class Gateway {
 public:
  Gateway()
      : web_([this](FakeConnection &c) { Serve(c); }),
        update_([this](FakeConnection &c) { Serve(c); }) {}

  int webPort() { return web_.port(); }
  int updatePort() { return update_.port(); }

  std::mutex m;
  std::string login;  // "user:password" when the gateway demands one
  std::string running = "3.60.1.0.4-GQ";
  std::string flashed = "3.60.1.0.5-GQ";  // what runs once an image is taken
  bool apEnabled = true;
  int failUploads = 0;  // the first n uploads are refused
  bool foreign = false;
  std::vector<std::string> posts, uploads;
  std::vector<std::string> methods;  // of every request, in order

  // Misbehaviour, for the hostile cases.
  std::string uploadReply;      // raw reply to every upload, when set
  bool uploadSilent = false;    // reads the upload, then says nothing
  size_t uploadCutAt = 0;       // drops the upload's connection after that many bytes
  size_t uploadStallAt = 0;     // stops reading the upload after that many bytes
  bool uploadStalled = false;   // ... and has got that far
  bool uploadReleased = false;  // ... until this is set
  bool postsRefused = false;    // answers posts with 401 once an image was sent
  std::map<std::string, std::string> rawPages;  // page name -> raw reply
  int pageDelayMs = 0;          // the SSID settings page answers this late
  std::string slowPost;         // a post body answered only after postDelayMs
  int postDelayMs = 0;
  std::vector<std::string> paths;  // of every request, in order
  bool interim = false;         // interim replies (1xx) before every reply
  std::string ssid = "home net";  // as posted (form-decoded), shown raw

 private:
  static std::string Ok(const std::string &body) {
    return "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + body;
  }

  // Reads until `marker` occurs in what arrived from `from` on.
  static bool Await(FakeConnection &c, const std::string &marker, size_t from, int ms) {
    for (int waited = 0; c.received.find(marker, from) == std::string::npos; waited += 50) {
      if (waited >= ms) return false;
      c.ReadFor(50);
    }
    return true;
  }

  void Serve(FakeConnection &c) {
    if (!Await(c, "\r\n\r\n", 0, 5000)) return;
    size_t headEnd = c.received.find("\r\n\r\n") + 4;
    std::string head = c.received.substr(0, headEnd);
    std::string line = head.substr(0, head.find("\r\n"));
    std::string path = Between(line, " /", " HTTP/");
    bool post = line.compare(0, 5, "POST ") == 0;
    {
      std::lock_guard<std::mutex> lock(m);
      methods.push_back(line.substr(0, line.find(' ')));
      paths.push_back(path);
    }
    bool upload = head.find("multipart/form-data") != std::string::npos;
    if (upload && (uploadCutAt || uploadStallAt)) {
      // An unplugged gateway, or one that takes the image ever so slowly.
      size_t at = uploadCutAt ? uploadCutAt : uploadStallAt;
      {
        std::lock_guard<std::mutex> lock(m);
        uploadReleased = false;
      }
      for (int waited = 0; c.received.size() < at && waited < 10000; waited += 50) c.ReadFor(50);
      if (uploadCutAt) {
        c.Close();
        return;
      }
      for (int waited = 0; waited < 10000; waited += 20) {
        {
          std::lock_guard<std::mutex> lock(m);
          uploadStalled = true;
          if (uploadReleased) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      c.Close();
      return;
    }
    if (upload) Await(c, kBoundaryEnd, headEnd, 10000);
    if (upload && uploadSilent) {
      {
        std::lock_guard<std::mutex> lock(m);
        uploads.push_back(path);
      }
      c.ReadFor(4000);
      return;
    }
    else if (post) Await(c, "\r\n\r\n", headEnd, 5000);  // body, then four bytes more
    std::string reply;
    {
      std::lock_guard<std::mutex> lock(m);
      if (!login.empty()) {
        std::string auth = Between(head, "Authorization: Basic ", "\r\n");
        std::vector<char> expected(static_cast<size_t>(Base64EncodedSize(login.size())));
        Base64Encode(reinterpret_cast<const unsigned char *>(login.data()), login.size(),
                     expected.data(), expected.size());
        if (auth != expected.data()) {
          c.Send("HTTP/1.0 401 Unauthorized\r\n\r\n<html>401 Unauthorized</html>");
          c.EndReply();
          return;
        }
      }
      reply = Answer(path, post, upload, c.received);
      for (const auto &raw : rawPages)
        if (!post && path.find(raw.first) != std::string::npos) reply = raw.second;
      if (post && !upload && postsRefused && !uploads.empty())
        reply = "HTTP/1.0 401 Unauthorized\r\n\r\n<html>401 Unauthorized</html>";
      // Another device at the address: its pages lack the maker's name.
      for (size_t p; foreign && (p = reply.find("Kestrelon")) != std::string::npos;)
        reply.replace(p, 9, "Other");
    }
    if (pageDelayMs && path.find("custom_setup_ssid.html") != std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(pageDelayMs));
    if (postDelayMs && post && !slowPost.empty() &&
        c.received.find("\r\n\r\n" + slowPost) != std::string::npos)
      std::this_thread::sleep_for(std::chrono::milliseconds(postDelayMs));
    if (interim)
      reply = "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </401.css>\r\n"
              "\r\n" + reply;
    c.Send(reply);
    c.EndReply();
  }

  static std::string FormDecoded(const std::string &v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
      if (v[i] == '+') {
        out += ' ';
      } else if (v[i] == '%' && i + 2 < v.size()) {
        out += static_cast<char>(std::stoi(v.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        out += v[i];
      }
    }
    return out;
  }

  std::string Answer(const std::string &path, bool post, bool upload,
                     const std::string &request) {
    const std::string page = "cgi-bin/webcm?getpage=../html/";
    if (upload) {
      uploads.push_back(path + " " + Between(request, "name=\"UploadFile\"; filename=\"", "\""));
      if (static_cast<int>(uploads.size()) <= failUploads)
        return Ok("Upgrade failed: bad image");
      if (!uploadReply.empty()) return uploadReply;
      running = flashed;
      return Ok("upgrade result: ok[0]\r\n");
    }
    if (post) {
      std::string body = request.substr(request.find("\r\n\r\n") + 4);
      body = body.substr(0, body.find("\r\n\r\n"));
      posts.push_back(body);
      if (body.find("ap:settings/ap_enabled=0") != std::string::npos) apEnabled = false;
      if (body.find("ap:settings/ap_enabled=1") != std::string::npos) apEnabled = true;
      if (body.find("&ap:settings/ssid=") != std::string::npos)
        ssid = FormDecoded(Between(body + "&", "&ap:settings/ssid=", "&"));
      return Ok("");
    }
    if (path.find("../mon/conn.inf") != std::string::npos) return Ok("pppoe");
    if (path.compare(0, page.size() + 9, page + "qorn.html") == 0)
      return Ok("<html>Kestrelon\nvar con_name[con_cnt] = \"connection0\";\n"
                "var con_type[con_cnt] = \"pppoe\";\n");
    if (path.compare(0, page.size() + 16, page + "status_real.html") == 0)
      return Ok("<html>Kestrelon\n form.sta_version.value = \"" + running + "\";\n");
    if (path.find("custom_setup_ssid.html") != std::string::npos) {
      std::string s = "<html>Kestrelon\n";
      const std::string fields[][2] = {{"channel", "6"},      {"ssid", ssid},
                                       {"privacy_type", "0"}, {"interval", "300"},
                                       {"psktype", "0"},      {"wep_auth_type", "0"},
                                       {"wep_privacy", "0"}};
      for (auto &f : fields)
        s += "<input name=\"ap:settings/" + f[0] + "\" value=\"" + f[1] + "\" id=\"ui_" +
             f[0] + "\">\n";
      if (apEnabled)
        s += "<input name=\"ap:settings/ap_enabled\" value=\"1\" id=\"uiPostAPEnabled\">\n";
      return Ok(s);
    }
    if (path.find("custom_setup_access.html") != std::string::npos)
      return Ok("<html>Kestrelon\n<input name=\"ap:settings/access_type\" value=\"0\" id=\"x\">\n");
    return Ok("<html>Kestrelon\n");
  }

  FakeServer web_, update_;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = platform::MakeTempDirectory("velmora-cli-test");
    kit = root + "/kit";
    state = root + "/state";
    probe = root + "/gateway-on";
    platform::MakeDirectories(kit);
    testing::WriteTestKit(kit, "3.60.1.0.5-GQ", "GQ GX", true, "fw-3.60.1.0.5.img");
    PowerOn();
  }
  void TearDown() override { platform::RemoveTree(root); }

  void SetKitVersion(const std::string &v) {
    platform::WriteWholeFile(kit + "/config.xml",
                             "<?xml version=\"1.0\"?>\n<config version=\"" + v + "\">\n");
  }
  void PowerOn() { platform::WriteWholeFile(probe, std::string("on")); }
  // An image larger than what the sockets between the wizard and the fake
  // gateway hold, so that a gateway that stops reading stops the transfer.
  void BigImage() {
    platform::WriteWholeFile(kit + "/fw-3.60.1.0.5.img",
                             fixtures::Image(GWC_MAGIC_SQUASHFS, 7000000, 1, 'F'));
  }
  void PowerOff() { platform::DeleteLocalFile(probe); }

  std::vector<std::string> Env(const std::string &extra = "") {
    std::vector<std::string> e = {
        "VELMORA_HTTP_PORT=" + std::to_string(gw.webPort()),
        "VELMORA_UPDATE_PORT=" + std::to_string(gw.updatePort()),
        "VELMORA_TELNET_PORT=1",  // nothing listens: a telnet reboot fails
        "VELMORA_PROBE_FILE=" + probe};
    if (!extra.empty()) e.push_back(extra);
    return e;
  }
  std::vector<std::string> Args(bool yes = true) {
    std::vector<std::string> a = {"--gateway", "127.0.0.1", "--kit", kit,
                                  "--time-scale", "0.001", "--state-dir", state};
    if (yes) a.push_back("--yes");
    return a;
  }

  // Unplugs the gateway once the wizard asks for it and plugs it back in
  // once the wizard has seen it go.
  void PowerCycle(CliRun &run) {
    ASSERT_TRUE(run.WaitFor("You are almost complete")) << run.Output();
    PowerOff();
    ASSERT_TRUE(run.WaitFor("The Gateway is rebooting......")) << run.Output();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PowerOn();
  }

  // Whether `pred` holds for the gateway within ms.
  bool GatewaySees(const std::function<bool(Gateway &)> &pred, int ms = 20000) {
    for (int waited = 0; waited < ms; waited += 10) {
      {
        std::lock_guard<std::mutex> lock(gw.m);
        if (pred(gw)) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The backup is there as saved, the user's alone, and named in `output`.
  void ExpectBackupKept(const std::string &output, const std::string &saved) {
    std::string ssid = state + "/Ssid", text;
    ASSERT_TRUE(platform::ReadWholeFile(ssid, &text)) << output;
    EXPECT_EQ(text, saved);
    EXPECT_EQ(platform::PermissionBits(ssid), 0600);
    EXPECT_EQ(platform::PermissionBits(state), 0700);
    EXPECT_EQ(platform::PermissionBits(state + "/velmora-cli.log"), 0600);
    EXPECT_NE(output.find("The saved wireless settings are kept in " + ssid + "."),
              std::string::npos) << output;
  }

  // Empty but for the support log.
  bool StateEmpty() {
    for (const std::string &f : platform::FindFiles(state, "*"))
      if (f.find("velmora-cli.log") == std::string::npos) return false;
    return true;
  }

  Gateway gw;
  std::string root, kit, state, probe;
};

TEST_F(CliTest, WholeUpgradeWithLoginAndWirelessRestore) {
  gw.login = "admin:s3cret";
  gw.running = "3.60.2.0.1-GQ";  // an upgrade in two steps
  gw.flashed = "3.60.2.0.2-GQ";
  SetKitVersion("3.60.2.0.2-GQ");
  // Under --yes the login comes from the environment.
  std::vector<std::string> env = Env("VELMORA_USER=admin");
  env.push_back("VELMORA_PASSWORD=s3cret");
  CliRun run(Args(), env);
  PowerCycle(run);
  EXPECT_EQ(run.Wait(), 0) << run.Output();

  std::string out = run.Output();
  const char *expected[] = {
      "KESTRELON ELECTRONICS INC.",
      "Click \"Next >\" to continue",
      "Now upgrading Firmware!",
      "Checking connection......OK\n",
      "Checking security......OK\n",
      "Checking firmware......\nFirmware version: 3.60.2.0.1-GQ -> 3.60.2.0.2-GQ\n"
      "Checking firmware......DONE\n",
      "Setting up environment......DONE\n",
      "Transfering image......DONE\n",
      "You are almost complete.",
      "\n\n\nThe Gateway is rebooting......DONE\n",
      "Please wait while we restore all the settings......\n\n"
      "Re-configuring Gateway......DONE\nSaving settings......DONE\n",
      "!!! CONGRATULATIONS !!!\nThe Firmware upgrade was successful.",
      "Click \"Finish\" to exit.",
  };
  size_t at = 0;
  for (const char *piece : expected) {
    size_t p = out.find(piece, at);
    ASSERT_NE(p, std::string::npos) << "missing in order: " << piece << "\n" << out;
    at = p + strlen(piece);
  }
  EXPECT_EQ(out.find('\r'), std::string::npos);
  EXPECT_EQ(out.find("s3cret"), std::string::npos);
  // Piped, each file sent (the package, then the image) adds a line per
  // tenth between the page's lines, and the open line is repeated whole.
  EXPECT_NE(out.find("Transfering image......\n  1,024 of 704,000 bytes (0 %)\n"),
            std::string::npos) << out;
  EXPECT_NE(out.find("\n  700,008 of 700,008 bytes (100 %), "), std::string::npos) << out;
  // Once the image is out, what the wizard waits for.
  EXPECT_NE(out.find("\n  waiting for the Gateway to take the image\nTransfering image......DONE"),
            std::string::npos) << out;
  size_t tenths = 0;
  for (size_t p = 0; (p = out.find(" %)", p)) != std::string::npos; ++p) ++tenths;
  EXPECT_EQ(tenths, 22u) << out;
  // The support log in the state folder holds the run, never the password.
  std::string log;
  ASSERT_TRUE(platform::ReadWholeFile(state + "/velmora-cli.log", &log));
  // Its steps, the requests with their outcome, the kit checks, the
  // versions and the verdicts.
  for (const char *line :
       {"Transfering image......DONE", "The Firmware upgrade was successful.", "exit status 0",
        "kit check: ok: config.xml: version 3.60.2.0.2-GQ",
        "version check: the Gateway runs \"3.60.2.0.1-GQ\", the kit holds \"3.60.2.0.2-GQ\"",
        "reply to POST /cgi-bin/webcm HTTP/1.1: HTTP status 200, whole",
        "verdict on fw-3.60.1.0.5.img: accepted",
        "after the restart the Gateway runs \"3.60.2.0.2-GQ\", the kit holds \"3.60.2.0.2-GQ\": "
        "upgrade confirmed",
        "wireless settings read back: equal to the backup",
        "sent 700,008 of 700,008 bytes (100 %)", "for the power cycle"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos) << log;
  // A run that succeeds logs no step as failed.
  EXPECT_EQ(log.find("failed"), std::string::npos) << log;

  std::lock_guard<std::mutex> lock(gw.m);
  EXPECT_EQ(gw.uploads, (std::vector<std::string>{"cgi-bin/dornix prepare.bin",
                                                  "cgi-bin/update fw-3.60.1.0.5.img"}));
  ASSERT_GE(gw.posts.size(), 4u);
  // The access point was switched off, the settings posted back, saved and
  // the gateway rebooted.
  EXPECT_NE(std::find(gw.posts.begin(), gw.posts.end(), "ap:settings/ap_enabled=0"),
            gw.posts.end());
  EXPECT_NE(std::find(gw.posts.begin(), gw.posts.end(),
                      "var:conname=connection0&var:contype=pppoe&ap:settings/ap_enabled=1"
                      "&ap:settings/channel=6&ap:settings/ssid=home+net"
                      "&ap:settings/privacy_type=0"),
            gw.posts.end());
  EXPECT_EQ(gw.posts[gw.posts.size() - 2], "logic:command/save");
  EXPECT_EQ(gw.posts.back(), "logic:command/reboot");
  EXPECT_TRUE(StateEmpty());
}

// What the wizard saves of the fake gateway's settings.
const char kSaved[] =
    "var:conname=connection0&var:contype=pppoe&ap:settings/ap_enabled=1&ap:settings/channel=6"
    "&ap:settings/ssid=home+net&ap:settings/privacy_type=0";

struct Failure {
  const char *name;
  int status;
  const char *text;
  const char *explained;  // on standard error after the text: what failed, what to do
  bool changed = false;   // after a change: the backup stays, and the text says where
};

// Test names (and the listing ctest reads) show the case by name, never the
// bytes of its pointers, which differ from run to run.
void PrintTo(const Failure &f, std::ostream *os) { *os << f.name; }

class CliFailureTest : public CliTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(CliFailureTest, EndsWithItsStatusAndText) {
  const Failure &f = GetParam();
  std::vector<std::string> args = Args();
  std::vector<std::string> env = Env();
  std::string name = f.name;
  if (name == "Unreachable") PowerOff();
  if (name == "NoLogin") gw.login = "admin:pw";
  if (name == "WrongLogin") {
    gw.login = "admin:pw";
    env.push_back("VELMORA_USER=admin");
    env.push_back("VELMORA_PASSWORD=guess");
  }
  if (name == "OtherPlatform") SetKitVersion("3.60.1.0.5-GX");
  if (name == "TransferFails") {
    gw.failUploads = 9;
  }
  if (name == "TransferCutByUnplugging") {
    BigImage();
    gw.uploadCutAt = 3000000;
  }
  if (name == "InvalidAddress") args[1] = "0.0.0.0";
  if (name == "InputEnded") {
    args.erase(args.begin(), args.begin() + 2);  // ask for the address
    args.pop_back();                             // and wait for answers
  }
  if (name == "BadOption") args.push_back("--time-scale=-1");

  // The progress up to "FAILED !" on standard output, the failure text on
  // standard error.
  std::string errFile = root + "/stderr";
  CliRun run(args, env, errFile);
  if (name == "InputEnded") run.CloseInput();  // Ctrl-D at the address prompt
  EXPECT_EQ(run.Wait(), f.status) << run.Output();
  std::string text = f.text, err;
  platform::ReadWholeFile(errFile, &err);
  size_t failed = text.find("FAILED !");
  size_t split = failed == std::string::npos ? 0 : failed + 8;
  EXPECT_NE(run.Output().find(text.substr(0, split)), std::string::npos) << run.Output();
  size_t stars = text.find("***");
  EXPECT_NE(err.find(text.substr(stars == std::string::npos ? split : stars)),
            std::string::npos) << err;
  EXPECT_NE(err.find(f.explained), std::string::npos) << err;
  if (f.changed)
    ExpectBackupKept(err, kSaved);
  else
    EXPECT_TRUE(StateEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, CliFailureTest,
    ::testing::Values(
        Failure{"Unreachable", 4,
                "Checking connection......FAILED !\n\n*** We were unable to connect "
                "to the Kestrelon Gateway !***\n",
                "What failed: the Gateway at 127.0.0.1 does not answer a ping.\nWhat to do: "
                "Check that this computer is connected to the Gateway by cable"},
        Failure{"NoLogin", 5,
                "Checking security......FAILED !\n\n\n*** No userid or password "
                "provided.***\n",
                "asks for a login, and none was given.\nWhat to do: Set VELMORA_USER and "
                "VELMORA_PASSWORD"},
        Failure{"WrongLogin", 6,
                "Checking security......FAILED !\n\n\n*** Invalid userid or "
                "password! ***\n",
                "What failed: the Gateway at 127.0.0.1 did not accept the user name \"admin\""},
        Failure{"OtherPlatform", 7,
                "Checking firmware......FAILED !\n\n\n*** Can not upgrade to the "
                "different hardware platform.***\n",
                "What failed: the Gateway runs firmware version \"3.60.1.0.4-GQ\"; the kit holds "
                "version \"3.60.1.0.5-GX\", for the platforms GQ, GX.\nWhat to do: Get the "
                "upgrade kit made for this Gateway.\nThe log of this run is in "},
        Failure{"TransferFails", 8,
                "Transfering image......FAILED !\n\n\n*** An error occured while "
                "transfering image file !***\n",
                "What failed: POST /cgi-bin/dornix: the Gateway answered that the upload "
                "failed.\n",
                true},
        // The transfer's failure text, what to do on a terminal, what failed and what to
        // do, and where the gateway stands.
        Failure{"TransferCutByUnplugging", 8,
                "Transfering image......FAILED !\n\n\n*** An error occured while "
                "transfering image file !***\n",
                "solid Green, click Back to try again.\nOn this terminal, run velmora-cli again "
                "instead (velmora-cli --restore first, while saved settings are kept).\n"
                "What failed: POST /cgi-bin/dornix: the connection broke while the request was "
                "sent.\nWhat to do: Check that the Gateway is on and that its cable to this "
                "computer is plugged in at both ends, then try again.\n\nThe Gateway's firmware "
                "is unchanged: it runs version 3.60.1.0.4-GQ.\nThis utility paused the Gateway's "
                "Internet connection and switched its Wi-Fi off.\nThe saved wireless settings are "
                "kept in ",
                true},
        Failure{"InvalidAddress", 3, "Invalid IP Address !",
                "'0.0.0.0' is not the address of a Gateway"},
        Failure{"BadOption", 2, "invalid time scale '-1'", ""},
        Failure{"InputEnded", 1,
                "velmora-cli: the input ended before an answer was given; nothing on the "
                "gateway was changed.",
                "To run without questions, give the address with --gateway ADDR and add --yes."}),
    [](const ::testing::TestParamInfo<Failure> &i) { return i.param.name; });

// --check reads and never writes: whatever the outcome, the gateway saw
// only GET requests, and the status is the one a real run would end with.
// It says what the run would send, and what it cannot know: which keys the
// gateway holds. A run after it does what it said.
TEST_F(CliTest, CheckChangesNothingAndSaysWhatTheRunWouldDo) {
  const std::string image = "fw-3.60.1.0.5.img";
  struct Row {
    const char *name;
    int status;
    std::string text;
    std::vector<std::string> uploads;  // of a real run after the check, when given
  } rows[] = {
      {"Passes", 0,
       "This gateway takes an upgrade in two steps: an upgrade would save the wireless settings, "
       "send the kit's preparation package prepare.bin to the gateway and then its firmware image " +
           image + " to the gateway's upgrade service, restart the gateway and write the settings "
           "back.\nprepare.bin is not signed. Which keys the gateway holds cannot be read from it: "
           "a gateway that holds keys refuses prepare.bin with fail[23] before it writes anything; "
           "the upgrade then ends there and says so.\n" + image +
           " goes to the upgrade service without its signature: that service checks none.\n",
       {}},
      {"NoPrepare", 0,
       "This gateway takes an upgrade in two steps, and the kit holds no preparation package "
       "(prepare.bin): an upgrade would save the wireless settings, send the kit's firmware "
       "image " + image + " to the gateway's upgrade service without one,",
       {"cgi-bin/update " + image}},
      {"OneStepSigned", 0,
       "An upgrade would save the wireless settings, send the kit's firmware image " + image +
           " to the gateway, restart the gateway and write the settings back.\n" + image +
           " is signed. Which keys the gateway holds cannot be read from it: a gateway that holds "
           "none takes " + image + " unchecked, and one that holds other keys than the signer's "
           "refuses it with fail[23]",
       {"cgi-bin/dornix " + image}},
      {"NoLogin", 5, "No userid or password provided.", {}},
      {"OtherPlatform", 7, "Can not upgrade to the different hardware platform.", {}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    std::string name = r.name;
    testing::WriteTestKit(kit, "3.60.2.0.2-GQ", "GQ GX", name != "NoPrepare", image);
    if (name == "OneStepSigned") {
      ASSERT_TRUE(platform::WriteWholeFile(kit + "/" + image + ".minisig", std::string("sig")));
    }
    gw.login = name == "NoLogin" ? "admin:pw" : "";
    // An upgrade in two steps, but for the one-step row.
    gw.running = name == "OneStepSigned" ? "3.60.1.0.4-GQ" : "3.60.2.0.1-GQ";
    gw.flashed = "3.60.2.0.2-GQ";
    if (name == "OtherPlatform") SetKitVersion("3.60.2.0.2-GX");
    {
      std::lock_guard<std::mutex> lock(gw.m);
      gw.methods.clear();
      gw.uploads.clear();
    }
    std::vector<std::string> args = Args();
    args.push_back("--check");
    args.push_back("--log=" + root + "/check.log");  // a log of one's own
    CliRun run(args, Env());
    EXPECT_EQ(run.Wait(), r.status) << run.Output();
    EXPECT_NE(run.Output().find(r.text), std::string::npos) << run.Output();
    std::string log;
    platform::ReadWholeFile(root + "/check.log", &log);
    EXPECT_NE(log.find("exit status " + std::to_string(r.status)), std::string::npos) << log;
    {
      std::lock_guard<std::mutex> lock(gw.m);
      EXPECT_FALSE(gw.methods.empty());
      for (const std::string &m : gw.methods) EXPECT_EQ(m, "GET");
      EXPECT_TRUE(gw.uploads.empty());
    }
    EXPECT_TRUE(StateEmpty());
    if (r.uploads.empty()) continue;

    CliRun upgrade(Args(), Env());
    PowerCycle(upgrade);
    EXPECT_EQ(upgrade.Wait(), 0) << upgrade.Output();
    std::lock_guard<std::mutex> lock(gw.m);
    EXPECT_EQ(gw.uploads, r.uploads);
    ASSERT_TRUE(platform::ReadWholeFile(state + "/velmora-cli.log", &log));
    EXPECT_EQ(log.find("failed"), std::string::npos) << log;
    platform::RemoveTree(state);
  }
}

// A hostile or merely slow gateway, one misbehaviour per row. No row may
// end in the success text; each ends with its own status, and the gateway
// must have received only what the row allows.
struct Hostile {
  const char *name;
  std::function<void(Gateway &, const std::string &kit)> setup;
  bool powerCycle;  // the run reaches the restore page
  int status;
  const char *text;
  int uploads;       // images the gateway received
  const char *posts; // "none": nothing changed; "no save"; "saved"
  const char *explained = "";  // also in the output, when given
};

void PrintTo(const Hostile &h, std::ostream *os) { *os << h.name; }

class CliHostileTest : public CliTest, public ::testing::WithParamInterface<Hostile> {};

TEST_P(CliHostileTest, NeverClaimsSuccessWithoutProof) {
  const Hostile &h = GetParam();
  h.setup(gw, kit);
  CliRun run(Args(), Env());
  if (h.powerCycle) PowerCycle(run);
  EXPECT_EQ(run.Wait(60000), h.status) << run.Output();
  std::string out = run.Output();
  EXPECT_EQ(out.find("The Firmware upgrade was successful."), std::string::npos) << out;
  EXPECT_NE(out.find(h.text), std::string::npos) << out;
  EXPECT_NE(out.find(h.explained), std::string::npos) << out;
  // Nothing the gateway sends reaches the terminal or the log as a control
  // character.
  std::string log;
  platform::ReadWholeFile(state + "/velmora-cli.log", &log);
  for (const std::string *text : {&out, &log})
    for (char c : *text)
      EXPECT_TRUE(c == '\n' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f))
          << "control character " << static_cast<int>(static_cast<unsigned char>(c)) << " in\n"
          << *text;
  // The user is never sent to a kit builder's tool; what is wrong with a
  // kit is in the log, for its maker.
  for (const char *tool : {"velmora-kit", "fwtag"}) EXPECT_EQ(out.find(tool), std::string::npos) << out;
  if (h.status == 12) {
    EXPECT_NE(log.find("kit check: error"), std::string::npos) << log;
  }

  std::lock_guard<std::mutex> lock(gw.m);
  EXPECT_EQ(static_cast<int>(gw.uploads.size()), h.uploads);
  bool saved = std::find(gw.posts.begin(), gw.posts.end(), "logic:command/save") != gw.posts.end();
  std::string posts = h.posts;
  if (posts == "none") {
    EXPECT_TRUE(gw.posts.empty());
  } else {
    EXPECT_EQ(saved, posts == "saved");
  }
}

const char kNotConfirmed[] =
    "The Gateway still runs firmware version 3.60.1.0.4-GQ, while the upgrade kit holds "
    "version 3.60.1.0.5-GQ.";
const char kTransferError[] = "*** An error occured while transfering image file !***";
const char kVersionUnknown[] =
    "*** Can not get firmware version from current gateway device.***";

INSTANTIATE_TEST_SUITE_P(
    Rows, CliHostileTest,
    ::testing::Values(
        Hostile{"UploadClosedWithoutVerdict",
                [](Gateway &g, const std::string &) { g.uploadReply = " "; }, true, 10,
                kNotConfirmed, 1, "saved"},
        Hostile{"UploadNoise",
                [](Gateway &g, const std::string &) {
                  g.uploadReply = std::string(5000, '\x9c');
                },
                true, 10, kNotConfirmed, 1, "saved"},
        Hostile{"UploadNeverAnswered", [](Gateway &g, const std::string &) { g.uploadSilent = true; },
                true, 10, kNotConfirmed, 1, "saved"},
        // Flashed or not, the gateway reports the kit's version: said before
        // anything changes, and no success without a verdict.
        Hostile{"AlreadyOnTheKitsVersionWithoutVerdict",
                [](Gateway &g, const std::string &) {
                  g.running = g.flashed = "3.60.1.0.5-GQ";
                  g.uploadReply = " ";
                },
                true, 15, "whether the image was written is not known", 2, "saved",
                "The Gateway already runs firmware version 3.60.1.0.5-GQ, the version of this "
                "upgrade kit; it is installed again.\nChecking firmware......DONE\n"
                "Setting up environment......"},
        Hostile{"Upload404",
                [](Gateway &g, const std::string &) {
                  g.uploadReply = "HTTP/1.0 404 Not Found\r\n\r\nno such page";
                },
                false, 8, kTransferError, 1, "no save"},
        Hostile{"UploadRefusedWithItsCode",
                [](Gateway &g, const std::string &) {
                  g.uploadReply = "HTTP/1.0 200 OK\r\n\r\nupgrade result: fail[14]\r\n";
                },
                false, 8,
                "What failed: POST /cgi-bin/dornix: the Gateway answered fail[14]: the kit's "
                "image is damaged: its checksum does not match its tag.\nWhat to do: This kit "
                "is damaged; get a new one from its maker.",
                1, "no save"},
        Hostile{"Upload500",
                [](Gateway &g, const std::string &) {
                  g.uploadReply = "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n";
                },
                false, 8, kTransferError, 1, "no save"},
        Hostile{"PostsRefusedAfterUpload",
                [](Gateway &g, const std::string &) { g.postsRefused = true; }, true, 9,
                "Your firmware has been upgraded successfully.\n\nHowever, this utility failed",
                1, "no save"},
        Hostile{"EndlessVersionPage",
                [](Gateway &g, const std::string &) {
                  g.rawPages["status_real.html&var:"] =
                      "HTTP/1.0 200 OK\r\n\r\nKestrelon" + std::string(3 << 20, ' ');
                },
                false, 7, kVersionUnknown, 0, "none"},
        Hostile{"VersionPageCutShort",
                [](Gateway &g, const std::string &) {
                  g.rawPages["status_real.html&var:"] =
                      "HTTP/1.1 200 OK\r\nContent-Length: 400\r\n\r\nKestrelon\n"
                      " form.sta_version.value = \"3.60.1.0.4-GQ\";\n";
                },
                false, 7, kVersionUnknown, 0, "none"},
        Hostile{"PlatformNotListed",
                [](Gateway &g, const std::string &) { g.running = "3.60.1.0.4-ZZ"; }, false, 7,
                "*** Can not upgrade to the different hardware platform.***", 0, "none",
                "What failed: the Gateway runs firmware version \"3.60.1.0.4-ZZ\"; the kit holds "
                "version \"3.60.1.0.5-GQ\", for the platforms GQ, GX."},
        Hostile{"VersionWithControlCharacters",
                [](Gateway &g, const std::string &) {
                  g.running = "3.60.1.0.4-GQ\x1b]0;owned\x07\x1b[2J\r";
                },
                false, 7,
                "What failed: the Gateway runs firmware version "
                "\"3.60.1.0.4-GQ\\x1B]0;owned\\x07\\x1B[2J\\x0D\"; the kit holds",
                0, "none"},
        Hostile{"SettingsPageCutShort",
                [](Gateway &g, const std::string &) {
                  g.rawPages["custom_setup_ssid.html"] =
                      "HTTP/1.1 200 OK\r\nContent-Length: 900\r\n\r\n<html>Kestrelon\n";
                },
                false, 13, "The wireless settings could not be read from the Gateway.", 0,
                "none"},
        Hostile{"NameWithNul",
                [](Gateway &g, const std::string &) { g.ssid = std::string("home\0net", 8); },
                false, 13, "The wireless settings could not be read from the Gateway.", 0,
                "none",
                "What failed: the Gateway's wireless setting ssid holds a NUL byte, which the "
                "Gateway's settings form cannot take back."},
        Hostile{"BrokenKit",
                [](Gateway &, const std::string &kit) {
                  platform::WriteWholeFile(kit + "/fw-3.60.1.0.5.img", std::string(700000, 'F'));
                },
                false, 12, "*** This kit is damaged; get a new one from its maker. ***", 0, "none"},
        Hostile{"EmptyKit",
                [](Gateway &, const std::string &kit) {
                  for (const std::string &f : platform::FindFiles(kit, "*"))
                    platform::DeleteLocalFile(kit + "/" + f);
                },
                false, 12, "*** This kit is damaged; get a new one from its maker. ***", 0,
                "none"}),
    [](const ::testing::TestParamInfo<Hostile> &i) { return i.param.name; });

// A gateway that is slow or odd but honest: the upgrade goes through, and
// the settings come back exactly as they were.
TEST_F(CliTest, OddButHonestGatewaysGetTheirSettingsBack) {
  const struct {
    const char *name;
    std::function<void(Gateway &)> setup;
    const char *posted;  // in the restore's main line
  } rows[] = {
      // The settings page answers 1.5 s late: it is read whole all the same.
      {"slow page", [](Gateway &g) { g.pageDelayMs = 1500; }, "&ap:settings/ssid=home+net&"},
      {"interim replies before every reply", [](Gateway &g) { g.interim = true; },
       "&ap:settings/ssid=home+net&"},
      {"a name with line ends and control bytes",
       [](Gateway &g) { g.ssid = "home\nnet\r\x01 \xc3\xbc"; },
       "&ap:settings/ssid=home%0Anet%0D%01+%C3%BC&"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    Gateway g;
    r.setup(g);
    std::string before = g.ssid;
    std::vector<std::string> env = Env();
    env[0] = "VELMORA_HTTP_PORT=" + std::to_string(g.webPort());
    env[1] = "VELMORA_UPDATE_PORT=" + std::to_string(g.updatePort());
    CliRun run(Args(), env);
    PowerCycle(run);
    EXPECT_EQ(run.Wait(120000), 0) << run.Output();
    EXPECT_NE(run.Output().find("Re-configuring Gateway......DONE"), std::string::npos);
    EXPECT_TRUE(StateEmpty());
    std::lock_guard<std::mutex> lock(g.m);
    EXPECT_EQ(g.uploads.size(), 1u);
    EXPECT_TRUE(g.ssid == before) << g.ssid;
    bool posted = false;
    for (const std::string &p : g.posts) posted = posted || p.find(r.posted) != std::string::npos;
    EXPECT_TRUE(posted) << r.posted;
  }
}

TEST_F(CliTest, KeptBackupIsRestoredWithRestore) {
  gw.postsRefused = true;
  CliRun run(Args(), Env());
  PowerCycle(run);
  ASSERT_EQ(run.Wait(60000), 9) << run.Output();
  std::string ssid = state + "/Ssid";
  ExpectBackupKept(run.Output(), kSaved);
  EXPECT_NE(run.Output().find("The Gateway runs the new firmware, version 3.60.1.0.5-GQ.\nThe Gateway "
                              "has restarted since; its Wi-Fi settings are not back yet.\nThe saved "
                              "wireless settings are kept in " + ssid + ".\nTo write them back, run "
                              "velmora-cli --restore.\n"),
            std::string::npos) << run.Output();

  // A new run will not quietly replace it.
  CliRun again(Args(), Env());
  EXPECT_EQ(again.Wait(), 14) << again.Output();
  EXPECT_TRUE(platform::PathExists(ssid));

  {
    std::lock_guard<std::mutex> lock(gw.m);
    gw.postsRefused = false;
    gw.posts.clear();
  }
  std::vector<std::string> args = Args();
  args.push_back("--restore");
  CliRun restore(args, Env());
  EXPECT_EQ(restore.Wait(60000), 0) << restore.Output();
  EXPECT_NE(restore.Output().find("Your wireless settings have been restored."),
            std::string::npos) << restore.Output();
  EXPECT_TRUE(StateEmpty());
  std::lock_guard<std::mutex> lock(gw.m);
  EXPECT_EQ(gw.posts.back(), "logic:command/reboot");
}

// The reader of the output goes away once the access point is off: the
// run ends with its own status, the access point back on, the backup kept
// and named, the scratch files gone.
TEST_F(CliTest, ClosedOutputEndsTheRunSafely) {
  std::string errFile = root + "/stderr";
  CliRun run(Args(), Env(), errFile, "Setting up environment......");
  EXPECT_EQ(run.Wait(), 16) << run.Output();
  std::string err, log;
  platform::ReadWholeFile(errFile, &err);
  // Said on the one line it has: the access point is on again, the
  // connection still paused.
  EXPECT_NE(err.find("velmora-cli: the output is closed; the run stopped. The Gateway's firmware is "
                     "unchanged: it runs version 3.60.1.0.4-GQ. This utility paused the Gateway's "
                     "Internet connection. The saved wireless settings are kept in " + state +
                     "/Ssid. To bring it back, run velmora-cli --restore; that also restarts the "
                     "Gateway.\n"),
            std::string::npos) << err;
  ASSERT_TRUE(platform::ReadWholeFile(state + "/velmora-cli.log", &log));
  EXPECT_NE(log.find("exit status 16"), std::string::npos) << log;
  EXPECT_TRUE(platform::PathExists(state + "/Ssid"));
  for (const char *scratch : {"zuntmp.dat", "SsidBak", "AccessListBak"})
    EXPECT_FALSE(platform::PathExists(state + "/" + scratch)) << scratch;
  std::lock_guard<std::mutex> lock(gw.m);
  EXPECT_TRUE(gw.apEnabled);
  auto off = std::find(gw.posts.begin(), gw.posts.end(), "ap:settings/ap_enabled=0");
  ASSERT_NE(off, gw.posts.end());
  EXPECT_NE(std::find(off, gw.posts.end(), "ap:settings/ap_enabled=1"), gw.posts.end());
}

TEST_F(CliTest, GatewayNotRecognisedAfterThePowerCycle) {
  CliRun run(Args(), Env());
  ASSERT_TRUE(run.WaitFor("You are almost complete")) << run.Output();
  PowerOff();
  ASSERT_TRUE(run.WaitFor("The Gateway is rebooting......")) << run.Output();
  {
    std::lock_guard<std::mutex> lock(gw.m);
    gw.foreign = true;
  }
  PowerOn();
  // Without the gateway's own pages there is no proof of the upgrade, and
  // no restore: the backup stays.
  EXPECT_EQ(run.Wait(), 10) << run.Output();
  EXPECT_NE(run.Output().find("DONE\n\n\n*** The Firmware upgrade could not be confirmed. ***\n"
                              "The Gateway's firmware version could not be read after the "
                              "restart, while the upgrade kit holds version 3.60.1.0.5-GQ."),
            std::string::npos)
      << run.Output();
  EXPECT_TRUE(platform::PathExists(state + "/Ssid"));
}

TEST_F(CliTest, InteractiveLoginRetryAfterWrongPasswordAndFinish) {
  gw.login = "admin:pw";
  gw.apEnabled = false;
  std::vector<std::string> args = Args(false);
  args.erase(args.begin(), args.begin() + 2);  // ask for the address
  CliRun run(args, Env());
  ASSERT_TRUE(run.WaitFor("Please enter your gateway ip address")) << run.Output();
  run.Type("0.0.0.0\n");
  ASSERT_TRUE(run.WaitFor("ERROR: Invalid IP Address !")) << run.Output();
  run.Type("127.0.0.1\n");
  ASSERT_TRUE(run.WaitFor("User Name : ")) << run.Output();
  run.Type("admin\nwrong\n");
  ASSERT_TRUE(run.WaitFor("go back and try again")) << run.Output();
  // Back: the address and, as the gateway asks again, the login once more.
  run.Type("b\n127.0.0.1\nadmin\npw\n");
  ASSERT_TRUE(run.WaitFor("Checking security......OK")) << run.Output();
  PowerCycle(run);
  ASSERT_TRUE(run.WaitFor("Press Enter to finish")) << run.Output();
  run.Type("\n");
  EXPECT_EQ(run.Wait(), 0) << run.Output();
  std::string out = run.Output();
  EXPECT_NE(out.find("Invalid userid or password!"), std::string::npos);
  EXPECT_EQ(out.find("wrong"), std::string::npos);  // passwords are not shown
}

// Keys pressed on a terminal while the wizard is busy answer no later
// question: an Enter typed in the wait for the power cycle neither finishes
// the run before its result is read nor, where the gateway asks for its
// login after the restart, gives an empty user name.
TEST_F(CliTest, KeysTypedDuringAWaitAnswerNoLaterQuestion) {
  CliRun run(Args(false), Env(), "", "", 0, true);
  ASSERT_TRUE(run.WaitFor("Press Enter to continue")) << run.Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  run.Type("\n");
  ASSERT_TRUE(run.WaitFor("You are almost complete")) << run.Output();
  run.Type("\n\n");
  PowerCycle(run);
  ASSERT_TRUE(run.WaitFor("Press Enter to finish")) << run.Output();
  EXPECT_EQ(run.Wait(500), -1) << run.Output();  // still asking
  run.Type("\n");
  EXPECT_EQ(run.Wait(), 0) << run.Output();
}

TEST_F(CliTest, CtrlCEndsTheEndlessWaitForThePowerCycle) {
  gw.apEnabled = false;
  CliRun run(Args(), Env());
  ASSERT_TRUE(run.WaitFor("You are almost complete")) << run.Output();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  run.Signal(SIGINT);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run.Wait(5000), 130) << run.Output();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  // What Velmora.exe says when its Cancel leaves the wait.
  EXPECT_NE(run.Output().find("*** The upgrade is not finished: the Gateway has not restarted "
                              "yet. ***\n\nThe new firmware is written to the Gateway"),
            std::string::npos) << run.Output();
  EXPECT_TRUE(StateEmpty());
}

// Ctrl-C once the settings are saved, wherever it falls: the backup stays
// as it was saved, the user's alone, and the ending says where it is.
TEST_F(CliTest, CtrlCKeepsTheBackupAndSaysWhere) {
  struct Row {
    const char *name;
    bool restore;  // --restore from a backup kept earlier
    std::function<bool(Gateway &)> when;
    bool bigImage = false;
  } rows[] = {
      {"at 35 % of the transfer", false,
       [](Gateway &g) {
         g.uploadStallAt = 2450000;
         return g.uploadStalled;
       },
       true},
      {"just after the access point is switched off", false,
       [](Gateway &g) {
         g.slowPost = "ap:settings/ap_enabled=0";
         g.postDelayMs = 1500;
         return std::find(g.posts.begin(), g.posts.end(), g.slowPost) != g.posts.end();
       }},
      {"while --restore reads the settings back", true,
       [](Gateway &g) {
         g.pageDelayMs = 3000;
         return std::count_if(g.paths.begin(), g.paths.end(), [](const std::string &p) {
                  return p.find("custom_setup_ssid.html") != std::string::npos;
                }) > 0;
       }},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    platform::RemoveTree(state);
    {
      std::lock_guard<std::mutex> lock(gw.m);
      gw.posts.clear();
      gw.paths.clear();
      gw.pageDelayMs = gw.postDelayMs = 0;
      gw.uploadStallAt = 0;
      gw.uploadStalled = false;
      gw.apEnabled = true;
      r.when(gw);  // sets the gateway's pace
    }
    if (r.bigImage) BigImage();
    // The gateway lets go of a held upload once the run has ended.
    struct Release {
      Gateway &g;
      ~Release() {
        std::lock_guard<std::mutex> lock(g.m);
        g.uploadReleased = true;
      }
    } release{gw};
    std::vector<std::string> args = Args();
    if (r.restore) {
      ASSERT_TRUE(platform::MakePrivateDirectories(state));
      ASSERT_TRUE(platform::WriteWholeFile(state + "/Ssid", std::string(kSaved)));
      args.push_back("--restore");
    }
    CliRun run(args, Env());
    ASSERT_TRUE(GatewaySees(r.when)) << run.Output();
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(10000), 130) << run.Output();
    EXPECT_NE(run.Output().find("Interrupted."), std::string::npos) << run.Output();
    ExpectBackupKept(run.Output(), kSaved);
    // Where the gateway stands, and the one step that brings it back.
    const char *where = r.restore
                            ? "The saved wireless settings were sent to the Gateway, but did not "
                              "read back as saved.\n"
                            : "The Gateway's firmware is unchanged: it runs version 3.60.1.0.4-GQ.\n"
                              "This utility paused the Gateway's Internet connection and switched "
                              "its Wi-Fi off.\n";
    EXPECT_NE(run.Output().find(where), std::string::npos) << run.Output();
    EXPECT_NE(run.Output().find(r.restore ? "Ssid.\nTo write them back, run velmora-cli --restore.\n"
                                          : "Ssid.\nTo bring them back, run velmora-cli --restore; "
                                            "that also restarts the Gateway.\n"),
              std::string::npos)
        << run.Output();
    EXPECT_EQ(platform::FindFiles(state, "zuntmp.dat"), std::vector<std::string>{});
  }
}

// What a terminal of `columns` shows of `bytes`: its rows, with the lines
// the terminal had to wrap by itself counted (a character written past the
// last column). Carriage return, backspace and line feed move the cursor;
// UTF-8 takes one column a character.
struct Screen {
  std::vector<std::string> rows{""};
  size_t col = 0;
  int wrapped = 0;

  Screen(const std::string &bytes, size_t columns) {
    for (size_t i = 0; i < bytes.size(); ++i) {
      unsigned char c = static_cast<unsigned char>(bytes[i]);
      if (c == '\r') {
        col = 0;
      } else if (c == '\n') {
        rows.push_back("");
        col = 0;
      } else if (c == '\b') {
        if (col > 0) --col;
      } else if ((c & 0xC0) == 0x80) {
        rows.back() += static_cast<char>(c);  // goes with the character before
      } else {
        if (col == columns) {
          ++wrapped;
          rows.push_back("");
          col = 0;
        }
        std::string &row = rows.back();
        size_t at = ByteOfColumn(row, col);
        size_t next = at < row.size() ? ByteOfColumn(row, col + 1) : at;
        row.replace(at, next - at, 1, static_cast<char>(c));
        ++col;
      }
    }
  }
  static size_t ByteOfColumn(const std::string &row, size_t col) {
    size_t i = 0;
    for (size_t seen = 0; i < row.size(); ++i)
      if ((static_cast<unsigned char>(row[i]) & 0xC0) != 0x80 && seen++ == col) break;
    return i;
  }
  // The rows as one text, each row's trailing blanks gone.
  std::string Text() const {
    std::string out;
    for (std::string row : rows) {
      while (!row.empty() && row.back() == ' ') row.pop_back();
      out += row + "\n";
    }
    return out;
  }
};

// On a terminal 50 columns wide the terminal never wraps a line by itself:
// the page's long lines break between words, and the transfer's and the
// waits' updates in place fit the line they are written over.
TEST_F(CliTest, NarrowTerminalNeverWraps) {
  BigImage();  // a transfer long enough to update in place
  CliRun run(Args(), Env(), "", "", 50);
  PowerCycle(run);
  EXPECT_EQ(run.Wait(60000), 0) << run.Output();
  Screen screen(run.Output(), 50);
  EXPECT_EQ(screen.wrapped, 0) << screen.Text();
  std::string text = screen.Text();
  for (const char *line :
       {"3) Do not DISCONNECT your network cable or power\noff the DSL Modem during the firmware "
        "upgrade\nprocess.\n",
        "Firmware version: 3.60.1.0.4-GQ -> 3.60.1.0.5-GQ\n", "Transfering image......DONE\n",
        "\nThe Gateway is rebooting......DONE\n", "The Firmware upgrade was successful.\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

TEST_F(CliTest, CtrlCAtThePromptEndsAtOnce) {
  gw.login = "admin:pw";
  CliRun run(Args(false), Env());
  ASSERT_TRUE(run.WaitFor("Press Enter to continue")) << run.Output();
  run.Type("\n");
  ASSERT_TRUE(run.WaitFor("User Name : ")) << run.Output();
  run.Signal(SIGINT);
  EXPECT_EQ(run.Wait(2000), 130) << run.Output();
  EXPECT_NE(run.Output().find("Interrupted."), std::string::npos);
}

}  // namespace
}  // namespace velmora
