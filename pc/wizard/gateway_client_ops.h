// The tasks' gateway operations over the real web client.
#ifndef VELMORA_WIZARD_GATEWAY_CLIENT_OPS_H
#define VELMORA_WIZARD_GATEWAY_CLIENT_OPS_H

#include <memory>

#include "wizard/sequence.h"

namespace velmora {

// A page's client: one per page, living as long as the page.
std::unique_ptr<GatewayOps> MakeGatewayClientOps();

}  // namespace velmora

#endif
