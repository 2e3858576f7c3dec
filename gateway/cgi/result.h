// Result codes of dornix: the exit status and the number on its result
// page. Every unit of the CGI returns them; this header includes nothing.
#ifndef DORNIX_CGI_RESULT_H
#define DORNIX_CGI_RESULT_H

// Result codes: the exit status of dornix and the number on its result page.
enum {
  RESULT_OK = 0,                  // "No Error"
  RESULT_LOG_OPEN = 1,            // "Unable to open log file"
  RESULT_SOCKET = 2,              // "Firmware Upgrade error with sockets"
  RESULT_METHOD = 3,              // "Unsupported Request Method"
  RESULT_VARIABLE = 4,            // "Invalid variable name"
  RESULT_NO_LENGTH = 5,           // "Unable to retrieve Content Length"
  RESULT_TOO_SHORT = 6,           // "Content Length less than minimum exptected size"
  RESULT_TOO_LONG = 7,            // "Content Length greater than maximum exptected size"
  RESULT_TMP_OPEN = 8,            // "Unable to open temporary firmware storage file"
  RESULT_TMP_READ = 9,            // "Unable to read from the temporary firmware storage file"
  RESULT_MTD_OPEN = 10,           // "Unable to open MTD block device"
  RESULT_MTD_WRITE = 11,          // "Unable to write to MTD block device"
  RESULT_NO_CHECKSUM = 12,        // "File does not contain the checksum"
  RESULT_CHECKSUM_CALC = 13,      // "Unable to calculate checksum"
  RESULT_BAD_CRC = 14,            // "Invalid CRC"
  RESULT_BAD_MAGIC = 15,          // "No/Invalid Magic number"
  RESULT_NO_MEMORY = 16,          // "Unable allocate memory for internal storage"
  RESULT_CONFIG_OPEN = 19,        // "Unable to open Configuration file"
  RESULT_CONFIG_TOKEN = 22,       // "Invalid Token in Configuration file"
  RESULT_SIGNATURE = 23,          // "Missing or invalid signature"
  RESULT_BAD_LOG_NAME = -1,       // a get_log name other than get_log0 / get_log1
};

#endif
