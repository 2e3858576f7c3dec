// Test support for everything that talks to the gateway: a real TCP server
// on 127.0.0.1 (ephemeral port) that records the exact bytes of every
// connection and answers from a script, a clock that skips sleeps, and a
// scoped environment that points the wizard's ports, probe, clock and "C:\"
// at them.
#ifndef VELMORA_WEBCLIENT_TESTS_FAKE_SERVER_H
#define VELMORA_WEBCLIENT_TESTS_FAKE_SERVER_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/environment.h"
#include "platform/net.h"

namespace velmora {
namespace testing {

// One accepted connection, as the script sees it. Everything read is also
// appended to `received`.
class FakeConnection {
 public:
  explicit FakeConnection(platform::Socket s) : socket_(s) {}

  // Reads one HTTP request: the headers and as many body bytes as its
  // Content-Length announces. Returns the whole request ("" on time-out).
  std::string ReadRequest(int timeoutMs = 5000);
  // Reads until `marker` has arrived (true) or the time is up (false).
  bool ReadUntil(const std::string &marker, int timeoutMs);
  // Reads whatever arrives within ms.
  void ReadFor(int ms);
  // Takes at most `bytes` every pauseMs, for ms: a peer that keeps taking
  // a little.
  void ReadSlowly(size_t bytes, int pauseMs, int ms);
  // Path of the last request read ("/cgi-bin/..." without the "/").
  std::string LastPath() const { return lastPath_; }

  bool Send(const std::string &bytes);
  // Sends in pieces of `chunk` bytes with a pause after each.
  bool SendSlowly(const std::string &bytes, size_t chunk, int pauseMs);
  // Stops sending; the client sees the connection end.
  void EndReply();
  // Drops the connection at once (nothing more is read or recorded).
  void Close();

  std::string received;

 private:
  // One read of at most waitMs; false when the peer closed or failed.
  bool ReadSome(int waitMs);
  platform::Socket socket_;
  std::string lastPath_;
  bool peerClosed_ = false;
  bool closed_ = false;
  friend class FakeServer;
};

// A loopback server that hands each connection, one after another, to the
// script. After the script returns, the server reads on until the client
// closes (at most 3 s) so that trailing bytes are recorded, then closes.
class FakeServer {
 public:
  using Script = std::function<void(FakeConnection &)>;
  explicit FakeServer(Script script);
  ~FakeServer();
  FakeServer(const FakeServer &) = delete;
  FakeServer &operator=(const FakeServer &) = delete;

  int port() const { return port_; }
  // Bytes received on each finished connection, in order of acceptance.
  std::vector<std::string> Received();
  // Request paths of the finished connections, in order.
  std::vector<std::string> Paths();
  // Waits until n connections have finished; false on time-out.
  bool WaitForConnections(size_t n, int timeoutMs = 10000);
  // Finishes the connection in progress and stops accepting; afterwards
  // Received() and Paths() hold every connection the client made.
  void Stop();

 private:
  void Run();
  Script script_;
  platform::Socket listener_ = platform::kInvalidSocket;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable done_;
  std::vector<std::string> received_;
  std::vector<std::string> paths_;
  std::thread thread_;
};

// What a page server answers to one path.
struct Reply {
  enum Kind { kPage, kSilence, kDrop } kind = kPage;
  std::string bytes;  // for kPage: sent as it is, then the connection ends
  static Reply Page(const std::string &body);      // "HTTP/1.0 200 OK" + body
  static Reply Unauthorized();                     // a 401 reply
  static Reply Raw(const std::string &bytes);
  static Reply Silence() { Reply r; r.kind = kSilence; return r; }
  static Reply Drop() { Reply r; r.kind = kDrop; return r; }
};

// The text between the first `a` in `s` and the next `b` after it (to the
// end without one); "" without `a`. For picking values out of requests.
std::string Between(const std::string &s, const std::string &a, const std::string &b);

// A script that reads one request per connection and answers by path: the
// reply of the longest key that the request path starts with (a 404 page
// when none does). Form posts and uploads are answered with `Page("")`.
FakeServer::Script ServePages(std::map<std::string, Reply> pages);

// Virtual time: TickCount follows the real clock plus everything slept, and
// Sleep / PumpingSleep return at once, recording what was asked.
class TestClock : public Clock {
 public:
  uint32_t TickCount() override;
  void Sleep(uint32_t ms) override;
  void PumpingSleep(uint32_t ms) override;
  // Limits on waits for the peer run in real time, shrunk by this factor.
  uint32_t Limit(uint32_t ms) override { return ScaleLimit(ms, limitScale); }
  double limitScale = 1.0;
  std::vector<uint32_t> Sleeps();         // plain sleeps, in order
  std::vector<uint32_t> PumpingSleeps();  // pumping sleeps, in order

 private:
  std::mutex mutex_;
  uint64_t skipped_ = 0;
  std::vector<uint32_t> sleeps_, pumping_;
};

// Makes a fresh "C:\" directory and a kit directory, and points Env() at
// the test clock and a probe that says reachable (change `reachable` to say
// otherwise); everything is put back and removed on destruction.
class ScopedTestEnv {
 public:
  ScopedTestEnv();
  ~ScopedTestEnv();
  std::string localDir;
  std::string kitDir;
  // Gives a client (or anything with stateDir and kitDir) these folders.
  template <typename Client>
  void Place(Client &client) const {
    client.stateDir = localDir;
    client.kitDir = kitDir;
  }
  TestClock clock;
  std::atomic<int> reachable{1};
  std::atomic<int> probes{0};

  // Contents of a "C:\Name" file, read in text mode; "<missing>" when absent.
  std::string ReadLocal(const char *windowsPath);
  void WriteLocal(const char *windowsPath, const std::string &text);
};

// Writes a kit that the kit check passes into `dir`: a tagged file-system
// image `imageName` of about 700 kB, config.xml holding `version`,
// upgrade.ini listing `platforms`, and, with `withPrepare`, a package
// prepare.bin. Existing kit files are replaced.
bool WriteTestKit(const std::string &dir, const std::string &version,
                  const std::string &platforms = "GQ GX", bool withPrepare = true,
                  const std::string &imageName = "fw-test.img");

// Makes the current directory `dir` for the life of the object: the kit's
// files must be found in the kit folder whatever the current one is.
class ScopedCurrentDir {
 public:
  explicit ScopedCurrentDir(const std::string &dir);
  ~ScopedCurrentDir();

 private:
  std::string previous_;
};

}  // namespace testing
}  // namespace velmora

#endif
