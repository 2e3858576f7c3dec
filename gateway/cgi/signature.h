// Signed uploads. A gateway that holds public keys (minisign format) in
// GW_KEY_DIR takes an image or a package only with a valid signature by one
// of them, sent as a form part named "signature" before "UploadFile".
// Configuration files stay unsigned: users restore their own backups, and
// the configuration scanner guards what they hold. A gateway without keys
// reads the part and ignores it.
#ifndef DORNIX_CGI_SIGNATURE_H
#define DORNIX_CGI_SIGNATURE_H

#include "request.h"

// Most files the key folder may hold: every one of them is read for each
// signed upload. A folder with more refuses signed uploads as broken.
#define SIG_KEY_FILES_MAX 256

// Reads the value of the "signature" part, whose name line has just been
// read, and the boundary line after it: RESULT_OK. A value longer than
// MS_SIG_TEXT_MAX bytes is no signature: RESULT_TOO_LONG as soon as it
// passes that, without reading the rest of the body.
int sig_read_part(struct request *req);

// Checks the upload as received at /var/tmp/fw.pkg, before anything of it
// is unpacked, run or written: RESULT_OK when no key is installed, when the
// upload is a configuration file, or when the signature part holds a valid
// signature over the whole file by one of the keys; RESULT_SIGNATURE else.
// After a signature held, req->sSignatureHeader is the response header
// line that says so, naming the key ("X-Dornix-Signature: valid, key
// ID\n"); a gateway without keys never sends it, so its responses stay as
// they were.
int sig_check_upload(struct request *req);

#endif
