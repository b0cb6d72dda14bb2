// Whole scans over the fake tree, the fake IO and a test vault, seen from one
// file: keys, lookups, the movie check, season/episode, the vault record and
// its outcome, and every failure of the categorization.
#include <functional>
#include <string>
#include <vector>

#include "scan_fixture.h"

using namespace scantest;

namespace {

const char *kFilms = R"({"name":"","children":[{"name":"Films","children":[
  {"name":"A.mkv","size":1000,"id":"abc"},
  {"name":"B.mkv","size":1000},
  {"name":"C.mkv"},
  {"name":"Zero.mkv","size":0},
  {"name":"clip.m2ts","size":5},
  {"name":"readme.txt","size":5},
  {"name":"Unknown.avi","size":7},
  {"name":"x.mkv","size":3,"title":"Heat","year":1995},
  {"name":"Titled.mkv","size":3,"title":"Ronin"},
  {"name":"Show S01E02.mkv","size":9},
  {"name":"Doc 2x05.mkv","size":9}]}]})";

const char *kB =
    R"({"Key":"Films/B.mkv_1000","IMDbID":"tt2","FileName":"B.mkv","RuntimeConfigID":"c1","Path":"","Size":1000,"Extension":".mkv"})";

class Categorize : public ScanTest {
 protected:
  void film_routes() {
    kel_fake_set_matcher("A.mkv", "tt1", 0);
    kel_fake_set_matcher("B.mkv", "tt2", 0);
    kel_fake_set_matcher("C.mkv", "tt3", 0);
    kel_fake_set_matcher("Heat 1995", "tt4", 0);
    kel_fake_set_matcher("Titled.mkv", "tt5", 0);
    kel_fake_set_tvshow("Show S01E02.mkv", "tt6");
    kel_fake_set_matcher("Doc 2x05.mkv", "tt7", 0);
    kel_fake_set_ismovie("tt7", 0);
  }
  std::string stored(const std::string &item_key) {
    auto it = vault.kv.find(matched_vault_key("u1", item_key));
    return it == vault.kv.end() ? "" : it->second;
  }
};

TEST_F(Categorize, FirstScanKeysLooksUpAndRecordsEveryCandidate) {
  load(kFilms);
  film_routes();
  ASSERT_EQ(scan(), 0);
  std::vector<Res> want = {
      {"abc", "A.mkv", "tt1", KELMCAT_OUTCOME_ADDED, -1, -1},
      {"Films/B.mkv_1000", "B.mkv", "tt2", KELMCAT_OUTCOME_ADDED, -1, -1},
      {"Films/C.mkv_-1", "C.mkv", "tt3", KELMCAT_OUTCOME_ADDED, -1, -1},
      {"Films/Unknown.avi_7", "Unknown.avi", "", KELMCAT_OUTCOME_UNMATCHED, -1, -1},
      {"Films/x.mkv_3", "x.mkv", "tt4", KELMCAT_OUTCOME_ADDED, -1, -1},
      {"Films/Titled.mkv_3", "Titled.mkv", "tt5", KELMCAT_OUTCOME_ADDED, -1, -1},
      {"Films/Show S01E02.mkv_9", "Show S01E02.mkv", "tt6", KELMCAT_OUTCOME_ADDED, 1, 2},
      {"Films/Doc 2x05.mkv_9", "Doc 2x05.mkv", "tt7", KELMCAT_OUTCOME_ADDED, 2, 5},
  };
  EXPECT_EQ(results(), want);
  kelmcat_scan_stats s = stats();
  EXPECT_EQ(s.walked, 12);
  EXPECT_EQ(s.considered, 8);
  EXPECT_EQ(s.matched, 7);
  EXPECT_EQ(s.unmatched, 1);
  EXPECT_EQ(s.added, 7);
  EXPECT_EQ(s.vault_writes, 7);
  EXPECT_EQ(s.errors, 0);
  EXPECT_EQ(s.depth_max, 1);
  // Eight lookups; a movie check for every match not flagged as a TV show.
  EXPECT_EQ(s.matcher_calls, 14);
  EXPECT_EQ(stored("Films/B.mkv_1000"), kB);
  EXPECT_EQ(
      stored("Films/Show S01E02.mkv_9"),
      R"({"Key":"Films/Show S01E02.mkv_9","IMDbID":"tt6","FileName":"Show S01E02.mkv","RuntimeConfigID":"c1","Path":"","Size":9,"Season":1,"Episode":2,"Extension":".mkv"})");
  EXPECT_EQ(
      stored("Films/C.mkv_-1"),
      R"({"Key":"Films/C.mkv_-1","IMDbID":"tt3","FileName":"C.mkv","RuntimeConfigID":"c1","Path":"","Extension":".mkv"})");
  EXPECT_EQ(kelmcat_unmatched_count(), 1);
  EXPECT_STREQ(kelmcat_unmatched_name(0), "Unknown.avi");
}

TEST_F(Categorize, RescanOfAnUnchangedTreeWritesNothing) {
  load(kFilms);
  film_routes();
  ASSERT_EQ(scan(), 0);
  auto before = vault.kv;
  int sets = vault.sets;
  ASSERT_EQ(scan(), 0);
  EXPECT_EQ(vault.sets, sets);
  EXPECT_EQ(vault.kv, before);
  kelmcat_scan_stats s = stats();
  EXPECT_EQ(s.unchanged, 7);
  EXPECT_EQ(s.added + s.updated + s.vault_writes + s.errors, 0);
  std::vector<Res> r = results();
  ASSERT_EQ(r.size(), 8u);
  EXPECT_EQ(r[6], (Res{"Films/Show S01E02.mkv_9", "Show S01E02.mkv", "tt6",
                       KELMCAT_OUTCOME_UNCHANGED, 1, 2}));
  // Another runtime configuration changes every record.
  ASSERT_EQ(kelmcat_scan("u1", "c2"), 0);
  EXPECT_EQ(stats().updated, 7);
  EXPECT_NE(stored("Films/B.mkv_1000").find(R"("RuntimeConfigID":"c2")"), std::string::npos);
}

// The stored record of B.mkv (matched as tt2, size 1000), and what a scan makes
// of it.
TEST_F(Categorize, StoredRecordIsKeptMergedOrLeftAloneByItsContent) {
  struct Case {
    const char *what;
    std::string stored;
    int32_t outcome;    // 0: no result
    std::string after;  // "" = unchanged
    int32_t season;
  };
  const std::string rewritten_b =
      R"({"Key":"Films/B.mkv_1000","IMDbID":"tt2","ParentKey":"pk","FileName":"B.mkv","RuntimeConfigID":"c1","Path":"","Size":1000,"Extension":".mkv"})";
  std::vector<Case> cases = {
      {"as written", kB, KELMCAT_OUTCOME_UNCHANGED, "", -1},
      {"other size",
       R"({"Key":"Films/B.mkv_1000","IMDbID":"tt2","FileName":"B.mkv","RuntimeConfigID":"c1","Path":"","Size":999,"Extension":".mkv"})",
       KELMCAT_OUTCOME_UPDATED, kB, -1},
      {"no Key member",
       R"({"IMDbID":"tt2","FileName":"B.mkv","RuntimeConfigID":"c1","Path":"","Size":1000,"Extension":".mkv"})",
       KELMCAT_OUTCOME_UNCHANGED, "", -1},
      {"unknown member, same fields",
       R"({"Key":"Films/B.mkv_1000","IMDbID":"tt2","Size":1000,"RuntimeConfigID":"c1","Poster":"p"})",
       KELMCAT_OUTCOME_UNCHANGED, "", -1},
      {"old id, parent key, unknown member",
       R"({"Key":"Films/B.mkv_1000","IMDbID":"ttOLD","ParentKey":"pk","FileName":"B.mkv","RuntimeConfigID":"c1","Path":"","Size":1000,"Poster":"p","Extension":".mkv"})",
       KELMCAT_OUTCOME_UPDATED, rewritten_b, -1},
      {"stored season is kept",
       R"({"Key":"Films/B.mkv_1000","IMDbID":"tt2","RuntimeConfigID":"c1","Size":1000,"Season":3})",
       KELMCAT_OUTCOME_UNCHANGED, "", 3},
      {"season written as a real",
       R"({"Key":"Films/B.mkv_1000","IMDbID":"tt2","RuntimeConfigID":"c1","Size":1000,"Season":3.0})",
       KELMCAT_OUTCOME_UPDATED,
       R"({"Key":"Films/B.mkv_1000","IMDbID":"tt2","RuntimeConfigID":"c1","Size":1000})", -1},
      {"not JSON", "garbage", KELMCAT_OUTCOME_UPDATED,
       R"({"Key":"Films/B.mkv_1000","IMDbID":"tt2","RuntimeConfigID":"c1","Size":1000})", -1},
      {"another file's record", R"({"Key":"Films/other.mkv_5","IMDbID":"tt9"})",
       KELMCAT_OUTCOME_ERROR, "", -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    load(R"({"name":"","children":[{"name":"Films","children":[{"name":"B.mkv","size":1000}]}]})");
    kel_fake_set_matcher("B.mkv", "tt2", 0);
    std::string vkey = matched_vault_key("u1", "Films/B.mkv_1000");
    vault.kv[vkey] = c.stored;
    ASSERT_EQ(scan(), 0);
    std::vector<Res> r = results();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], (Res{"Films/B.mkv_1000", "B.mkv", "tt2", c.outcome, c.season, -1}));
    EXPECT_EQ(vault.kv[vkey], c.after.empty() ? c.stored : c.after);
    kelmcat_scan_stats s = stats();
    EXPECT_EQ(s.unchanged, c.outcome == KELMCAT_OUTCOME_UNCHANGED ? 1 : 0);
    EXPECT_EQ(s.updated, c.outcome == KELMCAT_OUTCOME_UPDATED ? 1 : 0);
    EXPECT_EQ(s.vault_writes, c.outcome == KELMCAT_OUTCOME_UPDATED ? 1 : 0);
    EXPECT_EQ(s.errors, c.outcome == KELMCAT_OUTCOME_ERROR ? 1 : 0);
    EXPECT_EQ(has_warning("vault key collision: Films/B.mkv_1000 and Films/other.mkv_5"),
              c.outcome == KELMCAT_OUTCOME_ERROR);
    TearDown();
  }
}

// Two files whose identity keys hash alike share a vault key: the second
// must not take over the first one's record, on any scan.
TEST_F(Categorize, VaultKeyCollisionLeavesTheOtherFilesRecordAlone) {
  char k1[32], k2[32];
  ASSERT_EQ(kelmcat_vault_key("F/80179.mkv_1", k1, sizeof k1), 0);
  ASSERT_EQ(kelmcat_vault_key("F/105982.mkv_1", k2, sizeof k2), 0);
  ASSERT_STREQ(k1, k2);
  load(R"({"name":"","children":[{"name":"F","children":[
    {"name":"80179.mkv","size":1},{"name":"105982.mkv","size":1}]}]})");
  kel_fake_set_matcher("80179.mkv", "tt1", 0);
  kel_fake_set_matcher("105982.mkv", "tt2", 0);
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    ASSERT_EQ(scan(), 0);
    std::vector<Res> want = {
        {"F/80179.mkv_1", "80179.mkv", "tt1",
         pass == 0 ? KELMCAT_OUTCOME_ADDED : KELMCAT_OUTCOME_UNCHANGED, -1, -1},
        {"F/105982.mkv_1", "105982.mkv", "tt2", KELMCAT_OUTCOME_ERROR, -1, -1}};
    EXPECT_EQ(results(), want);
    EXPECT_EQ(stats().errors, 1);
    EXPECT_EQ(stats().updated, 0);
    EXPECT_EQ(
        stored("F/80179.mkv_1"),
        R"({"Key":"F/80179.mkv_1","IMDbID":"tt1","FileName":"80179.mkv","RuntimeConfigID":"c1","Path":"","Size":1,"Extension":".mkv"})");
  }
  EXPECT_EQ(warnings(),
            (std::vector<std::string>{"vault key collision: F/105982.mkv_1 and F/80179.mkv_1",
                                      "vault key collision: F/105982.mkv_1 and F/80179.mkv_1"}));
}

// A vault replaced between the read of the matched key and the write: the
// record goes to the vault installed at the write, never to the old one.
TEST_F(Categorize, WriteGoesToTheVaultInstalledAtTheWrite) {
  struct Case {
    const char *what;
    std::string stored;  // in the first vault; "" = none
    int32_t outcome;
  };
  std::vector<Case> cases = {
      {"new record", "", KELMCAT_OUTCOME_ADDED},
      {"rewrite", R"({"Key":"B.mkv_1000","IMDbID":"ttOLD"})", KELMCAT_OUTCOME_UPDATED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    TestVault second;
    kelmcat_vault t2 = second.table();
    std::string vkey = matched_vault_key("u1", "B.mkv_1000");
    if (!c.stored.empty()) vault.kv[vkey] = c.stored;
    vault.on_get = [&](const char *k) {
      if (vkey == k) kelmcat_set_vault(&t2);
    };
    load(R"({"name":"","children":[{"name":"B.mkv","size":1000}]})");
    kel_fake_set_matcher("B.mkv", "tt2", 0);
    ASSERT_EQ(scan(), 0);
    EXPECT_EQ(results(), (std::vector<Res>{{"B.mkv_1000", "B.mkv", "tt2", c.outcome, -1, -1}}));
    EXPECT_EQ(vault.sets, 0);
    EXPECT_EQ(second.sets, 1);
    EXPECT_NE(second.kv[vkey].find(R"("IMDbID":"tt2")"), std::string::npos);
    TearDown();
  }
}

TEST_F(Categorize, CollisionWarningCutsBothKeysWithoutSplittingACharacter) {
  // 199 ASCII bytes and then a two-byte character: the cut keeps 199 bytes.
  std::string other = std::string(199, 'k') + "\xC3\xA9" + "tail";
  load(R"({"name":"","children":[{"name":"B.mkv","size":1000}]})");
  kel_fake_set_matcher("B.mkv", "tt2", 0);
  vault.kv[matched_vault_key("u1", "B.mkv_1000")] = R"({"Key":")" + other + R"("})";
  ASSERT_EQ(scan(), 0);
  EXPECT_TRUE(has_warning("vault key collision: B.mkv_1000 and " + std::string(199, 'k')));
}

// One failure per row, in a folder of A.mkv and then B.mkv (both matched by
// default). Whether B is still looked at shows whether the walk went on.
TEST_F(Categorize, FailureTable) {
  struct Case {
    const char *what;
    std::function<void(TestVault &)> setup;
    int32_t rc;
    std::vector<Res> want;
    int64_t errors;
    const char *last_error;  // nullptr: not checked
  };
  const Res b_added{"Films/B.mkv_2", "B.mkv", "tt2", KELMCAT_OUTCOME_ADDED, -1, -1};
  std::vector<Case> cases = {
      {"no match",
       [](TestVault &) { kel_fake_set_matcher("A.mkv", nullptr, 404); },
       0,
       {{"Films/A.mkv_1", "A.mkv", "", KELMCAT_OUTCOME_UNMATCHED, -1, -1}, b_added},
       0,
       nullptr},
      {"matcher unreachable",
       [](TestVault &) { kel_fake_fail_matcher("transport"); },
       KELMCAT_ERR_MATCHER_DOWN,
       {{"Films/A.mkv_1", "A.mkv", "", KELMCAT_OUTCOME_ERROR, -1, -1}},
       1,
       "transport: fake transport failure"},
      {"matcher answers 503",
       [](TestVault &) { kel_fake_set_matcher("A.mkv", nullptr, 503); },
       KELMCAT_ERR_MATCHER_DOWN,
       {{"Films/A.mkv_1", "A.mkv", "", KELMCAT_OUTCOME_ERROR, -1, -1}},
       1,
       nullptr},
      {"matcher answers 400",
       [](TestVault &) { kel_fake_set_matcher("A.mkv", nullptr, 400); },
       KELMCAT_ERR_HTTP,
       {{"Films/A.mkv_1", "A.mkv", "", KELMCAT_OUTCOME_ERROR, -1, -1}},
       1,
       "HTTP error"},
      {"movie check fails",  // an id the catalogue does not know answers 404
       [](TestVault &) { kel_fake_set_matcher("A.mkv", "x1", 0); },
       KELMCAT_ERR_HTTP,
       {{"Films/A.mkv_1", "A.mkv", "x1", KELMCAT_OUTCOME_ERROR, -1, -1}},
       1,
       "HTTP error"},
      {"vault read fails",
       [](TestVault &v) { v.get_rc = -3; },
       KELMCAT_ERR_VAULT,
       {{"Films/A.mkv_1", "A.mkv", "tt1", KELMCAT_OUTCOME_ERROR, -1, -1}},
       1,
       "vault backend failure"},
      {"matched-key read fails, correction read fails only",
       [](TestVault &v) { v.fail_gets_containing = "CorrectIMDbId_"; },
       0,
       {{"Films/A.mkv_1", "A.mkv", "tt1", KELMCAT_OUTCOME_ADDED, -1, -1}, b_added},
       0,
       nullptr},
      {"vault read answers an empty text",
       [](TestVault &v) { v.empty_value = true; },
       0,
       {{"Films/A.mkv_1", "A.mkv", "tt1", KELMCAT_OUTCOME_ADDED, -1, -1}, b_added},
       0,
       nullptr},
      {"first write refused",
       [](TestVault &v) { v.set_rc = 1; },
       0,
       {{"Films/A.mkv_1", "A.mkv", "tt1", KELMCAT_OUTCOME_ERROR, -1, -1},
        {"Films/B.mkv_2", "B.mkv", "tt2", KELMCAT_OUTCOME_ERROR, -1, -1}},
       2,
       nullptr},
      {"rewrite refused",
       [](TestVault &v) {
         v.kv[matched_vault_key("u1", "Films/A.mkv_1")] = R"({"IMDbID":"ttOLD"})";
         v.set_rc = 1;
       },
       0,
       {{"Films/B.mkv_2", "B.mkv", "tt2", KELMCAT_OUTCOME_ERROR, -1, -1}},
       2,
       nullptr},
      {"writes disarmed before the vault read",
       [](TestVault &v) { v.on_get = [](const char *) { kelmcat_arm_writes(0); }; },
       KELMCAT_ERR_NOT_ARMED,
       {},
       0,
       "writes are not armed (call kelmcat_arm_writes(1))"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    load(R"({"name":"","children":[{"name":"Films","children":[
      {"name":"A.mkv","size":1},{"name":"B.mkv","size":2}]}]})");
    c.setup(vault);
    kel_fake_set_matcher("A.mkv", "tt1", 0);
    kel_fake_set_matcher("B.mkv", "tt2", 0);
    EXPECT_EQ(scan(), c.rc);
    EXPECT_EQ(results(), c.want);
    EXPECT_EQ(stats().errors, c.errors);
    EXPECT_EQ(kelmcat_last_code(), c.rc);
    if (c.last_error) {
      EXPECT_STREQ(kelmcat_last_error(), c.last_error);
    }
    TearDown();
  }
}

TEST_F(Categorize, AddNewOnlySkipsIndexedFilesBeforeAnyRequest) {
  load(R"({"name":"","children":[{"name":"A.mkv","size":1},{"name":"B.mkv","size":2}]})");
  kel_fake_set_matcher("B.mkv", "tt2", 0);
  kel_fake_set_indexed(R"(["A.mkv_1"])");
  kelmcat_set_add_new_only(1);
  ASSERT_EQ(scan(), 0);
  EXPECT_EQ(results(),
            (std::vector<Res>{{"B.mkv_2", "B.mkv", "tt2", KELMCAT_OUTCOME_ADDED, -1, -1}}));
  kelmcat_scan_stats s = stats();
  EXPECT_EQ(s.walked, 2);
  EXPECT_EQ(s.considered, 2);
  EXPECT_EQ(s.matcher_calls, 2);
  EXPECT_EQ(vault.gets, 2);  // B's correction and matched keys only
}

TEST_F(Categorize, CorrectModeHandlesOnlyFilesWithAStoredCorrection) {
  load(R"({"name":"","children":[{"name":"A.mkv","size":1},{"name":"B.mkv","size":2}]})");
  kelmcat_set_correct_mode(1);
  // No correction ids: every candidate is considered, nothing else happens.
  ASSERT_EQ(scan(), 0);
  EXPECT_EQ(kelmcat_result_count(), 0);
  EXPECT_EQ(stats().considered, 2);
  EXPECT_EQ(stats().matcher_calls, 0);
  EXPECT_EQ(vault.gets, 0);

  // A's correction is in the vault and found by the key search.
  std::string ckey = correction_vault_key("u1", "A.mkv_1");
  vault.kv[ckey] = "ttFIX";
  vault.search_result = {ckey, "TALMERON_IMediaKeyVault_u1_CorrectIMDbId_x"};
  ASSERT_EQ(scan(), 0);
  EXPECT_EQ(results(),
            (std::vector<Res>{{"A.mkv_1", "A.mkv", "ttFIX", KELMCAT_OUTCOME_ADDED, -1, -1}}));
  EXPECT_EQ(stats().matcher_calls, 0);
  EXPECT_EQ(stats().considered, 2);
  EXPECT_EQ(
      vault.kv[matched_vault_key("u1", "A.mkv_1")],
      R"({"Key":"A.mkv_1","IMDbID":"ttFIX","FileName":"A.mkv","RuntimeConfigID":"c1","Path":"","Size":1,"RequiredVerify":false,"Extension":".mkv"})");
}

TEST_F(Categorize, LoadedCorrectionStandsInWhenTheVaultHasNone) {
  load(R"({"name":"","children":[{"name":"Show 1x02.mkv","size":1}]})");
  char hash[16];
  snprintf(hash, sizeof hash, "%d", kelmcat_stable_hash_utf8("Show 1x02.mkv_1"));
  kel_fake_set_corrections((std::string("{\"") + hash + "\":\"ttLOADED\"}").c_str());
  vault.search_result = {std::string("TALMERON_IMediaKeyVault_u1_CorrectIMDbId_") + hash + "x"};
  vault.fail_gets_containing = "CorrectIMDbId_";  // the vault's own read fails
  kelmcat_set_correct_mode(1);
  ASSERT_EQ(scan(), 0);
  // A correction skips the parser too: no season or episode.
  EXPECT_EQ(results(), (std::vector<Res>{{"Show 1x02.mkv_1", "Show 1x02.mkv", "ttLOADED",
                                          KELMCAT_OUTCOME_ADDED, -1, -1}}));
  EXPECT_EQ(stats().matcher_calls, 0);
}

}  // namespace
