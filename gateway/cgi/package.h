// Firmware packages: a tar archive whose members all lie in pkg/ and that
// holds pkg/fw.inf (the marker) and pkg/fw_exec.sh (its install script).
// The archive is read here, not by an archive program: its members are
// checked before anything is unpacked, and only regular files and
// directories are ever created.
#ifndef DORNIX_CGI_PACKAGE_H
#define DORNIX_CGI_PACKAGE_H

#include "platform.h"

// One member of a checked archive, as the unpacking sees it.
struct pkg_member {
  char type;             // '0' regular file, '5' directory
  bool root;             // "./": the directory the archive unpacks into
  unsigned long long size;
  unsigned mode;
  char path[GW_PATH_MAX];  // below pkg: "" for pkg itself, else "/a/b"
};

// True when the file open at `fd` starts with a tar header block (a valid
// header checksum and the "ustar" mark). Anything else is a plain upload.
bool pkg_is_archive(int fd);

// Checks every member header of the archive at `fd`: each must be a regular
// file or a directory whose name, without "./", lies inside pkg/ (no "..",
// not absolute), with its data inside the file, and the archive must hold
// the regular file pkg/fw.inf. Returns 0, or RESULT_BAD_MAGIC (15) naming
// the first member that fails in the debug log.
int pkg_check(int fd);

// Reads the member header at `offset` of the archive at `fd` (of
// `file_size` bytes). Returns 1 for a member (its data follows the 512-byte
// header), 0 at the end of the archive, -1 for a member that may not be
// unpacked (with the reason in the debug log).
int pkg_read_member(int fd, long long offset, long long file_size, struct pkg_member *member);

// Offset of the header after `member`, whose header is at `offset`.
long long pkg_next_offset(long long offset, const struct pkg_member *member);

// Size of the open file `fd`, or -1.
long long pkg_file_size(int fd);

#define PKG_BLOCK 512

#endif
