// One run of the wizard against one gateway: what the user gave, what the
// checks found, how far the run got on the gateway, and the backup of its
// wireless settings. The pages and the tasks are handed the run; nothing of
// it is process-wide, so that runs for several gateways can go side by side
// in one process, each with a state folder of its own.
#ifndef VELMORA_WIZARD_RUN_H
#define VELMORA_WIZARD_RUN_H

#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "app/backup.h"

namespace velmora {

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

  // What the proof of the upgrade weighs: the gateway ran the kit's version
  // before anything was sent, and what the gateway said to the last image.
  bool alreadyOnKitVersion = false;
  int uploadVerdict = 0;  // an UploadVerdict
  // Things the user must hear again when the run ends (the gateway took an
  // image without its signature, ...).
  std::vector<std::string> notices;

  RunStage stage() const { return static_cast<RunStage>(stage_.load()); }
  void Reached(RunStage s);
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
