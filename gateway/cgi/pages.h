// Everything dornix answers on standard output: the result page, the
// download headers and the log download.
#ifndef DORNIX_CGI_PAGES_H
#define DORNIX_CGI_PAGES_H

#include <stddef.h>

// Writes the 2000 CR LF pairs that end every text/html response, and flushes.
void flush_output_buffer(void);

// The header set of the result page (kind 1; `extra` is one more header
// line, or "") or of the configuration download (any other kind).
void header(int kind, const char *extra);

// The whole result page for `code`, with the header line `extra` ("" for none).
void resend_firmware_page(int code, const char *extra);

// The header set of the system log (0) or the firewall log (other).
void log_header(int selector);

// Writes the `n` bytes of a download after its header lines. A client
// that takes nothing for the idle limit (60 seconds), or has not taken it
// all by `deadline_ms` (the request's deadline, monotonic ms; 0: none),
// has gone: the download ends where it stands, so that no client that
// stops reading holds the one-at-a-time endpoint. False then.
bool response_write(const void *data, size_t n, long long deadline_ms);

// Downloads the system log (0) or the firewall log (1), by `deadline_ms`
// (response_write). Returns 0 when the download was written (or given up
// because the client stopped taking it), 16 or 22 when nothing was.
int send_log_file(int selector, long long deadline_ms);

#endif
