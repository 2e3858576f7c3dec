// The wizard's conversations with the gateway: page fetches, form posts, the
// access and version checks, the firmware upload, the wireless backup and
// restore, and the web and telnet commands. Each operation opens its own
// connection; the client keeps no connection between operations.
#ifndef VELMORA_WEBCLIENT_GATEWAY_CLIENT_H
#define VELMORA_WEBCLIENT_GATEWAY_CLIENT_H

#include <string>
#include <vector>

#include "app/backup.h"
#include "app/environment.h"
#include "webclient/text_util.h"
#include "webclient/upload.h"

namespace velmora {

class CGatewaySocket;
class CFirmwareUpload;

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

// The client's scratch page file, as the wizard names it ("C:\zuntmp.dat").
extern const char kScratchPageFile[];

// Whether a backup written by the wizard holds only what the wizard itself
// writes there: form bodies for the connection words with the settings it
// saves, and an access list of addresses, its type and its connection. A
// backup that holds anything else (another form field, a line of another
// shape) is not the wizard's and is never posted; the reason in *problem.
bool CheckWirelessBackup(const WirelessSettings &settings, std::string *problem);

class CGatewayClient {
 public:
  // Borrowed from the wizard, which keeps them alive while the client is
  // used; never freed here. Empty user name: no Authorization header.
  const char *userName = "";
  const char *password = "";
  const char *gatewayAddress = "";

  // The run's folders: the one that stands for "C:\" (the scratch page
  // lives there; empty: the real "C:\") and the kit's, where "*.img",
  // config.xml, upgrade.ini and prepare.bin are read.
  std::string stateDir;
  std::string kitDir;
  // CheckAccess asks for a login at most once per run: the run lends its
  // flag; a client on its own keeps one of its own.
  int *loginAsked = nullptr;

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
  // What the last UploadFirmware may have left in the gateway's flash.
  FlashAfterUpload uploadFlash = kFlashUntouched;

  // Platform names read from "upgrade.ini" (at most 101).
  std::vector<std::string> platformList;

  // Where the scratch page is.
  std::string ScratchPage() const { return LocalPath(stateDir, kScratchPageFile); }
  // Deletes the client's scratch files; never the backup.
  void RemoveScratchFiles();

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
  // 1 access granted, -1 the gateway asks for a login (once per run), 0
  // unreachable or not the gateway's pages.
  int CheckAccess();

  // --- versions and upload
  bool CheckFirmwareVersion(int &prepareNeeded);
  void ReadUpgradeList();
  static bool ParseVersion(const char *text, VersionParts &out);
  // Steps of the version check after the running version is known: the
  // prepare decision, the platform list and the comparison with the kit's
  // "config.xml". Sets VersionError.
  bool CompareWithKit(const char *runningVersion, int &prepareNeeded);
  // Fills problem and advice for the VersionError of a refusal.
  void ExplainVersionRefusal();
  bool FetchQuotedValue(const char *path, const char *key, std::string &value);
  // The version the gateway runs, from its status page.
  bool ReadRunningVersion(std::string &running);
  // The version of the kit's "config.xml".
  bool ReadKitVersion(std::string &version);
  // Whether the last CheckFirmwareVersion found the gateway running the
  // kit's version already.
  bool AlreadyOnKitVersion() const;
  // After the upgrade: 1 the gateway runs the kit's version, 0 another one,
  // -1 either version could not be read. Both texts as read.
  int ConfirmKitVersion(std::string &running, std::string &kit);
  // Exactly one "*.img" in the kit folder: its bare name in out.
  bool FindImageFile(std::string &out);
  bool ConnectForUpload(CGatewaySocket &socket, int port);
  // Sends the kit file `name` (at `local`) to dornix, with its signature
  // when the kit holds one; a gateway that does not take signatures gets it
  // again without. An UploadVerdict; the reply's status code in *status.
  int UploadToDornix(CGatewaySocket &socket, const std::string &name, const std::string &local,
                     const UploadProgress &progress, int *status);
  // Takes note of how `upload` ended (its fail code, what it left in the
  // flash, and the problem when it was refused); returns `verdict`.
  // `dornix`: the upload went to dornix, not to the upgrade service.
  int Uploaded(const CFirmwareUpload &upload, int verdict, bool dornix = true);
  // An UploadVerdict: -1 refused (or not sent), 0 sent without a verdict,
  // 1 accepted. `progress` hears of every block of each file sent.
  int UploadFirmware(int prepareNeeded, const UploadProgress &progress = nullptr);
  // What UploadFirmware would send for this kit, where, and what the
  // gateway does with a signature, for a person ("" without exactly one
  // image).
  std::string UploadPlan(int prepareNeeded);
  // Where the kit keeps the signature of its file `name` ("" when it holds
  // none).
  std::string SignatureFile(const std::string &name) const;
  // What became of the signature of the last file sent to dornix: "NAME: not
  // signed", "...: signed; the gateway checked the signature and it holds",
  // and so on (for the support log).
  std::string uploadSignatureNote;
  // What the user must hear of the last upload although it went through:
  // the gateway took the image without its signature ("" else).
  std::string uploadNotice;

  // --- wireless settings
  int GetConnectionType();
  // Reads the access point's settings into *settings: 1 read, 0 nothing
  // to save (no known connection type, access point off), -1 the settings
  // could not be read whole: nothing may be changed then. No local file but
  // the scratch page is touched; the backup's owner keeps what it reads.
  int BackupWireless(WirelessSettings &settings);
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
  // Posts the saved settings back; true when the gateway took every post.
  // Settings that CheckWirelessBackup refuses are not posted at all.
  bool RestoreWireless(const WirelessSettings &settings);
  bool RestoreAccessList(const std::string &accessList);
  // Reads the settings back: 1 they equal `saved`, 0 they differ, -1 they
  // could not be read.
  int VerifyWireless(const WirelessSettings &saved);

  // --- commands
  bool StopConnection();
  // With `save`: true once the gateway confirmed the save (the reboot is
  // then ordered, answered or not); false with nothing rebooted. Without:
  // whether the reboot order was answered.
  bool SaveAndReboot(bool save);
  bool TelnetReboot();

  // Word for a connection type number (1..5), or nullptr.
  static const char *ConnectionWord(int type);

 private:
  int &LoginAsked() { return loginAsked ? *loginAsked : ownLoginAsked_; }
  // Where a kit file lies.
  std::string KitFile(const char *name) const;

  CTextUtil text_;
  bool pageWhole_ = false;
  int pageResult_ = 0;
  int ownLoginAsked_ = 0;
  // Where the page readers put what they read: BackupWireless's settings,
  // else (a reader called on its own) the client's own.
  WirelessSettings &Reading() { return reading_ ? *reading_ : ownReading_; }
  WirelessSettings *reading_ = nullptr;
  WirelessSettings ownReading_;
};

}  // namespace velmora

#endif
