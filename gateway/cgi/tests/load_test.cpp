// Fifty uploads at once against the real dornix: one is served, the others
// answer 2 without touching the temporary files or the partitions.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cgi_harness.h"
#include "fixtures.h"

namespace {

using namespace cgitest;

const int kRequests = 50;
const char kFs[] = "/dev/mtdblock/0";
const char kSocket[] = "/var/tmp/cm_fw.ctl";

// A tagged file system image of `size` bytes, different for every seed.
std::string image(size_t size, unsigned seed) { return fixtures::Image(GWC_MAGIC_SQUASHFS, size, seed); }

CgiRequest upload(const std::string &file) {
  CgiRequest r;
  r.body = MultipartBody({Part("UploadFile", file, "fw.img", "application/octet-stream")});
  return r;
}

// True once the process has ended; it stays unreaped for finish().
bool ended(pid_t pid) {
  siginfo_t info{};
  return waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

const char kServedAnswer[] = "upgrade result: ok[0]\n";
const char kBusyAnswer[] = "upgrade result: fail[2]\n";

// All fifty start together and hold their bodies back: the one that claimed
// the endpoint waits for its body, and every other one has answered 2
// before any body byte is sent.
TEST(Load, FiftyStartedAtOnceOneIsServed) {
  ScratchRoot root;
  root.write(kFs, "old");
  const std::string img = image(700000, 1);
  const CgiRequest request = upload(img);
  CgiRequest empty;
  empty.contentLength = std::to_string(request.body.size());

  std::vector<std::unique_ptr<RunningDornix>> running;
  for (int i = 0; i < kRequests; ++i) running.emplace_back(new RunningDornix(root, empty));

  int still_running = kRequests;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (still_running > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    still_running = 0;
    for (auto &r : running) still_running += ended(r->pid()) ? 0 : 1;
  }
  ASSERT_EQ(still_running, 1);
  EXPECT_TRUE(root.exists(kSocket));
  EXPECT_EQ(root.read(kFs), "old");
  EXPECT_FALSE(root.exists("/var/tmp/fw.bin"));

  int served = 0, busy = 0;
  for (auto &r : running) {
    r->feed(request.body);
    CgiResult result = r->finish();
    if (result.status == 0 && ResultLine(result.output) == kServedAnswer) ++served;
    if (result.status == 2 && ResultLine(result.output) == kBusyAnswer) ++busy;
  }
  EXPECT_EQ(served, 1);
  EXPECT_EQ(busy, kRequests - 1);
  EXPECT_TRUE(root.read(kFs) == img.substr(0, img.size() - 8));
  EXPECT_TRUE(root.read("/var/tmp/fw.bin") == img);
  EXPECT_FALSE(root.exists("/var/tmp/fw.pkg"));
  EXPECT_FALSE(root.exists(kSocket));
}

// Fifty different images sent whole at the same moment. Whichever are
// served, one after another, the others answer 2; two served at once would
// mix their temporary files and fail the checksum. The partition ends up
// holding exactly one of the served images, and fw.bin the same one.
TEST(Load, FiftyWholeUploadsRacing) {
  ScratchRoot root;
  root.write(kFs, "old");
  std::vector<std::string> images;
  for (int i = 0; i < kRequests; ++i) images.push_back(image(700000, 100 + i));

  std::vector<CgiRequest> requests;
  for (const std::string &img : images) requests.push_back(upload(img));
  const std::vector<CgiResult> results = RunDornixTogether(root, requests);

  std::vector<int> served;
  for (int i = 0; i < kRequests; ++i) {
    const CgiResult &r = results[i];
    if (r.status == 0) {
      EXPECT_EQ(ResultLine(r.output), kServedAnswer);
      served.push_back(i);
    } else {
      EXPECT_EQ(r.status, 2) << "request " << i;
      EXPECT_EQ(ResultLine(r.output), kBusyAnswer) << "request " << i;
    }
  }
  ASSERT_FALSE(served.empty());
  const std::string partition = root.read(kFs);
  const std::string bin = root.read("/var/tmp/fw.bin");
  int holders = 0;
  for (int i : served) {
    if (partition == images[i].substr(0, images[i].size() - 8)) {
      ++holders;
      EXPECT_TRUE(bin == images[i]) << "fw.bin is not the image on the partition";
    }
  }
  EXPECT_EQ(holders, 1) << served.size() << " served";
  EXPECT_FALSE(root.exists("/var/tmp/fw.pkg"));
  EXPECT_FALSE(root.exists(kSocket));
}

}  // namespace
