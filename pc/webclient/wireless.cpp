// Backup of the access point's settings into "C:\Ssid" and "C:\AccessList"
// as ready-made form bodies, and their replay after the upgrade. Values are
// read with their character references decoded and stored form-encoded,
// so that they reach the gateway as they were; only WEP keys are rewritten.
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>

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

// Values of the named settings found in the scratch page, and how many
// times any of them matched. The last match of a key wins.
struct PageValues {
  std::map<std::string, std::string> value;
  int count = 0;
  const std::string &operator[](const char *name) { return value[name]; }
};

bool ReadPage(const char *const *names, size_t n, PageValues &out,
              const char *const *keys = nullptr) {
  TextFile page;
  if (!page.Open(LocalPath(kScratchPageFile), "r")) return false;
  std::string line;
  std::string v;
  while (page.ReadWholeLine(line)) {
    for (size_t i = 0; i < n; i++) {
      std::string key = keys && keys[i] ? std::string(keys[i]) : Key(names[i]);
      if (CGatewayClient::ExtractFieldValue(line.c_str(), key.c_str(), v)) {
        out.value[names[i]] = v;
        out.count++;
      }
    }
  }
  return true;
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

bool CGatewayClient::ExtractFieldValue(const char *line, const char *key,
                                       std::string &out) {
  int pos = CTextUtil::Find(line, key);
  if (pos < 0) return false;
  const char *after = line + pos + strlen(key);
  int end = CTextUtil::Find(after, "\" id");
  if (end < 0)
    out.clear();
  else
    out = DecodeCharacterReferences(std::string(after, static_cast<size_t>(end)));
  return true;
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
  TextFile page;
  if (!page.Open(LocalPath(kScratchPageFile), "r")) return -1;
  TextFile ssid;
  if (!ssid.Open(LocalPath(kSsidFile), "a")) return -1;
  std::string bgmodeKey = Key("bgmode");
  std::string hiddenKey = Key("hidden_ssid");
  std::string line, value, hidden;
  int count = 0;
  bool ok = true;
  while (page.ReadWholeLine(line)) {
    if (ExtractFieldValue(line.c_str(), bgmodeKey.c_str(), value)) {
      count++;
      ok = ssid.Write("\n" + Connection(word) + Field("bgmode", value)) && ok;
    }
    if (ExtractFieldValue(line.c_str(), hiddenKey.c_str(), value)) {
      count++;
      hidden = value;
    }
  }
  if (count >= 2 && atoi(hidden.c_str()) == 1)
    ok = ssid.Write("\n" + Connection(word) + "&ap:settings/hidden_ssid=1") && ok;
  if (!ssid.Close() || !ok) return -1;
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
  TextFile page, list;
  if (!page.Open(scratchPath, "r") || !list.Open(listPath, "w")) return -1;

  int count = 0;
  bool ok = true;
  std::string line;
  while (page.ReadWholeLine(line)) {
    const char *rest = line.c_str();
    int pos;
    while ((pos = CTextUtil::Find(rest, kListMarker)) >= 0) {
      count++;
      rest += pos + strlen(kListMarker);
      std::string mac;
      CTextUtil::Left(rest, mac, 17);
      if (mac.size() > 11) ok = list.Write(mac + "\n") && ok;
    }
    pos = CTextUtil::Find(line.c_str(), kAccessTypeMarker);
    if (pos >= 0) {
      count++;
      char type[2] = {line[pos + strlen(kAccessTypeMarker)], '\0'};
      if (atoi(type) == 0) {
        // The list is not in use on the gateway: nothing to restore.
        page.Close();
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
  page.Close();
  ok = list.Close() && ok;
  platform::DeleteLocalFile(scratchPath);
  if (!ok) return -1;
  return count >= 2 ? 1 : 0;
}

bool CGatewayClient::DisableAccessPoint() {
  return PostForm(kWebcm, "ap:settings/ap_enabled=0");
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
