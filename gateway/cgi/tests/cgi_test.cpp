// dornix as the web server runs it: environment, body on standard input,
// answer on standard output, exit status, files under a scratch root.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>

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

TEST(Logs, LogThatIsNoFileAnswersWithTheResultPage) {
  ScratchRoot root;
  // A directory reports a size no buffer can hold (16), or, for a 32-bit
  // program on a 64-bit kernel (qemu-user), no size at all (22): either
  // way nothing is downloaded.
  ASSERT_EQ(0, system(("mkdir " + root.path("/var/log/messages")).c_str()));
  CgiResult r = RunDornix(root, post({{"get_log0", "1"}}));
  ASSERT_TRUE(r.status == 16 || r.status == 22) << r.status;
  EXPECT_EQ("upgrade result: fail[" + std::to_string(r.status) + "]\n", ResultLine(r.output));
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
  RunningDornix running(root, held);
  ASSERT_TRUE(wait_for(root, kSocket));
  running.kill();
  ASSERT_TRUE(root.exists(kSocket));  // left behind

  CgiResult next = RunDornix(root, post({{"get_log0", "1"}}));
  EXPECT_EQ(0, next.status);
  EXPECT_FALSE(root.exists(kSocket));
}

TEST(OneAtATime, MissingTmpDirectoryAnswersOne) {
  ScratchRoot root;
  ASSERT_EQ(0, system(("rm -rf " + root.path("/var/tmp")).c_str()));
  EXPECT_EQ(1, RunDornix(root, post({{"get_log0", "1"}})).status);
}

}  // namespace
