#include "webclient/text_util.h"

#include <string.h>

namespace velmora {

namespace {

const char kHex[] = "0123456789ABCDEF";

void AppendEscaped(std::string &out, unsigned char c) {
  out += '%';
  out += kHex[c >> 4];
  out += kHex[c & 0x0F];
}

// The code point of a numeric reference body ("#65", "#x41"), -1 if none.
long NumericReference(const std::string &body) {
  if (body.size() < 2 || body[0] != '#') return -1;
  bool hex = body[1] == 'x' || body[1] == 'X';
  size_t i = hex ? 2 : 1;
  if (i >= body.size() || body.size() - i > 6) return -1;
  long v = 0;
  for (; i < body.size(); ++i) {
    char c = body[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return -1;
    v = v * (hex ? 16 : 10) + d;
  }
  return v;
}

void AppendUtf8(std::string &out, long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

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


std::string DecodeCharacterReferences(const std::string &text) {
  static const struct {
    const char *name;
    char c;
  } kNamed[] = {{"quot", '"'}, {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"apos", '\''}};
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    size_t semi = text[i] == '&' ? text.find(';', i + 1) : std::string::npos;
    if (semi == std::string::npos || semi - i > 9) {
      out += text[i];
      continue;
    }
    std::string body = text.substr(i + 1, semi - i - 1);
    long cp = NumericReference(body);
    for (const auto &n : kNamed)
      if (body == n.name) cp = static_cast<unsigned char>(n.c);
    if (cp < 0 || cp > 0x10FFFF) {
      out += text[i];
      continue;
    }
    // A byte reference stands for that byte: pages in a single-byte code
    // page show their own values so. "&#0;" is a NUL too: kept as text, it
    // would go back to the gateway as those four characters and read back
    // as the same text, a changed value that compares equal.
    if (cp < 0x100 && body[0] == '#')
      out += static_cast<char>(cp);
    else
      AppendUtf8(out, cp);
    i = semi;
  }
  return out;
}

std::string FormValue(const std::string &value) {
  std::string out;
  for (unsigned char c : value) {
    if (c == ' ')
      out += '+';
    else if (c < 0x20 || c >= 0x7F || c == '%' || c == '&' || c == '+' || c == '=' || c == ';')
      AppendEscaped(out, c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

std::string AddressValue(const std::string &value) {
  std::string out;
  for (unsigned char c : value) {
    if (c <= 0x20 || c >= 0x7F || strchr("%#?&+\"<>\\^`{|}", c) != nullptr)
      AppendEscaped(out, c);
    else
      out += static_cast<char>(c);
  }
  return out;
}

}  // namespace velmora
