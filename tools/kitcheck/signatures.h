// Signatures of a signed kit: what a gateway holding the provider's key
// demands of every file the wizard sends to it.
#ifndef KITCHECK_SIGNATURES_H
#define KITCHECK_SIGNATURES_H

#include <string>

#include "kit.h"

namespace kit {

// With the public key file `pubkey`: every "*.img" and prepare.bin in `dir`
// must carry a valid signature FILE.minisig by it. Without (""): the
// signatures present are only noted.
void check_signatures(const std::string &dir, const std::string &pubkey, Report *report);

}  // namespace kit

#endif
