#include "wizard/console/terminal.h"

#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <thread>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <signal.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace velmora {
namespace console {

namespace {

std::atomic<bool> echoOff{false};
void (*interruptHandler)() = nullptr;

#ifdef _WIN32
DWORD savedMode;
#else
struct termios savedTermios;
#endif

bool SetEcho(bool on) {
#ifdef _WIN32
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (on) return SetConsoleMode(in, savedMode) != 0;
  if (!GetConsoleMode(in, &savedMode)) return false;
  return SetConsoleMode(in, savedMode & ~ENABLE_ECHO_INPUT) != 0;
#else
  if (on) return tcsetattr(STDIN_FILENO, TCSANOW, &savedTermios) == 0;
  if (tcgetattr(STDIN_FILENO, &savedTermios) != 0) return false;
  struct termios quiet = savedTermios;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  return tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
#endif
}

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
    return FALSE;
  if (interruptHandler) interruptHandler();
  return TRUE;
}
#endif

}  // namespace

bool StdinIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdin)) != 0;
#else
  return isatty(STDIN_FILENO) != 0;
#endif
}

bool StdoutIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0;
#else
  return isatty(STDOUT_FILENO) != 0;
#endif
}

bool ReadLine(std::string *line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = getchar()) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c != '\r') line->push_back(static_cast<char>(c));
  }
  return any;
}

bool ReadHiddenLine(std::string *line) {
  bool hidden = StdinIsTerminal() && SetEcho(false);
  if (hidden) echoOff = true;
  bool ok = ReadLine(line);
  if (hidden) {
    RestoreTerminal();
#ifdef _WIN32
    fputs("\n", stdout);  // the user's Enter was not echoed either
#endif
  }
  return ok;
}

void RestoreTerminal() {
  if (echoOff.exchange(false)) SetEcho(true);
}

void WatchInterrupts(void (*onInterrupt)()) {
  interruptHandler = onInterrupt;
#ifdef _WIN32
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
#else
  // Block the signals in every thread and take them on one thread of our
  // own, where the handler may do more than a signal handler could.
  static sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) == 0 && interruptHandler) interruptHandler();
    }
  }).detach();
#endif
}

void ExitNow(int status) {
  fflush(stdout);
  fflush(stderr);
#ifdef _WIN32
  ExitProcess(static_cast<UINT>(status));
#else
  _exit(status);
#endif
}

}  // namespace console
}  // namespace velmora
