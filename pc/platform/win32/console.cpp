#include "platform/console.h"

#include <io.h>
#include <stdio.h>
#include <direct.h>
#include <windows.h>
#include <shellapi.h>

#include "platform/win32/wide.h"

namespace velmora {
namespace platform {

namespace {

DWORD savedMode;
void (*interruptHandler)() = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
    return FALSE;
  if (interruptHandler) interruptHandler();
  return TRUE;
}

}  // namespace

bool StdinIsTerminal() { return _isatty(_fileno(stdin)) != 0; }
bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

int TerminalColumns(FILE *stream) {
  int fd = _fileno(stream);
  if (fd < 0 || !_isatty(fd)) return 0;
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (GetConsoleScreenBufferInfo(h, &info)) return info.srWindow.Right - info.srWindow.Left + 1;
  return 80;
}

bool SetInputEcho(bool on) {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (on) {
    // Without echo the console does not show the Enter either.
    fputs("\n", stdout);
    return SetConsoleMode(in, savedMode) != 0;
  }
  if (!GetConsoleMode(in, &savedMode)) return false;
  return SetConsoleMode(in, savedMode & ~ENABLE_ECHO_INPUT) != 0;
}

void DiscardTypeAhead() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  if (GetConsoleMode(in, &mode)) FlushConsoleInputBuffer(in);
}

void WatchInterrupts(void (*onInterrupt)()) {
  interruptHandler = onInterrupt;
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void IgnoreBrokenPipe() {}

void ExitNow(int status) {
  fflush(stdout);
  fflush(stderr);
  ExitProcess(static_cast<UINT>(status));
}

std::string CurrentDirectory() {
  wchar_t cwd[4096];
  return _wgetcwd(cwd, 4096) != nullptr ? Narrow(cwd) : std::string();
}

std::vector<std::string> ProgramArguments(int argc, char **argv) {
  SetConsoleOutputCP(CP_UTF8);
  int n = 0;
  wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &n);
  if (wide == nullptr || n != argc) {
    if (wide != nullptr) LocalFree(wide);
    return std::vector<std::string>(argv, argv + argc);
  }
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.push_back(Narrow(wide[i]));
  LocalFree(wide);
  return out;
}

}  // namespace platform
}  // namespace velmora
