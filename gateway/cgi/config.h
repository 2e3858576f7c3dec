// Configuration transfer of dornix: the compaction that turns an uploaded
// configuration file into the text stored on the configuration partition,
// its upload and its download.
#ifndef DORNIX_CGI_CONFIG_H
#define DORNIX_CGI_CONFIG_H

#include <stddef.h>

#include "request.h"

// Scans the `size` bytes of `text`, which are followed by two NUL bytes and
// may be changed by the scan, and writes the compacted text to `out`
// (`capacity` bytes; the compacted text is never longer than the input).
// Returns 0 with *length set, 22 when the scanner meets an invalid byte or
// a name or text cannot be kept, or 16 when there is no memory to scan a
// file that holds NUL bytes.
int compact_config(char *text, size_t size, char *out, size_t capacity, size_t *length);

// Configuration upload: stores /var/tmp/fw.bin (which starts with "<con")
// on the configuration partition. An image carries its tag, which a file
// cut short fails; a configuration file has none, so an upload that ended
// before its boundary (req->upload_truncated) is refused here. Returns 0,
// 8, 11, 16, 19 or 22.
int copy_config_file(struct request *req);

// Configuration download: the stored block to standard output, by
// `deadline_ms` (response_write). 0 when the download was written (or
// given up because the client stopped taking it), 19 otherwise.
int send_config_file(long long deadline_ms);

#endif
