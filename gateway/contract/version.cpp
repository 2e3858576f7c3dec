#include "version.h"

#include <limits.h>
#include <string.h>

namespace {

char upper(char c) { return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c; }

const char *find(const char *text, size_t length, char c) {
  return static_cast<const char *>(memchr(text, c, length));
}

// Compares the platform names of two split versions.
bool same_platform(const char *a_text, const gwc_version *a, const char *b_text, const gwc_version *b) {
  const gwc_span pa = a->field[a->dots + 1], pb = b->field[b->dots + 1];
  if (pa.length != pb.length) return false;
  for (size_t i = 0; i < pa.length; ++i)
    if (upper(a_text[pa.at + i]) != upper(b_text[pb.at + i])) return false;
  return true;
}

}  // namespace

int gwc_version_parse(const char *text, size_t length, gwc_version *v, const char **why) {
  memset(v, 0, sizeof *v);
  const char *dash = find(text, length, '-'), *dot = find(text, length, '.');
  if (dash == nullptr && dot == nullptr) {
    *why = "neither \".\" nor \"-\" in it";
    return 0;
  }
  // A leading name ends at a "-" before the first ".".
  size_t at = dash != nullptr && (dot == nullptr || dash < dot) ? (size_t)(dash - text) + 1 : 0;
  if (at == length) {
    *why = "nothing after the leading name";
    return 0;
  }
  int dots = 0;
  for (size_t i = at; i < length; ++i) dots += text[i] == '.';
  if (dots < GWC_VERSION_MIN_DOTS || dots > GWC_VERSION_MAX_DOTS) {
    *why = "five to eleven numbers (4 to 10 dots) are needed";
    return 0;
  }
  for (int i = 0; i < dots; ++i) {
    const size_t end = (size_t)(find(text + at, length - at, '.') - text);
    v->field[i] = {at, end - at};
    at = end + 1;
  }
  const char *last_dash = find(text + at, length - at, '-');
  if (last_dash == nullptr) {
    *why = "no \"-\" between the last number and the platform name";
    return 0;
  }
  const size_t d = (size_t)(last_dash - text);
  v->field[dots] = {at, d - at};
  v->field[dots + 1] = {d + 1, length - d - 1};
  v->dots = dots;
  return 1;
}

void gwc_version_field(const char *text, const gwc_version *v, int i, char *out, size_t size) {
  if (size == 0) return;
  const gwc_span f = v->field[i];
  const size_t n = f.length < size - 1 ? f.length : size - 1;
  for (size_t j = 0; j < n; ++j) out[j] = i == v->dots + 1 ? upper(text[f.at + j]) : text[f.at + j];
  out[n] = '\0';
}

void gwc_version_platform(const char *text, const gwc_version *v, char *out, size_t size) {
  gwc_version_field(text, v, v->dots + 1, out, size);
}

long long gwc_version_number(const char *text, gwc_span field, size_t *rest) {
  size_t i = field.at;
  const size_t end = field.at + field.length;
  while (i < end && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < end && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t digits = i;
  unsigned long long v = 0;
  for (; i < end && text[i] >= '0' && text[i] <= '9'; ++i)
    v = v > (ULLONG_MAX - 9) / 10 ? ULLONG_MAX : v * 10 + (unsigned)(text[i] - '0');
  if (i == digits) {
    // No digits: the number is 0, and nothing of the field was read.
    if (rest != nullptr) *rest = field.at;
    return 0;
  }
  if (rest != nullptr) *rest = i;
  if (v > (unsigned long long)LLONG_MAX) return negative ? LLONG_MIN : LLONG_MAX;
  return negative ? -(long long)v : (long long)v;
}

int gwc_version_compare(const char *r_text, const gwc_version *r, const char *n_text, const gwc_version *n) {
  if (r->dots != n->dots || !same_platform(r_text, r, n_text, n)) return GWC_VERSION_OTHER_PLATFORM;
  for (int j = 0; j <= r->dots; ++j) {
    size_t end_r = 0, end_n = 0;
    const long long vr = gwc_version_number(r_text, r->field[j], &end_r);
    const long long vn = gwc_version_number(n_text, n->field[j], &end_n);
    if (vn > vr) return GWC_VERSION_NOT_OLDER;
    if (vn < vr) return GWC_VERSION_OLDER;
    if (j == r->dots && end_r < r->field[j].at + r->field[j].length &&
        end_n < n->field[j].at + n->field[j].length &&
        (unsigned char)r_text[end_r] > (unsigned char)n_text[end_n])
      return GWC_VERSION_OLDER;
  }
  return GWC_VERSION_NOT_OLDER;
}

int gwc_version_same(const char *a_text, const gwc_version *a, const char *b_text, const gwc_version *b) {
  if (a->dots != b->dots || !same_platform(a_text, a, b_text, b)) return 0;
  for (int j = 0; j <= a->dots; ++j) {
    size_t end_a = 0, end_b = 0;
    if (gwc_version_number(a_text, a->field[j], &end_a) != gwc_version_number(b_text, b->field[j], &end_b))
      return 0;
    const size_t rest_a = a->field[j].at + a->field[j].length - end_a;
    const size_t rest_b = b->field[j].at + b->field[j].length - end_b;
    if (rest_a != rest_b || memcmp(a_text + end_a, b_text + end_b, rest_a) != 0) return 0;
  }
  return 1;
}
