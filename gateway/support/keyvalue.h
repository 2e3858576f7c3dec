// String comparisons that accept an absent string: an absent string sorts
// before every string, and two absent strings are equal.
#ifndef DORNIX_SUPPORT_KEYVALUE_H
#define DORNIX_SUPPORT_KEYVALUE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int safe_strcmp(const char *a, const char *b);
int safe_strncmp(const char *a, const char *b, size_t n);

#ifdef __cplusplus
}
#endif

#endif
