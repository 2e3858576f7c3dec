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

int finish(const ToolRun &r) {
  int status = 0;
  waitpid(r.pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

TEST(DornixMsg, ListenPrintsEachMessageOnOneLine) {
  ScratchRoot root;
  ToolRun listen = start(root, {"listen", "logic", "--count", "3", "--timeout", "20"}, "listen");
  ASSERT_TRUE(wait_for_socket(root, "logic"));
  ASSERT_GE(comm_start("fw", 0), 0);
  msg_record *q = msgr_makeTransQuery("fw", "logic", "g", "wan/state");
  std::string seq = q->seq;
  ASSERT_GT(msg_send(q), 0);
  ASSERT_EQ(5, comm_sendto(serv_socket, "<oops", 5, "logic"));
  ASSERT_GT(msgr_sendReport("fw", "logic", "done", "12", "two\nlines \"q\"", 14), 0);
  EXPECT_EQ(0, finish(listen));
  EXPECT_EQ("from=\"fw\" to=\"logic\" seq=\"" + seq +
                "\" transaction=query key=\"wan/state\" group=\"g\" error=0\n"
                "unreadable (5 bytes): \"<oops\"\n"
                "from=\"fw\" to=\"logic\" seq=\"" + std::to_string(atoi(seq.c_str()) + 1) +
                "\" report name=\"done\" pid=\"12\" text=\"two\\nlines \\\"q\\\"\"\n",
            slurp(listen.out));
  // The tool gave its socket file back.
  struct stat st;
  EXPECT_NE(0, stat(root.path("/var/tmp/cm_logic.ctl").c_str(), &st));
}

TEST(DornixMsg, QueryAndSetAnsweredByAnotherTool) {
  ScratchRoot root;
  ToolRun answer = start(root, {"answer", "logic", "4.2;x", "--count", "2", "--timeout", "20"},
                     "answer");
  ASSERT_TRUE(wait_for_socket(root, "logic"));
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
}

TEST(DornixMsg, ClearFailuresAndBoundedWait) {
  ScratchRoot root;
  ToolRun nobody = start(root, {"query", "nobody", "k"}, "nobody");
  EXPECT_EQ(3, finish(nobody));
  EXPECT_NE(std::string::npos, slurp(nobody.err).find("not sent to \"nobody\""));

  int silent = bind_peer("logic");
  ASSERT_GE(silent, 0);
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  ToolRun wait = start(root, {"report", "logic", "boot", "--timeout", "0.2"}, "wait");
  EXPECT_EQ(1, finish(wait));
  clock_gettime(CLOCK_MONOTONIC, &t1);
  EXPECT_LT(t1.tv_sec - t0.tv_sec, 3);
  EXPECT_NE(std::string::npos, slurp(wait.err).find("no answer from \"logic\""));
  EXPECT_NE(std::string::npos, receive_text(silent).find("<report><name>boot</name></report>"));

  // The address is served already: the tool says so and leaves the file.
  ToolRun second = start(root, {"listen", "logic", "--timeout", "1"}, "second");
  EXPECT_EQ(3, finish(second));
  EXPECT_NE(std::string::npos, slurp(second.err).find("already serves \"logic\""));
  close(silent);
}

}  // namespace
