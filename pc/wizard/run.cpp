#include "wizard/run.h"

namespace velmora {

UpgradeRun::UpgradeRun(std::string stateDirectory, std::string kitDirectory)
    : stateDir(std::move(stateDirectory)), kitDir(std::move(kitDirectory)), backup(stateDir) {}

void UpgradeRun::Reached(RunStage s) {
  int now = stage_.load();
  while (s > now && !stage_.compare_exchange_weak(now, s)) {
  }
}

}  // namespace velmora
