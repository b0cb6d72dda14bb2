// The folder walk in whole scans: order of files and folders, paging, the depth
// cap, cycles, path filters, the walk root, long paths, listing failures, the
// visited set, and cancellation and setters from a second thread.
#include <string>
#include <thread>
#include <vector>

#include "scan/walk.h"
#include "scan_fixture.h"

using namespace scantest;

namespace {

class Walk : public ScanTest {
 protected:
  // Every file name routed to an id of its own ("id-<name>").
  void route(const std::vector<std::string> &names) {
    for (auto &n : names) kel_fake_set_matcher(n.c_str(), ("tt-" + n).c_str(), 0);
  }
  std::vector<std::string> result_names() {
    std::vector<std::string> v;
    for (auto &r : results()) v.push_back(r.name);
    return v;
  }
};

// A chain of n folders d1/d2/.../dn below the root, each holding one file.
std::string chain(int n) {
  std::string open, close;
  for (int i = 1; i <= n; ++i) {
    open += R"({"name":"d)" + std::to_string(i) + R"(","children":[{"name":"f)" +
            std::to_string(i) + R"(.mkv","size":1})";
    open += i < n ? "," : "";
    close += "]}";
  }
  return R"({"name":"","children":[)" + open + close + "]}";
}

TEST_F(Walk, FilesOfEveryPageComeBeforeAnySubfolder) {
  ASSERT_EQ(kelmcat_set_backend("fake", R"({"page_size":2})"), 0);
  load(R"({"name":"","children":[{"name":"f1.mkv","size":1},
    {"name":"sub","children":[{"name":"s.mkv","size":1}]},
    {"name":"f2.mkv","size":1},{"name":"f3.mkv","size":1},{"name":"f4.mkv","size":1}]})");
  route({"f1.mkv", "f2.mkv", "f3.mkv", "f4.mkv", "s.mkv"});
  ASSERT_EQ(scan(), 0);
  EXPECT_EQ(result_names(),
            (std::vector<std::string>{"f1.mkv", "f2.mkv", "f3.mkv", "f4.mkv", "s.mkv"}));
  EXPECT_EQ(stats().walked, 6);  // the folder entry counts too
  EXPECT_EQ(stats().depth_max, 1);
  EXPECT_EQ(results()[4].key, "sub/s.mkv_1");
}

TEST_F(Walk, DepthCapEndsTheScanAfterTheFilesAbove) {
  ASSERT_EQ(kelmcat_set_max_depth(1), 0);
  load(R"({"name":"","children":[{"name":"a","children":[{"name":"a.mkv","size":1},
    {"name":"b","children":[{"name":"b.mkv","size":1}]}]}]})");
  route({"a.mkv", "b.mkv"});
  EXPECT_EQ(scan(), KELMCAT_ERR_DEPTH);
  EXPECT_EQ(result_names(), std::vector<std::string>{"a.mkv"});
  EXPECT_EQ(stats().depth_max, 2);
  EXPECT_EQ(stats().walked, 3);
  EXPECT_TRUE(has_warning("depth cap 1 exceeded at /a/b"));
  EXPECT_STREQ(kelmcat_last_error(), "folder walk exceeded max depth");
  EXPECT_EQ(kelmcat_last_code(), KELMCAT_ERR_DEPTH);
  EXPECT_TRUE(log.has_prefix(
      "scan ended rc=-6 (folder walk exceeded max depth) walked=3 considered=1 added=1 "
      "updated=0 unchanged=0 unmatched=0 errors=0"));
  EXPECT_EQ(kel_fake_queue_calls(), 0);
}

TEST_F(Walk, DefaultDepthAllowsThirtyTwoLevelsBelowTheRoot) {
  load(chain(32));
  ASSERT_EQ(scan(), 0);
  EXPECT_EQ(stats().depth_max, 32);
  EXPECT_EQ(stats().unmatched, 32);
  load(chain(33));
  EXPECT_EQ(scan(), KELMCAT_ERR_DEPTH);
  EXPECT_EQ(stats().depth_max, 33);
  EXPECT_EQ(stats().unmatched, 32);
}

TEST_F(Walk, FolderComingUpTwiceIsACycle) {
  load(R"({"name":"","children":[{"name":"A","children":[{"name":"x.mkv","size":1}]},
    {"name":"A","children":[{"name":"y.mkv","size":1}]}]})");
  ASSERT_EQ(scan(), 0);
  // One descent (the fake finds the first A by path), one warning, one error.
  EXPECT_EQ(result_names(), std::vector<std::string>{"x.mkv"});
  EXPECT_EQ(stats().errors, 1);
  EXPECT_EQ(warnings(), std::vector<std::string>{"cycle detected at A"});
  // The next scan starts with an empty visited set and warns again.
  ASSERT_EQ(scan(), 0);
  EXPECT_EQ(warnings().size(), 2u);
}

TEST_F(Walk, PathFiltersDecideFoldersAndFiles) {
  const char *tree = R"({"name":"","children":[
    {"name":"Movies","children":[{"name":"a.mkv","size":1},
      {"name":"Kids","children":[{"name":"k.mkv","size":1}]},
      {"name":"Kidsville","children":[{"name":"kv.mkv","size":1}]}]},
    {"name":"TV","children":[{"name":"Shows","children":[{"name":"S01","children":[
      {"name":"e1.mkv","size":1}]}]}]}]})";
  struct Case {
    std::vector<const char *> include, exclude;
    std::vector<std::string> want;
    int64_t considered;
  };
  std::vector<Case> cases = {
      {{}, {"/Movies/Kids/"}, {"a.mkv", "kv.mkv", "e1.mkv"}, 3},
      {{"TV/Shows"}, {}, {"e1.mkv"}, 1},
      {{"TV"}, {"TV"}, {}, 0},  // exclusion wins; files outside every include are dropped
      {{"/"}, {}, {}, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases.data()));
    SetUp();
    load(tree);
    route({"a.mkv", "k.mkv", "kv.mkv", "e1.mkv"});
    ASSERT_EQ(kelmcat_set_include_paths(c.include.data(), (int32_t)c.include.size()), 0);
    ASSERT_EQ(kelmcat_set_exclude_paths(c.exclude.data(), (int32_t)c.exclude.size()), 0);
    ASSERT_EQ(scan(), 0);
    EXPECT_EQ(result_names(), c.want);
    EXPECT_EQ(stats().considered, c.considered);
    TearDown();
  }
}

TEST_F(Walk, WalkRootReplacesTheStartFolder) {
  load(R"({"name":"","children":[{"name":"x.mkv","size":1},{"name":"Media","children":[
    {"name":"Films","children":[{"name":"y.mkv","size":2},
      {"name":"Sub","children":[{"name":"z.mkv","size":3}]}]}]}]})");
  ASSERT_EQ(kelmcat_set_walk_root("/Media/Films"), 0);
  ASSERT_EQ(scan(), 0);
  std::vector<Res> r = results();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].key, "Media/Films/y.mkv_2");
  EXPECT_EQ(r[1].key, "Media/Films/Sub/z.mkv_3");
  EXPECT_EQ(stats().depth_max, 1);
  EXPECT_TRUE(log.has_prefix("scan start user=u1 cfg=c1 root=/Media/Films"));
}

// A folder whose path is exactly as long as a join may make it is listed under
// that path; a subfolder below it cannot be joined any more.
TEST_F(Walk, FolderPathOfTheFullJoinLengthIsListedWhole) {
  std::string name(4095, 'n');  // "/" + name = 4096 bytes
  load(R"({"name":"","children":[{"name":")" + name +
       R"(","children":[{"name":"a.mkv","size":5},{"name":"deeper","children":[]}]}]})");
  ASSERT_EQ(scan(), 0);
  std::vector<Res> r = results();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].key, name + "/a.mkv_5");
  EXPECT_TRUE(has_warning("path join rejected deeper"));
  EXPECT_EQ(stats().errors, 0);
}

TEST_F(Walk, ListingFailureOfASubfolderEndsTheScan) {
  // "B" is listed as a folder, but its stored path is one the fake cannot find.
  load(R"({"name":"","children":[{"name":"a.mkv","size":1},
    {"name":"B","path":"/elsewhere/","children":[]},{"name":"C","children":[{"name":"c.mkv"}]}]})");
  route({"a.mkv", "c.mkv"});
  EXPECT_EQ(scan(), KELMCAT_ERR_NO_STORAGE);
  EXPECT_EQ(result_names(), std::vector<std::string>{"a.mkv"});
  EXPECT_STREQ(kelmcat_last_error(), "list '/B' failed: not_found: list '/B': not_found");
}

TEST(WalkVisited, IndexGrowsByFourBeforeTwoThirdsAndStaysExact) {
  kel_counters c{};
  kel_walk w;
  ASSERT_EQ(kel_walk_init(&w, "u", "c", &c), 0);
  EXPECT_EQ(w.index_mask, 1023u);
  for (int i = 0; i < 682; ++i)
    ASSERT_EQ(kel_visited_add(&w, ("p/" + std::to_string(i)).c_str()), 0);
  EXPECT_EQ(w.index_mask, 1023u);
  ASSERT_EQ(kel_visited_add(&w, "p/682"), 0);  // 3 * 683 > 2 * 1023
  EXPECT_EQ(w.index_mask, 4095u);
  for (int i = 0; i < 3000; ++i)
    ASSERT_EQ(kel_visited_add(&w, ("q/" + std::to_string(i)).c_str()), 0);
  EXPECT_EQ(w.index_mask, 16383u);
  for (int i = 0; i < 683; ++i)
    EXPECT_TRUE(kel_visited_has(&w, ("p/" + std::to_string(i)).c_str()));
  EXPECT_TRUE(kel_visited_has(&w, "q/2999"));
  EXPECT_FALSE(kel_visited_has(&w, "p/683"));
  EXPECT_FALSE(kel_visited_has(&w, "p"));
  EXPECT_EQ(w.visited_count, 3683u);
  kel_walk_free(&w);
}

TEST(WalkVisited, CorrectionIdsComeFromTheVaultsKeySearch) {
  kelmcat_shutdown();
  TestVault v;
  v.search_result = {"TALMERON_IMediaKeyVault_u1_CorrectIMDbId_12345",
                     "TALMERON_IMediaKeyVault_u1_CorrectIMDbId_x",
                     "TALMERON_IMediaKeyVault_u1_MatchedIMDbId_777",
                     "TALMERON_IMediaKeyVault_u1_CorrectIMDbId_" + std::string(30, '9'),
                     "CorrectIMDbId_",
                     "CorrectIMDbId_42CorrectIMDbId_43"};
  kelmcat_vault t = v.table();
  ASSERT_EQ(kelmcat_set_vault(&t), 0);
  kel_counters c{};
  kel_walk w;
  ASSERT_EQ(kel_walk_init(&w, "u1", "c1", &c), 0);
  kel_walk_collect_correction_ids(&w);
  std::vector<std::string> ids(w.correction_ids, w.correction_ids + w.correction_count);
  EXPECT_EQ(ids, (std::vector<std::string>{"12345", std::string(23, '9'), "42"}));
  EXPECT_TRUE(kel_walk_has_correction_id(&w, "12345"));
  EXPECT_FALSE(kel_walk_has_correction_id(&w, "1234"));
  kel_walk_free(&w);

  // A failing search delivers nothing, even with an array.
  v.search_rc = -1;
  ASSERT_EQ(kel_walk_init(&w, "u1", "c1", &c), 0);
  kel_walk_collect_correction_ids(&w);
  EXPECT_EQ(w.correction_count, 0u);
  kel_walk_free(&w);
  kelmcat_shutdown();
}

// ---- A second thread during a scan -------------------------------------------

class WalkThreads : public Walk {
 protected:
  HostIO io;
  const char *tree = R"({"name":"","children":[{"name":"f1.mkv","size":1},
    {"name":"f2.mkv","size":1},{"name":"f3.mkv","size":1},{"name":"f4.mkv","size":1},
    {"name":"Sub","children":[{"name":"s.mkv","size":1}]}]})";
  void SetUp() override {
    Walk::SetUp();
    kelmcat_set_io(&io.table);
    load(tree);
    io.gate = "f2.mkv";
  }
  // Runs a scan on its own thread, does what the test asks while the scan
  // waits in the lookup of f2.mkv, and returns the scan's code.
  template <typename F>
  int32_t scan_with(F during) {
    int32_t rc = 1;
    std::thread t([&] { rc = kelmcat_scan("u1", "c1"); });
    io.wait_entered();
    during();
    io.release();
    t.join();
    return rc;
  }
};

TEST_F(WalkThreads, CancelStopsTheScanAtTheNextFile) {
  EXPECT_EQ(scan_with([] { kelmcat_cancel(); }), KELMCAT_ERR_CANCELLED);
  EXPECT_EQ(result_names(), (std::vector<std::string>{"f1.mkv", "f2.mkv"}));
  EXPECT_EQ(stats().walked, 3);
  EXPECT_STREQ(kelmcat_last_error(), "scan cancelled");
  EXPECT_EQ(io.count_containing("SendMessageQueue"), 0u);
  // The request stays: the next scan ends at once, until shutdown.
  io.gate.clear();
  EXPECT_EQ(scan(), KELMCAT_ERR_CANCELLED);
  EXPECT_EQ(stats().walked, 0);
  EXPECT_EQ(kelmcat_result_count(), 0);
}

TEST_F(WalkThreads, DisarmingWritesEndsTheScanAtTheFileInFlight) {
  EXPECT_EQ(scan_with([] { kelmcat_arm_writes(0); }), KELMCAT_ERR_NOT_ARMED);
  EXPECT_EQ(result_names(), std::vector<std::string>{"f1.mkv"});
  EXPECT_STREQ(kelmcat_last_error(), "writes are not armed (call kelmcat_arm_writes(1))");
}

TEST_F(WalkThreads, ModesAndFiltersSetMidScanApplyToLaterEntries) {
  int32_t rc = scan_with([] {
    kelmcat_set_correct_mode(1);  // no correction ids were loaded: later files are skipped
    const char *ex[] = {"Sub"};
    kelmcat_set_exclude_paths(ex, 1);
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(result_names(), (std::vector<std::string>{"f1.mkv", "f2.mkv"}));
  EXPECT_EQ(stats().considered, 4);
  EXPECT_EQ(stats().walked, 5);  // Sub's entries are never listed
  EXPECT_EQ(io.count_containing("s.mkv"), 0u);
}

}  // namespace
