// velmora-cli run as a user runs it, for tests on POSIX hosts: its output
// collected as it comes, its input typed, signals sent, its exit awaited.
// The including test defines VELMORA_CLI_PATH.
#ifndef VELMORA_WIZARD_CONSOLE_TESTS_CLI_RUN_H
#define VELMORA_WIZARD_CONSOLE_TESTS_CLI_RUN_H

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmora {
namespace testing {

// One run of the binary with its output collected as it comes.
class CliRun {
 public:
  // `errFile`: standard error goes there instead of into Output().
  // `closeAfter`: the reader of the output goes away once that text came.
  // `columns`: the output is a terminal that wide (a pseudo-terminal) rather
  // than a pipe. `terminalInput`: what Type() sends is typed on a terminal
  // (a pseudo-terminal) rather than written into a pipe.
  CliRun(const std::vector<std::string> &args, const std::vector<std::string> &env,
         const std::string &errFile = "", const std::string &closeAfter = "", int columns = 0,
         bool terminalInput = false) {
    int in[2], out[2];
    if (terminalInput) {
      in[1] = OpenTerminal(&in[0], 0);
    } else if (pipe(in) != 0) {
      abort();
    }
    if (columns > 0) {
      out[0] = OpenTerminal(&out[1], columns);
    } else if (pipe(out) != 0) {
      abort();
    }
    pid_ = fork();
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      if (!errFile.empty()) {
        int fd = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) _exit(127);
        dup2(fd, 2);
        close(fd);
      }
      close(in[0]); close(in[1]); close(out[0]); close(out[1]);
      for (const auto &e : env) putenv(const_cast<char *>(e.c_str()));
      std::vector<char *> argv;
      argv.push_back(const_cast<char *>(VELMORA_CLI_PATH));
      for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    reader_ = std::thread([this, closeAfter, fd = out[0]] {
      char buf[4096];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0) {
        std::lock_guard<std::mutex> lock(m_);
        out_.append(buf, static_cast<size_t>(n));
        cv_.notify_all();
        if (!closeAfter.empty() && out_.find(closeAfter) != std::string::npos) break;
      }
      close(fd);
      std::lock_guard<std::mutex> lock(m_);
      eof_ = true;
      cv_.notify_all();
    });
  }
  ~CliRun() {
    if (status_ == -2) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (stdin_ >= 0) close(stdin_);
    reader_.join();
  }

  void Type(const std::string &text) {
    if (write(stdin_, text.data(), text.size()) < 0) {}
  }
  void CloseInput() {
    close(stdin_);
    stdin_ = -1;
  }
  bool WaitFor(const std::string &text, int ms = 20000) {
    std::unique_lock<std::mutex> lock(m_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms),
                        [&] { return out_.find(text) != std::string::npos; });
  }
  std::string Output() {
    std::lock_guard<std::mutex> lock(m_);
    return out_;
  }
  void Signal(int sig) { kill(pid_, sig); }
  // The exit status, or -1 when the program did not end in time (it is
  // then killed).
  int Wait(int ms = 30000) {
    for (int waited = 0; waited < ms; waited += 10) {
      int st;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        // Whatever the program wrote last may still be in the pipe.
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, std::chrono::seconds(5), [&] { return eof_; });
        return status_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  // A pseudo-terminal `columns` wide (0: as it comes): its controlling side
  // is returned, the side the program uses in *program.
  static int OpenTerminal(int *program, int columns) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) abort();
    *program = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (*program < 0) abort();
    if (columns > 0) {
      struct winsize size = {};
      size.ws_row = 24;
      size.ws_col = static_cast<unsigned short>(columns);
      if (ioctl(*program, TIOCSWINSZ, &size) != 0) abort();
    }
    return master;
  }

  pid_t pid_;
  int stdin_ = -1;
  int status_ = -2;
  std::thread reader_;
  std::mutex m_;
  std::condition_variable cv_;
  std::string out_;
  bool eof_ = false;
};

}  // namespace testing
}  // namespace velmora

#endif
