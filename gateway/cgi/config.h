// Configuration transfer of dornix: the compaction that turns an uploaded
// configuration file into the text stored on the configuration partition.
#ifndef DORNIX_CGI_CONFIG_H
#define DORNIX_CGI_CONFIG_H

#include <stddef.h>

// Scans the `size` bytes of `text`, which are followed by two NUL bytes and
// may be changed by the scan, and writes the compacted text to `out`
// (`capacity` bytes; the compacted text is never longer than the input).
// Returns 0 with *length set, 22 when the scanner meets an invalid byte or
// a name or text cannot be kept, or 16 when there is no memory to scan a
// file that holds NUL bytes.
int compact_config(char *text, size_t size, char *out, size_t capacity, size_t *length);

// Set by the reception when the body ended before the uploaded part's
// boundary. An image carries its tag, which such a file fails; a
// configuration file has none, so its upload is refused on this flag.
extern int upload_truncated;

#endif
