// The simulated telnet service: login and password prompts, then a shell
// that knows "reboot". One process per connection.
#include "telnetd.h"

#include "serve.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace gwsim {

namespace {

const int kIdleMs = 120000;

void say(int fd, const std::string &s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return;
    off += (size_t)n;
  }
}

// One input line without its end; false when the peer left or stayed silent.
// Telnet option negotiation (IAC sequences) is skipped, never answered.
bool read_line(int fd, std::string *line) {
  line->clear();
  int skip = 0;
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, kIdleMs) <= 0) return false;
    unsigned char c;
    if (recv(fd, &c, 1, 0) != 1) return false;
    if (skip > 0) {
      --skip;
      continue;
    }
    if (c == 255) {
      skip = 2;
      continue;
    }
    if (c == '\n' || c == '\r') {
      if (c == '\r') {
        // Swallow the LF or NUL that follows a CR, when it is already there.
        struct pollfd q = {fd, POLLIN, 0};
        if (poll(&q, 1, 50) > 0) {
          unsigned char next;
          if (recv(fd, &next, 1, MSG_PEEK) == 1 && (next == '\n' || next == 0)) {
            if (recv(fd, &next, 1, 0) != 1) return false;
          }
        }
      }
      return true;
    }
    if (c != 0) *line += (char)c;
  }
}

void session(const SimDir &d, int fd, const std::string &user, const std::string &password) {
  say(fd, "\r\nKestrelon DSL Gateway\r\n\r\n");
  bool in = false;
  for (int attempt = 0; attempt < 3 && !in; ++attempt) {
    std::string u, p;
    say(fd, "login: ");
    if (!read_line(fd, &u)) return;
    say(fd, "Password: ");
    if (!read_line(fd, &p)) return;
    in = u == user && p == password;
    log_request(d, "telnet", "login " + u + (in ? " accepted" : " refused"));
    if (!in) say(fd, "\r\nLogin incorrect\r\n");
  }
  if (!in) return;
  say(fd, "\r\n\r\nKestrelon shell\r\n# ");
  std::string cmd;
  while (read_line(fd, &cmd)) {
    size_t b = cmd.find_first_not_of(' ');
    cmd = b == std::string::npos ? "" : cmd.substr(b, cmd.find_last_not_of(' ') - b + 1);
    if (!cmd.empty()) log_request(d, "telnet", "command " + cmd);
    if (cmd == "reboot") {
      say(fd, "\r\nThe system is going down NOW!\r\n");
      FILE *f = fopen(d.reboot_request().c_str(), "a");
      if (f != nullptr) {
        fputs("telnet\n", f);
        fclose(f);
      }
      return;
    }
    if (cmd == "exit" || cmd == "logout") return;
    if (!cmd.empty()) say(fd, "sh: " + cmd + ": not found\r\n");
    say(fd, "# ");
  }
}

}  // namespace

int telnetd_main(const SimDir &d, int port) {
  signal(SIGCHLD, SIG_IGN);  // sessions are reaped by the system
  int s = listen_on(port);
  if (s < 0) {
    perror("telnetd: listen");
    return 1;
  }
  for (;;) {
    int c = accept(s, nullptr, nullptr);
    if (c < 0) continue;
    pid_t pid = fork();
    if (pid == 0) {
      close(s);
      Settings config;
      config.load(d.config());
      session(d, c, config.get("telnet_user", "admin"), config.get("telnet_password", "vemox"));
      shutdown(c, SHUT_RDWR);
      close(c);
      _exit(0);
    }
    close(c);
  }
}

}  // namespace gwsim
