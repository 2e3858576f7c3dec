// Line-by-line access to the wizard's local text files. Lines come in pieces
// of at most (limit - 1) bytes, as a fixed line buffer would give them: a
// longer line is split, never an error.
#ifndef VELMORA_WEBCLIENT_TEXT_FILE_H
#define VELMORA_WEBCLIENT_TEXT_FILE_H

#include <stdio.h>

#include <string>
#include <vector>

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
    f_ = fopen(path.c_str(), mode);
    return f_ != nullptr;
  }
  bool IsOpen() const { return f_ != nullptr; }
  // Next piece of a line, its "\n" kept; false at the end.
  bool ReadLine(std::string &line, size_t limit) {
    if (!f_) return false;
    if (buffer_.size() < limit) buffer_.resize(limit);
    if (!fgets(buffer_.data(), static_cast<int>(limit), f_)) return false;
    line.assign(buffer_.data());
    return true;
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
  std::vector<char> buffer_;
};

// The line without its line end.
inline std::string CutAtLineEnd(const std::string &line) {
  size_t lf = line.find('\n');
  return lf == std::string::npos ? line : line.substr(0, lf);
}

}  // namespace velmora

#endif
