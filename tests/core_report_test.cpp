// Result codes, last error, warnings, log hook, UTF-8-safe cuts and the buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/core_internal.h"

namespace {

class ReportTest : public ::testing::Test {
 protected:
  void SetUp() override { kelmcat_shutdown(); }
  void TearDown() override { kelmcat_shutdown(); }
};

TEST(ErrStr, Table) {
  const struct {
    int code;
    const char *msg;
  } rows[] = {
      {0, "OK"},
      {-1, "transport failure"},
      {-3, "matcher unavailable (500-class) \xE2\x80\x94 scan halted, NOT unmatched"},
      {-7, "cycle detected in folder graph"},
      {-9, "writes are not armed (call kelmcat_arm_writes(1))"},
      {-14, "out of memory"},
      {-15, "unknown error"},
      {1, "unknown error"},
  };
  for (const auto &r : rows) EXPECT_STREQ(kel_errstr(r.code), r.msg) << r.code;
}

TEST_F(ReportTest, LastErrorCutAndKept) {
  std::string big(2000, 'e');
  kel_set_error("%s", big.c_str());
  EXPECT_EQ(std::strlen(kelmcat_last_error()), 1023u);
  kel_set_error("first failure");
  ASSERT_EQ(kelmcat_set_max_depth(5), 0);  // success does not clear it
  EXPECT_STREQ(kelmcat_last_error(), "first failure");
}

// Cuts keep at most the stated bytes and never end inside a character.
TEST(Utf8Cut, Table) {
  const std::string e_acute = "\xC3\xA9", euro = "\xE2\x82\xAC", smile = "\xF0\x9F\x98\x80";
  const struct {
    std::string text;
    size_t max;
    size_t want;
  } rows[] = {
      {"abcdef", 4, 4},
      {"abc", 10, 3},
      {"ab" + e_acute, 3, 2},    // cut inside a 2-byte character
      {"ab" + e_acute, 4, 4},    // fits exactly
      {"a" + euro + "z", 2, 1},  // cut after the first byte of 3
      {"a" + euro + "z", 3, 1},  // cut after the second byte of 3
      {"a" + euro + "z", 4, 4},
      {smile + smile, 7, 4},
      {smile, 0, 0},
      {"\x80\x80\x80\x80\x80", 3, 3},  // stray continuation bytes: cut as bytes
  };
  for (const auto &r : rows) {
    EXPECT_EQ(kel_utf8_cut_len(r.text.data(), r.text.size(), r.max), r.want) << r.text;
    EXPECT_EQ(kel_cutw(r.text.c_str(), r.max), static_cast<int>(r.want)) << r.text;
    char out[64];
    kel_format(out, r.max + 1, "%s", r.text.c_str());
    EXPECT_EQ(std::strlen(out), r.want) << r.text;
  }
  EXPECT_EQ(kel_cutw(nullptr, 5), 0);
}

TEST_F(ReportTest, NonAsciiWarningStaysValidAfterCut) {
  std::string w;
  while (w.size() < 600) w += "\xC3\xA9";  // 2-byte characters: 511 falls inside one
  kel_add_warning("%s", w.c_str());
  const char *got = kelmcat_warning(0);
  EXPECT_EQ(std::strlen(got), 510u);
  EXPECT_TRUE(kel_utf8_valid(got, std::strlen(got)));
  std::string ascii(600, 'w');
  kel_add_warning("%s", ascii.c_str());
  EXPECT_EQ(std::strlen(kelmcat_warning(1)), 511u);
}

TEST_F(ReportTest, WarningsGrowWithoutMovingTexts) {
  std::vector<const char *> held;
  for (int i = 0; i < 9; ++i) {
    kel_add_warning("warning %d", i);
    held.push_back(kelmcat_warning(i));
  }
  {
    std::lock_guard<std::mutex> g(g_st.lock);
    EXPECT_EQ(g_st.warning_cap, 16);
  }
  EXPECT_EQ(kelmcat_warning_count(), 9);
  EXPECT_STREQ(kelmcat_warning(8), "warning 8");
  EXPECT_STREQ(kelmcat_warning(9), "");
  EXPECT_STREQ(kelmcat_warning(-1), "");
  for (int i = 0; i < 9; ++i) EXPECT_EQ(held[i], kelmcat_warning(i));
  EXPECT_STREQ(held[0], "warning 0");
}

TEST_F(ReportTest, LogHook) {
  kel_log("nobody listens %d", 1);  // no hook: no effect
  struct Seen {
    std::string line;
    void *user = nullptr;
    int calls = 0;
  } seen;
  int marker = 0;
  kelmcat_set_logger(
      [](const char *line, void *user) {
        // The hook may call back into the library: the lock is not held.
        EXPECT_EQ(kelmcat_warning_count(), 0);
        auto *pair = static_cast<std::pair<Seen *, int *> *>(user);
        pair->first->line = line;
        pair->first->calls++;
        pair->first->user = pair->second;
      },
      nullptr);
  std::pair<Seen *, int *> ctx{&seen, &marker};
  kelmcat_set_logger(
      [](const char *line, void *user) {
        EXPECT_EQ(kelmcat_warning_count(), 0);
        auto *pair = static_cast<std::pair<Seen *, int *> *>(user);
        pair->first->line = line;
        pair->first->calls++;
        pair->first->user = user;
      },
      &ctx);
  std::string big(700, 'l');
  kel_log("scan start %s", big.c_str());
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.user, &ctx);
  EXPECT_EQ(seen.line.size(), 511u);
  EXPECT_EQ(seen.line.rfind("scan start ", 0), 0u);
}

TEST_F(ReportTest, OomWhileCopyingListDoesNotDeadlock) {
  // The locked recorder is what the list copy uses on allocation failure.
  {
    std::lock_guard<std::mutex> g(g_st.lock);
    kel_set_error_locked("oom copying list");
  }
  EXPECT_STREQ(kelmcat_last_error(), "oom copying list");
}

TEST(Buf, GrowthAndEmptyRules) {
  kel_buf b{};
  EXPECT_EQ(kel_buf_add(nullptr, "x", 1), -1);
  ASSERT_EQ(kel_buf_add(&b, nullptr, 0), 0);  // empty text with 8 bytes of storage
  EXPECT_EQ(b.cap, 8u);
  EXPECT_EQ(b.len, 0u);
  EXPECT_STREQ(b.data, "");
  ASSERT_EQ(kel_buf_adds(&b, "abcdefghij"), 0);  // 11 > 8: doubles to 16
  EXPECT_EQ(b.cap, 16u);
  EXPECT_STREQ(b.data, "abcdefghij");
  ASSERT_EQ(kel_buf_adds(&b, nullptr), 0);  // a null text empties it
  EXPECT_EQ(b.len, 0u);
  EXPECT_STREQ(b.data, "");
  kel_buf_free(&b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.cap, 0u);

  ASSERT_EQ(kel_buf_adds(&b, "hi"), 0);  // fresh: 256 bytes
  EXPECT_EQ(b.cap, 256u);
  kel_buf_free(&b);
  std::string big(1000, 'x');
  ASSERT_EQ(kel_buf_adds(&b, big.c_str()), 0);  // fresh, too big for 256: 512 doubled
  EXPECT_EQ(b.cap, 1024u);
  EXPECT_EQ(b.len, 1000u);
  ASSERT_EQ(kel_buf_add(&b, "\0z", 2), 0);  // bytes, not texts
  EXPECT_EQ(b.len, 1002u);
  EXPECT_EQ(b.data[1001], 'z');
  EXPECT_EQ(b.data[1002], '\0');
  kel_buf_free(&b);
  kel_buf_free(nullptr);
  EXPECT_EQ(kel_strdup(nullptr), nullptr);
  char *d = kel_strdup("copy");
  EXPECT_STREQ(d, "copy");
  std::free(d);
}

TEST(Utf8Valid, Rfc3629) {
  const struct {
    const char *bytes;
    bool ok;
  } rows[] = {
      {"plain", true},
      {"\xC3\xA9", true},
      {"\xF0\x9F\x98\x80", true},
      {"\xC0\xAF", false},
      {"\xE0\x80\xAF", false},
      {"\xED\xA0\x80", false},
      {"\xF4\x90\x80\x80", false},
      {"\xC3", false},
      {"\x80", false},
      {"\xF5\x80\x80\x80", false},
      {"\xEF\xBF\xBF", true},
      {"\xF4\x8F\xBF\xBF", true},
  };
  for (const auto &r : rows)
    EXPECT_EQ(kel_utf8_valid(r.bytes, std::strlen(r.bytes)), r.ok) << r.bytes;
}

}  // namespace
