// Where an HTTP reply ends. The wizard never interprets replies as HTTP
// beyond this: callers still search the text for marker words. But a reply
// says itself how long it is (Content-Length, a chunked body) or that it
// ends when the server closes, and only that decides when a page is whole;
// a pause of the server never does.
#ifndef VELMORA_WEBCLIENT_HTTP_REPLY_H
#define VELMORA_WEBCLIENT_HTTP_REPLY_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace velmora {

class CReplyFraming {
 public:
  // Takes the next bytes as they arrived. The reply's text (status line and
  // headers as they came, a chunked body without its chunk lines) is
  // appended to *text. Interim replies (1xx) before it are passed over:
  // their heads reach neither the text nor Status().
  void Feed(const char *data, size_t length, std::string *text);

  // Whether the whole reply has arrived by its own account. A reply that
  // announces no length ends when the server closes (Closed()).
  bool Complete() const { return state_ == kDone; }
  // Whether the reply announced its length (Content-Length or chunked).
  bool Framed() const { return framed_; }
  // Whether the server's close ends the reply well: its head has arrived
  // and announced no length.
  bool EndsAtClose() const { return state_ == kUntilClose && !framed_; }
  // The status code of the final reply's status line ("HTTP/1.x NNN ..."),
  // 0 while its head is incomplete or when the reply is not HTTP.
  int Status() const { return status_; }
  // The value of header `name` in the head of an HTTP reply, without the
  // blanks around it; "" when the head lacks it, has not arrived whole, or
  // the reply is not HTTP.
  std::string Header(const char *name) const;

 private:
  enum State { kHead, kBody, kUntilClose, kChunkSize, kChunkData, kChunkEnd, kTrailer, kDone };
  void ParseHead();
  void FeedChunked(const char *data, size_t length, std::string *text);

  State state_ = kHead;
  bool framed_ = false;
  int status_ = 0;
  std::string head_;
  uint64_t remaining_ = 0;  // body bytes (kBody) or chunk bytes (kChunkData) to come
  std::string line_;        // chunk size or trailer line being read
};

}  // namespace velmora

#endif
