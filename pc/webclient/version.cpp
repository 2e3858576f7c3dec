// The firmware version check, the kit's image and the firmware upload.
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/environment.h"
#include "app/support_log.h"
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

// dornix's result codes 1 to 23: what each means and what a user does.
struct FailMeaning {
  int code;
  const char *meaning;
  const char *todo;
};
const char kRestartAndRetry[] = "Restart the Gateway (unplug its power cord and plug it back in), "
                                "then try again.";
const char kRetryThenSupport[] =
    "Restart the Gateway and try again; if it fails again, send the log to support.";
const char kCopyKitAgain[] = "Check the kit with velmora-kit check, then copy it again or get a new one.";
const char kOtherKit[] = "Get the upgrade kit made for this Gateway.";
const FailMeaning kFailMeanings[] = {
    {1, "the Gateway cannot write its log", kRestartAndRetry},
    {2, "the Gateway is serving another upload", "Wait a minute, restart the Gateway, then try again."},
    {3, "the Gateway did not understand the request", kRetryThenSupport},
    {4, "the Gateway did not understand the request", kRetryThenSupport},
    {5, "the Gateway did not understand the request", kRetryThenSupport},
    {6, "the image did not arrive whole",
     "Check the cable between this computer and the Gateway, restart the Gateway, then try again."},
    {7, "the image is larger than the Gateway takes", kOtherKit},
    {8, "the Gateway could not store or unpack the upload", kRetryThenSupport},
    {9, "the Gateway could not read back the stored image", kRestartAndRetry},
    {10, "the Gateway could not open its flash memory", kRestartAndRetry},
    {11, "the Gateway could not write its flash memory, which may now be partly written",
     "Do not unplug the Gateway; send the log to support."},
    {12, "the kit's image carries no image tag: the kit is damaged or incomplete", kCopyKitAgain},
    {13, "the Gateway could not compute the image's checksum", kRestartAndRetry},
    {14, "the kit's image is damaged: its checksum does not match its tag", kCopyKitAgain},
    {15, "the image is of a kind the Gateway does not take, or its package was refused", kOtherKit},
    {16, "the Gateway ran out of memory", kRestartAndRetry},
    {19, "the Gateway could not open its configuration", kRestartAndRetry},
    {22, "the Gateway took the file for a configuration and refused it", kOtherKit},
    {23, "the Gateway takes only images signed by its maker, and the kit's signature is "
         "missing or does not hold", "Get a signed kit from the maker."},
};

const size_t kMaxPlatforms = 101;
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

// Whether two split versions name the same release: the same platform and
// count of numbers, each number equal, and the same text after the last
// number's digits.
bool SameVersion(const VersionParts &a, const VersionParts &b) {
  if (a.dots != b.dots || a.fields.back() != b.fields.back()) return false;
  for (int j = 0; j <= a.dots; j++) {
    char *endA = nullptr;
    char *endB = nullptr;
    if (strtol(a.fields[j].c_str(), &endA, 10) != strtol(b.fields[j].c_str(), &endB, 10) ||
        strcmp(endA, endB) != 0)
      return false;
  }
  return true;
}

}  // namespace

const char *VersionErrorMessage(int versionError) {
  return versionError >= 0 && versionError < 8 ? kVersionMessages[versionError]
                                               : "";
}

const char *DornixFailMeaning(int code, const char **todo) {
  for (const FailMeaning &m : kFailMeanings)
    if (m.code == code) {
      *todo = m.todo;
      return m.meaning;
    }
  *todo = kRetryThenSupport;
  return "the Gateway refused the upload";
}

void CGatewayClient::ReadUpgradeList() {
  platformList.clear();
  FILE *f = fopen(KitFile("upgrade.ini").c_str(), "r");
  if (!f) return;
  std::string token;
  int c = 0;
  while (platformList.size() < kMaxPlatforms && c != EOF) {
    token.clear();
    while ((c = fgetc(f)) != EOF && isspace(c)) {
    }
    while (c != EOF && !isspace(c)) {
      token.push_back(static_cast<char>(c));
      c = fgetc(f);
    }
    if (!token.empty() && (token[0] == 'G' || token[0] == 'g'))
      platformList.push_back(token);
  }
  fclose(f);
}

bool CGatewayClient::ParseVersion(const char *text, VersionParts &out) {
  out = VersionParts();
  if (!text) return false;
  int dash = CTextUtil::Find(text, "-");
  int dot = CTextUtil::Find(text, ".");
  if (dash < 0 && dot < 0) return false;
  std::string rest = text;
  if (dash >= 0 && (dot < 0 || dash < dot)) rest.erase(0, dash + 1);
  if (rest.empty()) return false;
  int dots = 0;
  for (char c : rest)
    if (c == '.') dots++;
  if (dots < 4 || dots > 10) return false;
  for (int i = 0; i < dots; i++) {
    size_t p = rest.find('.');
    out.fields.push_back(rest.substr(0, p));
    rest.erase(0, p + 1);
  }
  size_t d = rest.find('-');
  if (d == std::string::npos) return false;
  out.fields.push_back(rest.substr(0, d));
  std::string platform = rest.substr(d + 1);
  for (char &c : platform)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  out.fields.push_back(platform);
  out.dots = dots;
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
  const char *brokenKit = kCopyKitAgain;
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
  return QuotedValueInFile(KitFile("config.xml"), "config version", version);
}

bool CGatewayClient::AlreadyOnKitVersion() const {
  VersionParts r, k;
  return ParseVersion(runningVersion.c_str(), r) && ParseVersion(kitVersion.c_str(), k) &&
         SameVersion(r, k);
}

int CGatewayClient::ConfirmKitVersion(std::string &running, std::string &kit) {
  running.clear();
  kit.clear();
  VersionParts r, k;
  if (!ReadKitVersion(kit) || !ParseVersion(kit.c_str(), k)) return -1;
  if (!ReadRunningVersion(running) || !ParseVersion(running.c_str(), r)) return -1;
  return SameVersion(r, k) ? 1 : 0;
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
  VersionParts n;
  if (!ParseVersion(newVersion.c_str(), n)) return false;

  VersionError = 6;
  if (r.dots != n.dots || rf[r.dots + 1] != n.fields[n.dots + 1]) return false;

  VersionError = 7;
  for (int j = 0; j <= r.dots; j++) {
    char *endR = nullptr;
    char *endN = nullptr;
    long vr = strtol(rf[j].c_str(), &endR, 10);
    long vn = strtol(n.fields[j].c_str(), &endN, 10);
    if (vn > vr) break;
    if (vn < vr) return false;
    if (j == r.dots && *endR && *endN &&
        static_cast<unsigned char>(*endR) > static_cast<unsigned char>(*endN))
      return false;
  }
  VersionError = 0;
  return true;
}

}  // namespace velmora
