// Checks an upgrade kit the way the wizard and the gateway will read it, so
// that whoever assembles a kit learns of a fault before a customer does.
#ifndef KITCHECK_KIT_H
#define KITCHECK_KIT_H

#include <stddef.h>
#include <stdint.h>

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

// A version text split as the wizard splits it: numbers between dots, the
// last number, and the platform name (upper-cased).
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

struct TarEntry {
  std::string name;  // without a leading "./"
  char type;         // '0' file, '5' directory, ...
  unsigned mode;
  uint64_t size;
};

// Reads the member list of a plain (ustar or GNU) tar archive. false with
// `why` when the file is not one. Callers make sure it is an ordinary file.
bool tar_list(const std::string &path, std::vector<TarEntry> *out, std::string *why);

// The image tag: the last 8 bytes of an image, this magic and then
// image_checksum of everything before the tag, both little-endian.
const uint32_t kTagMagic = 0xC453DE23u;
uint32_t image_checksum(const void *data, size_t length);

// Kinds of image by their first word, as the gateway tells them apart.
enum ImageKind { kUnknown, kConfigFile, kFileSystem, kKernel, kCombined };
ImageKind image_kind(const unsigned char first[4], uint64_t size);

// Bytes of the upload body that the gateway counts up to the end of the
// file's last line, for a file of `size` bytes named `name`.
uint64_t upload_body_bytes(const std::string &name, uint64_t size);

// Runs every check on the kit in `dir`.
void check_kit(const std::string &dir, Report *report);

// The wizard's question: false when the kit would fail, with its first
// error ("FILE: what is wrong") in *problem; every finding in *report when
// one is given.
bool kit_usable(const std::string &dir, std::string *problem, Report *report = nullptr);

}  // namespace kit

#endif
