#include "platform/process.h"

#include <windows.h>

#include <vector>

#include "platform/win32/wide.h"

namespace velmora {
namespace platform {

bool RunCommand(const std::string &commandLine, const RunOptions &options, std::string *output) {
  output->clear();
  std::wstring dir = Widen(options.workingDir);
  if (dir.empty()) {
    wchar_t system[MAX_PATH + 1];
    UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n > 0 && n < MAX_PATH) dir = std::wstring(system, n) + L"\\";
  }

  SECURITY_ATTRIBUTES sa;
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = nullptr;
  sa.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return false;
  // Only the write end belongs to the child.
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

  STARTUPINFOW si;
  ZeroMemory(&si, sizeof si);
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  si.hStdOutput = writeEnd;
  PROCESS_INFORMATION pi;
  ZeroMemory(&pi, sizeof pi);
  // CreateProcessW may write into the line: a copy of our own.
  std::wstring wide = Widen(commandLine);
  std::vector<wchar_t> line(wide.begin(), wide.end());
  line.push_back(L'\0');
  BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                dir.empty() ? nullptr : dir.c_str(), &si, &pi);
  // Our copy of the write end must go, or the pipe never reports its end.
  CloseHandle(writeEnd);
  if (!started) {
    CloseHandle(readEnd);
    return false;
  }
  CloseHandle(pi.hThread);

  // Wait for the command while serving this thread's messages: a wait cut
  // short by input dispatches it and waits again; a quiet wait ends it.
  bool ended = false;
  for (;;) {
    DWORD r = MsgWaitForMultipleObjects(1, &pi.hProcess, FALSE, options.waitMs, QS_ALLINPUT);
    if (r == WAIT_OBJECT_0) {
      ended = true;
      break;
    }
    if (r != WAIT_OBJECT_0 + 1) break;
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }

  // Take what the command wrote without ever blocking: a command that has
  // not ended (or a child of it still holding the pipe) cannot hold us here.
  std::vector<char> buffer(options.maxOutput + 1);
  size_t total = 0;
  while (total < options.maxOutput) {
    DWORD available = 0;
    if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) || available == 0) break;
    DWORD want = static_cast<DWORD>(options.maxOutput - total);
    if (available < want) want = available;
    DWORD n = 0;
    if (!ReadFile(readEnd, buffer.data() + total, want, &n, nullptr) || n == 0) break;
    total += n;
  }
  if (!ended) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hProcess);
  CloseHandle(readEnd);
  output->assign(buffer.data(), total);
  return true;
}

}  // namespace platform
}  // namespace velmora
