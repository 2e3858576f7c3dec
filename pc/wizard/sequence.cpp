#include "wizard/sequence.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/sysinfo.h"

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

namespace {

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
  Pause(5000);
  StopBar(page);
  page.StartBusyBar(kRebootWaitBar);

  bool back = false;
  for (int probe = 0; probe < kRebootProbes && !back; ++probe) {
    back = Reachable(address);
    if (!back) Pause(5000);
  }
  if (!back) return false;

  Pause(15000);
  StopBar(page);
  page.StartBusyBar(kTransferBar);
  // A freshly started web server may not answer the first requests.
  gateway.CheckAccess();
  gateway.CheckAccess();
  if (gateway.CheckAccess() == 0) return false;
  return gateway.UploadFirmware(prepareNeeded);
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
  page.AppendStatus(text);
  page.EnableBack(true);
  page.EnableCancel(true);
}

void ShowUpgradeSuccess(WizardPage &page) {
  page.EnableFinish(true);
  page.SetText(kUpgradeSuccessText);
}

void ShowWirelessFailure(WizardPage &page, GatewayOps &gateway) {
  gateway.RemoveScratchFiles();
  page.EnableFinish(true);
  page.SetText(kWirelessFailureText);
}

void LockWizardButtons(WizardPage &page) {
  page.EnableBack(false);
  page.EnableNext(false);
  page.EnableCancel(false);
  page.EnableFinish(false);
}

ChecksResult RunChecks(WizardPage &page, GatewayOps &gateway) {
  static const char kNoCredential[] = "";
  char address[sizeof g_gatewayAddress];
  CopyAddress(address);
  gateway.SetTarget(address, kNoCredential, kNoCredential);

  page.StartBusyBar(kChecksBar);
  page.AppendStatus("Checking connection......");
  int access = gateway.CheckAccess();
  if (access == 0) {
    page.AppendStatus("FAILED !");
    StopBar(page);
    FinishWithError(page, gateway, kConnectionFailedText);
    return kConnectionFailed;
  }
  if (access == -1) {
    page.AppendStatus("OK\r\n");
    page.AppendStatus("Checking security......");
    StopBar(page);
    std::string user, password;
    if (!page.RunLoginDialog(&user, &password)) {
      page.AppendStatus("FAILED !\r\n");
      FinishWithError(page, gateway, kNoCredentialsText);
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
      FinishWithError(page, gateway, kInvalidCredentialsText);
      return kInvalidCredentials;
    }
  }
  page.AppendStatus("OK\r\n");
  StopBar(page);

  page.StartBusyBar(kChecksBar);
  page.AppendStatus("Checking firmware......");
  prepareNeeded = 0;
  if (!gateway.CheckFirmwareVersion(&prepareNeeded)) {
    page.AppendStatus("FAILED !\r\n");
    FinishWithError(page, gateway, "\r\n\r\n*** ");
    FinishWithError(page, gateway, gateway.VersionErrorMessage());
    FinishWithError(page, gateway, "***\r\n");
    StopBar(page);
    return kVersionRefused;
  }

  gateway.StopConnection();
  Pause(5000);
  // A backup left from an earlier attempt must not pass for a fresh one.
  platform::DeleteLocalFile(LocalPath("C:\\Ssid"));
  if (gateway.BackupWireless()) {
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
    if (gateway.BackupWireless()) {
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
  bool done = gateway.UploadFirmware(prepareNeeded);
  if (!done) {
    DebugOutput("Firmware transfer failed !\n");
    done = RebootAndUploadAgain(page, gateway, address);
  }
  if (done) {
    page.AppendStatus("DONE\r\n");
    page.PostStep(StepTransferDone);
    StopBar(page);
    return kTransferDone;
  }
  StopBar(page);
  page.AppendStatus("FAILED !\r\n");
  FinishWithError(page, gateway, kTransferErrorText);
  page.PostStep(StepTransferFailed);
  return kTransferFailed;
}

RestoreResult RunRestore(WizardPage &page, GatewayOps &gateway,
                         const std::atomic<bool> *stop) {
  char address[sizeof g_gatewayAddress];
  CopyAddress(address);
  gateway.SetTarget(address, g_userName, g_password);
  LockWizardButtons(page);

  // Whoever stops the wait also ends the run: the backup cannot be used
  // any more, and it holds the wireless keys.
  auto stopped = [&] {
    if (!Stopped(stop)) return false;
    gateway.RemoveScratchFiles();
    return true;
  };

  // Going down: the user pulls the power cord.
  while (Reachable(address)) {
    Pause(5000);
    if (stopped()) return kRestoreStopped;
  }
  page.SetText("");
  page.AppendStatus(kRebootingText);

  // Coming up again.
  while (!Reachable(address)) {
    page.StartBusyBar(kRebootWaitBar);
    Pause(5000);
    if (stopped()) return kRestoreStopped;
  }
  Pause(35000);
  StopBar(page);
  page.AppendStatus("DONE\r\n");

  gateway.CheckAccess();
  gateway.CheckAccess();
  if (g_wirelessSaved) {
    if (gateway.CheckAccess() == 0) {
      StopBar(page);
      ShowWirelessFailure(page, gateway);
      return kWirelessFailed;
    }
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
      ShowWirelessFailure(page, gateway);
      return kWirelessFailed;
    }
    StopBar(page);
    page.AppendStatus("DONE\r\n");
    page.AppendStatus("Saving settings......");
    page.StartBusyBar(kSaveBar);
    gateway.SaveAndReboot(true);
    Pause(12000);
    while (!Reachable(address)) {
      if (stopped()) return kRestoreStopped;
    }
    Pause(15000);
    page.AppendStatus("DONE\r\n");
    StopBar(page);
  }
  ShowUpgradeSuccess(page);
  gateway.RemoveScratchFiles();
  return kUpgradeSucceeded;
}

}  // namespace velmora
