// Reception of an upload: the "UploadFile" part stored as /var/tmp/fw.pkg,
// then a package unpacked and its script run, or a plain file moved to
// /var/tmp/fw.bin.
#ifndef DORNIX_CGI_RECEPTION_H
#define DORNIX_CGI_RECEPTION_H

#include "request.h"

// Stores the "UploadFile" part in /var/tmp/fw.pkg and decides what it is
// (req->upload_kind). Returns a result code; what it created is removed
// when it refuses.
int prepare_firmware_upgrade(struct request *req);

// Unpacks a package and runs its script, or moves a plain file to fw.bin.
// Returns a result code; removes what it created when it refuses.
int preaction_for_upgrade(struct request *req);

// CONTENT_LENGTH: plain decimal digits. Returns 0 with *value set, 5 for a
// missing or malformed value, 7 for a value above 999,999,999,999,999,999.
int parse_content_length(const char *text, long long *value);

// What the open file `fd` is, from its first bytes (enum upload_kind): a
// tar archive is a package, "<con" that is no archive a configuration file.
int file_kind(int fd);

#endif
