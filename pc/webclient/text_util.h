// Case-insensitive text search and the few cut-and-paste helpers that pick
// values out of gateway pages. Pages are never parsed as HTML: callers look
// for marker words and take the text around them.
#ifndef VELMORA_WEBCLIENT_TEXT_UTIL_H
#define VELMORA_WEBCLIENT_TEXT_UTIL_H

#include <stddef.h>

#include <string>

namespace velmora {

class CTextUtil {
 public:
  // Position of the first case-insensitive (ASCII) occurrence of pattern in
  // text; -1 when either is empty, the pattern is longer, or it is absent.
  static int Find(const char *text, const char *pattern);
  // The same over counted bytes, so page blocks holding NUL bytes are
  // searched whole. Only matches starting at or after `from` count.
  static long FindIn(const char *text, size_t textLen, const char *pattern,
                     size_t from = 0);

  // out = the first n characters of text (empty for n < 1).
  static void Left(const char *text, std::string &out, int n);
  // out = text from `start` to its end (empty when start is at or past the
  // end); out is left as it is when text is empty.
  static void Mid(const char *text, std::string &out, int start);
  // Every occurrence of pattern replaced, left to right. When the pattern does
  // not occur, out is left as it is (so out may be the text itself).
  static void ReplaceAll(const char *text, const char *pattern,
                         const char *replacement, std::string &out);
};

// A value as a page shows it, with its character references decoded
// ("&quot;", "&amp;", "&lt;", "&gt;", "&apos;", "&#NN;", "&#xHH;", "&#0;"
// too, as a NUL byte); anything else that starts with "&" stays as it is.
std::string DecodeCharacterReferences(const std::string &text);

// A value for an urlencoded form body: a blank becomes "+", and every byte
// that a form decoder would read otherwise ("%", "&", "+", "=", ";", control
// bytes and bytes from 0x7F up) becomes "%XX". Other bytes stay.
std::string FormValue(const std::string &value);

// A value for a page address: the bytes that cannot stand in a request
// target (blanks and control bytes, "%", "#", "?", "&", "+", quotes and
// the other characters a URI may not hold, bytes from 0x7F up) become
// "%XX". Other bytes stay.
std::string AddressValue(const std::string &value);

// Looks for marker words in a byte stream that arrives in blocks. The last
// (longest marker - 1) bytes of what came before are searched together with
// each new block, so a marker split across two blocks is seen, and seen once:
// a match lying wholly in the carried bytes was already reported.
class CMarkerScanner {
 public:
  explicit CMarkerScanner(size_t longestMarker)
      : keep_(longestMarker > 0 ? longestMarker - 1 : 0) {}
  // Takes the next block; the markers are then asked with Found().
  void Feed(const char *block, size_t len);
  // Whether marker occurs in the current window with at least one byte in the
  // block last fed.
  bool Found(const char *marker) const;

 private:
  size_t keep_;
  size_t carried_ = 0;  // bytes of window_ that came from earlier blocks
  std::string window_;
};

}  // namespace velmora

#endif
