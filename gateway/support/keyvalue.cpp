#include "keyvalue.h"

#include <string.h>

int safe_strcmp(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  return strcmp(a, b);
}

int safe_strncmp(const char *a, const char *b, size_t n) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  return strncmp(a, b, n);
}
