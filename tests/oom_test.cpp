// Running out of memory at every allocation of an operation in turn: the JSON
// module reports it as std::bad_alloc (never a store through null), its
// callers turn that into their own outcome, the stable hash needs no memory,
// and a corrected file whose id cannot be copied is an error, not a record
// without an id.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <string>

#include "alloc_fail.h"
#include "core/json.h"
#include "kelmcat.h"
#include "match/http.h"
#include "scan/mfile.h"
#include "scan_fixture.h"

namespace {

// Runs op once counting its allocations, then once more for each of them with
// that one failing; setup runs unarmed before each run. check gets the run's
// failing allocation (0 for the counting run) and whatever op returned.
template <typename R>
uint64_t each_failure(
    const std::function<R()> &op, const std::function<void(uint64_t, R)> &check,
    const std::function<void()> &setup = [] {}) {
  setup();
  alloc_fail::arm(0);
  R r = op();
  alloc_fail::disarm();
  uint64_t total = alloc_fail::count();
  check(0, r);
  for (uint64_t n = 1; n <= total; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total));
    setup();
    alloc_fail::arm(n);
    R got = op();
    alloc_fail::disarm();
    check(n, got);
  }
  return total;
}

// Big enough to outgrow the document's inline block, the parser's stacks and
// the writer's buffer: long strings, escapes, nesting and many members.
std::string big_document() {
  std::string s = "{\"list\":[";
  for (int i = 0; i < 60; ++i) {
    if (i) s += ",";
    s += "{\"name\":\"" + std::string(40, static_cast<char>('a' + i % 26)) +
         "\\n\\u00e9\",\"n\":" + std::to_string(i * 1000003) + ",\"r\":1.5,\"t\":true}";
  }
  s += "],\"deep\":" + std::string(300, '[') + std::string(300, ']') + "}";
  return s;
}

TEST(JsonOom, EveryFailedAllocationOfAParseIsBadAlloc) {
  const std::string text = big_document();
  for (kj::Mode mode : {kj::Mode::strict, kj::Mode::allow_invalid_unicode}) {
    uint64_t total = each_failure<int>(
        [&] {
          kj::Doc d;
          try {
            if (!d.parse(text, mode)) return 0;
            return d.root().get("list").size() == 60 ? 1 : 0;
          } catch (const std::bad_alloc &) {
            return -1;
          }
        },
        [](uint64_t n, int r) { EXPECT_EQ(r, n == 0 ? 1 : -1); });
    EXPECT_GT(total, 3u);
  }
}

TEST(JsonOom, EveryFailedAllocationOfAWriteIsBadAlloc) {
  kj::Doc src;
  ASSERT_TRUE(src.parse(big_document()));
  uint64_t total = each_failure<size_t>(
      [&]() -> size_t {
        try {
          kj::Writer w;
          w.start_obj();
          w.key("copy");
          w.value(src.root());
          w.key("s");
          w.str(std::string(3000, 'x'));
          w.end_obj();
          return w.ok() ? w.text().size() : 0;
        } catch (const std::bad_alloc &) {
          return SIZE_MAX;
        }
      },
      [](uint64_t n, size_t r) {
        if (n == 0)
          EXPECT_GT(r, 3000u + big_document().size() / 2);
        else
          EXPECT_EQ(r, SIZE_MAX);
      });
  EXPECT_GT(total, 3u);
}

// The callers' outcomes: a record text that cannot be written is null, a
// backend configuration that cannot be read is out of memory.
TEST(JsonOom, CallersReportTheirOutcome) {
  // A new record with a text missing is never taken for a whole one.
  uint64_t copies = each_failure<bool>(
      [] {
        mfile n{};
        bool whole = mfile_init_new(&n, "Show S01E02.mkv", ".mkv", "c1", 9);
        mfile_free(&n);
        return whole;
      },
      [](uint64_t n, bool whole) { EXPECT_EQ(whole, n == 0); });
  EXPECT_EQ(copies, 4u);

  mfile m{};
  ASSERT_TRUE(mfile_init_new(&m, "Show S01E02.mkv", ".mkv", "c1", 9));
  m.imdb_id = strdup("tt6");
  m.season = 1;
  m.episode = 2;
  each_failure<char *>([&] { return mfile_json(&m, "Films/Show S01E02.mkv_9"); },
                       [](uint64_t n, char *json) {
                         if (n == 0)
                           EXPECT_NE(json, nullptr);
                         else
                           EXPECT_EQ(json, nullptr);
                         std::free(json);
                       });
  mfile_free(&m);

  const std::string config = "{\"page_size\":5,\"pad\":\"" + std::string(300, 'p') + "\"}";
  each_failure<int32_t>(
      [&] {
        int32_t rc = kelffa_open("fake", config.c_str());
        kelffa_close();
        return rc;
      },
      [](uint64_t n, int32_t rc) {
        if (n == 0)
          EXPECT_EQ(rc, KELFFA_OK);
        else
          EXPECT_EQ(rc, KELFFA_ERR_OOM) << kelffa_last_error();
      },
      [] {
        kelmcat_shutdown();
        ASSERT_EQ(kelmcat_use_fake(), 0);
        ASSERT_EQ(kelffa_fake_load_tree(R"({"name":"","path":"/"})"), KELFFA_OK);
      });
  kelmcat_shutdown();
}

// The texts of a stored record share one block: without it the record has
// none of them and is reported as incomplete; with it every text reads back.
TEST(JsonOom, AStoredRecordReadsWholeOrWithoutItsTexts) {
  const char *text = R"({"Key":"k","IMDbID":"tt1","ParentKey":"pk","FileName":"a.mkv",)"
                     R"("RuntimeConfigID":"rc","Path":"/p","Season":2,"Extension":".mkv"})";
  uint64_t total = each_failure<bool>(
      [&] {
        mfile s{};
        bool whole = mfile_read_stored(&s, text);
        bool texts = s.imdb_id && s.parent_key && s.file_name && s.runtime_config_id && s.path &&
                     s.extension;
        bool none = !s.imdb_id && !s.parent_key && !s.file_name && !s.runtime_config_id &&
                    !s.path && !s.extension;
        if (texts) {
          EXPECT_STREQ(s.imdb_id, "tt1");
          EXPECT_STREQ(s.parent_key, "pk");
          EXPECT_STREQ(s.file_name, "a.mkv");
          EXPECT_STREQ(s.runtime_config_id, "rc");
          EXPECT_STREQ(s.path, "/p");
          EXPECT_STREQ(s.extension, ".mkv");
          EXPECT_EQ(s.season, 2);
        }
        EXPECT_TRUE(texts || none);
        mfile_free(&s);
        return whole && texts;
      },
      [](uint64_t n, bool whole) { EXPECT_EQ(whole, n == 0); });
  EXPECT_GE(total, 1u);
}

TEST(HashOom, TheStableHashAllocatesNothing) {
  alloc_fail::arm(0);
  int32_t h = kelmcat_stable_hash_utf8("Films/\xC3\xA9t\xC3\xA9 \xF0\x9F\x8E\xAC.mkv_1000");
  alloc_fail::disarm();
  EXPECT_EQ(alloc_fail::count(), 0u);
  EXPECT_EQ(h, kelmcat_stable_hash_utf8("Films/\xC3\xA9t\xC3\xA9 \xF0\x9F\x8E\xAC.mkv_1000"));
  char key[32];
  alloc_fail::arm(1);
  EXPECT_EQ(kelmcat_vault_key("Films/A.mkv_1000", key, sizeof key), KELMCAT_OK);
  alloc_fail::disarm();
  EXPECT_NE(std::string(key), "MatchedIMDbId_0");
}

// The last URL with each allocation of a request and of reading it failing:
// it reads "" or the new request's URL, never the one before, and a read
// once memory is back shows the new one unless its own copy was lost.
TEST(LastUrlOom, NeverShowsAnOlderRequest) {
  static const kelmcat_io table{nullptr,
                                [](void *, const char *, char **, int32_t *s, char **) -> int32_t {
                                  *s = 200;
                                  return 0;
                                },
                                nullptr, nullptr};
  const std::string now = "https://h/now?password=***";
  // The text read is kept in an array: a std::string would allocate too.
  using text = std::array<char, 64>;
  uint64_t total = each_failure<text>(
      [] {
        EXPECT_EQ(kel_http_get("https://h/now?password=secret", nullptr), KELMCAT_OK);
        text read{};
        std::strncpy(read.data(), kelmcat_last_url(), read.size() - 1);
        return read;
      },
      [&](uint64_t n, const text &read) {
        std::string shown = read.data();
        if (n == 0) {
          EXPECT_EQ(shown, now);
        }
        EXPECT_TRUE(shown.empty() || shown == now) << shown;
        std::string again = kelmcat_last_url();
        EXPECT_TRUE(again.empty() || again == now) << again;
        if (!shown.empty()) {
          EXPECT_EQ(again, shown);
        }
      },
      [] {
        kelmcat_shutdown();
        kelmcat_set_io(&table);
        ASSERT_EQ(kel_http_get("https://h/before?code=1", nullptr), KELMCAT_OK);
        ASSERT_STREQ(kelmcat_last_url(), "https://h/before?code=***");
      });
  EXPECT_GT(total, 0u);
  kelmcat_shutdown();
}

using scantest::ScanTest;

class ScanOom : public ScanTest {};

// A corrected file and a matched one, with every allocation of the scan
// failing in turn: no record lands under a key of hash 0, and every record
// written carries its id; a corrected file that cannot get its id is an error.
TEST_F(ScanOom, NoRecordWithoutItsIdOrUnderTheWrongKey) {
  const std::string corrected = "Films/A.mkv_1000", matched = "Films/B.mkv_1000";
  const std::string tree = R"({"name":"","children":[{"name":"Films","children":[
      {"name":"A.mkv","size":1000},{"name":"B.mkv","size":1000}]}]})";
  auto prepare = [&] {
    TearDown();
    SetUp();
    load(tree);
    kel_fake_set_matcher("B.mkv", "tt2", 0);
    // The library's own store: a host vault written in C++ could throw.
    ASSERT_EQ(kelmcat_set_vault(kel_fake_vault()), KELMCAT_OK);
    ASSERT_EQ(
        kel_fake_vault_seed(scantest::correction_vault_key("u1", corrected).c_str(), "tt0099"), 0);
  };
  uint64_t total = each_failure<int32_t>(
      [&] { return scan(); },
      [&](uint64_t n, int32_t rc) {
        if (n == 0) {
          EXPECT_EQ(rc, KELMCAT_OK);
        }
        // Out of memory, or what a backend, a service answer or a vault read
        // that ran out of memory turns into.
        EXPECT_TRUE(rc == KELMCAT_OK || rc == KELMCAT_ERR_OOM || rc == KELMCAT_ERR_NO_STORAGE ||
                    rc == KELMCAT_ERR_MATCHER_DOWN || rc == KELMCAT_ERR_HTTP ||
                    rc == KELMCAT_ERR_VAULT)
            << rc;
        std::map<std::string, std::string> store = scantest::fake_store();
        for (auto &kv : store) {
          EXPECT_EQ(kv.first.find("IMDbId_0"), std::string::npos) << kv.first;
          if (kv.first.find("MatchedIMDbId_") != std::string::npos) {
            EXPECT_NE(kv.second.find("\"IMDbID\":\"tt"), std::string::npos) << kv.second;
          }
        }
        bool written = store.count(scantest::matched_vault_key("u1", corrected)) != 0;
        for (auto &r : scantest::results()) {
          if (r.key != corrected) continue;
          if (written) {
            EXPECT_EQ(r.imdb, "tt0099");
          } else if (r.outcome != KELMCAT_OUTCOME_UNMATCHED) {
            // (Unmatched: the correction could not be read, so the service was asked.)
            EXPECT_EQ(r.outcome, KELMCAT_OUTCOME_ERROR);
            EXPECT_GE(scantest::stats().errors, 1);
          }
        }
      },
      prepare);
  EXPECT_GT(total, 10u);
}

// A rescan of unchanged files with every allocation failing in turn: a stored
// record is never rewritten with less than it held.
TEST_F(ScanOom, RescanNeverDamagesAStoredRecord) {
  const std::string tree = R"({"name":"","children":[{"name":"Films","children":[
      {"name":"A.mkv","size":1000},{"name":"Show S01E02.mkv","size":9}]}]})";
  std::map<std::string, std::string> first;
  auto prepare = [&] {
    TearDown();
    SetUp();
    load(tree);
    kel_fake_set_matcher("A.mkv", "tt1", 0);
    kel_fake_set_tvshow("Show S01E02.mkv", "tt6");
    ASSERT_EQ(kelmcat_set_vault(kel_fake_vault()), KELMCAT_OK);
    ASSERT_EQ(scan(), KELMCAT_OK);
    first = scantest::fake_store();
  };
  uint64_t total = each_failure<int32_t>([&] { return scan(); },
                                         [&](uint64_t n, int32_t rc) {
                                           if (n == 0) {
                                             EXPECT_EQ(rc, KELMCAT_OK);
                                             EXPECT_EQ(scantest::stats().unchanged, 2);
                                           }
                                           EXPECT_EQ(scantest::fake_store(), first);
                                         },
                                         prepare);
  EXPECT_GT(total, 10u);
}

}  // namespace
