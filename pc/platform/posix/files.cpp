#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace velmora {
namespace platform {

bool File::Open(const std::string &path, Mode mode, bool ownerOnly) {
  Close();
  int flags = O_CLOEXEC;
  switch (mode) {
    case kRead: flags |= O_RDONLY; break;
    case kWrite: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case kAppend: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
  }
  // What only this user may read is never written through a link planted
  // in its folder, nor into a file that another user owns or that is no
  // plain file (a --state-dir others can write to). O_NONBLOCK: a FIFO
  // there refuses the open instead of waiting for a reader; it changes
  // nothing for a plain file.
  const bool private_write = ownerOnly && mode != kRead;
  if (private_write) flags |= O_NOFOLLOW | O_NONBLOCK;
  int fd = open(path.c_str(), flags, ownerOnly ? 0600 : 0644);
  if (fd < 0) return false;
  struct stat st;
  // A file that existed with wider rights is narrowed before anything is
  // written into it.
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) ||
      (private_write && (!S_ISREG(st.st_mode) || st.st_uid != geteuid())) ||
      (private_write && (st.st_mode & 077) != 0 && fchmod(fd, 0600) != 0)) {
    close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

long File::Read(void *buffer, size_t length) {
  if (!IsOpen()) return -1;
  ssize_t n;
  do {
    n = read(static_cast<int>(handle_), buffer, length);
  } while (n < 0 && errno == EINTR);
  return static_cast<long>(n);
}

bool File::Write(const void *data, size_t length) {
  if (!IsOpen()) return false;
  const char *p = static_cast<const char *>(data);
  while (length > 0) {
    ssize_t n = write(static_cast<int>(handle_), p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

int64_t File::Size() const {
  struct stat st;
  if (!IsOpen() || fstat(static_cast<int>(handle_), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool File::Flush() {
  if (!IsOpen()) return false;
  int r;
  do {
    r = fsync(static_cast<int>(handle_));
  } while (r != 0 && errno == EINTR);
  return r == 0;
}

void File::Close() {
  if (IsOpen()) close(static_cast<int>(handle_));
  handle_ = kClosed;
}

bool CopyLocalFile(const std::string &from, const std::string &to, bool failIfExists) {
  File in;
  if (!in.Open(from, File::kRead)) return false;
  if (failIfExists && PathExists(to)) return false;
  File out;
  if (!out.Open(to, File::kWrite)) return false;
  char block[8192];
  for (;;) {
    long n = in.Read(block, sizeof block);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!out.Write(block, static_cast<size_t>(n))) return false;
  }
}

bool DeleteLocalFile(const std::string &path) { return unlink(path.c_str()) == 0; }

bool RenameOver(const std::string &from, const std::string &to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

bool PathExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string &path, uint64_t *size) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (size != nullptr) *size = static_cast<uint64_t>(st.st_size);
  return true;
}

namespace {

bool MakeDirectoriesWithMode(const std::string &path, mode_t mode) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  std::string parent = DirectoryOf(path);
  if (!parent.empty() && parent != path && !IsDirectory(parent) &&
      !MakeDirectoriesWithMode(parent, mode)) {
    return false;
  }
  return mkdir(path.c_str(), mode) == 0 || (errno == EEXIST && IsDirectory(path));
}

}  // namespace

bool MakeDirectories(const std::string &path) { return MakeDirectoriesWithMode(path, 0755); }

bool MakePrivateDirectories(const std::string &path) {
  return MakeDirectoriesWithMode(path, 0700);
}

bool RestrictToOwner(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  mode_t want = S_ISDIR(st.st_mode) ? 0700 : 0600;
  if ((st.st_mode & 0777) == want) return true;
  return chmod(path.c_str(), want) == 0;
}

int PermissionBits(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

std::vector<std::string> FindFiles(const std::string &dir, const char *pattern) {
  std::vector<std::string> names;
  DIR *d = opendir(dir.empty() ? "." : dir.c_str());
  if (d == nullptr) return names;
  while (dirent *e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == ".." || !MatchesPattern(name, pattern)) continue;
    struct stat st;
    if (stat(JoinPath(dir, name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

std::string ProgramPath() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  return std::string(path, static_cast<size_t>(n));
}

std::string MakeTempDirectory(const char *prefix) {
  const char *base = getenv("TMPDIR");
  std::string templ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" +
                      (prefix != nullptr ? prefix : "velmora") + "XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (mkdtemp(buf.data()) == nullptr) return "";
  return buf.data();
}

bool RemoveTree(const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;
  bool ok = true;
  if (DIR *d = opendir(path.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      ok = RemoveTree(path + "/" + name) && ok;
    }
    closedir(d);
  }
  return rmdir(path.c_str()) == 0 && ok;
}

FILE *OpenCFile(const std::string &path, const char *mode) {
  // Close-on-exec, as every descriptor of ours.
  return fopen(path.c_str(), (std::string(mode) + "e").c_str());
}

}  // namespace platform
}  // namespace velmora
