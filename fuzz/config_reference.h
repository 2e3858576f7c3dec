// The configuration compaction as it was before it scanned the file in
// memory, kept as the reference for config_fuzz.
#ifndef DORNIX_FUZZ_CONFIG_REFERENCE_H
#define DORNIX_FUZZ_CONFIG_REFERENCE_H

#include <stddef.h>
#include <stdio.h>

// Scans `in` from its first byte and writes the compacted text to `out`
// (`capacity` bytes). 0 with *length set, or 22 when the file is refused.
int reference_compact(FILE *in, char *out, size_t capacity, size_t *length);

#endif
