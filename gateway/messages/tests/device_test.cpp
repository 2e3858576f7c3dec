#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "message.h"
#include "scratch_root.h"

namespace {

unsigned slept = 0;
unsigned fake_sleep(unsigned s) {
  slept += s;
  return 0;
}

// A child that only waits to be signalled; the pid files name it, so the
// helpers never touch a process the test did not start.
pid_t start_sleeper() {
  pid_t pid = fork();
  if (pid == 0) {
    for (;;) pause();
  }
  return pid;
}

int end_status(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

TEST(KillPPP, QuietSignalsWithoutMessagesOrWait) {
  ScratchRoot root;
  msg_setSleep(fake_sleep);
  slept = 0;
  ASSERT_GE(comm_start("fw", 0), 0);
  int logic = bind_peer("logic");
  pid_t child = start_sleeper();
  ASSERT_GT(child, 0);
  root.write_file("/var/run/ppp0.pid", std::to_string(child) + "\n");
  int quiet = 1;
  EXPECT_EQ(0, killPPP(&quiet));
  EXPECT_EQ(SIGTERM, end_status(child));
  EXPECT_EQ(0u, slept);
  EXPECT_EQ("", receive_text(logic, 50));
  close(logic);
}

TEST(KillPPP, LoudAsksProcessControlFirstThenWaits) {
  ScratchRoot root;
  msg_setSleep(fake_sleep);
  ASSERT_GE(comm_start("fw", 0), 0);
  int logic = bind_peer("logic");
  ASSERT_GE(logic, 0);

  // No pid file: both requests still go out, in order; no wait.
  slept = 0;
  EXPECT_EQ(0, killPPP(nullptr));
  std::string first = receive_text(logic), second = receive_text(logic);
  EXPECT_NE(std::string::npos, first.find("<to>pc</to><from>logic</from>"));
  EXPECT_NE(std::string::npos, first.find("<program action=\"stop\"><pid>pppd_pppoe</pid>"));
  EXPECT_NE(std::string::npos, second.find("<pid>pppd_pppoa</pid>"));
  EXPECT_EQ(0u, slept);

  pid_t child = start_sleeper();
  root.write_file("/var/run/ppp0.pid", std::to_string(child) + "\n");
  EXPECT_EQ(0, killPPP(nullptr));
  EXPECT_EQ(SIGTERM, end_status(child));
  EXPECT_EQ(3u, slept);
  close(logic);
}

TEST(KillPPP, BadPidFilesSignalNobody) {
  ScratchRoot root;
  msg_setSleep(fake_sleep);
  int quiet = 1;
  // "0" and "-1" would reach a process group or every process.
  for (const char *text : {"", "\n", "abc\n", "0\n", "-1\n", "-4242\n", "99999999999\n"}) {
    root.write_file("/var/run/ppp0.pid", text);
    root.write_file("/var/run/ppp1.pid", text);
    EXPECT_EQ(0, killPPP(&quiet)) << text;
    EXPECT_EQ(0, kill_ppp1()) << text;
  }
  unlink(root.path("/var/run/ppp1.pid").c_str());
  EXPECT_EQ(0, kill_ppp1());

  pid_t child = start_sleeper();
  root.write_file("/var/run/ppp1.pid", std::to_string(child) + "junk\n");
  EXPECT_EQ(0, kill_ppp1());
  EXPECT_EQ(SIGTERM, end_status(child));
}

TEST(IsNas0Up, LooksForTheInterfaceAndTellsTheKernel) {
  ScratchRoot root;
  EXPECT_EQ(0, is_nas0_up());  // no file
  EXPECT_EQ("nas0 up 0\n", root.read_file("/dev/led"));
  std::string dev =
      "Inter-|   Receive                                                |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes\n"
      "    lo:  1234 12 0 0 0 0 0 0 1234 12 0 0 0 0 0 0\n"
      "  eth0:  5678 34 0 0 0 0 0 0 5678 34 0 0 0 0 0 0\n";
  root.write_file("/proc/net/dev", dev);
  EXPECT_EQ(0, is_nas0_up());
  root.write_file("/proc/net/dev", dev + "  nas0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n");
  EXPECT_EQ(1, is_nas0_up());
  EXPECT_EQ("nas0 up 0\nnas0 up 0\nnas0 up 1\n", root.read_file("/dev/led"));
  EXPECT_EQ(0, logger_act("%d", 1));
}

int open_descriptors() {
  int n = 0;
  for (int fd = 0; fd < 1024; ++fd)
    if (fcntl(fd, F_GETFD) != -1) ++n;
  return n;
}

TEST(ResetEth, NeverReachesTheMachinesOwnInterfaces) {
  ScratchRoot root;
  int before = open_descriptors();
  for (int i = 0; i < 3; ++i) {
    // No raw socket, or refused outside a private namespace.
    EXPECT_LT(reset_eth(), 0);
  }
  EXPECT_EQ(before, open_descriptors());  // the request's socket is closed

  // In a network namespace of its own the request reaches the kernel, which
  // has no eth0 there.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(77);
    // The platform layer tells namespaces apart by init's; where that is
    // hidden it refuses every request, which is the safe side.
    struct stat init_ns;
    if (stat("/proc/1/ns/net", &init_ns) != 0) _exit(78);
    errno = 0;
    int rc = reset_eth();
    if (rc < 0 && errno == ENODEV) _exit(0);
    fprintf(stderr, "reset_eth in a private namespace: %d (%s)\n", rc, strerror(errno));
    _exit(1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no permission for a network namespace";
  if (WEXITSTATUS(status) == 78) GTEST_SKIP() << "init's network namespace is hidden here";
  EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
