#include "fake_server.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <filesystem>

#include "fixtures.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace velmora {
namespace testing {

namespace {

uint32_t Now() { return platform::TickCount(); }

size_t ContentLength(const std::string &headers) {
  // Case-insensitive search for the header name.
  std::string lower = headers;
  for (char &c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  size_t p = lower.find("\r\ncontent-length:");
  if (p == std::string::npos) return 0;
  return static_cast<size_t>(strtoul(headers.c_str() + p + 17, nullptr, 10));
}

}  // namespace

bool FakeConnection::ReadSome(int waitMs) {
  if (peerClosed_) return false;
  platform::WaitResult w =
      platform::WaitReadable(socket_, static_cast<uint32_t>(waitMs < 0 ? 0 : waitMs));
  if (w == platform::WaitResult::kTimeout) return true;
  if (w == platform::WaitResult::kError) {
    peerClosed_ = true;
    return false;
  }
  char buffer[65536];
  int n = platform::Receive(socket_, buffer, sizeof buffer);
  if (n <= 0) {
    peerClosed_ = true;
    return false;
  }
  received.append(buffer, static_cast<size_t>(n));
  return true;
}

std::string FakeConnection::ReadRequest(int timeoutMs) {
  size_t start = received.size();
  uint32_t begin = Now();
  size_t headerEnd = std::string::npos;
  size_t want = 0;
  while (static_cast<int>(Now() - begin) < timeoutMs) {
    if (headerEnd == std::string::npos) {
      headerEnd = received.find("\r\n\r\n", start);
      if (headerEnd != std::string::npos) {
        headerEnd += 4;
        want = headerEnd + ContentLength(received.substr(start, headerEnd - start));
      }
    }
    if (headerEnd != std::string::npos && received.size() >= want) break;
    if (!ReadSome(50) && peerClosed_) break;
  }
  std::string request = received.substr(start);
  size_t sp1 = request.find(' ');
  size_t sp2 = sp1 == std::string::npos ? sp1 : request.find(' ', sp1 + 1);
  if (sp2 != std::string::npos && sp1 + 2 <= sp2)
    lastPath_ = request.substr(sp1 + 2, sp2 - sp1 - 2);
  return request;
}

bool FakeConnection::ReadUntil(const std::string &marker, int timeoutMs) {
  size_t start = received.size();
  uint32_t begin = Now();
  while (received.find(marker, start) == std::string::npos) {
    if (static_cast<int>(Now() - begin) >= timeoutMs) return false;
    if (!ReadSome(50) && peerClosed_) return received.find(marker, start) != std::string::npos;
  }
  return true;
}

void FakeConnection::ReadFor(int ms) {
  uint32_t begin = Now();
  while (static_cast<int>(Now() - begin) < ms) {
    if (!ReadSome(ms - static_cast<int>(Now() - begin)) && peerClosed_) return;
  }
}

void FakeConnection::ReadSlowly(size_t bytes, int pauseMs, int ms) {
  std::vector<char> buffer(bytes);
  for (uint32_t begin = Now(); !peerClosed_ && static_cast<int>(Now() - begin) < ms;) {
    if (platform::WaitReadable(socket_, 50) == platform::WaitResult::kReady) {
      int n = platform::Receive(socket_, buffer.data(), static_cast<int>(bytes));
      if (n <= 0) {
        peerClosed_ = true;
        return;
      }
      received.append(buffer.data(), static_cast<size_t>(n));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
}

bool FakeConnection::Send(const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    int n = platform::Send(socket_, bytes.data() + sent,
                           static_cast<int>(bytes.size() - sent));
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool FakeConnection::SendSlowly(const std::string &bytes, size_t chunk, int pauseMs) {
  for (size_t i = 0; i < bytes.size(); i += chunk) {
    if (!Send(bytes.substr(i, chunk))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  return true;
}

void FakeConnection::EndReply() { platform::ShutdownSend(socket_); }

void FakeConnection::Close() {
  if (closed_) return;
  platform::CloseSocket(socket_);
  closed_ = true;
  peerClosed_ = true;
}

FakeServer::FakeServer(Script script) : script_(std::move(script)) {
  platform::NetAcquire();
  listener_ = platform::ListenLoopback(&port_);
  thread_ = std::thread([this] { Run(); });
}

FakeServer::~FakeServer() {
  Stop();
  platform::NetRelease();
}

void FakeServer::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ != platform::kInvalidSocket) platform::CloseSocket(listener_);
  listener_ = platform::kInvalidSocket;
}

void FakeServer::Run() {
  while (!stop_) {
    if (listener_ == platform::kInvalidSocket) return;
    if (platform::WaitReadable(listener_, 50) != platform::WaitResult::kReady) continue;
    platform::Socket s = platform::Accept(listener_);
    if (s == platform::kInvalidSocket) continue;
    FakeConnection connection(s);
    script_(connection);
    // Record what the client still sends, until it closes or goes quiet.
    uint32_t begin = Now();
    size_t before = connection.received.size();
    while (!connection.peerClosed_ && static_cast<int>(Now() - begin) < 3000) {
      connection.ReadSome(50);
      if (connection.received.size() != before) {
        before = connection.received.size();
        begin = Now();
      }
    }
    connection.Close();
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(connection.received);
    paths_.push_back(connection.LastPath());
    done_.notify_all();
  }
}

std::vector<std::string> FakeServer::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> FakeServer::Paths() {
  std::lock_guard<std::mutex> lock(mutex_);
  return paths_;
}

bool FakeServer::WaitForConnections(size_t n, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return done_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return received_.size() >= n; });
}

Reply Reply::Page(const std::string &body) {
  return Raw("HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n" + body);
}

Reply Reply::Unauthorized() {
  return Raw(
      "HTTP/1.0 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"gateway\"\r\n"
      "\r\n<html>401 Unauthorized</html>");
}

Reply Reply::Raw(const std::string &bytes) {
  Reply r;
  r.bytes = bytes;
  return r;
}

std::string Between(const std::string &s, const std::string &a, const std::string &b) {
  size_t p = s.find(a);
  if (p == std::string::npos) return "";
  p += a.size();
  size_t q = s.find(b, p);
  return s.substr(p, q == std::string::npos ? std::string::npos : q - p);
}

FakeServer::Script ServePages(std::map<std::string, Reply> pages) {
  return [pages](FakeConnection &c) {
    c.ReadRequest();
    const std::string path = c.LastPath();
    const Reply *best = nullptr;
    size_t bestLen = 0;
    for (const auto &entry : pages) {
      if (path.compare(0, entry.first.size(), entry.first) == 0 &&
          (best == nullptr || entry.first.size() > bestLen)) {
        best = &entry.second;
        bestLen = entry.first.size();
      }
    }
    Reply notFound = Reply::Raw("HTTP/1.0 404 Not Found\r\n\r\nnot found");
    if (!best) best = &notFound;
    switch (best->kind) {
      case Reply::kPage:
        c.Send(best->bytes);
        c.EndReply();
        break;
      case Reply::kSilence:
        c.ReadFor(3000);
        break;
      case Reply::kDrop:
        c.Close();
        break;
    }
  };
}

uint32_t TestClock::TickCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Now() + static_cast<uint32_t>(skipped_);
}

void TestClock::Sleep(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  skipped_ += ms;
  sleeps_.push_back(ms);
}

void TestClock::PumpingSleep(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  skipped_ += ms;
  pumping_.push_back(ms);
}

std::vector<uint32_t> TestClock::Sleeps() {
  std::lock_guard<std::mutex> lock(mutex_);
  return sleeps_;
}

std::vector<uint32_t> TestClock::PumpingSleeps() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pumping_;
}

ScopedTestEnv::ScopedTestEnv() {
  localDir = platform::MakeTempDirectory("velmora-c");
  kitDir = platform::MakeTempDirectory("velmora-kit");
  Environment &env = Env();
  env.clock = &clock;
  env.isGatewayReachable = [this](const char *) {
    probes++;
    return reachable.load();
  };
}

ScopedTestEnv::~ScopedTestEnv() {
  ResetEnv();
  platform::RemoveTree(localDir);
  platform::RemoveTree(kitDir);
}

std::string ScopedTestEnv::ReadLocal(const char *windowsPath) {
  FILE *f = fopen(LocalPath(localDir, windowsPath).c_str(), "r");
  if (!f) return "<missing>";
  std::string text;
  int c;
  while ((c = fgetc(f)) != EOF) text.push_back(static_cast<char>(c));
  fclose(f);
  return text;
}

void ScopedTestEnv::WriteLocal(const char *windowsPath, const std::string &text) {
  FILE *f = fopen(LocalPath(localDir, windowsPath).c_str(), "w");
  if (!f) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

bool WriteTestKit(const std::string &dir, const std::string &version,
                  const std::string &platforms, bool withPrepare,
                  const std::string &imageName) {
  for (const std::string &old : platform::FindFiles(dir, "*.img"))
    platform::DeleteLocalFile(platform::JoinPath(dir, old));
  const std::string image = fixtures::Image(GWC_MAGIC_SQUASHFS, 700008, 1, 'F');
  bool ok = platform::WriteWholeFile(platform::JoinPath(dir, imageName), image) &&
            platform::WriteWholeFile(platform::JoinPath(dir, "config.xml"),
                                     "<?xml version=\"1.0\"?>\n<config version=\"" + version +
                                         "\">\n</config>\n") &&
            platform::WriteWholeFile(platform::JoinPath(dir, "upgrade.ini"), platforms + "\n");
  std::string prepare = platform::JoinPath(dir, "prepare.bin");
  if (!withPrepare) {
    platform::DeleteLocalFile(prepare);
    return ok;
  }
  std::string tar = fixtures::Tar({fixtures::TarEntry("pkg/fw.inf", "prepare\n"),
                                   fixtures::TarEntry("pkg/fw_exec.sh", "#!/bin/sh\necho prepared\n", '0', 0755),
                                   fixtures::TarEntry("pkg/filler.bin", std::string(700000, '\0'))});
  return ok && platform::WriteWholeFile(prepare, tar);
}

ScopedCurrentDir::ScopedCurrentDir(const std::string &dir) {
  previous_ = std::filesystem::current_path().string();
  std::filesystem::current_path(dir);
}

ScopedCurrentDir::~ScopedCurrentDir() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
}

}  // namespace testing
}  // namespace velmora
