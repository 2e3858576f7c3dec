#include "keyvalue.h"

#include <gtest/gtest.h>

TEST(SafeCompare, AbsentSortsFirstAndEqualsAbsent) {
  EXPECT_LT(safe_strcmp(nullptr, ""), 0);
  EXPECT_GT(safe_strcmp("", nullptr), 0);
  EXPECT_EQ(0, safe_strcmp(nullptr, nullptr));
  EXPECT_EQ(0, safe_strcmp("fw", "fw"));
  EXPECT_LT(safe_strcmp("a", "b"), 0);
  EXPECT_EQ(-1, safe_strncmp(nullptr, "x", 0));
  EXPECT_EQ(0, safe_strncmp("abcX", "abcY", 3));
  EXPECT_NE(0, safe_strncmp("abcX", "abcY", 4));
}
