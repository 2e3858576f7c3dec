#include "gateway_ops.h"

#include "webclient/gateway_client.h"

namespace velmora {
namespace {

class ClientOps : public GatewayOps {
 public:
  void SetTarget(const char *address, const char *user, const char *password) override {
    // The client borrows its texts; the address is ours to keep.
    address_ = address != nullptr ? address : "";
    client_.gatewayAddress = address_.c_str();
    client_.userName = user != nullptr ? user : "";
    client_.password = password != nullptr ? password : "";
  }
  int CheckAccess() override { return client_.CheckAccess(); }
  bool CheckFirmwareVersion(int32_t *prepare) override {
    int value = 0;
    bool ok = client_.CheckFirmwareVersion(value);
    *prepare = value;
    return ok;
  }
  const char *VersionErrorMessage() override {
    return velmora::VersionErrorMessage(client_.VersionError);
  }
  bool StopConnection() override { return client_.StopConnection(); }
  bool BackupWireless() override { return client_.BackupWireless(); }
  void SwapBackupFiles(bool restore) override { velmora::SwapBackupFiles(restore); }
  bool DisableAccessPoint() override { return client_.DisableAccessPoint(); }
  bool UploadFirmware(int32_t prepare) override { return client_.UploadFirmware(prepare); }
  bool TelnetReboot() override { return client_.TelnetReboot(); }
  bool RestoreWireless() override { return client_.RestoreWireless(); }
  bool SaveAndReboot(bool save) override { return client_.SaveAndReboot(save); }
  void RemoveScratchFiles() override { velmora::RemoveScratchFiles(); }

 private:
  std::string address_;
  CGatewayClient client_;
};

}  // namespace

std::unique_ptr<GatewayOps> MakeGatewayOps() { return std::make_unique<ClientOps>(); }

}  // namespace velmora
