// The tasks' gateway operations over the real web client.
#ifndef VELMORA_WIZARD_GATEWAY_CLIENT_OPS_H
#define VELMORA_WIZARD_GATEWAY_CLIENT_OPS_H

#include <memory>

#include "wizard/sequence.h"

namespace velmora {

// A page's client for `run`: one per page, living as long as the page (and
// no longer than the run). It keeps its scratch page in the run's state
// folder, reads the kit from the run's kit folder and shares the run's
// login-asked flag.
std::unique_ptr<GatewayOps> MakeGatewayClientOps(UpgradeRun &run);

}  // namespace velmora

#endif
