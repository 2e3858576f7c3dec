#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "message.h"
#include "scratch_root.h"

namespace {

long fake_now = 1000000;
long fake_clock() { return fake_now; }

TEST(Sequence, CountsWrapsAndFormats) {
  int saved = current_seq;
  current_seq = 0;
  EXPECT_EQ(1, msg_getNextSeq());
  EXPECT_EQ(2, msg_getNextSeq());
  current_seq = 2147483646;
  EXPECT_EQ(2147483647, msg_getNextSeq());
  EXPECT_EQ(1, msg_getNextSeq());
  current_seq = saved;
  EXPECT_STREQ("-12", msg_convSeq(-12));
  EXPECT_STREQ("2147483647", msg_convSeq(2147483647));
}

TEST(Send, WithoutRouteTableEverythingGoesToLogic) {
  ScratchRoot root;
  // No endpoint yet: -1, and the message is released (the sanitizer build
  // would report it otherwise).
  EXPECT_EQ(-1, msgr_sendTransQuery("fw", "logic", nullptr, "k"));
  EXPECT_EQ(-1, msg_send(nullptr));

  ASSERT_GE(comm_start("fw", 0), 0);
  int logic = bind_peer("logic");
  int monitor = bind_peer("monitor");
  ASSERT_GE(logic, 0);
  ASSERT_GE(monitor, 0);
  int n = msgr_sendMonitorAdd("fw", "/var/log/messages", "ppp", "up");
  EXPECT_GT(n, 0);
  std::string text = receive_text(logic);
  EXPECT_EQ((size_t)n, text.size());
  EXPECT_NE(std::string::npos, text.find("<to>monitor</to>"));
  EXPECT_EQ("", receive_text(monitor, 50));
  close(logic);
  close(monitor);
}

TEST(Send, PermanentFailures) {
  ScratchRoot root;
  ASSERT_GE(comm_start("fw", 0), 0);
  msg_record *m = msgr_makeTransQuery("fw", "nobody", nullptr, "k");
  EXPECT_EQ(MSG_DELIVER_FAILED, msg_sendOut(m, "nobody"));
  // A file left by a process that ended: refused, also permanent.
  close(bind_peer("gone"));
  EXPECT_EQ(MSG_DELIVER_FAILED, msg_sendOut(m, "gone"));
  msg_free(m);

  // 4095 characters are sent, 4096 are not.
  int peer = bind_peer("logic");
  ASSERT_GE(peer, 0);
  msg_record *r = msgr_makeReport("fw", "logic", "n", nullptr, "x", 1);
  char buf[MSG_OUT_BUFFER * 2];
  int base = msg_makeXML(buf, sizeof buf, r) - 1;
  std::string text(MSG_OUT_BUFFER - 1 - base, 'y');
  msg_free(r);
  r = msgr_makeReport("fw", "logic", "n", nullptr, text.c_str(), (int)text.size());
  EXPECT_EQ(MSG_OUT_BUFFER - 1, msg_sendOut(r, "logic"));
  EXPECT_EQ((size_t)MSG_OUT_BUFFER - 1, receive_text(peer).size());
  msg_free(r);
  text += "y";
  r = msgr_makeReport("fw", "logic", "n", nullptr, text.c_str(), (int)text.size());
  EXPECT_EQ(MSG_DELIVER_FAILED, msg_sendOut(r, "logic"));
  EXPECT_EQ("", receive_text(peer, 50));
  msg_free(r);
  close(peer);
}

// ---- Routing ----

int handled = 0;
int local_handler(msg_record *m) {
  ++handled;
  return m->type;
}
int hook_result = ROUTE_HOOK_PASS;
int hook_calls = 0;
int hook(msg_record *) {
  ++hook_calls;
  return hook_result;
}

TEST(Route, TableRowsEndRowAndHook) {
  ScratchRoot root;
  ASSERT_GE(comm_start("logic", 0), 0);
  int pc = bind_peer("pc");
  int self_peer = bind_peer("monitor");
  ASSERT_GE(pc, 0);
  const route_entry table[] = {{"logic", ROUTE_LOCAL, local_handler},
                               {"nohandler", ROUTE_LOCAL, nullptr},
                               {"broken", 9, nullptr},
                               {"relay", ROUTE_VIA_LOGIC, nullptr},
                               {nullptr, ROUTE_DIRECT, nullptr}};
  msg_setRouteTable(table);

  msg_record *m = msgr_makeProgramReboot("logic");  // to "pc": end row, direct
  msg_handler h = local_handler;
  EXPECT_EQ(ROUTE_DIRECT, msg_get_route(m, &h));
  EXPECT_EQ(nullptr, h);
  EXPECT_GT(msg_route(m), 0);
  EXPECT_NE(std::string::npos, receive_text(pc).find("<to>pc</to>"));

  free(m->to);
  m->to = strdup("logic");
  handled = 0;
  EXPECT_EQ(MSG_PROGRAM, msg_deliver(m));
  EXPECT_EQ(1, handled);

  // The hook sees local messages only; -6 passes them on.
  msg_setRouteHook(hook);
  hook_calls = 0;
  EXPECT_EQ(MSG_PROGRAM, msg_deliver(m));
  EXPECT_EQ(1, hook_calls);
  EXPECT_EQ(2, handled);
  hook_result = 5;
  EXPECT_EQ(5, msg_deliver(m));
  EXPECT_EQ(2, handled);
  free(m->to);
  m->to = strdup("pc");
  EXPECT_GT(msg_deliver(m), 0);
  EXPECT_EQ(2, hook_calls);
  receive_text(pc);
  hook_result = ROUTE_HOOK_PASS;

  free(m->to);
  m->to = strdup("nohandler");
  EXPECT_EQ(MSG_DELIVER_FAILED, msg_deliver(m));
  free(m->to);
  m->to = strdup("broken");
  EXPECT_EQ(MSG_DELIVER_FAILED, msg_route(m));
  free(m->to);
  m->to = nullptr;  // matches no named row; direct without address fails
  EXPECT_EQ(ROUTE_DIRECT, msg_get_route(m, nullptr));
  EXPECT_EQ(MSG_DELIVER_FAILED, msg_route(m));
  msg_free(m);
  close(pc);
  close(self_peer);
}

// A handler may send from inside the queue without disturbing it.
int resend_handler(msg_record *m) {
  if (m->type == MSG_PROGRAM) msg_send(msgr_makeReport("logic", "logic", "again", nullptr, nullptr, 0));
  return 0;
}

TEST(Queue, DeliversInOrderAndHandlersMaySend) {
  ScratchRoot root;
  const route_entry table[] = {{nullptr, ROUTE_LOCAL, resend_handler}};
  msg_setRouteTable(table);
  EXPECT_EQ(0, msgr_sendProgramReboot("logic"));  // queued, not sent
  EXPECT_EQ(0, msgr_sendReport("logic", "logic", "n", nullptr, nullptr, 0));
  EXPECT_EQ(0, msg_iterate_queue());
  EXPECT_EQ(0, msg_iterate_queue());
  EXPECT_EQ(0, msgr_sendReport("logic", "logic", "n", nullptr, nullptr, 0));
  EXPECT_EQ(0, msg_flush());
}

// The recipient's queue is full and our endpoint does not block: the send
// gives -1, the queue keeps the message (and everything behind it) until it
// expires 20 s after the first failed attempt.
TEST(Queue, FullReceiverWaitsThenExpires) {
  ScratchRoot root;
  ASSERT_GE(comm_start("fw", MSG_DONTWAIT), 0);
  int logic = bind_peer("logic");
  ASSERT_GE(logic, 0);
  msg_record *filler = msgr_makeTransQuery("fw", "logic", nullptr, "fill");
  int r = 0;
  for (int i = 0; i < 100000 && r >= 0; ++i) r = msg_sendOut(filler, "logic");
  msg_free(filler);
  ASSERT_EQ(MSG_DELIVER_LATER, r);

  const route_entry table[] = {{nullptr, ROUTE_DIRECT, nullptr}};
  msg_setRouteTable(table);
  msg_setClock(fake_clock);
  fake_now = 1000000;
  ASSERT_EQ(0, msgr_sendTransQuery("fw", "logic", nullptr, "first"));
  ASSERT_EQ(0, msgr_sendTransQuery("fw", "logic", nullptr, "second"));

  testing::internal::CaptureStdout();
  EXPECT_EQ(-1, msg_iterate_queue());
  fake_now += 19;
  EXPECT_EQ(-1, msg_iterate_queue());
  EXPECT_EQ("", testing::internal::GetCapturedStdout());

  testing::internal::CaptureStdout();
  fake_now += 1;
  // The first expires; the second is tried only now, fails and starts its
  // own 20 s.
  EXPECT_EQ(-1, msg_iterate_queue());
  EXPECT_EQ("*** Message 10 from fw to logic has expired\n",
            testing::internal::GetCapturedStdout());

  // Room again: the second goes out.
  char buf[MSG_OUT_BUFFER];
  while (recv(logic, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
  EXPECT_EQ(0, msg_iterate_queue());
  std::string text = receive_text(logic);
  EXPECT_NE(std::string::npos, text.find("<key>second</key>"));
  close(logic);
}

#ifndef DORNIX_NO_XML_READER

TEST(Queue, ParsedMessageKeepsItsExpiry) {
  ScratchRoot root;
  msg_setClock(fake_clock);
  fake_now = 5000;
  const char text[] = "<message><to>pc</to><from>x</from></message>";
  msg_record *m = msg_parse(text, sizeof text - 1);
  ASSERT_NE(nullptr, m);
  EXPECT_EQ(5020, m->expires);
  // No endpoint: every attempt gives -1.
  const route_entry table[] = {{nullptr, ROUTE_DIRECT, nullptr}};
  msg_setRouteTable(table);
  msg_send(m);
  fake_now = 5019;
  EXPECT_EQ(-1, msg_iterate_queue());
  fake_now = 5020;
  testing::internal::CaptureStdout();
  EXPECT_EQ(0, msg_iterate_queue());
  EXPECT_EQ("*** Message 0 from x to pc has expired\n", testing::internal::GetCapturedStdout());
}

// ---- Two processes ----

// The responder at "logic": answers one query with one value, then ends.
[[noreturn]] void run_responder(int ready_fd) {
  if (comm_start("logic", 0) < 0) _exit(2);
  char c = 1;
  if (write(ready_fd, &c, 1) != 1) _exit(3);
  std::string text = receive_text(serv_socket, 5000);
  msg_record *q = msg_parse(text.data(), (int)text.size());
  int rc = 4;
  if (q != nullptr && msg_getTransType(q) == TRANS_QUERY) {
    msg_record *a = msgr_makeTransResponseSingle("logic", msg_getFrom(q), nullptr,
                                                 msg_getSeq(q), 0, msg_getTransKey(q), "4.2;1");
    rc = msg_sendOut(a, msg_getFrom(q)) > 0 ? 0 : 5;
    msg_free(a);
  }
  msg_free(q);
  comm_unlink("logic");
  _exit(rc);
}

TEST(TwoProcesses, QueryFromFwAnsweredByLogic) {
  ScratchRoot root;
  int pipefd[2];
  ASSERT_EQ(0, pipe(pipefd));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(pipefd[0]);
    run_responder(pipefd[1]);
  }
  close(pipefd[1]);
  char c;
  ASSERT_EQ(1, read(pipefd[0], &c, 1));
  close(pipefd[0]);

  ASSERT_GE(comm_start("fw", 0), 0);
  msg_record *q = msgr_makeTransQuery("fw", "logic", nullptr, "system/version");
  std::string seq = q->seq;
  EXPECT_GT(msg_send(q), 0);
  std::string text = receive_text(serv_socket, 5000);
  msg_record *a = msg_parse(text.data(), (int)text.size());
  ASSERT_NE(nullptr, a) << text;
  EXPECT_TRUE(msg_isTrans(a));
  EXPECT_EQ(TRANS_RESPONSE, msg_getTransType(a));
  EXPECT_STREQ("system/version", msg_getTransKey(a));
  EXPECT_EQ(seq, msg_getTransReSeq(a));
  EXPECT_STREQ("4.2;1", msg_getTransSingleValue(a));
  EXPECT_STREQ("logic", msg_getFrom(a));
  msg_free(a);

  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  // The responder has gone and removed its file: permanent failure now.
  EXPECT_EQ(-2, msgr_sendTransQuery("fw", "logic", nullptr, "system/version"));
  comm_unlink("fw");
}

#endif  // DORNIX_NO_XML_READER

}  // namespace
