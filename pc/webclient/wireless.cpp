// Backup of the access point's settings into "C:\Ssid" and "C:\AccessList"
// as ready-made form bodies, and their replay after the upgrade. Values are
// read from the page's bytes (a value may hold a line end or any other
// byte) with their character references decoded, and stored form-encoded,
// so that they reach the gateway as they were; only WEP keys are rewritten.
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

#include "platform/environment.h"
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
bool ReadScratchPage(std::string *page) {
  return platform::ReadWholeFile(LocalPath(kScratchPageFile), page);
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

bool ReadPage(const char *const *names, size_t n, PageValues &out,
              const char *const *keys = nullptr) {
  std::string page;
  if (!ReadScratchPage(&page)) return false;
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

bool AppendToSsid(const std::string &text) {
  TextFile ssid;
  if (!ssid.Open(LocalPath(kSsidFile), "a")) return false;
  bool ok = ssid.Write(text);
  return ssid.Close() && ok;
}

// The key as read from the page (decoded): a short key goes with four
// blanks in front, which the gateway drops; form encoding makes every blank
// a "+".
std::string WepKeyText(const std::string &key) {
  return key.size() < 14 ? "++++" + FormValue(key) : FormValue(key);
}

}  // namespace

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
  if (!ReadPage(kNames, 7, v)) return false;
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

int CGatewayClient::BackupWireless() {
  if (FileExists(kSsidFile)) return 1;
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
  {
    TextFile file;
    if (!file.Open(LocalPath(kSsidFile), "w")) return -1;
    bool ok = file.Write(main);
    if (!file.Close() || !ok) return -1;
  }

  bool ok = true;
  if (privacy == 1)
    ok = BackupWepSettings(word);
  else if (privacy == 2)
    ok = Backup8021x(word);
  else if (privacy == 3)
    ok = BackupWpaSettings(word);
  ok = ok && BackupAccessList(word, channel.c_str(), ssid.c_str()) >= 0 &&
       BackupApAdvanced(word) >= 0;
  // What cannot be written back exactly must not pass for saved: the
  // restore would change it and the read-back could not tell.
  std::string saved, list, name;
  if (ok && platform::ReadWholeFile(LocalPath(kSsidFile), &saved) &&
      !(name = UnrestorableSetting(saved)).empty()) {
    SetProblem("the Gateway's wireless setting " + name +
                   " holds a NUL byte, which the Gateway's settings form cannot take back",
               "Give that setting another value on the Gateway's wireless pages, then try "
               "again.");
    ok = false;
  }
  if (ok && platform::ReadWholeFile(LocalPath(kAccessListFile), &list) &&
      list.find('\0') != std::string::npos) {
    SetProblem("an entry of the Gateway's wireless access list holds a NUL byte, which the "
               "Gateway's settings form cannot take back");
    ok = false;
  }
  if (ok) return 1;
  // Half a backup would restore half the settings and call that done.
  platform::DeleteLocalFile(LocalPath(kSsidFile));
  platform::DeleteLocalFile(LocalPath(kAccessListFile));
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
  if (!ReadPage(kNames, 12, v) || v.count < 12) return false;
  std::string line = "\n" + Connection(word) + Field("privacy_type", v["privacy_type"]) +
                     Field("wep_privacy", v["wep_privacy"]) +
                     Field("wep_auth_type", v["wep_auth_type"]) + Field("key_id", v["key_id"]);
  for (int i = 1; i <= 4; i++) {
    std::string n = std::to_string(i);
    line += "&ap:settings/key_value" + n + "=" + WepKeyText(v.value["key_value" + n]) +
            Field(("key_len" + n).c_str(), v.value["key_len" + n]);
  }
  return AppendToSsid(line);
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
  if (!ReadPage(kNames, 7, v) || v.count < 7) return false;
  return AppendToSsid("\n" + Connection(word) + Field("privacy_type", v["privacy_type"]) +
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
  if (!ReadPage(kNames, 9, v, kKeys) || v.count < 5) return false;
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
  return AppendToSsid(line);
}

int CGatewayClient::BackupApAdvanced(const char *word) {
  if (FetchPage(PageAddress("custom_setup_apadv.html", word).c_str(),
                SettingsPage) == 0)
    return PageWhole() ? 0 : -1;
  std::string page;
  if (!ReadScratchPage(&page)) return -1;
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
  if (!lines.empty() && !AppendToSsid(lines)) return -1;
  return count >= 2 ? 1 : 0;
}

int CGatewayClient::BackupAccessList(const char *word, const char *channel,
                                     const char *ssid) {
  std::string address = PageAddress("custom_setup_access.html", word) +
                        "&ap:settings/ap_enabled=1" + "&ap:settings/channel=" +
                        AddressValue(channel) + "&ap:settings/ssid=" + AddressValue(ssid) +
                        "&ap:settings/privacy_type=0";
  if (FetchPage(address.c_str(), SettingsPage) == 0) return PageWhole() ? 0 : -1;
  std::string scratchPath = LocalPath(kScratchPageFile);
  std::string listPath = LocalPath(kAccessListFile);
  std::string page;
  TextFile list;
  if (!ReadScratchPage(&page) || !list.Open(listPath, "w")) return -1;

  // Line by line, as the page shows the list, over the page's bytes.
  int count = 0;
  bool ok = true;
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
      if (mac.size() > 11) ok = list.Write(mac + "\n") && ok;
    }
    long pos = CTextUtil::FindIn(line.data(), line.size(), kAccessTypeMarker);
    if (pos >= 0) {
      count++;
      size_t at = static_cast<size_t>(pos) + typeLen;
      char type[2] = {at < line.size() ? line[at] : '\0', '\0'};
      if (atoi(type) == 0) {
        // The list is not in use on the gateway: nothing to restore.
        list.Close();
        platform::DeleteLocalFile(scratchPath);
        platform::DeleteLocalFile(listPath);
        return 0;
      }
      ok = list.Write(std::string("ap:settings/access_type=") + type + "\n" +
                      "connectiontype=" + word + "\n") &&
           ok;
      break;
    }
  }
  ok = list.Close() && ok;
  platform::DeleteLocalFile(scratchPath);
  if (!ok) return -1;
  return count >= 2 ? 1 : 0;
}

bool CGatewayClient::DisableAccessPoint() {
  return PostForm(kWebcm, "ap:settings/ap_enabled=0");
}

bool CGatewayClient::EnableAccessPoint() {
  return PostForm(kWebcm, "ap:settings/ap_enabled=1");
}

bool CGatewayClient::RestoreWireless() {
  // The backup stays until the settings read back equal to it
  // (VerifyWireless), so that every attempt starts from the whole of it.
  TextFile file;
  if (!file.Open(LocalPath(kSsidFile), "r")) return false;
  std::string line;
  while (file.ReadWholeLine(line)) {
    Env().clock->PumpingSleep(1000);
    if (!PostForm(kWebcm, CutAtLineEnd(line).c_str())) return false;
  }
  file.Close();
  Env().clock->PumpingSleep(1000);
  return RestoreAccessList();
}

bool CGatewayClient::RestoreAccessList() {
  const char kTypeKey[] = "ap:settings/access_type=";
  const char kWordKey[] = "connectiontype=";
  TextFile file;
  if (!file.Open(LocalPath(kAccessListFile), "r")) return true;
  std::string line, type, word;
  while (file.ReadWholeLine(line)) {
    std::string l = CutAtLineEnd(line);
    int pos = CTextUtil::Find(l.c_str(), kTypeKey);
    if (pos >= 0) type = l.substr(pos + strlen(kTypeKey));
    pos = CTextUtil::Find(l.c_str(), kWordKey);
    if (pos >= 0) word = l.substr(pos + strlen(kWordKey));
  }
  file.Rewind();
  while (file.ReadWholeLine(line)) {
    std::string mac = CutAtLineEnd(line);
    if (CTextUtil::Find(mac.c_str(), kTypeKey) >= 0) break;
    std::string body = "var:conname=connection0&var:contype=" + word +
                       "&ap:settings/access_type=" + type + Field("mac_add", mac);
    if (!PostForm(kWebcm, body.c_str())) return false;
  }
  return true;
}

int CGatewayClient::VerifyWireless() {
  std::string ssid, list, readSsid, readList;
  if (!platform::ReadWholeFile(LocalPath(kSsidFile), &ssid)) return -1;
  platform::ReadWholeFile(LocalPath(kAccessListFile), &list);
  // The backup steps aside while the gateway's settings are read into the
  // same files as a fresh backup, and comes back over them afterwards.
  SwapBackupFiles(false);
  int r = BackupWireless();
  if (r > 0) {
    platform::ReadWholeFile(LocalPath(kSsidFile), &readSsid);
    platform::ReadWholeFile(LocalPath(kAccessListFile), &readList);
  }
  SwapBackupFiles(true);
  if (r < 0) return -1;
  return r > 0 && readSsid == ssid && readList == list ? 1 : 0;
}

}  // namespace velmora
