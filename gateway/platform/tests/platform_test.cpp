#include "platform.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(GwPath, PrefixesRootOnlyWhenSet) {
  unsetenv("DORNIX_ROOT");
  EXPECT_STREQ("/var/tmp/fw.bin", GwPath(GW_FW_BIN).c_str());
  setenv("DORNIX_ROOT", "/tmp/scratch", 1);
  EXPECT_STREQ("/tmp/scratch/var/tmp/fw.bin", GwPath(GW_FW_BIN).c_str());
  char small[8];
  EXPECT_STREQ("/tmp/sc", gw_path(GW_FW_BIN, small, sizeof small));
  unsetenv("DORNIX_ROOT");
}

TEST(GwRestart, IsRecordedNeverPerformed) {
  char dir[] = "/tmp/gwplatXXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string root = dir;
  ASSERT_EQ(0, system(("mkdir -p " + root + "/var/tmp").c_str()));
  setenv("DORNIX_ROOT", dir, 1);
  EXPECT_EQ(-1, gw_reboot(0x01234567));
  EXPECT_EQ(0u, slurp(root + GW_RESTART_MARKER).rfind("restart 01234567 ", 0));
  unsetenv("DORNIX_ROOT");
  ASSERT_EQ(0, system(("rm -rf " + root).c_str()));
}

TEST(GwEthPrivate, RefusedOutsideOwnNetworkNamespace) {
  // The test itself runs in the machine's namespace unless a harness put it
  // elsewhere; only then may the request reach a driver.
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(s, 0);
  struct stat a, b;
  bool own = stat("/proc/self/ns/net", &a) == 0 && stat("/proc/1/ns/net", &b) == 0 &&
             (a.st_ino != b.st_ino || a.st_dev != b.st_dev);
  if (!own) {
    errno = 0;
    EXPECT_EQ(-1, gw_eth_private(s, "eth0", 7));
    EXPECT_EQ(EPERM, errno);
  }
  close(s);
}

}  // namespace
