// Local files. Paths are the system's own, as UTF-8 (on Windows they reach
// the system as UTF-16, so that any name works whatever the code page); a
// wizard file named "C:\Name" is first mapped with LocalPath
// (environment.h), a kit file is JoinPath of the kit folder and its name.
#ifndef VELMORA_PLATFORM_FILES_H
#define VELMORA_PLATFORM_FILES_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace velmora {
namespace platform {

// One open file (CreateFileW handle / descriptor); closed by Close or the
// destructor. Movable, not copyable.
class File {
 public:
  enum Mode {
    kRead,      // existing file, others may read it too
    kWrite,     // created or truncated
    kAppend,    // created when missing, writes go to the end
  };

  File() = default;
  ~File();
  File(File &&other) noexcept;
  File &operator=(File &&other) noexcept;
  File(const File &) = delete;
  File &operator=(const File &) = delete;

  // `ownerOnly`: a file that is created or written is readable and
  // writable by this user alone (mode 0600; on Windows a protected access
  // list for the owner, the administrators and the system), also when it
  // existed before with wider rights.
  bool Open(const std::string &path, Mode mode, bool ownerOnly = false);
  bool IsOpen() const { return handle_ != kClosed; }
  // Bytes read (up to `length`), 0 at the end, -1 on failure.
  long Read(void *buffer, size_t length);
  // Writes all `length` bytes; false on failure or a short write.
  bool Write(const void *data, size_t length);
  // Size in bytes, -1 on failure.
  int64_t Size() const;
  // Puts what was written on the disk itself (fsync / FlushFileBuffers).
  bool Flush();
  void Close();

 private:
  static constexpr intptr_t kClosed = -1;
  intptr_t handle_ = kClosed;
};

// fopen for a path as above; nullptr on failure.
FILE *OpenCFile(const std::string &path, const char *mode);

// Whole-file helpers over File.
bool ReadWholeFile(const std::string &path, std::string *out);
bool WriteWholeFile(const std::string &path, const void *data, size_t length);
bool WriteWholeFile(const std::string &path, const std::string &data);
bool AppendToFile(const std::string &path, const void *data, size_t length);
// Empties the file, creating it when missing.
bool TruncateFile(const std::string &path);

// CopyFileA semantics: with failIfExists an existing target is left alone
// and the copy fails.
bool CopyLocalFile(const std::string &from, const std::string &to, bool failIfExists);
// False when the file did not exist or could not be deleted.
bool DeleteLocalFile(const std::string &path);
// Renames `from` to `to` in one step, replacing an existing `to`: a reader
// sees either the old file or the new one, never a part of either.
bool RenameOver(const std::string &from, const std::string &to);
// True for an existing file or directory.
bool PathExists(const std::string &path);
bool IsDirectory(const std::string &path);
// True for an ordinary file: not a directory, device, pipe or socket.
// Its size in *size when given.
bool IsRegularFile(const std::string &path, uint64_t *size = nullptr);
bool MakeDirectories(const std::string &path);
// The same, but the folders it creates are this user's alone (0700); an
// existing folder keeps its rights.
bool MakePrivateDirectories(const std::string &path);
// Makes an existing folder or file this user's alone (0700 / 0600); false
// when it cannot (not ours). Nothing to do on Windows, where the files
// carry their own access lists.
bool RestrictToOwner(const std::string &path);
// For tests: the POSIX permission bits of a path, -1 when unknown (always
// on Windows).
int PermissionBits(const std::string &path);

// Names (not paths) of the plain files in `dir` that match `pattern`, where
// "*" stands for any run of characters and "?" for one; letters compare
// case-insensitively, as on Windows. Sorted by name.
std::vector<std::string> FindFiles(const std::string &dir, const char *pattern);
// The match FindFiles applies to one name.
bool MatchesPattern(const std::string &name, const char *pattern);

// dir + separator + name ("\" on Windows, "/" elsewhere); name alone when
// dir is empty.
std::string JoinPath(const std::string &dir, const std::string &name);
// Everything before the last separator ("/" or "\"), "" when there is none.
std::string DirectoryOf(const std::string &path);
// Full path of the running program, "" when unknown.
std::string ProgramPath();

// For tests: a new empty directory under the system's temporary folder, and
// the removal of a directory with everything below it.
std::string MakeTempDirectory(const char *prefix);
bool RemoveTree(const std::string &path);

}  // namespace platform
}  // namespace velmora

#endif
