// Reading the access point's settings as ready-made form bodies (what
// "C:\Ssid" and "C:\AccessList" hold; the backup's owner keeps them), and
// their replay after the upgrade. Values are read from the page's bytes (a
// value may hold a line end or any other byte) with their character
// references decoded, and stored form-encoded, so that they reach the
// gateway as they were; only WEP keys are rewritten.
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "app/environment.h"
#include "platform/files.h"
#include "webclient/gateway_client.h"
#include "webclient/text_file.h"

namespace velmora {

namespace {

const char kWebcm[] = "cgi-bin/webcm";
const char kPagePrefix[] = "cgi-bin/webcm?getpage=../html/";
const char kListMarker[] = "list_init[i++]='";
const char kAccessTypeMarker[] = "ap:settings/access_type\" value=\"";
const char kValueEnd[] = "\" id";
const char kValueStart[] = "value=\"";

std::string Key(const char *name) {
  return std::string("ap:settings/") + name + "\" value=\"";
}

std::string Connection(const char *word) {
  return std::string("var:conname=connection0&var:contype=") + word;
}

// "&ap:settings/NAME=" and the value, form-encoded.
std::string Field(const char *name, const std::string &value) {
  return std::string("&ap:settings/") + name + "=" + FormValue(value);
}

std::string PageAddress(const char *page, const char *word) {
  return std::string(kPagePrefix) + page + "&var:conname=connection0" +
         "&var:contype=" + word;
}

// The scratch page as it arrived, byte for byte.
bool ReadScratchPage(const std::string &path, std::string *page) {
  return platform::ReadWholeFile(path, page);
}

// The value that starts at `at`: the bytes up to the first "\" id" after
// it, character references decoded. A value that runs into the next field
// (another value=") before such an end has no end of its own: it cannot be
// read.
bool ValueAt(const std::string &page, size_t at, std::string &out) {
  long end = CTextUtil::FindIn(page.data(), page.size(), kValueEnd, at);
  if (end < 0) return false;
  if (CTextUtil::FindIn(page.data(), static_cast<size_t>(end), kValueStart, at) >= 0)
    return false;
  out = DecodeCharacterReferences(page.substr(at, static_cast<size_t>(end) - at));
  return true;
}

// Calls take(value) for every occurrence of `key` in `page` whose value
// can be read, in page order.
template <typename Take>
void EachValue(const std::string &page, const std::string &key, Take take) {
  std::string v;
  for (long at = 0; (at = CTextUtil::FindIn(page.data(), page.size(), key.c_str(),
                                            static_cast<size_t>(at))) >= 0;) {
    at += static_cast<long>(key.size());
    if (ValueAt(page, static_cast<size_t>(at), v)) take(v);
  }
}

// Values of the named settings found in the scratch page, and how many
// times any of them was found with a value that can be read. The last one
// of a key wins.
struct PageValues {
  std::map<std::string, std::string> value;
  int count = 0;
  const std::string &operator[](const char *name) { return value[name]; }
};

bool ReadPage(const std::string &scratch, const char *const *names, size_t n, PageValues &out,
              const char *const *keys = nullptr) {
  std::string page;
  if (!ReadScratchPage(scratch, &page)) return false;
  for (size_t i = 0; i < n; i++) {
    std::string key = keys && keys[i] ? std::string(keys[i]) : Key(names[i]);
    EachValue(page, key, [&](const std::string &v) {
      out.value[names[i]] = v;
      out.count++;
    });
  }
  return true;
}

// The setting of a restore line whose value no form can carry back: a NUL
// byte ends a value for the gateway's form. FormValue writes it "%00", and
// nothing else makes those bytes. "" when every value can go back.
std::string UnrestorableSetting(const std::string &body) {
  size_t at = body.find("%00");
  if (at == std::string::npos) return "";
  size_t eq = body.rfind('=', at);
  size_t from = body.rfind('&', eq);
  std::string name = body.substr(from == std::string::npos ? 0 : from + 1,
                                 eq - (from == std::string::npos ? 0 : from + 1));
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool AppendToSsid(WirelessSettings &settings, const std::string &text) {
  settings.ssid += text;
  return true;
}

// The key as read from the page (decoded): a short key goes with four
// blanks in front, which the gateway drops; form encoding makes every blank
// a "+".
std::string WepKeyText(const std::string &key) {
  return key.size() < 14 ? "++++" + FormValue(key) : FormValue(key);
}

// The lines of a saved text, without their line ends; empty lines are no
// form bodies and are skipped.
std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t lf = text.find('\n', at);
    if (lf == std::string::npos) lf = text.size();
    if (lf > at) lines.push_back(text.substr(at, lf - at));
    at = lf + 1;
  }
  return lines;
}

// The settings BackupWireless writes into the form bodies.
const char *const kSavedNames[] = {
    "ap_enabled",  "channel",    "ssid",          "privacy_type", "interval",   "psktype",
    "wep_auth_type", "wep_privacy", "key_id",     "key_value1",   "key_len1",   "key_value2",
    "key_len2",    "key_value3", "key_len3",      "key_value4",   "key_len4",   "radius_ip",
    "radius_port", "radius_secret", "pskvalue",   "bgmode",       "hidden_ssid"};

bool IsConnectionWord(const std::string &word) {
  for (int type = 1; type <= 5; ++type)
    if (word == CGatewayClient::ConnectionWord(type)) return true;
  return false;
}

bool IsSavedField(const std::string &name) {
  if (name == "grp_interval") return true;
  const std::string prefix = "ap:settings/";
  if (name.compare(0, prefix.size(), prefix) != 0) return false;
  for (const char *saved : kSavedNames)
    if (name.compare(prefix.size(), std::string::npos, saved) == 0) return true;
  return false;
}

// A piece of the file for a refusal: short, and nothing that could act on
// a terminal.
std::string Shown(const std::string &text) {
  std::string out;
  for (unsigned char c : text.substr(0, 40)) out += c < 0x20 || c >= 0x7F ? '?' : static_cast<char>(c);
  return text.size() > 40 ? out + "..." : out;
}

}  // namespace

bool CheckWirelessBackup(const WirelessSettings &settings, std::string *problem) {
  std::vector<std::string> bodies = Lines(settings.ssid);
  if (bodies.empty()) {
    *problem = "the backup holds no settings";
    return false;
  }
  int lineNo = 0;
  for (const std::string &body : bodies) {
    ++lineNo;
    const std::string where = " (line " + std::to_string(lineNo) + " of " + kSsidFile + ")";
    std::vector<std::string> fields;
    for (size_t at = 0;; ) {
      size_t amp = body.find('&', at);
      fields.push_back(body.substr(at, amp == std::string::npos ? std::string::npos : amp - at));
      if (amp == std::string::npos) break;
      at = amp + 1;
    }
    const std::string kContype = "var:contype=";
    if (fields.size() < 3 || fields[0] != "var:conname=connection0" ||
        fields[1].compare(0, kContype.size(), kContype) != 0 ||
        !IsConnectionWord(fields[1].substr(kContype.size()))) {
      *problem = "a line that is not one of the settings this utility saves" + where;
      return false;
    }
    for (size_t i = 2; i < fields.size(); ++i) {
      std::string name = fields[i].substr(0, fields[i].find('='));
      if (fields[i].find('=') == std::string::npos || !IsSavedField(name)) {
        *problem = "the field \"" + Shown(name) + "\", which this utility never saves" + where;
        return false;
      }
    }
  }
  // The access list: addresses as the page showed them (whatever they
  // hold: each goes out as a value), then its type and the connection.
  std::vector<std::string> list = Lines(settings.accessList);
  const std::string kType = "ap:settings/access_type=", kWord = "connectiontype=";
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string &l = list[i];
    const std::string where = " (line " + std::to_string(i + 1) + " of " + kAccessListFile + ")";
    if (l.compare(0, kType.size(), kType) == 0) {
      bool typeOk = l.size() == kType.size() + 1 && l.back() >= '1' && l.back() <= '9';
      bool last = i + 2 == list.size() && list[i + 1].compare(0, kWord.size(), kWord) == 0 &&
                  IsConnectionWord(list[i + 1].substr(kWord.size()));
      if (typeOk && last) break;
      *problem = "an access type or connection this utility never saves" + where;
      return false;
    }
    if (l.size() > 17) {
      *problem = "\"" + Shown(l) + "\", which is not an address of the access list" + where;
      return false;
    }
  }
  return true;
}

bool CGatewayClient::ExtractFieldValue(const std::string &text, const char *key,
                                       std::string &out) {
  long pos = CTextUtil::FindIn(text.data(), text.size(), key);
  return pos >= 0 && ValueAt(text, static_cast<size_t>(pos) + strlen(key), out);
}

int CGatewayClient::GetConnectionType() {
  return FetchPage("cgi-bin/webcm?getpage=../mon/conn.inf", ConnectionType);
}

bool CGatewayClient::ReadSsidPage(std::string &ssid, std::string &channel,
                                  std::string &privacyType,
                                  std::string &interval, std::string &psktype,
                                  std::string &wepAuthType,
                                  std::string &wepPrivacy) {
  static const char *const kNames[] = {"channel",  "ssid",          "privacy_type",
                                       "interval", "psktype",       "wep_auth_type",
                                       "wep_privacy"};
  PageValues v;
  if (!ReadPage(ScratchPage(), kNames, 7, v)) return false;
  if (v.count != 7)
    SetProblem("the Gateway's page of the wireless name shows " + std::to_string(v.count) +
               " readable settings where it has 7");
  ssid = v["ssid"];
  channel = v["channel"];
  privacyType = v["privacy_type"];
  interval = v["interval"];
  psktype = v["psktype"];
  wepAuthType = v["wep_auth_type"];
  wepPrivacy = v["wep_privacy"];
  return v.count == 7;
}

int CGatewayClient::BackupWireless(WirelessSettings &settings) {
  settings = WirelessSettings();
  // Nothing to save only when the gateway says so on a whole page; a page
  // that could not be read stops the run before anything is changed.
  const char *word = ConnectionWord(GetConnectionType());
  if (!PageWhole()) return -1;
  if (!word) return 0;
  if (FetchPage(PageAddress("custom_setup_ssid.html", word).c_str(),
                AccessPointEnabled) == 0)
    return PageWhole() ? 0 : -1;
  std::string ssid, channel, privacyType, interval, psktype, wepAuthType,
      wepPrivacy;
  if (!ReadSsidPage(ssid, channel, privacyType, interval, psktype, wepAuthType,
                    wepPrivacy))
    return -1;

  std::string main = Connection(word) + "&ap:settings/ap_enabled=1" +
                     Field("channel", channel) + Field("ssid", ssid) +
                     Field("privacy_type", privacyType);
  int privacy = atoi(privacyType.c_str());
  if (privacy > 0)
    main += Field("interval", interval) + Field("psktype", psktype) +
            Field("wep_auth_type", wepAuthType) + Field("wep_privacy", wepPrivacy);
  settings.ssid = main;
  reading_ = &settings;
  bool ok = true;
  if (privacy == 1)
    ok = BackupWepSettings(word);
  else if (privacy == 2)
    ok = Backup8021x(word);
  else if (privacy == 3)
    ok = BackupWpaSettings(word);
  ok = ok && BackupAccessList(word, channel.c_str(), ssid.c_str()) >= 0 &&
       BackupApAdvanced(word) >= 0;
  reading_ = nullptr;
  // What cannot be written back exactly must not pass for saved: the
  // restore would change it and the read-back could not tell.
  std::string name;
  if (ok && !(name = UnrestorableSetting(settings.ssid)).empty()) {
    SetProblem("the Gateway's wireless setting " + name +
                   " holds a NUL byte, which the Gateway's settings form cannot take back",
               "Give that setting another value on the Gateway's wireless pages, then try "
               "again.");
    ok = false;
  }
  if (ok && settings.accessList.find('\0') != std::string::npos) {
    SetProblem("an entry of the Gateway's wireless access list holds a NUL byte, which the "
               "Gateway's settings form cannot take back");
    ok = false;
  }
  if (ok) return 1;
  // Half a backup would restore half the settings and call that done.
  settings = WirelessSettings();
  return -1;
}

bool CGatewayClient::BackupWepSettings(const char *word) {
  static const char *const kNames[] = {
      "privacy_type", "wep_privacy", "wep_auth_type", "key_id",
      "key_value1",   "key_len1",    "key_value2",    "key_len2",
      "key_value3",   "key_len3",    "key_value4",    "key_len4"};
  if (FetchPage(PageAddress("custom_setup_wep.html", word).c_str(),
                SettingsPage) != 1 || !PageWhole())
    return false;
  PageValues v;
  if (!ReadPage(ScratchPage(), kNames, 12, v) || v.count < 12) return false;
  std::string line = "\n" + Connection(word) + Field("privacy_type", v["privacy_type"]) +
                     Field("wep_privacy", v["wep_privacy"]) +
                     Field("wep_auth_type", v["wep_auth_type"]) + Field("key_id", v["key_id"]);
  for (int i = 1; i <= 4; i++) {
    std::string n = std::to_string(i);
    line += "&ap:settings/key_value" + n + "=" + WepKeyText(v.value["key_value" + n]) +
            Field(("key_len" + n).c_str(), v.value["key_len" + n]);
  }
  return AppendToSsid(Reading(), line);
}

bool CGatewayClient::Backup8021x(const char *word) {
  static const char *const kNames[] = {"ap_enabled",  "privacy_type",
                                       "wep_privacy", "radius_ip",
                                       "radius_port", "radius_secret",
                                       "interval"};
  if (FetchPage(PageAddress("custom_setup_8021x.html", word).c_str(),
                SettingsPage) != 1 || !PageWhole())
    return false;
  PageValues v;
  if (!ReadPage(ScratchPage(), kNames, 7, v) || v.count < 7) return false;
  return AppendToSsid(Reading(), "\n" + Connection(word) + Field("privacy_type", v["privacy_type"]) +
                      Field("radius_ip", v["radius_ip"]) +
                      Field("radius_port", v["radius_port"]) +
                      Field("radius_secret", v["radius_secret"]) +
                      Field("interval", v["interval"]));
}

bool CGatewayClient::BackupWpaSettings(const char *word) {
  static const char *const kNames[] = {
      "ap_enabled",    "privacy_type", "wep_privacy", "radius_ip", "radius_port",
      "radius_secret", "interval",     "psktype",     "pskvalue"};
  // This page's ap_enabled key stops one quote short of the others.
  static const char *const kKeys[] = {"ap:settings/ap_enabled\" value=",
                                      nullptr, nullptr, nullptr, nullptr,
                                      nullptr, nullptr, nullptr, nullptr};
  if (FetchPage(PageAddress("custom_setup_wpa.html", word).c_str(),
                SettingsPage) != 1 || !PageWhole())
    return false;
  PageValues v;
  if (!ReadPage(ScratchPage(), kNames, 9, v, kKeys) || v.count < 5) return false;
  std::string line = "\n" + Connection(word) + Field("privacy_type", v["privacy_type"]);
  int psk = atoi(v["psktype"].c_str());
  if (psk == 0)
    line += Field("radius_ip", v["radius_ip"]) + Field("radius_port", v["radius_port"]) +
            Field("radius_secret", v["radius_secret"]) + Field("interval", v["interval"]) +
            Field("psktype", v["psktype"]);
  else if (psk == 2)
    line += Field("interval", v["interval"]) + Field("psktype", v["psktype"]) +
            Field("pskvalue", v["pskvalue"]);
  line += "&grp_interval=" + FormValue(v["interval"]);
  return AppendToSsid(Reading(), line);
}

int CGatewayClient::BackupApAdvanced(const char *word) {
  if (FetchPage(PageAddress("custom_setup_apadv.html", word).c_str(),
                SettingsPage) == 0)
    return PageWhole() ? 0 : -1;
  std::string page;
  if (!ReadScratchPage(ScratchPage(), &page)) return -1;
  std::string lines, hidden;
  int count = 0;
  EachValue(page, Key("bgmode"), [&](const std::string &v) {
    count++;
    lines += "\n" + Connection(word) + Field("bgmode", v);
  });
  EachValue(page, Key("hidden_ssid"), [&](const std::string &v) {
    count++;
    hidden = v;
  });
  if (count >= 2 && atoi(hidden.c_str()) == 1)
    lines += "\n" + Connection(word) + "&ap:settings/hidden_ssid=1";
  if (!lines.empty()) AppendToSsid(Reading(), lines);
  return count >= 2 ? 1 : 0;
}

int CGatewayClient::BackupAccessList(const char *word, const char *channel,
                                     const char *ssid) {
  std::string address = PageAddress("custom_setup_access.html", word) +
                        "&ap:settings/ap_enabled=1" + "&ap:settings/channel=" +
                        AddressValue(channel) + "&ap:settings/ssid=" + AddressValue(ssid) +
                        "&ap:settings/privacy_type=0";
  if (FetchPage(address.c_str(), SettingsPage) == 0) return PageWhole() ? 0 : -1;
  std::string scratchPath = ScratchPage();
  std::string page;
  if (!ReadScratchPage(scratchPath, &page)) return -1;
  std::string &list = Reading().accessList;
  list.clear();

  // Line by line, as the page shows the list, over the page's bytes.
  int count = 0;
  const size_t markerLen = strlen(kListMarker);
  const size_t typeLen = strlen(kAccessTypeMarker);
  for (size_t start = 0; start < page.size();) {
    size_t lf = page.find('\n', start);
    std::string line = page.substr(start, lf == std::string::npos ? std::string::npos
                                                                  : lf + 1 - start);
    start += line.size();
    for (long pos = 0;
         (pos = CTextUtil::FindIn(line.data(), line.size(), kListMarker,
                                  static_cast<size_t>(pos))) >= 0;) {
      count++;
      pos += static_cast<long>(markerLen);
      std::string mac = line.substr(static_cast<size_t>(pos), 17);
      if (mac.size() > 11) list += mac + "\n";
    }
    long pos = CTextUtil::FindIn(line.data(), line.size(), kAccessTypeMarker);
    if (pos >= 0) {
      count++;
      size_t at = static_cast<size_t>(pos) + typeLen;
      char type[2] = {at < line.size() ? line[at] : '\0', '\0'};
      if (atoi(type) == 0) {
        // The list is not in use on the gateway: nothing to restore.
        list.clear();
        platform::DeleteLocalFile(scratchPath);
        return 0;
      }
      list += std::string("ap:settings/access_type=") + type + "\n" + "connectiontype=" + word +
              "\n";
      break;
    }
  }
  platform::DeleteLocalFile(scratchPath);
  return count >= 2 ? 1 : 0;
}

bool CGatewayClient::DisableAccessPoint() {
  return PostForm(kWebcm, "ap:settings/ap_enabled=0");
}

bool CGatewayClient::EnableAccessPoint() {
  return PostForm(kWebcm, "ap:settings/ap_enabled=1");
}

bool CGatewayClient::RestoreWireless(const WirelessSettings &settings) {
  // Not a byte goes out of a backup that is not the wizard's own.
  std::string why;
  if (!CheckWirelessBackup(settings, &why)) {
    SetProblem(why);
    return false;
  }
  // Every attempt starts from the whole of the settings: the backup stays
  // until they read back equal to it (VerifyWireless).
  for (const std::string &line : Lines(settings.ssid)) {
    Env().clock->PumpingSleep(1000);
    if (!PostForm(kWebcm, line.c_str())) return false;
  }
  Env().clock->PumpingSleep(1000);
  return RestoreAccessList(settings.accessList);
}

bool CGatewayClient::RestoreAccessList(const std::string &accessList) {
  const char kTypeKey[] = "ap:settings/access_type=";
  const char kWordKey[] = "connectiontype=";
  std::vector<std::string> lines = Lines(accessList);
  // The addresses come first, each posted as a value whatever it holds;
  // the type and the connection follow them.
  size_t macs = 0;
  while (macs < lines.size() && lines[macs].compare(0, strlen(kTypeKey), kTypeKey) != 0) ++macs;
  std::string type, word;
  if (macs < lines.size()) type = lines[macs].substr(strlen(kTypeKey));
  if (macs + 1 < lines.size() && lines[macs + 1].compare(0, strlen(kWordKey), kWordKey) == 0)
    word = lines[macs + 1].substr(strlen(kWordKey));
  for (size_t i = 0; i < macs; ++i) {
    const std::string &mac = lines[i];
    std::string body = "var:conname=connection0&var:contype=" + word +
                       "&ap:settings/access_type=" + type + Field("mac_add", mac);
    if (!PostForm(kWebcm, body.c_str())) return false;
  }
  return true;
}

int CGatewayClient::VerifyWireless(const WirelessSettings &saved) {
  // Read afresh into memory: the backup on disk is not touched.
  WirelessSettings now;
  int r = BackupWireless(now);
  if (r < 0) return -1;
  return r > 0 && now.ssid == saved.ssid && now.accessList == saved.accessList ? 1 : 0;
}

}  // namespace velmora
