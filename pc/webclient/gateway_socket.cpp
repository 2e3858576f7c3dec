#include "webclient/gateway_socket.h"

#include <string.h>

#include <vector>

#include "platform/environment.h"
#include "platform/files.h"
#include "webclient/text_util.h"
#include "webclient/upload_progress.h"

namespace velmora {

namespace {

const unsigned kWaitStepMs = 1000;  // one second of silence ends a ReceiveAll
const uint32_t kUploadReplyMs = 150000;
const unsigned kPauseAfterUploadMs = 20000;
const size_t kLongestUploadReply = 1 << 20;

bool Interrupted() {
  return platform::LastNetError() == platform::NetError::kInterrupted;
}

uint32_t Since(uint32_t startMs) { return Env().clock->TickCount() - startMs; }

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

int CGatewaySocket::Connect(int port, const char *host) {
  connected_ = 0;
  host_ = host ? host : "";
  if (socket_ == platform::kInvalidSocket) return 0;
  if (!platform::BindAny(socket_) &&
      platform::LastNetError() != platform::NetError::kInvalidArgument)
    return 0;
  platform::Ipv4 address;
  // The host may come from an edit control with its line end still on it.
  if (!platform::ResolveHost(RequestHost(host_).c_str(), &address)) return 0;
  if (!platform::ConnectWithin(socket_, address, port, LimitMs())) return 0;
  connected_ = 1;
  return 1;
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
    if (Since(lastProgress) >= limit) {
      connected_ = 0;
      break;
    }
    platform::WaitResult w = platform::WaitWritable(socket_, kWaitStepMs);
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
    if (Since(start) >= limit) {
      connected_ = 0;
      return 0;
    }
    platform::WaitResult w = platform::WaitReadable(socket_, kWaitStepMs);
    if (w == platform::WaitResult::kTimeout) break;
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
  unsigned ms = seconds > 0 ? static_cast<unsigned>(seconds) * 1000u : 0u;
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
  if (!connected_) return kReplyIncomplete;
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
  if (request.size() > kLongestRequest) return false;
  size_t piece = bufferSize > 0 ? static_cast<size_t>(bufferSize) : 1;
  for (size_t at = 0; at < request.size(); at += piece) {
    size_t n = request.size() - at < piece ? request.size() - at : piece;
    if (SendAll(request.data() + at, static_cast<int>(n)) != 1) return false;
  }
  return true;
}

bool CGatewaySocket::SendGet(const char *path) {
  if (!PrepareRequest(64000)) return false;
  std::string auth;
  BuildAuthorization(auth);
  return SendRequest(ComposeGet(path, host_, auth));
}

bool CGatewaySocket::SendPost(const char *path, const char *body) {
  if (!PrepareRequest(1024)) return false;
  std::string auth;
  BuildAuthorization(auth);
  return SendRequest(ComposePost(path, host_, auth, body));
}

CGatewaySocket::UploadVerdict CGatewaySocket::UploadFile(
    const char *path, const char *fileName, const char *localPath,
    const std::string *signature) {
  replyStatus_ = 0;
  signatureRefused_ = signatureChecked_ = transferBroken_ = false;
  if (!PrepareRequest(1024)) return kUploadRefused;
  std::string auth;
  BuildAuthorization(auth);
  if (!SendRequest(ComposeUploadHead(path, host_, auth))) return kUploadRefused;

  platform::File file;
  if (!file.Open(localPath ? localPath : fileName, platform::File::kRead))
    return kUploadRefused;
  int64_t size = file.Size();
  if (size < 0) return kUploadRefused;

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
    if (n < 0) return kUploadRefused;
    if (n == 0) break;
    if (SendAll(block, static_cast<int>(n)) != 1) return kUploadRefused;
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
  ReadReply(Env().clock->Limit(kUploadReplyMs), kLongestUploadReply, framing,
            [&](const std::string &text) {
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
  // No verdict (no answer, a close or a reset after the body, bytes that
  // say nothing): the gateway may have restarted without answering. The
  // version it runs after the power cycle decides.
  if (verdict == kUploadAccepted) Env().clock->Sleep(kPauseAfterUploadMs);
  return verdict;
}

}  // namespace velmora
