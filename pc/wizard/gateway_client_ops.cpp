#include "wizard/gateway_client_ops.h"

#include <stdio.h>

#include "kit.h"
#include "platform/environment.h"
#include "platform/support_log.h"
#include "webclient/gateway_client.h"

namespace velmora {

namespace {

class GatewayClientOps : public GatewayOps {
 public:
  void SetTarget(const char *address, const char *user,
                 const char *password) override {
    // The client borrows its texts; the address is the task's own copy,
    // which must outlive the task, so it is kept here.
    snprintf(address_, sizeof address_, "%s", address);
    client_.gatewayAddress = address_;
    client_.userName = user;
    client_.password = password;
  }
  int CheckAccess() override {
    client_.SetProblem("");
    // After an image went out, the next access check is after the power
    // cycle: the gateway came back with the image's settings.
    if (imageSent_) accessPointOff_ = false;
    return client_.CheckAccess();
  }
  bool CheckKit(std::string *problem) override {
    kit::Report report;
    bool usable = kit::kit_usable(KitDirectory(), problem, &report);
    static const char *const kSeverity[] = {"ok", "note", "warning", "error"};
    for (const kit::Finding &f : report.findings)
      SupportLog("kit check: %s: %s%s%s", kSeverity[f.severity], f.file.c_str(),
                 f.file.empty() ? "" : ": ", f.text.c_str());
    return usable;
  }
  bool CheckFirmwareVersion(int32_t *prepare) override {
    int p = *prepare;
    bool ok = client_.CheckFirmwareVersion(p);
    *prepare = p;
    return ok;
  }
  const char *VersionErrorMessage() override {
    return velmora::VersionErrorMessage(client_.VersionError);
  }
  bool StopConnection() override { return client_.StopConnection(); }
  int BackupWireless() override {
    client_.SetProblem("");
    return client_.BackupWireless();
  }
  void SwapBackupFiles(bool restore) override { velmora::SwapBackupFiles(restore); }
  bool DisableAccessPoint() override {
    accessPointOff_ = true;  // even a post without an answer may have been taken
    return client_.DisableAccessPoint();
  }
  bool RestoreAccessPoint() override {
    if (!accessPointOff_) return true;
    bool on = client_.EnableAccessPoint();
    if (on) accessPointOff_ = false;
    SupportLog("access point switched back on: %s", on ? "done" : client_.problem.c_str());
    return on;
  }
  int UploadFirmware(int32_t prepare) override {
    client_.SetProblem("");
    int verdict = client_.UploadFirmware(prepare);
    if (verdict >= 0) imageSent_ = true;
    return verdict;
  }
  bool TelnetReboot() override {
    bool rebooted = client_.TelnetReboot();
    if (rebooted) accessPointOff_ = false;
    return rebooted;
  }
  bool RestoreWireless() override {
    bool restored = client_.RestoreWireless();
    if (restored) accessPointOff_ = false;
    return restored;
  }
  int VerifyWireless() override { return client_.VerifyWireless(); }
  bool SaveAndReboot(bool save) override { return client_.SaveAndReboot(save); }
  int ConfirmKitVersion(std::string *running, std::string *kit) override {
    return client_.ConfirmKitVersion(*running, *kit);
  }
  void RemoveScratchFiles() override { velmora::RemoveScratchFiles(); }
  void KeepBackupOnly() override { RemoveScratchFilesKeepingBackup(); }
  std::string KeptBackup() override {
    return FileExists(kSsidFile) ? LocalPath(kSsidFile) : std::string();
  }
  std::string Problem() override { return client_.problem; }
  std::string Advice() override { return client_.advice; }

 private:
  CGatewayClient client_;
  char address_[sizeof g_gatewayAddress] = "";
  bool accessPointOff_ = false;  // switched off by this run, not restarted since
  bool imageSent_ = false;
};

}  // namespace

std::unique_ptr<GatewayOps> MakeGatewayClientOps() {
  return std::unique_ptr<GatewayOps>(new GatewayClientOps);
}

}  // namespace velmora
