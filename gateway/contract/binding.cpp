#include "binding.h"

#include <string.h>

namespace {

bool is_blank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

char upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

// Checks the platform list of a comment: 1 fine or absent, 0 with *why.
bool platforms_well_formed(const char *comment, gwc_span list, const char **why) {
  size_t pos = 0;
  gwc_span name;
  int names = 0;
  while (gwc_platforms_next(comment, list, &pos, &name)) {
    ++names;
    for (size_t i = 0; i < name.length; ++i)
      if (comment[name.at + i] == ',' || comment[name.at + i] == ';') {
        *why = "platform names are separated by blanks, not by commas or semicolons";
        return false;
      }
  }
  if (names == 0) *why = "the signed platform list is empty";
  return names > 0;
}

// Whether `text` is one word: not empty, no blanks.
bool one_word(const char *text) {
  if (*text == '\0') return false;
  for (; *text; ++text)
    if (is_blank(*text)) return false;
  return true;
}

}  // namespace

int gwc_comment_field(const char *comment, size_t length, const char *key, gwc_span *value) {
  const size_t key_length = strlen(key);
  int count = 0;
  for (size_t at = 0; at <= length;) {
    const char *tab = static_cast<const char *>(memchr(comment + at, '\t', length - at));
    const size_t end = tab != nullptr ? (size_t)(tab - comment) : length;
    const size_t n = end - at;
    if (n >= key_length && memcmp(comment + at, key, key_length) == 0 &&
        (n == key_length || comment[at + key_length] == ':')) {
      if (count++ == 0) {
        const size_t v = n == key_length ? end : at + key_length + 1;
        *value = {v, end - v};
      }
    }
    at = end + 1;
  }
  return count;
}

int gwc_comment_append(char *out, size_t size, const char *key, const char *value, size_t value_length) {
  static const char hex[] = "0123456789ABCDEF";
  const size_t start = strlen(out);
  size_t n = start;
  auto put = [&](char c) {
    if (n + 1 < size) out[n] = c;
    ++n;
  };
  if (start > 0) put('\t');
  for (const char *k = key; *k; ++k) put(*k);
  if (value != nullptr) {
    put(':');
    for (size_t i = 0; i < value_length; ++i) {
      const unsigned char c = (unsigned char)value[i];
      if (c < 0x20 || c == 0x7F || c == '\\') {
        put('\\');
        put('x');
        put(hex[c >> 4]);
        put(hex[c & 15]);
      } else {
        put((char)c);
      }
    }
  }
  if (n >= size) {
    out[start] = '\0';
    return 0;
  }
  out[n] = '\0';
  return 1;
}

int gwc_platforms_next(const char *text, gwc_span list, size_t *pos, gwc_span *name) {
  size_t i = *pos;
  while (i < list.length && is_blank(text[list.at + i])) ++i;
  if (i >= list.length) {
    *pos = list.length;
    return 0;
  }
  const size_t start = i;
  while (i < list.length && !is_blank(text[list.at + i])) ++i;
  *name = {list.at + start, i - start};
  *pos = i;
  return 1;
}

int gwc_platforms_include(const char *text, gwc_span list, const char *platform, size_t length) {
  size_t pos = 0;
  gwc_span name;
  while (gwc_platforms_next(text, list, &pos, &name)) {
    if (name.length != length) continue;
    size_t i = 0;
    while (i < length && upper(text[name.at + i]) == upper(platform[i])) ++i;
    if (i == length) return 1;
  }
  return 0;
}

int gwc_binding_check(const char *comment, size_t length, const char **why) {
  gwc_span value;
  const int platforms = gwc_comment_field(comment, length, GWC_FIELD_PLATFORMS, &value);
  if (platforms > 1) {
    *why = "the platforms field is given twice";
    return 0;
  }
  if (platforms == 1 && !platforms_well_formed(comment, value, why)) return 0;
  const int versions = gwc_comment_field(comment, length, GWC_FIELD_VERSION, &value);
  if (versions > 1) {
    *why = "the version field is given twice";
    return 0;
  }
  gwc_version v;
  const char *reason = "";
  if (versions == 1 && !gwc_version_parse(comment + value.at, value.length, &v, &reason)) {
    *why = "the signed version is not one the wizard can read";
    return 0;
  }
  return 1;
}

int gwc_binding_judge(const char *comment, size_t length, const char *platform, const char *lowest,
                      const char **why) {
  gwc_version low, signed_version;
  const char *reason = "";
  if (platform != nullptr && !one_word(platform)) {
    *why = "the gateway's declared platform is not one name";
    return 0;
  }
  if (lowest != nullptr && !gwc_version_parse(lowest, strlen(lowest), &low, &reason)) {
    *why = "the gateway's declared lowest version is not a version";
    return 0;
  }
  gwc_span value;
  if (platform != nullptr) {
    const int n = gwc_comment_field(comment, length, GWC_FIELD_PLATFORMS, &value);
    if (n > 1) {
      *why = "the platforms field is signed twice";
      return 0;
    }
    if (n == 1 && !gwc_platforms_include(comment, value, platform, strlen(platform))) {
      *why = "the signed platforms do not include this gateway's";
      return 0;
    }
  }
  if (lowest != nullptr) {
    const int n = gwc_comment_field(comment, length, GWC_FIELD_VERSION, &value);
    if (n > 1) {
      *why = "the version field is signed twice";
      return 0;
    }
    if (n == 1) {
      const char *text = comment + value.at;
      if (!gwc_version_parse(text, value.length, &signed_version, &reason)) {
        *why = "the signed version is malformed";
        return 0;
      }
      const int order = gwc_version_compare(lowest, &low, text, &signed_version);
      if (order == GWC_VERSION_OLDER) {
        *why = "the signed version is older than the lowest this gateway takes";
        return 0;
      }
      if (order == GWC_VERSION_OTHER_PLATFORM) {
        *why = "the signed version is for another platform, or another count of numbers, than the lowest this gateway takes";
        return 0;
      }
    }
  }
  return 1;
}
