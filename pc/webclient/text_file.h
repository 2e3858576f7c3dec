// Line-by-line access to the wizard's local text files, whole lines of any
// length (a page is bounded by the size limit of its reply).
#ifndef VELMORA_WEBCLIENT_TEXT_FILE_H
#define VELMORA_WEBCLIENT_TEXT_FILE_H

#include <stdio.h>

#include <string>

#include "platform/files.h"

namespace velmora {

class TextFile {
 public:
  TextFile() = default;
  ~TextFile() { Close(); }
  TextFile(const TextFile &) = delete;
  TextFile &operator=(const TextFile &) = delete;

  // mode as for fopen, text mode ("r", "w", "a").
  bool Open(const std::string &path, const char *mode) {
    Close();
    f_ = platform::OpenCFile(path, mode);
    return f_ != nullptr;
  }
  bool IsOpen() const { return f_ != nullptr; }
  // The next whole line, however long, its "\n" kept; false at the end.
  // Every byte counts, a NUL too.
  bool ReadWholeLine(std::string &line) {
    line.clear();
    if (!f_) return false;
    int c;
    while ((c = getc(f_)) != EOF) {
      line += static_cast<char>(c);
      if (c == '\n') break;
    }
    return !line.empty();
  }
  void Rewind() {
    if (f_) rewind(f_);
  }
  bool Write(const std::string &text) {
    return f_ && fwrite(text.data(), 1, text.size(), f_) == text.size();
  }
  // False when buffered data could not be written.
  bool Close() {
    if (!f_) return true;
    bool ok = fclose(f_) == 0;
    f_ = nullptr;
    return ok;
  }

 private:
  FILE *f_ = nullptr;
};

// The line without its line end.
inline std::string CutAtLineEnd(const std::string &line) {
  size_t lf = line.find('\n');
  return lf == std::string::npos ? line : line.substr(0, lf);
}

}  // namespace velmora

#endif
