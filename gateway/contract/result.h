// Result codes of dornix: the exit status of every request and the number
// on its result page ("upgrade result: fail[N]"). One list holds each
// code's number, name, the program's own words for it, what a user is told
// has happened and what to do; dornix, the wizard's failure texts and the
// documentation all follow it.
#ifndef GATEWAY_CONTRACT_RESULT_H
#define GATEWAY_CONTRACT_RESULT_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GWC_RESTART_AND_RETRY \
  "Restart the Gateway (unplug its power cord and plug it back in), then try again."
#define GWC_RETRY_THEN_SUPPORT \
  "Restart the Gateway and try again; if it fails again, send the log to support."
#define GWC_COPY_KIT_AGAIN \
  "Check the kit with velmora-kit check, then copy it again or get a new one."
#define GWC_OTHER_KIT "Get the upgrade kit made for this Gateway."

// X(name, code, meaning, what happened (for the user), what to do)
#define GWC_RESULT_LIST(X)                                                                          \
  X(RESULT_OK, 0, "No Error", "the Gateway took the upload", "")                                  \
  X(RESULT_LOG_OPEN, 1, "Unable to open log file", "the Gateway cannot write its log",             \
    GWC_RESTART_AND_RETRY)                                                                          \
  X(RESULT_SOCKET, 2, "Firmware Upgrade error with sockets",                                       \
    "the Gateway is serving another upload",                                                        \
    "Wait a minute, restart the Gateway, then try again.")                                          \
  X(RESULT_METHOD, 3, "Unsupported Request Method", "the Gateway did not understand the request",  \
    GWC_RETRY_THEN_SUPPORT)                                                                         \
  X(RESULT_VARIABLE, 4, "Invalid variable name", "the Gateway did not understand the request",     \
    GWC_RETRY_THEN_SUPPORT)                                                                         \
  X(RESULT_NO_LENGTH, 5, "Unable to retrieve Content Length",                                      \
    "the Gateway did not understand the request", GWC_RETRY_THEN_SUPPORT)                           \
  X(RESULT_TOO_SHORT, 6, "Content Length less than minimum exptected size",                        \
    "the image did not arrive whole",                                                               \
    "Check the cable between this computer and the Gateway, restart the Gateway, then try again.") \
  X(RESULT_TOO_LONG, 7, "Content Length greater than maximum exptected size",                      \
    "the image is larger than the Gateway takes", GWC_OTHER_KIT)                                   \
  X(RESULT_TMP_OPEN, 8, "Unable to open temporary firmware storage file",                          \
    "the Gateway could not store or unpack the upload", GWC_RETRY_THEN_SUPPORT)                     \
  X(RESULT_TMP_READ, 9, "Unable to read from the temporary firmware storage file",                 \
    "the Gateway could not read back the stored image", GWC_RESTART_AND_RETRY)                      \
  X(RESULT_MTD_OPEN, 10, "Unable to open MTD block device",                                        \
    "the Gateway could not open its flash memory", GWC_RESTART_AND_RETRY)                           \
  X(RESULT_MTD_WRITE, 11, "Unable to write to MTD block device",                                   \
    "the Gateway could not write its flash memory, which may now be partly written",               \
    "Do not unplug the Gateway; send the log to support.")                                          \
  X(RESULT_NO_CHECKSUM, 12, "File does not contain the checksum",                                  \
    "the kit's image carries no image tag: the kit is damaged or incomplete", GWC_COPY_KIT_AGAIN)   \
  X(RESULT_CHECKSUM_CALC, 13, "Unable to calculate checksum",                                      \
    "the Gateway could not compute the image's checksum", GWC_RESTART_AND_RETRY)                    \
  X(RESULT_BAD_CRC, 14, "Invalid CRC",                                                             \
    "the kit's image is damaged: its checksum does not match its tag", GWC_COPY_KIT_AGAIN)          \
  X(RESULT_BAD_MAGIC, 15, "No/Invalid Magic number",                                               \
    "the image is of a kind the Gateway does not take, or its package was refused", GWC_OTHER_KIT) \
  X(RESULT_NO_MEMORY, 16, "Unable allocate memory for internal storage",                           \
    "the Gateway ran out of memory", GWC_RESTART_AND_RETRY)                                         \
  X(RESULT_CONFIG_OPEN, 19, "Unable to open Configuration file",                                   \
    "the Gateway could not open its configuration", GWC_RESTART_AND_RETRY)                          \
  X(RESULT_CONFIG_TOKEN, 22, "Invalid Token in Configuration file",                                \
    "the Gateway took the file for a configuration and refused it", GWC_OTHER_KIT)                  \
  X(RESULT_SIGNATURE, 23, "Missing or invalid signature",                                          \
    "the Gateway takes only images signed by its maker, and the kit's signature is missing or "    \
    "does not hold",                                                                                \
    "Get a signed kit from the maker.")                                                             \
  X(RESULT_BAD_LOG_NAME, -1, "", "the Gateway was asked for a log it does not keep",               \
    GWC_RETRY_THEN_SUPPORT)

#define GWC_RESULT_ENUM(name, code, meaning, what, todo) name = code,
enum { GWC_RESULT_LIST(GWC_RESULT_ENUM) };
#undef GWC_RESULT_ENUM

typedef struct {
  int code;
  const char *name;     // "RESULT_BAD_CRC"
  const char *meaning;  // the program's own words; "" for -1, which has none
  const char *what;     // what happened, as the wizard tells a user
  const char *todo;     // what the user should do ("" when nothing)
} gwc_result_info;

// The entry of `code`, or NULL for a number dornix never answers.
const gwc_result_info *gwc_result_find(int code);
// Every entry, in the order of the list; their number in *count.
const gwc_result_info *gwc_result_table(size_t *count);

#ifdef __cplusplus
}
#endif

#endif
