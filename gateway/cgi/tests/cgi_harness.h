// Runs the real dornix binary as a web server would: CGI environment, the
// body on standard input, a scratch root for every fixed path.
#ifndef DORNIX_CGI_TESTS_CGI_HARNESS_H
#define DORNIX_CGI_TESTS_CGI_HARNESS_H

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cgitest {

// A temporary directory tree standing for the gateway's file system, with
// var/tmp, var/log, dev/mtdblock and an LED notice file dev/led. Removed
// when the object goes.
class ScratchRoot {
 public:
  ScratchRoot();
  ~ScratchRoot();
  ScratchRoot(const ScratchRoot &) = delete;
  ScratchRoot &operator=(const ScratchRoot &) = delete;

  const std::string &dir() const { return dir_; }
  // Absolute path of a gateway path such as "/var/tmp/fw.bin".
  std::string path(const std::string &gatewayPath) const { return dir_ + gatewayPath; }
  void write(const std::string &gatewayPath, const std::string &data) const;
  std::string read(const std::string &gatewayPath) const;
  bool exists(const std::string &gatewayPath) const;

 private:
  std::string dir_;
};

struct CgiResult {
  int status = -1;       // exit status (255 for -1), or -1 when it did not exit
  std::string output;    // everything written to standard output
  long long ms = 0;      // from the start until the output closed
  bool overran = false;  // the output was still open at the time limit
};

// Body bytes made while they are sent: `size` bytes that repeat `pattern`,
// so that a body of gigabytes costs no memory.
struct BodyPiece {
  std::string pattern;
  uint64_t size;
};

struct CgiRequest {
  std::string method = "POST";
  std::string body;
  std::vector<BodyPiece> more;         // sent after `body`
  bool withContentLength = true;       // CONTENT_LENGTH = body size unless overridden
  std::string contentLength;           // explicit CONTENT_LENGTH text when not empty
  std::map<std::string, std::string> env;  // more variables
  long fileSizeLimit = 0;  // when set, no file dornix writes grows past it (a full RAM disk)
  // Clients that are not in a hurry: after `dripAfter` bytes, one byte every
  // `dripMs` milliseconds; nothing at all after `stallAt` bytes, with the
  // connection left open until dornix ends.
  int dripMs = 0;
  uint64_t dripAfter = 0;
  uint64_t stallAt = UINT64_MAX;

  uint64_t size() const;
};

// Runs dornix to its end on `root` and returns what it answered.
CgiResult RunDornix(const ScratchRoot &root, const CgiRequest &request);

// Starts one dornix for each request, all at once, feeds every body as
// fast as each process reads it (or at its client's pace) and returns the
// answers in order. When `limitMs` passes with an output still open,
// `atLimit` runs once; then a process still running is killed (status -1).
std::vector<CgiResult> RunDornixTogether(const ScratchRoot &root,
                                         const std::vector<CgiRequest> &requests,
                                         int limitMs = 240 * 1000,
                                         const std::function<void()> &atLimit = nullptr);

// A dornix process still running, for tests that hold a request open.
class RunningDornix {
 public:
  RunningDornix(const ScratchRoot &root, const CgiRequest &request);
  ~RunningDornix();
  // Writes more body bytes.
  void feed(const std::string &bytes);
  // Closes standard input and waits for the end.
  CgiResult finish();
  // True once the process has ended within `ms` milliseconds; it stays
  // unreaped for finish().
  bool endsWithin(int ms);
  // Kills the process (SIGKILL) and reaps it.
  void kill();
  // The client goes away: both pipes are closed. Returns the wait status
  // (as waitpid gives it).
  int hangUp();
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string output_;
};

// One part of a multipart/form-data body.
struct Part {
  Part(std::string n, std::string d, std::string file = "", std::string type = "")
      : name(std::move(n)), data(std::move(d)), filename(std::move(file)),
        contentType(std::move(type)) {}
  std::string name;
  std::string data;
  std::string filename;     // a file part when not empty
  std::string contentType;  // the part's Content-Type line, when not empty
};

// The body a browser sends: "--" + boundary lines, CR LF line ends, the
// closing boundary "--" + boundary + "--".
std::string MultipartBody(const std::vector<Part> &parts,
                          const std::string &boundary = "----DornixTestBoundary");

// The body part of a result page: "upgrade result: ...\n" when the response
// is a well-formed result page (header, line, 2000 CR LF pairs), else "".
std::string ResultLine(const std::string &output);

// How often `text` stands in the debug log `log`, counting the repeats
// the log writes as "last line repeated N times" after a line.
size_t CountInLog(const std::string &log, const std::string &text);

}  // namespace cgitest

#endif
