// Running out of memory while entries are stored: a failed page is rolled back,
// so that asking for it again takes each entry once, and a failed decode keeps
// what it stored before.
//
// The failure is provoked by replacing realloc in this test program: while
// armed, a request for exactly the listing array's second size (128 entries)
// fails. The replacement forwards to the C library's allocator, which the
// sanitizers replace with their own, so the tests are skipped under them.
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "ffa_script.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KELFFA_TEST_NO_REALLOC_HOOK 1
#elif defined(__has_feature)  // clang tells its sanitizers this way only
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KELFFA_TEST_NO_REALLOC_HOOK 1
#endif
#endif

namespace {

std::atomic<size_t> s_fail_size{0};
std::atomic<int> s_failed{0};

}  // namespace

#ifndef KELFFA_TEST_NO_REALLOC_HOOK
extern "C" void *__libc_realloc(void *p, size_t n);

extern "C" void *realloc(void *p, size_t n) noexcept {
  size_t fail = s_fail_size.load(std::memory_order_relaxed);
  if (fail != 0 && n == fail) {
    s_failed.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }
  return __libc_realloc(p, n);
}
#endif

namespace {

using script::sb;

const size_t kSecondArray = 128 * sizeof(kelffa_item);

class FfaListingOom : public script::Fixture {
 protected:
  void SetUp() override {
#ifdef KELFFA_TEST_NO_REALLOC_HOOK
    GTEST_SKIP() << "realloc cannot be replaced under a sanitizer";
#endif
    s_failed = 0;
    script::Fixture::SetUp();
  }
  void TearDown() override {
    s_fail_size = 0;
    script::Fixture::TearDown();
  }
};

TEST_F(FfaListingOom, FailedPageIsRolledBackAndRetriedOnce) {
  // 120 entries, 50 a page; the second page holds one rejected entry and runs
  // out of memory when the listing array has to grow beyond 64.
  sb().entries = script::numbered(120);
  sb().entries[55] = {"..", "/m/.."};
  ASSERT_EQ(kelffa_set_page_size(50), KELFFA_OK);
  ASSERT_EQ(kelffa_list("/m"), KELFFA_OK);
  ASSERT_EQ(kelffa_count(), 50);

  s_fail_size = kSecondArray;
  EXPECT_EQ(kelffa_list_next(), -KELFFA_ERR_OOM);
  s_fail_size = 0;
  ASSERT_EQ(s_failed.load(), 1);
  EXPECT_EQ(kelffa_last_code(), KELFFA_ERR_OOM);
  EXPECT_STREQ(kelffa_last_error(), "out of memory copying entries");
  EXPECT_EQ(kelffa_count(), 50);
  EXPECT_EQ(kelffa_rejected(), 0);
  EXPECT_EQ(kelffa_more(), 1);

  EXPECT_EQ(kelffa_list_next(), 1);
  EXPECT_EQ(kelffa_list_next(), 0);
  EXPECT_EQ(sb().cursors, (std::vector<std::string>{"(null)", "50", "50", "100"}));
  EXPECT_EQ(kelffa_rejected(), 1);
  ASSERT_EQ(kelffa_count(), 119);
  for (int i = 0, e = 0; i < 119; ++i, ++e) {
    if (e == 55) ++e;
    EXPECT_EQ(kelffa_item_name(kelffa_item_at(i)), "e" + std::to_string(e));
  }
}

TEST_F(FfaListingOom, FailedDecodeKeepsTheEntriesBefore) {
  std::string text = "[";
  for (int i = 0; i < 100; ++i)
    text += std::string(i ? "," : "") + "{\"name\":\"e" + std::to_string(i) + "\",\"path\":\"/e" +
            std::to_string(i) + "\"}";
  text += "]";
  s_fail_size = kSecondArray;
  EXPECT_EQ(kelffa_decode(text.c_str()), KELFFA_ERR_OOM);
  s_fail_size = 0;
  ASSERT_EQ(s_failed.load(), 1);
  EXPECT_STREQ(kelffa_last_error(), "out of memory");
  EXPECT_EQ(kelffa_count(), 64);
  EXPECT_STREQ(kelffa_item_name(kelffa_item_at(63)), "e63");
  EXPECT_STREQ(kelffa__listing_label(), "decoded");
}

}  // namespace
