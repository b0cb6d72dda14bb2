// Configuration setters, list replacement, shutdown and concurrent access.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "core/core_internal.h"

namespace {

class StateTest : public ::testing::Test {
 protected:
  void SetUp() override { kelmcat_shutdown(); }
  void TearDown() override { kelmcat_shutdown(); }
};

std::string rep(char c, size_t n) {
  return std::string(n, c);
}

struct SetterCase {
  const char *name;
  int32_t (*call)(const std::string &);
  std::string arg;
  int32_t code;
  const char *error;  // expected last error on failure
};

int32_t host(const std::string &s) {
  return kelmcat_set_matcher_host(s.c_str());
}
int32_t cred(const std::string &s) {
  return kelmcat_set_queue_credential(s.c_str());
}
int32_t root(const std::string &s) {
  return kelmcat_set_walk_root(s.c_str());
}
int32_t backend_id(const std::string &s) {
  return kelmcat_set_backend(s.c_str(), "{}");
}
int32_t backend_cfg(const std::string &s) {
  return kelmcat_set_backend("fake", s.c_str());
}
int32_t depth(const std::string &s) {
  return kelmcat_set_max_depth(std::stoi(s));
}

TEST_F(StateTest, SettersCheckInOrder) {
  const std::string https = "https://";
  const SetterCase cases[] = {
      {"host bare scheme", host, https, 0, nullptr},
      {"host 255", host, https + rep('h', 247), 0, nullptr},
      {"host 256", host, https + rep('h', 248), KELMCAT_ERR_ARG, "matcher host too long"},
      {"host http", host, "http://example.org", KELMCAT_ERR_ARG,
       "matcher host must be https:// (no http, no host-only) \xE2\x80\x94 got http://example.org"},
      {"host upper", host, "HTTPS://" + rep('x', 60), KELMCAT_ERR_ARG,
       "matcher host must be https:// (no http, no host-only) \xE2\x80\x94 got "
       "HTTPS://xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
      {"cred 255", cred, rep('c', 255), 0, nullptr},
      {"cred 256", cred, rep('c', 256), KELMCAT_ERR_ARG, "queue credential too long"},
      {"root empty", root, "", 0, nullptr},
      {"root 511", root, rep('r', 511), 0, nullptr},
      {"root 512", root, rep('r', 512), KELMCAT_ERR_ARG, "walk root too long"},
      {"id 63", backend_id, rep('b', 63), 0, nullptr},
      {"id 64", backend_id, rep('b', 64), KELMCAT_ERR_ARG, "backend id too long"},
      {"id empty", backend_id, "", KELMCAT_ERR_ARG, "null backend id"},
      {"cfg 511", backend_cfg, rep(' ', 511), 0, nullptr},
      {"cfg 512", backend_cfg, rep(' ', 512), KELMCAT_ERR_ARG,
       "backend config too long (512 > 511)"},
      {"depth 1", depth, "1", 0, nullptr},
      {"depth 4096", depth, "4096", 0, nullptr},
      {"depth 0", depth, "0", KELMCAT_ERR_ARG, "max depth must be 1..4096 (got 0)"},
      {"depth 4097", depth, "4097", KELMCAT_ERR_ARG, "max depth must be 1..4096 (got 4097)"},
      {"depth -1", depth, "-1", KELMCAT_ERR_ARG, "max depth must be 1..4096 (got -1)"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    kel_set_error("previous");
    EXPECT_EQ(c.call(c.arg), c.code);
    EXPECT_STREQ(kelmcat_last_error(), c.error ? c.error : "previous");
  }
}

TEST_F(StateTest, RejectedValueLeavesStoredOne) {
  ASSERT_EQ(kelmcat_set_matcher_host("https://a.example"), 0);
  EXPECT_EQ(kelmcat_set_matcher_host("ftp://b"), KELMCAT_ERR_ARG);
  EXPECT_EQ(kelmcat_set_matcher_host(nullptr), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null host");
  ASSERT_EQ(kelmcat_set_backend("fake", nullptr), 0);
  EXPECT_EQ(kelmcat_set_backend(nullptr, "{}"), KELMCAT_ERR_ARG);
  EXPECT_EQ(kelmcat_set_max_depth(9000), KELMCAT_ERR_ARG);
  EXPECT_EQ(kelmcat_set_queue_credential(nullptr), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null secret");
  EXPECT_EQ(kelmcat_set_walk_root(nullptr), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null root");
  std::lock_guard<std::mutex> g(g_st.lock);
  EXPECT_STREQ(g_st.matcher_host, "https://a.example");
  EXPECT_STREQ(g_st.backend_id, "fake");
  EXPECT_STREQ(g_st.backend_config, "{}");
  EXPECT_EQ(g_st.max_depth, 32);
}

TEST_F(StateTest, ListsReplaceAndReject) {
  const char *two[] = {"/Films", "/TV"};
  ASSERT_EQ(kelmcat_set_include_paths(two, 2), 0);
  const char *holey[] = {"/a", nullptr, "/c"};
  EXPECT_EQ(kelmcat_set_include_paths(holey, 3), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "NULL in list at 1");
  EXPECT_EQ(kelmcat_set_include_paths(two, -1), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "count < 0");
  EXPECT_EQ(kelmcat_set_include_paths(nullptr, 2), KELMCAT_ERR_ARG);
  {
    std::lock_guard<std::mutex> g(g_st.lock);
    ASSERT_EQ(g_st.include_paths.count, 2);
    EXPECT_STREQ(g_st.include_paths.items[1], "/TV");
  }
  const char *ext[] = {".MKV"};
  ASSERT_EQ(kelmcat_set_video_extensions(ext, 1), 0);
  ASSERT_EQ(kelmcat_set_exclude_paths(two, 1), 0);
  EXPECT_EQ(kelmcat_set_include_paths(nullptr, 0), 0);
  std::lock_guard<std::mutex> g(g_st.lock);
  EXPECT_EQ(g_st.include_paths.count, 0);
  EXPECT_EQ(g_st.include_paths.items, nullptr);
  EXPECT_STREQ(g_st.video_extensions.items[0], ".MKV");  // stored as given
  EXPECT_EQ(g_st.exclude_paths.count, 1);
}

TEST_F(StateTest, FlagsStoreOne) {
  EXPECT_EQ(kelmcat_set_add_new_only(7), 0);
  EXPECT_EQ(kelmcat_set_correct_mode(-3), 0);
  EXPECT_EQ(kelmcat_arm_writes(1), 0);
  {
    std::lock_guard<std::mutex> g(g_st.lock);
    EXPECT_EQ(g_st.add_new_only, 1);
    EXPECT_EQ(g_st.correct_mode, 1);
    EXPECT_EQ(g_st.writes_armed, 1);
  }
  kelmcat_set_add_new_only(0);
  std::lock_guard<std::mutex> g(g_st.lock);
  EXPECT_EQ(g_st.add_new_only, 0);
}

TEST_F(StateTest, DefaultVideoExtensions) {
  int32_t n = 0;
  const char *const *t = kelmcat_default_video_extensions(&n);
  ASSERT_EQ(n, 17);
  EXPECT_STREQ(t[0], ".m4v");
  EXPECT_STREQ(t[5], ".webm");
  EXPECT_STREQ(t[8], ".webm");
  EXPECT_STREQ(t[16], ".rm");
  EXPECT_EQ(kelmcat_default_video_extensions(nullptr), t);
}

TEST_F(StateTest, ShutdownRestoresLoadState) {
  kelmcat_set_matcher_host("https://m.example");
  kelmcat_set_queue_credential("secret");
  kelmcat_set_max_depth(3);
  const char *l[] = {"/x"};
  kelmcat_set_include_paths(l, 1);
  kelmcat_set_exclude_paths(l, 1);
  kelmcat_set_video_extensions(l, 1);
  kelmcat_set_backend("fake", "{\"a\":1}");
  kelmcat_set_walk_root("/Films");
  kelmcat_arm_writes(1);
  kelmcat_set_logger([](const char *, void *) {}, &g_st);
  kel_add_warning("w");
  kel_set_error("e");
  {
    std::lock_guard<std::mutex> g(g_st.lock);
    g_st.cancel_requested = 1;
    g_st.last_code = -8;
    g_st.last_http_code = 404;
    g_st.last_url = kel_strdup("https://x");
    g_st.io_kind = 1;
  }
  kelmcat_shutdown();
  EXPECT_STREQ(kelmcat_last_error(), "");
  EXPECT_EQ(kelmcat_warning_count(), 0);
  EXPECT_EQ(kelmcat_last_http_code(), 0);
  EXPECT_EQ(kelmcat_last_code(), 0);
  EXPECT_STREQ(kelmcat_last_url(), "");
  std::lock_guard<std::mutex> g(g_st.lock);
  EXPECT_EQ(g_st.io_kind, -1);
  EXPECT_EQ(g_st.max_depth, 32);
  EXPECT_EQ(g_st.cancel_requested, 0);
  EXPECT_EQ(g_st.writes_armed, 0);
  EXPECT_EQ(g_st.log_fn, nullptr);
  EXPECT_EQ(g_st.include_paths.count + g_st.exclude_paths.count + g_st.video_extensions.count, 0);
  EXPECT_STREQ(g_st.matcher_host, "");
  EXPECT_STREQ(g_st.queue_credential, "");
  EXPECT_STREQ(g_st.backend_id, "");
  EXPECT_STREQ(g_st.backend_config, "");
  EXPECT_STREQ(g_st.walk_root, "");
}

// Setters on one thread while another reads the same fields under the lock, as
// the walk does; run under the sanitizer builds.
TEST_F(StateTest, SettersRaceReaders) {
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    size_t seen = 0;
    while (!stop.load()) {
      ++reads;
      std::lock_guard<std::mutex> g(g_st.lock);
      for (int32_t i = 0; i < g_st.include_paths.count; ++i)
        seen += std::strlen(g_st.include_paths.items[i]);
      seen += static_cast<size_t>(g_st.max_depth) + std::strlen(g_st.matcher_host);
    }
    EXPECT_GT(seen, 0u);
  });
  const char *a[] = {"/one", "/two", "/three"};
  // Keep writing until the reader has overlapped with the writer for a while.
  for (int i = 0; i < 2000 || reads.load() < 200; ++i) {
    kelmcat_set_include_paths(a, 1 + i % 3);
    kelmcat_set_max_depth(1 + i % 100);
    kelmcat_set_matcher_host(i % 2 ? "https://a" : "https://bb");
    kelmcat_set_add_new_only(i & 1);
    (void)kelmcat_last_error();
  }
  stop = true;
  reader.join();
}

}  // namespace
