// The wizard's upgrade tasks: the checks, the image transfer and the
// restore after the power cycle. They are written against two small
// interfaces, one for the page they report to and one for the gateway they
// work on, are handed the run they belong to, and take all time from
// Env().clock, so the same code drives the Win32 pages, the console front
// end and tests that run in virtual time.
#ifndef VELMORA_WIZARD_SEQUENCE_H
#define VELMORA_WIZARD_SEQUENCE_H

#include <stdint.h>

#include <atomic>
#include <string>

#include "app/backup.h"
#include "webclient/upload.h"
#include "wizard/run.h"

namespace velmora {

// Codes posted to the transfer page when a task ends (WM_UPGRADE_STEP).
enum UpgradeStep {
  StepChecksDone = 0,
  StepTransferFailed = 1,
  StepTransferDone = 2,
};

// What a task may do to the page it runs for. The Win32 pages forward these
// to their controls and the frame's buttons; the console prints them. All
// calls come from the task's thread.
class WizardPage {
 public:
  virtual ~WizardPage() = default;
  // Replaces the whole page text ("" empties it).
  virtual void SetText(const char *text) = 0;
  virtual void AppendStatus(const char *text) = 0;
  // A failure text or warning: appended to the page, or replacing its text.
  // A console front end sends these to its error stream.
  virtual void AppendError(const char *text) { AppendStatus(text); }
  virtual void SetErrorText(const char *text) { SetText(text); }
  // The busy bar: an activity indicator ticking once per period.
  virtual void StartBusyBar(uint32_t periodMs) = 0;
  // Stops the bar and shows it full. The 200 ms pause that follows is the
  // task's, not the page's.
  virtual void StopBusyBar() = 0;
  virtual void EnableBack(bool on) = 0;
  virtual void EnableNext(bool on) = 0;
  virtual void EnableCancel(bool on) = 0;
  virtual void EnableFinish(bool on) = 0;
  // Asks for the gateway's login, both fields empty at first. true when the
  // user confirmed (OK); the texts are then in user and password.
  virtual bool RunLoginDialog(std::string *user, std::string *password) = 0;
  // Tells the transfer page that a task ended (UpgradeStep).
  virtual void PostStep(int step) = 0;
  // The image transfer's progress: bytes of the file sent so far, its size
  // and the time since it started, at every whole percent. total 0: the
  // transfer of that file ended (done or not); the page shows its own texts
  // again.
  virtual void ShowTransferProgress(uint64_t /*sent*/, uint64_t /*total*/,
                                    uint32_t /*elapsedMs*/) {}
  // How long the task has waited so far for `what` ("the power cycle",
  // "the Gateway"), every few seconds. what nullptr: the wait ended.
  virtual void ShowWaiting(const char * /*what*/, uint32_t /*elapsedMs*/) {}
  // How the user leaves the wait for the power cycle with this front end
  // ("" when there is no way).
  virtual const char *LeaveHint() const { return ""; }
  // How the user writes a kept backup back with this front end, as the end
  // of a sentence ("To write them back, ...").
  virtual const char *RestoreCommand() const {
    return "start this utility again and click Yes when it offers to restore them";
  }
  // What stands for the Back button in a text that names it ("click Back
  // to try again"): a front end without one says what to do instead, as a
  // line of its own; "" when it has the button.
  virtual const char *BackHint() const { return ""; }
  // What to do when the gateway asks for a login and none was given.
  virtual const char *LoginHint() const {
    return "Enter the user name and password of the Gateway's web pages when this utility "
           "asks for them, and click OK.";
  }
};

// The gateway operations the tasks call, with the results they rely on.
class GatewayOps {
 public:
  virtual ~GatewayOps() = default;
  // Where and as whom the following calls talk to the gateway. The address
  // is copied; user and password are borrowed and must outlive the calls.
  virtual void SetTarget(const char *address, const char *user,
                         const char *password) = 0;
  // 1 access granted, -1 the gateway asks for a login, 0 no usable answer.
  virtual int CheckAccess() = 0;
  // Checks the upgrade kit as velmora-kit does. false: the kit would fail,
  // with the file and the problem in *problem.
  virtual bool CheckKit(std::string *problem) = 0;
  // true: the image may go on; prepareNeeded says how it is uploaded.
  // false: refused; VersionErrorMessage() tells why.
  virtual bool CheckFirmwareVersion(int32_t *prepareNeeded) = 0;
  virtual const char *VersionErrorMessage() = 0;
  // After CheckFirmwareVersion: true when the gateway runs the kit's
  // version already, with that version in *version.
  virtual bool AlreadyOnKitVersion(std::string * /*version*/) { return false; }
  // After CheckFirmwareVersion: the version the gateway runs and the kit's;
  // false when the check did not read both.
  virtual bool CheckedVersions(std::string * /*running*/, std::string * /*kit*/) { return false; }
  virtual bool StopConnection() = 0;
  // Reads the wireless settings: 1 read into *settings, 0 nothing to save,
  // -1 they could not be read whole. Writes no local file.
  virtual int BackupWireless(WirelessSettings *settings) = 0;
  virtual bool DisableAccessPoint() = 0;
  // Switches the access point back on when these calls switched it off and
  // the gateway has not restarted since (a restart brings back its saved
  // setting, an upgrade its own, and a restore of the settings their
  // own). true when nothing was left off, or it is on again.
  virtual bool RestoreAccessPoint() { return true; }
  // -1 refused or not sent, 0 sent without a verdict, 1 accepted.
  // `progress` hears of every block of each file sent.
  virtual int UploadFirmware(int32_t prepareNeeded, const UploadProgress &progress) = 0;
  // What the user must hear of the last upload although it went through
  // ("" when nothing).
  virtual std::string UploadNotice() { return ""; }
  // What the last UploadFirmware may have left in the gateway's flash.
  virtual FlashAfterUpload UploadFlash() { return kFlashUntouched; }
  // What UploadFirmware would send, where, and what the gateway may do with
  // it that no read request can tell (which keys it holds), for a person.
  virtual std::string UploadPlan(int32_t /*prepareNeeded*/) { return ""; }
  virtual bool TelnetReboot() = 0;
  virtual bool RestoreWireless(const WirelessSettings &settings) = 0;
  // After a restore: 1 the settings read back equal `saved`, 0 they
  // differ, -1 they could not be read.
  virtual int VerifyWireless(const WirelessSettings &saved) = 0;
  // With `save`: false when the gateway did not confirm the save (and was
  // not rebooted).
  virtual bool SaveAndReboot(bool save) = 0;
  // 1 the gateway runs the kit's version, 0 another (both texts filled),
  // -1 a version could not be read.
  virtual int ConfirmKitVersion(std::string *running, std::string *kit) = 0;
  // Removes the scratch files of the gateway's conversations; never the
  // backup, which is the run's.
  virtual void RemoveScratchFiles() = 0;
  // What failed in the last call that failed, for a person, and what to do
  // when the failure itself says; "" when unknown.
  virtual std::string Problem() { return ""; }
  virtual std::string Advice() { return ""; }
};

// How the checks ended. Only kChecksPassed posts StepChecksDone.
enum ChecksResult {
  kChecksPassed,
  kConnectionFailed,
  kNoCredentials,
  kInvalidCredentials,
  kVersionRefused,
  kKitRefused,         // the kit would fail; nothing was sent
  kBackupUnreadable,   // the settings could not be read or saved; nothing changed
  kChecksStopped,      // the run was asked to stop
};

enum TransferResult { kTransferDone, kTransferFailed, kTransferStopped };

enum RestoreResult {
  kUpgradeSucceeded,
  kWirelessFailed,   // the settings are not back; the backup is kept
  kRestoreStopped,   // the run was asked to stop
  kVersionNotKits,   // after the restart the gateway does not run the kit's version
  kGatewayNotBack,   // the gateway did not answer again within its limit
  // The gateway runs the kit's version, but it ran it before the upload too
  // and said nothing to the image: flashed and unchanged look the same.
  kUpgradeUnproven,
  kBackupRefused,    // the kept backup is not the wizard's own: nothing was posted
};

// The tasks. Each one is started by a page (on a worker thread of its own in
// the Win32 wizard) and reports only through the page; the results returned
// here are for front ends without a message loop and for tests. Every task
// ends through the run's one ending, which says where the backup is.
ChecksResult RunChecks(WizardPage &page, UpgradeRun &run, GatewayOps &gateway);
// The checks of RunChecks that only read from the gateway (connection,
// login, kit, version and platform); sets prepareNeeded. Changes nothing.
ChecksResult RunReadOnlyChecks(WizardPage &page, UpgradeRun &run, GatewayOps &gateway);
TransferResult RunTransfer(WizardPage &page, UpgradeRun &run, GatewayOps &gateway);
// The wait for the power cycle has no time limit: the user may take as long
// as they like, and is reminded after some minutes that a short power cycle
// goes unnoticed. Cancel is enabled meanwhile; the run's leave (or stop)
// ends the wait with what to do next and only Finish enabled
// (kRestoreStopped). The wait for the gateway to come back has a limit.
RestoreResult RunRestore(WizardPage &page, UpgradeRun &run, GatewayOps &gateway);
// Writes the backup an earlier run kept back to the gateway at
// g_gatewayAddress (asking for a login when the gateway wants one), has it
// saved and compares. Ends in kUpgradeSucceeded (settings back, backup
// removed), kWirelessFailed (the backup stays), kBackupRefused (it is not
// the wizard's own; nothing was sent), kGatewayNotBack, kRestoreStopped, or
// with the checks' failure in *checks.
RestoreResult RunKeptRestore(WizardPage &page, UpgradeRun &run, GatewayOps &gateway,
                             ChecksResult *checks);
void LockWizardButtons(WizardPage &page);

// The ending of a run that was asked to stop: what was done on the gateway
// and where the backup is; the scratch files go. Said once, whoever calls
// it first (a task that saw the stop, or a front end that cannot wait for
// the task), and never after the run's result. false when it was not said
// here: when the result was said, it stands.
bool EndInterrupted(WizardPage &page, UpgradeRun &run, GatewayOps &gateway);
// The ending of a run left before the gateway's power cycle: it still
// needs one, the backup is kept, and the page says so. Said once, as above.
void EndLeftWaiting(WizardPage &page, UpgradeRun &run, GatewayOps &gateway);

// Where the gateway stands once the run has changed something on it: its
// firmware (unchanged, written, unknown, possibly half written), what the
// run paused (its Internet connection, its Wi-Fi), where the saved
// settings are, and the one step that brings it all back, in `page`'s
// words. "" while nothing on the gateway was changed. Every ending after
// the first change says it.
std::string WhereTheGatewayStands(const WizardPage &page, const UpgradeRun &run);

// Whole page texts.
extern const char kWelcomeText[];
extern const char kTransferIntroText[];
extern const char kReplugText[];
extern const char kRebootingText[];
extern const char kRestoringText[];
extern const char kUpgradeSuccessText[];
extern const char kWirelessFailureText[];
extern const char kTransferErrorText[];
extern const char kSettingsRestoredText[];
extern const char kInvalidAddressText[];  // message box of the address dialog
// Said where a kept backup is offered for writing back while the run that
// kept it ended before the gateway restarted.
extern const char kPowerCycleFirstText[];
extern const char kDefaultGatewayAddress[];

}  // namespace velmora

#endif
