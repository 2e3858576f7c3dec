// Helpers shared by the tests that drive the gateway simulator from a shell:
// run a command and keep what it printed, read a file whole, look for text.
#ifndef TOOLS_GATEWAYSIM_TESTS_SIM_TEST_UTIL_H
#define TOOLS_GATEWAYSIM_TESTS_SIM_TEST_UTIL_H

#include <stdio.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>
#include <string>

struct Shell {
  int status;
  std::string out;
};

// Runs `cmd` through the shell; standard error goes with standard output.
inline Shell sh(const std::string &cmd) {
  Shell r{-1, ""};
  FILE *p = popen((cmd + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  int st = pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool contains(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

#endif
