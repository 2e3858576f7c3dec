#include "webclient/gateway_socket.h"

#include <string.h>

#include <vector>

#include "app/environment.h"
#include "app/support_log.h"
#include "webclient/text_util.h"

namespace velmora {

namespace {

const unsigned kWaitStepMs = 1000;  // one second of silence ends a ReceiveAll

bool Interrupted() {
  return platform::LastNetError() == platform::NetError::kInterrupted;
}

uint32_t Since(uint32_t startMs) { return Env().clock->TickCount() - startMs; }

// Why a connect failed, in a person's words.
std::string ConnectFailure(uint32_t limitMs) {
  switch (platform::LastNetError()) {
    case platform::NetError::kConnectionRefused: return "refused";
    case platform::NetError::kUnreachable: return "network unreachable";
    case platform::NetError::kWouldBlock:
    case platform::NetError::kTimedOut:
      return "no answer within " + std::to_string(limitMs / 1000) + " s";
    default: return "error " + std::to_string(platform::LastNetErrorCode());
  }
}

const char *Describe(CGatewaySocket::ReplyEnd end) {
  switch (end) {
    case CGatewaySocket::kReplyComplete: return "whole";
    case CGatewaySocket::kReplyIncomplete: return "cut short (the connection closed or broke)";
    case CGatewaySocket::kReplyTimedOut: return "not whole within its time limit";
    case CGatewaySocket::kReplyTooLong: return "longer than any page of the Gateway";
    case CGatewaySocket::kReplyStopped: return "read up to its verdict";
  }
  return "";
}

}  // namespace

CGatewaySocket::CGatewaySocket() {
  platform::NetAcquire();
  socket_ = platform::TcpSocket();
  if (socket_ != platform::kInvalidSocket) {
    platform::SetDontLinger(socket_);
    platform::SetNonBlocking(socket_, false);
  }
}

CGatewaySocket::~CGatewaySocket() {
  if (socket_ != platform::kInvalidSocket) platform::CloseSocket(socket_);
  platform::NetRelease();
}

void CGatewaySocket::SetDeadline(uint32_t limitMs) {
  hasDeadline_ = true;
  deadlineStart_ = Env().clock->TickCount();
  deadlineMs_ = limitMs;
}

uint32_t CGatewaySocket::WithinDeadline(uint32_t ms) const {
  if (!hasDeadline_) return ms;
  uint32_t spent = Since(deadlineStart_);
  uint32_t left = spent >= deadlineMs_ ? 0 : deadlineMs_ - spent;
  return ms < left ? ms : left;
}

int CGatewaySocket::Connect(int port, const char *host) {
  connected_ = 0;
  host_ = host ? host : "";
  // The host may come from an edit control with its line end still on it.
  std::string name = RequestHost(host_);
  std::string to = "no connection to " + name + " port " + std::to_string(port) + " (";
  if (socket_ == platform::kInvalidSocket ||
      (!platform::BindAny(socket_) &&
       platform::LastNetError() != platform::NetError::kInvalidArgument)) {
    Fail(to + "no network socket: error " + std::to_string(platform::LastNetErrorCode()) + ")");
    return 0;
  }
  platform::Ipv4 address;
  if (!platform::ResolveHost(name.c_str(), &address)) {
    Fail(to + "not an address this computer can reach)");
    return 0;
  }
  uint32_t limit = WithinDeadline(LimitMs());
  if (limit == 0 || !platform::ConnectWithin(socket_, address, port, limit)) {
    Fail(to + ConnectFailure(limit) + ")");
    return 0;
  }
  connected_ = 1;
  return 1;
}

void CGatewaySocket::StartRequest(const std::string &request) {
  request_ = request.substr(0, request.find("\r\n"));
  problem_.clear();
}

void CGatewaySocket::Fail(const std::string &problem, bool log) {
  problem_ = request_.empty() ? problem : request_.substr(0, request_.rfind(' ')) + ": " + problem;
  if (log) SupportLog("failed: %s", problem_.c_str());
}

uint32_t CGatewaySocket::LimitMs() const {
  return Env().clock->Limit(timeoutSeconds > 0 ? static_cast<uint32_t>(timeoutSeconds) * 1000u : 0u);
}

int CGatewaySocket::SendAll(const char *data, int length) {
  if (length > bufferSize || length < 0 || !connected_) return 0;
  // A peer that stops reading must not pass for one that took everything,
  // nor hold the wizard in a blocking send: the sends here never block, and
  // a send that makes no progress for the time-out fails.
  platform::SetNonBlocking(socket_, true);
  uint32_t limit = LimitMs();
  uint32_t lastProgress = Env().clock->TickCount();
  int sent = 0;
  while (sent < length && connected_) {
    if (Since(lastProgress) >= limit || PastDeadline()) {
      connected_ = 0;
      break;
    }
    platform::WaitResult w = platform::WaitWritable(socket_, WithinDeadline(kWaitStepMs));
    if (w == platform::WaitResult::kTimeout) continue;
    if (w == platform::WaitResult::kError) {
      if (!Interrupted()) connected_ = 0;
      continue;
    }
    int n = platform::Send(socket_, data + sent, length - sent);
    if (n < 0) {
      if (!Interrupted() && platform::LastNetError() != platform::NetError::kWouldBlock)
        connected_ = 0;
      continue;
    }
    sent += n;
    lastProgress = Env().clock->TickCount();
  }
  platform::SetNonBlocking(socket_, false);
  return sent == length && connected_ ? 1 : 0;
}

int CGatewaySocket::ReceiveAll(char *buffer, int length) {
  if (length > bufferSize || length < 0 || !connected_) return 0;
  uint32_t start = Env().clock->TickCount();
  uint32_t limit = LimitMs();
  int got = 0;
  while (got < length) {
    if (Since(start) >= limit || PastDeadline()) {
      connected_ = 0;
      return 0;
    }
    uint32_t wait = WithinDeadline(kWaitStepMs);
    platform::WaitResult w = platform::WaitReadable(socket_, wait);
    // Silence ends the read; the deadline's end is no silence.
    if (w == platform::WaitResult::kTimeout && wait == kWaitStepMs) break;
    if (w == platform::WaitResult::kTimeout) continue;
    if (w == platform::WaitResult::kError) {
      if (Interrupted()) continue;
      connected_ = 0;
      return 0;
    }
    int n = platform::Receive(socket_, buffer + got, length - got);
    if (n > 0) {
      got += n;
      continue;
    }
    if (n < 0 && Interrupted()) continue;
    connected_ = 0;
    return got;
  }
  return got;
}

int CGatewaySocket::ReceiveWithin(char *buffer, int length, int seconds) {
  if (length > bufferSize || length < 0 || !connected_) return 0;
  unsigned ms = WithinDeadline(seconds > 0 ? static_cast<unsigned>(seconds) * 1000u : 0u);
  if (platform::WaitReadable(socket_, ms) != platform::WaitResult::kReady)
    return 0;
  int n = platform::Receive(socket_, buffer, length);
  if (n > 0) return n;
  if (n == 0 || !Interrupted()) connected_ = 0;
  return 0;
}

CGatewaySocket::ReplyEnd CGatewaySocket::ReadReply(
    uint32_t limitMs, size_t maxBytes, CReplyFraming &framing,
    const std::function<bool(const std::string &)> &sink) {
  ReplyEnd end = ReceiveReply(limitMs, maxBytes, framing, sink);
  std::string reply = framing.Status() ? "HTTP status " + std::to_string(framing.Status()) + ", "
                                       : std::string("no HTTP status, ");
  reply += Describe(end);
  if (end == kReplyComplete || end == kReplyStopped) {
    SupportLog("reply to %s: %s", request_.c_str(), reply.c_str());
    // A 401 is how the gateway asks for a login: whoever asked says what
    // follows from it.
    if (framing.Status() >= 400)
      Fail("HTTP status " + std::to_string(framing.Status()), framing.Status() != 401);
  } else {
    Fail("the reply was " + reply);
  }
  return end;
}

CGatewaySocket::ReplyEnd CGatewaySocket::ReceiveReply(
    uint32_t limitMs, size_t maxBytes, CReplyFraming &framing,
    const std::function<bool(const std::string &)> &sink) {
  if (!connected_) return kReplyIncomplete;
  limitMs = WithinDeadline(limitMs);
  uint32_t start = Env().clock->TickCount();
  std::vector<char> block(16384);
  std::string text;
  size_t total = 0;
  while (!framing.Complete()) {
    uint32_t spent = Since(start);
    if (spent >= limitMs) {
      connected_ = 0;
      return kReplyTimedOut;
    }
    uint32_t wait = limitMs - spent < kWaitStepMs ? limitMs - spent : kWaitStepMs;
    platform::WaitResult w = platform::WaitReadable(socket_, wait);
    if (w == platform::WaitResult::kTimeout) continue;
    if (w == platform::WaitResult::kError) {
      if (Interrupted()) continue;
      connected_ = 0;
      return kReplyIncomplete;
    }
    int n = platform::Receive(socket_, block.data(), static_cast<int>(block.size()));
    if (n < 0 && Interrupted()) continue;
    if (n <= 0) {
      // A reset never ends a reply well; a close ends one that said it
      // would end so.
      connected_ = 0;
      return n == 0 && framing.EndsAtClose() ? kReplyComplete : kReplyIncomplete;
    }
    total += static_cast<size_t>(n);
    if (total > maxBytes) {
      connected_ = 0;
      return kReplyTooLong;
    }
    text.clear();
    framing.Feed(block.data(), static_cast<size_t>(n), &text);
    if (!text.empty() && !sink(text)) return kReplyStopped;
  }
  return kReplyComplete;
}

bool CGatewaySocket::BuildAuthorization(std::string &out) const {
  return ComposeAuthorization(userName, password, out);
}

bool CGatewaySocket::PrepareRequest(int size) {
  bufferSize = size;
  return platform::SetDontLinger(socket_) &&
         platform::SetReceiveBuffer(socket_, size) &&
         platform::SetSendBuffer(socket_, size);
}

bool CGatewaySocket::SendRequest(const std::string &request) {
  // Requests longer than the buffer size go out in pieces of that size.
  if (request.size() > kLongestRequest) {
    Fail("the request is too long to send");
    return false;
  }
  size_t piece = bufferSize > 0 ? static_cast<size_t>(bufferSize) : 1;
  for (size_t at = 0; at < request.size(); at += piece) {
    size_t n = request.size() - at < piece ? request.size() - at : piece;
    if (SendAll(request.data() + at, static_cast<int>(n)) != 1) return SendFailed();
  }
  return true;
}

bool CGatewaySocket::SendFailed() {
  Fail(PastDeadline() ? "the Gateway did not take the request within its time limit"
                      : "the connection broke while the request was sent");
  return false;
}

bool CGatewaySocket::SendGet(const char *path) {
  if (!PrepareRequest(64000)) return false;
  std::string auth;
  BuildAuthorization(auth);
  std::string request = ComposeGet(path, host_, auth);
  StartRequest(request);
  return SendRequest(request);
}

bool CGatewaySocket::SendPost(const char *path, const char *body) {
  if (!PrepareRequest(1024)) return false;
  std::string auth;
  BuildAuthorization(auth);
  std::string request = ComposePost(path, host_, auth, body);
  StartRequest(request);
  return SendRequest(request);
}

}  // namespace velmora
