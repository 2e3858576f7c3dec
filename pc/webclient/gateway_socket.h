// One TCP connection to the gateway, for the life of one request: create,
// configure, connect, send, optionally receive, destroy. Failures are results
// (0 / false), never exceptions; a transport failure clears the connected
// flag so that later calls on the same connection fail at once.
#ifndef VELMORA_WEBCLIENT_GATEWAY_SOCKET_H
#define VELMORA_WEBCLIENT_GATEWAY_SOCKET_H

#include <stddef.h>

#include <functional>
#include <string>

#include "platform/net.h"
#include "webclient/http_reply.h"
#include "webclient/requests.h"

namespace velmora {

class CGatewaySocket {
 public:
  CGatewaySocket();
  ~CGatewaySocket();
  CGatewaySocket(const CGatewaySocket &) = delete;
  CGatewaySocket &operator=(const CGatewaySocket &) = delete;

  // Filled in by each operation before Connect. Texts are borrowed.
  int bufferSize = 1024;
  const char *userName = "";
  const char *password = "";
  // The limit of one connect, of a send that makes no progress and of one
  // ReceiveAll; every limit goes through Env().clock->Limit.
  int timeoutSeconds = 20;

  // Ends the whole dialogue on this connection `limitMs` (already scaled)
  // from now: the connect, every send and every read end by then however
  // the peer paces its bytes, each within its own limit too. A peer that
  // keeps talking, or keeps taking a byte now and then, cannot hold the
  // wizard beyond it. Without a deadline only each call's limit holds.
  void SetDeadline(uint32_t limitMs);

  // 1 connected, 0 failed (also when the connect takes longer than the
  // time-out). The host is dotted IPv4 or a name.
  int Connect(int port, const char *host);
  int IsConnected() const { return connected_; }

  // 1 when all `length` bytes went out, else 0: a peer that takes no byte
  // for the time-out fails the send.
  int SendAll(const char *data, int length);
  // Reads until the buffer is full, one second of silence, or the peer
  // closes; the count received (0 on time-out or failure).
  int ReceiveAll(char *buffer, int length);
  // One receive after at most `seconds` of waiting; its count, else 0.
  int ReceiveWithin(char *buffer, int length, int seconds);

  // How ReadReply ended.
  enum ReplyEnd {
    kReplyComplete,    // by its own framing, or closed when it has none
    kReplyIncomplete,  // closed or reset before its announced end
    kReplyTimedOut,    // the overall limit passed first
    kReplyTooLong,     // more than the size limit arrived
    kReplyStopped,     // the sink asked to stop
  };
  // Reads one HTTP reply within limitMs (already scaled) and at most
  // maxBytes. Each piece of the reply's text goes to `sink`, which returns
  // false to stop reading.
  ReplyEnd ReadReply(uint32_t limitMs, size_t maxBytes, CReplyFraming &framing,
                     const std::function<bool(const std::string &)> &sink);

  bool BuildAuthorization(std::string &out) const;
  bool SendGet(const char *path);
  bool SendPost(const char *path, const char *body);

  // What the upload's reply said.
  enum UploadVerdict {
    kUploadRefused = -1,     // an error status, "failed", or a failed send
    kUploadUnconfirmed = 0,  // the reply ended without a verdict
    kUploadAccepted = 1,     // "successful" or dornix's "ok"
  };
  // Uploads a file as the multipart form field "UploadFile" named fileName;
  // the bytes are read from localPath (fileName itself when null).
  // With `signature` (the text of the file's .minisig), a "signature"
  // part goes in front of the file.
  UploadVerdict UploadFile(const char *path, const char *fileName,
                           const char *localPath = nullptr,
                           const std::string *signature = nullptr);
  // After UploadFile: the status code of the reply (0 when none came or it
  // was not HTTP).
  int LastReplyStatus() const { return replyStatus_; }
  // After UploadFile: the gateway answered fail[4], as one that does not
  // know the "signature" part does; the gateway said that it checked the
  // signature and that it held.
  bool SignaturePartRefused() const { return signatureRefused_; }
  // The connection broke while the request was still going out.
  bool TransferBroken() const { return transferBroken_; }
  bool SignatureChecked() const { return signatureChecked_; }
  // After UploadFile: N of dornix's "fail[N]", or -1 when it did not answer
  // with one.
  int FailCode() const { return failCode_; }

  // What went wrong last on this connection, for a person: "no connection to
  // 192.168.0.1 port 80 (refused)", "GET /x: HTTP status 404", ... ("" when
  // nothing did). Every request, its outcome and every failure also go into
  // the support log.
  const std::string &Problem() const { return problem_; }

 private:
  bool PrepareRequest(int size);
  bool SendRequest(const std::string &request);
  // Notes the request's first line, for the log and the problems.
  void StartRequest(const std::string &request);
  void Fail(const std::string &problem);
  bool SendFailed();
  ReplyEnd ReceiveReply(uint32_t limitMs, size_t maxBytes, CReplyFraming &framing,
                        const std::function<bool(const std::string &)> &sink);
  uint32_t LimitMs() const;
  // `ms`, cut to what is left before the deadline.
  uint32_t WithinDeadline(uint32_t ms) const;
  bool PastDeadline() const { return hasDeadline_ && WithinDeadline(1) == 0; }

  platform::Socket socket_ = platform::kInvalidSocket;
  int connected_ = 0;
  int replyStatus_ = 0;
  bool signatureRefused_ = false;
  bool signatureChecked_ = false;
  bool transferBroken_ = false;
  int failCode_ = -1;
  bool hasDeadline_ = false;
  uint32_t deadlineStart_ = 0, deadlineMs_ = 0;
  const char *host_ = "";
  std::string request_;  // "GET /path HTTP/1.1"
  std::string problem_;
};

}  // namespace velmora

#endif
