#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <stdarg.h>
#include <string.h>

#include <memory>

#include <string>
#include <vector>

#include "message.h"
#include "msg_test_util.h"

namespace {

int add_values_var(msg_record *m, int count, ...) {
  va_list ap;
  va_start(ap, count);
  int r = msgr_addTransValuesVar(m, count, ap);
  va_end(ap);
  return r;
}

std::string seq_piece(const msg_record *m) {
  return std::string("<sequence>") + m->seq + "</sequence>";
}

// ---- Writer ----

TEST(Writer, WorkedQueryAndSingleAnswer) {
  Msg q(msgr_makeTransQuery("fw", "logic", nullptr, "system/version"));
  ASSERT_TRUE(q);
  EXPECT_EQ("<message><to>logic</to><from>fw</from>" + seq_piece(q.get()) +
                "<transaction><type>query</type><key>system/version</key><error>0</error>"
                "</transaction></message>",
            xml(q.get()));

  Msg a(msgr_makeTransResponseSingle("logic", "fw", nullptr, q->seq, 0, "system/version",
                                     "a<b;c"));
  ASSERT_TRUE(a);
  EXPECT_EQ("<message><to>fw</to><from>logic</from>" + seq_piece(a.get()) +
                "<transaction><type>response</type><key>system/version</key>"
                "<sequence>" + q->seq + "</sequence><error>0</error>"
                "<values><row><value>a&#60;b&#59;c</value></row></values>"
                "</transaction></message>",
            xml(a.get()));
}

TEST(Writer, TransactionPiecesAbsentSlotsAndUnknownType) {
  Msg m(msgr_makeTransBase("x", "y", 12, "g1", "k<1", "7", 0, -5, "oops %d", 3));
  ASSERT_TRUE(m);
  free(m->seq);
  m->seq = nullptr;
  ASSERT_EQ(0, msgr_addTransValues(m.get(), 3, "v", nullptr, ""));
  ASSERT_EQ(0, msgr_addTransValues(m.get(), 0));  // adds nothing
  ASSERT_EQ(0, add_values_var(m.get(), 0));  // an empty row
  // The key is verbatim; values are escaped; an absent slot is <value/>.
  EXPECT_EQ("<message><to>y</to><from>x</from><transaction><type>unknown</type><key>k<1</key>"
            "<sequence>7</sequence><group>g1</group><error>-5</error>"
            "<error_msg>oops 3</error_msg><values><row><value>v</value><value/>"
            "<value></value></row><row></row></values></transaction></message>",
            xml(m.get()));
  // Numbers are written as "%d" writes them, to the ends of their range.
  for (int code : {INT_MIN, INT_MAX, 0}) {
    m->trans->error_code = code;
    EXPECT_NE(std::string::npos, xml(m.get()).find("<error>" + std::to_string(code) + "</error>"));
  }
  EXPECT_STREQ("-2147483648", msg_convSeq(INT_MIN));
}

TEST(Writer, BodylessTypesWriteHeaderOnly) {
  Msg m(msgr_makeTransQuery("fw", "logic", nullptr, "k"));
  ASSERT_TRUE(m);
  std::string header = "<message><to>logic</to><from>fw</from>" + seq_piece(m.get());
  for (int type : {0, 4, 6, 11, -3}) {
    m->type = type;
    EXPECT_EQ(header + "</message>", xml(m.get())) << type;
  }
  m->type = MSG_TRANSACTION;
  msg_record bare = *m;
  bare.trans = nullptr;
  EXPECT_EQ(header + "</message>", xml(&bare));
}

TEST(Writer, ReportLogMonitorProgram) {
  Msg r(msgr_makeReport("pc", "logic", "started", "12", "a\"&'>\xe9zzzz", 9));
  ASSERT_TRUE(r);
  free(r->seq);
  r->seq = nullptr;
  EXPECT_EQ("<message><to>logic</to><from>pc</from><report><name>started</name><pid>12</pid>"
            "<text>a&#34;&#38;'&#62;\xe9zzz</text></report></message>",
            xml(r.get()));

  msg_record log = {};
  log_record body = {};
  log.type = MSG_LOG;
  log.log = &body;
  EXPECT_EQ("<message><to></to><from></from><log><text></text></log></message>", xml(&log));
  body.level = const_cast<char *>("err");
  body.text = const_cast<char *>("x;y");
  EXPECT_EQ("<message><to></to><from></from><log><level>err</level><text>x&#59;y</text></log>"
            "</message>",
            xml(&log));

  Msg mon(msgr_makeMonitorDelete("logic", "/var/log/messages", "ppp"));
  ASSERT_TRUE(mon);
  EXPECT_EQ("<message><to>monitor</to><from>logic</from>" + seq_piece(mon.get()) +
                "<monitor action=\"delete\"><filename>/var/log/messages</filename>"
                "<search><name>ppp</name></search></monitor></message>",
            xml(mon.get()));

  Msg stop(msgr_makeProgramStop("logic", "pppd_pppoe"));
  ASSERT_TRUE(stop);
  EXPECT_EQ("<message><to>pc</to><from>logic</from>" + seq_piece(stop.get()) +
                "<program action=\"stop\"><pid>pppd_pppoe</pid><output></output></program>"
                "</message>",
            xml(stop.get()));

  const char *argv[] = {"-d", "a<b"};
  const char *pairs[] = {"up", "^UP$"};
  Msg start(msgr_makeProgramStart("logic", "/bin/pppd", "pppd_pppoe", 2, argv, 1, pairs));
  ASSERT_TRUE(start);
  EXPECT_EQ("<message><to>pc</to><from>logic</from>" + seq_piece(start.get()) +
                "<program action=\"start\"><name>/bin/pppd</name><pid>pppd_pppoe</pid>"
                "<arg>-d</arg><arg>a&#60;b</arg><output><search><name>up</name>"
                "<regex>^UP$</regex></search></output></program></message>",
            xml(start.get()));
}

TEST(Writer, BufferEdge) {
  Msg m(msgr_makeTransSet("fw", "logic", nullptr, "k", "v;v"));
  ASSERT_TRUE(m);
  std::string full = xml(m.get());
  size_t len = full.size();
  std::vector<char> buf(len + 8, '#');
  // Text plus NUL fit exactly: the length.
  EXPECT_EQ((int)len, msg_makeXML(buf.data(), len + 1, m.get()));
  EXPECT_EQ(full, std::string(buf.data()));
  // Every smaller size fails and never writes past `size` (including
  // sizes that cut an escaped reference).
  for (size_t size = 0; size <= len; ++size) {
    std::fill(buf.begin(), buf.end(), '#');
    EXPECT_EQ(-1, msg_makeXML(buf.data(), size, m.get())) << size;
    for (size_t i = size; i < buf.size(); ++i) ASSERT_EQ('#', buf[i]) << size;
  }
  EXPECT_EQ(0, msg_makeXML(nullptr, 100, m.get()));
  EXPECT_EQ(0, msg_makeXML(buf.data(), 100, nullptr));
}

TEST(Writer, EscapeStopsBeforeWhatDoesNotFit) {
  char out[16];
  memset(out, '#', sizeof out);
  EXPECT_EQ(13, escapeXML(out, sizeof out, "a<b;c"));
  EXPECT_EQ("a&#60;b&#59;c", std::string(out, 13));
  EXPECT_EQ('#', out[13]);
  EXPECT_EQ(1, escapeXML(out, 5, "a<b"));   // the reference needs 5
  EXPECT_EQ(6, escapeXML(out, 6, "a<b"));
  EXPECT_EQ(0, escapeXML(out, sizeof out, nullptr));
  EXPECT_EQ(0, escapeXML(out, 0, "abc"));
}

}  // namespace
