#include <gtest/gtest.h>

#include <string>

#include "scratch_root.h"

extern "C" int c_send_query(const char *key);
extern "C" int c_hand_made_record(char *out, size_t size);

namespace {

TEST(CHeader, BuildsAndSendsAQuery) {
  ScratchRoot root;
  ASSERT_GE(comm_start("fw", 0), 0);
  int logic = bind_peer("logic");
  ASSERT_GE(logic, 0);
  int n = c_send_query("wan/state");
  ASSERT_GT(n, 0);
  std::string text = receive_text(logic);
  EXPECT_EQ((size_t)n, text.size());
  EXPECT_NE(std::string::npos,
            text.find("<type>query</type><key>wan/state</key><error>0</error><values><row>"
                      "<value>a</value><value/></row></values>"));
  close(logic);

  char buf[128];
  EXPECT_EQ(std::string("<message><to>pc</to><from>fw</from><report><name>up</name></report>"
                        "</message>"),
            std::string(buf, (size_t)c_hand_made_record(buf, sizeof buf)));
}

}  // namespace
