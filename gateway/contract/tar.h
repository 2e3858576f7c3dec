// Firmware packages: tar archives whose members all lie in pkg/ and that
// hold pkg/fw.inf (the marker) and pkg/fw_exec.sh (the install script).
//
// The reader takes what archivers write: ustar headers (with the POSIX
// name prefix), GNU long-name records ('L'; long link names, 'K', are
// skipped), pax extended headers for one member ('x') and for all that
// follow ('g'). Of the extended keywords, "path" and "size" are applied;
// those that only describe a file (times, owners, character sets,
// comments, extended attributes such as SCHILY.xattr.* and
// LIBARCHIVE.xattr.*) are ignored; those that would change what is
// unpacked, the sparse-file keywords GNU.sparse.* and SCHILY.realsize, make
// the package refused. A contiguous file ('7') is a regular file.
//
// The rules then apply to the names that result: regular files and
// directories only (no link of any kind, device or FIFO), no absolute path
// and no "..", everything inside pkg/ ("./" itself may stand first). One
// member that breaks a rule refuses the whole package, with a reason that
// names the member.
#ifndef GATEWAY_CONTRACT_TAR_H
#define GATEWAY_CONTRACT_TAR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define GWC_TAR_BLOCK 512
// Names and paths, their NUL included.
#define GWC_TAR_NAME_MAX 256
#define GWC_TAR_REASON_MAX 400

// Reads up to `length` bytes at `offset` of the archive: the number read
// (fewer only at its end), or -1.
typedef long (*gwc_read_at)(void *ctx, uint64_t offset, void *buffer, size_t length);

enum { GWC_TAR_FILE = '0', GWC_TAR_DIR = '5' };

typedef struct {
  char type;      // GWC_TAR_FILE or GWC_TAR_DIR
  int root;       // "./": the folder the archive unpacks into; creates nothing
  unsigned mode;  // permission bits, 0755 at most
  uint64_t size;  // bytes of data (0 for a directory)
  uint64_t data;  // where the data starts in the archive
  char name[GWC_TAR_NAME_MAX];  // as the archive names it
  char path[GWC_TAR_NAME_MAX];  // below pkg: "" for pkg itself, else "/a/b"
} gwc_tar_member;

typedef struct {
  gwc_read_at read_at;
  void *ctx;
  uint64_t size;    // of the archive
  uint64_t offset;  // of the next header
  int global_has_path, global_has_size, global_sparse;
  uint64_t global_size;
  char global_path[GWC_TAR_NAME_MAX];
  char last[GWC_TAR_NAME_MAX];        // the member before, for messages
  char reason[GWC_TAR_REASON_MAX];    // why the package is refused
} gwc_tar_reader;

// Whether a first block of 512 bytes is a tar header (a valid header
// checksum and the "ustar" mark): an upload that starts so is a package,
// anything else a plain file.
int gwc_tar_is_archive(const unsigned char block[GWC_TAR_BLOCK]);

// Starts reading the archive of `size` bytes that `read_at` gives.
void gwc_tar_open(gwc_tar_reader *r, gwc_read_at read_at, void *ctx, uint64_t size);

// The next member: 1, 0 at the end of the archive (its end blocks, or the
// end of the file), -1 when the package must be refused (r->reason).
int gwc_tar_next(gwc_tar_reader *r, gwc_tar_member *m);

typedef struct {
  unsigned members;     // files and folders, "./" aside
  int has_marker;       // pkg/fw.inf, a regular file
  int has_script;       // pkg/fw_exec.sh, a regular file
  unsigned script_mode; // its permission bits
} gwc_pkg_summary;

// Reads every member from the start: 0 when the archive is a package that
// may be unpacked, -1 with the reason when not (no pkg/fw.inf included).
// `summary` may be NULL.
int gwc_pkg_check(gwc_tar_reader *r, gwc_pkg_summary *summary);

#ifdef __cplusplus
}
#endif

#endif
