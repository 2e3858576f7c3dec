#include <gtest/gtest.h>
#include <stdlib.h>
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
  char buf[MSG_OUT_BUFFER];
  int n = msg_makeXML(buf, sizeof buf, m);
  return n > 0 ? std::string(buf, (size_t)n) : std::string("<error>");
}

TEST(Accessors, TransactionRowsAndMissingParts) {
  Msg m(msgr_makeTransResponse("logic", "fw", "g", "4", 0, "k", 2, "a", nullptr));
  ASSERT_TRUE(m);
  ASSERT_EQ(0, msgr_addTransValueSingle(m.get(), "b"));
  EXPECT_EQ(1, msg_isTrans(m.get()));
  EXPECT_EQ(TRANS_RESPONSE, msg_getTransType(m.get()));
  EXPECT_STREQ("4", msg_getTransReSeq(m.get()));
  EXPECT_STREQ("g", msg_getTransGID(m.get()));
  EXPECT_STREQ("k", msg_getTransKey(m.get()));
  EXPECT_EQ(2, msg_getTransNumRows(m.get()));
  EXPECT_EQ(2, msg_getTransNumCols(m.get(), 0));
  EXPECT_EQ(1, msg_getTransNumCols(m.get(), 1));
  EXPECT_EQ(0, msg_getTransNumCols(m.get(), 2));
  EXPECT_EQ(0, msg_getTransNumCols(m.get(), -1));
  EXPECT_STREQ("a", msg_getTransSingleValue(m.get()));
  EXPECT_EQ(nullptr, msg_getTransValue(m.get(), 0, 1));  // empty value
  EXPECT_EQ(nullptr, msg_getTransValue(m.get(), 0, 2));  // = num_cols
  EXPECT_EQ(nullptr, msg_getTransValue(m.get(), 0, -1));
  EXPECT_EQ(nullptr, msg_getTransValue(m.get(), 0, 30));
  EXPECT_STREQ("b", msg_getTransValue(m.get(), 1, 0));
  EXPECT_EQ(nullptr, msg_getTransValue(m.get(), 2, 0));
  EXPECT_EQ(0, msg_getTransErrorCode(m.get()));
  EXPECT_EQ(nullptr, msg_getReportName(m.get()));

  // A row that claims more than 30 slots is never read past its array.
  m->trans->rows->num_cols = 99;
  EXPECT_EQ(nullptr, msg_getTransValue(m.get(), 0, 30));
  std::string text = xml(m.get());
  size_t values = 0;
  for (const char *tag : {"<value>", "<value/>"})
    for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, at + 1))
      ++values;
  EXPECT_EQ(30u + 1u, values);  // 30 slots of the first row, 1 of the second
  m->trans->rows->num_cols = 2;

  Msg r(msgr_makeReport("pc", "logic", "n", "7", "0123456789", 4));
  ASSERT_TRUE(r);
  EXPECT_EQ(0, msg_isTrans(r.get()));
  EXPECT_EQ(0, msg_getTransType(r.get()));
  EXPECT_EQ(-1, msg_getTransErrorCode(r.get()));
  EXPECT_EQ(nullptr, msg_getTransKey(r.get()));
  EXPECT_EQ(0, msg_getTransNumRows(r.get()));
  EXPECT_STREQ("n", msg_getReportName(r.get()));
  EXPECT_STREQ("7", msg_getReportPID(r.get()));
  EXPECT_STREQ("0123", msg_getReportText(r.get()));
  EXPECT_EQ(0, msg_isTrans(nullptr));

  // A transaction type without its part is not a transaction.
  msg_record bare = {};
  bare.type = MSG_TRANSACTION;
  EXPECT_EQ(0, msg_isTrans(&bare));
  EXPECT_EQ(nullptr, msg_getTransSingleValue(&bare));
}

TEST(Copy, IsDeepAndKeepsOrder) {
  Msg m(msgr_makeTransResponse("logic", "fw", "g", "4", 1, "k", 3, "a", nullptr, "c"));
  ASSERT_TRUE(m);
  m->expires = 1234;
  Msg c(msg_copy(m.get()));
  ASSERT_TRUE(c);
  EXPECT_EQ(xml(m.get()), xml(c.get()));
  EXPECT_EQ(1234, c->expires);
  EXPECT_EQ(1, c->trans->cont);
  EXPECT_EQ(TRANS_RESPONSE_CONT, c->trans->type);
  EXPECT_NE(m->to, c->to);
  EXPECT_NE(m->trans->rows->values[0], c->trans->rows->values[0]);
  EXPECT_EQ(nullptr, c->trans->rows->values[1]);
  EXPECT_EQ(nullptr, c->next);

  Msg mon(msgr_makeMonitorAdd("logic", "f", "b", nullptr));
  ASSERT_TRUE(mon);
  search_item *second = new_search();
  ASSERT_NE(nullptr, second);
  second->name = strdup("a");
  second->prev = mon->monitor->searches;
  mon->monitor->searches->next = second;
  Msg mc(msg_copy(mon.get()));
  ASSERT_TRUE(mc);
  EXPECT_STREQ("b", mc->monitor->searches->name);
  EXPECT_STREQ("a", mc->monitor->searches->next->name);
  EXPECT_EQ(mc->monitor->searches, mc->monitor->searches->next->prev);

  // Only the part the type selects is copied.
  Msg q(msgr_makeTransQuery("fw", "logic", nullptr, "k"));
  ASSERT_TRUE(q);
  q->type = 3;
  Msg qc(msg_copy(q.get()));
  ASSERT_TRUE(qc);
  EXPECT_EQ(nullptr, qc->trans);
  EXPECT_STREQ(q->seq, qc->seq);

  free(q->seq);
  q->seq = nullptr;
  msg_free(msg_copy(q.get()));
  EXPECT_EQ(nullptr, msg_copy(nullptr));
  msg_free(nullptr);
}

TEST(Builders, SequenceAndFields) {
  Msg a(msgr_makeBase("fw", "logic"));
  Msg b(msgr_makeBase("fw", "logic"));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(atoi(a->seq) + 1, atoi(b->seq));
  EXPECT_EQ(0, a->type);
  EXPECT_EQ(0, a->expires);

  Msg cont(msgr_makeTransResponse("logic", "fw", nullptr, "1", 1, "k", 0));
  ASSERT_TRUE(cont);
  EXPECT_EQ(TRANS_RESPONSE_CONT, cont->trans->type);
  EXPECT_EQ(nullptr, cont->trans->rows);

  Msg single(msgr_makeTransResponseSingle("logic", "fw", nullptr, "1", 0, "k", nullptr));
  Msg pair(msgr_makeTransResponsePair("logic", "fw", nullptr, "1", 0, "k", "x", nullptr));
  ASSERT_TRUE(single && pair);
  EXPECT_EQ(0, msg_getTransNumRows(single.get()));
  EXPECT_EQ(0, msg_getTransNumRows(pair.get()));
  Msg pair2(msgr_makeTransResponsePair("logic", "fw", nullptr, "1", 0, "k", "x", "y"));
  ASSERT_TRUE(pair2);
  EXPECT_STREQ("y", msg_getTransValue(pair2.get(), 0, 1));

  Msg err(msgr_makeTransError("logic", "fw", nullptr, "5", 2, "%d tries", 3));
  ASSERT_TRUE(err);
  EXPECT_EQ(TRANS_RESPONSE, msg_getTransType(err.get()));
  EXPECT_STREQ("3 tries", msg_getTransErrorText(err.get()));
  EXPECT_EQ(2, msg_getTransErrorCode(err.get()));
  EXPECT_EQ(nullptr, msg_getTransKey(err.get()));
  Msg combo(msgr_makeTransComboError("logic", "fw", "g", "5", 2, "%s", std::string(300, 'e').c_str()));
  ASSERT_TRUE(combo);
  EXPECT_EQ(TRANS_GROUP_ERROR, msg_getTransType(combo.get()));
  EXPECT_EQ(255u, strlen(msg_getTransErrorText(combo.get())));

  Msg noText(msgr_makeReport("pc", "logic", "n", nullptr, "text", 0));
  ASSERT_TRUE(noText);
  EXPECT_EQ(nullptr, noText->report->text);
  EXPECT_EQ(nullptr, noText->report->pid);
}

TEST(Builders, AddValuesRefusals) {
  Msg r(msgr_makeReport("pc", "logic", "n", nullptr, nullptr, 0));
  ASSERT_TRUE(r);
  std::string before = xml(r.get());
  EXPECT_EQ(-1, msgr_addTransValues(r.get(), 1, "x"));
  EXPECT_EQ(before, xml(r.get()));
  EXPECT_EQ(-1, msgr_addTransValueSingle(nullptr, "x"));

  Msg q(msgr_makeTransQuery("fw", "logic", nullptr, "k"));
  ASSERT_TRUE(q);
  EXPECT_EQ(0, msgr_addTransValues(q.get(), -2, "x"));
  EXPECT_EQ(-1, msgr_addTransValues(q.get(), 31, "a", "b", "c", "d", "e", "f", "g", "h", "i", "j",
                                    "k", "l", "m", "n", "o", "p", "q", "r", "s", "t", "u", "v",
                                    "w", "x", "y", "z", "0", "1", "2", "3", "4"));
  EXPECT_EQ(0, msg_getTransNumRows(q.get()));
}

const char *const *argv_;
const char *const *pairs_;

// Failing each allocation of a builder in turn: the builder gives absent (or,
// for a response whose row is lost, a response without values) and nothing
// leaks under the sanitizer build.
TEST(Builders, FailedAllocations) {
  const char *argv[] = {"a", "b"};
  const char *pairs[] = {"n", "r", "m", nullptr};
  auto builders = std::vector<msg_record *(*)()>{
      [] { return msgr_makeProgramStart("l", "n", "p", 2, argv_, 2, pairs_); },
      [] { return msgr_makeMonitorAdd("l", "f", "n", "r"); },
      [] { return msgr_makeReport("l", "fw", "n", "p", "text", 4); },
      [] { return msgr_makeTransError("l", "fw", "g", "1", 3, "e%d", 1); },
      [] { return msgr_makeTransSet("l", "fw", "g", "k", "v"); },
      [] { return msgr_makeTransResponsePair("l", "fw", "g", "1", 0, "k", "a", "b"); },
  };
  argv_ = argv;
  pairs_ = pairs;
  for (size_t b = 0; b < builders.size(); ++b) {
    msg_failAlloc(0);
    msg_free(builders[b]());
    long count = msg_failAlloc(0);
    ASSERT_GT(count, 3);
    for (long n = 1; n <= count; ++n) {
      msg_failAlloc(n);
      msg_record *m = builders[b]();
      if (m != nullptr) {
        EXPECT_EQ(5u, b) << n;  // only the response survives, without values
        EXPECT_EQ(0, msg_getTransNumRows(m));
      }
      msg_free(m);
    }
  }
  msg_failAlloc(0);

  // msg_copy releases a partial copy.
  Msg src(msgr_makeProgramStart("l", "n", "p", 2, argv, 2, pairs));
  ASSERT_TRUE(src);
  msg_failAlloc(0);
  msg_free(msg_copy(src.get()));
  long count = msg_failAlloc(0);
  for (long n = 1; n <= count; ++n) {
    msg_failAlloc(n);
    EXPECT_EQ(nullptr, msg_copy(src.get())) << n;
  }
  msg_failAlloc(0);
}

}  // namespace
