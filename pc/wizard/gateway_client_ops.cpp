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
  explicit GatewayClientOps(UpgradeRun &run) : kitDir_(run.kitDir) {
    client_.stateDir = run.stateDir;
    client_.kitDir = run.kitDir;
    client_.loginAsked = &run.loginAsked;
  }
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
    bool usable = kit::kit_usable(kitDir_, problem, &report);
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
  bool AlreadyOnKitVersion(std::string *version) override {
    *version = client_.kitVersion;
    return client_.AlreadyOnKitVersion();
  }
  bool CheckedVersions(std::string *running, std::string *kit) override {
    *running = client_.runningVersion;
    *kit = client_.kitVersion;
    return !running->empty() && !kit->empty();
  }
  bool StopConnection() override { return client_.StopConnection(); }
  int BackupWireless(WirelessSettings *settings) override {
    client_.SetProblem("");
    return client_.BackupWireless(*settings);
  }
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
  int UploadFirmware(int32_t prepare, const UploadProgress &progress) override {
    client_.SetProblem("");
    int verdict = client_.UploadFirmware(prepare, progress);
    if (verdict >= 0) imageSent_ = true;
    return verdict;
  }
  std::string UploadNotice() override { return client_.uploadNotice; }
  FlashAfterUpload UploadFlash() override { return client_.uploadFlash; }
  std::string UploadPlan(int32_t prepare) override { return client_.UploadPlan(prepare); }
  bool TelnetReboot() override {
    bool rebooted = client_.TelnetReboot();
    if (rebooted) accessPointOff_ = false;
    return rebooted;
  }
  bool RestoreWireless(const WirelessSettings &settings) override {
    client_.SetProblem("");
    bool restored = client_.RestoreWireless(settings);
    if (restored) accessPointOff_ = false;
    return restored;
  }
  int VerifyWireless(const WirelessSettings &saved) override {
    return client_.VerifyWireless(saved);
  }
  bool SaveAndReboot(bool save) override { return client_.SaveAndReboot(save); }
  int ConfirmKitVersion(std::string *running, std::string *kit) override {
    return client_.ConfirmKitVersion(*running, *kit);
  }
  void RemoveScratchFiles() override { client_.RemoveScratchFiles(); }
  std::string Problem() override { return client_.problem; }
  std::string Advice() override { return client_.advice; }

 private:
  CGatewayClient client_;
  const std::string kitDir_;
  char address_[sizeof(UpgradeRun::g_gatewayAddress)] = "";
  bool accessPointOff_ = false;  // switched off by this run, not restarted since
  bool imageSent_ = false;
};

}  // namespace

std::unique_ptr<GatewayOps> MakeGatewayClientOps(UpgradeRun &run) {
  return std::unique_ptr<GatewayOps>(new GatewayClientOps(run));
}

}  // namespace velmora
