// The parts of files.h built on File alone.
#include <ctype.h>

#include "platform/files.h"

namespace velmora {
namespace platform {

File::File(File &&other) noexcept : handle_(other.handle_) { other.handle_ = kClosed; }

File &File::operator=(File &&other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = kClosed;
  }
  return *this;
}

File::~File() { Close(); }

bool ReadWholeFile(const std::string &path, std::string *out) {
  File f;
  if (!f.Open(path, File::kRead)) return false;
  out->clear();
  char block[8192];
  for (;;) {
    long n = f.Read(block, sizeof block);
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(block, static_cast<size_t>(n));
  }
}

bool WriteWholeFile(const std::string &path, const void *data, size_t length) {
  File f;
  return f.Open(path, File::kWrite) && f.Write(data, length);
}

bool WriteWholeFile(const std::string &path, const std::string &data) {
  return WriteWholeFile(path, data.data(), data.size());
}

bool AppendToFile(const std::string &path, const void *data, size_t length) {
  File f;
  return f.Open(path, File::kAppend) && f.Write(data, length);
}

bool TruncateFile(const std::string &path) {
  File f;
  return f.Open(path, File::kWrite);
}

namespace {

// Wildcard match with "*" and "?", letters folded to lower case.
bool Matches(const char *name, const char *pattern) {
  const char *starName = nullptr;
  const char *starPattern = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      starPattern = ++pattern;
      starName = name;
    } else if (*pattern == '?' ||
               tolower(static_cast<unsigned char>(*pattern)) ==
                   tolower(static_cast<unsigned char>(*name))) {
      ++pattern;
      ++name;
    } else if (starPattern != nullptr) {
      pattern = starPattern;
      name = ++starName;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

}  // namespace

bool MatchesPattern(const std::string &name, const char *pattern) {
  return Matches(name.c_str(), pattern != nullptr ? pattern : "");
}

std::string JoinPath(const std::string &dir, const std::string &name) {
  if (dir.empty()) return name;
#ifdef _WIN32
  const char sep = '\\';
#else
  const char sep = '/';
#endif
  char last = dir.back();
  if (last == '/' || last == '\\') return dir + name;
  return dir + sep + name;
}

std::string DirectoryOf(const std::string &path) {
  size_t pos = path.find_last_of("/\\");
  if (pos == std::string::npos) return "";
  if (pos == 0) return path.substr(0, 1);
  return path.substr(0, pos);
}

}  // namespace platform
}  // namespace velmora
