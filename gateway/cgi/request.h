// One request to dornix, from its start to its answer: everything the
// units of the CGI share lives here and is handed to them, so that no unit
// reaches into another's globals and a new request (or a fuzzer's next
// input) starts from one reset.
#ifndef DORNIX_CGI_REQUEST_H
#define DORNIX_CGI_REQUEST_H

#include "log.h"
#include "minisig.h"
#include "parse.h"

// What the received file is, decided once from its first bytes.
enum upload_kind {
  UPLOAD_NONE = 0,    // nothing received yet
  UPLOAD_PLAIN,       // an image (or anything else): moved to fw.bin and checked
  UPLOAD_CONFIG,      // starts with "<con" and is no archive: a configuration file
  UPLOAD_PACKAGE,     // a tar archive: unpacked, and its script leaves fw.bin
};

struct request {
  struct debug_log log;   // debug, pLogFile
  int fw_fd;              // the "fw" endpoint while this request holds it
  struct post_reader post;  // sDivider, sLineBuffer, nPostDataCount, post_eof, ...
  char sVarName[1024];    // the name of the current form part

  // CONTENT_LENGTH, read and judged once: RESULT_OK with the value, or the
  // code that refuses an upload (5 missing or malformed, 7 beyond belief).
  const char *content_length_text;
  int content_length_code;
  long long content_length;

  // The "signature" part as received: nSignatureLength is -1 when none
  // arrived.
  char sSignature[MS_SIG_TEXT_MAX + 1];
  int nSignatureLength;
  // After a signature held: the header line that says so; else empty.
  char sSignatureHeader[64];

  // The upload.
  int upload_truncated;   // the body ended before the file's boundary line
  int upload_kind;        // enum upload_kind of the file as received
  int upload_fd;          // the file as received (fw.pkg; fw.bin for a plain upload)
  int image_fd;           // fw.bin: the file that is checked and written
};

// Starts `req` afresh, reading its body from `input_fd`: the state of a
// new process.
void request_reset(struct request *req, int input_fd);

#endif
