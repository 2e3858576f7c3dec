// Helpers shared by the message tests: an owning pointer for records and
// the record as the writer puts it on the wire.
#ifndef DORNIX_MESSAGES_TESTS_MSG_TEST_UTIL_H
#define DORNIX_MESSAGES_TESTS_MSG_TEST_UTIL_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "message.h"

struct MsgDeleter {
  void operator()(msg_record *m) const { msg_free(m); }
};
using Msg = std::unique_ptr<msg_record, MsgDeleter>;

inline std::string xml(const msg_record *m) {
  std::vector<char> buf(MSG_OUT_BUFFER);
  int n = msg_makeXML(buf.data(), buf.size(), m);
  EXPECT_GT(n, 0);
  return n > 0 ? std::string(buf.data(), (size_t)n) : std::string();
}

#endif
