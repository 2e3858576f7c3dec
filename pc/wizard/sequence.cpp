#include "wizard/sequence.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "app/environment.h"
#include "app/support_log.h"
#include "platform/files.h"
#include "platform/sysinfo.h"
#include "webclient/upload_progress.h"
#include "wizard/progress.h"

namespace velmora {

char g_gatewayAddress[16];
char g_userName[256];
char g_password[256];
int32_t prepareNeeded;
int32_t g_wirelessSaved;

const char kDefaultGatewayAddress[] = "192.168.0.1";
const char kInvalidAddressText[] = "Invalid IP Address !";

const char kWelcomeText[] =
    "\r\nKESTRELON ELECTRONICS INC.\r\n\r\n"
    "Welcome to the Firmware Upgrade Utility.\r\n"
    "You will use this utility to upgrade your DSL gateway firmware.\r\n"
    "Before you begin, please make sure that:\r\n\r\n"
    "1) Your computer is connected to the device.\r\n"
    "2) The device is powered on and ready.\r\n"
    "3) Do not DISCONNECT your network cable or power off the DSL Modem "
    "during the firmware upgrade process.\r\n"
    "4) Do not run the firmware upgrade if you are connected to the DSL Modem "
    "via WIRELESS.\r\n"
    "5) It is strongly recommended that you STOP any networking activities "
    "using the DSL Modem before starting the upgrade process.\r\n\r\n"
    "Click \"Next >\" to continue";

const char kTransferIntroText[] =
    "Now upgrading Firmware!\r\n\r\n"
    "The upgrade process may take 3-6 minutes to complete.\r\n"
    "Do not disconnect your Black power cord or Yellow / Purple cable\r\n"
    "during this upgrade process.\r\n\r\n"
    "Please wait while the following tasks are performed......\r\n\r\n";

const char kReplugText[] =
    "\r\n\r\nYou are almost complete.\r\n\r\n"
    "In order to complete this process, please unplug the Black power cord\r\n"
    "from the back of your DSL modem and plug it back in. After you plug the\r\n"
    "Black power cord back into your DSL modem, you will see an additional "
    "screen\r\n"
    "that will finalize your Upgrade.\r\n\r\n";

const char kRebootingText[] = "\r\n\r\n\r\nThe Gateway is rebooting......";

const char kRestoringText[] =
    "\r\n\r\nPlease wait while we restore all the settings......\r\n\r\n";

const char kUpgradeSuccessText[] =
    "\r\n\r\n!!! CONGRATULATIONS !!!\r\n"
    "The Firmware upgrade was successful.\r\n\r\n\r\n"
    "\r\nClick \"Finish\" to exit.\r\n";

const char kWirelessFailureText[] =
    "\r\n\r\nYour firmware has been upgraded successfully.\r\n\r\n"
    "However, this utility failed to re-configure your wireless\r\n"
    "LAN confugurations.\r\n\r\n"
    "Please re-configure your wireless settings manually.\r\n";

const char kTransferErrorText[] =
    "\r\n\r\n*** An error occured while transfering image file !***\r\n"
    "Please reboot your DSL modem. To reboot, unplug the Black power\r\n"
    "cord from the back of your DSL modem and plug it back in.\r\n"
    "Once the Green Power Light on the front of the DSL modem is\r\n"
    "solid Green, click Back to try again.\r\n";

const char kSettingsRestoredText[] =
    "\r\n\r\nYour wireless settings have been restored.\r\n\r\n"
    "\r\nClick \"Finish\" to exit.\r\n";

namespace {

const char kKitRefusedText[] = "\r\n\r\n*** The upgrade kit cannot be used: ";
const char kNothingChangedText[] =
    " ***\r\nNothing on the Gateway was changed.\r\n";
const char kBackupUnreadableText[] =
    "\r\n\r\n*** The wireless settings could not be read from the Gateway. ***\r\n"
    "Nothing on the Gateway was changed. Please click Back to try again.\r\n";
const char kGatewayNotBackText[] =
    "\r\n\r\n*** The Gateway did not answer again within five minutes. ***\r\n"
    "Please check its power cord and cable, then start this utility again.\r\n";
const char kConnectionFailedText[] =
    "\r\n\r\n*** We were unable to connect to the Kestrelon Gateway !***\r\n";
const char kNoCredentialsText[] =
    "\r\n\r\n*** No userid or password provided.***\r\n";
const char kInvalidCredentialsText[] =
    "\r\n\r\n*** Invalid userid or password! ***\r\n";

// Busy-bar periods of the phases, in milliseconds.
const uint32_t kChecksBar = 300;
const uint32_t kTransferBar = 1900;
const uint32_t kRebootWaitBar = 1000;
const uint32_t kRestoreBar = 300;
const uint32_t kSaveBar = 800;

const int kRebootProbes = 12;
const int kRestoreAttempts = 3;
// How long the gateway may take to answer again after a restart.
const uint32_t kGatewayBackMs = 5 * 60 * 1000;

void Pause(uint32_t ms) { Env().clock->Sleep(ms); }

// The page stops its bar; the pause after it lets the full bar be seen.
void StopBar(WizardPage &page) {
  page.StopBusyBar();
  Pause(200);
}

bool Reachable(const char *address) {
  return Env().isGatewayReachable(address) == 1;
}

bool Stopped(const std::atomic<bool> *stop) { return stop && stop->load(); }

void CopyAddress(char (&out)[sizeof g_gatewayAddress]) {
  snprintf(out, sizeof out, "%s", g_gatewayAddress);
}

// The login buffers keep at most 255 characters; longer entries are cut.
void CopyCredential(char (&out)[256], const std::string &text) {
  snprintf(out, sizeof out, "%s", text.c_str());
}

void DebugOutput(const char *text) { platform::DebugOutput(text); }

// A wait the page shows the length of: after every step of at most five
// seconds the page hears how long it has lasted; the support log hears it
// once, at the end.
class WaitTimer {
 public:
  WaitTimer(WizardPage &page, const char *what)
      : page_(page), what_(what), start_(Env().clock->TickCount()) {}
  ~WaitTimer() { End(); }
  WaitTimer(const WaitTimer &) = delete;
  WaitTimer &operator=(const WaitTimer &) = delete;

  void Pause(uint32_t ms) {
    const uint32_t kStep = 5000;
    for (uint32_t step; ms > 0; ms -= step) {
      step = ms < kStep ? ms : kStep;
      velmora::Pause(step);
      Report();
    }
  }
  void Report() { page_.ShowWaiting(what_, Elapsed()); }
  void End() {
    if (!what_) return;
    page_.ShowWaiting(nullptr, 0);
    SupportLog("waited %s for %s", DescribeElapsed(Elapsed()).c_str(), what_);
    what_ = nullptr;
  }

 private:
  uint32_t Elapsed() const { return Env().clock->TickCount() - start_; }

  WizardPage &page_;
  const char *what_;
  uint32_t start_;
};

// While it lives, the web client's upload progress reaches the page at
// every whole percent and the support log at every tenth.
class UploadFollower {
 public:
  explicit UploadFollower(WizardPage &page) : page_(page) {
    UploadProgress() = [this](uint64_t sent, uint64_t total) { Report(sent, total); };
  }
  ~UploadFollower() { End(); }
  void End() {
    UploadProgress() = nullptr;
    if (total_) page_.ShowTransferProgress(0, 0, 0);
    total_ = 0;
  }
  UploadFollower(const UploadFollower &) = delete;
  UploadFollower &operator=(const UploadFollower &) = delete;

 private:
  void Report(uint64_t sent, uint64_t total) {
    if (total == 0) return;
    uint32_t now = Env().clock->TickCount();
    if (total != total_ || sent < sent_) {  // the next file, or the same again
      if (total_) page_.ShowTransferProgress(0, 0, 0);
      total_ = total;
      start_ = now;
      percent_ = -1;
      tenths_.Reset();
    }
    sent_ = sent;
    int percent = PercentOf(sent, total);
    if (percent == percent_) return;
    percent_ = percent;
    page_.ShowTransferProgress(sent, total, now - start_);
    if (tenths_.Due(sent, total))
      SupportLog("sent %s", DescribeTransfer(sent, total, now - start_).c_str());
  }

  WizardPage &page_;
  uint64_t sent_ = 0, total_ = 0;
  uint32_t start_ = 0;
  int percent_ = -1;
  TenthSteps tenths_;
};

// Where the log of this run is, for the end of every failure text.
std::string LogLine() {
  std::string path = SupportLogPath();
  return path.empty() ? "" : "The log of this run is in " + path + "; attach it to a support request.\r\n";
}

// The lines after a failure text: what failed and what to do (either may
// be empty), then where the log is.
void Explain(WizardPage &page, const std::string &what, const std::string &todo) {
  std::string text;
  if (!what.empty()) text += "What failed: " + what + ".\r\n";
  if (!todo.empty()) text += "What to do: " + todo + "\r\n";
  page.AppendError((text + LogLine()).c_str());
}

// The same with the gateway's own account of its last failure.
void ExplainGatewayFailure(WizardPage &page, GatewayOps &gateway, const std::string &todo = "") {
  std::string advice = gateway.Advice();
  Explain(page, gateway.Problem(), advice.empty() ? todo : advice);
}

// After a failed upload: reboot the gateway through telnet, wait for it to
// come back and try once more. true when the second upload went through.
bool RebootAndUploadAgain(WizardPage &page, GatewayOps &gateway,
                          const char *address) {
  if (!gateway.TelnetReboot()) {
    DebugOutput("Failed to reboot through TELNET !\n");
    Pause(5000);
    if (!gateway.TelnetReboot()) {
      DebugOutput("Failed to reboot through TELNET !\n");
      return false;
    }
  }
  WaitTimer waiting(page, "the Gateway");
  waiting.Pause(5000);
  StopBar(page);
  page.StartBusyBar(kRebootWaitBar);

  bool back = false;
  for (int probe = 0; probe < kRebootProbes && !back; ++probe) {
    back = Reachable(address);
    if (!back) waiting.Pause(5000);
  }
  if (!back) return false;

  waiting.Pause(15000);
  waiting.End();
  StopBar(page);
  page.StartBusyBar(kTransferBar);
  // A freshly started web server may not answer the first requests.
  gateway.CheckAccess();
  gateway.CheckAccess();
  if (gateway.CheckAccess() == 0) return false;
  return gateway.UploadFirmware(prepareNeeded) >= 0;
}

enum WaitEnd { kAnswered, kWaitStopped, kWaitTimedOut };

// Probes until the gateway answers again, with `pauseMs` after every
// failed probe, for at most kGatewayBackMs (as the clock scales limits).
WaitEnd WaitUntilBack(WizardPage &page, WaitTimer &waiting, const char *address,
                      uint32_t pauseMs, bool restartBar, const std::atomic<bool> *stop) {
  Clock &clock = *Env().clock;
  uint32_t start = clock.TickCount();
  uint32_t limit = clock.Limit(kGatewayBackMs);
  while (!Reachable(address)) {
    if (restartBar) page.StartBusyBar(kRebootWaitBar);
    if (pauseMs)
      waiting.Pause(pauseMs);
    else
      waiting.Report();
    if (Stopped(stop)) return kWaitStopped;
    if (clock.TickCount() - start >= limit) return kWaitTimedOut;
  }
  return kAnswered;
}

void ShowGatewayNotBack(WizardPage &page, GatewayOps &gateway) {
  gateway.KeepBackupOnly();
  page.EnableFinish(true);
  std::string text = kGatewayNotBackText;
  std::string kept = gateway.KeptBackup();
  if (!kept.empty())
    text += "The saved wireless settings are kept in " + kept + ".\r\n";
  page.SetErrorText((text + LogLine()).c_str());
}

// The proof of the upgrade failed: the gateway runs another version, or
// its version could not be read.
void ShowVersionNotKits(WizardPage &page, GatewayOps &gateway,
                        const std::string &running, const std::string &kit) {
  std::string text = "\r\n\r\n*** The Firmware upgrade could not be confirmed. ***\r\n";
  if (running.empty())
    text += "The Gateway's firmware version could not be read after the restart";
  else
    text += "The Gateway still runs firmware version " + running;
  text += ", while the upgrade kit holds version " + (kit.empty() ? std::string("(unknown)") : kit) +
          ".\r\nPlease unplug the Black power cord of your DSL modem, plug it back in and "
          "run this utility again.\r\n";
  std::string kept = gateway.KeptBackup();
  if (!kept.empty())
    text += "The saved wireless settings are kept in " + kept + ".\r\n";
  page.EnableFinish(true);
  page.SetErrorText((text + LogLine()).c_str());
}

// FinishWithError for a run whose backup must outlive the failure.
void FinishKeepingBackup(WizardPage &page, GatewayOps &gateway, const char *text) {
  gateway.KeepBackupOnly();
  page.AppendError(text);
  page.EnableBack(true);
  page.EnableCancel(true);
}

using FinishFn = void (*)(WizardPage &, GatewayOps &, const char *);

// Connection and login, as the first checks make them. Appends the
// progress lines; on failure the error text too, through `finish`.
ChecksResult CheckConnection(WizardPage &page, GatewayOps &gateway, const char *address,
                             FinishFn finish) {
  static const char kNoCredential[] = "";
  SupportLog("gateway address %s", address);
  gateway.SetTarget(address, kNoCredential, kNoCredential);
  page.StartBusyBar(kChecksBar);
  page.AppendStatus("Checking connection......");
  int access = gateway.CheckAccess();
  if (access == 0) {
    page.AppendStatus("FAILED !");
    StopBar(page);
    finish(page, gateway, kConnectionFailedText);
    ExplainGatewayFailure(page, gateway,
            ("Check that this computer is connected to the Gateway by cable, that the "
             "Gateway is on and that " + std::string(address) +
             " is its address; then try again.").c_str());
    return kConnectionFailed;
  }
  if (access == -1) {
    page.AppendStatus("OK\r\n");
    page.AppendStatus("Checking security......");
    StopBar(page);
    std::string user, password;
    if (!page.RunLoginDialog(&user, &password)) {
      page.AppendStatus("FAILED !\r\n");
      finish(page, gateway, kNoCredentialsText);
      Explain(page,
              "the Gateway at " + std::string(address) + " asks for a login, and none was given",
              page.LoginHint());
      return kNoCredentials;
    }
    CopyCredential(g_userName, user);
    CopyCredential(g_password, password);
    gateway.SetTarget(address, g_userName, g_password);
    page.StartBusyBar(kChecksBar);
    access = gateway.CheckAccess();
    StopBar(page);
    if (access != 1) {
      page.AppendStatus("FAILED !\r\n");
      finish(page, gateway, kInvalidCredentialsText);
      Explain(page,
              access == 0 ? gateway.Problem() : "the Gateway at " + std::string(address) +
                                     " did not accept the user name \"" + user +
                                     "\" with the password given",
              "Use the user name and password of the Gateway's web pages, then try again.");
      return kInvalidCredentials;
    }
  }
  page.AppendStatus("OK\r\n");
  StopBar(page);
  return kChecksPassed;
}

// Posts the backup back (three attempts), has the gateway save it and
// restart, waits for it and reads the settings back. kUpgradeSucceeded
// when they equal the backup.
RestoreResult RestoreAndVerify(WizardPage &page, GatewayOps &gateway, const char *address,
                               const std::atomic<bool> *stop) {
  page.StartBusyBar(kRestoreBar);
  page.SetText("");
  page.AppendStatus(kRestoringText);
  page.AppendStatus("Re-configuring Gateway......");
  bool restored = false;
  for (int attempt = 0; attempt < kRestoreAttempts && !restored; ++attempt) {
    restored = gateway.RestoreWireless();
    if (!restored) Pause(1000);
  }
  if (!restored) {
    StopBar(page);
    return kWirelessFailed;
  }
  StopBar(page);
  page.AppendStatus("DONE\r\n");
  page.AppendStatus("Saving settings......");
  page.StartBusyBar(kSaveBar);
  gateway.SaveAndReboot(true);
  WaitTimer waiting(page, "the Gateway");
  waiting.Pause(12000);
  WaitEnd back = WaitUntilBack(page, waiting, address, 0, false, stop);
  if (back == kWaitStopped) return kRestoreStopped;
  if (back == kWaitTimedOut) {
    StopBar(page);
    return kGatewayNotBack;
  }
  waiting.Pause(15000);
  waiting.End();
  // A wait cut short proves nothing about the settings.
  if (Stopped(stop)) return kRestoreStopped;
  // Taken is not kept: the settings count as restored when they read back
  // as they were saved.
  int same = gateway.VerifyWireless();
  SupportLog("wireless settings read back: %s", same == 1   ? "equal to the backup"
                                                : same == 0 ? "different from the backup"
                                                            : "unreadable");
  if (same != 1) {
    StopBar(page);
    return kWirelessFailed;
  }
  page.AppendStatus("DONE\r\n");
  StopBar(page);
  return kUpgradeSucceeded;
}

}  // namespace

void ResetWizardState() {
  memset(g_gatewayAddress, 0, sizeof g_gatewayAddress);
  memset(g_userName, 0, sizeof g_userName);
  memset(g_password, 0, sizeof g_password);
  prepareNeeded = 0;
  g_wirelessSaved = 0;
}

void FinishWithError(WizardPage &page, GatewayOps &gateway, const char *text) {
  gateway.RemoveScratchFiles();
  page.AppendError(text);
  page.EnableBack(true);
  page.EnableCancel(true);
}

void ShowUpgradeSuccess(WizardPage &page) {
  page.EnableFinish(true);
  page.SetText(kUpgradeSuccessText);
}

void ShowWirelessFailure(WizardPage &page, GatewayOps &gateway) {
  // The backup is what the user needs to try again: it stays.
  gateway.KeepBackupOnly();
  page.EnableFinish(true);
  std::string kept = gateway.KeptBackup();
  std::string text = kWirelessFailureText;
  if (!kept.empty())
    text += "\r\nThe saved wireless settings are kept in " + kept + ".\r\n" + page.RestoreHint();
  page.SetErrorText((text + LogLine()).c_str());
}

void LockWizardButtons(WizardPage &page) {
  page.EnableBack(false);
  page.EnableNext(false);
  page.EnableCancel(false);
  page.EnableFinish(false);
}

namespace {

// The checks that only read from the gateway: connection, login, the kit,
// the version and the platform. On success the "Checking firmware......"
// line is still open and the busy bar runs.
ChecksResult CheckBeforeChanges(WizardPage &page, GatewayOps &gateway) {
  char address[sizeof g_gatewayAddress];
  CopyAddress(address);
  ChecksResult connected = CheckConnection(page, gateway, address, FinishWithError);
  if (connected != kChecksPassed) return connected;

  page.StartBusyBar(kChecksBar);
  page.AppendStatus("Checking firmware......");
  // A kit that would fail ends the run before anything is changed.
  std::string problem;
  if (!gateway.CheckKit(&problem)) {
    page.AppendStatus("FAILED !\r\n");
    FinishWithError(page, gateway,
                    (kKitRefusedText + problem + kNothingChangedText).c_str());
    Explain(page, "",
            "Check the kit folder with velmora-kit check, which lists every problem, then "
            "copy the kit again or get a new one.");
    StopBar(page);
    return kKitRefused;
  }
  prepareNeeded = 0;
  if (!gateway.CheckFirmwareVersion(&prepareNeeded)) {
    page.AppendStatus("FAILED !\r\n");
    FinishWithError(page, gateway, "\r\n\r\n*** ");
    FinishWithError(page, gateway, gateway.VersionErrorMessage());
    FinishWithError(page, gateway, "***\r\n");
    ExplainGatewayFailure(page, gateway);
    StopBar(page);
    return kVersionRefused;
  }
  return kChecksPassed;
}

}  // namespace

ChecksResult RunReadOnlyChecks(WizardPage &page, GatewayOps &gateway) {
  ChecksResult r = CheckBeforeChanges(page, gateway);
  if (r != kChecksPassed) return r;
  page.AppendStatus("OK\r\n");
  StopBar(page);
  return kChecksPassed;
}

ChecksResult RunChecks(WizardPage &page, GatewayOps &gateway) {
  ChecksResult checked = CheckBeforeChanges(page, gateway);
  if (checked != kChecksPassed) return checked;

  // A backup left from an earlier attempt must not pass for a fresh one.
  platform::DeleteLocalFile(LocalPath("C:\\Ssid"));
  // The settings are read before the connection is stopped: a backup that
  // cannot be read whole stops the run while nothing is changed yet.
  int saved = gateway.BackupWireless();
  if (saved < 0) {
    page.AppendStatus("FAILED !\r\n");
    FinishWithError(page, gateway, kBackupUnreadableText);
    ExplainGatewayFailure(page, gateway);
    StopBar(page);
    return kBackupUnreadable;
  }
  gateway.StopConnection();
  Pause(5000);
  if (saved > 0) {
    gateway.SwapBackupFiles(false);
    g_wirelessSaved = 1;
    page.AppendStatus("DONE\r\n");
    StopBar(page);
    page.StartBusyBar(kChecksBar);
    page.AppendStatus("Setting up environment......");
    gateway.DisableAccessPoint();
    Pause(5000);
    // A second backup only succeeds while the access point still reports
    // itself enabled; then it needs another push.
    if (gateway.BackupWireless() > 0) {
      gateway.DisableAccessPoint();
      Pause(5000);
    }
    gateway.SwapBackupFiles(true);
  }
  gateway.StopConnection();
  Pause(5000);

  page.AppendStatus("DONE\r\n");
  StopBar(page);
  page.PostStep(StepChecksDone);
  return kChecksPassed;
}

TransferResult RunTransfer(WizardPage &page, GatewayOps &gateway) {
  char address[sizeof g_gatewayAddress];
  CopyAddress(address);
  gateway.SetTarget(address, g_userName, g_password);

  page.AppendStatus("Transfering image......");
  page.StartBusyBar(kTransferBar);
  // Only a refusal is a failed transfer here. An upload without a verdict
  // goes on: the version the gateway runs after the power cycle decides.
  UploadFollower follower(page);
  bool done = gateway.UploadFirmware(prepareNeeded) >= 0;
  if (!done) {
    DebugOutput("Firmware transfer failed !\n");
    done = RebootAndUploadAgain(page, gateway, address);
  }
  follower.End();
  if (done) {
    page.AppendStatus("DONE\r\n");
    page.PostStep(StepTransferDone);
    StopBar(page);
    return kTransferDone;
  }
  StopBar(page);
  page.AppendStatus("FAILED !\r\n");
  FinishWithError(page, gateway, kTransferErrorText);
  ExplainGatewayFailure(page, gateway);
  page.PostStep(StepTransferFailed);
  return kTransferFailed;
}

RestoreResult RunRestore(WizardPage &page, GatewayOps &gateway,
                         const std::atomic<bool> *stop) {
  char address[sizeof g_gatewayAddress];
  CopyAddress(address);
  gateway.SetTarget(address, g_userName, g_password);
  LockWizardButtons(page);

  // Whoever stops the wait also ends the run. The image has gone out and
  // the access point is off: the backup is the only copy of the settings,
  // so it stays for a later restore.
  auto stopped = [&] {
    if (!Stopped(stop)) return false;
    gateway.KeepBackupOnly();
    return true;
  };

  // Going down: the user pulls the power cord, whenever they like; the
  // page says meanwhile what the wizard waits for.
  WaitTimer powerCycle(page, "the power cycle");
  while (Reachable(address)) {
    powerCycle.Pause(5000);
    if (stopped()) return kRestoreStopped;
  }
  powerCycle.End();
  page.SetText("");
  page.AppendStatus(kRebootingText);

  // Coming up again: that is the gateway's part, and it has a limit.
  WaitTimer comingUp(page, "the Gateway");
  WaitEnd back = WaitUntilBack(page, comingUp, address, 5000, true, stop);
  if (back == kWaitStopped && stopped()) return kRestoreStopped;
  if (back == kWaitTimedOut) {
    StopBar(page);
    ShowGatewayNotBack(page, gateway);
    return kGatewayNotBack;
  }
  comingUp.Pause(35000);
  comingUp.End();
  // Nothing is judged on a gateway that was not given its time.
  if (stopped()) return kRestoreStopped;
  StopBar(page);
  page.AppendStatus("DONE\r\n");

  gateway.CheckAccess();
  gateway.CheckAccess();
  // The proof of the upgrade: the version the gateway runs now.
  std::string running, kit;
  int confirmed = gateway.ConfirmKitVersion(&running, &kit);
  SupportLog("after the restart the Gateway runs \"%s\", the kit holds \"%s\": %s",
             running.c_str(), kit.c_str(), confirmed == 1 ? "upgrade confirmed" : "not confirmed");

  RestoreResult result = kUpgradeSucceeded;
  if (g_wirelessSaved) {
    if (gateway.CheckAccess() == 0) {
      StopBar(page);
      result = kWirelessFailed;
    } else {
      result = RestoreAndVerify(page, gateway, address, stop);
      if (result == kRestoreStopped && stopped()) return kRestoreStopped;
    }
  }
  if (confirmed != 1) {
    gateway.KeepBackupOnly();
    ShowVersionNotKits(page, gateway, running, kit);
    return kVersionNotKits;
  }
  if (result == kGatewayNotBack) {
    ShowGatewayNotBack(page, gateway);
    return result;
  }
  if (result == kWirelessFailed) {
    ShowWirelessFailure(page, gateway);
    return result;
  }
  ShowUpgradeSuccess(page);
  gateway.RemoveScratchFiles();
  return kUpgradeSucceeded;
}

RestoreResult RunKeptRestore(WizardPage &page, GatewayOps &gateway, ChecksResult *checks) {
  char address[sizeof g_gatewayAddress];
  CopyAddress(address);
  *checks = CheckConnection(page, gateway, address, FinishKeepingBackup);
  if (*checks != kChecksPassed) return kWirelessFailed;
  RestoreResult result = RestoreAndVerify(page, gateway, address, nullptr);
  if (result == kGatewayNotBack) {
    ShowGatewayNotBack(page, gateway);
  } else if (result != kUpgradeSucceeded) {
    ShowWirelessFailure(page, gateway);
  } else {
    gateway.RemoveScratchFiles();
    page.EnableFinish(true);
    page.SetText(kSettingsRestoredText);
  }
  return result;
}

}  // namespace velmora
