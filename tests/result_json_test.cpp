// The result document and user corrections.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "core/core_internal.h"
#include "results/results_internal.h"

namespace {

const char *kEmptyStats =
    "\"stats\":{\"walked\":0,\"considered\":0,\"matched\":0,\"unmatched\":0,\"added\":0,"
    "\"updated\":0,\"unchanged\":0,\"errors\":0,\"depthMax\":0,\"vaultWrites\":0,"
    "\"matcherCalls\":0}";

class ResultJsonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kelmcat_shutdown();
    kel_last_counters_set(nullptr);
  }
  void TearDown() override {
    kelmcat_shutdown();
    kel_last_counters_set(nullptr);
  }
  static void add(const char *key, const char *path, const char *id, int32_t outcome,
                  int32_t season, int32_t episode) {
    kel_result r{const_cast<char *>(key),
                 const_cast<char *>(path),
                 const_cast<char *>(id),
                 outcome,
                 season,
                 episode};
    ASSERT_EQ(kel_result_add(&r), 0);
  }
};

TEST_F(ResultJsonTest, EmptyState) {
  EXPECT_EQ(std::string(kelmcat_result_json()),
            std::string("{\"results\":[],") + kEmptyStats + ",\"warnings\":[]}");
}

TEST_F(ResultJsonTest, ResultsStatsAndWarnings) {
  add("k1", "Film \"One\" \\ cut.mkv", "tt0000001", KELMCAT_OUTCOME_ADDED, -1, -1);
  add("k2", "Show S01E02.mkv", "tt0000002", KELMCAT_OUTCOME_UPDATED, 1, 2);
  add("k3", "Unknown.mkv", "", KELMCAT_OUTCOME_UNMATCHED, -1, -1);
  add("k4", "Ep 3 Été.mkv", "tt3", KELMCAT_OUTCOME_UNCHANGED, -1, 3);
  add("k5", "a/b.mkv", "tt5", KELMCAT_OUTCOME_ERROR, 0, -1);
  kel_counters c{};
  c.walked = 9;
  c.considered = 5;
  c.depth_max = 2;
  c.matcher_calls = 4000000000LL;
  kel_last_counters_set(&c);
  kel_add_warning("cycle detected at /a\\\"b");
  const std::string want =
      "{\"results\":["
      "{\"key\":\"k1\",\"path\":\"Film \\\"One\\\" \\\\ cut.mkv\",\"imdbId\":\"tt0000001\","
      "\"outcome\":1},"
      "{\"key\":\"k2\",\"path\":\"Show S01E02.mkv\",\"imdbId\":\"tt0000002\",\"outcome\":2,"
      "\"season\":1,\"episode\":2},"
      "{\"key\":\"k3\",\"path\":\"Unknown.mkv\",\"imdbId\":\"\",\"outcome\":4},"
      "{\"key\":\"k4\",\"path\":\"Ep 3 Été.mkv\",\"imdbId\":\"tt3\",\"outcome\":3,\"episode\":3},"
      "{\"key\":\"k5\",\"path\":\"a/b.mkv\",\"imdbId\":\"tt5\",\"outcome\":5,\"season\":0}],"
      "\"stats\":{\"walked\":9,\"considered\":5,\"matched\":0,\"unmatched\":0,\"added\":0,"
      "\"updated\":0,\"unchanged\":0,\"errors\":0,\"depthMax\":2,\"vaultWrites\":0,"
      "\"matcherCalls\":4000000000},"
      "\"warnings\":[\"cycle detected at /a\\\\\\\"b\"]}";
  EXPECT_EQ(std::string(kelmcat_result_json()), want);

  // Shutdown empties results and warnings but keeps the last counters.
  kelmcat_shutdown();
  std::string after = kelmcat_result_json();
  EXPECT_EQ(after.find("{\"results\":[],\"stats\":{\"walked\":9,"), 0u) << after;
  EXPECT_NE(after.find(",\"warnings\":[]}"), std::string::npos);
}

TEST_F(ResultJsonTest, InvalidUtf8MakesItEmptyButCutWarningsStayValid) {
  std::string w;
  while (w.size() < 600) w += "\xE2\x82\xAC";  // 3-byte characters; 511 falls inside one
  kel_add_warning("%s", w.c_str());
  std::string doc = kelmcat_result_json();
  ASSERT_FALSE(doc.empty());
  EXPECT_NE(doc.find("\xE2\x82\xAC\"]}"), std::string::npos);

  add("bad", "\xFF\xFE.mkv", "", KELMCAT_OUTCOME_UNMATCHED, -1, -1);
  EXPECT_STREQ(kelmcat_result_json(), "");
}

TEST_F(ResultJsonTest, NextCallReplacesText) {
  const char *first = kelmcat_result_json();
  std::string copy = first;
  const char *second = kelmcat_result_json();
  EXPECT_EQ(copy, second);  // equal content; the first pointer is no longer ours to read
}

// ---- Corrections -----------------------------------------------------------

struct TestVault {
  std::map<std::string, std::string> kv;
  int32_t set_result = 0;
  int sets = 0;
};

int32_t tv_get(void *, const char *, char **) {
  return 1;
}
int32_t tv_set(void *ctx, const char *k, const char *v) {
  auto *t = static_cast<TestVault *>(ctx);
  t->sets++;
  if (t->set_result == 0) t->kv[k] = v;
  return t->set_result;
}
int32_t tv_search(void *, const char *, char ***, size_t *) {
  return 1;
}

class CorrectionTest : public ::testing::Test {
 protected:
  void SetUp() override { kelmcat_shutdown(); }
  void TearDown() override { kelmcat_shutdown(); }
  void install() {
    kelmcat_vault t{nullptr, &vault, tv_get, tv_set, tv_search, nullptr};
    ASSERT_EQ(kelmcat_set_vault(&t), 0);
  }
  static void set_user(const char *u) {
    std::lock_guard<std::mutex> g(g_st.lock);
    std::free(g_st.scan_user);
    g_st.scan_user = kel_strdup(u);
  }
  TestVault vault;
};

TEST_F(CorrectionTest, ChecksInOrder) {
  const struct {
    const char *key;
    const char *id;
    bool armed, user, vault;
    int32_t code;
    const char *msg;
  } rows[] = {
      {nullptr, "tt1", true, true, true, KELMCAT_ERR_ARG, "null item key"},
      {"", "tt1", true, true, true, KELMCAT_ERR_ARG, "null item key"},
      {"abc", "", true, true, true, KELMCAT_ERR_ARG, "null imdb id"},
      {"abc", nullptr, false, false, false, KELMCAT_ERR_ARG, "null imdb id"},
      {"abc", "tt1", false, false, false, KELMCAT_ERR_NOT_ARMED,
       "writes are not armed (call kelmcat_arm_writes(1))"},
      {"abc", "tt1", true, false, true, KELMCAT_ERR_ARG,
       "no scan user \xE2\x80\x94 set_correction writes into a user's vault"},
      {"abc", "tt1", true, true, false, KELMCAT_ERR_NO_VAULT, "no vault installed"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.msg);
    kelmcat_shutdown();
    kelmcat_arm_writes(r.armed);
    if (r.user) set_user("u1");
    if (r.vault) install();
    EXPECT_EQ(kelmcat_set_correction(r.key, r.id), r.code);
    EXPECT_STREQ(kelmcat_last_error(), r.msg);
  }
  EXPECT_EQ(vault.sets, 0);
}

TEST_F(CorrectionTest, WritesNamespacedKeyAndLogs) {
  install();
  kelmcat_arm_writes(1);
  set_user("u1");
  std::string logged;
  kelmcat_set_logger([](const char *l, void *u) { *static_cast<std::string *>(u) = l; }, &logged);
  ASSERT_EQ(kelmcat_set_correction("abc", "tt0111161"), 0);
  EXPECT_EQ(vault.kv["TALMERON_IMediaKeyVault_u1_CorrectIMDbId_1099313834"], "tt0111161");
  EXPECT_EQ(logged, "correction written CorrectIMDbId_1099313834 -> tt0111161");
  ASSERT_EQ(kelmcat_set_correction("\xFF", "tt2"), 0);  // invalid UTF-8 hashes to 0
  EXPECT_EQ(vault.kv["TALMERON_IMediaKeyVault_u1_CorrectIMDbId_0"], "tt2");

  vault.set_result = 1;
  EXPECT_EQ(kelmcat_set_correction("abc", "tt3"), KELMCAT_ERR_VAULT);
  EXPECT_STREQ(kelmcat_last_error(), "vault refused the correction write");
}

TEST_F(CorrectionTest, LongUserIdKeptWhole) {
  install();
  kelmcat_arm_writes(1);
  std::string user(300, 'u');
  set_user(user.c_str());
  ASSERT_EQ(kelmcat_set_correction("abc", "tt1"), 0);
  EXPECT_EQ(vault.kv.count("TALMERON_IMediaKeyVault_" + user + "_CorrectIMDbId_1099313834"), 1u);

  // The namespaced key must fit its 1200-byte buffer whole: a cut one would
  // lose the hash and make every file of the user share one entry.
  const std::string fits(1150, 'v');  // 24 + 1150 + 1 + 24 = 1199 bytes
  set_user(fits.c_str());
  ASSERT_EQ(kelmcat_set_correction("abc", "tt2"), 0);
  EXPECT_EQ(vault.kv.count("TALMERON_IMediaKeyVault_" + fits + "_CorrectIMDbId_1099313834"), 1u);
  set_user((fits + "v").c_str());
  EXPECT_EQ(kelmcat_set_correction("abc", "tt3"), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "user id too long for a vault key");
  EXPECT_EQ(vault.sets, 2);
}

}  // namespace
