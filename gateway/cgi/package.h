// Firmware packages: a tar archive whose members all lie in pkg/ and that
// holds pkg/fw.inf (the marker) and pkg/fw_exec.sh (its install script).
// The archive is read here, not by an archive program, with the reader and
// the rules that the kit checker uses (contract/tar.h): every member is
// checked before anything is unpacked, and only regular files and
// directories are ever created.
#ifndef DORNIX_CGI_PACKAGE_H
#define DORNIX_CGI_PACKAGE_H

// True when the file open at `fd` starts with a tar header block (a valid
// header checksum and the "ustar" mark). Anything else is a plain upload.
bool pkg_is_archive(int fd);

// Checks every member of the archive at `fd` by the package rules
// (contract/tar.h). Returns 0, or RESULT_BAD_MAGIC (15) with the reason,
// which names the member, in the debug log.
int pkg_check(int fd);

// Unpacks the checked archive at `fd` into `dir` (the real location of
// /var/tmp/pkg, which must not exist). Returns 0, or RESULT_TMP_OPEN (8)
// when a file or directory cannot be created or written.
int pkg_unpack(int fd, const char *dir);

// Runs `script` in a process group of its own and waits for its end, at
// most `limit_ms` milliseconds; then its whole group is stopped. Returns
// its wait status, PKG_SCRIPT_STOPPED when it was stopped, or -1 when it
// could not be started.
#define PKG_SCRIPT_STOPPED (-2)
int pkg_run_script(const char *script, int limit_ms);

// Removes `path` and, when it is a directory, everything in it. Links are
// removed, never followed.
void pkg_remove_tree(const char *path);

#endif
