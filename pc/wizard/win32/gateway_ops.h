// The gateway the wizard's tasks work on: the web client behind the task
// sequence's GatewayOps interface.
#ifndef VELMORA_WIZARD_WIN32_GATEWAY_OPS_H
#define VELMORA_WIZARD_WIN32_GATEWAY_OPS_H

#include <memory>

#include "wizard/sequence.h"

namespace velmora {

std::unique_ptr<GatewayOps> MakeGatewayOps();

}  // namespace velmora

#endif
