#include "wizard/sequence.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "app/environment.h"
#include "app/support_log.h"
#include "contract/result.h"
#include "platform/sysinfo.h"
#include "webclient/gateway_client.h"
#include "wizard/progress.h"

namespace velmora {

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

const char kPowerCycleFirstText[] =
    "The run that kept them ended before the Gateway restarted with the firmware it was "
    "sent. Unless you have done so since, unplug the Gateway's Black power cord, wait ten "
    "seconds, plug it back in and wait until its Green Power Light is solid before they are "
    "written back.";

const char kSettingsRestoredText[] =
    "\r\n\r\nYour wireless settings have been restored.\r\n\r\n"
    "\r\nClick \"Finish\" to exit.\r\n";

namespace {

// What is wrong with a kit is its maker's to mend, in terms the user need
// not know: the page says only that; each finding is in the support log.
const char kKitDamagedText[] = "\r\n\r\n*** " GWC_KIT_DAMAGED " ***\r\nNothing on the Gateway was changed.\r\n";
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

const char kBackupUnsavedText[] =
    "\r\n\r\n*** The wireless settings could not be saved on this computer. ***\r\n"
    "Nothing on the Gateway was changed. Please click Back to try again.\r\n";
const char kNotConfirmedText[] = "\r\n\r\n*** The Firmware upgrade could not be confirmed. ***\r\n";
const char kInterruptedText[] = "\r\n\r\n*** Interrupted. ***\r\n";
const char kLeftWaitingText[] =
    "\r\n\r\n*** The upgrade is not finished: the Gateway has not restarted yet. ***\r\n";
const char kTenSecondsText[] =
    "Leave it unplugged for ten seconds: after a shorter break it may not restart.\r\n";
const char kPowerCycleHintText[] =
    "\r\nThe Gateway still answers. If you have unplugged it already, it was back before "
    "this utility noticed: unplug the Black power cord again, wait ten seconds, then plug it "
    "back in.\r\n";
const char kBackupRefusedText[] =
    "\r\n\r\n*** The kept wireless settings were not written back. ***\r\n";

// Busy-bar periods of the phases, in milliseconds.
const uint32_t kChecksBar = 300;
const uint32_t kTransferBar = 1900;
const uint32_t kRebootWaitBar = 1000;
const uint32_t kRestoreBar = 300;
const uint32_t kSaveBar = 800;

const int kRebootProbes = 12;
// After this long without a power cycle the page suggests that a short one
// went unnoticed.
const uint32_t kPowerCycleHintMs = 3 * 60 * 1000;
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
  uint32_t Elapsed() const { return Env().clock->TickCount() - start_; }

 private:
  WizardPage &page_;
  const char *what_;
  uint32_t start_;
};

// Follows the uploads of one transfer: the progress reaches the page at
// every whole percent and the support log at every tenth; a stop of the run
// cuts the upload short, so that the gateway gets no whole image to write.
// Once a file is out, the page hears that the wizard waits for the gateway
// to take it (it writes its flash before it answers, and is given a while
// after it).
class UploadFollower {
 public:
  UploadFollower(WizardPage &page, const std::atomic<bool> &stop) : page_(page), stop_(stop) {}
  ~UploadFollower() { End(); }
  UploadFollower(const UploadFollower &) = delete;
  UploadFollower &operator=(const UploadFollower &) = delete;

  // What the upload interface is handed.
  UploadProgress Progress() {
    return [this](uint64_t sent, uint64_t total) {
      Report(sent, total);
      return !stop_;
    };
  }
  void End() {
    taking_.reset();
    if (total_) page_.ShowTransferProgress(0, 0, 0);
    total_ = 0;
  }

 private:
  void Report(uint64_t sent, uint64_t total) {
    if (total == 0) return;
    uint32_t now = Env().clock->TickCount();
    if (total != total_ || sent < sent_) {  // the next file, or the same again
      taking_.reset();
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
    if (sent >= total) {
      taking_.reset(new WaitTimer(page_, "the Gateway to take the image"));
      taking_->Report();
    }
  }

  WizardPage &page_;
  const std::atomic<bool> &stop_;
  uint64_t sent_ = 0, total_ = 0;
  uint32_t start_ = 0;
  int percent_ = -1;
  TenthSteps tenths_;
  std::unique_ptr<WaitTimer> taking_;
};

// Where the log of this run is, for the end of every failure text.
std::string LogLine() {
  std::string path = SupportLogPath();
  return path.empty() ? "" : "The log of this run is in " + path + "; attach it to a support request.\r\n";
}

// The lines after a failure text: what failed and what to do (either may
// be empty).
void Explain(WizardPage &page, const std::string &what, const std::string &todo) {
  std::string text;
  if (!what.empty()) text += "What failed: " + what + ".\r\n";
  if (!todo.empty()) text += "What to do: " + todo + "\r\n";
  if (!text.empty()) page.AppendError(text.c_str());
}

// The end of a failure text, for a front end without the button the text
// names.
std::string BackHintFor(const WizardPage &page, const std::string &text) {
  if (text.find("click Back") == std::string::npos || !*page.BackHint()) return "";
  return std::string(page.BackHint()) + "\r\n";
}

}  // namespace

std::string WhereTheGatewayStands(const WizardPage &page, const UpgradeRun &run) {
  const RunStage stage = run.stage();
  const FirmwareState firmware = run.firmware();
  const RestartState restart = run.restart();
  const bool kept = run.backup.Kept();
  const bool changed = stage != kStageUntouched;
  if (!changed && !kept) return "";
  const std::string restoreCommand = page.RestoreCommand();
  const char kRestartGateway[] = "restart the Gateway (unplug its power cord and plug it back in)";
  std::string text;

  if (changed && !run.restoringKept) {
    // The firmware.
    switch (firmware) {
      case kFirmwareUnchanged: {
        std::string running = run.runningVersion();
        text += "The Gateway's firmware is unchanged" +
                (running.empty() ? std::string() : ": it runs version " + running) + ".\r\n";
        break;
      }
      case kFirmwareWritten:
        text += restart == kNotRestarted
                    ? "The new firmware is written to the Gateway; it starts when the Gateway "
                      "restarts.\r\n"
                    : "The new firmware was written to the Gateway.\r\n";
        break;
      case kFirmwareUnknown:
        text += "Whether the Gateway's firmware changed is not known from its answer to the "
                "image.\r\n";
        break;
      case kFirmwarePartlyWritten:
        text += "Do not unplug the Gateway: its firmware may be half written (it answered "
                "fail[11]). Leave it on and contact support, with the log of this run.\r\n";
        break;
      case kFirmwareConfirmed: {
        std::string kit = run.kitVersion();
        text += "The Gateway runs the new firmware" +
                (kit.empty() ? std::string() : ", version " + kit) + ".\r\n";
        break;
      }
      case kFirmwareNotConfirmed:
        break;  // the ending names the version it runs
    }
    // What the run paused, and what a restart brought back: the gateway's
    // saved settings, or a new firmware's own.
    const bool newFirmware = firmware != kFirmwareUnchanged;
    if (restart == kRestartedSince) {
      // A new firmware starts with Wi-Fi settings of its own.
      const bool wifiBack = run.wifiBack && !newFirmware;
      if (newFirmware && run.g_wirelessSaved && kept)
        text += "The Gateway has restarted since; its Wi-Fi settings are not back yet.\r\n";
      else if (run.connectionBack || wifiBack)
        text += std::string("The Gateway has restarted since, which brought back its ") +
                (run.connectionBack ? "Internet connection" : "") +
                (run.connectionBack && wifiBack ? " and its " : "") + (wifiBack ? "Wi-Fi" : "") +
                ".\r\n";
    } else if (restart == kNotRestarted && (run.connectionPaused || run.wifiOff)) {
      text += run.connectionPaused
                  ? std::string("This utility paused the Gateway's Internet connection") +
                        (run.wifiOff ? " and switched its Wi-Fi off" : "") + ".\r\n"
                  : "This utility switched the Gateway's Wi-Fi off.\r\n";
    }
  } else if (run.restoringKept && stage >= kStageSettingsPosted && kept) {
    text += "The saved wireless settings were sent to the Gateway, but did not read back as "
            "saved.\r\n";
  }

  if (kept) text += "The saved wireless settings are kept in " + run.backup.Path() + ".\r\n";

  // The one step that brings back what the run paused.
  const bool paused = run.connectionPaused || run.wifiOff;
  if (firmware == kFirmwarePartlyWritten) {
    // None: a restart now could leave the Gateway unable to start.
  } else if (!changed || run.restoringKept || restart == kRestartedSince) {
    if (kept) text += "To write them back, " + restoreCommand + ".\r\n";
  } else if (restart == kRestarting) {
    if (kept) text += "Once the Gateway answers again, " + restoreCommand + ".\r\n";
  } else if (firmware != kFirmwareUnchanged) {
    // A new firmware starts with its own settings: the saved ones go back
    // after it.
    text += std::string("Next, ") + kRestartGateway +
            (kept ? "; once it answers again, " + restoreCommand : std::string()) + ".\r\n";
  } else if (paused) {
    text += std::string(run.connectionPaused && run.wifiOff ? "To bring them back, "
                                                            : "To bring it back, ") +
            (kept ? restoreCommand + "; that also restarts the Gateway" : kRestartGateway) +
            ".\r\n";
  } else if (kept) {
    text += "To write them back, " + restoreCommand + ".\r\n";
  }
  return text.empty() ? "" : "\r\n" + text;
}

namespace {

// How the buttons stand once a task has ended.
enum Buttons {
  kBackAndCancel,  // a failed attempt: Back tries again
  kFinishOnly,     // a result
};

// The one ending of every task: the notices the user must hear again and,
// after a failure, where the gateway stands (with the backup) and where the
// log is; a success names only a backup still kept. The scratch files go,
// the backup never.
void Conclude(WizardPage &page, UpgradeRun &run, GatewayOps &gateway, Buttons buttons,
              bool failure, bool withNotices = false) {
  gateway.RemoveScratchFiles();
  std::string tail;
  if (withNotices)
    for (const std::string &notice : run.notices) tail += "\r\n" + notice;
  if (failure || run.backup.Kept()) tail += WhereTheGatewayStands(page, run);
  if (failure) tail += LogLine();
  if (!tail.empty()) page.AppendError(tail.c_str());
  SupportLog("backup of the wireless settings: %s",
             run.backup.Kept() ? ("kept in " + run.backup.Path()).c_str()
             : run.backup.state() == WirelessBackup::kVerified ? "read back equal; removed"
                                                               : "none");
  if (buttons == kBackAndCancel) {
    page.EnableBack(true);
    page.EnableCancel(true);
  } else {
    page.EnableFinish(true);
  }
}

// A failed attempt on the transfer page: the failure text, what failed and
// what to do, then the ending with Back and Cancel.
void FinishWithError(WizardPage &page, UpgradeRun &run, GatewayOps &gateway, const std::string &text,
                     const std::string &what, const std::string &todo) {
  page.AppendError((text + BackHintFor(page, text)).c_str());
  Explain(page, what, todo);
  Conclude(page, run, gateway, kBackAndCancel, true);
}

void FinishWithGatewayError(WizardPage &page, UpgradeRun &run, GatewayOps &gateway,
                            const std::string &text, const std::string &todo = "") {
  std::string advice = gateway.Advice();
  FinishWithError(page, run, gateway, text, gateway.Problem(), advice.empty() ? todo : advice);
}

// A result on the restore page, replacing its text; unless the run ended
// as interrupted meanwhile.
void ShowResult(WizardPage &page, UpgradeRun &run, GatewayOps &gateway, const std::string &text,
                bool failure) {
  if (!run.TakeResultEnding()) return;
  if (failure)
    page.SetErrorText(text.c_str());
  else
    page.SetText(text.c_str());
  Conclude(page, run, gateway, kFinishOnly, failure, true);
}

bool StopNow(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  if (!run.stop) return false;
  EndInterrupted(page, run, gateway);
  return true;
}

// Takes note of what the last upload may have left in the gateway's flash.
// An image written since the gateway last restarted starts only at its
// next restart.
void NoteUpload(UpgradeRun &run, GatewayOps &gateway) {
  static const FirmwareState kFirmware[] = {kFirmwareUnchanged, kFirmwareWritten,
                                            kFirmwareUnknown, kFirmwarePartlyWritten};
  const FlashAfterUpload flash = gateway.UploadFlash();
  if (flash == kFlashUntouched) return;
  run.SetFirmware(kFirmware[flash]);
  run.SetRestart(kNotRestarted);
}

// After a failed upload: reboot the gateway through telnet, wait for it to
// come back and try once more. 1 when the second upload went through, 0
// when not, -1 when the run was asked to stop.
int RebootAndUploadAgain(WizardPage &page, UpgradeRun &run, GatewayOps &gateway,
                         UploadFollower &follower) {
  const char *address = run.g_gatewayAddress;
  if (!gateway.TelnetReboot()) {
    DebugOutput("Failed to reboot through TELNET !\n");
    Pause(5000);
    if (run.stop) return -1;
    if (!gateway.TelnetReboot()) {
      DebugOutput("Failed to reboot through TELNET !\n");
      return 0;
    }
  }
  run.SetRestart(kRestarting);
  WaitTimer waiting(page, "the Gateway");
  waiting.Pause(5000);
  StopBar(page);
  page.StartBusyBar(kRebootWaitBar);

  bool back = false;
  for (int probe = 0; probe < kRebootProbes && !back; ++probe) {
    if (run.stop) return -1;
    back = Reachable(address);
    if (!back) waiting.Pause(5000);
  }
  if (!back) return 0;
  run.GatewayBack();

  waiting.Pause(15000);
  waiting.End();
  if (run.stop) return -1;
  StopBar(page);
  page.StartBusyBar(kTransferBar);
  // A freshly started web server may not answer the first requests.
  gateway.CheckAccess();
  gateway.CheckAccess();
  if (gateway.CheckAccess() == 0) return 0;
  if (run.stop) return -1;
  run.uploadVerdict = gateway.UploadFirmware(run.prepareNeeded, follower.Progress());
  NoteUpload(run, gateway);
  return run.uploadVerdict >= 0 ? 1 : 0;
}

// After an upload that the gateway says may have left its flash partly
// written: a restart now could leave it unable to start, so it gets the
// image again at once, which rewrites the flash whole. 1 when that went
// through, 0 when not, -1 when the run was asked to stop.
int UploadAgainAtOnce(UpgradeRun &run, GatewayOps &gateway, UploadFollower &follower) {
  SupportLog("the Gateway's flash may be partly written: the image goes again, without a restart");
  if (run.stop) return -1;
  run.uploadVerdict = gateway.UploadFirmware(run.prepareNeeded, follower.Progress());
  NoteUpload(run, gateway);
  if (run.stop && run.uploadVerdict < 0) return -1;
  return run.uploadVerdict >= 0 ? 1 : 0;
}

enum WaitEnd { kAnswered, kWaitStopped, kWaitTimedOut };

// Probes until the gateway answers again, with `pauseMs` after every
// failed probe, for at most kGatewayBackMs (as the clock scales limits).
WaitEnd WaitUntilBack(WizardPage &page, UpgradeRun &run, WaitTimer &waiting, uint32_t pauseMs,
                      bool restartBar) {
  Clock &clock = *Env().clock;
  uint32_t start = clock.TickCount();
  uint32_t limit = clock.Limit(kGatewayBackMs);
  while (!Reachable(run.g_gatewayAddress)) {
    if (restartBar) page.StartBusyBar(kRebootWaitBar);
    if (pauseMs)
      waiting.Pause(pauseMs);
    else
      waiting.Report();
    if (run.stop) return kWaitStopped;
    if (clock.TickCount() - start >= limit) return kWaitTimedOut;
  }
  return kAnswered;
}

void ShowGatewayNotBack(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  ShowResult(page, run, gateway, kGatewayNotBackText, true);
}

// The proof of the upgrade failed: the gateway runs another version, or
// its version could not be read.
void ShowVersionNotKits(WizardPage &page, UpgradeRun &run, GatewayOps &gateway,
                        const std::string &running, const std::string &kit) {
  std::string text = kNotConfirmedText;
  if (running.empty())
    text += "The Gateway's firmware version could not be read after the restart";
  else
    text += "The Gateway still runs firmware version " + running;
  text += ", while the upgrade kit holds version " + (kit.empty() ? std::string("(unknown)") : kit) +
          ".\r\nPlease unplug the Black power cord of your DSL modem, plug it back in and "
          "run this utility again.\r\n";
  ShowResult(page, run, gateway, text, true);
}

// The gateway runs the kit's version, as it did before: what is known and
// what is not.
void ShowUnproven(WizardPage &page, UpgradeRun &run, GatewayOps &gateway, const std::string &kit,
                  RestoreResult settings) {
  std::string text = kNotConfirmedText;
  text += "The Gateway runs firmware version " + kit +
          ", the version of the upgrade kit, but it ran that version before the upgrade too "
          "and gave no answer to the image: whether the image was written is not known.\r\n";
  if (run.g_wirelessSaved)
    text += settings == kUpgradeSucceeded ? "The wireless settings were restored.\r\n"
                                          : "The wireless settings were not restored.\r\n";
  text += "If the Gateway works as it should, nothing more needs to be done; otherwise run this "
          "utility again.\r\n";
  ShowResult(page, run, gateway, text, true);
}

void ShowWirelessFailure(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  ShowResult(page, run, gateway, kWirelessFailureText, true);
}

void ShowUpgradeSuccess(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  ShowResult(page, run, gateway, kUpgradeSuccessText, false);
}

// Connection and login, as the first checks make them. Appends the
// progress lines; on failure the error text and the ending too.
ChecksResult CheckConnection(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  static const char kNoCredential[] = "";
  const std::string address = run.g_gatewayAddress;
  SupportLog("gateway address %s", address.c_str());
  gateway.SetTarget(address.c_str(), kNoCredential, kNoCredential);
  page.StartBusyBar(kChecksBar);
  page.AppendStatus("Checking connection......");
  int access = gateway.CheckAccess();
  if (StopNow(page, run, gateway)) return kChecksStopped;
  if (access == 0) {
    page.AppendStatus("FAILED !");
    StopBar(page);
    std::string advice = gateway.Advice();
    FinishWithError(page, run, gateway, kConnectionFailedText, gateway.Problem(),
           !advice.empty() ? advice
                           : "Check that this computer is connected to the Gateway by cable, "
                             "that the Gateway is on and that " + address +
                                 " is its address; then try again.");
    return kConnectionFailed;
  }
  if (access == -1) {
    page.AppendStatus("OK\r\n");
    page.AppendStatus("Checking security......");
    StopBar(page);
    std::string user, password;
    if (!page.RunLoginDialog(&user, &password)) {
      if (StopNow(page, run, gateway)) return kChecksStopped;
      page.AppendStatus("FAILED !\r\n");
      FinishWithError(page, run, gateway, kNoCredentialsText,
             "the Gateway at " + address + " asks for a login, and none was given",
             page.LoginHint());
      return kNoCredentials;
    }
    CopyCredential(run.g_userName, user);
    CopyCredential(run.g_password, password);
    gateway.SetTarget(address.c_str(), run.g_userName, run.g_password);
    page.StartBusyBar(kChecksBar);
    access = gateway.CheckAccess();
    StopBar(page);
    if (StopNow(page, run, gateway)) return kChecksStopped;
    if (access != 1) {
      page.AppendStatus("FAILED !\r\n");
      FinishWithError(page, run, gateway, kInvalidCredentialsText,
             access == 0 ? gateway.Problem()
                         : "the Gateway at " + address + " did not accept the user name \"" +
                               user + "\" with the password given",
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
// when they equal the backup, which then goes.
RestoreResult RestoreAndVerify(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  page.StartBusyBar(kRestoreBar);
  page.SetText("");
  page.AppendStatus(kRestoringText);
  page.AppendStatus("Re-configuring Gateway......");
  const WirelessSettings &saved = run.backup.settings();
  bool restored = false;
  for (int attempt = 0; attempt < kRestoreAttempts && !restored; ++attempt) {
    restored = gateway.RestoreWireless(saved);
    if (!restored) Pause(1000);
    if (run.stop) return kRestoreStopped;
  }
  run.Reached(kStageSettingsPosted);
  if (!restored) {
    StopBar(page);
    return kWirelessFailed;
  }
  run.backup.Restored();
  StopBar(page);
  page.AppendStatus("DONE\r\n");
  page.AppendStatus("Saving settings......");
  page.StartBusyBar(kSaveBar);
  // Posted is not kept: settings the gateway did not save are gone at its
  // next restart, however well they read back now.
  if (!gateway.SaveAndReboot(true)) {
    if (run.stop) return kRestoreStopped;
    SupportLog("the Gateway did not confirm that it saved the settings: %s",
               gateway.Problem().c_str());
    page.AppendStatus("FAILED !\r\n");
    StopBar(page);
    return kWirelessFailed;
  }
  run.SetRestart(kRestarting);
  WaitTimer waiting(page, "the Gateway");
  waiting.Pause(12000);
  if (run.stop) return kRestoreStopped;
  WaitEnd back = WaitUntilBack(page, run, waiting, 0, false);
  if (back == kWaitStopped) return kRestoreStopped;
  if (back == kWaitTimedOut) {
    StopBar(page);
    return kGatewayNotBack;
  }
  run.backup.NotePowerCycle();  // it restarted, on whatever it was sent
  run.GatewayBack();
  waiting.Pause(15000);
  waiting.End();
  // A wait cut short proves nothing about the settings.
  if (run.stop) return kRestoreStopped;
  // Taken is not kept: the settings count as restored when they read back
  // as they were saved.
  int same = gateway.VerifyWireless(saved);
  SupportLog("wireless settings read back: %s", same == 1   ? "equal to the backup"
                                                : same == 0 ? "different from the backup"
                                                            : "unreadable");
  // Read back while the run was asked to stop: the answer may be cut short.
  if (run.stop) return kRestoreStopped;
  if (same != 1) {
    StopBar(page);
    return kWirelessFailed;
  }
  if (!run.backup.Verified())
    SupportLog("the backup in %s could not be removed", run.backup.Path().c_str());
  page.AppendStatus("DONE\r\n");
  StopBar(page);
  return kUpgradeSucceeded;
}

// The checks that only read from the gateway: connection, login, the kit,
// the version and the platform. On success the "Checking firmware......"
// line is still open and the busy bar runs.
ChecksResult CheckBeforeChanges(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  ChecksResult connected = CheckConnection(page, run, gateway);
  if (connected != kChecksPassed) return connected;

  page.StartBusyBar(kChecksBar);
  page.AppendStatus("Checking firmware......");
  // A kit that would fail ends the run before anything is changed.
  std::string problem;
  if (!gateway.CheckKit(&problem)) {
    page.AppendStatus("FAILED !\r\n");
    FinishWithError(page, run, gateway, kKitDamagedText, "",
                    "Tell the kit's maker; the log of this run says what is wrong with the kit.");
    StopBar(page);
    return kKitRefused;
  }
  run.prepareNeeded = 0;
  bool passed = gateway.CheckFirmwareVersion(&run.prepareNeeded);
  if (StopNow(page, run, gateway)) return kChecksStopped;
  if (!passed) {
    page.AppendStatus("FAILED !\r\n");
    FinishWithGatewayError(page, run, gateway,
                           std::string("\r\n\r\n*** ") + gateway.VersionErrorMessage() + "***\r\n");
    StopBar(page);
    return kVersionRefused;
  }
  // Said before anything changes: which version replaces which, and when
  // it is the same, that only the gateway's verdict can tell that it was
  // written.
  std::string running, kitVersion, version;
  if (gateway.CheckedVersions(&running, &kitVersion)) run.SetVersions(running, kitVersion);
  run.alreadyOnKitVersion = gateway.AlreadyOnKitVersion(&version);
  if (!running.empty() || run.alreadyOnKitVersion) {
    if (!running.empty())
      page.AppendStatus(("\r\nFirmware version: " + running + " -> " + kitVersion + "\r\n").c_str());
    else
      page.AppendStatus("\r\n");
    if (run.alreadyOnKitVersion) {
      SupportLog("the Gateway already runs the kit's version %s", version.c_str());
      page.AppendError(("The Gateway already runs firmware version " + version +
                        ", the version of this upgrade kit; it is installed again.\r\n")
                           .c_str());
    }
    page.AppendStatus("Checking firmware......");
  }
  return kChecksPassed;
}

}  // namespace

void LockWizardButtons(WizardPage &page) {
  page.EnableBack(false);
  page.EnableNext(false);
  page.EnableCancel(false);
  page.EnableFinish(false);
}

bool EndInterrupted(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  if (!run.TakeInterruptedEnding()) return false;
  gateway.RemoveScratchFiles();
  page.StopBusyBar();
  std::string where = WhereTheGatewayStands(page, run);
  if (run.stage() == kStageUntouched) where = "Nothing on the Gateway was changed.\r\n" + where;
  std::string text = kInterruptedText + where + LogLine();
  page.AppendError(text.c_str());
  SupportLog("interrupted; backup of the wireless settings: %s",
             run.backup.Kept() ? ("kept in " + run.backup.Path()).c_str() : "none");
  return true;
}

void EndLeftWaiting(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  if (!run.TakeInterruptedEnding()) return;
  gateway.RemoveScratchFiles();
  page.StopBusyBar();
  page.EnableCancel(false);
  std::string text =
      kLeftWaitingText + WhereTheGatewayStands(page, run) + kTenSecondsText + LogLine();
  page.AppendError(text.c_str());
  SupportLog("the wait for the power cycle was left; backup of the wireless settings: %s",
             run.backup.Kept() ? ("kept in " + run.backup.Path()).c_str() : "none");
  page.EnableFinish(true);
}

ChecksResult RunReadOnlyChecks(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  RunningTask task(run);
  ChecksResult r = CheckBeforeChanges(page, run, gateway);
  if (r != kChecksPassed) return r;
  page.AppendStatus("OK\r\n");
  StopBar(page);
  return kChecksPassed;
}

ChecksResult RunChecks(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  RunningTask task(run);
  ChecksResult checked = CheckBeforeChanges(page, run, gateway);
  if (checked != kChecksPassed) return checked;

  // The settings are read, and kept, before the connection is stopped: a
  // backup that cannot be read whole or saved stops the run while nothing
  // is changed yet. An attempt after Back keeps the backup of the first:
  // the access point may be off since then.
  bool saved = run.backup.Kept();
  if (!saved) {
    WirelessSettings settings;
    int read = gateway.BackupWireless(&settings);
    std::string problem;
    if (read > 0 && !run.backup.Save(settings, &problem)) {
      page.AppendStatus("FAILED !\r\n");
      FinishWithError(page, run, gateway, kBackupUnsavedText, problem,
                      "Check that the folder " + (run.stateDir.empty() ? "C:\\" : run.stateDir) +
                          " can be written, then try again.");
      StopBar(page);
      return kBackupUnreadable;
    }
    if (read < 0) {
      page.AppendStatus("FAILED !\r\n");
      FinishWithGatewayError(page, run, gateway, kBackupUnreadableText);
      StopBar(page);
      return kBackupUnreadable;
    }
    saved = read > 0;
    if (saved) SupportLog("wireless settings saved in %s", run.backup.Path().c_str());
  }
  if (StopNow(page, run, gateway)) return kChecksStopped;
  // The first change, even when the gateway may not have taken it.
  if (gateway.StopConnection()) run.connectionPaused = true;
  run.Reached(kStageConnectionStopped);
  Pause(5000);
  if (StopNow(page, run, gateway)) return kChecksStopped;
  if (saved) {
    run.g_wirelessSaved = 1;
    page.AppendStatus("DONE\r\n");
    StopBar(page);
    page.StartBusyBar(kChecksBar);
    page.AppendStatus("Setting up environment......");
    gateway.DisableAccessPoint();
    run.wifiOff = true;  // even a post without an answer may have been taken
    run.Reached(kStageAccessPointOff);
    Pause(5000);
    if (StopNow(page, run, gateway)) return kChecksStopped;
    // The settings read again only while the access point still reports
    // itself enabled; then it needs another push.
    WirelessSettings test;
    if (gateway.BackupWireless(&test) > 0) {
      gateway.DisableAccessPoint();
      Pause(5000);
    }
    if (StopNow(page, run, gateway)) return kChecksStopped;
  }
  gateway.StopConnection();
  Pause(5000);
  if (StopNow(page, run, gateway)) return kChecksStopped;

  page.AppendStatus("DONE\r\n");
  StopBar(page);
  page.PostStep(StepChecksDone);
  return kChecksPassed;
}

TransferResult RunTransfer(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  RunningTask task(run);
  gateway.SetTarget(run.g_gatewayAddress, run.g_userName, run.g_password);

  page.AppendStatus("Transfering image......");
  page.StartBusyBar(kTransferBar);
  // Only a refusal is a failed transfer here. An upload without a verdict
  // goes on: the version the gateway runs after the power cycle decides.
  UploadFollower follower(page, run.stop);
  run.Reached(kStageImageSent);
  // Until the gateway is seen to restart, a kept backup must be written
  // back only after its power cycle: a later start says so.
  if (run.backup.Kept()) run.backup.NoteImageSent();
  run.uploadVerdict = gateway.UploadFirmware(run.prepareNeeded, follower.Progress());
  NoteUpload(run, gateway);
  int done = run.uploadVerdict >= 0 ? 1 : 0;
  if (!done && !run.stop) {
    follower.End();
    DebugOutput("Firmware transfer failed !\n");
    done = run.firmware() == kFirmwarePartlyWritten
               ? UploadAgainAtOnce(run, gateway, follower)
               : RebootAndUploadAgain(page, run, gateway, follower);
  }
  follower.End();
  if (run.stop || done < 0) {
    StopBar(page);
    EndInterrupted(page, run, gateway);
    return kTransferStopped;
  }
  if (done) {
    page.AppendStatus("DONE\r\n");
    std::string notice = gateway.UploadNotice();
    if (!notice.empty()) {
      page.AppendError(notice.c_str());
      run.notices.push_back(notice);
    }
    page.PostStep(StepTransferDone);
    StopBar(page);
    return kTransferDone;
  }
  StopBar(page);
  page.AppendStatus("FAILED !\r\n");
  FinishWithGatewayError(page, run, gateway, kTransferErrorText);
  page.PostStep(StepTransferFailed);
  return kTransferFailed;
}

RestoreResult RunRestore(WizardPage &page, UpgradeRun &run, GatewayOps &gateway) {
  RunningTask task(run);
  const char *address = run.g_gatewayAddress;
  gateway.SetTarget(address, run.g_userName, run.g_password);
  LockWizardButtons(page);

  // Going down: the user pulls the power cord, whenever they like; the
  // page says meanwhile what the wizard waits for. The wait has no limit,
  // but a way out (Cancel; Ctrl-C on a console) that says what to do next,
  // and after some minutes a hint that a short power cycle goes unnoticed.
  Clock &clock = *Env().clock;
  WaitTimer powerCycle(page, "the power cycle");
  page.EnableCancel(true);
  bool hinted = false;
  while (Reachable(address)) {
    // In short steps: the way out is taken at once.
    for (uint32_t waited = 0; waited < 5000 && !run.stop && !run.leave; waited += 250)
      Pause(250);
    if (run.stop || run.leave) {
      powerCycle.End();
      EndLeftWaiting(page, run, gateway);
      return kRestoreStopped;
    }
    powerCycle.Report();
    if (!hinted && powerCycle.Elapsed() >= clock.Limit(kPowerCycleHintMs)) {
      hinted = true;
      SupportLog("no power cycle seen after %s", DescribeElapsed(powerCycle.Elapsed()).c_str());
      page.AppendStatus((std::string(kPowerCycleHintText) + page.LeaveHint()).c_str());
    }
  }
  page.EnableCancel(false);
  powerCycle.End();
  if (run.backup.Kept()) run.backup.NotePowerCycle();
  run.SetRestart(kRestarting);
  page.SetText("");
  page.AppendStatus(kRebootingText);

  // Coming up again: that is the gateway's part, and it has a limit.
  WaitTimer comingUp(page, "the Gateway");
  WaitEnd back = WaitUntilBack(page, run, comingUp, 5000, true);
  if (back == kWaitStopped && StopNow(page, run, gateway)) return kRestoreStopped;
  if (back == kWaitTimedOut) {
    StopBar(page);
    ShowGatewayNotBack(page, run, gateway);
    return kGatewayNotBack;
  }
  run.GatewayBack();
  comingUp.Pause(35000);
  comingUp.End();
  // Nothing is judged on a gateway that was not given its time.
  if (StopNow(page, run, gateway)) return kRestoreStopped;
  StopBar(page);
  page.AppendStatus("DONE\r\n");

  gateway.CheckAccess();
  gateway.CheckAccess();
  // The proof of the upgrade: the version the gateway runs now.
  std::string running, kit;
  int confirmed = gateway.ConfirmKitVersion(&running, &kit);
  SupportLog("after the restart the Gateway runs \"%s\", the kit holds \"%s\": %s",
             running.c_str(), kit.c_str(), confirmed == 1 ? "upgrade confirmed" : "not confirmed");
  // The kit's version proves the upgrade only when the gateway did not run
  // it before, or said that it took the image.
  const bool unproven = run.alreadyOnKitVersion && run.uploadVerdict == kUploadUnconfirmed;
  if (!kit.empty()) run.SetVersions(run.runningVersion(), kit);
  run.SetFirmware(confirmed == 1 && !unproven ? kFirmwareConfirmed : kFirmwareNotConfirmed);
  if (StopNow(page, run, gateway)) return kRestoreStopped;

  RestoreResult result = kUpgradeSucceeded;
  if (run.g_wirelessSaved) {
    if (gateway.CheckAccess() == 0) {
      StopBar(page);
      result = kWirelessFailed;
    } else {
      result = RestoreAndVerify(page, run, gateway);
      if (result == kRestoreStopped && StopNow(page, run, gateway)) return kRestoreStopped;
    }
  }
  if (confirmed != 1) {
    ShowVersionNotKits(page, run, gateway, running, kit);
    return kVersionNotKits;
  }
  if (result == kGatewayNotBack) {
    ShowGatewayNotBack(page, run, gateway);
    return result;
  }
  // Flashed and unchanged look the same when the gateway ran the kit's
  // version before and said nothing to the image.
  if (unproven) {
    SupportLog("the Gateway ran the kit's version before and gave no verdict on the image: "
               "the upgrade is not proven");
    ShowUnproven(page, run, gateway, kit, result);
    return kUpgradeUnproven;
  }
  if (result == kWirelessFailed) {
    ShowWirelessFailure(page, run, gateway);
    return result;
  }
  ShowUpgradeSuccess(page, run, gateway);
  return kUpgradeSucceeded;
}

RestoreResult RunKeptRestore(WizardPage &page, UpgradeRun &run, GatewayOps &gateway,
                             ChecksResult *checks) {
  RunningTask task(run);
  run.restoringKept = true;
  *checks = kChecksPassed;
  // The file is checked before the gateway is even asked: a backup that is
  // not the wizard's own is never posted.
  std::string problem;
  bool loaded = run.backup.state() != WirelessBackup::kNone || run.backup.Load(&problem);
  if (!loaded || !CheckWirelessBackup(run.backup.settings(), &problem)) {
    SupportLog("kept backup not used: %s", problem.c_str());
    if (!run.TakeResultEnding()) return kBackupRefused;
    page.AppendError(kBackupRefusedText);
    Explain(page, loaded ? "the backup in " + run.backup.Path() + " holds " + problem : problem,
            "Nothing was sent to the Gateway. Set the wireless settings on the Gateway's web "
            "pages by hand, and remove the file once it is no longer wanted.");
    Conclude(page, run, gateway, kFinishOnly, true);
    return kBackupRefused;
  }
  *checks = CheckConnection(page, run, gateway);
  if (*checks == kChecksStopped) return kRestoreStopped;
  if (*checks != kChecksPassed) return kWirelessFailed;
  RestoreResult result = RestoreAndVerify(page, run, gateway);
  if (result == kRestoreStopped) {
    EndInterrupted(page, run, gateway);
  } else if (result == kGatewayNotBack) {
    ShowGatewayNotBack(page, run, gateway);
  } else if (result != kUpgradeSucceeded) {
    ShowWirelessFailure(page, run, gateway);
  } else {
    ShowResult(page, run, gateway, kSettingsRestoredText, false);
  }
  return result;
}

}  // namespace velmora
