#include "wizard/run.h"

namespace velmora {

UpgradeRun::UpgradeRun(std::string stateDirectory, std::string kitDirectory)
    : stateDir(std::move(stateDirectory)), kitDir(std::move(kitDirectory)), backup(stateDir) {}

void UpgradeRun::Reached(RunStage s) {
  int now = stage_.load();
  while (s > now && !stage_.compare_exchange_weak(now, s)) {
  }
}

void UpgradeRun::SetVersions(const std::string &running, const std::string &kit) {
  std::lock_guard<std::mutex> lock(versionsMutex_);
  runningVersion_ = running;
  kitVersion_ = kit;
}

std::string UpgradeRun::runningVersion() const {
  std::lock_guard<std::mutex> lock(versionsMutex_);
  return runningVersion_;
}

std::string UpgradeRun::kitVersion() const {
  std::lock_guard<std::mutex> lock(versionsMutex_);
  return kitVersion_;
}

}  // namespace velmora
