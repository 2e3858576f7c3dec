#include "webclient/text_util.h"

#include <string.h>

namespace velmora {

namespace {

inline unsigned char Fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

long CTextUtil::FindIn(const char *text, size_t textLen, const char *pattern,
                       size_t from) {
  if (!text || !pattern) return -1;
  size_t patLen = strlen(pattern);
  if (textLen == 0 || patLen == 0 || patLen > textLen) return -1;
  for (size_t i = from; i + patLen <= textLen; i++) {
    size_t j = 0;
    while (j < patLen && Fold(static_cast<unsigned char>(text[i + j])) ==
                             Fold(static_cast<unsigned char>(pattern[j])))
      j++;
    if (j == patLen) return static_cast<long>(i);
  }
  return -1;
}

int CTextUtil::Find(const char *text, const char *pattern) {
  if (!text) return -1;
  return static_cast<int>(FindIn(text, strlen(text), pattern));
}

void CTextUtil::Left(const char *text, std::string &out, int n) {
  if (n < 1 || !text) {
    out.clear();
    return;
  }
  out.assign(text, strnlen(text, static_cast<size_t>(n)));
}

void CTextUtil::Mid(const char *text, std::string &out, int start) {
  if (!text || !*text) return;
  size_t len = strlen(text);
  if (start < 0) start = 0;
  if (static_cast<size_t>(start) >= len)
    out.clear();
  else
    out.assign(text + start, len - start);
}

void CTextUtil::ReplaceAll(const char *text, const char *pattern,
                           const char *replacement, std::string &out) {
  if (!text) return;
  size_t len = strlen(text);
  size_t patLen = pattern ? strlen(pattern) : 0;
  long pos = FindIn(text, len, pattern);
  if (pos < 0) return;
  std::string result;
  size_t from = 0;
  while (pos >= 0) {
    result.append(text + from, static_cast<size_t>(pos) - from);
    result.append(replacement ? replacement : "");
    from = static_cast<size_t>(pos) + patLen;
    pos = FindIn(text, len, pattern, from);
  }
  result.append(text + from, len - from);
  out = result;
}

void CMarkerScanner::Feed(const char *block, size_t len) {
  if (window_.size() > keep_) window_.erase(0, window_.size() - keep_);
  carried_ = window_.size();
  window_.append(block, len);
}

bool CMarkerScanner::Found(const char *marker) const {
  size_t markLen = strlen(marker);
  if (markLen == 0) return false;
  // A match must end inside the new block, so it starts no earlier than
  // carried_ - (markLen - 1).
  size_t from = carried_ + 1 > markLen ? carried_ + 1 - markLen : 0;
  return CTextUtil::FindIn(window_.data(), window_.size(), marker, from) >= 0;
}

}  // namespace velmora
