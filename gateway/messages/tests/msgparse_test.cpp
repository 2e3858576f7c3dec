#include <gtest/gtest.h>
#include <stdlib.h>
#include <stdarg.h>
#include <string.h>

#include <memory>

#include <string>
#include <vector>

#include "message.h"

namespace {

struct MsgDeleter {
  void operator()(msg_record *m) const { msg_free(m); }
};
using Msg = std::unique_ptr<msg_record, MsgDeleter>;

std::string xml(const msg_record *m) {
  std::vector<char> buf(MSG_OUT_BUFFER);
  int n = msg_makeXML(buf.data(), buf.size(), m);
  EXPECT_GT(n, 0);
  return n > 0 ? std::string(buf.data(), (size_t)n) : std::string();
}

Msg parse(const std::string &text) { return Msg(msg_parse(text.data(), (int)text.size())); }

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

// ---- Reader ----

TEST(Reader, RoundTripOfEveryWrittenKind) {
  const char *argv[] = {"x&y", "", "z"};
  const char *pairs[] = {"a", "1", "b", nullptr};
  std::vector<Msg> msgs;
  msgs.emplace_back(msgr_makeProgramStart("logic", "n", "p", 3, argv, 2, pairs));
  msgs.emplace_back(msgr_makeProgramSignal("logic", "p", "15"));
  msgs.emplace_back(msgr_makeReport("pc", "logic", "n", "p", "t<>;&\"", 100));
  msgs.emplace_back(msgr_makeTransResponse("logic", "fw", "g", "3", 1, "k", 2, "1", ";"));
  msgs.emplace_back(msgr_makeTransComboError("logic", "fw", "g", "3", 7, "bad %s", "key"));
  for (auto &m : msgs) {
    ASSERT_TRUE(m);
    std::string text = xml(m.get());
    Msg back = parse(text);
    ASSERT_TRUE(back) << text;
    EXPECT_NE(0, back->expires);
    if (back->type == MSG_PROGRAM && back->program->output != nullptr) {
      // Searches come back in reverse order; writing again reverses the
      // order in the text, nothing else changes.
      EXPECT_STREQ("b", back->program->output->name);
      EXPECT_EQ(nullptr, back->program->output->regex);
      EXPECT_STREQ("a", back->program->output->next->name);
      EXPECT_EQ(nullptr, back->program->args->next->text);  // <arg></arg>
      continue;
    }
    EXPECT_EQ(text, xml(back.get()));
  }
}

TEST(Reader, LenientCases) {
  Msg p = parse("<message><from>fw</from><to>pc</to><program action=\"pause\"/></message>\n");
  ASSERT_TRUE(p);
  EXPECT_EQ(MSG_PROGRAM, p->type);
  EXPECT_STREQ("pc", p->to);
  EXPECT_STREQ("fw", p->from);
  EXPECT_STREQ("pause", p->program->action);
  EXPECT_EQ(nullptr, p->program->name);
  EXPECT_EQ(nullptr, p->seq);

  Msg other = parse("<other><to>x</to></other>");
  ASSERT_TRUE(other);
  EXPECT_EQ(0, other->type);
  EXPECT_EQ(nullptr, other->to);
  EXPECT_NE(0, other->expires);

  Msg spaced = parse("<message><to> fw </to><junk><to>y</to><a><b/></a></junk></message>");
  ASSERT_TRUE(spaced);
  EXPECT_STREQ(" fw ", spaced->to);

  Msg t = parse(
      "<message><transaction><type>Query</type><error>12abc</error><key>a</key><key></key>"
      "<values><row><value/><value></value><value>&#59;</value><other>q</other></row>"
      "</values><values><row/></values></transaction></message>");
  ASSERT_TRUE(t);
  EXPECT_EQ(TRANS_UNKNOWN, msg_getTransType(t.get()));
  EXPECT_EQ(12, msg_getTransErrorCode(t.get()));
  EXPECT_STREQ("a", msg_getTransKey(t.get()));  // an empty repeat keeps the text
  EXPECT_EQ(2, msg_getTransNumRows(t.get()));
  EXPECT_EQ(3, msg_getTransNumCols(t.get(), 0));
  EXPECT_STREQ("", msg_getTransValue(t.get(), 0, 0));
  EXPECT_STREQ("", msg_getTransValue(t.get(), 0, 1));
  EXPECT_STREQ(";", msg_getTransValue(t.get(), 0, 2));
  EXPECT_EQ(0, msg_getTransNumCols(t.get(), 1));

  Msg e = parse("<message><transaction><type>set</type><error/><error> -4</error>"
                "<error_msg>x</error_msg><error_msg>y</error_msg></transaction></message>");
  ASSERT_TRUE(e);
  EXPECT_EQ(TRANS_SET, msg_getTransType(e.get()));
  EXPECT_EQ(-4, msg_getTransErrorCode(e.get()));
  EXPECT_STREQ("y", msg_getTransErrorText(e.get()));

  Msg mon = parse("<message><monitor action=\"add\"><search><name>a</name></search>"
                  "<search><name>b</name><regex>r</regex></search></monitor></message>");
  ASSERT_TRUE(mon);
  ASSERT_NE(nullptr, mon->monitor->searches);
  EXPECT_STREQ("b", mon->monitor->searches->name);
  EXPECT_STREQ("a", mon->monitor->searches->next->name);
  EXPECT_EQ(mon->monitor->searches, mon->monitor->searches->next->prev);

  // A repeated body element replaces the earlier part.
  Msg twice = parse("<message><report><name>a</name><pid>1</pid></report>"
                    "<report><name>b</name></report></message>");
  ASSERT_TRUE(twice);
  EXPECT_STREQ("b", msg_getReportName(twice.get()));
  EXPECT_EQ(nullptr, msg_getReportPID(twice.get()));
}

TEST(Reader, RowKeepsFirst30Values) {
  for (int count : {30, 31, 40}) {
    std::string text = "<message><transaction><values><row>";
    for (int i = 0; i < count; ++i) text += "<value>" + std::to_string(i) + "</value>";
    text += "</row></values></transaction></message>";
    Msg m = parse(text);
    ASSERT_TRUE(m) << count;
    EXPECT_EQ(30, msg_getTransNumCols(m.get(), 0));
    EXPECT_STREQ("29", msg_getTransValue(m.get(), 0, 29));
    EXPECT_EQ(nullptr, msg_getTransValue(m.get(), 0, 30));
  }
}

TEST(Reader, Refusals) {
  const char *refused[] = {
      "",
      "<message><to>a</from></message>",
      "<message><to>a</to></message><message/>",
      "<message><to>a</to>",
      "<message><to><x/></to></message>",
      "<message><to>a<x></x>b</to></message>",
      "<message><log><text>a</text></log></message>",
      "<message><error><x/></error></message>",
      "<message><transaction><values><row><value><b/></value></row></values></transaction>"
      "</message>",
      "<message><program><arg><x/></arg></program></message>",
      "<message><to>\x01</to></message>",
  };
  for (const char *text : refused) EXPECT_FALSE(parse(text)) << text;
  EXPECT_EQ(nullptr, msg_parse(nullptr, 3));

  // A log element without children is read (its text goes nowhere).
  Msg log = parse("<message><log>text</log></message>");
  ASSERT_TRUE(log);
  EXPECT_EQ(0, log->type);
}

TEST(Reader, ElementNamesUpTo63Characters) {
  std::string n63(63, 'q'), n64(64, 'q');
  EXPECT_TRUE(parse("<message><" + n63 + ">x</" + n63 + "><to>a</to></message>"));
  EXPECT_FALSE(parse("<message><" + n64 + ">x</" + n64 + "><to>a</to></message>"));
  EXPECT_FALSE(parse("<" + n64 + "/>"));
}

TEST(Reader, Helpers) {
  const char *attrs[] = {"a", "1", "action", "add", "action", "second", nullptr};
  EXPECT_STREQ("add", msgFindAttr(attrs, "action"));
  EXPECT_EQ(nullptr, msgFindAttr(attrs, "other"));
  const char *broken[] = {"x", nullptr, "action", "add", nullptr};
  EXPECT_EQ(nullptr, msgFindAttr(broken, "action"));

  const char *names[] = {"unknown", "query", "response", "response_cont", "set",
                         "group_begin", "group_end", "apply", "reject", "group_error"};
  for (int i = 0; i < 10; ++i) {
    EXPECT_STREQ(names[i], msg_transTypeName(i));
    EXPECT_EQ(i, get_transaction_type(names[i]));
  }
  EXPECT_EQ(0, get_transaction_type(nullptr));
  EXPECT_EQ(0, get_transaction_type("query "));
  EXPECT_STREQ("unknown", msg_transTypeName(10));
}

// Every allocation of a parse, failed in turn: the parse is refused, nothing
// leaks (the sanitizer build checks), and the pool stays usable.
TEST(Reader, FailedAllocationsRefuseCleanly) {
  std::string text =
      "<message><to>fw</to><from>logic</from><sequence>9</sequence><transaction>"
      "<type>response</type><key>k</key><error>3</error><values><row><value>1</value>"
      "<value>2</value></row></values></transaction><monitor action=\"a\"><search>"
      "<name>n</name></search></monitor><program action=\"s\"><arg>x</arg><output><search>"
      "<regex>r</regex></search></output></program></message>";
  lib_close();  // an empty pool: element records are allocated too
  msg_failAlloc(0);
  Msg ok = parse(text);
  ASSERT_TRUE(ok);
  lib_close();
  msg_failAlloc(0);
  ok = parse(text);
  long count = msg_failAlloc(0);
  ASSERT_GT(count, 20);
  for (long n = 1; n <= count; ++n) {
    lib_close();
    msg_failAlloc(n);
    Msg m = parse(text);
    // A failed row only skips that row; everything else refuses the message.
    if (m) {
      EXPECT_EQ(0, msg_getTransNumRows(m.get())) << n;
    }
  }
  msg_failAlloc(0);
  EXPECT_TRUE(parse(text));
  lib_close();
  EXPECT_TRUE(parse(text));  // usable again after lib_close
}

}  // namespace
