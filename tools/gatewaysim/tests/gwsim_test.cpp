// The simulated gateway's pages, form handling, boot and upgrade service,
// without a network: pages must be what the PC's readers pick values from.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures.h"
#include "state.h"
#include "update.h"
#include "webcm.h"

using namespace gwsim;

namespace {

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The value on the line holding `ap:settings/NAME" value="`, up to `" id`,
// and how many lines hold that key: the way the PC reads a settings page.
std::string field(const std::string &page, const std::string &name, int *lines = nullptr) {
  std::string key = "ap:settings/" + name + "\" value=\"";
  std::string value;
  int n = 0;
  for (const std::string &line : lines_of(page)) {
    size_t at = line.find(key);
    if (at == std::string::npos) continue;
    ++n;
    size_t end = line.find("\" id", at + key.size());
    value = end == std::string::npos ? "" : line.substr(at + key.size(), end - at - key.size());
  }
  if (lines) *lines = n;
  return value;
}

std::string page(const Settings &running, const std::string &name) {
  Settings firmware;
  firmware.set("version", "3.60.1.0.4-GQ");
  return webcm_page(running, firmware, "getpage=../html/" + name + "&var:conname=connection0&var:contype=pppoe");
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string tagged(const std::string &payload) { return fixtures::Tag(payload); }

class SimDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/gwsim-unit-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    d.dir = tmpl;
    ASSERT_EQ(system(("mkdir -p " + d.dir + "/root/dev/mtdblock").c_str()), 0);
    for (int n : {0, 1}) std::ofstream(d.mtd(n)).close();
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf " + d.dir).c_str()), 0); }
  SimDir d;
};

}  // namespace

TEST(WebcmPages, CarryTheMarkersThePcLooksFor) {
  Settings s = initial_configuration();
  for (const char *p : {"qorn.html", "status_real.html", "custom_setup_ssid.html", "custom_setup_wep.html",
                        "custom_setup_8021x.html", "custom_setup_wpa.html", "custom_setup_apadv.html",
                        "custom_setup_access.html"})
    EXPECT_NE(page(s, p).find("Kestrelon"), std::string::npos) << p;
  EXPECT_NE(page(s, "qorn.html").find("con_name[con_cnt] = \"connection0\""), std::string::npos);
  EXPECT_NE(page(s, "qorn.html").find("con_type[con_cnt] = \"pppoe\""), std::string::npos);
  EXPECT_NE(page(s, "status_real.html").find("form.sta_version.value = \"3.60.1.0.4-GQ\""), std::string::npos);
  EXPECT_NE(page(s, "no_such.html").find("Status: 404"), std::string::npos);

  Settings firmware;
  std::string conn = webcm_page(s, firmware, "getpage=../mon/conn.inf");
  int words = 0;
  for (const char *w : {"pppoa", "pppoe", "static", "dhcpc", "bridge"})
    words += conn.find(w) != std::string::npos;
  EXPECT_EQ(words, 1);  // the first word found decides, so only one may show
}

TEST(WebcmPages, SsidPageShowsEachKeyOnceAndTheEnabledMarkerOnlyWhenOn) {
  Settings s = initial_configuration();
  const char marker[] = "ap:settings/ap_enabled\" value=\"1\" id=\"uiPostAPEnabled";
  std::string on = page(s, "custom_setup_ssid.html");
  for (const char *k : {"channel", "ssid", "privacy_type", "interval", "psktype", "wep_auth_type", "wep_privacy"}) {
    int n = 0;
    field(on, k, &n);
    EXPECT_EQ(n, 1) << k;
  }
  EXPECT_EQ(field(on, "ssid"), "HomeNet");
  EXPECT_NE(on.find(marker), std::string::npos);
  s.set("ap/ap_enabled", "0");
  EXPECT_EQ(page(s, "custom_setup_ssid.html").find(marker), std::string::npos);
}

TEST(WebcmPages, AccessListComesBeforeTheAccessType) {
  Settings s = initial_configuration();
  std::string p = page(s, "custom_setup_access.html");
  size_t first = p.find("list_init[i++]='00:11:22:33:44:55'");
  size_t second = p.find("list_init[i++]='66:77:88:99:AA:BB'");
  size_t type = p.find("ap:settings/access_type\" value=\"1\"");
  ASSERT_NE(first, std::string::npos);
  ASSERT_NE(second, std::string::npos);
  ASSERT_NE(type, std::string::npos);
  EXPECT_LT(second, type);
}

TEST(WebcmPages, SecurityPagesReachTheirThresholds) {
  Settings s = initial_configuration();
  auto count = [&](const std::string &name, std::vector<std::string> keys) {
    std::string p = page(s, name);
    int total = 0;
    for (const auto &k : keys) {
      int n = 0;
      field(p, k, &n);
      total += n;
    }
    return total;
  };
  EXPECT_GE(count("custom_setup_wep.html", {"privacy_type", "wep_privacy", "wep_auth_type", "key_id", "key_value1",
                                            "key_len1", "key_value2", "key_len2", "key_value3", "key_len3",
                                            "key_value4", "key_len4"}), 12);
  EXPECT_GE(count("custom_setup_8021x.html", {"ap_enabled", "privacy_type", "wep_privacy", "radius_ip",
                                              "radius_port", "radius_secret", "interval"}), 7);
  EXPECT_GE(count("custom_setup_wpa.html", {"privacy_type", "wep_privacy", "radius_ip", "radius_port",
                                            "radius_secret", "interval", "psktype", "pskvalue"}), 5);
  EXPECT_EQ(count("custom_setup_apadv.html", {"bgmode", "hidden_ssid"}), 2);
}

TEST(WebcmForms, FormsAreDecodedTheStandardWay) {
  std::vector<FormField> f = parse_form(
      "&var:conname=connection0&var:contype=pppoe&ap:settings/ssid=Tom+%26+Jerry&ap:settings/key_value2=0123+4567"
      "&ap:settings/radius_secret=a%2Bb%25=c&logic:command/save");
  ASSERT_EQ(f.size(), 6u);
  EXPECT_EQ(f[2].name, "ap:settings/ssid");
  EXPECT_EQ(f[2].value, "Tom & Jerry");
  EXPECT_EQ(f[3].value, "0123 4567");
  EXPECT_EQ(f[4].value, "a+b%=c");
  EXPECT_FALSE(f[5].has_value);
}

TEST(WebcmForms, PostsChangeTheRunningConfigurationAndSaveCopiesIt) {
  Settings running = initial_configuration(), saved = running;
  PostEffects fx = apply_form(parse_form("ap:settings/ap_enabled=0&ap:settings/key_value1=++++abcdef0123"),
                              &running, &saved);
  EXPECT_FALSE(fx.saved || fx.reboot || fx.stopped);
  EXPECT_EQ(running.get("ap/ap_enabled"), "0");
  EXPECT_EQ(running.get("ap/key_value1"), "abcdef0123");  // the PC's four blanks are dropped
  EXPECT_EQ(saved.get("ap/ap_enabled"), "1");

  apply_form(parse_form("var:conname=connection0&ap:settings/access_type=1&ap:settings/mac_add=00:11:22:33:44:55"),
             &running, &saved);
  apply_form(parse_form("var:conname=connection0&ap:settings/access_type=1&ap:settings/mac_add=AA:BB:CC:DD:EE:FF"),
             &running, &saved);
  EXPECT_EQ(running.get("ap/access_list"), "00:11:22:33:44:55 66:77:88:99:AA:BB AA:BB:CC:DD:EE:FF");

  fx = apply_form(parse_form("logic:command/save"), &running, &saved);
  EXPECT_TRUE(fx.saved);
  EXPECT_EQ(saved.text(), running.text());
  fx = apply_form(parse_form("&logic:command/stop_module=connection0&var:conname=connection0&var:contype=pppoe"),
                  &running, &saved);
  EXPECT_TRUE(fx.stopped);
  EXPECT_EQ(running.get("connection"), "stopped");
  EXPECT_TRUE(apply_form(parse_form("logic:command/reboot"), &running, &saved).reboot);
}

TEST(WebcmForms, EverySettingReadFromThePagesPostsBackUnchanged) {
  // Back up the way the PC does (value between the quotes; short WEP keys
  // behind "++++", blanks of long ones as "+"), restore into factory
  // settings, compare.
  Settings original = initial_configuration();
  std::string body = "var:conname=connection0&var:contype=pppoe";
  for (const char *p : {"custom_setup_ssid.html", "custom_setup_wep.html", "custom_setup_wpa.html",
                        "custom_setup_apadv.html"}) {
    std::string text = page(original, p);
    for (const auto &kv : original.items()) {
      if (kv.first.compare(0, 3, "ap/") != 0 || kv.first == "ap/access_list" || kv.first == "ap/access_type")
        continue;
      int n = 0;
      std::string v = field(text, kv.first.substr(3), &n);
      if (n == 0) continue;
      if (kv.first.compare(0, 12, "ap/key_value") == 0) {
        if (v.size() < 14) {
          v = "++++" + v;
        } else {
          for (char &c : v) c = c == ' ' ? '+' : c;
        }
      }
      body += "&ap:settings/" + kv.first.substr(3) + "=" + v;
    }
  }
  Settings running;
  replace_wireless(&running, factory_wireless());
  Settings saved;
  apply_form(parse_form(body), &running, &saved);
  for (const auto &kv : original.items()) {
    if (kv.first.compare(0, 3, "ap/") != 0 || kv.first == "ap/access_list" || kv.first == "ap/access_type")
      continue;
    EXPECT_EQ(running.get(kv.first), kv.second) << kv.first;
  }
}

TEST_F(SimDirTest, BootRunsANewImageOnlyWhenTheFlashChanged) {
  Settings config, firmware;
  config.set("next_version", "3.60.1.0.7-GQ");
  firmware.set("version", "3.60.1.0.4-GQ");
  ASSERT_TRUE(config.save(d.config()));
  ASSERT_TRUE(firmware.save(d.firmware()));
  Settings conf = initial_configuration();
  ASSERT_TRUE(conf.save(d.saved()));
  boot(d);

  // An unsaved change is lost on a boot that finds the same flash.
  Settings running;
  running.load(d.state());
  running.set("ap/ssid", "Unsaved");
  running.save(d.state());
  boot(d);
  running.load(d.state());
  firmware.load(d.firmware());
  EXPECT_EQ(running.get("ap/ssid"), "HomeNet");
  EXPECT_EQ(firmware.get("version"), "3.60.1.0.4-GQ");

  std::ofstream(d.mtd(0), std::ios::binary) << "hsqs new file system";
  boot(d);
  running.load(d.state());
  firmware.load(d.firmware());
  EXPECT_EQ(firmware.get("version"), "3.60.1.0.7-GQ");
  EXPECT_EQ(running.get("ap/ssid"), "Kestrelon");
  EXPECT_EQ(running.get("ap/access_list"), "");
  EXPECT_EQ(firmware.get("boots"), "3");
  boot(d);  // the same image again: nothing more changes
  firmware.load(d.firmware());
  EXPECT_EQ(firmware.get("version"), "3.60.1.0.7-GQ");
}

TEST(Versions, BumpAndKitVersion) {
  EXPECT_EQ(bump_version("3.60.1.0.4-GQ"), "3.60.1.0.5-GQ");
  EXPECT_EQ(bump_version("XY-3.60.2.0.9b-GQ"), "XY-3.60.2.0.10b-GQ");
  EXPECT_EQ(bump_version("garbage"), "garbage-next");
  char tmpl[] = "/tmp/gwsim-kit-XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  std::string path = std::string(tmpl) + "/config.xml";
  std::ofstream(path) << "<?xml version=\"1.0\"?>\n<Config Version=\"3.60.1.0.5-GQ\" name=\"x\">\n";
  EXPECT_EQ(kit_version(path), "3.60.1.0.5-GQ");
  std::ofstream(path) << "<config>\n";
  EXPECT_EQ(kit_version(path), "");
  ASSERT_EQ(system(("rm -rf " + std::string(tmpl)).c_str()), 0);
}

TEST(UpdateService, FindsTheFilePartEvenWhenTheBodyIsCutShort) {
  std::string b = GWC_BOUNDARY;
  std::string data("ab\r\ncd\0ef", 9);
  const std::string body = fixtures::WizardBody("fw.img", data);
  std::string name, got;
  ASSERT_TRUE(multipart_file(body, b, &name, &got));
  EXPECT_EQ(name, "fw.img");
  EXPECT_EQ(got, data);
  ASSERT_TRUE(multipart_file(body.substr(0, body.size() - strlen(GWC_CLOSING_LINE) - 2), b, &name, &got));
  EXPECT_EQ(got, data);
  EXPECT_FALSE(multipart_file("no multipart here", b, &name, &got));
}

TEST_F(SimDirTest, UpdateServiceWritesImagesByKindWithoutTheirTag) {
  std::string fs = std::string("\x68\x73\x71\x73", 4) + std::string(1000, 'f');
  EXPECT_EQ(write_image(d, tagged(fs)), "");
  EXPECT_EQ(read_file(d.mtd(0)), fs);

  std::string kernel = std::string("\x42\xFA\xED\xFE", 4) + std::string(0xA0000 - 4, 'k');
  EXPECT_EQ(write_image(d, tagged(kernel)), "");
  EXPECT_EQ(read_file(d.mtd(1)), kernel);

  std::string combined = kernel + std::string(5000, 'c');
  EXPECT_EQ(write_image(d, tagged(combined)), "");
  EXPECT_EQ(read_file(d.mtd(1)), kernel);
  EXPECT_EQ(read_file(d.mtd(0)).substr(0, 5000), std::string(5000, 'c'));

  std::string bad = tagged(fs);
  bad[10] ^= 1;
  EXPECT_EQ(write_image(d, bad), "image checksum wrong");
  EXPECT_EQ(write_image(d, fs), "image has no tag");
  EXPECT_EQ(write_image(d, tagged("ABCD" + std::string(100, 'x'))), "unknown image kind");
}
