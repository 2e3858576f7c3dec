// One TCP connection to the gateway, for the life of one request: create,
// configure, connect, send, optionally receive, destroy. Failures are results
// (0 / false), never exceptions; a transport failure clears the connected
// flag so that later calls on the same connection fail at once.
#ifndef VELMORA_WEBCLIENT_GATEWAY_SOCKET_H
#define VELMORA_WEBCLIENT_GATEWAY_SOCKET_H

#include <stddef.h>

#include <string>

#include "platform/net.h"
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
  int timeoutSeconds = 20;

  // 1 connected, 0 failed. The host is dotted IPv4 or a name.
  int Connect(int port, const char *host);
  int IsConnected() const { return connected_; }

  // 1 when all `length` bytes went out within the time-out, else 0.
  int SendAll(const char *data, int length);
  // Reads until the buffer is full, one second of silence, or the peer
  // closes; the count received (0 on time-out or failure).
  int ReceiveAll(char *buffer, int length);
  // One receive after at most `seconds` of waiting; its count, else 0.
  int ReceiveWithin(char *buffer, int length, int seconds);

  bool BuildAuthorization(std::string &out) const;
  bool SendGet(const char *path);
  bool SendPost(const char *path, const char *body);
  // Uploads a file as the multipart form field "UploadFile" named fileName;
  // the bytes are read from localPath (fileName itself when null). True when
  // the reply does not report a failure.
  // With `signature` (the text of the file's .minisig), a "signature"
  // part goes in front of the file.
  bool UploadFile(const char *path, const char *fileName,
                  const char *localPath = nullptr,
                  const std::string *signature = nullptr);
  // After UploadFile: the gateway answered fail[4], as one that does not
  // know the "signature" part does; the gateway said that it checked the
  // signature and that it held.
  bool SignaturePartRefused() const { return signatureRefused_; }
  // The connection broke while the request was still going out.
  bool TransferBroken() const { return transferBroken_; }
  bool SignatureChecked() const { return signatureChecked_; }

 private:
  bool PrepareRequest(int size);
  bool SendRequest(const std::string &request);
  bool SendRaw(const char *data, int length);
  int SendWithin(const char *data, int length);
  bool TimedOut(unsigned startMs) const;

  platform::Socket socket_ = platform::kInvalidSocket;
  int connected_ = 0;
  bool signatureRefused_ = false;
  bool signatureChecked_ = false;
  bool transferBroken_ = false;
  const char *host_ = "";
  char request_[kRequestBufferSize];
};

}  // namespace velmora

#endif
