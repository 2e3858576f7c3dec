#include "wizard/gateway_client_ops.h"

#include <stdio.h>

#include "kit.h"
#include "app/environment.h"
#include "app/support_log.h"
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
  bool DisableAccessPoint() override { return client_.DisableAccessPoint(); }
  int UploadFirmware(int32_t prepare) override {
    client_.SetProblem("");
    return client_.UploadFirmware(prepare);
  }
  bool TelnetReboot() override { return client_.TelnetReboot(); }
  bool RestoreWireless() override { return client_.RestoreWireless(); }
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
};

}  // namespace

std::unique_ptr<GatewayOps> MakeGatewayClientOps() {
  return std::unique_ptr<GatewayOps>(new GatewayClientOps);
}

}  // namespace velmora
