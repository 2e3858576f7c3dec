// The gateway simulator as a whole: each test starts one in namespaces of its
// own, talks to it from the client namespace with curl, ping and nc, and
// stops it. Needs root and network namespaces; skips with the reason when
// the machine has neither.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "fixtures.h"
#include "sim_test_util.h"

namespace {

// Why the machine cannot run these tests, or empty when it can.
std::string missing_prerequisite() {
  if (geteuid() != 0) return "needs root for network namespaces";
  if (sh("ip netns list").status != 0) return "ip netns is not available";
  if (sh("command -v busybox && command -v curl && command -v ping").status != 0)
    return "needs busybox, curl and ping (scripts/setup)";
  return "";
}

// A tagged SquashFS image: the payload is what must land on the flash.
std::string make_image(const std::string &path, size_t size) {
  std::string payload = "hsqs";
  for (size_t i = 4; i < size; ++i) payload += (char)((i * 131) >> 3);
  std::ofstream(path, std::ios::binary) << fixtures::Tag(payload);
  return payload;
}

const char kAuth[] = "admin:s3cret";
const char kNextVersion[] = "3.60.1.0.9-GQ";

class GatewaySim : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string why = missing_prerequisite();
    if (!why.empty()) GTEST_SKIP() << "gateway simulator tests skipped: " << why;
    setenv("GWSIM_BIN", GWSIM_BIN, 1);
    setenv("DORNIX_BIN", DORNIX_BIN, 0);  // another dornix may be named in the environment
    name_ = "e" + std::to_string(getpid() % 1000000);
    dir_ = "/tmp/gatewaysim-" + name_;
    Shell r = sim(std::string("start --down 1 --auth ") + kAuth + " next_version=" + kNextVersion);
    ASSERT_EQ(r.status, 0) << r.out;
    started_ = true;
    // The commands the banner suggests work as given.
    EXPECT_TRUE(contains(r.out, "--name " + name_ + " --dir " + dir_ + " exec")) << r.out;
  }

  void TearDown() override {
    if (!started_) return;
    Shell r = sim("stop --purge");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_FALSE(contains(sh("ip netns list").out, name_ + "-")) << "namespaces left behind";
  }

  Shell sim(const std::string &args) {
    return sh(std::string(GATEWAYSIM_SCRIPT) + " --name " + name_ + " --dir " + dir_ + " " + args);
  }
  Shell client(const std::string &cmd) { return sim("exec -- " + cmd); }
  Shell curl(const std::string &args) {
    return client(std::string("curl -s --max-time 20 -u ") + kAuth + " " + args);
  }
  bool pings() { return client("ping -c 1 -W 1 192.168.0.1").status == 0; }
  std::string status() { return read_file(dir_ + "/run/status"); }
  std::string version() {
    return curl("'http://192.168.0.1/cgi-bin/webcm?getpage=../html/status_real.html&var:conname=connection0'").out;
  }
  // Polls until the gateway's status differs from "up" (a restart began).
  bool wait_for_down(int seconds) {
    for (int i = 0; i < seconds * 10; ++i) {
      if (status() != "up\n") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  std::string name_, dir_;
  bool started_ = false;
};

TEST_F(GatewaySim, PagesNeedTheLoginAndShowTheGateway) {
  Shell r = client("curl -s -i http://192.168.0.1/cgi-bin/webcm?getpage=../html/qorn.html");
  EXPECT_TRUE(contains(r.out, "401")) << r.out;
  EXPECT_FALSE(contains(r.out, "Kestrelon"));
  r = curl("'http://192.168.0.1/cgi-bin/webcm?getpage=../html/qorn.html'");
  EXPECT_TRUE(contains(r.out, "Kestrelon"));
  EXPECT_TRUE(contains(r.out, "con_name[con_cnt] = \"connection0\""));
  EXPECT_TRUE(contains(version(), "form.sta_version.value = \"3.60.1.0.4-GQ\""));
  r = curl("'http://192.168.0.1/cgi-bin/webcm?getpage=../mon/conn.inf'");
  EXPECT_TRUE(contains(r.out, "pppoe"));
  EXPECT_TRUE(pings());
}

TEST_F(GatewaySim, PostedFormsChangeTheStateAndAreLogged) {
  Shell r = curl("--data-binary 'var:conname=connection0&var:contype=pppoe&ap:settings/ssid=Tom+%26+Jerry"
               "&ap:settings/channel=3' http://192.168.0.1/cgi-bin/webcm");
  ASSERT_EQ(r.status, 0) << r.out;
  curl("--data-binary '&logic:command/stop_module=connection0&var:conname=connection0&var:contype=pppoe' "
       "http://192.168.0.1/cgi-bin/webcm");
  std::string state = sim("state").out;
  EXPECT_TRUE(contains(state, "ap/ssid=Tom & Jerry")) << state;
  EXPECT_TRUE(contains(state, "connection=stopped"));
  EXPECT_TRUE(contains(state, "[saved configuration, where it differs]\nap/channel=11"));
  r = curl("'http://192.168.0.1/cgi-bin/webcm?getpage=../html/custom_setup_ssid.html'");
  EXPECT_TRUE(contains(r.out, "ap:settings/ssid\" value=\"Tom &amp; Jerry\" id="));

  // Saving makes the change survive the reboot that follows.
  curl("--data-binary 'logic:command/save' http://192.168.0.1/cgi-bin/webcm");
  curl("--data-binary 'logic:command/reboot' http://192.168.0.1/cgi-bin/webcm");
  EXPECT_TRUE(wait_for_down(5));
  ASSERT_EQ(sim("wait-up 20").status, 0);
  state = sim("state").out;
  EXPECT_TRUE(contains(state, "ap/ssid=Tom & Jerry"));
  EXPECT_TRUE(contains(state, "connection=up"));
  std::string log = sim("log").out;
  EXPECT_TRUE(contains(log, "webcm POST /cgi-bin/webcm body=var:conname=connection0&var:contype=pppoe&ap:settings/ssid=Tom+%26+Jerry&ap:settings/channel=3")) << log;
  EXPECT_TRUE(contains(log, "webcm reboot requested"));
  EXPECT_TRUE(contains(log, "power restart requested by webcm"));
}

TEST_F(GatewaySim, FormPostsSentBackToBackAreAppliedInOrder) {
  // As the PC does it: connect, send, close without reading the reply, next.
  std::string script = dir_ + "/burst.sh";
  std::ofstream(script) << "auth=$(printf %s '" << kAuth << "' | base64)\n"
      "post() { exec 3<>/dev/tcp/192.168.0.1/80; printf 'POST /cgi-bin/webcm HTTP/1.1\\r\\nHost: 192.168.0.1\\r\\n"
      "Authorization: Basic %s\\r\\nContent-Length: %d\\r\\n\\r\\n%s\\r\\n\\r\\n' \"$auth\" ${#1} \"$1\" >&3; exec 3>&-; }\n"
      "for i in 0 1 2 3 4 5 6 7 8 9; do\n"
      "  post \"var:conname=connection0&var:contype=pppoe&ap:settings/access_type=1&ap:settings/mac_add=02:00:00:00:00:0$i\"\n"
      "done\n"
      "post logic:command/save\n";
  ASSERT_EQ(client("bash " + script).status, 0);
  std::string want = "ap/access_list=00:11:22:33:44:55 66:77:88:99:AA:BB";
  for (int i = 0; i < 10; ++i) want += " 02:00:00:00:00:0" + std::to_string(i);
  std::string saved;
  for (int i = 0; i < 50 && !contains(saved, "configuration saved"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    saved = read_file(dir_ + "/requests.log");
  }
  EXPECT_TRUE(contains(read_file(dir_ + "/saved"), want + "\n")) << read_file(dir_ + "/saved");
}

TEST_F(GatewaySim, DornixAnswersThroughTheWebServer) {
  // The request plumbing: the multipart body reaches the real dornix on its
  // scratch root, and its downloads and result pages come back.
  Shell r = curl("-F get_log0=1 http://192.168.0.1/cgi-bin/dornix");
  EXPECT_EQ(r.out, read_file(dir_ + "/root/var/log/messages"));
  r = curl("-F get_log1=1 -D - http://192.168.0.1/cgi-bin/dornix");
  EXPECT_TRUE(contains(r.out, "filename=firewall_log.txt")) << r.out;
  r = curl("http://192.168.0.1/cgi-bin/dornix");
  EXPECT_TRUE(contains(r.out, "upgrade result: fail[3]")) << r.out;
  r = curl("-F Reboot=1 http://192.168.0.1/cgi-bin/dornix");
  EXPECT_TRUE(contains(r.out, "upgrade result: fail[4]")) << r.out;
  std::string log = sim("log").out;
  EXPECT_TRUE(contains(log, "dornix GET /cgi-bin/dornix length=none"));
  EXPECT_TRUE(contains(log, "dornix exit 3"));
  EXPECT_TRUE(contains(log, "dornix exit 4"));
}

TEST_F(GatewaySim, ImageUploadedToDornixLandsOnTheFlash) {
  std::string image = dir_ + "/fs.img";
  std::string payload = make_image(image, 700000);
  Shell r = curl("-F 'UploadFile=@" + image + ";type=application/octet-stream' http://192.168.0.1/cgi-bin/dornix");
  ASSERT_TRUE(contains(r.out, "upgrade result: ")) << r.out;
  if (!contains(r.out, "upgrade result: ok[0]"))
    GTEST_SKIP() << "dornix does not take uploads yet: " << r.out.substr(0, r.out.find('\r'));
  EXPECT_EQ(read_file(dir_ + "/root/dev/mtdblock/0"), payload);
  ASSERT_EQ(sim("power-cycle --off 1").status, 0);
  EXPECT_TRUE(contains(version(), std::string("form.sta_version.value = \"") + kNextVersion));
}

TEST_F(GatewaySim, PowerCycleTakesTheLinkDownAndBootsTheWrittenImage) {
  ASSERT_TRUE(pings());
  std::ofstream(dir_ + "/root/dev/mtdblock/0", std::ios::binary) << "hsqs a newly written file system";
  // Off long enough for the two probes below even on a loaded machine.
  ASSERT_EQ(sim("power-cycle --off 6 --no-wait").status, 0);
  ASSERT_TRUE(wait_for_down(3));
  EXPECT_FALSE(pings());
  EXPECT_NE(curl("--max-time 1 http://192.168.0.1/").status, 0);
  ASSERT_EQ(sim("wait-up 20").status, 0);
  EXPECT_TRUE(pings());
  EXPECT_TRUE(contains(version(), std::string("form.sta_version.value = \"") + kNextVersion));
  std::string state = sim("state").out;
  EXPECT_TRUE(contains(state, "ap/ssid=Kestrelon")) << "a new image starts with factory wireless settings";
  EXPECT_TRUE(contains(sim("log").out, "new image: version 3.60.1.0.4-GQ -> 3.60.1.0.9-GQ"));
}

TEST_F(GatewaySim, TelnetLoginAndRebootTakeTheGatewayDown) {
  std::string user(kAuth, std::string(kAuth).find(':'));
  std::string pass = std::string(kAuth).substr(user.size() + 1);
  Shell r = client("sh -c \"(sleep 1; printf '" + user + "\\r\\n'; sleep 1; printf '" + pass +
                 "\\r\\n'; sleep 1; printf 'reboot\\r\\n'; sleep 1) | busybox nc 192.168.0.1 23\"");
  EXPECT_TRUE(contains(r.out, "login: ")) << r.out;
  EXPECT_TRUE(contains(r.out, "Password: "));
  EXPECT_TRUE(contains(r.out, "going down"));
  EXPECT_TRUE(wait_for_down(3));
  EXPECT_FALSE(pings());  // a restarting gateway ignores pings
  ASSERT_EQ(sim("wait-up 20").status, 0);
  EXPECT_TRUE(pings());
  std::string log = sim("log").out;
  EXPECT_TRUE(contains(log, "telnet login admin accepted"));
  EXPECT_TRUE(contains(log, "power restart requested by telnet"));
}

TEST_F(GatewaySim, DornixRestartRequestRestartsTheGateway) {
  // dornix waits 4 seconds, then records the restart; the gateway goes down.
  Shell r = curl("-F reboot=1 http://192.168.0.1/cgi-bin/dornix");
  EXPECT_TRUE(r.out.empty()) << r.out;
  EXPECT_TRUE(wait_for_down(5));
  ASSERT_EQ(sim("wait-up 20").status, 0);
  EXPECT_TRUE(contains(sim("log").out, "power restart requested by dornix"));
}

TEST_F(GatewaySim, UpgradeServiceAnswersAsConfiguredAndAnImageBringsAPowerCycle) {
  std::string image = dir_ + "/fs.img";
  std::string payload = make_image(image, 70000);
  std::string upload = "-F 'UploadFile=@" + image + ";type=application/octet-stream' http://192.168.0.1:8080/cgi-bin/update";
  ASSERT_EQ(sim("set auto_power_cycle=1").status, 0);  // the user obeys the wizard at once
  Shell r = curl(upload);
  EXPECT_TRUE(contains(r.out, "successful")) << r.out;
  EXPECT_EQ(read_file(dir_ + "/root/dev/mtdblock/0"), payload);
  ASSERT_TRUE(wait_for_down(5));
  ASSERT_EQ(sim("wait-up 20").status, 0);
  EXPECT_TRUE(contains(version(), std::string("form.sta_version.value = \"") + kNextVersion));
  ASSERT_EQ(sim("set update_answer=failed").status, 0);
  r = curl(upload);
  EXPECT_TRUE(contains(r.out, "failed")) << r.out;
  EXPECT_FALSE(contains(r.out, "successful"));
}

TEST_F(GatewaySim, StopEndsEveryProcessItStarted) {
  std::string services = read_file(dir_ + "/run/services") + read_file(dir_ + "/run/supervisor.pid");
  ASSERT_FALSE(services.empty());
  ASSERT_EQ(sim("stop").status, 0);
  std::istringstream in(services);
  std::string line;
  while (std::getline(in, line)) {
    std::string pid = line.substr(0, line.find(' '));
    std::string start = line.substr(pid.size() + 1);
    start = start.substr(0, start.find(' '));
    std::string stat = read_file("/proc/" + pid + "/stat");
    std::string rest = stat.empty() ? "" : stat.substr(stat.rfind(") ") + 2);
    // Gone, ended and waiting for its parent, or a new process with the number.
    EXPECT_TRUE(rest.empty() || rest[0] == 'Z' || !contains(rest, " " + start + " ")) << line;
  }
  EXPECT_FALSE(contains(sh("ip netns list").out, name_ + "-"));
  EXPECT_FALSE(contains(sh("ip link").out, name_ + "-pc0"));
}

}  // namespace
