// dornix, the gateway's upgrade CGI: process-wide state, result codes and
// the operations of one request.
#ifndef DORNIX_CGI_FIRMWARE_H
#define DORNIX_CGI_FIRMWARE_H

#include <stdio.h>

// Result codes (RESULT_OK, ...): the exit status of dornix and the number
// on its result page.
#include "contract/result.h"

// The message address of dornix; holding it keeps a second request out.
#define FW_ADDRESS "fw"

// Linux restart command handed to reboot().
#define FW_RESTART_COMMAND 0x01234567

// Process-wide state of one request.
extern int debug;
extern FILE *pLogFile;
extern int fw_fd;
extern char sDivider[80];
extern char sVarName[1024];
extern char sLineBuffer[1024];

// The request as a whole: what main() runs. Returns the result code.
int firmware_main(void);

// Appends printf-formatted text (at most 1023 characters) to the debug log.
void debug_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes the 2000 CR LF pairs that end every text/html response, and flushes.
void flush_output_buffer(void);

// Reception: stores the "UploadFile" part in /var/tmp/fw.pkg, then unpacks a
// package and runs its script, or moves a plain file to /var/tmp/fw.bin.
// Both return a result code; each removes what it created when it refuses.
int prepare_firmware_upgrade(void);
int preaction_for_upgrade(void);

// CONTENT_LENGTH: plain decimal digits. Returns 0 with *value set, 5 for a
// missing or malformed value, 7 for a value above 999,999,999,999,999,999.
int parse_content_length(const char *text, long long *value);

// Flash writing: checks /var/tmp/fw.bin and writes it to its partition(s).
int do_firmware_upgrade(void);
int copy_firmware_image(const char *device, int kind);
int copy_firmware_image_combo(void);

// Image kinds of copy_firmware_image.
enum { IMAGE_KERNEL = 1, IMAGE_FILESYSTEM = 2 };

// Configuration upload (from fw.bin to the configuration partition) and
// download (the stored block to standard output).
int copy_config_file(void);
int send_config_file(void);

// Response pages and log download.
void header(int kind);
void resend_firmware_page(int code);
void log_header(int selector);
int send_log_file(int selector);

#endif
