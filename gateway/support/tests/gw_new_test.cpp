// The gateway's malloc-based operator new and delete (gw_new.cpp is linked
// into this test): the C++ contract that callers rely on still holds.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <new>

namespace {

// Out of reach for any allocator, yet not folded away by the compiler.
volatile size_t g_huge = SIZE_MAX / 2;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

struct alignas(64) Line {
  char bytes[64];
};

TEST(GwNew, BlocksAreDistinctEvenForSizeZero) {
  void *a = ::operator new(0);
  void *b = ::operator new(0);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  ::operator delete(a);
  ::operator delete(b);

  char *text = new char[100];
  memset(text, 'x', 100);
  delete[] text;
}

TEST(GwNew, OverAlignedTypesGetTheirAlignment) {
  Line *lines = new Line[3];
  EXPECT_EQ(reinterpret_cast<uintptr_t>(lines) % alignof(Line), 0u);
  delete[] lines;
  Line *one = new (std::nothrow) Line;
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(one) % alignof(Line), 0u);
  delete one;
}

TEST(GwNew, NothrowFormsReturnNullWhenMemoryRunsOut) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator reports huge requests itself";
  EXPECT_EQ(::operator new(g_huge, std::nothrow), nullptr);
  EXPECT_EQ(::operator new[](g_huge, std::nothrow), nullptr);
  EXPECT_EQ(::operator new(g_huge, std::align_val_t(64), std::nothrow), nullptr);
}

TEST(GwNewDeathTest, ThrowingFormEndsTheProcessWithANote) {
  if (kSanitized) GTEST_SKIP() << "the sanitizer's allocator reports huge requests itself";
  EXPECT_DEATH((void)::operator new(g_huge), "out of memory");
  EXPECT_DEATH((void)::operator new[](g_huge, std::align_val_t(64)), "out of memory");
}

}  // namespace
