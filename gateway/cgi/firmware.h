// dornix, the gateway's upgrade CGI: the request as a whole.
#ifndef DORNIX_CGI_FIRMWARE_H
#define DORNIX_CGI_FIRMWARE_H

#include "request.h"
#include "contract/result.h"

// The message address of dornix; holding it keeps a second request out.
#define FW_ADDRESS "fw"

// Linux restart command handed to reboot().
#define FW_RESTART_COMMAND 0x01234567

// Serves one request on `req` (reset by the caller, body on its reader's
// input): what main() runs. Returns the result code.
int firmware_main(struct request *req);

#endif
