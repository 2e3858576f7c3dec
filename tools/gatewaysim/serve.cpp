// The listener in front of the web servers: accepts connections one by one
// and hands each to a web server process in inetd mode. The PC sends its
// form posts back to back without reading a reply, and a web server that
// forks per connection may run the second CGI before the first; a gateway
// applies them in the order they came. So each connection gets a head start:
// the next one is accepted only when the previous one has been answered, or
// after `order_ms` when it takes longer (an upload, a restart request, an
// idle client), so that no connection can hold up the gateway for long.
#include "serve.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace gwsim {

int listen_on(int port) {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a;
  memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s, (struct sockaddr *)&a, sizeof a) != 0 || listen(s, 16) != 0) {
    close(s);
    return -1;
  }
  return s;
}

namespace {

long now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

}  // namespace

int serve_main(int port, int order_ms, char **argv) {
  int s = listen_on(port);
  if (s < 0) {
    perror("serve: bind");
    return 1;
  }
  for (;;) {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    int c = accept(s, nullptr, nullptr);
    if (c < 0) continue;
    pid_t pid = fork();
    if (pid < 0) {
      close(c);
      continue;
    }
    if (pid == 0) {
      close(s);
      dup2(c, 0);
      dup2(c, 1);
      if (c > 1) close(c);
      execvp(argv[0], argv);
      perror("serve: exec");
      _exit(127);
    }
    close(c);
    long until = now_ms() + order_ms;
    while (now_ms() < until) {
      if (waitpid(pid, nullptr, WNOHANG) != 0) break;
      usleep(2000);
    }
  }
}

}  // namespace gwsim
