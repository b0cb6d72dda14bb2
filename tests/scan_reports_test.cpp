// What a scan reports about itself: why a listing failed, entries a backend
// gave that were rejected, the progress hook, withdrawing a cancel request,
// corrections and keys for a given user, and shutdown while a scan runs.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/core_internal.h"
#include "scan_fixture.h"

using namespace scantest;

namespace {

class Reports : public ScanTest {};

// ---- Listing failures -------------------------------------------------------

TEST_F(Reports, FailingSubfolderListingNamesFolderAndReason) {
  // "B" is listed as a folder whose stored path the fake cannot find.
  load(R"({"name":"","children":[{"name":"a.mkv","size":1},
    {"name":"B","path":"/elsewhere/","children":[]},{"name":"C","children":[{"name":"c.mkv"}]}]})");
  EXPECT_EQ(scan(), KELMCAT_ERR_NO_STORAGE);
  EXPECT_STREQ(kelmcat_last_error(), "list '/B' failed: not_found: list '/B': not_found");
  EXPECT_EQ(kelmcat_last_code(), KELMCAT_ERR_NO_STORAGE);
  ASSERT_EQ(kelmcat_result_count(), 1);
  EXPECT_STREQ(kelmcat_result_path(0), "a.mkv");
  EXPECT_TRUE(log.has_prefix("scan ended rc=-11 (no storage backend installed) walked=3"));
}

struct ListingFault {
  const char *what;
  int32_t op;    // fake fault: 2 first page, 3 continuation, 6 cancel after N entries
  int32_t code;  // the fault's code, or N for op 6
  int32_t want_rc;
  const char *want_error;
};

TEST_F(Reports, ListingFailuresEndTheScanWithTheirOwnCodes) {
  const ListingFault cases[] = {
      {"next page refused", 3, KELFFA_ERR_ACCESS, KELMCAT_ERR_NO_STORAGE,
       "list '/' next page failed: access: list '/': access"},
      {"backend breaks the taxonomy", 2, 42, KELMCAT_ERR_NO_STORAGE,
       "list '/' failed: transport: backend list returned out-of-taxonomy code 42"},
      {"cancel noticed during the page", 6, 1, KELMCAT_ERR_CANCELLED, "scan cancelled"},
      {"backend reports cancelled", 3, KELFFA_ERR_CANCELLED, KELMCAT_ERR_CANCELLED,
       "scan cancelled"},
      {"listing out of memory", 2, KELFFA_ERR_OOM, KELMCAT_ERR_OOM, "out of memory"},
      {"next page out of memory", 3, KELFFA_ERR_OOM, KELMCAT_ERR_OOM, "out of memory"},
  };
  ASSERT_EQ(kelmcat_set_backend("fake", R"({"page_size":2})"), 0);
  load(R"({"name":"","children":[{"name":"a.mkv","size":1},{"name":"b.mkv","size":1},
    {"name":"c.mkv","size":1}]})");
  for (const ListingFault &c : cases) {
    SCOPED_TRACE(c.what);
    kelffa_fake_set_fault(0, 0);
    ASSERT_EQ(kelffa_fake_set_fault(c.op, c.code), 0);
    EXPECT_EQ(scan(), c.want_rc);
    EXPECT_STREQ(kelmcat_last_error(), c.want_error);
    EXPECT_EQ(kelmcat_last_code(), c.want_rc);
  }
  // A cancellation the folder-access layer noticed is not a request that stays.
  kelffa_fake_set_fault(0, 0);
  EXPECT_EQ(scan(), 0);
}

// ---- Rejected entries -------------------------------------------------------

struct Rejection {
  const char *what;
  const char *entries;  // children of the folder /F, as tree JSON
  const char *want;
};

TEST_F(Reports, EveryListingThatRejectsEntriesLeavesOneWarning) {
  const Rejection cases[] = {
      {"name with a slash", R"({"name":"a/b.mkv","size":1},{"name":"ok.mkv","size":1})",
       "listing '/F' rejected 1 entry; first: name contains '/': 'a/b.mkv'"},
      {"invalid UTF-8, escaped", "{\"name\":\"x\xFF\xC3.mkv\",\"size\":1},{\"name\":\"ok.mkv\"}",
       "listing '/F' rejected 1 entry; first: name is not valid UTF-8: 'x\\xFF\\xC3.mkv'"},
      {"negative size", R"({"name":"n.mkv","size":-5,"raw_size":1},{"name":"ok.mkv"})",
       "listing '/F' rejected 1 entry; first: F_SIZE with negative size: 'n.mkv'"},
      {"several, first one named",
       R"({"name":"n.mkv","size":-5,"raw_size":1},{"name":"ok.mkv"},{"name":"c/d","children":[]})",
       "listing '/F' rejected 2 entries; first: F_SIZE with negative size: 'n.mkv'"},
  };
  for (const Rejection &c : cases) {
    SCOPED_TRACE(c.what);
    kelmcat_shutdown();
    SetUp();
    load(std::string(R"({"name":"","children":[{"name":"F","children":[)") + c.entries + "]}]}");
    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(warnings(), std::vector<std::string>{c.want});
    EXPECT_EQ(kelmcat_result_count(), 1);  // ok.mkv
    // The warning keeps the result document writable.
    EXPECT_NE(std::string(kelmcat_result_json()).find("rejected"), std::string::npos);
  }
}

TEST_F(Reports, RejectionWarningIsCutWithinItsFields) {
  std::string name(300, 'n');
  name += "/x";
  std::string folder(200, 'f');
  load(R"({"name":"","children":[{"name":")" + folder + R"(","children":[{"name":")" + name +
       R"("}]}]})");
  ASSERT_EQ(scan(), 0);
  auto w = warnings();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0], "listing '/" + folder.substr(0, 158) +
                      "' rejected 1 entry; first: name contains '/': '" + name.substr(0, 95) + "'");
}

// ---- Progress hook ------------------------------------------------------------

struct ProgressLog {
  std::vector<kelmcat_progress> calls;
  std::vector<std::string> folders;
  static void hook(const kelmcat_progress *p, void *user) {
    auto *l = static_cast<ProgressLog *>(user);
    l->calls.push_back(*p);
    l->folders.push_back(p->folder);
    kelmcat_warning_count();  // the state lock is not held
  }
};

TEST_F(Reports, ProgressOnEveryFolderEvery256FilesAndAtTheEnd) {
  load(R"({"name":"","children":[{"name":"sub","children":[{"name":"s.mkv","size":1}]}],
    "generate":[{"path":"/","count":600,"size":1}]})");
  ProgressLog p;
  kelmcat_set_progress(&ProgressLog::hook, &p);
  ASSERT_EQ(scan(), 0);
  std::vector<int32_t> depths;
  for (auto &c : p.calls) depths.push_back(c.depth);
  EXPECT_EQ(depths, (std::vector<int32_t>{0, 0, 0, 1, -1}));
  EXPECT_EQ(p.folders, (std::vector<std::string>{"/", "/", "/", "/sub", ""}));
  EXPECT_EQ(p.calls[0].walked, 0);
  EXPECT_EQ(p.calls[1].walked, 257);  // the folder entry "sub" comes first
  EXPECT_EQ(p.calls[2].walked, 513);
  for (size_t i = 1; i < p.calls.size(); ++i) {
    const kelmcat_progress &a = p.calls[i - 1], &b = p.calls[i];
    EXPECT_EQ(b.struct_size, sizeof(kelmcat_progress));
    EXPECT_GE(b.walked, a.walked);
    EXPECT_GE(b.considered, a.considered);
    EXPECT_GE(b.unmatched, a.unmatched);
    EXPECT_GE(b.errors, a.errors);
    EXPECT_GE(b.matcher_calls, a.matcher_calls);
  }
  const kelmcat_progress &end = p.calls.back();
  kelmcat_scan_stats s = stats();
  EXPECT_EQ(end.walked, s.walked);
  EXPECT_EQ(end.considered, s.considered);
  EXPECT_EQ(end.unmatched, s.unmatched);

  // Removed, it is not called again.
  kelmcat_set_progress(nullptr, nullptr);
  ASSERT_EQ(scan(), 0);
  EXPECT_EQ(p.calls.size(), 5u);
}

TEST_F(Reports, ProgressEndsAFailedWalkToo) {
  ASSERT_EQ(kelmcat_set_max_depth(1), 0);
  load(R"({"name":"","children":[{"name":"a","children":[{"name":"b","children":[]}]}]})");
  ProgressLog p;
  kelmcat_set_progress(&ProgressLog::hook, &p);
  EXPECT_EQ(scan(), KELMCAT_ERR_DEPTH);
  EXPECT_EQ(p.folders, (std::vector<std::string>{"/", "/a", ""}));
}

// ---- Withdrawing a cancel request ----------------------------------------------

TEST_F(Reports, ClearedCancelLetsTheNextScanRun) {
  load(R"({"name":"","children":[{"name":"a.mkv","size":1}]})");
  kelmcat_cancel();
  EXPECT_EQ(scan(), KELMCAT_ERR_CANCELLED);
  EXPECT_EQ(scan(), KELMCAT_ERR_CANCELLED);  // the request stays
  kelmcat_clear_cancel();
  EXPECT_EQ(scan(), 0);
  EXPECT_EQ(kelmcat_result_count(), 1);
  EXPECT_EQ(kelmcat_last_code(), 0);
}

// ---- Corrections and keys for a given user ---------------------------------------

TEST_F(Reports, UserKeysAreTheOnesAScanWrites) {
  char k[96];
  ASSERT_EQ(kelmcat_user_correction_key("u1", "abc", k, sizeof k), 0);
  EXPECT_STREQ(k, "TALMERON_IMediaKeyVault_u1_CorrectIMDbId_1099313834");
  ASSERT_EQ(kelmcat_user_vault_key("u1", "abc", k, sizeof k), 0);
  EXPECT_STREQ(k, "TALMERON_IMediaKeyVault_u1_MatchedIMDbId_1099313834");

  load(R"({"name":"","children":[{"name":"a.mkv","size":7}]})");
  kel_fake_set_matcher("a.mkv", "tt1", 0);
  ASSERT_EQ(scan(), 0);
  ASSERT_EQ(kelmcat_user_vault_key("u1", kelmcat_result_key(0), k, sizeof k), 0);
  EXPECT_EQ(vault.kv.count(k), 1u);
  EXPECT_EQ(vault.kv.size(), 1u);
}

TEST_F(Reports, UserKeyArgumentsAndBuffer) {
  char k[96];
  const std::string long_user(KEL_MAX_USER_ID + 1, 'u');
  struct {
    const char *user;
    const char *item;
    char *out;
    uint64_t size;
    const char *want_error;
  } cases[] = {
      {nullptr, "abc", k, sizeof k, "null argument"},
      {"", "abc", k, sizeof k, "null argument"},
      {"u1", nullptr, k, sizeof k, "null argument"},
      {"u1", "abc", nullptr, sizeof k, "null argument"},
      {"u1", "abc", k, 0, "null argument"},
      {"u1", "abc", k, 51, "vault key longer than 51"},
      {long_user.c_str(), "abc", k, sizeof k, "user id too long (1151 > 1150)"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.want_error);
    EXPECT_EQ(kelmcat_user_vault_key(c.user, c.item, c.out, c.size), KELMCAT_ERR_ARG);
    EXPECT_STREQ(kelmcat_last_error(), c.want_error);
  }
  EXPECT_EQ(kelmcat_user_vault_key("u1", "abc", k, 52), 0);  // the key's length + 1
  EXPECT_EQ(kelmcat_user_correction_key("u1", "abc", k, 51), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "correction key longer than 51");
}

TEST_F(Reports, CorrectionForAGivenUserWithoutAScan) {
  ASSERT_EQ(kelmcat_set_correction_for("u1", "abc", "tt0113277"), 0);
  EXPECT_EQ(vault.kv["TALMERON_IMediaKeyVault_u1_CorrectIMDbId_1099313834"], "tt0113277");
  EXPECT_TRUE(log.has_prefix("correction written CorrectIMDbId_1099313834 -> tt0113277"));

  struct {
    const char *user;
    const char *item;
    const char *imdb;
    int32_t want_rc;
    const char *want_error;
  } cases[] = {
      {nullptr, "abc", "tt1", KELMCAT_ERR_ARG, "null user id"},
      {"", "abc", "tt1", KELMCAT_ERR_ARG, "null user id"},
      {nullptr, nullptr, "tt1", KELMCAT_ERR_ARG, "null item key"},
      {"u1", "abc", "", KELMCAT_ERR_ARG, "null imdb id"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.want_error);
    EXPECT_EQ(kelmcat_set_correction_for(c.user, c.item, c.imdb), c.want_rc);
    EXPECT_STREQ(kelmcat_last_error(), c.want_error);
  }
  vault.set_rc = 1;
  EXPECT_EQ(kelmcat_set_correction_for("u2", "abc", "tt1"), KELMCAT_ERR_VAULT);
  EXPECT_STREQ(kelmcat_last_error(), "vault refused the correction write");
  vault.set_rc = 0;
  kelmcat_arm_writes(0);
  EXPECT_EQ(kelmcat_set_correction_for(nullptr, "abc", "tt1"), KELMCAT_ERR_NOT_ARMED);
  EXPECT_EQ(vault.sets, 2);  // the first write and the refused one

  // The correction is the one the user's next scan reads first.
  kelmcat_arm_writes(1);
  load(R"({"name":"","children":[{"name":"a.mkv","size":1}]})");
  ASSERT_EQ(kelmcat_set_correction_for("u1", "a.mkv_1", "tt7"), 0);
  ASSERT_EQ(scan(), 0);
  EXPECT_STREQ(kelmcat_result_imdb_id(0), "tt7");
}

// ---- Shutdown while a scan runs ---------------------------------------------------

class ShutdownRace : public Reports {
 protected:
  HostIO io;
  void SetUp() override {
    Reports::SetUp();
    kelmcat_set_io(&io.table);
    load(R"({"name":"","children":[{"name":"f1.mkv","size":1},{"name":"f2.mkv","size":1},
      {"name":"f3.mkv","size":1},{"name":"Sub","children":[{"name":"s.mkv","size":1}]}]})");
  }
  static bool cancel_requested() {
    std::lock_guard<std::mutex> g(g_st.lock);
    return g_st.cancel_requested != 0;
  }
};

TEST_F(ShutdownRace, ShutdownCancelsWaitsAndThenResets) {
  io.gate = "f2.mkv";
  int32_t rc = 1;
  std::atomic<bool> shut{false};
  std::thread scanner([&] { rc = kelmcat_scan("u1", "c1"); });
  io.wait_entered();
  std::thread stopper([&] {
    kelmcat_shutdown();
    shut = true;
  });
  // The shutdown has asked the scan to stop and now waits for it.
  while (!cancel_requested()) std::this_thread::yield();
  EXPECT_FALSE(shut);
  io.release();
  scanner.join();
  stopper.join();
  EXPECT_EQ(rc, KELMCAT_ERR_CANCELLED);
  // Everything the scan left was reset after it returned.
  EXPECT_EQ(kelmcat_result_count(), 0);
  EXPECT_EQ(kelmcat_warning_count(), 0);
  EXPECT_STREQ(kelmcat_last_error(), "");
  EXPECT_FALSE(cancel_requested());
  EXPECT_EQ(kelmcat_scan("u1", "c1"), KELMCAT_ERR_NO_IO);
}

TEST_F(ShutdownRace, ShutdownFromTheScansOwnCallbacksDoesNothing) {
  kelmcat_set_logger([](const char *, void *) { kelmcat_shutdown(); }, nullptr);
  kelmcat_set_progress([](const kelmcat_progress *, void *) { kelmcat_shutdown(); }, nullptr);
  vault.on_get = [](const char *) { kelmcat_shutdown(); };
  ASSERT_EQ(kelmcat_scan("u1", "c1"), 0);
  EXPECT_EQ(kelmcat_result_count(), 4);
  EXPECT_EQ(kel_fake_queue_calls(), 0);  // the host IO answers, not the fake
  EXPECT_EQ(io.count_containing("SendMessageQueue"), 1u);
}

}  // namespace
