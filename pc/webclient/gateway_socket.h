// One TCP connection to the gateway, for the life of one request: create,
// configure, connect, send, optionally receive, destroy. Failures are results
// (0 / false), never exceptions; a transport failure clears the connected
// flag so that later calls on the same connection fail at once. It carries
// HTTP requests and replies and knows nothing of what the gateway's
// programs answer in them (the upload unit, upload.h, reads the verdict).
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
  // The host given to Connect.
  const char *Host() const { return host_; }
  bool SendGet(const char *path);
  bool SendPost(const char *path, const char *body);

  // The pieces of a request of one's own (the upload's):
  // Sets the buffer size and the socket options of a request; false when an
  // option cannot be set.
  bool PrepareRequest(int size);
  // Notes the request's first line, for the log and the problems.
  void StartRequest(const std::string &request);
  // Sends bytes of the request in pieces of the buffer size; false (with
  // the problem noted) when the connection broke.
  bool SendRequest(const std::string &request);
  // Notes a failure of the request in progress (and logs it, unless the
  // caller says what follows from it).
  void Fail(const std::string &problem, bool log = true);
  bool SendFailed();

  // What went wrong last on this connection, for a person: "no connection to
  // 192.168.0.1 port 80 (refused)", "GET /x: HTTP status 404", ... ("" when
  // nothing did). Every request, its outcome and every failure also go into
  // the support log.
  const std::string &Problem() const { return problem_; }

 private:
  ReplyEnd ReceiveReply(uint32_t limitMs, size_t maxBytes, CReplyFraming &framing,
                        const std::function<bool(const std::string &)> &sink);
  uint32_t LimitMs() const;
  // `ms`, cut to what is left before the deadline.
  uint32_t WithinDeadline(uint32_t ms) const;
  bool PastDeadline() const { return hasDeadline_ && WithinDeadline(1) == 0; }

  platform::Socket socket_ = platform::kInvalidSocket;
  int connected_ = 0;
  bool hasDeadline_ = false;
  uint32_t deadlineStart_ = 0, deadlineMs_ = 0;
  const char *host_ = "";
  std::string request_;  // "GET /path HTTP/1.1"
  std::string problem_;
};

}  // namespace velmora

#endif
