#include "platform/console.h"

#include <io.h>
#include <stdio.h>
#include <direct.h>
#include <windows.h>

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
  char cwd[4096];
  return _getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string();
}

}  // namespace platform
}  // namespace velmora
