// Which files of a kit folder the wizard sends: one rule for the wizard,
// which uploads them, and for velmora-kit, which checks them. Names are
// matched as Windows matches them for the wizard there: letter case does
// not count; only the long name does (never a short 8.3 alias, through
// which "fw.imgx" would pass for "FW~1.IMG").
#ifndef KITCHECK_KIT_FILES_H
#define KITCHECK_KIT_FILES_H

#include <string>
#include <vector>

namespace kit {

// The plain files whose name ends in ".img" in any case, sorted. The kit
// must hold exactly one.
std::vector<std::string> image_files(const std::string &dir);

// The signature the wizard sends with the kit file `name`: NAME.minisig,
// the suffix in any case ("fw.img.MINISIG" as well); "" when the kit holds
// none. Where names that differ only in case are both present (not on
// Windows), the exact one.
std::string signature_file(const std::string &dir, const std::string &name);

// The name under which the kit holds its file `name` (config.xml,
// upgrade.ini, prepare.bin): the exact name, else the plain file whose
// name differs only in case ("CONFIG.XML", as Windows opens it); `name`
// itself when there is neither, so that the caller finds it missing.
std::string kit_file(const std::string &dir, const std::string &name);

}  // namespace kit

#endif
