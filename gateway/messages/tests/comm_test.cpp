#include "comm.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>

#include "scratch_root.h"

namespace {

bool is_socket(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

TEST(CommStart, ClaimsAddressAndReplacesStaleFile) {
  ScratchRoot root;
  // A process that ended leaves its bound file behind.
  int old = bind_peer("logic");
  ASSERT_GE(old, 0);
  close(old);
  ASSERT_TRUE(is_socket(root.path("/var/tmp/cm_logic.ctl")));

  int s = comm_start("logic", 0);
  ASSERT_GE(s, 0);
  EXPECT_EQ(s, serv_socket);
  EXPECT_EQ(0, send_flags);

  // The new socket is the one bound there now: a datagram reaches it.
  int peer = bind_peer("fw");
  ASSERT_GE(peer, 0);
  ASSERT_EQ(5, comm_sendto(peer, "hello", 5, "logic"));
  EXPECT_EQ("hello", receive_text(s));
  close(peer);

  EXPECT_EQ(0, comm_unlink("logic"));
  EXPECT_FALSE(is_socket(root.path("/var/tmp/cm_logic.ctl")));
  EXPECT_EQ(-1, comm_unlink("logic"));
}

TEST(CommStart, SecondInstanceRefusedWhileFirstRuns) {
  ScratchRoot root;
  // The first instance is another process that holds "fw" until told to
  // end, and then ends without removing its file.
  int ready[2], quit[2];
  ASSERT_EQ(0, pipe(ready));
  ASSERT_EQ(0, pipe(quit));
  pid_t first = fork();
  ASSERT_GE(first, 0);
  if (first == 0) {
    close(quit[1]);
    close(ready[0]);
    char c = comm_start("fw", 0) >= 0 ? 1 : 0;
    if (write(ready[1], &c, 1) != 1) _exit(1);
    if (read(quit[0], &c, 1) < 0) _exit(1);
    _exit(0);
  }
  close(ready[1]);
  close(quit[0]);
  char ok = 0;
  ASSERT_EQ(1, read(ready[0], &ok, 1));
  ASSERT_EQ(1, ok);

  EXPECT_EQ(COMM_ERR_RUNNING, comm_start("fw", 0));
  EXPECT_EQ(-1, serv_socket);
  EXPECT_TRUE(is_socket(root.path("/var/tmp/cm_fw.ctl")));  // left alone

  close(quit[1]);
  int status = 0;
  ASSERT_EQ(first, waitpid(first, &status, 0));
  close(ready[0]);
  EXPECT_TRUE(is_socket(root.path("/var/tmp/cm_fw.ctl")));  // stale now
  EXPECT_GE(comm_start("fw", MSG_DONTWAIT), 0);
  EXPECT_EQ(MSG_DONTWAIT, send_flags);
}

TEST(CommStart, MissingSocketDirectoryGivesMinus4) {
  ScratchRoot root;
  ASSERT_EQ(0, rmdir(root.path("/var/tmp").c_str()));
  EXPECT_EQ(COMM_ERR_STALE, comm_start("fw", 0));
  EXPECT_EQ(-1, serv_socket);
}

TEST(CommSocketPath, LongAddressIsCutToSocketAddressSize) {
  ScratchRoot root;
  std::string address(300, 'a');
  struct sockaddr_un sa;
  char path[sizeof sa.sun_path];
  comm_socket_path(address.c_str(), path, sizeof path);
  EXPECT_EQ(107u, strlen(path));
  EXPECT_EQ(0u, std::string(path).rfind(root.path("/var/tmp/cm_aaa"), 0));
}

TEST(Kprintf, HandsOverAtMost49Characters) {
  ScratchRoot root;
  std::string sixty(60, 'x');
  for (int i = 0; i < 60; ++i) sixty[i] = (char)('A' + i % 26);
  EXPECT_EQ(0, kprintf("%s", sixty.c_str()));
  EXPECT_EQ(sixty.substr(0, 49), root.read_file("/dev/led"));

  EXPECT_EQ(0, kprintf("nas0 up %d\n", 1));
  EXPECT_EQ(sixty.substr(0, 49) + "nas0 up 1\n", root.read_file("/dev/led"));

  ASSERT_EQ(0, unlink(root.path("/dev/led").c_str()));
  EXPECT_EQ(-1, kprintf("gone"));
  EXPECT_EQ("", root.read_file("/dev/led"));
}

}  // namespace
