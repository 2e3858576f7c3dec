// Unpacking a checked firmware package into /var/tmp/pkg, and removing
// what was unpacked. Only regular files and directories are ever created;
// links are removed, never followed.
#ifndef DORNIX_CGI_UNPACK_H
#define DORNIX_CGI_UNPACK_H

// Unpacks the checked archive at `fd` into `dir` (the real location of
// /var/tmp/pkg, which must not exist). Returns 0, or RESULT_TMP_OPEN (8)
// when a file or directory cannot be created or written.
int pkg_unpack(int fd, const char *dir);

// Removes `path` and, when it is a directory, everything in it, however
// deep, with a few descriptors. Links are removed, never followed.
void pkg_remove_tree(const char *path);

#endif
