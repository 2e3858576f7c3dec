#include "platform/console.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

namespace velmora {
namespace platform {

namespace {
struct termios savedTermios;
void (*interruptHandler)() = nullptr;
}  // namespace

bool StdinIsTerminal() { return isatty(STDIN_FILENO) != 0; }
bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

int TerminalColumns(FILE *stream) {
  int fd = fileno(stream);
  if (fd < 0 || !isatty(fd)) return 0;
  struct winsize size;
  if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  // A terminal that does not say (a serial line): the shell's idea, else
  // the classic width.
  const char *columns = getenv("COLUMNS");
  int n = columns ? atoi(columns) : 0;
  return n > 0 ? n : 80;
}

bool SetInputEcho(bool on) {
  if (on) return tcsetattr(STDIN_FILENO, TCSANOW, &savedTermios) == 0;
  if (tcgetattr(STDIN_FILENO, &savedTermios) != 0) return false;
  struct termios quiet = savedTermios;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  quiet.c_lflag |= ECHONL;
  return tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
}

void DiscardTypeAhead() {
  if (isatty(STDIN_FILENO)) tcflush(STDIN_FILENO, TCIFLUSH);
}

void WatchInterrupts(void (*onInterrupt)()) {
  interruptHandler = onInterrupt;
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
}

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

void ExitNow(int status) {
  fflush(stdout);
  fflush(stderr);
  _exit(status);
}

std::string CurrentDirectory() {
  char cwd[4096];
  return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string();
}

std::vector<std::string> ProgramArguments(int argc, char **argv) {
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace platform
}  // namespace velmora
