// 100,000 messages from "pc" through a relay at "logic" (parse, queue,
// route, write, send) to "monitor": every one arrives, once and in order,
// and the relay's heap is no larger at the end than after the first
// thousand messages.
#include <gtest/gtest.h>
#include <malloc.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "message.h"
#include "scratch_root.h"

namespace {

const int kMessages = 100000;
// Heap growth the relay may show over the run: far less than one byte per
// message.
const long kLeakAllowance = 64 * 1024;

void signal_ready(int fd) {
  char c = 1;
  if (write(fd, &c, 1) != 1) _exit(10);
  close(fd);
}

void wait_ready(int fd) {
  char c;
  ASSERT_EQ(1, read(fd, &c, 1));
  close(fd);
}

// The relay: every message it receives goes on to its recipient through the
// queue. Exits 0, or 3 when its heap grew.
[[noreturn]] void run_relay(int ready) {
  static const route_entry routes[] = {{nullptr, ROUTE_DIRECT, nullptr}};
  if (comm_start("logic", 0) < 0) _exit(2);
  msg_setRouteTable(routes);
  signal_ready(ready);
  char buf[MSG_OUT_BUFFER];
  long base = 0;
  for (int i = 0; i < kMessages; ++i) {
    ssize_t n = recv(serv_socket, buf, sizeof buf, 0);
    if (n <= 0) _exit(4);
    msg_record *m = msg_parse(buf, (int)n);
    if (m == nullptr) _exit(5);
    msg_send(m);
    msg_iterate_queue();
    if (i == 1000) base = (long)mallinfo2().uordblks;
  }
  long grown = (long)mallinfo2().uordblks - base;
  lib_close_messages();
  comm_unlink("logic");
  // exit, not _exit: a sanitizer build checks for leaks here.
  exit(grown > kLeakAllowance ? 3 : 0);
}

[[noreturn]] void run_sender() {
  if (comm_start("pc", 0) < 0) _exit(2);
  for (int i = 0; i < kMessages; ++i) {
    std::string text = "n=" + std::to_string(i);
    if (msgr_sendReport("pc", "monitor", "relay_test", "1", text.c_str(), (int)text.size()) <= 0)
      _exit(6);
  }
  comm_unlink("pc");
  exit(0);
}

int exit_code(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(Relay, HundredThousandMessagesArriveInOrderWithoutLeak) {
  ScratchRoot root;
  ASSERT_GE(comm_start("monitor", 0), 0);
  int ready[2];
  ASSERT_EQ(0, pipe(ready));
  pid_t relay = fork();
  ASSERT_GE(relay, 0);
  if (relay == 0) {
    close(ready[0]);
    run_relay(ready[1]);
  }
  close(ready[1]);
  wait_ready(ready[0]);
  pid_t sender = fork();
  ASSERT_GE(sender, 0);
  if (sender == 0) run_sender();

  char buf[MSG_OUT_BUFFER];
  int received = 0, out_of_order = 0;
  while (received < kMessages) {
    struct pollfd p = {serv_socket, POLLIN, 0};
    if (poll(&p, 1, 20000) <= 0) break;
    ssize_t n = recv(serv_socket, buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    msg_record *m = msg_parse(buf, (int)n);
    ASSERT_NE(nullptr, m);
    if (msg_getReportText(m) != "n=" + std::to_string(received)) ++out_of_order;
    msg_free(m);
    ++received;
  }
  EXPECT_EQ(received, kMessages);
  EXPECT_EQ(out_of_order, 0);
  EXPECT_EQ(exit_code(sender), 0);
  EXPECT_EQ(exit_code(relay), 0) << "3: the relay's heap grew";
  lib_close_messages();
  comm_unlink("monitor");
}

}  // namespace
