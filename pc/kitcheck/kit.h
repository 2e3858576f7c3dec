// Checks an upgrade kit the way the wizard and the gateway will read it, so
// that whoever assembles a kit learns of a fault before a customer does.
#ifndef KITCHECK_KIT_H
#define KITCHECK_KIT_H

#include <string>
#include <vector>

namespace kit {

enum Severity { kOk, kNote, kWarning, kError };

struct Finding {
  Severity severity;
  std::string file;  // the kit file it is about ("" for the kit as a whole)
  std::string text;
};

struct Report {
  std::vector<Finding> findings;
  int errors = 0;
  int warnings = 0;
  void add(Severity s, const std::string &file, const std::string &text);
};

// A version text split as the wizard splits it (contract/version.h):
// numbers between dots, the last number, and the platform name
// (upper-cased).
struct Version {
  int dots = 0;
  std::vector<std::string> fields;  // dots + 2 entries
  std::string platform() const { return fields.empty() ? "" : fields.back(); }
};

// false with `why` when the wizard would call the text malformed.
bool parse_version(const std::string &text, Version *out, std::string *why);

// The quoted version after "config version" in config.xml, as the wizard
// finds it. false with `why` when it would not find one.
bool config_version(const std::string &path, std::string *version, std::string *why);

// Platform entries of upgrade.ini: blank-separated tokens starting with G or
// g, at most 101. `other` receives the tokens that are ignored.
std::vector<std::string> upgrade_list(const std::string &path, std::vector<std::string> *other);

// Package, image and upload rules are those of gateway/contract, which the
// gateway applies too.

// Runs every check on the kit in `dir`.
void check_kit(const std::string &dir, Report *report);

// The wizard's question: false when the kit would fail, with its first
// error ("FILE: what is wrong") in *problem; every finding in *report when
// one is given.
bool kit_usable(const std::string &dir, std::string *problem, Report *report = nullptr);

}  // namespace kit

#endif
