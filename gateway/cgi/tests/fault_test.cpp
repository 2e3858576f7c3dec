// dornix under faults: storage that fails or lies, bodies that stop short,
// clients and CGI processes that go away, leftovers of earlier requests.
// Each case ends with its result code, and nothing is written where
// nothing should be.
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "cgi_harness.h"
#include "fixtures.h"

namespace {

using namespace cgitest;

const char kFs[] = "/dev/mtdblock/0";
const char kKernel[] = "/dev/mtdblock/1";
const char kConfig[] = "/dev/mtdblock/4";
const char kSocket[] = "/var/tmp/cm_fw.ctl";
const char kOld[] = "old partition content";
const std::string kBoundary = "----FaultBoundary";

using fixtures::Image;
using fixtures::Word;

const uint32_t kSquashfs = GWC_MAGIC_SQUASHFS, kKernelMagic = GWC_MAGIC_KERNEL;

CgiRequest upload(const std::string &file) {
  CgiRequest r;
  r.body = MultipartBody({Part("upgrade", "1"), Part("UploadFile", file, "fw.img",
                                                     "application/octet-stream")},
                         kBoundary);
  return r;
}

std::string page(int code) {
  return std::string("upgrade result: ") + (code == 0 ? "ok" : "fail") + "[" +
         std::to_string(code) + "]\n";
}

class Fault : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *p : {kFs, kKernel, kConfig}) root_.write(p, kOld);
  }
  void expect(const CgiRequest &request, int code, const std::string &what = "") {
    CgiResult r = RunDornix(root_, request);
    EXPECT_EQ(ResultLine(r.output), page(code)) << what;
    EXPECT_EQ(r.status, code & 0xFF) << what;
    EXPECT_FALSE(root_.exists(kSocket)) << what;
  }
  void expect_untouched(const std::string &what = "") {
    for (const char *p : {kFs, kKernel, kConfig})
      EXPECT_TRUE(root_.read(p) == kOld) << p << " was written: " << what;
  }
  void link(const char *path, const char *target) {
    unlink(root_.path(path).c_str());
    ASSERT_EQ(symlink(target, root_.path(path).c_str()), 0);
  }
  void restore(const char *partition) {
    unlink(root_.path(partition).c_str());
    root_.write(partition, kOld);
  }
  bool wait_for(const char *path) {
    for (int i = 0; i < 1000; ++i) {
      if (root_.exists(path)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  std::string log() { return root_.read("/var/tmp/log.txt"); }

  ScratchRoot root_;
};

// The upload file is made new: a link planted at its path is removed, not
// written through, and a RAM disk that cannot take it answers 8.
TEST_F(Fault, TemporaryFileThatCannotBeWritten) {
  root_.write("/outside", "outside /var/tmp");
  link("/var/tmp/fw.pkg", root_.path("/outside").c_str());
  const std::string img = Image(kSquashfs, 700000, 1);
  expect(upload(img), 0);
  EXPECT_EQ(root_.read("/outside"), "outside /var/tmp");
  EXPECT_TRUE(root_.read(kFs) == img.substr(0, img.size() - 8));
  restore(kFs);
  struct stat st;
  ASSERT_EQ(stat(root_.path("/var/tmp/fw.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  unlink(root_.path("/var/tmp/fw.bin").c_str());

  for (const std::string &file : {img, "<config><a>1</a></config>" + std::string(700000, '\n')}) {
    link("/var/tmp/fw.pkg", root_.path("/outside").c_str());
    CgiRequest full = upload(file);
    full.fileSizeLimit = 300000;
    expect(full, 8);
    EXPECT_FALSE(root_.exists("/var/tmp/fw.pkg"));
    EXPECT_NE(log().find("prepare_firmware_upgrade: write to /var/tmp/fw.pkg failed."), std::string::npos);
    EXPECT_FALSE(root_.exists("/var/tmp/fw.bin"));
    EXPECT_EQ(root_.read("/outside"), "outside /var/tmp");
    expect_untouched();
  }
}

TEST_F(Fault, CombinedWriteThatOnePartitionLosesIsFoundByTheReadBack) {
  const std::string img = Image(kKernelMagic, 0xA0000 + 200008, 2);
  // The kernel partition takes every write and reads back zeros.
  link(kKernel, "/dev/zero");
  expect(upload(img), 11, "kernel reads back wrong");
  EXPECT_TRUE(root_.read(kFs) == img.substr(0xA0000, 200000));
  restore(kKernel);
  restore(kFs);

  // The file system partition refuses every write.
  link(kFs, "/dev/full");
  expect(upload(img), 11, "file system cannot be written");
  EXPECT_TRUE(root_.read(kKernel) == img.substr(0, 0xA0000));
  EXPECT_EQ(root_.read(kConfig), kOld);
  std::string l = log();
  EXPECT_EQ(CountInLog(l, "try it again"), 4u);  // two for each request: three passes each
}

// A body cut at each place where the reader changes what it looks for.
TEST_F(Fault, BodyCutShort) {
  const std::string img = Image(kSquashfs, 700000, 3);
  const std::string body = upload(img).body;
  const size_t part = body.find("name=\"UploadFile\"");
  const size_t type = body.find("Content-Type:", part);
  const size_t data = body.find("\r\n\r\n", type) + 4;
  const size_t end = data + img.size();  // the CR LF in front of the closing boundary
  ASSERT_EQ(body.substr(end, 4 + kBoundary.size()), "\r\n--" + kBoundary);
  struct Cut {
    const char *where;
    size_t at;
    int code;
  } cuts[] = {
      {"inside the first boundary line", 7, 4},
      {"in the header of the first part", 2 + kBoundary.size() + 2 + 10, 4},
      {"inside the file part's name", part + 10, 4},
      {"in the Content-Type line", type + 20, 6},
      {"before the empty line ending the part header", data - 2, 6},
      {"right after the part header", data, 6},
      {"inside the data", data + 300000, 6},
      {"inside the tag", end - 3, 6},
      {"right before the line end in front of the boundary", end, 6},
      {"right before the closing boundary", end + 2, 6},
      {"inside the closing boundary line", end + 8, 6},
      {"before the closing boundary's dashes", end + 4 + kBoundary.size(), 0},
  };
  for (const Cut &cut : cuts) {
    for (const char *p : {kFs, kKernel, kConfig}) root_.write(p, kOld);
    CgiRequest r;
    r.body = body.substr(0, cut.at);
    r.contentLength = std::to_string(body.size());
    expect(r, cut.code, cut.where);
    if (cut.code == 0) {
      EXPECT_TRUE(root_.read(kFs) == img.substr(0, img.size() - 8)) << cut.where;
      EXPECT_EQ(root_.read(kKernel), kOld) << cut.where;
      EXPECT_EQ(root_.read(kConfig), kOld) << cut.where;
    } else {
      expect_untouched(cut.where);
    }
  }
  // A configuration file carries no tag to tell: cut anywhere, it is refused.
  for (const char *p : {kFs, kKernel, kConfig}) root_.write(p, kOld);
  const std::string config = "<config><a>1</a></config>" + std::string(700000, '\n');
  const std::string config_body = upload(config).body;
  const size_t config_end = config_body.find("\r\n--" + kBoundary + "--");
  for (size_t at : {config_end - 350000, config_end, config_end + 2}) {
    CgiRequest r;
    r.body = config_body.substr(0, at);
    r.contentLength = std::to_string(config_body.size());
    expect(r, 6, "configuration cut at " + std::to_string(at));
    expect_untouched();
  }
}

TEST_F(Fault, ClientGoneMidBody) {
  const std::string img = Image(kSquashfs, 900000, 4);
  const std::string body = upload(img).body;
  {
    // The web server closes the body early; dornix sees its end.
    CgiRequest r;
    r.contentLength = std::to_string(body.size());
    RunningDornix running(root_, r);
    running.feed(body.substr(0, 400000));
    CgiResult result = running.finish();
    EXPECT_EQ(result.status, 6);
    EXPECT_EQ(ResultLine(result.output), page(6));
  }
  expect_untouched();
  EXPECT_FALSE(root_.exists(kSocket));
  {
    // The client hangs up on both ends: no one reads the answer.
    CgiRequest r;
    r.contentLength = std::to_string(body.size());
    RunningDornix running(root_, r);
    running.feed(body.substr(0, 400000));
    int status = running.hangUp();
    EXPECT_TRUE(WIFSIGNALED(status) ? WTERMSIG(status) == SIGPIPE : WEXITSTATUS(status) == 6);
  }
  expect_untouched();
  EXPECT_FALSE(root_.exists(kSocket));
  // The next request is served.
  expect(upload(img), 0);
  EXPECT_TRUE(root_.read(kFs) == img.substr(0, img.size() - 8));
}

// A client that goes silent with its connection open, or that drips its
// body a byte at a time: the request ends on its own after the idle limit
// or the request's deadline (both shortened here), and the next is served.
TEST_F(Fault, SilentOrDrippingClientDoesNotHoldTheEndpoint) {
  const std::string img = Image(kSquashfs, 800000, 10);
  const std::string body = upload(img).body;
  const size_t head = body.find("\r\n\r\n", body.find("UploadFile")) + 4 + 1000;
  for (bool drip : {false, true}) {
    root_.write(kFs, kOld);
    CgiRequest r;
    r.contentLength = std::to_string(body.size());
    r.env["DORNIX_IDLE_LIMIT_MS"] = "500";
    r.env["DORNIX_REQUEST_LIMIT_MS"] = "2500";
    RunningDornix running(root_, r);
    running.feed(body.substr(0, head));
    ASSERT_TRUE(wait_for(kSocket));
    const auto start = std::chrono::steady_clock::now();
    for (size_t at = head; root_.exists(kSocket) && std::chrono::steady_clock::now() - start < std::chrono::seconds(20); ++at) {
      if (drip) running.feed(body.substr(at, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_FALSE(root_.exists(kSocket)) << "still holding the endpoint; drip " << drip;
    expect(upload(img), 0);  // while the first client is still connected
    CgiResult first = running.finish();
    EXPECT_EQ(first.status, 6);
    EXPECT_EQ(ResultLine(first.output), page(6));
    EXPECT_FALSE(root_.exists("/var/tmp/fw.pkg"));
    EXPECT_TRUE(root_.read(kFs) == img.substr(0, img.size() - 8));
  }
  // A client that never reads its download goes the same way.
  restore(kFs);
  root_.write("/var/log/messages", std::string(4 << 20, 'm'));
  CgiRequest download;
  download.body = MultipartBody({Part("get_log0", "1")}, kBoundary);
  download.env["DORNIX_IDLE_LIMIT_MS"] = "500";
  RunningDornix reader(root_, download);
  if (reader.endsWithin(10000)) {
    EXPECT_FALSE(root_.exists(kSocket));
  } else {
    ADD_FAILURE() << "a download that no one takes holds the endpoint";
    reader.kill();
  }
  expect(upload(img), 0);
}

TEST_F(Fault, KilledWhileReceivingThenTheNextUploadWorks) {
  const std::string first = Image(kSquashfs, 2000000, 5);
  const std::string body = upload(first).body;
  CgiRequest r;
  r.contentLength = std::to_string(body.size());
  RunningDornix running(root_, r);
  running.feed(body.substr(0, 1000000));
  ASSERT_TRUE(wait_for(kSocket));
  running.kill();
  EXPECT_TRUE(root_.exists(kSocket));  // left behind
  EXPECT_TRUE(root_.exists("/var/tmp/fw.pkg"));
  expect_untouched();

  const std::string second = Image(kSquashfs, 800000, 6);
  expect(upload(second), 0);
  EXPECT_TRUE(root_.read(kFs) == second.substr(0, second.size() - 8));
  EXPECT_TRUE(root_.read("/var/tmp/fw.bin") == second);
}

// Killed while the image is being written: the partition is a FIFO that
// the test drains, so the kill lands while dornix is inside its writes.
TEST_F(Fault, KilledWhileWritingFlashThenTheNextUploadWorks) {
  const std::string img = Image(kSquashfs, 3000000, 7);
  unlink(root_.path(kFs).c_str());
  ASSERT_EQ(mkfifo(root_.path(kFs).c_str(), 0600), 0);
  int fifo = open(root_.path(kFs).c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(fifo, 0);

  CgiRequest r = upload(img);
  RunningDornix running(root_, r);  // the whole body is taken before writing starts
  std::string drained;
  char buf[65536];
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (drained.size() < 300000 && std::chrono::steady_clock::now() < deadline) {
    struct pollfd p = {fifo, POLLIN, 0};
    poll(&p, 1, 100);
    ssize_t n = read(fifo, buf, sizeof buf);
    if (n > 0) drained.append(buf, (size_t)n);
  }
  ASSERT_GE(drained.size(), 300000u);
  EXPECT_EQ(drained, img.substr(0, drained.size()));
  running.kill();
  close(fifo);
  EXPECT_TRUE(root_.exists(kSocket));
  EXPECT_EQ(root_.read(kKernel), kOld);
  EXPECT_EQ(root_.read(kConfig), kOld);

  // The wizard tries again once the gateway is back.
  unlink(root_.path(kFs).c_str());
  root_.write(kFs, kOld);
  expect(upload(img), 0);
  EXPECT_TRUE(root_.read(kFs) == img.substr(0, img.size() - 8));
}

TEST_F(Fault, WhatIsLeftAtTheSocketPath) {
  const std::string img = Image(kSquashfs, 700000, 8);
  // A plain file where the socket was: cleared like a stale socket.
  root_.write(kSocket, "stale");
  expect(upload(img), 0);
  EXPECT_TRUE(root_.read(kFs) == img.substr(0, img.size() - 8));
  restore(kFs);

  // A link to another process's live socket is no request's endpoint: it
  // is replaced, and that socket stays.
  int live = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof sa.sun_path, "%s", root_.path("/var/tmp/cm_logic.ctl").c_str());
  ASSERT_EQ(0, bind(live, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa));
  link(kSocket, sa.sun_path);
  expect(upload(img), 0);
  EXPECT_TRUE(root_.read(kFs) == img.substr(0, img.size() - 8));
  EXPECT_TRUE(root_.exists("/var/tmp/cm_logic.ctl"));
  close(live);
  restore(kFs);

  // Something that cannot be removed: the request is not served.
  ASSERT_EQ(mkdir(root_.path(kSocket).c_str(), 0755), 0);
  CgiResult r = RunDornix(root_, upload(img));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(ResultLine(r.output), page(2));
  EXPECT_FALSE(root_.exists("/var/tmp/fw.pkg"));
  expect_untouched();
  EXPECT_TRUE(root_.exists(kSocket));
}

// A sysfs attribute claims a size of a page and reads back far less: a
// log that cannot be read whole.
std::string short_reading_file() {
  for (const char *p : {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/uevent_seqnum",
                        "/sys/kernel/profiling", "/sys/power/state"}) {
    struct stat st;
    if (stat(p, &st) == 0 && st.st_size == 4096 && access(p, R_OK) == 0) return p;
  }
  return "";
}

TEST_F(Fault, LogsThatCannotBeRead) {
  const std::string file = short_reading_file();
  if (!file.empty()) {
    link("/var/log/messages", file.c_str());
    CgiRequest r;
    r.body = MultipartBody({Part("get_log0", "1")});
    expect(r, 22);
    EXPECT_NE(log().find("Status=0  \n"), std::string::npos);
  }
  // A log that is a dangling link is a missing log: an empty download.
  link("/var/log/firewalling", "/nonexistent/firewalling");
  CgiRequest r;
  r.body = MultipartBody({Part("get_log1", "1")});
  CgiResult result = RunDornix(root_, r);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.output,
            "Content-type: application/octet-stream bin;\n"
            "Content-Disposition: attachment; filename=firewall_log.txt\n\n");
  if (file.empty()) GTEST_SKIP() << "no file here reads shorter than its size";
}

// The debug log is an aid: when it cannot take what is written, the upload
// still goes through.
TEST_F(Fault, DebugLogThatCannotBeWrittenDoesNotStopAnUpload) {
  link("/var/tmp/log.txt", "/dev/full");
  const std::string img = Image(kSquashfs, 700000, 9);
  expect(upload(img), 0);
  EXPECT_TRUE(root_.read(kFs) == img.substr(0, img.size() - 8));
}

}  // namespace
