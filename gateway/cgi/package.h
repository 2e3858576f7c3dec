// Firmware packages: a tar archive whose members all lie in pkg/ and that
// holds pkg/fw.inf (the marker) and pkg/fw_exec.sh (its install script).
// The archive is read here, not by an archive program, with the reader and
// the rules that the kit checker uses (contract/tar.h): every member is
// checked before anything is unpacked, and only regular files and
// directories are ever created.
#ifndef DORNIX_CGI_PACKAGE_H
#define DORNIX_CGI_PACKAGE_H

#include "contract/tar.h"

// Starts `reader` on the archive open at `*fd` (read by descriptor, at any
// offset); `fd` must outlive the reader.
void pkg_reader_open(gwc_tar_reader *reader, int *fd);

// True when the file open at `fd` starts with a tar header block (a valid
// header checksum and the "ustar" mark). Anything else is a plain upload.
bool pkg_is_archive(int fd);

// Checks every member of the archive at `fd` by the package rules
// (contract/tar.h). Returns 0, or RESULT_BAD_MAGIC (15) with the reason,
// which names the member, in the debug log.
int pkg_check(int fd);

#endif
