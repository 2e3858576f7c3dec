#include "app/shown_text.h"

namespace velmora {

namespace {

void Escape(std::string &out, unsigned char c) {
  static const char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[c >> 4];
  out += kHex[c & 0x0F];
}

// Length of the well-formed UTF-8 sequence at text[i], or 0.
size_t Utf8Length(const std::string &text, size_t i) {
  auto at = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  unsigned char c = at(i);
  size_t n;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + n > text.size() || at(i + 1) < low || at(i + 1) > high) return 0;
  for (size_t k = 2; k < n; ++k)
    if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
  return n;
}

}  // namespace

std::string ShownText(const std::string &text, LineEnds keep) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && keep != LineEnds::kNone && i + 1 < text.size() && text[i + 1] == '\n') {
      out += "\r\n";
      i += 2;
    } else if (c == '\n' && keep == LineEnds::kLf) {
      out += '\n';
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      Escape(out, c);
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (size_t n = Utf8Length(text, i)) {
      // U+0080 to U+009F are the C1 controls.
      if (n == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
        Escape(out, c);
        Escape(out, static_cast<unsigned char>(text[i + 1]));
      } else {
        out.append(text, i, n);
      }
      i += n;
    } else {
      // Not UTF-8: a single-byte code page, where 0x80 to 0x9F may be C1.
      if (c < 0xA0)
        Escape(out, c);
      else
        out += static_cast<char>(c);
      ++i;
    }
  }
  return out;
}

}  // namespace velmora
