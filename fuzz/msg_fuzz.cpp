// The message reader on any datagram: msg_parse refuses it or gives a
// message that the writer turns into text, exactly as expat alone does
// (msg_parse_xml; the library reads its own messages without expat). When the reader takes that text
// back, the message must then keep its text through further round trips:
// after two (searches come back in reverse order after each), the text is
// the same. Text that the reader refuses is no finding by itself: names,
// patterns and other fields go out verbatim, so a character reference the
// reader decoded in them makes the written text unreadable. Nor is a CR or
// a tab that the writer puts out as it is: every XML reader turns a CR (or
// CR LF) into LF, and a CR, LF or tab in an attribute value into a blank.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "fuzz_root.h"
#include "message.h"
#include "msg_internal.h"

using fuzzroot::Fail;

namespace {

// The message written out, or "" when it does not fit a datagram.
std::string write_out(const msg_record *msg) {
  static char buffer[MSG_OUT_BUFFER];
  int n = msg_makeXML(buffer, sizeof buffer, msg);
  if (n < 0) return "";
  if ((size_t)n >= sizeof buffer || buffer[n] != '\0') Fail("msg_makeXML: length and text differ");
  return std::string(buffer, (size_t)n);
}

// Whether an XML reader changes some byte of the text on reading: a CR or
// tab anywhere, or an LF inside a tag (in an attribute value).
bool normalised_on_reading(const std::string &text) {
  bool in_tag = false;
  for (char c : text) {
    if (c == '\r' || c == '\t' || (c == '\n' && in_tag)) return true;
    if (c == '<') in_tag = true;
    if (c == '>') in_tag = false;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;  // larger than any datagram
  // No NUL after the bytes: the reader must keep to the length it is given.
  msg_record *msg = msg_parse(reinterpret_cast<const char *>(data), (int)size);
  msg_record *by_expat = msg_parse_xml(reinterpret_cast<const char *>(data), (int)size);
  if ((msg == nullptr) != (by_expat == nullptr)) Fail("the reader and expat disagree on refusal");
  if (msg != nullptr && (msg->type != by_expat->type || write_out(msg) != write_out(by_expat)))
    Fail("the reader and expat read different messages");
  msg_free(by_expat);
  if (msg != nullptr) {
    const std::string first = write_out(msg);
    msg_free(msg);
    msg_record *second = first.empty() ? nullptr : msg_parse(first.data(), (int)first.size());
    if (second != nullptr) {
      const std::string text2 = write_out(second);
      msg_free(second);
      msg_record *third = msg_parse(text2.data(), (int)text2.size());
      if (third == nullptr) Fail("the reader refuses the text of a message it read back");
      if (!normalised_on_reading(first) && write_out(third) != first)
        Fail("a message changes on its way through writer and reader");
      msg_free(third);
    }
  }
  lib_close_messages();
  return 0;
}
