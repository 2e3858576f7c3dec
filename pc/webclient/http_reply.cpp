#include "webclient/http_reply.h"

#include <stdlib.h>
#include <string.h>

#include "webclient/text_util.h"

namespace velmora {

namespace {

const size_t kLongestHead = 16384;
const size_t kLongestChunkLine = 1024;

// The value of header `name` in `head` ("" when absent).
std::string HeaderValue(const std::string &head, const char *name) {
  std::string key = std::string("\n") + name + ":";
  long at = CTextUtil::FindIn(head.data(), head.size(), key.c_str());
  if (at < 0) return "";
  size_t from = static_cast<size_t>(at) + key.size();
  size_t end = head.find('\n', from);
  std::string value = head.substr(from, end == std::string::npos ? std::string::npos : end - from);
  size_t b = value.find_first_not_of(" \t");
  size_t e = value.find_last_not_of(" \t\r");
  return b == std::string::npos ? "" : value.substr(b, e - b + 1);
}

bool ParseDecimal(const std::string &text, uint64_t *out) {
  if (text.empty() || text.size() > 18) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

// The hexadecimal size at the start of a chunk line (extensions after ';').
bool ParseChunkSize(const std::string &line, uint64_t *out) {
  uint64_t v = 0;
  size_t digits = 0;
  for (char c : line) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c == ';' || c == '\r' || c == ' ' || c == '\t') break;
    else return false;
    if (++digits > 15) return false;
    v = v * 16 + static_cast<uint64_t>(d);
  }
  *out = v;
  return digits > 0;
}

}  // namespace

std::string CReplyFraming::Header(const char *name) const {
  return status_ == 0 ? std::string() : HeaderValue(head_, name);
}

void CReplyFraming::ParseHead() {
  // "HTTP/1.x NNN": anything else is a reply of unknown form, which ends
  // when the server closes.
  state_ = kUntilClose;
  if (head_.compare(0, 5, "HTTP/") != 0) return;
  size_t sp = head_.find(' ');
  if (sp == std::string::npos || sp + 4 > head_.size()) return;
  int status = 0;
  for (size_t i = sp + 1; i < sp + 4; ++i) {
    if (head_[i] < '0' || head_[i] > '9') return;
    status = status * 10 + (head_[i] - '0');
  }
  status_ = status;
  if (status_ >= 100 && status_ < 200) {
    // An interim reply ("100 Continue", "103 Early Hints", ...) is a head
    // without a body, and the reply proper follows it on the same
    // connection: it is read as though the interim one had not come.
    status_ = 0;
    head_.clear();
    state_ = kHead;
    return;
  }
  if (status_ < 200 || status_ == 204 || status_ == 304) {
    framed_ = true;
    state_ = kDone;
    return;
  }
  std::string coding = HeaderValue(head_, "Transfer-Encoding");
  if (!coding.empty() && CTextUtil::Find(coding.c_str(), "chunked") >= 0) {
    framed_ = true;
    state_ = kChunkSize;
    return;
  }
  std::string length = HeaderValue(head_, "Content-Length");
  if (length.empty()) return;
  framed_ = true;
  if (!ParseDecimal(length, &remaining_)) {
    // A length that cannot be read: the reply can never be proved whole.
    state_ = kUntilClose;
    return;
  }
  state_ = remaining_ == 0 ? kDone : kBody;
}

void CReplyFraming::Feed(const char *data, size_t length, std::string *text) {
  while (length > 0) {
    switch (state_) {
      case kHead: {
        // The head goes into the text once it is known to be the reply's
        // own: an interim reply's head is no part of the page.
        size_t before = head_.size();
        head_.append(data, length);
        size_t prefix = head_.size() < 5 ? head_.size() : 5;
        if (head_.compare(0, prefix, "HTTP/", prefix) != 0) {
          state_ = kUntilClose;
          text->append(head_);
          return;
        }
        size_t end = head_.find("\r\n\r\n");
        size_t endLen = 4;
        size_t lf = head_.find("\n\n");
        if (lf != std::string::npos && (end == std::string::npos || lf < end)) {
          end = lf;
          endLen = 2;
        }
        if (end == std::string::npos) {
          if (head_.size() > kLongestHead) {
            state_ = kUntilClose;
            text->append(head_);
          }
          return;
        }
        size_t used = end + endLen - before;
        head_.resize(end + endLen);
        ParseHead();
        if (state_ != kHead) text->append(head_);
        data += used;
        length -= used;
        break;
      }
      case kBody: {
        size_t take = length < remaining_ ? length : static_cast<size_t>(remaining_);
        text->append(data, take);
        remaining_ -= take;
        if (remaining_ == 0) state_ = kDone;
        return;  // bytes after the announced length belong to nothing
      }
      case kUntilClose:
        text->append(data, length);
        return;
      case kDone:
        return;
      default:
        FeedChunked(data, length, text);
        return;
    }
  }
}

void CReplyFraming::FeedChunked(const char *data, size_t length, std::string *text) {
  size_t i = 0;
  while (i < length && state_ != kDone && state_ != kUntilClose) {
    char c = data[i];
    switch (state_) {
      case kChunkData: {
        size_t take = length - i < remaining_ ? length - i : static_cast<size_t>(remaining_);
        text->append(data + i, take);
        remaining_ -= take;
        i += take;
        if (remaining_ == 0) state_ = kChunkEnd;
        break;
      }
      case kChunkEnd:
        ++i;
        if (c == '\n') state_ = kChunkSize;
        break;
      case kChunkSize:
      case kTrailer:
        ++i;
        if (c != '\n') {
          line_ += c;
          // A chunk line without end: the body can never be proved whole.
          if (line_.size() > kLongestChunkLine) state_ = kUntilClose;
          break;
        }
        if (state_ == kTrailer) {
          if (line_.empty() || line_ == "\r") state_ = kDone;
        } else if (!ParseChunkSize(line_, &remaining_)) {
          state_ = kUntilClose;
        } else {
          state_ = remaining_ == 0 ? kTrailer : kChunkData;
        }
        line_.clear();
        break;
      default:
        ++i;
        break;
    }
  }
  // A body that stopped being chunked is read to the close, from here on
  // whichever read these bytes came in.
  if (state_ == kUntilClose) text->append(data + i, length - i);
}

}  // namespace velmora
