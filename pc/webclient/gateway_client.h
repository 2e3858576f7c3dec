// The wizard's conversations with the gateway: page fetches, form posts, the
// access and version checks, the firmware upload, the wireless backup and
// restore, and the web and telnet commands. Each operation opens its own
// connection; the client keeps no connection between operations.
#ifndef VELMORA_WEBCLIENT_GATEWAY_CLIENT_H
#define VELMORA_WEBCLIENT_GATEWAY_CLIENT_H

#include <string>
#include <vector>

#include "webclient/text_util.h"

namespace velmora {

class CGatewaySocket;

// What FetchPage looks for in a page.
enum PageCheck {
  AccessCheck,         // "Kestrelon" gives 1, else "401" gives -1
  SettingsPage,        // the same test as AccessCheck
  ConnectionType,      // pppoa..bridge give 1..5 (the first of them found)
  AccessPointEnabled,  // the enabled marker of the SSID page gives 1
};

// Split version text: fields[0..dots] are the numbers, fields[dots + 1] the
// platform name in upper case.
struct VersionParts {
  int dots = 0;
  std::vector<std::string> fields;
};

// The message for each VersionError, 0 to 7.
const char *VersionErrorMessage(int versionError);
// What dornix's "fail[N]" means, and in *todo what a user does about it.
const char *DornixFailMeaning(int code, const char **todo);

// Local files of the backup, as the wizard names them.
extern const char kScratchPageFile[];  // "C:\zuntmp.dat"
extern const char kSsidFile[];         // "C:\Ssid"
extern const char kAccessListFile[];   // "C:\AccessList"
extern const char kSsidBakFile[];      // "C:\SsidBak"
extern const char kAccessListBakFile[];  // "C:\AccessListBak"

// Moves the backup aside (restore false) or back (restore true); missing
// files are skipped. Always true.
bool SwapBackupFiles(bool restore);
// Deletes every local scratch and backup file.
void RemoveScratchFiles();
// Deletes the scratch files but keeps the backup ("C:\Ssid",
// "C:\AccessList") for a later restore.
void RemoveScratchFilesKeepingBackup();
// True when the file opens for reading. "C:\Name" paths are mapped with
// LocalPath; other paths are used as given.
bool FileExists(const char *path);
// Deletes a local file ("C:\Name" mapped as for FileExists); missing is fine.
void DeleteLocalFile(const char *path);

class CGatewayClient {
 public:
  // Borrowed from the wizard, which keeps them alive while the client is
  // used; never freed here. Empty user name: no Authorization header.
  const char *userName = "";
  const char *password = "";
  const char *gatewayAddress = "";

  // Why the last CheckFirmwareVersion returned false (0 to 7).
  int VersionError = 0;
  // The versions the last CheckFirmwareVersion read ("" when it could not).
  std::string runningVersion, kitVersion;

  // What failed in the last operation that failed, for a person: the
  // request and what became of it, the versions compared, dornix's
  // "fail[N]" ("" when nothing failed yet); and what to do about it, when
  // the failure itself says ("" else).
  std::string problem, advice;
  void SetProblem(const std::string &what, const char *todo = "") {
    problem = what;
    advice = todo;
  }
  // N of the "fail[N]" dornix answered to the last upload, else -1.
  int uploadFailCode = -1;

  // Platform names read from "upgrade.ini" (at most 101).
  std::vector<std::string> platformList;

  // --- requests and access (pages land in the scratch page file)
  // true when the gateway answered the post, whole and with a success
  // status.
  bool PostForm(const char *path, const char *body);
  // The check's result on a page that arrived whole within the limits;
  // 0 for a page cut short, too long or too late.
  int FetchPage(const char *path, PageCheck check);
  // Whether the last FetchPage read a whole page, without an error status,
  // on which its check found what it looks for.
  bool PageUsable() const { return pageWhole_ && pageResult_ > 0; }
  // Whether the last FetchPage read a whole page without an error status.
  bool PageWhole() const { return pageWhole_; }
  // 1 access granted, -1 the gateway asks for a login (once per process),
  // 0 unreachable or not the gateway's pages.
  int CheckAccess();

  // --- versions and upload
  bool CheckFirmwareVersion(int &prepareNeeded);
  void ReadUpgradeList();
  static bool ParseVersion(const char *text, VersionParts &out);
  // Steps of the version check after the running version is known: the
  // prepare decision, the platform list and the comparison with the kit's
  // "config.xml" (current directory). Sets VersionError.
  bool CompareWithKit(const char *runningVersion, int &prepareNeeded);
  // Fills problem and advice for the VersionError of a refusal.
  void ExplainVersionRefusal();
  bool FetchQuotedValue(const char *path, const char *key, std::string &value);
  // The version the gateway runs, from its status page.
  bool ReadRunningVersion(std::string &running);
  // The version of the kit's "config.xml" (current directory).
  static bool ReadKitVersion(std::string &version);
  // After the upgrade: 1 the gateway runs the kit's version, 0 another one,
  // -1 either version could not be read. Both texts as read.
  int ConfirmKitVersion(std::string &running, std::string &kit);
  // Exactly one "*.img" in the kit folder: its bare name in out.
  bool FindImageFile(std::string &out);
  bool ConnectForUpload(CGatewaySocket &socket, int port);
  // Sends the kit file `name` (at `local`) to dornix, with its signature
  // when the kit holds one; a gateway that does not take signatures gets it
  // again without. A CGatewaySocket::UploadVerdict; the reply's status code
  // in *status.
  int UploadToDornix(CGatewaySocket &socket, const std::string &name, const std::string &local,
                     int *status);
  // Takes note of how an upload on `socket` ended (its fail code, and the
  // problem when it was refused); returns `verdict`.
  int Uploaded(const CGatewaySocket &socket, int verdict);
  // A CGatewaySocket::UploadVerdict: -1 refused (or not sent), 0 sent
  // without a verdict, 1 accepted.
  int UploadFirmware(int prepareNeeded);
  // What became of the signature of the last file sent to dornix: "NAME: not
  // signed", "...: signed; the gateway checked the signature and it holds",
  // and so on (for the support log).
  std::string uploadSignatureNote;

  // --- wireless settings
  int GetConnectionType();
  // 1 saved (or a backup is already there), 0 nothing to save (no known
  // connection type, access point off), -1 the settings could not be read
  // whole: nothing may be changed then.
  int BackupWireless();
  bool ReadSsidPage(std::string &ssid, std::string &channel,
                    std::string &privacyType, std::string &interval,
                    std::string &psktype, std::string &wepAuthType,
                    std::string &wepPrivacy);
  bool BackupWepSettings(const char *word);
  bool Backup8021x(const char *word);
  bool BackupWpaSettings(const char *word);
  // 1 written, 0 nothing to write, -1 the page could not be read.
  int BackupApAdvanced(const char *word);
  int BackupAccessList(const char *word, const char *channel, const char *ssid);
  // The value of the first field `key` in `text` (keys end in value="):
  // the bytes up to the first "\" id" after the key, character references
  // decoded. false when the key does not occur or its value has no end
  // before the next field's value (it cannot be read).
  static bool ExtractFieldValue(const std::string &text, const char *key,
                                std::string &out);
  bool DisableAccessPoint();
  bool EnableAccessPoint();
  // Posts the backup back; true when the gateway took every post. The
  // backup files stay.
  bool RestoreWireless();
  bool RestoreAccessList();
  // Reads the settings back: 1 they equal the backup, 0 they differ, -1
  // they could not be read.
  int VerifyWireless();

  // --- commands
  bool StopConnection();
  bool SaveAndReboot(bool save);
  bool TelnetReboot();

  // The login-asked flag of CheckAccess is process-wide and never cleared by
  // the wizard; tests start each case afresh.
  static void ResetLoginAsked();

  // Word for a connection type number (1..5), or nullptr.
  static const char *ConnectionWord(int type);

 private:
  CTextUtil text_;
  bool pageWhole_ = false;
  int pageResult_ = 0;
};

}  // namespace velmora

#endif
