// Fakes for running the upgrade tasks in virtual time: a clock that only
// counts, a page that records what it is told, and a gateway whose answers
// are scripted per call (and that can raise the run's stop at any call).
#ifndef VELMORA_WIZARD_TESTS_SEQUENCE_FAKES_H
#define VELMORA_WIZARD_TESTS_SEQUENCE_FAKES_H

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "app/environment.h"
#include "wizard/sequence.h"

namespace velmora {
namespace testing {

class VirtualClock : public Clock {
 public:
  uint32_t TickCount() override { return static_cast<uint32_t>(now); }
  void Sleep(uint32_t ms) override {
    now += ms;
    sleeps.push_back(ms);
  }
  void PumpingSleep(uint32_t ms) override { now += ms; }

  uint64_t now = 0;
  std::vector<uint32_t> sleeps;
};

// Records every call as one short line, so tests can compare the order in
// which the page was driven.
class RecordingPage : public WizardPage {
 public:
  void SetText(const char *t) override {
    text = t;
    Log("text " + std::string(t));
  }
  void AppendStatus(const char *t) override {
    text += t;
    Log("append " + std::string(t));
    if (!progress.empty()) progress.push_back("append " + std::string(t));
  }
  void StartBusyBar(uint32_t ms) override {
    bar = ms;
    Log("bar " + std::to_string(ms));
  }
  void StopBusyBar() override {
    bar = 0;
    Log("stop");
  }
  void EnableBack(bool on) override { back = on; }
  void EnableNext(bool on) override { next = on; }
  void EnableCancel(bool on) override { cancel = on; }
  void EnableFinish(bool on) override { finish = on; }
  bool RunLoginDialog(std::string *user, std::string *password) override {
    ++loginShown;
    Log("login");
    if (!loginOk) return false;
    *user = loginUser;
    *password = loginPassword;
    return true;
  }
  void PostStep(int step) override {
    steps.push_back(step);
    Log("step " + std::to_string(step));
  }
  // The progress calls, apart from the log: "N % at MS", "sent" when a
  // file's transfer ended, "waiting for WHAT" when a wait is first heard
  // of, "waited" when it ended; and, once they began, what was appended.
  void ShowTransferProgress(uint64_t sent, uint64_t total, uint32_t elapsedMs) override {
    progress.push_back(total ? std::to_string(sent * 100 / total) + " % at " + std::to_string(elapsedMs)
                             : std::string("sent"));
  }
  void ShowWaiting(const char *what, uint32_t) override {
    std::string line = what ? std::string("waiting for ") + what : "waited";
    if (progress.empty() || progress.back() != line) progress.push_back(line);
  }

  // Which of Back, Next, Cancel, Finish are enabled, as "BNCF" with '-' for
  // a disabled button.
  std::string Buttons() const {
    std::string s;
    s += back ? 'B' : '-';
    s += next ? 'N' : '-';
    s += cancel ? 'C' : '-';
    s += finish ? 'F' : '-';
    return s;
  }

  std::string text;
  std::vector<std::string> log;
  std::vector<std::string> progress;
  std::vector<int> steps;
  uint32_t bar = 0;
  bool back = true, next = true, cancel = true, finish = true;
  bool loginOk = true;
  std::string loginUser = "admin", loginPassword = "secret";
  int loginShown = 0;

 private:
  void Log(const std::string &line) { log.push_back(line); }
};

// Every answer comes from a queue; an empty queue gives the default.
template <typename T>
T Next(std::deque<T> &script, T fallback) {
  if (script.empty()) return fallback;
  T v = script.front();
  script.pop_front();
  return v;
}

class FakeGateway : public GatewayOps {
 public:
  void SetTarget(const char *a, const char *u, const char *p) override {
    address = a;
    user = u;
    password = p;
  }
  int CheckAccess() override {
    Call("CheckAccess");
    accessUsers.push_back(user ? user : "(null)");
    return Next(access, 1);
  }
  bool CheckKit(std::string *problem) override {
    Call("CheckKit");
    *problem = kitProblem;
    return kitProblem.empty();
  }
  bool CheckFirmwareVersion(int32_t *prepare) override {
    Call("CheckFirmwareVersion");
    *prepare = prepareResult;
    return versionOk;
  }
  const char *VersionErrorMessage() override { return versionMessage.c_str(); }
  bool StopConnection() override { return Call("StopConnection"), stopTaken; }
  bool AlreadyOnKitVersion(std::string *version) override {
    *version = kit;
    return alreadyOnKit;
  }
  int BackupWireless(WirelessSettings *s) override {
    int r = Next(backup, 0);
    if (r > 0) *s = settings;
    Call("BackupWireless");
    return r;
  }
  bool DisableAccessPoint() override { return Call("DisableAccessPoint"), true; }
  int UploadFirmware(int32_t prepare, const UploadProgress &progress) override {
    // The blocks scripted go out first; a stop raised meanwhile, or at the
    // call, cuts the upload short.
    bool cut = false;
    for (const auto &block : blocks) {
      if (progress && !progress(block.first, block.second)) {
        cut = true;
        break;
      }
      if (onBlock) onBlock(block.first);
    }
    Call("UploadFirmware(" + std::to_string(prepare) + ")");
    // The upload goes on after the call: a stop raised at it cuts it short.
    const std::pair<uint64_t, uint64_t> last =
        blocks.empty() ? std::pair<uint64_t, uint64_t>(1, 2) : blocks.back();
    if (!cut && progress && !progress(last.first, last.second)) cut = true;
    if (cut) ++cutShort;
    int verdict = Next(upload, 1);
    // Unless scripted, what a verdict says of the flash.
    lastFlash = Next(flash, verdict > 0    ? kFlashWritten
                            : verdict == 0 ? kFlashUnknown
                                           : kFlashUntouched);
    return verdict;
  }
  std::string UploadNotice() override { return notice; }
  FlashAfterUpload UploadFlash() override { return lastFlash; }
  bool CheckedVersions(std::string *r, std::string *k) override {
    *r = before;
    *k = kit;
    return true;
  }
  bool TelnetReboot() override {
    Call("TelnetReboot");
    return Next(telnet, true);
  }
  bool RestoreWireless(const WirelessSettings &s) override {
    restored = s;
    Call("RestoreWireless");
    return Next(restore, true);
  }
  int VerifyWireless(const WirelessSettings &) override {
    Call("VerifyWireless");
    return Next(verify, 1);
  }
  int ConfirmKitVersion(std::string *r, std::string *k) override {
    Call("ConfirmKitVersion");
    *r = running;
    *k = kit;
    return Next(confirm, 1);
  }
  bool SaveAndReboot(bool save) override {
    Call(save ? "SaveAndReboot(true)" : "SaveAndReboot(false)");
    if (onSaveAndReboot) onSaveAndReboot();
    return true;
  }
  void RemoveScratchFiles() override { Call("RemoveScratchFiles"); }
  std::string Problem() override { return problem; }
  std::string Advice() override { return advice; }

  int Count(const std::string &name) const {
    int n = 0;
    for (const auto &c : calls) n += c == name;
    return n;
  }

  std::deque<int> access, backup, upload, verify, confirm;
  std::deque<FlashAfterUpload> flash;
  int cutShort = 0;  // uploads whose progress said to stop
  FlashAfterUpload lastFlash = kFlashUntouched;
  std::deque<bool> telnet, restore;
  std::string kitProblem;  // empty: the kit is good
  std::string running = "3.60.1.0.5-GQ", kit = "3.60.1.0.5-GQ";
  std::string before = "3.60.1.0.4-GQ";  // what the version check reads
  bool alreadyOnKit = false;  // what AlreadyOnKitVersion says
  bool stopTaken = true;      // what StopConnection says
  std::string problem, advice;  // what Problem and Advice say
  std::string notice;           // what UploadNotice says
  bool versionOk = true;
  int32_t prepareResult = 0;
  std::string versionMessage = "No error.";
  // What BackupWireless reads when it reads something; what RestoreWireless
  // was given last.
  WirelessSettings settings = {
      "var:conname=connection0&var:contype=pppoe&ap:settings/ap_enabled=1"
      "&ap:settings/channel=6&ap:settings/ssid=Home+Net&ap:settings/privacy_type=0",
      ""};
  WirelessSettings restored;
  std::function<void()> onSaveAndReboot;
  // What UploadFirmware reports of each block (bytes sent, file size), and
  // what it does after each.
  std::vector<std::pair<uint64_t, uint64_t>> blocks = {{1, 2}};
  std::function<void(uint64_t sent)> onBlock;
  // Called after every call, with its name: a test raises the run's stop
  // (or anything else) at the step it likes.
  std::function<void(const std::string &)> onCall;

  std::string address;
  const char *user = nullptr;
  const char *password = nullptr;
  std::vector<std::string> accessUsers;
  std::vector<std::string> calls;

 private:
  void Call(const std::string &name) {
    calls.push_back(name);
    if (onCall) onCall(name);
  }
};

}  // namespace testing
}  // namespace velmora

#endif
