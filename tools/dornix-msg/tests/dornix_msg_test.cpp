#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "message.h"
#include "scratch_root.h"

// Gateway builds run the tool behind the emulator's command line.
#ifndef DORNIX_EMULATOR
#define DORNIX_EMULATOR ""
#endif

namespace {

struct ToolRun {
  pid_t pid = -1;
  std::string out, err;  // files under the scratch root
};

// Starts the tool with `args`; its output goes to files in the root.
ToolRun start(const ScratchRoot &root, const std::vector<std::string> &args, const char *tag) {
  ToolRun r;
  r.out = root.path("/") + tag + ".out";
  r.err = root.path("/") + tag + ".err";
  r.pid = fork();
  if (r.pid == 0) {
    int o = open(r.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = open(r.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<std::string> words;
    std::istringstream emulator(DORNIX_EMULATOR);
    for (std::string w; emulator >> w;) words.push_back(w);
    words.push_back(DORNIX_MSG_TOOL);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(const_cast<char *>(w.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return r;
}

// The tool's exit status; -2 when it has not ended within `seconds` (it is
// killed then).
int finish(const ToolRun &r, int seconds = 30) {
  int status = 0;
  for (int i = 0; i < seconds * 100; ++i) {
    if (waitpid(r.pid, &status, WNOHANG) == r.pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    usleep(10000);
  }
  kill(r.pid, SIGKILL);
  waitpid(r.pid, &status, 0);
  return -2;
}

double seconds_since(const struct timespec &t0) {
  struct timespec t1;
  clock_gettime(CLOCK_MONOTONIC, &t1);
  return (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
}

std::string slurp(const std::string &path) {
  std::string s;
  FILE *f = fopen(path.c_str(), "r");
  if (f == nullptr) return s;
  char buf[1024];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  fclose(f);
  return s;
}

// Waits (bounded) until the tool has claimed `address`.
bool wait_for_socket(const ScratchRoot &root, const char *address) {
  std::string path = root.path("/var/tmp/cm_") + address + ".ctl";
  for (int i = 0; i < 500; ++i) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) return true;
    usleep(10000);
  }
  return false;
}

TEST(DornixMsg, HelpAndUsageErrors) {
  ScratchRoot root;
  ToolRun help = start(root, {"--help"}, "help");
  EXPECT_EQ(0, finish(help));
  EXPECT_EQ(0u, slurp(help.out).rfind("Usage: dornix-msg", 0));

  const std::vector<std::vector<std::string>> bad = {
      {},
      {"query", "logic"},
      {"frob", "x"},
      {"query", "logic", "k", "--timeout", "soon"},
      {"query", "logic", "k", "--timeout=soon"},
      {"listen", "../etc"},
      {"query", "logic", "a<b"},
      {"listen", "logic", "--bogus"},
  };
  for (const auto &args : bad) {
    ToolRun r = start(root, args, "bad");
    EXPECT_EQ(2, finish(r)) << (args.empty() ? "" : args[0]);
    EXPECT_NE(std::string::npos, slurp(r.err).find("dornix-msg: "));
  }
}

// A report from "fw" to "logic" named `name`, of `size` bytes in all.
std::string report_of_size(const char *name, size_t size) {
  const std::string head = std::string("<message><to>logic</to><from>fw</from><report><name>") +
                           name + "</name><text>";
  const std::string tail = "</text></report></message>";
  return head + std::string(size - head.size() - tail.size(), 't') + tail;
}

TEST(DornixMsg, ListenPrintsEachMessageOnOneLine) {
  ScratchRoot root;
  ToolRun listen = start(root, {"listen", "logic", "--count", "6", "--timeout", "20"}, "listen");
  ASSERT_TRUE(wait_for_socket(root, "logic"));
  ASSERT_GE(comm_start("fw", 0), 0);
  msg_record *q = msgr_makeTransQuery("fw", "logic", "g", "wan/state");
  std::string seq = q->seq;
  ASSERT_GT(msg_send(q), 0);
  ASSERT_EQ(5, comm_sendto(serv_socket, "<oops", 5, "logic"));
  ASSERT_GT(msgr_sendReport("fw", "logic", "done", "12", "two\nlines \"q\"", 14), 0);
  // Datagrams of any size are read whole: a message longer than the
  // library writes, and one whose first 8192 bytes alone would be a message.
  const std::string big = report_of_size("big", 10068);
  const std::string spoilt = report_of_size("spoilt", 8192) + "<oops";
  ASSERT_EQ((int)big.size(), comm_sendto(serv_socket, big.data(), big.size(), "logic"));
  ASSERT_EQ((int)spoilt.size(), comm_sendto(serv_socket, spoilt.data(), spoilt.size(), "logic"));
  ASSERT_EQ(0, comm_sendto(serv_socket, "", 0, "logic"));
  EXPECT_EQ(0, finish(listen));
  const size_t text_at = big.find("<text>") + 6;
  const std::string expected[] = {
      "from=\"fw\" to=\"logic\" seq=\"" + seq +
          "\" transaction=query key=\"wan/state\" group=\"g\" error=0",
      "unreadable (5 bytes): \"<oops\"",
      "from=\"fw\" to=\"logic\" seq=\"" + std::to_string(atoi(seq.c_str()) + 1) +
          "\" report name=\"done\" pid=\"12\" text=\"two\\nlines \\\"q\\\"\"",
      "from=\"fw\" to=\"logic\" report name=\"big\" text=\"" +
          big.substr(text_at, big.find("</text>") - text_at) + "\"",
      "unreadable (8197 bytes): \"" + spoilt.substr(0, MSG_OUT_BUFFER) + "\"",
      "empty (0 bytes)",
  };
  std::istringstream out(slurp(listen.out));
  std::string line;
  for (const std::string &e : expected) {
    std::getline(out, line);
    EXPECT_TRUE(line == e) << "expected: " << e.substr(0, 90) << "\n     got: " << line.substr(0, 90);
  }
  EXPECT_FALSE(std::getline(out, line)) << line.substr(0, 90);
  // The tool gave its socket file back.
  struct stat st;
  EXPECT_NE(0, stat(root.path("/var/tmp/cm_logic.ctl").c_str(), &st));
}

TEST(DornixMsg, QueryAndSetAnsweredByAnotherTool) {
  ScratchRoot root;
  ToolRun answer = start(root, {"answer", "logic", "4.2;x", "--count", "4", "--timeout", "20"},
                     "answer");
  ASSERT_TRUE(wait_for_socket(root, "logic"));

  // Key, sequence and group holding markup come back in the reply as they
  // were read, and add nothing to it.
  int asker = bind_peer("asker");
  ASSERT_GE(asker, 0);
  const std::string crafted =
      "<message><to>logic</to><from>asker</from><sequence>7&lt;/sequence&gt;</sequence>"
      "<transaction><type>query</type><key>k&lt;/key&gt;&lt;values&gt;&lt;row&gt;&lt;value&gt;"
      "forged&lt;/value&gt;&lt;/row&gt;&lt;/values&gt;&lt;key&gt;k</key><group>g&amp;&quot;;"
      "</group></transaction></message>";
  ASSERT_EQ((int)crafted.size(), comm_sendto(asker, crafted.data(), crafted.size(), "logic"));
  const std::string reply_text = receive_text(asker, 10000);
  msg_record *reply = msg_parse(reply_text.data(), (int)reply_text.size());
  ASSERT_NE(nullptr, reply) << reply_text;
  EXPECT_STREQ("k</key><values><row><value>forged</value></row></values><key>k",
               msg_getTransKey(reply));
  EXPECT_STREQ("7</sequence>", msg_getTransReSeq(reply));
  EXPECT_STREQ("g&\";", msg_getTransGID(reply));
  EXPECT_EQ(1, msg_getTransNumRows(reply));
  EXPECT_EQ(1, msg_getTransNumCols(reply, 0));
  EXPECT_STREQ("4.2;x", msg_getTransSingleValue(reply));
  msg_free(reply);

  // A querier that never reads: its reply is given up, and the others are
  // answered.
  int sink = bind_peer("sink");
  ASSERT_GT(fill_queue("sink"), 0);
  const std::string from_sink =
      "<message><to>logic</to><from>sink</from><transaction><type>query</type><key>k</key>"
      "</transaction></message>";
  ASSERT_EQ((int)from_sink.size(), comm_sendto(asker, from_sink.data(), from_sink.size(), "logic"));

  ToolRun query = start(root, {"query", "logic", "system/version", "--from", "fw"}, "query");
  EXPECT_EQ(0, finish(query));
  std::string line = slurp(query.out);
  EXPECT_EQ(0u, line.find("from=\"logic\" to=\"fw\" seq=")) << line;
  EXPECT_NE(std::string::npos,
            line.find("transaction=response key=\"system/version\" re_seq=\"1\" error=0 "
                      "values=[[\"4.2;x\"]]\n"))
      << line;

  ToolRun set = start(root, {"set", "logic", "wan/mtu", "1492", "--from", "fw"}, "set");
  EXPECT_EQ(0, finish(set));
  EXPECT_NE(std::string::npos, slurp(set.out).find("transaction=response key=\"wan/mtu\""));
  EXPECT_EQ(0, finish(answer));
  std::string seen = slurp(answer.out);
  EXPECT_NE(std::string::npos, seen.find("transaction=query key=\"system/version\""));
  EXPECT_NE(std::string::npos, seen.find("transaction=set key=\"wan/mtu\" error=0 values=[[\"1492\"]]"));
  EXPECT_NE(std::string::npos,
            slurp(answer.err).find("answer to \"sink\" not sent: the recipient cannot take it now"));
  close(asker);
  close(sink);
}

TEST(DornixMsg, ClearFailuresAndBoundedWait) {
  ScratchRoot root;
  ToolRun nobody = start(root, {"query", "nobody", "k"}, "nobody");
  EXPECT_EQ(3, finish(nobody));
  EXPECT_NE(std::string::npos, slurp(nobody.err).find("not sent to \"nobody\""));

  int silent = bind_peer("logic");
  ASSERT_GE(silent, 0);
  struct timespec t0;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  ToolRun wait = start(root, {"report", "logic", "boot", "--timeout", "0.2"}, "wait");
  EXPECT_EQ(1, finish(wait));
  EXPECT_LT(seconds_since(t0), 3);
  EXPECT_NE(std::string::npos, slurp(wait.err).find("no answer from \"logic\""));
  EXPECT_NE(std::string::npos, receive_text(silent).find("<report><name>boot</name></report>"));

  // Its queue full, the recipient takes nothing: every request ends after
  // --timeout and says so.
  ASSERT_GT(fill_queue("logic"), 0);
  const std::vector<std::vector<std::string>> requests = {
      {"query", "logic", "k"}, {"set", "logic", "k", "v"}, {"report", "logic", "n", "t"}};
  for (std::vector<std::string> args : requests) {
    args.insert(args.end(), {"--timeout", "0.5"});
    clock_gettime(CLOCK_MONOTONIC, &t0);
    ToolRun full = start(root, args, "full");
    EXPECT_EQ(3, finish(full)) << args[0];
    EXPECT_LT(seconds_since(t0), 5) << args[0];
    EXPECT_NE(std::string::npos,
              slurp(full.err).find("not sent to \"logic\": the recipient cannot take it now"))
        << args[0];
  }

  // The address is served already: the tool says so and leaves the file.
  ToolRun second = start(root, {"listen", "logic", "--timeout", "1"}, "second");
  EXPECT_EQ(3, finish(second));
  EXPECT_NE(std::string::npos, slurp(second.err).find("already serves \"logic\""));
  close(silent);
}

}  // namespace
