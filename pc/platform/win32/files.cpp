#include "platform/files.h"

#include <windows.h>
#include <sddl.h>
#include <stdio.h>

#include <algorithm>

#include "platform/win32/wide.h"

namespace velmora {
namespace platform {
namespace {

HANDLE H(intptr_t h) { return reinterpret_cast<HANDLE>(h); }

// Full access for the file's owner, the administrators and the system, and
// nothing inherited from the folder (whose files every user may read at
// the root of C:). Where the system cannot apply it, the file keeps the
// folder's rights.
void LimitToOwner(const std::string &path) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;;FA;;;OW)(A;;FA;;;SY)(A;;FA;;;BA)", SDDL_REVISION_1, &sd, nullptr))
    return;
  SetFileSecurityW(Widen(path).c_str(), DACL_SECURITY_INFORMATION, sd);
  LocalFree(sd);
}

}  // namespace

bool File::Open(const std::string &path, Mode mode, bool ownerOnly) {
  Close();
  DWORD access = GENERIC_READ;
  DWORD creation = OPEN_EXISTING;
  switch (mode) {
    case kRead: break;
    case kWrite:
      access = GENERIC_WRITE;
      creation = CREATE_ALWAYS;
      break;
    case kAppend:
      access = FILE_APPEND_DATA;
      creation = OPEN_ALWAYS;
      break;
  }
  HANDLE h = CreateFileW(Widen(path).c_str(), access, FILE_SHARE_READ, nullptr, creation,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<intptr_t>(h);
  if (ownerOnly && mode != kRead) LimitToOwner(path);
  return true;
}

bool File::Flush() { return IsOpen() && FlushFileBuffers(H(handle_)) != 0; }

long File::Read(void *buffer, size_t length) {
  if (!IsOpen()) return -1;
  DWORD want = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
  DWORD n = 0;
  if (!ReadFile(H(handle_), buffer, want, &n, nullptr)) return -1;
  return static_cast<long>(n);
}

bool File::Write(const void *data, size_t length) {
  if (!IsOpen()) return false;
  const char *p = static_cast<const char *>(data);
  while (length > 0) {
    DWORD want = length > 0x40000000 ? 0x40000000 : static_cast<DWORD>(length);
    DWORD n = 0;
    if (!WriteFile(H(handle_), p, want, &n, nullptr) || n == 0) return false;
    p += n;
    length -= n;
  }
  return true;
}

int64_t File::Size() const {
  LARGE_INTEGER size;
  if (!IsOpen() || !GetFileSizeEx(H(handle_), &size)) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

void File::Close() {
  if (IsOpen()) CloseHandle(H(handle_));
  handle_ = kClosed;
}

bool CopyLocalFile(const std::string &from, const std::string &to, bool failIfExists) {
  return CopyFileW(Widen(from).c_str(), Widen(to).c_str(), failIfExists ? TRUE : FALSE) != 0;
}

bool DeleteLocalFile(const std::string &path) { return DeleteFileW(Widen(path).c_str()) != 0; }

bool RenameOver(const std::string &from, const std::string &to) {
  return MoveFileExW(Widen(from).c_str(), Widen(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool PathExists(const std::string &path) {
  return GetFileAttributesW(Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::string &path) {
  DWORD a = GetFileAttributesW(Widen(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsRegularFile(const std::string &path, uint64_t *size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) return false;
  if (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) return false;
  if (size != nullptr)
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool MakeDirectories(const std::string &path) {
  if (path.empty()) return false;
  if (IsDirectory(path)) return true;
  std::string parent = DirectoryOf(path);
  if (!parent.empty() && parent != path && parent.back() != ':' && !IsDirectory(parent) &&
      !MakeDirectories(parent)) {
    return false;
  }
  return CreateDirectoryW(Widen(path).c_str(), nullptr) != 0 || IsDirectory(path);
}

bool MakePrivateDirectories(const std::string &path) { return MakeDirectories(path); }

bool RestrictToOwner(const std::string &path) { return PathExists(path); }

int PermissionBits(const std::string &) { return -1; }

std::vector<std::string> FindFiles(const std::string &dir, const char *pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Widen(JoinPath(dir.empty() ? "." : dir, "*")).c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    // Our own match on the long name: FindFirstFile would also match a
    // name through its short 8.3 alias ("a.imgx" as "A~1.IMG").
    std::string name = Narrow(data.cFileName);
    if (MatchesPattern(name, pattern)) names.push_back(name);
  } while (FindNextFileW(find, &data));
  FindClose(find);
  std::sort(names.begin(), names.end());
  return names;
}

std::string ProgramPath() {
  // Any length: a kit folder deep in a user's documents may pass MAX_PATH.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
    if (n == 0) return "";
    if (n < path.size()) return Narrow(path.data(), static_cast<int>(n));
    if (path.size() >= 32768) return "";
    path.resize(path.size() * 2);
  }
}

std::string MakeTempDirectory(const char *prefix) {
  wchar_t base[MAX_PATH + 1];
  DWORD n = GetTempPathW(MAX_PATH, base);
  if (n == 0 || n > MAX_PATH) return "";
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[64];
    snprintf(name, sizeof name, "%s%lu-%lu-%u", prefix != nullptr ? prefix : "velmora",
             static_cast<unsigned long>(GetCurrentProcessId()),
             static_cast<unsigned long>(GetTickCount()), counter++);
    std::string path = JoinPath(Narrow(base, static_cast<int>(n)), name);
    if (CreateDirectoryW(Widen(path).c_str(), nullptr)) return path;
  }
  return "";
}

bool RemoveTree(const std::string &path) {
  const std::wstring wide = Widen(path);
  DWORD a = GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  if ((a & FILE_ATTRIBUTE_DIRECTORY) == 0) return DeleteFileW(wide.c_str()) != 0;
  bool ok = true;
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Widen(JoinPath(path, "*")).c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = Narrow(data.cFileName);
      if (name == "." || name == "..") continue;
      ok = RemoveTree(JoinPath(path, name)) && ok;
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  return RemoveDirectoryW(wide.c_str()) != 0 && ok;
}

FILE *OpenCFile(const std::string &path, const char *mode) {
  return _wfopen(Widen(path).c_str(), Widen(mode).c_str());
}

}  // namespace platform
}  // namespace velmora
