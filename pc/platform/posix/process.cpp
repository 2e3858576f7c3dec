#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/clock.h"

namespace velmora {
namespace platform {

bool RunCommand(const std::string &commandLine, const RunOptions &options, std::string *output) {
  output->clear();
  // Arguments are the words between spaces; no shell sees the line.
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < commandLine.size()) {
    size_t end = commandLine.find(' ', pos);
    if (end == std::string::npos) end = commandLine.size();
    if (end > pos) words.push_back(commandLine.substr(pos, end - pos));
    pos = end + 1;
  }
  if (words.empty()) return false;
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);

  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  // A pipe that reports a failed exec: closed unread when exec succeeds.
  int execFds[2];
  if (pipe2(execFds, O_CLOEXEC) != 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    close(execFds[0]);
    close(execFds[1]);
    return false;
  }
  if (pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, STDIN_FILENO);
      dup2(devnull, STDERR_FILENO);
    }
    if (!options.workingDir.empty() && chdir(options.workingDir.c_str()) != 0) _exit(127);
    execvp(argv[0], argv.data());
    int err = errno;
    ssize_t ignored = write(execFds[1], &err, sizeof err);
    (void)ignored;
    _exit(127);
  }
  close(fds[1]);
  close(execFds[1]);
  int execErr = 0;
  ssize_t got;
  do {
    got = read(execFds[0], &execErr, sizeof execErr);
  } while (got < 0 && errno == EINTR);
  close(execFds[0]);
  if (got == static_cast<ssize_t>(sizeof execErr)) {
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return false;
  }

  // Collect output until the command closes its end or the time is up.
  const uint32_t start = TickCount();
  char block[1024];
  for (;;) {
    uint32_t elapsed = TickCount() - start;
    if (elapsed >= options.waitMs) break;
    pollfd p{fds[0], POLLIN, 0};
    int rc = poll(&p, 1, static_cast<int>(options.waitMs - elapsed));
    if (rc < 0 && errno == EINTR) continue;
    if (rc <= 0) break;
    ssize_t n = read(fds[0], block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_t room = options.maxOutput - output->size();
    output->append(block, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
  }
  close(fds[0]);
  // Our own child: end it if it is still running, and reap it.
  if (waitpid(pid, nullptr, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return true;
}

}  // namespace platform
}  // namespace velmora
