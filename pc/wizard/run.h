// One run of the wizard against one gateway: what the user gave, what the
// checks found, how far the run got on the gateway, and the backup of its
// wireless settings. The pages and the tasks are handed the run; nothing of
// it is process-wide, so that runs for several gateways can go side by side
// in one process, each with a state folder of its own.
#ifndef VELMORA_WIZARD_RUN_H
#define VELMORA_WIZARD_RUN_H

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "app/backup.h"

namespace velmora {

// What the gateway's firmware is, as far as the run can tell.
enum FirmwareState {
  kFirmwareUnchanged,      // nothing was written to its flash
  kFirmwareWritten,        // the gateway took the image and wrote it
  kFirmwareUnknown,        // an image went out and the gateway's answer does not tell
  kFirmwarePartlyWritten,  // the gateway said its flash may be partly written
  kFirmwareConfirmed,      // after its restart it runs the kit's version
  kFirmwareNotConfirmed,   // after its restart it runs another (or an unreadable) version
};

// Whether the gateway restarted since the run's first change.
enum RestartState {
  kNotRestarted,
  kRestarting,       // it went off (a reboot was ordered, or it was unplugged), not yet back
  kRestartedSince,   // it answers again after a restart
};

// How far a run got on the gateway; each stage holds the ones before it.
enum RunStage {
  kStageUntouched,          // only read from
  kStageConnectionStopped,  // its Internet connection stopped: the first change
  kStageAccessPointOff,     // its wireless access point switched off
  kStageImageSent,          // an image went out to it, taken or not
  kStageSettingsPosted,     // the saved settings were posted back
};

class UpgradeRun {
 public:
  // `stateDir` stands for "C:\" (empty: the real one): the backup and the
  // scratch page live there. `kitDir` holds the kit: "*.img", config.xml,
  // upgrade.ini, prepare.bin.
  UpgradeRun(std::string stateDir, std::string kitDir);
  UpgradeRun(const UpgradeRun &) = delete;
  UpgradeRun &operator=(const UpgradeRun &) = delete;

  // The address and the login as the dialogs gave them (a dotted quad, at
  // most 255 characters each of the login).
  char g_gatewayAddress[16] = {};
  char g_userName[256] = {};
  char g_password[256] = {};
  // How the image goes up; set by the version check.
  int32_t prepareNeeded = 0;
  // Set once this run saved the wireless settings and never cleared, so that
  // an attempt after Back restores them too.
  int32_t g_wirelessSaved = 0;
  // Whether CheckAccess has asked for a login in this run.
  int loginAsked = 0;

  const std::string stateDir;
  const std::string kitDir;
  // The backup's one owner.
  WirelessBackup backup;

  // Raised by the front end (Ctrl-C, the window closed): the tasks look at
  // it between their steps and end through the ending.
  std::atomic<bool> stop{false};
  // Raised by the front end when the user takes the way out of the wait
  // for the power cycle; nothing else looks at it.
  std::atomic<bool> leave{false};

  // What the proof of the upgrade weighs: the gateway ran the kit's version
  // before anything was sent, and what the gateway said to the last image.
  bool alreadyOnKitVersion = false;
  int uploadVerdict = 0;  // an UploadVerdict
  // Things the user must hear again when the run ends (the gateway took an
  // image without its signature, ...).
  std::vector<std::string> notices;

  RunStage stage() const { return static_cast<RunStage>(stage_.load()); }
  void Reached(RunStage s);

  // What the ending says of the gateway's firmware.
  FirmwareState firmware() const { return static_cast<FirmwareState>(firmware_.load()); }
  void SetFirmware(FirmwareState f) { firmware_ = f; }
  // Whether the gateway restarted after the run's first change (the telnet
  // reboot, the power cycle, the restart after the settings were saved):
  // what the run paused is back once it answers again, as far as a restart
  // brings it back.
  RestartState restart() const { return static_cast<RestartState>(restart_.load()); }
  void SetRestart(RestartState r) { restart_ = r; }
  // The run writes back settings an earlier run kept; it sends no image.
  std::atomic<bool> restoringKept{false};
  // What the run paused on the gateway and no restart has brought back yet:
  // its Internet connection, its Wi-Fi.
  std::atomic<bool> connectionPaused{false}, wifiOff{false};
  // What a restart of the gateway brought back.
  std::atomic<bool> connectionBack{false}, wifiBack{false};
  // The gateway answers again after a restart: what a restart brings back
  // is back.
  void GatewayBack() {
    SetRestart(kRestartedSince);
    if (connectionPaused.exchange(false)) connectionBack = true;
    if (wifiOff.exchange(false)) wifiBack = true;
  }
  // The versions compared before anything changed ("" until then).
  void SetVersions(const std::string &running, const std::string &kit);
  std::string runningVersion() const;
  std::string kitVersion() const;
  // Whether a task is running for this run.
  bool Busy() const { return busy_ > 0; }

  // The run ends once: with its result (the last page's text), or with the
  // interrupted ending, said by whoever comes first (the task that saw the
  // stop, or the front end that cannot wait for it). Whichever is second
  // is not said: a stop after the result leaves the result standing, and
  // no result follows the interrupted ending. true for the first.
  bool TakeResultEnding() { return TakeEnding(kResultEnding); }
  bool TakeInterruptedEnding() { return TakeEnding(kInterruptedEnding); }
  bool ResultSaid() const { return ending_ == kResultEnding; }

 private:
  friend class RunningTask;
  std::atomic<int> stage_{kStageUntouched};
  std::atomic<int> firmware_{kFirmwareUnchanged};
  std::atomic<int> restart_{kNotRestarted};
  // The ending may be said on another thread than the task's.
  mutable std::mutex versionsMutex_;
  std::string runningVersion_, kitVersion_;
  std::atomic<int> busy_{0};
  enum Ending { kNoEnding, kResultEnding, kInterruptedEnding };
  bool TakeEnding(Ending e) {
    int none = kNoEnding;
    return ending_.compare_exchange_strong(none, e);
  }
  std::atomic<int> ending_{kNoEnding};
};

// Marks a task of the run as running while it lives.
class RunningTask {
 public:
  explicit RunningTask(UpgradeRun &run) : run_(run) { ++run_.busy_; }
  ~RunningTask() { --run_.busy_; }
  RunningTask(const RunningTask &) = delete;
  RunningTask &operator=(const RunningTask &) = delete;

 private:
  UpgradeRun &run_;
};

}  // namespace velmora

#endif
