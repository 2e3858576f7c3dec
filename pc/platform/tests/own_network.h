// Runs a piece of a test in a child process inside a network namespace of
// its own, so that nothing it sends can leave the machine (POSIX only).
#ifndef VELMORA_PLATFORM_TESTS_OWN_NETWORK_H
#define VELMORA_PLATFORM_TESTS_OWN_NETWORK_H

#ifndef _WIN32
#include <sched.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace velmora {

// Runs `setup` (shell commands, e.g. ip) in the new namespace, then `body`;
// returns body's exit status (0..199), or -1 when the namespace could not be
// made or set up.
template <typename Body>
int InOwnNetwork(const char *setup, Body body) {
  pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNET) != 0) _exit(200);
    if (system(setup) != 0) _exit(201);
    _exit(body());
  }
  if (pid < 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) >= 200) return -1;
  return WEXITSTATUS(status);
}

}  // namespace velmora
#endif

#endif
