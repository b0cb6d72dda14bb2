// The result list, the unmatched accessors and the statistics copy.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "results/results_internal.h"

namespace {

class Results : public ::testing::Test {
 protected:
  void SetUp() override {
    kelmcat_shutdown();
    kel_last_counters_set(nullptr);
  }
  void TearDown() override {
    kelmcat_shutdown();
    kel_last_counters_set(nullptr);
  }
  static int add(const char *key, const char *path, const char *id, int32_t outcome,
                 int32_t season = -1, int32_t episode = -1) {
    kel_result r{const_cast<char *>(key),
                 const_cast<char *>(path),
                 const_cast<char *>(id),
                 outcome,
                 season,
                 episode};
    return kel_result_add(&r);
  }
};

TEST_F(Results, EmptyListAnswersOutOfRange) {
  EXPECT_EQ(kelmcat_result_count(), 0);
  for (int32_t i : {-1, 0, 1}) {
    EXPECT_STREQ(kelmcat_result_key(i), "");
    EXPECT_STREQ(kelmcat_result_path(i), "");
    EXPECT_STREQ(kelmcat_result_imdb_id(i), "");
    EXPECT_EQ(kelmcat_result_outcome(i), 0);
    EXPECT_EQ(kelmcat_result_season(i), -1);
    EXPECT_EQ(kelmcat_result_episode(i), -1);
  }
  EXPECT_EQ(kelmcat_unmatched_count(), 0);
  EXPECT_STREQ(kelmcat_unmatched_name(0), "");
}

TEST_F(Results, AppendCopiesFieldsAndTakesNullAsEmpty) {
  std::string key = "Films/A.mkv_1000", name = "A.mkv";
  ASSERT_EQ(add(key.c_str(), name.c_str(), "tt0111161", KELMCAT_OUTCOME_ADDED, 2, 7), 0);
  ASSERT_EQ(add(nullptr, nullptr, nullptr, KELMCAT_OUTCOME_ERROR), 0);
  key.assign("overwritten");  // the list holds its own copies
  name.assign("x");
  EXPECT_EQ(kel_result_add(nullptr), -1);

  ASSERT_EQ(kelmcat_result_count(), 2);
  EXPECT_STREQ(kelmcat_result_key(0), "Films/A.mkv_1000");
  EXPECT_STREQ(kelmcat_result_path(0), "A.mkv");
  EXPECT_STREQ(kelmcat_result_imdb_id(0), "tt0111161");
  EXPECT_EQ(kelmcat_result_outcome(0), KELMCAT_OUTCOME_ADDED);
  EXPECT_EQ(kelmcat_result_season(0), 2);
  EXPECT_EQ(kelmcat_result_episode(0), 7);
  EXPECT_STREQ(kelmcat_result_key(1), "");
  EXPECT_STREQ(kelmcat_result_path(1), "");
  EXPECT_STREQ(kelmcat_result_imdb_id(1), "");
  EXPECT_EQ(kelmcat_result_outcome(1), KELMCAT_OUTCOME_ERROR);
  EXPECT_STREQ(kelmcat_result_key(2), "");
}

TEST_F(Results, GrowthKeepsEarlierTextsInPlace) {
  std::vector<const char *> keys;
  for (int i = 0; i < 65; ++i) {
    std::string k = "k" + std::to_string(i);
    ASSERT_EQ(add(k.c_str(), "p", "", KELMCAT_OUTCOME_ADDED), 0);
    if (i == 63) {
      EXPECT_EQ(g_st.result_cap, 64);
      for (int j = 0; j < 64; ++j) keys.push_back(kelmcat_result_key(j));
    }
  }
  EXPECT_EQ(g_st.result_cap, 128);
  EXPECT_EQ(kelmcat_result_count(), 65);
  for (int j = 0; j < 64; ++j) {
    EXPECT_EQ(keys[j], kelmcat_result_key(j));
    EXPECT_EQ(std::string(keys[j]), "k" + std::to_string(j));
  }
}

TEST_F(Results, ClearEmptiesButKeepsCapacity) {
  for (int i = 0; i < 3; ++i) ASSERT_EQ(add("k", "a.mkv", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  EXPECT_EQ(kelmcat_unmatched_count(), 3);
  kel_results_clear();
  EXPECT_EQ(kelmcat_result_count(), 0);
  EXPECT_EQ(g_st.result_cap, 64);
  EXPECT_EQ(kelmcat_unmatched_count(), 0);
  EXPECT_STREQ(kelmcat_unmatched_name(0), "");
  ASSERT_EQ(add("k", "b.mkv", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  EXPECT_EQ(kelmcat_unmatched_count(), 1);
  EXPECT_STREQ(kelmcat_unmatched_name(0), "b.mkv");
}

TEST_F(Results, UnmatchedNamesInListOrder) {
  ASSERT_EQ(add("k1", "a.mkv", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  ASSERT_EQ(add("k2", "b.mkv", "tt1", KELMCAT_OUTCOME_ADDED), 0);
  ASSERT_EQ(add("k3", "c/d.mkv", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  ASSERT_EQ(add("k4", "dir/", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  EXPECT_EQ(kelmcat_unmatched_count(), 3);
  EXPECT_STREQ(kelmcat_unmatched_name(0), "a.mkv");
  EXPECT_STREQ(kelmcat_unmatched_name(1), "d.mkv");
  EXPECT_STREQ(kelmcat_unmatched_name(2), "");  // nothing after the last '/'
  EXPECT_STREQ(kelmcat_unmatched_name(3), "");
  EXPECT_STREQ(kelmcat_unmatched_name(-1), "");
}

TEST_F(Results, UnmatchedNamesFollowTheListAfterShutdown) {
  // kelmcat_shutdown empties the list without telling the result module.
  ASSERT_EQ(add("k1", "old1.mkv", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  ASSERT_EQ(add("k2", "old2.mkv", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  EXPECT_STREQ(kelmcat_unmatched_name(1), "old2.mkv");
  kelmcat_shutdown();
  EXPECT_EQ(kelmcat_unmatched_count(), 0);
  EXPECT_STREQ(kelmcat_unmatched_name(0), "");

  ASSERT_EQ(add("k1", "old1.mkv", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  ASSERT_EQ(add("k2", "old2.mkv", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  kelmcat_shutdown();
  // Same count as before the shutdown, different content, no query in between.
  ASSERT_EQ(add("n1", "new1.mkv", "tt1", KELMCAT_OUTCOME_ADDED), 0);
  ASSERT_EQ(add("n2", "new2.mkv", "", KELMCAT_OUTCOME_UNMATCHED), 0);
  EXPECT_EQ(kelmcat_unmatched_count(), 1);
  EXPECT_STREQ(kelmcat_unmatched_name(0), "new2.mkv");
  EXPECT_STREQ(kelmcat_unmatched_name(1), "");
}

TEST_F(Results, ReadingAllUnmatchedNamesOfALargeScanIsNotQuadratic) {
  const int n = 100000;
  for (int i = 0; i < n; ++i) {
    std::string name = "f" + std::to_string(i) + ".mkv";
    int32_t outcome = i % 2 ? KELMCAT_OUTCOME_UNMATCHED : KELMCAT_OUTCOME_ADDED;
    ASSERT_EQ(add("k", name.c_str(), "", outcome), 0);
  }
  auto t0 = std::chrono::steady_clock::now();
  int32_t count = kelmcat_unmatched_count();
  ASSERT_EQ(count, n / 2);
  for (int32_t j = 0; j < count; ++j)
    ASSERT_EQ(std::string(kelmcat_unmatched_name(j)), "f" + std::to_string(2 * j + 1) + ".mkv");
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  // A walk from the front for every name takes billions of steps here.
  EXPECT_LT(ms, 3000);
}

TEST_F(Results, StatsCopyCountersAndLeaveTheHostWord) {
  kelmcat_scan_stats s;
  s.host_word = 0xFEEDFACECAFEBEEFull;
  s.walked = 99;
  ASSERT_EQ(kelmcat_stats(&s), KELMCAT_OK);
  EXPECT_EQ(s.host_word, 0xFEEDFACECAFEBEEFull);
  EXPECT_EQ(s.walked, 0);
  EXPECT_EQ(s.matcher_calls, 0);

  kel_counters c{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  kel_last_counters_set(&c);
  ASSERT_EQ(kelmcat_stats(&s), KELMCAT_OK);
  EXPECT_EQ(s.host_word, 0xFEEDFACECAFEBEEFull);
  const int64_t got[] = {s.walked,    s.considered,   s.matched,      s.unmatched,
                         s.added,     s.updated,      s.unchanged,    s.errors,
                         s.depth_max, s.vault_writes, s.matcher_calls};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(got[i], i + 1) << i;

  kel_counters back{};
  kel_last_counters_copy(&back);
  EXPECT_EQ(back.depth_max, 9);
  kelmcat_shutdown();  // the counters outlive a shutdown
  kel_last_counters_copy(&back);
  EXPECT_EQ(back.matcher_calls, 11);

  EXPECT_EQ(kelmcat_stats(nullptr), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null stats");
}

// Many results and one text longer than any block the list packs texts into:
// every text stays where it was handed out, whole, until the list is cleared.
TEST_F(Results, TextsOfManyResultsStayInPlaceAndWhole) {
  const std::string long_key(200 * 1024, 'k');
  std::vector<std::string> keys;
  std::vector<const char *> handed;
  for (int i = 0; i < 3000; ++i) {
    keys.push_back(i == 1500 ? long_key : std::string(100, 'a') + std::to_string(i));
    ASSERT_EQ(
        add(keys.back().c_str(), ("p" + std::to_string(i)).c_str(), "tt1", KELMCAT_OUTCOME_ADDED),
        0);
    handed.push_back(kelmcat_result_key(i));
  }
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(kelmcat_result_key(i), handed[static_cast<size_t>(i)]) << i;
    EXPECT_EQ(kelmcat_result_key(i), keys[static_cast<size_t>(i)]) << i;
    EXPECT_EQ(std::string(kelmcat_result_path(i)), "p" + std::to_string(i));
    EXPECT_STREQ(kelmcat_result_imdb_id(i), "tt1");
  }
  kel_results_clear();
  ASSERT_EQ(add("k", "a.mkv", "", KELMCAT_OUTCOME_ADDED), 0);
  EXPECT_STREQ(kelmcat_result_key(0), "k");
}

}  // namespace
