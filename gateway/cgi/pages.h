// Everything dornix answers on standard output: the result page, the
// download headers and the log download.
#ifndef DORNIX_CGI_PAGES_H
#define DORNIX_CGI_PAGES_H

// Writes the 2000 CR LF pairs that end every text/html response, and flushes.
void flush_output_buffer(void);

// The header set of the result page (kind 1; `extra` is one more header
// line, or "") or of the configuration download (any other kind).
void header(int kind, const char *extra);

// The whole result page for `code`, with the header line `extra` ("" for none).
void resend_firmware_page(int code, const char *extra);

// The header set of the system log (0) or the firewall log (other).
void log_header(int selector);

// Downloads the system log (0) or the firewall log (1). Returns 0 when the
// download was written, 16 or 22 when nothing was.
int send_log_file(int selector);

#endif
