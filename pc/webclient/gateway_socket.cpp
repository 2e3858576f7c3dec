#include "webclient/gateway_socket.h"

#include <string.h>

#include "platform/environment.h"
#include "platform/files.h"
#include "webclient/text_util.h"

namespace velmora {

namespace {

const unsigned kWaitStepMs = 1000;  // one second of silence ends a read
const int kUploadReplySeconds = 150;
const unsigned kPauseAfterUploadMs = 20000;

bool Interrupted() {
  return platform::LastNetError() == platform::NetError::kInterrupted;
}

}  // namespace

CGatewaySocket::CGatewaySocket() {
  platform::NetAcquire();
  socket_ = platform::TcpSocket();
  if (socket_ != platform::kInvalidSocket) {
    platform::SetDontLinger(socket_);
    platform::SetNonBlocking(socket_, false);
  }
  memset(request_, 0, sizeof request_);
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
  if (!platform::Connect(socket_, address, port)) return 0;
  connected_ = 1;
  return 1;
}

bool CGatewaySocket::TimedOut(unsigned startMs) const {
  unsigned elapsed = Env().clock->TickCount() - startMs;
  return static_cast<int>(elapsed / 1000) >= timeoutSeconds;
}

int CGatewaySocket::SendAll(const char *data, int length) {
  if (length > bufferSize || length < 0 || !connected_) return 0;
  // A peer that stops reading must not pass for one that took everything,
  // nor hold the wizard in a blocking send: the sends here never block, and
  // the writability waits go on up to the overall time-out, then fail.
  platform::SetNonBlocking(socket_, true);
  int result = SendWithin(data, length);
  platform::SetNonBlocking(socket_, false);
  return result;
}

int CGatewaySocket::SendWithin(const char *data, int length) {
  unsigned start = Env().clock->TickCount();
  int sent = 0;
  while (sent < length) {
    if (TimedOut(start)) {
      connected_ = 0;
      return 0;
    }
    platform::WaitResult w = platform::WaitWritable(socket_, kWaitStepMs);
    if (w == platform::WaitResult::kTimeout) continue;
    if (w == platform::WaitResult::kError) {
      if (Interrupted()) continue;
      connected_ = 0;
      return 0;
    }
    int n = platform::Send(socket_, data + sent, length - sent);
    if (n < 0) {
      if (Interrupted() ||
          platform::LastNetError() == platform::NetError::kWouldBlock)
        continue;
      connected_ = 0;
      return 0;
    }
    sent += n;
  }
  return 1;
}

int CGatewaySocket::ReceiveAll(char *buffer, int length) {
  if (length > bufferSize || length < 0 || !connected_) return 0;
  unsigned start = Env().clock->TickCount();
  int got = 0;
  while (got < length) {
    if (TimedOut(start)) {
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
  // The request is composed in a fixed buffer (terminator included); a
  // longer one is not sent at all.
  if (request.size() >= sizeof request_ ||
      request.size() > static_cast<size_t>(bufferSize))
    return false;
  memcpy(request_, request.data(), request.size());
  request_[request.size()] = '\0';
  return SendAll(request_, static_cast<int>(request.size())) == 1;
}

bool CGatewaySocket::SendRaw(const char *data, int length) {
  if (!connected_) return false;
  int sent = 0;
  while (sent < length) {
    int n = platform::Send(socket_, data + sent, length - sent);
    if (n < 0) {
      if (Interrupted()) continue;
      connected_ = 0;
      return false;
    }
    sent += n;
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

bool CGatewaySocket::UploadFile(const char *path, const char *fileName,
                                const char *localPath,
                                const std::string *signature) {
  signatureRefused_ = signatureChecked_ = transferBroken_ = false;
  if (!PrepareRequest(1024)) return false;
  std::string auth;
  BuildAuthorization(auth);
  if (!SendRequest(ComposeUploadHead(path, host_, auth))) return false;

  platform::File file;
  if (!file.Open(localPath ? localPath : fileName, platform::File::kRead))
    return false;
  int64_t size = file.Size();
  if (size < 0) return false;

  // Announce the exact body: a web server that trusts the length would
  // otherwise wait for bytes that never come or cut the image short.
  std::string signaturePart = signature ? ComposeSignaturePart(fileName, *signature) : "";
  if (!SendRequest(ComposeUploadLength(
          UploadBodyLength(fileName, static_cast<uint64_t>(size)) + signaturePart.size())))
    return false;
  // The signature part's leading "\r\n" ends the headers in place of the
  // file part's, which then ends the signature.
  transferBroken_ = true;  // until the last piece is out
  if (signature && !SendRaw(signaturePart.data(), static_cast<int>(signaturePart.size())))
    return false;
  if (!SendRequest(ComposeUploadPartHeader(fileName))) return false;
  char block[1024];
  for (;;) {
    long n = file.Read(block, sizeof block);
    if (n < 0) return false;
    if (n == 0) break;
    if (!SendRaw(block, static_cast<int>(n))) return false;
  }
  file.Close();
  if (!SendRequest(ComposeUploadTail())) return false;
  transferBroken_ = false;

  // The upgrade service says "failed" or "successful"; dornix answers with
  // its result page. Failure words are looked for first in every block.
  static const char *const kFailure[] = {"failed", "upgrade result: fail"};
  static const char *const kSuccess[] = {"successful", "upgrade result: ok"};
  CMarkerScanner scanner(strlen("X-Dornix-Signature: valid"));
  for (;;) {
    int n = ReceiveWithin(request_, static_cast<int>(sizeof request_),
                          kUploadReplySeconds);
    if (n <= 0) return true;  // no verdict: the transfer itself went through
    scanner.Feed(request_, static_cast<size_t>(n));
    if (scanner.Found("X-Dornix-Signature: valid")) signatureChecked_ = true;
    if (signature && scanner.Found("upgrade result: fail[4]")) signatureRefused_ = true;
    for (const char *word : kFailure)
      if (scanner.Found(word)) return false;
    for (const char *word : kSuccess) {
      if (scanner.Found(word)) {
        Env().clock->Sleep(kPauseAfterUploadMs);
        return true;
      }
    }
  }
}

}  // namespace velmora
