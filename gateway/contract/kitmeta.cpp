#include "kitmeta.h"

#include <string.h>

namespace {

// The text of a kit file: its bytes, as 8-bit text. A byte-order mark or
// another encoding would be recognised here, for every reader at once.
gwc_span kit_text(const char *, size_t length) { return {0, length}; }

char lower(char c) { return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c; }

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Where `key` (lower case) starts in text[from, to), in any case; `to` when nowhere.
size_t find_folded(const char *text, size_t from, size_t to, const char *key) {
  const size_t n = strlen(key);
  for (size_t i = from; i + n <= to; ++i) {
    size_t j = 0;
    while (j < n && lower(text[i + j]) == key[j]) ++j;
    if (j == n) return i;
  }
  return to;
}

size_t find_quote(const char *text, size_t from, size_t to) {
  const void *q = from < to ? memchr(text + from, '"', to - from) : nullptr;
  return q == nullptr ? to : (size_t)(static_cast<const char *>(q) - text);
}

}  // namespace

int gwc_config_version(const char *file, size_t length, gwc_span *value, const char **why) {
  const gwc_span t = kit_text(file, length);
  const char *text = file + t.at;
  for (size_t line = 0; line < t.length;) {
    const char *lf = static_cast<const char *>(memchr(text + line, '\n', t.length - line));
    const size_t end = lf != nullptr ? (size_t)(lf - text) + 1 : t.length;
    const size_t key = find_folded(text, line, end, "config version");
    if (key < end) {
      // Both quotes lie within the window that starts at the key.
      const size_t window = key + GWC_QUOTE_WINDOW < end ? key + GWC_QUOTE_WINDOW : end;
      const size_t q1 = find_quote(text, key, window);
      if (q1 == window) {
        *why = "no double quote within 200 characters after \"config version\"";
        return 0;
      }
      const size_t q2 = find_quote(text, q1 + 1, window);
      if (q2 == window) {
        *why = "no closing double quote within 200 characters after \"config version\"";
        return 0;
      }
      *value = {t.at + q1 + 1, q2 - q1 - 1};
      return 1;
    }
    line = end;
  }
  *why = "no line holds \"config version\"";
  return 0;
}

int gwc_ini_next_token(const char *file, size_t length, size_t *pos, gwc_span *token) {
  const gwc_span t = kit_text(file, length);
  size_t i = *pos < t.at ? t.at : *pos;
  const size_t end = t.at + t.length;
  while (i < end && is_blank(file[i])) ++i;
  if (i == end) {
    *pos = end;
    return 0;
  }
  const size_t start = i;
  while (i < end && !is_blank(file[i])) ++i;
  *token = {start, i - start};
  *pos = i;
  return 1;
}

int gwc_ini_is_platform(const char *file, gwc_span token) {
  return token.length > 0 && (file[token.at] == 'G' || file[token.at] == 'g');
}
