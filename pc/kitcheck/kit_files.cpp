#include "kit_files.h"

#include "platform/files.h"

namespace kit {

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

bool same_but_case(const std::string &a, const std::string &b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

}  // namespace

std::vector<std::string> image_files(const std::string &dir) {
  return velmora::platform::FindFiles(dir, "*.img");
}

std::string signature_file(const std::string &dir, const std::string &name) {
  const std::string wanted = name + ".minisig";
  std::string found;
  for (const std::string &n : velmora::platform::FindFiles(dir, "*.minisig")) {
    if (n == wanted) return n;
    if (found.empty() && same_but_case(n, wanted)) found = n;
  }
  return found;
}

std::string kit_file(const std::string &dir, const std::string &name) {
  if (velmora::platform::PathExists(velmora::platform::JoinPath(dir, name))) return name;
  for (const std::string &n : velmora::platform::FindFiles(dir, "*"))
    if (same_but_case(n, name)) return n;
  return name;
}

}  // namespace kit
