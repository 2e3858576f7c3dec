// Whole upgrades: the wizard (velmora-cli, and Velmora.exe under Wine) against
// the gateway simulator, with the real dornix writing the flash files. Each
// test starts a simulator in namespaces of its own, plays the user who
// power-cycles the gateway when the wizard asks, and looks at what the gateway
// ended up with: flash, version, wireless settings and the request log. Needs
// root and network namespaces; skips with the reason otherwise.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.h"
#include "sim_test_util.h"

namespace {

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Empty when every piece occurs in `text` in the order given; else the first
// piece that is missing or out of order.
std::string in_order(const std::string &text, const std::vector<std::string> &pieces) {
  size_t at = 0;
  for (const std::string &p : pieces) {
    size_t found = text.find(p, at);
    if (found == std::string::npos) return p;
    at = found + p.size();
  }
  return "";
}

// The "ap/" lines of the running configuration in `gatewaysim state`.
std::string wireless(const std::string &state) {
  std::string running = state.substr(0, state.find("[saved configuration"));
  std::istringstream in(running);
  std::string line, out;
  while (std::getline(in, line))
    if (line.compare(0, 3, "ap/") == 0) out += line + "\n";
  return out;
}

std::string missing_prerequisite() {
  if (geteuid() != 0) return "needs root for network namespaces";
  if (sh("ip netns list").status != 0) return "ip netns is not available";
  if (sh("command -v busybox && command -v ping && command -v timeout").status != 0)
    return "needs busybox and ping (scripts/setup)";
  return "";
}

const char kUser[] = "admin";
const char kPassword[] = "s3cret";
const char kReplug[] = "unplug the Black power cord";

struct Kit {
  std::string version = "3.60.1.0.9-GQ";
  size_t size = 700 * 1024;  // dornix refuses images below 655,140 bytes
  bool bad_tag = false;
};

class Upgrade : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = missing_prerequisite();
    if (!why.empty()) GTEST_SKIP() << "whole-system tests skipped: " << why;
    setenv("GWSIM_BIN", GWSIM_BIN, 1);
    setenv("DORNIX_BIN", DORNIX_BIN, 1);
    // Unique per test process, so that tests and builds can run side by side.
    name_ = "u" + std::to_string(getpid() % 1000000);
    dir_ = "/tmp/gatewaysim-" + name_;
    work_ = dir_ + "-work";
    sh("rm -rf " + work_);
    ASSERT_EQ(sh("mkdir -p " + work_ + "/kit " + work_ + "/state").status, 0);
  }

  void TearDown() override {
    if (started_) {
      Shell r = sim("stop --purge");
      EXPECT_EQ(r.status, 0) << r.out;
      EXPECT_FALSE(contains(sh("ip netns list").out, name_ + "-")) << "namespaces left behind";
    }
    if (!HasFailure() && !work_.empty()) sh("rm -rf " + work_);
  }

  Shell sim(const std::string &args) {
    return sh(std::string(GATEWAYSIM_SCRIPT) + " --name " + name_ + " --dir " + dir_ + " " + args);
  }

  void Start(const std::string &args) {
    Shell r = sim("start --down 1 --kit " + work_ + "/kit " + args);
    ASSERT_EQ(r.status, 0) << r.out;
    started_ = true;
    before_ = sim("state").out;
  }

  // Writes the kit and returns the image's payload (what the flash must
  // hold): a file-system image, its tag, config.xml and upgrade.ini.
  std::string MakeKit(const Kit &k) {
    std::string payload = "hsqs";
    for (size_t i = 4; i < k.size; ++i) payload += (char)((i * 2654435761u) >> 13);
    std::string image = fixtures::Tag(payload);
    if (k.bad_tag) image[image.size() - 3] ^= 0x01;  // a wrong checksum
    std::ofstream(work_ + "/kit/fw.img", std::ios::binary) << image;
    std::ofstream(work_ + "/kit/config.xml")
        << "<?xml version=\"1.0\"?>\n<config version=\"" << k.version << "\">\n</config>\n";
    std::ofstream(work_ + "/kit/upgrade.ini") << "GQ\n";
    return payload;
  }

  // Runs velmora-cli --yes from the client namespace and returns its exit
  // status. Meanwhile plays the user: power-cycles the gateway once the
  // wizard asks for it, and calls `watch` with the request log every 100 ms.
  int RunCli(const std::function<void(const std::string &log)> &watch = nullptr) {
    transcript_ = work_ + "/transcript.txt";
    std::string cmd = "VELMORA_USER=" + std::string(kUser) + " VELMORA_PASSWORD=" + kPassword +
                      " ip netns exec " + name_ + "-pc timeout 170 " + VELMORA_CLI +
                      " --gateway 192.168.0.1 --yes --time-scale 0.1 --kit " + work_ + "/kit" +
                      " --state-dir " + work_ + "/state > " + transcript_ + " 2>&1";
    std::atomic<bool> done{false};
    int status = -1;
    std::thread runner([&] {
      status = sh(cmd).status;
      done = true;
    });
    bool cycled = false;
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!cycled && contains(read_file(transcript_), kReplug)) {
        cycled = true;
        // Off long enough for a probe that has just started to miss it.
        Shell r = sim("power-cycle --off 3 --no-wait");
        EXPECT_EQ(r.status, 0) << r.out;
      }
      if (watch) watch(read_file(dir_ + "/requests.log"));
    }
    runner.join();
    after_ = sim("state").out;
    return status;
  }

  std::string Flash(int n) { return read_file(dir_ + "/root/dev/mtdblock/" + std::to_string(n)); }
  std::string Log() { return read_file(dir_ + "/requests.log"); }
  std::string Transcript() { return read_file(transcript_); }

  std::string name_, dir_, work_, transcript_, before_, after_;
  bool started_ = false;
};

const char kSuccess[] = "!!! CONGRATULATIONS !!!";
const char kTransferError[] = "*** An error occured while transfering image file !***";

TEST_F(Upgrade, WholeUpgradeWritesTheImageAndCarriesTheWirelessSettings) {
  std::string payload = MakeKit(Kit());
  // A blank in the SSID: it goes into the address of the access-list page.
  Start(std::string("--auth ") + kUser + ":" + kPassword + " 'ap/ssid=Home Net'");
  ASSERT_EQ(RunCli(), 0) << Transcript() << Log();
  EXPECT_TRUE(contains(Transcript(), kSuccess));
  EXPECT_TRUE(Flash(0) == payload) << "file system partition: " << Flash(0).size() << " bytes";
  EXPECT_EQ(Flash(1), "");
  EXPECT_TRUE(contains(after_, "version=3.60.1.0.9-GQ")) << after_;
  // The new image came up with factory settings; the wizard put them back,
  // access list included.
  EXPECT_EQ(wireless(after_), wireless(before_));
  EXPECT_TRUE(contains(wireless(after_), "ap/access_list=00:11:22:33:44:55 66:77:88:99:AA:BB"));
  EXPECT_TRUE(contains(wireless(after_), "ap/ssid=Home Net\n"));

  std::string log = Log();
  EXPECT_EQ(in_order(log, {
      "webcm GET /cgi-bin/webcm?getpage=../html/qorn.html",
      "webcm GET /cgi-bin/webcm?getpage=../html/status_real.html",
      // The settings are read before the first change.
      "getpage=../html/custom_setup_ssid.html&var:conname=connection0&var:contype=pppoe",
      "getpage=../html/custom_setup_access.html&var:conname=connection0&var:contype=pppoe"
      "&ap:settings/ap_enabled=1&ap:settings/channel=11&ap:settings/ssid=Home%20Net"
      "&ap:settings/privacy_type=0",
      "webcm POST /cgi-bin/webcm body=&logic:command/stop_module=connection0",
      "webcm POST /cgi-bin/webcm body=ap:settings/ap_enabled=0",
      "dornix POST /cgi-bin/dornix",
      "dornix exit 0",
      "power power off for 3 s",
      "new image: version 3.60.1.0.4-GQ -> 3.60.1.0.9-GQ",
      "body=var:conname=connection0&var:contype=pppoe&ap:settings/ap_enabled=1"
      "&ap:settings/channel=11&ap:settings/ssid=Home+Net&",
      "&ap:settings/mac_add=00:11:22:33:44:55",
      "&ap:settings/mac_add=66:77:88:99:AA:BB",
      "body=logic:command/save",
      "body=logic:command/reboot",
      "power restart requested by webcm"}), "")
      << log;
  EXPECT_EQ(count(log, "dornix POST"), 1u);
  EXPECT_FALSE(contains(log, "telnet"));
  EXPECT_FALSE(contains(log, "update POST"));
  // The backup held the wireless keys; nothing of it stays on the PC.
  EXPECT_EQ(sh("find " + work_ + "/state -type f ! -name velmora-cli.log").out, "");
}

TEST_F(Upgrade, OlderKitIsRefusedAndNothingIsWritten) {
  Kit k;
  k.version = "3.60.1.0.3-GQ";
  MakeKit(k);
  Start(std::string("--auth ") + kUser + ":" + kPassword);
  EXPECT_EQ(RunCli(), 7) << Transcript();
  EXPECT_TRUE(contains(Transcript(), "Checking firmware......FAILED !"));
  EXPECT_EQ(Flash(0), "");
  EXPECT_EQ(Flash(1), "");
  std::string log = Log();
  EXPECT_FALSE(contains(log, "dornix")) << log;
  EXPECT_FALSE(contains(log, "POST")) << "nothing on the gateway changes: " << log;
  EXPECT_EQ(after_, before_);
}

// A two-step gateway (3.60.2.x) whose upgrade service refuses the first image:
// the wizard reboots it through telnet and the second attempt gets through.
TEST_F(Upgrade, RefusedTransferIsRecoveredThroughTelnet) {
  Kit k;
  k.version = "3.60.2.0.5-GQ";
  std::string payload = MakeKit(k);
  Start(std::string("--auth ") + kUser + ":" + kPassword +
        " version=3.60.2.0.1-GQ update_answer=failed");
  bool answered = false;
  int status = RunCli([&](const std::string &log) {
    if (!answered && contains(log, "update failed (configured)")) {
      answered = true;
      Shell r = sim("set update_answer=successful");
      EXPECT_EQ(r.status, 0) << r.out;
    }
  });
  ASSERT_EQ(status, 0) << Transcript() << Log();
  EXPECT_TRUE(contains(Transcript(), "Transfering image......DONE"));
  EXPECT_TRUE(Flash(0) == payload) << "file system partition: " << Flash(0).size() << " bytes";
  EXPECT_TRUE(contains(after_, "version=3.60.2.0.5-GQ"));
  EXPECT_EQ(wireless(after_), wireless(before_));
  std::string log = Log();
  EXPECT_EQ(in_order(log, {"update POST /cgi-bin/update", "update failed (configured)",
                           "telnet login admin accepted", "power restart requested by telnet",
                           "update POST /cgi-bin/update", "update image written",
                           "power power off for 3 s", "new image: version 3.60.2.0.1-GQ -> 3.60.2.0.5-GQ"}),
            "")
      << log;
  EXPECT_EQ(count(log, "update POST"), 2u);
}

// A kit whose image tag is wrong never reaches the gateway: the wizard's
// kit check refuses it before the first request that changes anything.
TEST_F(Upgrade, BadTagIsRefusedBeforeAnythingChanges) {
  Kit k;
  k.bad_tag = true;
  MakeKit(k);
  Start(std::string("--auth ") + kUser + ":" + kPassword);
  EXPECT_EQ(RunCli(), 12) << Transcript();
  EXPECT_TRUE(contains(Transcript(), "*** This kit is damaged; get a new one from its maker. ***"))
      << Transcript();
  EXPECT_EQ(Flash(0), "");
  std::string log = Log();
  EXPECT_FALSE(contains(log, "POST")) << "nothing on the gateway changes: " << log;
  EXPECT_EQ(after_, before_);
  EXPECT_EQ(sh("find " + work_ + "/state -type f ! -name velmora-cli.log").out, "");
}

// Values that a form or a page can mangle: "+", "%", blanks, quotes shown as
// character references, a value of a thousand bytes. They come back as
// they were.
TEST_F(Upgrade, AwkwardWirelessValuesComeBackExactly) {
  MakeKit(Kit());
  const std::string ssid = "a+b c 100%41 say \"hi\" 50%25off";
  const std::string psk = "p+ss w0rd" + std::string(1000, 'k');
  Start("'ap/ssid=" + ssid + "' ap/privacy_type=3 ap/psktype=2 'ap/pskvalue=" + psk + "'");
  ASSERT_EQ(RunCli(), 0) << Transcript() << Log();
  EXPECT_TRUE(contains(Transcript(), kSuccess));
  EXPECT_TRUE(contains(after_, "ap/ssid=" + ssid + "\n")) << after_;
  EXPECT_TRUE(contains(after_, "ap/pskvalue=" + psk + "\n"));
}

#ifdef VELMORA_EXE
std::string shell_quote(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Velmora.exe under Wine, driven by the GUI test driver's whole-upgrade
// scenario from the simulator's client namespace. The gateway asks for no
// login and its access point is off, so that the wizard's pages show what
// the scenario expects; the driver's "gateway off" is a power cycle of the
// simulator, which comes back by itself. The kit is signed and the gateway
// holds the key, so it takes the image only with its signature.
TEST_F(Upgrade, WindowsWizardUnderWineUpgradesTheGateway) {
  for (const char *f : {VELMORA_EXE, GUIDRIVER_EXE})
    if (access(f, R_OK) != 0) GTEST_SKIP() << "no Windows build (" << f << "): cmake --build --preset mingw";
  if (sh("command -v wine && command -v Xvfb && command -v import").status != 0)
    GTEST_SKIP() << "needs wine, Xvfb and imagemagick (scripts/setup)";
  std::string payload = MakeKit(Kit());
  const std::string key = work_ + "/kit.key", pubkey = work_ + "/kit.pub";
  Shell sign = sh(std::string(FWTAG) + " keygen -W --key " + key + " --pubkey " + pubkey + " && " +
                  FWTAG + " sign --key " + key + " " + work_ + "/kit/fw.img");
  ASSERT_EQ(sign.status, 0) << sign.out;
  Start("--pubkey " + pubkey + " ap/ap_enabled=0");
  // Wine's ping prints the "host unreachable" that the PC's own stack sends
  // when the gateway does not answer its ARP as "Reply from 192.168.0.1", so
  // the wizard would never see the gateway go. With the gateway's MAC
  // address fixed on the PC side, echoes to the unplugged gateway are lost
  // without a word and time out, as the wizard expects of a dead gateway.
  Shell mac = sh("ip -n " + name_ + "-gw -br link show eth0 | awk '{print $3}'");
  ASSERT_EQ(mac.status, 0) << mac.out;
  mac.out.erase(mac.out.find_last_not_of("\n") + 1);
  Shell neigh = sh("ip -n " + name_ + "-pc neigh replace 192.168.0.1 lladdr " + mac.out +
                   " dev eth0 nud permanent");
  ASSERT_EQ(neigh.status, 0) << neigh.out;
  std::string out = work_ + "/gui";
  std::string power_off = std::string(GATEWAYSIM_SCRIPT) + " --name " + name_ + " --dir " + dir_ +
                          " power-cycle --off 12 --no-wait";
  Shell r = sh("ip netns exec " + name_ + "-pc env VELMORA_GUI_KIT=" + work_ + "/kit" +
               " VELMORA_GUI_POWER_OFF=" + shell_quote(power_off) +
               " VELMORA_GUI_WINEPREFIX=" + WINE_PREFIX_DIR +
               " timeout 280 bash " + RUN_GUI_TEST + " " + VELMORA_EXE + " " + GUIDRIVER_EXE +
               " upgrade " + out + " 192.168.0.1");
  after_ = sim("state").out;
  EXPECT_EQ(r.status, 0) << r.out << read_file(out + "/wizard.log") << Log();
  EXPECT_TRUE(Flash(0) == payload) << "file system partition: " << Flash(0).size() << " bytes";
  EXPECT_TRUE(contains(after_, "version=3.60.1.0.9-GQ")) << after_;
  std::string log = Log();
  EXPECT_EQ(in_order(log, {"webcm GET /cgi-bin/webcm?getpage=../html/qorn.html",
                           "getpage=../html/custom_setup_ssid.html", "dornix POST /cgi-bin/dornix",
                           "dornix exit 0", "power power off for 12 s", "new image: version"}),
            "")
      << log;
}
#endif

}  // namespace
