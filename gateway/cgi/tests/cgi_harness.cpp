#include "cgi_harness.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef DORNIX_BINARY
#error "DORNIX_BINARY must name the dornix binary under test"
#endif
#ifndef DORNIX_EMULATOR
#define DORNIX_EMULATOR ""
#endif

namespace cgitest {

namespace {

void run(const std::string &command) {
  if (system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

// argv for the binary, behind the emulator's words when there is one.
std::vector<std::string> command_line() {
  std::vector<std::string> words;
  std::istringstream emulator(DORNIX_EMULATOR);
  for (std::string w; emulator >> w;) words.push_back(w);
  words.push_back(DORNIX_BINARY);
  return words;
}

pid_t spawn(const ScratchRoot &root, const CgiRequest &request, int *in, int *out) {
  int to_child[2], from_child[2];
  // Close-on-exec: a dornix started while others run must not hold their
  // pipes open.
  if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  std::vector<std::string> env = {"DORNIX_ROOT=" + root.dir(), "PATH=/usr/bin:/bin",
                                  "GATEWAY_INTERFACE=CGI/1.1"};
  // Sanitizer builds: a failed allocation is a path under test, not an abort.
  env.push_back("ASAN_OPTIONS=allocator_may_return_null=1");
  if (!request.method.empty()) env.push_back("REQUEST_METHOD=" + request.method);
  if (!request.contentLength.empty())
    env.push_back("CONTENT_LENGTH=" + request.contentLength);
  else if (request.withContentLength)
    env.push_back("CONTENT_LENGTH=" + std::to_string(request.size()));
  for (const auto &kv : request.env) env.push_back(kv.first + "=" + kv.second);
  std::vector<std::string> args = command_line();

  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    if (request.fileSizeLimit > 0) {
      // Writes past the limit fail (EFBIG) instead of ending the process.
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {(rlim_t)request.fileSizeLimit, (rlim_t)request.fileSizeLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    dup2(to_child[0], 0);
    dup2(from_child[1], 1);
    close(to_child[0]);
    close(to_child[1]);
    close(from_child[0]);
    close(from_child[1]);
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    for (auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(to_child[0]);
  close(from_child[1]);
  *in = to_child[1];
  *out = from_child[0];
  return pid;
}

void write_all(int fd, const std::string &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;  // the CGI stopped reading: that is its right
    done += (size_t)n;
  }
}

std::string read_all(int fd) {
  std::string out;
  char buf[65536];
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) out.append(buf, (size_t)n);
  return out;
}

int wait_status(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct IgnoreSigpipe {
  IgnoreSigpipe() { signal(SIGPIPE, SIG_IGN); }
} ignore_sigpipe;

using Clock = std::chrono::steady_clock;

// Where a request's body stands while it is sent: `body`, then the pieces,
// at the pace of its client.
class BodyCursor {
 public:
  explicit BodyCursor(const CgiRequest &r) : r_(r), total_(r.size()) {}
  bool done() const { return sent_ >= total_; }
  void finish() { sent_ = total_; }
  // How many bytes may go now (0: none yet; *wake says when to look again).
  size_t allowed(Clock::time_point now, Clock::time_point *wake) const {
    const uint64_t stop = std::min(total_, r_.stallAt);
    if (sent_ >= stop) return 0;
    uint64_t n = stop - sent_;
    if (r_.dripMs > 0 && sent_ >= r_.dripAfter) {
      if (now < next_drip_) {
        *wake = std::min(*wake, next_drip_);
        return 0;
      }
      n = 1;
    } else if (r_.dripMs > 0) {
      n = std::min(n, r_.dripAfter - sent_);
    }
    return (size_t)std::min<uint64_t>(n, 65536);
  }
  // Up to `room` bytes from the current position.
  const char *next(size_t room, size_t *n) {
    if (sent_ < r_.body.size()) {
      *n = (size_t)std::min<uint64_t>(room, r_.body.size() - sent_);
      return r_.body.data() + sent_;
    }
    uint64_t at = sent_ - r_.body.size();
    size_t i = 0;
    while (at >= r_.more[i].size) at -= r_.more[i++].size;
    const BodyPiece &piece = r_.more[i];
    *n = (size_t)std::min<uint64_t>(room, piece.size - at);
    if (piece.pattern.size() >= piece.size) return piece.pattern.data() + at;
    // The pattern repeated past one write's worth, so any stretch is in one run.
    if (windows_.size() <= i) windows_.resize(i + 1);
    std::string &window = windows_[i];
    while (window.size() < 65536 + piece.pattern.size()) window += piece.pattern;
    return window.data() + at % piece.pattern.size();
  }
  void advance(size_t n, Clock::time_point now) {
    sent_ += n;
    if (r_.dripMs > 0 && sent_ > r_.dripAfter) next_drip_ = now + std::chrono::milliseconds(r_.dripMs);
  }

 private:
  const CgiRequest &r_;
  const uint64_t total_;
  uint64_t sent_ = 0;
  Clock::time_point next_drip_;
  std::vector<std::string> windows_;
};

}  // namespace

uint64_t CgiRequest::size() const {
  uint64_t n = body.size();
  for (const BodyPiece &p : more) n += p.size;
  return n;
}

ScratchRoot::ScratchRoot() {
  char tmpl[] = "/tmp/dornix-root.XXXXXX";
  if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = tmpl;
  run("mkdir -p " + dir_ + "/var/tmp " + dir_ + "/var/log " + dir_ + "/dev/mtdblock");
  write("/dev/led", "");
}

ScratchRoot::~ScratchRoot() {
  if (system(("rm -rf " + dir_).c_str()) != 0) {
    // Left for the next look; /tmp is cleaned eventually.
  }
}

void ScratchRoot::write(const std::string &gatewayPath, const std::string &data) const {
  std::ofstream f(path(gatewayPath), std::ios::binary | std::ios::trunc);
  f.write(data.data(), (std::streamsize)data.size());
  if (!f) throw std::runtime_error("cannot write " + path(gatewayPath));
}

std::string ScratchRoot::read(const std::string &gatewayPath) const {
  std::ifstream f(path(gatewayPath), std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool ScratchRoot::exists(const std::string &gatewayPath) const {
  struct stat st;
  return lstat(path(gatewayPath).c_str(), &st) == 0;
}

CgiResult RunDornix(const ScratchRoot &root, const CgiRequest &request) {
  return RunDornixTogether(root, {request})[0];
}

// Every process is started from this one thread and then fed and drained
// by one poll loop: under qemu-user, a fork while other threads run can
// deadlock the emulator.
std::vector<CgiResult> RunDornixTogether(const ScratchRoot &root,
                                         const std::vector<CgiRequest> &requests, int limitMs,
                                         const std::function<void()> &atLimit) {
  struct Run {
    pid_t pid;
    int in, out;
    BodyCursor body;
  };
  const auto start = Clock::now();
  std::vector<Run> runs;
  for (const CgiRequest &r : requests) {
    Run run{-1, -1, -1, BodyCursor(r)};
    run.pid = spawn(root, r, &run.in, &run.out);
    fcntl(run.in, F_SETFL, O_NONBLOCK);
    runs.push_back(run);
  }
  std::vector<CgiResult> results(requests.size());
  const auto deadline = start + std::chrono::milliseconds(limitMs);
  for (;;) {
    const auto now = Clock::now();
    auto wake = now + std::chrono::seconds(1);
    std::vector<pollfd> fds;
    std::vector<std::pair<size_t, bool>> owner;  // request, is its output
    for (size_t i = 0; i < runs.size(); ++i) {
      Run &run = runs[i];
      if (run.out < 0) continue;
      if (run.in >= 0 && run.body.done()) {
        close(run.in);
        run.in = -1;
      }
      if (run.in >= 0 && run.body.allowed(now, &wake) > 0) {
        fds.push_back({run.in, POLLOUT, 0});
        owner.push_back({i, false});
      }
      fds.push_back({run.out, POLLIN, 0});
      owner.push_back({i, true});
    }
    if (fds.empty() || now >= deadline) break;
    const auto until = std::min(wake, deadline);
    const int wait_ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
    if (poll(fds.data(), fds.size(), std::max(wait_ms, 1)) < 0) continue;
    for (size_t k = 0; k < fds.size(); ++k) {
      if (fds[k].revents == 0) continue;
      Run &run = runs[owner[k].first];
      if (owner[k].second) {
        char buf[65536];
        ssize_t n = read(run.out, buf, sizeof buf);
        if (n > 0) {
          results[owner[k].first].output.append(buf, (size_t)n);
        } else if (n == 0 || errno != EINTR) {
          close(run.out);
          run.out = -1;
          results[owner[k].first].ms =
              std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
          if (run.in >= 0) close(run.in);  // a stalled client hangs up now
          run.in = -1;
        }
      } else if (run.in >= 0) {
        const auto when = Clock::now();
        size_t room = run.body.allowed(when, &wake), n = 0;
        const char *bytes = room > 0 ? run.body.next(room, &n) : nullptr;
        ssize_t put = n > 0 ? write(run.in, bytes, n) : 0;
        if (put > 0) {
          run.body.advance((size_t)put, when);
        } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
          run.body.finish();  // the CGI stopped reading: that is its right
        }
      }
    }
  }
  bool told = false;
  for (size_t i = 0; i < runs.size(); ++i) {
    // Past the limit: a hang, or an output that something else holds open.
    results[i].overran = runs[i].out >= 0;
    if (results[i].overran && !told && atLimit) {
      told = true;
      atLimit();
    }
    int status = 0;
    const bool ended = !results[i].overran || waitpid(runs[i].pid, &status, WNOHANG) == runs[i].pid;
    if (!ended) ::kill(runs[i].pid, SIGKILL);
    if (runs[i].in >= 0) close(runs[i].in);
    if (runs[i].out >= 0) close(runs[i].out);
    if (results[i].overran) {
      results[i].ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      if (ended) {
        results[i].status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      } else {
        wait_status(runs[i].pid);
        results[i].status = -1;
      }
    } else {
      results[i].status = wait_status(runs[i].pid);
    }
  }
  return results;
}

RunningDornix::RunningDornix(const ScratchRoot &root, const CgiRequest &request) {
  pid_ = spawn(root, request, &in_, &out_);
  feed(request.body);
}

RunningDornix::~RunningDornix() {
  if (pid_ > 0) kill();
}

void RunningDornix::feed(const std::string &bytes) { write_all(in_, bytes); }

CgiResult RunningDornix::finish() {
  close(in_);
  in_ = -1;
  CgiResult result;
  result.output = read_all(out_);
  close(out_);
  out_ = -1;
  result.status = wait_status(pid_);
  pid_ = -1;
  return result;
}

bool RunningDornix::endsWithin(int ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    siginfo_t info{};
    if (waitid(P_PID, (id_t)pid_, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void RunningDornix::kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  wait_status(pid_);
  pid_ = -1;
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
  in_ = out_ = -1;
}

int RunningDornix::hangUp() {
  close(in_);
  close(out_);
  in_ = out_ = -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

std::string MultipartBody(const std::vector<Part> &parts, const std::string &boundary) {
  std::string body;
  for (const Part &p : parts) {
    body += "--" + boundary + "\r\n";
    body += "Content-Disposition: form-data; name=\"" + p.name + "\"";
    if (!p.filename.empty()) body += "; filename=\"" + p.filename + "\"";
    body += "\r\n";
    if (!p.contentType.empty()) body += "Content-Type: " + p.contentType + "\r\n";
    body += "\r\n" + p.data + "\r\n";
  }
  body += "--" + boundary + "--\r\n";
  return body;
}

std::string ResultLine(const std::string &output) {
  static const std::string kType = "Content-type: text/html; charset=iso-8859-1\n";
  if (output.compare(0, kType.size(), kType) != 0) return "";
  size_t start = kType.size();
  // A gateway that checked a signature says so in one more header line.
  if (output.compare(start, 20, "X-Dornix-Signature: ") == 0) start = output.find('\n', start) + 1;
  if (start == 0 || output.compare(start, 1, "\n") != 0) return "";
  ++start;
  size_t eol = output.find('\n', start);
  if (eol == std::string::npos) return "";
  std::string tail = output.substr(eol + 1);
  std::string expected;
  for (int i = 0; i < 2000; ++i) expected += "\r\n";
  if (tail != expected) return "";
  return output.substr(start, eol + 1 - start);
}

size_t CountInLog(const std::string &log, const std::string &text) {
  static const std::string kRepeated = "] last line repeated ";
  size_t n = 0;
  for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) {
    ++n;
    // The repeat count, when it is the next line after this one's end.
    size_t end = log.find('\n', at + text.size() - 1);
    while (end != std::string::npos && end + 1 < log.size() && log[end + 1] == '\n') ++end;
    size_t next = end == std::string::npos ? end : log.find('\n', end + 1);
    size_t mark = end == std::string::npos ? end : log.find(kRepeated, end);
    if (mark != std::string::npos && mark < next) n += strtoul(log.c_str() + mark + kRepeated.size(), nullptr, 10);
  }
  return n;
}

}  // namespace cgitest
