#include "wizard/gateway_client_ops.h"

#include <stdio.h>

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
  int CheckAccess() override { return client_.CheckAccess(); }
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
  bool BackupWireless() override { return client_.BackupWireless(); }
  void SwapBackupFiles(bool restore) override { velmora::SwapBackupFiles(restore); }
  bool DisableAccessPoint() override { return client_.DisableAccessPoint(); }
  bool UploadFirmware(int32_t prepare) override {
    return client_.UploadFirmware(prepare);
  }
  bool TelnetReboot() override { return client_.TelnetReboot(); }
  bool RestoreWireless() override { return client_.RestoreWireless(); }
  bool SaveAndReboot(bool save) override { return client_.SaveAndReboot(save); }
  void RemoveScratchFiles() override { velmora::RemoveScratchFiles(); }

 private:
  CGatewayClient client_;
  char address_[sizeof g_gatewayAddress] = "";
};

}  // namespace

std::unique_ptr<GatewayOps> MakeGatewayClientOps() {
  return std::unique_ptr<GatewayOps>(new GatewayClientOps);
}

}  // namespace velmora
