#include "state.h"

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>

namespace gwsim {

std::string Settings::get(const std::string &name, const std::string &fallback) const {
  for (const auto &kv : items_)
    if (kv.first == name) return kv.second;
  return fallback;
}

bool Settings::has(const std::string &name) const {
  for (const auto &kv : items_)
    if (kv.first == name) return true;
  return false;
}

void Settings::set(const std::string &name, const std::string &value) {
  // A line end inside a value would split the entry on the next load.
  std::string v;
  for (char c : value) v += (c == '\n' || c == '\r') ? ' ' : c;
  for (auto &kv : items_)
    if (kv.first == name) {
      kv.second = v;
      return;
    }
  items_.emplace_back(name, v);
}

void Settings::erase(const std::string &name) {
  for (auto it = items_.begin(); it != items_.end(); ++it)
    if (it->first == name) {
      items_.erase(it);
      return;
    }
}

// One line of a text file without its line end; false at the end.
static bool next_line(FILE *f, std::string *line) {
  line->clear();
  int c;
  while ((c = fgetc(f)) != EOF && c != '\n') *line += (char)c;
  return c != EOF || !line->empty();
}

bool Settings::load(const std::string &path) {
  items_.clear();
  FILE *in = fopen(path.c_str(), "r");
  if (in == nullptr) return false;
  std::string line;
  while (next_line(in, &line)) {
    size_t eq = line.find('=');
    if (line.empty() || line[0] == '#' || eq == std::string::npos) continue;
    set(line.substr(0, eq), line.substr(eq + 1));
  }
  fclose(in);
  return true;
}

std::string Settings::text() const {
  std::string out;
  for (const auto &kv : items_) out += kv.first + "=" + kv.second + "\n";
  return out;
}

bool Settings::save(const std::string &path) const {
  std::string tmp = path + ".tmp";
  FILE *out = fopen(tmp.c_str(), "w");
  if (out == nullptr) return false;
  std::string t = text();
  bool ok = fwrite(t.data(), 1, t.size(), out) == t.size();
  ok = fclose(out) == 0 && ok;
  return ok && rename(tmp.c_str(), path.c_str()) == 0;
}

DirLock::DirLock(const SimDir &d) {
  fd_ = open((d.dir + "/lock").c_str(), O_RDWR | O_CREAT, 0644);
  if (fd_ >= 0) flock(fd_, LOCK_EX);
}

DirLock::~DirLock() {
  if (fd_ >= 0) close(fd_);  // closing releases the lock
}

static const char *const kWirelessNames[] = {
    "ap_enabled", "channel",    "ssid",       "privacy_type", "interval",     "psktype",
    "wep_auth_type", "wep_privacy", "key_id", "key_value1",   "key_len1",     "key_value2",
    "key_len2",   "key_value3", "key_len3",   "key_value4",   "key_len4",     "radius_ip",
    "radius_port", "radius_secret", "pskvalue", "bgmode",      "hidden_ssid",  "access_type",
    "access_list"};

Settings factory_wireless() {
  Settings s;
  const char *values[] = {"1", "6", "Kestrelon", "0", "0", "0", "0", "0", "1",
                          "",  "64", "", "64", "", "64", "", "64", "0.0.0.0",
                          "1812", "", "", "0", "0", "0", ""};
  static_assert(sizeof values / sizeof values[0] == sizeof kWirelessNames / sizeof kWirelessNames[0],
                "one factory value per wireless setting");
  for (size_t i = 0; i < sizeof values / sizeof values[0]; ++i)
    s.set(std::string("ap/") + kWirelessNames[i], values[i]);
  return s;
}

Settings initial_configuration() {
  Settings s;
  s.set("maker", "Kestrelon");
  s.set("conname", "connection0");
  s.set("contype", "pppoe");
  s.set("connection", "up");
  Settings w = factory_wireless();
  w.set("ap/channel", "11");
  // An SSID with a blank (which the PC must escape in the address of the
  // access list page) is a start setting away: ap/ssid=Home Net.
  w.set("ap/ssid", "HomeNet");
  w.set("ap/privacy_type", "1");
  w.set("ap/interval", "3600");
  w.set("ap/psktype", "2");
  w.set("ap/wep_auth_type", "1");
  w.set("ap/wep_privacy", "1");
  w.set("ap/key_value1", "0123456789");
  w.set("ap/key_value2", "0123 4567 89ab cdef 0123 4567 89");
  w.set("ap/key_len2", "128");
  w.set("ap/bgmode", "2");
  w.set("ap/access_type", "1");
  w.set("ap/access_list", "00:11:22:33:44:55 66:77:88:99:AA:BB");
  replace_wireless(&s, w);
  return s;
}

void replace_wireless(Settings *s, const Settings &from) {
  Settings out;
  for (const auto &kv : s->items())
    if (kv.first.compare(0, 3, "ap/") != 0) out.set(kv.first, kv.second);
  for (const auto &kv : from.items())
    if (kv.first.compare(0, 3, "ap/") == 0) out.set(kv.first, kv.second);
  *s = out;
}

void log_request(const SimDir &d, const std::string &service, const std::string &text) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  localtime_r(&tv.tv_sec, &tm);
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
           (int)(tv.tv_usec / 1000));
  std::string line = std::string(stamp) + " " + service + " ";
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      line += (char)c;
    } else {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02X", c);
      line += esc;
    }
  }
  line += "\n";
  // One write with O_APPEND keeps lines of concurrent writers whole.
  int fd = open(d.log().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  ssize_t n = write(fd, line.data(), line.size());
  (void)n;
  close(fd);
}

std::string bump_version(const std::string &version) {
  size_t dash = version.rfind('-');
  size_t dot = version.rfind('.', dash == std::string::npos ? std::string::npos : dash);
  if (dash == std::string::npos || dot == std::string::npos || dot > dash) return version + "-next";
  size_t digits_end = dot + 1;
  while (digits_end < dash && isdigit((unsigned char)version[digits_end])) ++digits_end;
  if (digits_end == dot + 1) return version + "-next";
  long n = strtol(version.substr(dot + 1, digits_end - dot - 1).c_str(), nullptr, 10);
  return version.substr(0, dot + 1) + std::to_string(n + 1) + version.substr(digits_end);
}

std::string kit_version(const std::string &config_xml_path) {
  FILE *in = fopen(config_xml_path.c_str(), "r");
  if (in == nullptr) return "";
  std::string line, found;
  while (next_line(in, &line)) {
    std::string lower;
    for (char c : line) lower += (char)tolower((unsigned char)c);
    size_t at = lower.find("config version");
    if (at == std::string::npos) continue;
    size_t q1 = line.find('"', at);
    size_t q2 = q1 == std::string::npos ? q1 : line.find('"', q1 + 1);
    if (q2 != std::string::npos) found = line.substr(q1 + 1, q2 - q1 - 1);
    break;
  }
  fclose(in);
  return found;
}

std::string flash_fingerprint(const SimDir &d) {
  // FNV-1a over both partitions, with each length mixed in so that moving
  // bytes from one partition to the other changes it too.
  uint64_t h = 1469598103934665603ull;
  auto mix = [&h](unsigned char c) {
    h ^= c;
    h *= 1099511628211ull;
  };
  for (int n : {0, 1}) {
    FILE *f = fopen(d.mtd(n).c_str(), "rb");
    uint64_t length = 0;
    if (f != nullptr) {
      unsigned char buf[65536];
      size_t got;
      while ((got = fread(buf, 1, sizeof buf, f)) > 0) {
        for (size_t i = 0; i < got; ++i) mix(buf[i]);
        length += got;
      }
      fclose(f);
    }
    for (int i = 0; i < 8; ++i) mix((unsigned char)(length >> (8 * i)));
  }
  char out[20];
  snprintf(out, sizeof out, "%016llx", (unsigned long long)h);
  return out;
}

std::string boot(const SimDir &d) {
  DirLock lock(d);
  Settings config, firmware, saved;
  config.load(d.config());
  firmware.load(d.firmware());
  if (!saved.load(d.saved())) saved = initial_configuration();

  std::string account;
  std::string fp = flash_fingerprint(d);
  std::string old_fp = firmware.get("flash_fp");
  if (!old_fp.empty() && old_fp != fp) {
    std::string next = config.get("next_version");
    if (next.empty()) next = bump_version(firmware.get("version"));
    account = "new image: version " + firmware.get("version") + " -> " + next +
              ", wireless settings back to factory defaults";
    firmware.set("version", next);
    replace_wireless(&saved, factory_wireless());
    saved.save(d.saved());
  } else {
    account = "version " + firmware.get("version");
  }
  firmware.set("flash_fp", fp);
  firmware.set("boots", std::to_string(atoi(firmware.get("boots", "0").c_str()) + 1));
  firmware.save(d.firmware());

  Settings running = saved;
  running.set("connection", "up");
  running.save(d.state());
  return "boot " + firmware.get("boots") + ": " + account;
}

}  // namespace gwsim
