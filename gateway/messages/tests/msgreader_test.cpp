#include <gtest/gtest.h>
#include <stdlib.h>
#include <stdarg.h>
#include <string.h>

#include <chrono>
#include <memory>

#include <string>
#include <vector>

#include "message.h"
#include "msg_internal.h"
#include "msg_test_util.h"

namespace {

Msg parse(const std::string &text) { return Msg(msg_parse(text.data(), (int)text.size())); }

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

// A crafted datagram of many rows or arguments is read in linear time: each
// was once appended by walking the list from its start, seconds for one
// datagram here and minutes on the gateway. Rows of a repeated "values"
// element go on the same list.
TEST(Reader, ManyRowsOrArgumentsReadInLinearTime) {
  const int kItems = 50000;
  const struct {
    const char *head, *item, *middle, *tail;
  } cases[] = {
      {"<message><transaction><values>", "<row/>", "</values><values>", "</values></transaction></message>"},
      {"<message><program action=\"start\">", "<arg/>", "", "</program></message>"},
  };
  for (const auto &c : cases) {
    std::string text = c.head;
    for (int i = 0; i < kItems; ++i) text += std::string(i == kItems / 2 ? c.middle : "") + c.item;
    text += c.tail;
    const auto start = std::chrono::steady_clock::now();
    Msg m = parse(text);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << c.item;
    ASSERT_TRUE(m) << c.item;
    int n = 0;
    if (m->trans != nullptr) n = msg_getTransNumRows(m.get());
    for (const arg_item *a = m->program != nullptr ? m->program->args : nullptr; a != nullptr; a = a->next) ++n;
    EXPECT_EQ(kItems, n) << c.item;
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
      // No document type declaration: the wire format has none, and its
      // entities would let a short message grow without bound.
      "<!DOCTYPE message><message><to>a</to></message>",
      "<!DOCTYPE m [<!ENTITY e \"xxxxxxxx\">]><message><to>&e;&e;</to></message>",
  };
  for (const char *text : refused) EXPECT_FALSE(parse(text)) << text;
  EXPECT_EQ(nullptr, msg_parse(nullptr, 3));

  // A log element without children is read (its text goes nowhere).
  Msg log = parse("<message><log>text</log></message>");
  ASSERT_TRUE(log);
  EXPECT_EQ(0, log->type);
}

// The library's own messages are read without expat; anything else goes to
// expat. Either way the result is the one expat alone gives.
TEST(Reader, ShortReaderAgreesWithExpat) {
  std::string deep;
  for (int i = 0; i < 40; ++i) deep += "<d>";
  for (int i = 0; i < 40; ++i) deep += "</d>";
  const std::string texts[] = {
      "<message><to>fw</to><from>logic</from><transaction><type>set</type><values><row>"
      "<value>a&#60;b&#59;c&#34;&#38;&#62;</value><value/></row></values></transaction></message>",
      "<message><to>a&amp;&lt;&gt;&quot;&apos;b</to></message>",
      "<message><to>&#x41;&#0;&#;&#1114112;&#13;&#9;&#10;&#0000065;&unknown;&#65</to></message>",
      "<message><to>a\rb\r\nc\td\ne</to></message>",
      "<message><to>a]]>b</to></message>",
      "<message><to>a>b</to></message>",
      "<message><to>\xc3\xa9</to><from>\xc3</from></message>",
      "<message><to>\x01</to></message>",
      std::string("<message><to>a") + '\0' + "b</to></message>",
      "<message><monitor action=\"add\"><filename>f</filename></monitor></message>",
      "<message><monitor action='add'/></message>",
      "<message><monitor action=\"a b\" /></message>",
      "<message><monitor action=\"a\tb\"/></message>",
      "<message><monitor action=\"a\" action=\"b\"/></message>",
      "<message><monitor x=\"1\" action=\"b\"/></message>",
      "<message><program action=\"a&#38;b\"/></message>",
      "<message><program action=\"a>b\"/></message>",
      "<message ><to >a</to ></message>",
      "<message><!-- c --><to>a</to><?pi x?><![CDATA[<to>]]></message>",
      "<?xml version=\"1.0\"?><message><to>a</to></message>",
      "<!DOCTYPE message><message><to>a</to></message>",
      "\xef\xbb\xbf<message><to>a</to></message>",
      " <message><to>a</to></message>\n",
      "<message><to>a</to></message><!-- after -->",
      "<message><a:b>x</a:b><to>a</to></message>",
      "<message><to>a</to></from></message>",
      "<message><to>a</to>",
      "<message><to>a</to></message>junk",
      "text",
      "<" + std::string(70, 'n') + "/>",
      "<message>" + deep + "<to>a</to></message>",
  };
  for (const std::string &text : texts) {
    Msg fast = parse(text);
    Msg slow(msg_parse_xml(text.data(), (int)text.size()));
    ASSERT_EQ(!slow, !fast) << text;
    if (slow) {
      EXPECT_EQ(slow->type, fast->type) << text;
      EXPECT_EQ(xml(slow.get()), xml(fast.get())) << text;
    }
  }
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

  EXPECT_EQ(TRANS_GROUP_ERROR, get_transaction_type("group_error"));
  EXPECT_EQ(TRANS_RESPONSE_CONT, get_transaction_type("response_cont"));
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
