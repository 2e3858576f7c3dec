#include "webclient/gateway_socket.h"

#include <string.h>

#include <vector>

#include "platform/environment.h"
#include "platform/files.h"
#include "platform/support_log.h"
#include "webclient/text_util.h"
#include "webclient/upload_progress.h"

namespace velmora {

namespace {

const unsigned kWaitStepMs = 1000;  // one second of silence ends a ReceiveAll
const uint32_t kUploadReplyMs = 150000;
// The file of an upload goes out within a minute and a second for every
// 16,000 bytes: a gateway that takes less, however steadily, is stuck.
const uint32_t kUploadSendMs = 60000;
const uint64_t kUploadBytesPerSecond = 16000;
const unsigned kPauseAfterUploadMs = 20000;
const size_t kLongestUploadReply = 1 << 20;

bool Interrupted() {
  return platform::LastNetError() == platform::NetError::kInterrupted;
}

uint32_t Since(uint32_t startMs) { return Env().clock->TickCount() - startMs; }

// a + b, kept below the longest limit a tick count can measure.
uint32_t AddLimits(uint64_t a, uint64_t b) {
  const uint64_t kLongest = 4000000000u;
  return static_cast<uint32_t>(a + b < kLongest ? a + b : kLongest);
}

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

// N of the first "fail[N]" in `text`, or -1.
int FailCodeIn(const std::string &text) {
  size_t at = text.find("fail[");
  if (at == std::string::npos) return -1;
  int code = 0, digits = 0;
  for (size_t i = at + 5; i < text.size() && digits < 4; ++i, ++digits) {
    if (text[i] == ']') return digits ? code : -1;
    if (text[i] < '0' || text[i] > '9') return -1;
    code = code * 10 + (text[i] - '0');
  }
  return -1;
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

void CGatewaySocket::Fail(const std::string &problem) {
  problem_ = request_.empty() ? problem : request_.substr(0, request_.rfind(' ')) + ": " + problem;
  SupportLog("failed: %s", problem_.c_str());
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
    if (framing.Status() >= 400) Fail("HTTP status " + std::to_string(framing.Status()));
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

CGatewaySocket::UploadVerdict CGatewaySocket::UploadFile(
    const char *path, const char *fileName, const char *localPath,
    const std::string *signature) {
  replyStatus_ = 0;
  failCode_ = -1;
  signatureRefused_ = signatureChecked_ = transferBroken_ = false;
  // Until the file's size is known: the head goes out within a minute.
  SetDeadline(Env().clock->Limit(kUploadSendMs));
  if (!PrepareRequest(1024)) return kUploadRefused;
  std::string auth;
  BuildAuthorization(auth);
  std::string head = ComposeUploadHead(path, host_, auth);
  StartRequest(head);
  if (!SendRequest(head)) return kUploadRefused;

  const char *source = localPath ? localPath : fileName;
  platform::File file;
  int64_t size = file.Open(source, platform::File::kRead) ? file.Size() : -1;
  if (size < 0) {
    Fail(std::string("the kit's file ") + source + " cannot be read");
    return kUploadRefused;
  }
  SupportLog("sending %s: %lld bytes%s", fileName, static_cast<long long>(size),
             signature ? ", with its signature" : "");
  SetDeadline(AddLimits(
      Env().clock->Limit(AddLimits(kUploadSendMs, static_cast<uint64_t>(size) * 1000u /
                                                      kUploadBytesPerSecond)),
      Env().clock->Limit(kUploadReplyMs)));

  // Announce the exact body: a web server that trusts the length would
  // otherwise wait for bytes that never come or cut the image short.
  std::string signaturePart = signature ? ComposeSignaturePart(fileName, *signature) : "";
  if (!SendRequest(ComposeUploadLength(
          UploadBodyLength(fileName, static_cast<uint64_t>(size)) + signaturePart.size())))
    return kUploadRefused;
  // The signature part's leading "\r\n" ends the headers in place of the
  // file part's, which then ends the signature.
  transferBroken_ = true;  // until the last piece is out
  if (signature && !SendRequest(signaturePart)) return kUploadRefused;
  if (!SendRequest(ComposeUploadPartHeader(fileName))) return kUploadRefused;
  char block[1024];
  uint64_t sent = 0;
  for (;;) {
    long n = file.Read(block, sizeof block);
    if (n < 0) {
      Fail(std::string("reading the kit's file ") + source + " failed");
      return kUploadRefused;
    }
    if (n == 0) break;
    if (SendAll(block, static_cast<int>(n)) != 1) {
      SendFailed();
      return kUploadRefused;
    }
    sent += static_cast<uint64_t>(n);
    if (UploadProgress()) UploadProgress()(sent, static_cast<uint64_t>(size));
  }
  file.Close();
  if (!SendRequest(ComposeUploadTail())) return kUploadRefused;
  transferBroken_ = false;

  // The upgrade service says "failed" or "successful"; dornix answers with
  // its result page. An error status refuses the upload at once; failure
  // words are looked for before success words in every piece.
  static const char *const kFailure[] = {"failed", "upgrade result: fail"};
  static const char *const kSuccess[] = {"successful", "upgrade result: ok"};
  CMarkerScanner scanner(strlen("X-Dornix-Signature: valid"));
  CReplyFraming framing;
  UploadVerdict verdict = kUploadUnconfirmed;
  std::string replyHead;  // the start of the reply, where dornix's verdict stands
  ReadReply(Env().clock->Limit(kUploadReplyMs), kLongestUploadReply, framing,
            [&](const std::string &text) {
              if (replyHead.size() < 4096) replyHead += text.substr(0, 4096 - replyHead.size());
              scanner.Feed(text.data(), text.size());
              if (scanner.Found("X-Dornix-Signature: valid")) signatureChecked_ = true;
              if (signature && scanner.Found("upgrade result: fail[4]")) signatureRefused_ = true;
              if (framing.Status() >= 400) {
                verdict = kUploadRefused;
                return false;
              }
              for (const char *word : kFailure)
                if (scanner.Found(word)) verdict = kUploadRefused;
              if (verdict == kUploadUnconfirmed)
                for (const char *word : kSuccess)
                  if (scanner.Found(word)) verdict = kUploadAccepted;
              return verdict == kUploadUnconfirmed;
            });
  replyStatus_ = framing.Status();
  if (replyStatus_ >= 400) verdict = kUploadRefused;
  failCode_ = FailCodeIn(replyHead);
  if (failCode_ >= 0)
    Fail("the Gateway answered fail[" + std::to_string(failCode_) + "]");
  else if (verdict == kUploadRefused && problem_.empty())
    Fail("the Gateway answered that the upload failed");
  SupportLog("verdict on %s: %s", fileName,
             verdict == kUploadAccepted ? "accepted"
             : verdict == kUploadRefused ? "refused"
                                         : "none (the version after the restart decides)");
  // No verdict (no answer, a close or a reset after the body, bytes that
  // say nothing): the gateway may have restarted without answering. The
  // version it runs after the power cycle decides.
  if (verdict == kUploadAccepted) Env().clock->Sleep(kPauseAfterUploadMs);
  return verdict;
}

}  // namespace velmora
