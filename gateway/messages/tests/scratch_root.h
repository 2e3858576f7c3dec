// A scratch gateway root for tests: a fresh directory in $DORNIX_ROOT with
// the folders the message library uses, removed again afterwards. It also
// gives the process its endpoint back and resets the library's hooks.
#ifndef DORNIX_MESSAGES_TESTS_SCRATCH_ROOT_H
#define DORNIX_MESSAGES_TESTS_SCRATCH_ROOT_H

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "message.h"

class ScratchRoot {
 public:
  ScratchRoot() {
    char tmpl[] = "/tmp/dornix-msg-XXXXXX";
    root_ = mkdtemp(tmpl);
    for (const char *d : {"/var", "/var/tmp", "/var/run", "/proc", "/proc/net", "/dev"})
      mkdir((root_ + d).c_str(), 0755);
    write_file("/dev/led", "");
    setenv("DORNIX_ROOT", root_.c_str(), 1);
  }

  ~ScratchRoot() {
    if (serv_socket >= 0) close(serv_socket);
    serv_socket = -1;
    send_flags = 0;
    msg_flush();
    msg_setRouteTable(nullptr);
    msg_setRouteHook(nullptr);
    msg_setClock(nullptr);
    msg_setSleep(nullptr);
    msg_failAlloc(0);
    nftw(root_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    unsetenv("DORNIX_ROOT");
  }

  const std::string &path() const { return root_; }
  std::string path(const char *rel) const { return root_ + rel; }

  void write_file(const char *rel, const std::string &text) const {
    FILE *f = fopen(path(rel).c_str(), "w");
    if (f == nullptr) return;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }

  std::string read_file(const char *rel) const {
    std::string out;
    FILE *f = fopen(path(rel).c_str(), "r");
    if (f == nullptr) return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    fclose(f);
    return out;
  }

 private:
  static int remove_entry(const char *p, const struct stat *, int, struct FTW *) {
    return remove(p);
  }
  std::string root_;
};

// The socket address of the file of `address`.
inline struct sockaddr_un socket_address(const char *address) {
  struct sockaddr_un sa = {};
  sa.sun_family = AF_UNIX;
  comm_socket_path(address, sa.sun_path, sizeof sa.sun_path);
  return sa;
}

// A plain datagram socket bound to the socket file of `address`, standing in
// for another process's endpoint. -1 on failure.
inline int bind_peer(const char *address) {
  int s = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (s < 0) return -1;
  struct sockaddr_un sa = socket_address(address);
  unlink(sa.sun_path);
  if (bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
    close(s);
    return -1;
  }
  return s;
}

// Fills the queue of the socket bound at `address` (which never reads) from
// a socket of its own that does not block: afterwards a send to it fails
// with EAGAIN, or blocks. The number of datagrams it took.
inline int fill_queue(const char *address) {
  int s = socket(AF_UNIX, SOCK_DGRAM, 0);
  if (s < 0) return -1;
  struct sockaddr_un sa = socket_address(address);
  const struct sockaddr *to = reinterpret_cast<struct sockaddr *>(&sa);
  int sent = 0;
  while (sent < 100000 && sendto(s, "x", 1, MSG_DONTWAIT, to, sizeof sa) == 1) ++sent;
  close(s);
  return sent;
}

// One datagram from `sock`, waiting at most `ms` milliseconds; empty when
// none came.
inline std::string receive_text(int sock, int ms = 2000) {
  struct pollfd pfd = {sock, POLLIN, 0};
  if (poll(&pfd, 1, ms) != 1) return std::string();
  char buf[MSG_OUT_BUFFER + 16];
  ssize_t n = recv(sock, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

#endif
