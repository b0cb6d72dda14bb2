// The small core helpers: UTF-8 decoding and growth by doubling.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/grow.h"
#include "core/utf8.h"

namespace {

struct DecodeCase {
  const char *bytes;
  size_t len;  // bytes that may be read
  size_t want_len;
  uint32_t want_cp;
};

TEST(Utf8Next, DecodesWellFormedAndRejectsTheRest) {
  const DecodeCase cases[] = {
      {"A", 1, 1, 0x41},
      {"\xC2\xA9", 2, 2, 0xA9},
      {"\xE2\x80\x94", 3, 3, 0x2014},
      {"\xEF\xBF\xBF", 3, 3, 0xFFFF},
      {"\xF0\x9F\x8E\xAC", 4, 4, 0x1F3AC},
      {"\xF4\x8F\xBF\xBF", 4, 4, 0x10FFFF},
      {"\xC0\xAF", 2, 0, 0},          // overlong
      {"\xC1\xBF", 2, 0, 0},          // overlong
      {"\xE0\x9F\xBF", 3, 0, 0},      // overlong
      {"\xF0\x8F\xBF\xBF", 4, 0, 0},  // overlong
      {"\xED\xA0\x80", 3, 0, 0},      // surrogate
      {"\xF4\x90\x80\x80", 4, 0, 0},  // above U+10FFFF
      {"\xF5\x80\x80\x80", 4, 0, 0},  // lead that never starts a character
      {"\x80", 1, 0, 0},              // continuation byte first
      {"\xE2\x80", 2, 0, 0},          // cut short by the length
      {"\xE2\x80", SIZE_MAX, 0, 0},   // cut short by the terminator
      {"\xE2\x28\xA1", 3, 0, 0},      // bad continuation
      {"", 0, 0, 0},
  };
  for (const DecodeCase &c : cases) {
    uint32_t cp = 0xDEAD;
    size_t n = kel_utf8_next(reinterpret_cast<const unsigned char *>(c.bytes), c.len, &cp);
    EXPECT_EQ(n, c.want_len) << testing::PrintToString(std::string(c.bytes));
    if (c.want_len) {
      EXPECT_EQ(cp, c.want_cp);
      EXPECT_TRUE(kel_utf8_valid(c.bytes, c.want_len));
    } else if (c.len != SIZE_MAX && c.len > 0) {
      EXPECT_FALSE(kel_utf8_valid(c.bytes, c.len));
    }
  }
}

TEST(Utf8Escape, EscapesStrayBytesAndCutsBetweenWholePieces) {
  struct {
    const char *in;
    size_t size;
    const char *want;
  } cases[] = {
      {"plain", 16, "plain"},
      {nullptr, 16, ""},
      {"a\xFF"
       "b",
       16, "a\\xFFb"},
      {"\xC3\xA9\xC3", 16, "\xC3\xA9\\xC3"},  // a whole character, then a cut one
      {"\xE2\x82\xAC\xED\xA0\x80", 32, "\xE2\x82\xAC\\xED\\xA0\\x80"},  // a surrogate
      {"abcdef", 4, "abc"},
      {"ab\xFF", 6, "ab"},  // "\\xFF" needs 4 bytes and the terminator
      {"ab\xFF", 7, "ab\\xFF"},
      {"a\xE2\x82\xAC", 4, "a"},  // the euro sign is not split
  };
  for (auto &c : cases) {
    char out[32];
    size_t n = kel_utf8_escape(c.in, out, c.size);
    EXPECT_STREQ(out, c.want) << (c.in ? c.in : "(null)");
    EXPECT_EQ(n, std::strlen(c.want));
    EXPECT_TRUE(kel_utf8_valid(out, n));
  }
}

TEST(IntText, MatchesPrintfAtEveryDigitCountAndBothEnds) {
  std::vector<int64_t> values = {0, INT64_MIN, INT64_MAX, INT64_MIN + 1};
  for (int64_t p = 1; p > 0 && p <= INT64_MAX / 10; p *= 10)
    for (int64_t v : {p - 1, p, p + 1, -p, -(p - 1)}) values.push_back(v);
  for (int64_t v : values) {
    char want[32];
    std::snprintf(want, sizeof want, "%lld", static_cast<long long>(v));
    char got[24];
    size_t n = kel_int_text(v, got);
    EXPECT_EQ(std::string(got, n), want) << v;
  }
}

TEST(Grow, FirstCapacityThenDoublingUpToTheLimit) {
  int32_t *arr = nullptr;
  int32_t count = 0, cap = 0;
  ASSERT_TRUE(kel_grow(arr, count, cap, 4, 20));
  EXPECT_EQ(cap, 4);
  count = 3;
  ASSERT_TRUE(kel_grow(arr, count, cap, 4, 20));
  EXPECT_EQ(cap, 4);  // still room
  count = 4;
  ASSERT_TRUE(kel_grow(arr, count, cap, 4, 20));
  EXPECT_EQ(cap, 8);
  count = 8;
  ASSERT_TRUE(kel_grow(arr, count, cap, 4, 20));
  EXPECT_EQ(cap, 16);
  count = 16;
  ASSERT_TRUE(kel_grow(arr, count, cap, 4, 20));
  EXPECT_EQ(cap, 20);  // a doubling past the limit stops at it
  for (int32_t i = 0; i < cap; ++i) arr[i] = i;
  count = 20;
  EXPECT_FALSE(kel_grow(arr, count, cap, 4, 20));
  EXPECT_EQ(cap, 20);
  EXPECT_EQ(arr[19], 19);
  std::free(arr);
}

TEST(Grow, PowerOfTwoLimitEndsOnTheLastDoubling) {
  // The result list and the warnings stop at 2^30: caps 8, 16, ... reach it
  // exactly and the next growth fails. Checked without allocating that much.
  uint64_t *arr = nullptr;
  uint64_t count = 0, cap = 0;
  ASSERT_TRUE(kel_grow(arr, count, cap, uint64_t{2}, uint64_t{8}));
  count = cap;
  ASSERT_TRUE(kel_grow(arr, count, cap, uint64_t{2}, uint64_t{8}));
  count = cap;
  ASSERT_TRUE(kel_grow(arr, count, cap, uint64_t{2}, uint64_t{8}));
  EXPECT_EQ(cap, 8u);
  count = cap;
  EXPECT_FALSE(kel_grow(arr, count, cap, uint64_t{2}, uint64_t{8}));
  std::free(arr);
}

}  // namespace
