// dornix as the web server runs it: environment, body on standard input,
// answer on standard output, exit status, files under a scratch root.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "cgi_harness.h"

namespace {

using namespace cgitest;

const char kSocket[] = "/var/tmp/cm_fw.ctl";

CgiRequest post(const std::vector<Part> &parts) {
  CgiRequest r;
  r.body = MultipartBody(parts);
  return r;
}

std::string log_header(const char *file) {
  return std::string("Content-type: application/octet-stream bin;\n"
                     "Content-Disposition: attachment; filename=") + file + "\n\n";
}

TEST(Method, OnlyPostIsServed) {
  ScratchRoot root;
  CgiRequest get;
  get.method = "GET";
  CgiResult r = RunDornix(root, get);
  EXPECT_EQ(3, r.status);
  EXPECT_EQ("upgrade result: fail[3]\n", ResultLine(r.output));
  EXPECT_FALSE(root.exists(kSocket));

  CgiRequest none;
  none.method = "";
  EXPECT_EQ(3, RunDornix(root, none).status);

  CgiRequest lower = post({{"get_log0", "1"}});
  lower.method = "post";
  EXPECT_EQ(0, RunDornix(root, lower).status);
}

TEST(Dispatch, UnknownOrMissingNamesAnswerFour) {
  ScratchRoot root;
  for (const CgiRequest &req :
       {post({}), post({{"upgrade", "1"}, {"upgrade", "2"}}), post({{"Reboot", "1"}}),
        post({{"nothing", "x"}})}) {
    CgiResult r = RunDornix(root, req);
    EXPECT_EQ(4, r.status);
    EXPECT_EQ("upgrade result: fail[4]\n", ResultLine(r.output));
  }
  CgiRequest boundary_only;
  boundary_only.body = "------DornixTestBoundary\r\n";
  EXPECT_EQ(4, RunDornix(root, boundary_only).status);
  EXPECT_FALSE(root.exists(kSocket));
}

TEST(Dispatch, OnlyTheFirstPartNotNamedUpgradeDecides) {
  ScratchRoot root;
  // "config" decides; the upload after it is never read.
  CgiResult r = RunDornix(root, post({{"upgrade", "1"},
                                      {"config", "1"},
                                      {"UploadFile", "data", "fw.img", "application/octet-stream"}}));
  EXPECT_EQ(19, r.status);  // no stored configuration
  EXPECT_EQ("upgrade result: fail[19]\n", ResultLine(r.output));
  EXPECT_FALSE(root.exists("/var/tmp/fw.pkg"));
}

TEST(Dispatch, OtherLogNamesAnswerMinusOne) {
  ScratchRoot root;
  CgiResult r = RunDornix(root, post({{"get_log2", "1"}}));
  EXPECT_EQ(255, r.status);
  EXPECT_EQ("upgrade result: fail[-1]\n", ResultLine(r.output));
}

TEST(Reboot, ImageButtonRestartsAfterFourSecondsWithoutAnswer) {
  ScratchRoot root;
  auto start = std::chrono::steady_clock::now();
  CgiResult r = RunDornix(root, post({{"reboot.x", "12"}, {"reboot.y", "7"}}));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::seconds(4));
  EXPECT_EQ(255, r.status);  // the restart call returned (recorded, not performed)
  EXPECT_EQ("", r.output);
  EXPECT_EQ(0u, root.read("/var/tmp/restart-requested").rfind("restart 01234567 ", 0));
  EXPECT_NE(std::string::npos,
            root.read("/var/tmp/log.txt").find("main: variable name: reboot.x: reboot\n"));
  EXPECT_FALSE(root.exists(kSocket));
}

TEST(Logs, DownloadsMissingEmptyAndSmallLogs) {
  ScratchRoot root;
  CgiResult missing = RunDornix(root, post({{"get_log1", "1"}}));
  EXPECT_EQ(0, missing.status);
  EXPECT_EQ(log_header("firewall_log.txt"), missing.output);

  root.write("/var/log/messages", "");
  CgiResult empty = RunDornix(root, post({{"get_log0", "1"}}));
  EXPECT_EQ(0, empty.status);
  EXPECT_EQ(log_header("system_log.txt"), empty.output);

  root.write("/var/log/messages", std::string("0123\0\r\n789", 10));
  CgiResult ten = RunDornix(root, post({{"get_log0", "1"}}));
  EXPECT_EQ(0, ten.status);
  EXPECT_EQ(log_header("system_log.txt") + std::string("0123\0\r\n789", 10), ten.output);

  root.write("/var/log/firewalling", "fw line\n");
  EXPECT_EQ(log_header("firewall_log.txt") + "fw line\n",
            RunDornix(root, post({{"get_log1", "1"}})).output);
  EXPECT_FALSE(root.exists(kSocket));
}

// A log that is no file has no size to hold: never an empty success.
TEST(Logs, LogThatIsNoFileAnswersWithTheResultPage) {
  ScratchRoot root;
  const std::string log = root.path("/var/log/messages");
  for (const std::string &make : {"mkdir " + log, "mkfifo " + log, "ln -s /dev/null " + log}) {
    ASSERT_EQ(0, system(("rm -rf " + log + " && " + make).c_str()));
    CgiResult r = RunDornix(root, post({{"get_log0", "1"}}));
    EXPECT_EQ(22, r.status) << make;
    EXPECT_EQ("upgrade result: fail[22]\n", ResultLine(r.output)) << make;
  }
}

TEST(Log, UnopenableDebugLogAnswersOneAndClaimsNoSocket) {
  ScratchRoot root;
  ASSERT_EQ(0, system(("mkdir " + root.path("/var/tmp/log.txt")).c_str()));
  CgiResult r = RunDornix(root, post({{"get_log0", "1"}}));
  EXPECT_EQ(1, r.status);
  EXPECT_EQ("upgrade result: fail[1]\n", ResultLine(r.output));
  EXPECT_FALSE(root.exists(kSocket));
}

TEST(Log, DebugLogGrowsAcrossRequests) {
  ScratchRoot root;
  RunDornix(root, post({{"upgrade", "1"}, {"what", "1"}}));
  RunDornix(root, post({{"get_log2", "1"}}));
  std::string log = root.read("/var/tmp/log.txt");
  size_t a = log.find("main: variable name: upgrade: upgrade\n");
  size_t b = log.find("get_var_name_from_post: Ignoring '1\r\n'.\n");
  size_t c = log.find("main: variable name: what: what\n");
  size_t d = log.find("main: variable name: get_log2: get_log2\n");
  EXPECT_TRUE(a < b && b < c && c < d && d != std::string::npos) << log;
  // Every entry carries its time and the pid of its request: two requests,
  // two pids.
  std::set<long> pids;
  for (size_t at = 0, nl; (nl = log.find('\n', at)) != std::string::npos; at = nl + 1) {
    std::string line = log.substr(at, nl - at);
    if (line.find("main: ") == std::string::npos) continue;
    int y, mo, day, h, mi, s, used = 0;
    long pid = 0;
    ASSERT_EQ(sscanf(line.c_str(), "%4d-%2d-%2d %2d:%2d:%2d [%ld] %n", &y, &mo, &day, &h, &mi, &s, &pid, &used), 7)
        << line;
    EXPECT_EQ(line.compare(used, 6, "main: "), 0) << line;
    pids.insert(pid);
  }
  EXPECT_EQ(pids.size(), 2u) << log;
}

// Whatever a refused request sends, the log grows by a bounded amount:
// distinct lines up to the request's share, equal lines counted; a full
// log moves aside to one older generation.
TEST(Log, RefusedRequestsAddABoundedAmountAndAFullLogMovesAside) {
  ScratchRoot root;
  CgiRequest distinct;  // 4 MB of lines without a part name: answered 4
  for (int i = 0; distinct.body.size() < 4000000; ++i)
    distinct.body += std::to_string(i) + std::string(900, 'x') + "\r\n";
  CgiRequest same;
  same.body = "--B\r\n" + std::string(2000000, '\n');
  for (const CgiRequest &r : {distinct, same}) {
    unlink(root.path("/var/tmp/log.txt").c_str());
    EXPECT_EQ(4, RunDornix(root, r).status);
    const std::string log = root.read("/var/tmp/log.txt");
    EXPECT_LE(log.size(), 16384u);
    EXPECT_NE(log.find("main: variable name: : \n"), std::string::npos) << log.substr(log.size() - 300);
  }
  EXPECT_NE(root.read("/var/tmp/log.txt").find("last line repeated 1999999 times\n"), std::string::npos);
  unlink(root.path("/var/tmp/log.txt").c_str());
  RunDornix(root, distinct);
  EXPECT_NE(root.read("/var/tmp/log.txt").find(" more lines ("), std::string::npos);

  const std::string full(65536, 'f');
  root.write("/var/tmp/log.txt", full);
  RunDornix(root, post({{"get_log2", "1"}}));
  EXPECT_TRUE(root.read("/var/tmp/log.txt.0") == full);
  EXPECT_LT(root.read("/var/tmp/log.txt").find("main: variable name: get_log2"), 64u);
}

// Whatever stands at the log's paths, a request is answered, writes
// nothing outside /var/tmp, and leaves the log and its older generation
// within their bounds: a link at log.txt was once written through, a FIFO
// there held every request for good, a folder at log.txt.0 let the log grow
// without end, and a log of a gigabyte moved aside kept the RAM disk full.
TEST(Log, WhateverStandsAtItsPathsItStaysBounded) {
  const off_t kBound = 65536 + 16384;
  const struct {
    const char *what;
    const char *shell;  // run in the scratch root's var/tmp
  } cases[] = {
      {"a link to a file outside /var/tmp", "ln -s ../../outside log.txt"},
      {"a FIFO that no one reads", "mkfifo log.txt"},
      {"a full log, and a folder at log.txt.0",
       "head -c 81900 /dev/zero | tr '\\0' x > log.txt && mkdir -p log.txt.0/d"},
      {"a log of a gigabyte", "truncate -s 1G log.txt"},
      {"an older generation of a gigabyte", "truncate -s 1G log.txt.0"},
  };
  for (const auto &c : cases) {
    ScratchRoot root;
    root.write("/outside", "outside\n");
    ASSERT_EQ(0, system(("cd " + root.path("/var/tmp") + " && " + c.shell).c_str())) << c.what;
    RunningDornix running(root, post({{"get_log2", "1"}}));
    if (!running.endsWithin(20000)) {
      ADD_FAILURE() << c.what << ": no answer";
      continue;
    }
    EXPECT_EQ(255, running.finish().status) << c.what;
    EXPECT_EQ("outside\n", root.read("/outside")) << c.what;
    struct stat st;
    ASSERT_EQ(0, lstat(root.path("/var/tmp/log.txt").c_str(), &st)) << c.what;
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_size < kBound) << c.what << ": " << st.st_size;
    EXPECT_NE(std::string::npos, root.read("/var/tmp/log.txt").find("get_log2")) << c.what;
    if (lstat(root.path("/var/tmp/log.txt.0").c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      EXPECT_LE(st.st_size, kBound) << c.what << ": log.txt.0";
    }
  }
}

TEST(Notices, EndOfInputIsReportedToTheKernelChannel) {
  ScratchRoot root;
  CgiRequest cut;
  cut.body = "--B\r\nContent-Disposition: form-data; name=\"upgrade\"\r\n";  // no end
  EXPECT_EQ(4, RunDornix(root, cut).status);
  EXPECT_EQ("get line from post eof\n", root.read("/dev/led"));
}

// Polls until dornix has claimed its socket (it does so before reading).
bool wait_for(const ScratchRoot &root, const char *path) {
  for (int i = 0; i < 500; ++i) {
    if (root.exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(OneAtATime, SecondRequestAnswersTwoWhileTheFirstRuns) {
  ScratchRoot root;
  CgiRequest first = post({{"get_log0", "1"}});
  std::string body = first.body;
  first.body = body.substr(0, 10);  // the boundary line, not yet ended
  first.contentLength = std::to_string(body.size());
  RunningDornix running(root, first);
  ASSERT_TRUE(wait_for(root, kSocket));

  CgiResult second = RunDornix(root, post({{"get_log0", "1"}}));
  EXPECT_EQ(2, second.status);
  EXPECT_EQ("upgrade result: fail[2]\n", ResultLine(second.output));
  EXPECT_TRUE(root.exists(kSocket));  // the first one's file is left alone

  running.feed(body.substr(10));
  CgiResult done = running.finish();
  EXPECT_EQ(0, done.status);
  EXPECT_FALSE(root.exists(kSocket));
}

TEST(OneAtATime, SocketFileOfAKilledRequestDoesNotBlock) {
  ScratchRoot root;
  CgiRequest held = post({{"get_log0", "1"}});
  held.body = "--";
  held.contentLength = "1000";
  RunningDornix running(root, held);
  ASSERT_TRUE(wait_for(root, kSocket));
  running.kill();
  ASSERT_TRUE(root.exists(kSocket));  // left behind

  CgiResult next = RunDornix(root, post({{"get_log0", "1"}}));
  EXPECT_EQ(0, next.status);
  EXPECT_FALSE(root.exists(kSocket));
}

// True once `pid` has ended (a zombie not yet reaped), or is gone.
bool ended(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
  FILE *f = fopen(path, "r");
  if (f == nullptr) return true;
  char line[512] = "";
  bool zombie = fgets(line, sizeof line, f) != nullptr && strstr(line, ") Z ") != nullptr;
  fclose(f);
  return zombie;
}

// Ten requests start together on a socket file left by a crash: exactly
// one is served, every time. Two that both judged the file left over once
// removed each other's socket and ran side by side.
TEST(OneAtATime, RequestsRacingForALeftOverSocketFileServeOne) {
  ScratchRoot root;
  const auto stop = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  int trials = 0;
  for (; trials < 10 && std::chrono::steady_clock::now() < stop; ++trials) {
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", root.path(kSocket).c_str());
    ASSERT_EQ(0, bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa));
    close(s);  // the file stays: what a crashed request leaves

    CgiRequest held = post({{"get_log0", "1"}});
    held.body = "--";  // every one that is served waits for the rest
    held.contentLength = "1000";
    // Between judging the file and removing it, long enough for all ten
    // to start while the first one is there.
    held.env["DORNIX_TEST_STALE_PAUSE_MS"] = "150";
    std::vector<std::unique_ptr<RunningDornix>> all;
    for (int i = 0; i < 10; ++i) all.emplace_back(new RunningDornix(root, held));
    // Wait until all but one have answered (or long enough to see two).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (;;) {
      int done = 0;
      for (auto &d : all) done += ended(d->pid()) ? 1 : 0;
      if (done >= 9 || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    int served = 0;
    for (auto &d : all) served += d->finish().status != 2 ? 1 : 0;
    ASSERT_EQ(1, served) << "in trial " << trials + 1;
    ASSERT_FALSE(root.exists(kSocket));
  }
  EXPECT_GE(trials, 5);
}

TEST(OneAtATime, MissingTmpDirectoryAnswersOne) {
  ScratchRoot root;
  ASSERT_EQ(0, system(("rm -rf " + root.path("/var/tmp")).c_str()));
  EXPECT_EQ(1, RunDornix(root, post({{"get_log0", "1"}})).status);
}

}  // namespace
