// The firmware version check, the kit's image and the firmware upload.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/environment.h"
#include "app/support_log.h"
#include "contract/kitmeta.h"
#include "contract/result.h"
#include "contract/version.h"
#include "platform/files.h"
#include "webclient/gateway_client.h"
#include "webclient/text_file.h"

namespace velmora {

namespace {

const char *const kVersionMessages[8] = {
    "No error.",
    "Can not get firmware version from current gateway device.",
    "Old firmware version format is wrong.",
    "Can not find config.xml file.",
    "Can not find firmware version from config file.",
    "New firmware version format is wrong.",
    "Can not upgrade to the different hardware platform.",
    "Can not upgrade back to the previous firmware version.",
};

const char kKitDamaged[] = GWC_KIT_DAMAGED;
const char kOtherKit[] = GWC_OTHER_KIT;

const size_t kMaxPlatforms = GWC_PLATFORMS_MAX;
const size_t kQuoteWindow = 200;
const char kQornPage[] = "cgi-bin/webcm?getpage=../html/qorn.html";

// The text between the first two double quotes of `from`, each looked for
// within at most 200 characters.
bool QuotedAfter(const char *from, std::string &value) {
  std::string head;
  CTextUtil::Left(from, head, static_cast<int>(kQuoteWindow));
  int q1 = CTextUtil::Find(head.c_str(), "\"");
  if (q1 < 0) return false;
  std::string rest;
  CTextUtil::Left(head.c_str() + q1 + 1, rest, static_cast<int>(kQuoteWindow));
  int q2 = CTextUtil::Find(rest.c_str(), "\"");
  if (q2 < 0) return false;
  value = DecodeCharacterReferences(rest.substr(0, static_cast<size_t>(q2)));
  return true;
}

// Reads `path` line by line until a line holds key; then the quoted value
// after the key.
bool QuotedValueInFile(const std::string &path, const char *key,
                       std::string &value) {
  TextFile file;
  if (!file.Open(path, "r")) return false;
  std::string line;
  while (file.ReadWholeLine(line)) {
    int pos = CTextUtil::Find(line.c_str(), key);
    if (pos >= 0) return QuotedAfter(line.c_str() + pos, value);
  }
  return false;
}

bool StartsWith(const std::string &s, const char *prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

// Splits a version as both sides do (contract/version.h).
bool SplitVersion(const std::string &text, gwc_version &v) {
  const char *why = "";
  return gwc_version_parse(text.data(), text.size(), &v, &why) != 0;
}

}  // namespace

const char *VersionErrorMessage(int versionError) {
  return versionError >= 0 && versionError < 8 ? kVersionMessages[versionError]
                                               : "";
}

const char *DornixFailMeaning(int code, const char **todo) {
  const gwc_result_info *r = code > 0 ? gwc_result_find(code) : nullptr;
  if (r != nullptr) {
    *todo = r->todo;
    return r->what;
  }
  *todo = GWC_RETRY_THEN_SUPPORT;
  return "the Gateway refused the upload";
}

void CGatewayClient::ReadUpgradeList() {
  platformList.clear();
  std::string text;
  if (!platform::ReadWholeFile(KitFile("upgrade.ini"), &text)) return;
  gwc_span token;
  for (size_t pos = 0; platformList.size() < kMaxPlatforms &&
                       gwc_ini_next_token(text.data(), text.size(), &pos, &token);)
    if (gwc_ini_is_platform(text.data(), token)) platformList.push_back(text.substr(token.at, token.length));
}

bool CGatewayClient::ParseVersion(const char *text, VersionParts &out) {
  out = VersionParts();
  gwc_version v;
  if (!text || !SplitVersion(text, v)) return false;
  for (int i = 0; i <= v.dots; i++) out.fields.push_back(std::string(text + v.field[i].at, v.field[i].length));
  std::string name(text + v.field[v.dots + 1].at, v.field[v.dots + 1].length);
  for (char &c : name)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  out.fields.push_back(name);
  out.dots = v.dots;
  return true;
}

bool CGatewayClient::FetchQuotedValue(const char *path, const char *key,
                                      std::string &value) {
  if (FetchPage(path, SettingsPage) != 1 || !PageUsable()) return false;
  return QuotedValueInFile(ScratchPage(), key, value);
}

bool CGatewayClient::ReadRunningVersion(std::string &running) {
  std::string conName, conType;
  if (!FetchQuotedValue(kQornPage, "con_name[con_cnt]", conName) ||
      !FetchQuotedValue(kQornPage, "con_type[con_cnt]", conType))
    return false;
  std::string status = "cgi-bin/webcm?getpage=../html/status_real.html";
  status += "&var:conname=" + AddressValue(conName) + "&var:contype=" +
            AddressValue(conType) + "&var:sub";
  return FetchQuotedValue(status.c_str(), "form.sta_version.value", running);
}

bool CGatewayClient::CheckFirmwareVersion(int &prepareNeeded) {
  ReadUpgradeList();
  VersionError = 1;
  prepareNeeded = 0;
  // A version that cannot be read refuses the upgrade: flashing blind could
  // put an older image over a newer one, or one for another platform.
  runningVersion.clear();
  kitVersion.clear();
  SetProblem("");
  bool read = ReadRunningVersion(runningVersion);
  bool ok = read && CompareWithKit(runningVersion.c_str(), prepareNeeded);
  // A refusal before the kit's version was read still names it.
  if (!ok && kitVersion.empty()) ReadKitVersion(kitVersion);
  SupportLog("version check: the Gateway runs \"%s\", the kit holds \"%s\", platforms in "
             "upgrade.ini: %zu; %s", runningVersion.c_str(), kitVersion.c_str(),
             platformList.size(), ok ? (prepareNeeded ? "upgrade in two steps" : "upgrade")
                                     : VersionErrorMessage(VersionError));
  if (!ok) ExplainVersionRefusal();
  return ok;
}

void CGatewayClient::ExplainVersionRefusal() {
  std::string list;
  for (const std::string &p : platformList) list += (list.empty() ? "" : ", ") + p;
  const std::string gateway = "the Gateway runs firmware version \"" + runningVersion + "\"";
  const std::string kit = "the kit holds version \"" + kitVersion + "\"";
  const char *newKit = kOtherKit;
  const char *brokenKit = kKitDamaged;
  switch (VersionError) {
    case 1:
      SetProblem("the Gateway's firmware version could not be read (" +
                     (problem.empty() ? std::string("its status page does not show it")
                                      : problem) + ")",
                 "Restart the Gateway, wait until its power light is solid green, then try "
                 "again.");
      break;
    case 2:
      SetProblem(gateway + ", which is not a version this utility can compare", newKit);
      break;
    case 3:
      SetProblem("the kit folder " + kitDir + " holds no config.xml", brokenKit);
      break;
    case 4:
    case 5:
      SetProblem("the kit's config.xml holds no version this utility can read (\"" +
                     kitVersion + "\")", brokenKit);
      break;
    case 6:
      SetProblem(gateway + "; " + kit + ", for the platforms " +
                     (list.empty() ? std::string("(none listed in upgrade.ini)") : list),
                 newKit);
      break;
    case 7:
      SetProblem(gateway + "; " + kit + ", which is older",
                 "The Gateway runs newer firmware than this kit holds: it needs no upgrade "
                 "from this kit.");
      break;
  }
}

bool CGatewayClient::ReadKitVersion(std::string &version) {
  std::string text;
  gwc_span value;
  const char *why = "";
  if (!platform::ReadWholeFile(KitFile("config.xml"), &text) ||
      !gwc_config_version(text.data(), text.size(), &value, &why))
    return false;
  version = DecodeCharacterReferences(text.substr(value.at, value.length));
  return true;
}

bool CGatewayClient::AlreadyOnKitVersion() const {
  gwc_version r, k;
  return SplitVersion(runningVersion, r) && SplitVersion(kitVersion, k) &&
         gwc_version_same(runningVersion.c_str(), &r, kitVersion.c_str(), &k);
}

int CGatewayClient::ConfirmKitVersion(std::string &running, std::string &kit) {
  running.clear();
  kit.clear();
  gwc_version r, k;
  if (!ReadKitVersion(kit) || !SplitVersion(kit, k)) return -1;
  if (!ReadRunningVersion(running) || !SplitVersion(running, r)) return -1;
  return gwc_version_same(running.c_str(), &r, kit.c_str(), &k) ? 1 : 0;
}

bool CGatewayClient::CompareWithKit(const char *runningVersion,
                                    int &prepareNeeded) {
  VersionError = 2;
  VersionParts r;
  if (!ParseVersion(runningVersion, r)) return false;

  const std::vector<std::string> &rf = r.fields;
  if (rf[2][0] == '1' || rf[2][0] == '2') prepareNeeded = 1;
  // Releases up to 3.60.1.0.4 take the image directly.
  if (StartsWith(rf[0], "3") && StartsWith(rf[1], "60") &&
      StartsWith(rf[2], "1") && StartsWith(rf[3], "0") && rf[4][0] <= '4')
    prepareNeeded = 0;

  // Only the platforms the kit is for: a gateway not listed is refused.
  VersionError = 6;
  const std::string &platform = rf[r.dots + 1];
  bool listed = false;
  for (const std::string &entry : platformList)
    if (entry == platform) listed = true;
  if (!listed) return false;

  VersionError = 3;
  FILE *config = fopen(KitFile("config.xml").c_str(), "r");
  if (!config) return false;
  fclose(config);

  VersionError = 4;
  std::string newVersion;
  if (!ReadKitVersion(newVersion)) return false;
  kitVersion = newVersion;

  VersionError = 5;
  gwc_version running, kit;
  if (!SplitVersion(newVersion, kit) || !SplitVersion(runningVersion, running)) return false;

  const int order = gwc_version_compare(runningVersion, &running, newVersion.c_str(), &kit);
  VersionError = 6;
  if (order == GWC_VERSION_OTHER_PLATFORM) return false;
  VersionError = 7;
  if (order == GWC_VERSION_OLDER) return false;
  VersionError = 0;
  return true;
}

}  // namespace velmora
