// Firmware version texts as the gateway's status page and a kit's
// config.xml write them: an optional leading name ending in "-", five to
// eleven numbers separated by ".", then "-" and the platform name
// ("3.60.1.0.9-GQ"). Both sides split and compare them here.
#ifndef GATEWAY_CONTRACT_VERSION_H
#define GATEWAY_CONTRACT_VERSION_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GWC_VERSION_MIN_DOTS 4
#define GWC_VERSION_MAX_DOTS 10
#define GWC_VERSION_FIELDS (GWC_VERSION_MAX_DOTS + 2)
// Characters a version field holds in the wizard's slots.
#define GWC_VERSION_FIELD_MAX 19

// A piece of a text: `length` bytes from `at`.
typedef struct {
  size_t at, length;
} gwc_span;

// A split version: field[0..dots] are the numbers, field[dots + 1] the
// platform name (compare it through gwc_version_platform, upper-cased).
typedef struct {
  int dots;
  gwc_span field[GWC_VERSION_FIELDS];
} gwc_version;

// Splits the `length` bytes of `text`. 1 when it has the form above; 0
// with `*why` saying what is wrong.
int gwc_version_parse(const char *text, size_t length, gwc_version *v, const char **why);

// Field i of the split text into `out` (cut to size - 1), the platform
// name upper-cased.
void gwc_version_field(const char *text, const gwc_version *v, int i, char *out, size_t size);
// The platform name, upper-cased.
void gwc_version_platform(const char *text, const gwc_version *v, char *out, size_t size);

// The number a field stands for: leading blanks and a sign allowed, read up
// to the first other character; `*rest` (may be NULL) gets the offset in
// text of that character.
long long gwc_version_number(const char *text, gwc_span field, size_t *rest);

enum {
  GWC_VERSION_OTHER_PLATFORM = -2,  // another platform, or another count of numbers
  GWC_VERSION_OLDER = -1,
  GWC_VERSION_NOT_OLDER = 0,        // newer, or the same release
};
// How the kit's version `n` stands to the running version `r`. The same
// numbers with a trailing letter in both: a smaller letter is older.
int gwc_version_compare(const char *r_text, const gwc_version *r, const char *n_text, const gwc_version *n);

// Whether both name the same release: platform, numbers and what follows
// each number's digits all equal.
int gwc_version_same(const char *a_text, const gwc_version *a, const char *b_text, const gwc_version *b);

#ifdef __cplusplus
}
#endif

#endif
