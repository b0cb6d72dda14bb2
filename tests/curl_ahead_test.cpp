// Scans through the built-in client with requests in flight ahead of the
// categorization give exactly what the same scans give one request at a time:
// the result document, results, counters, warnings, last error, last HTTP
// code and last URL, the vault's contents and its writes in order, every
// vault key read as often, and the same requests at the server. Against the
// loopback HTTPS server, answering after a delay that varies by file so that
// answers come back out of order.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/keys.h"
#include "https_server.h"
#include "scan_fixture.h"

namespace {

using scantest::Res;

httptest::SuiteServer g_suite;

// Everything a scan leaves that a host or the services can see.
struct Seen {
  int32_t rc = 0;
  std::string json, last_error, last_url;
  int32_t last_http = 0;
  std::vector<Res> results;
  std::map<std::string, std::string> vault;
  std::vector<std::pair<std::string, std::string>> writes;
  std::map<std::string, int> reads;
  std::map<std::string, int64_t> requests;
  int64_t connections = 0;
};

const char kTree[] = R"({"name":"","children":[
  {"name":"Slow Heat.mkv","size":1},
  {"name":"Show.S01E02.mkv","size":2},
  {"name":"Doc.S02E03.mp4","size":3},
  {"name":"Unknown.avi","size":4},
  {"name":"notes.txt","size":5},
  {"name":"Empty.mkv","size":0},
  {"name":"Meta","size":7,"title":"Alien","year":1979},
  {"name":"Same.mkv","size":8},
  {"name":"Hidden.mkv","size":13},
  {"name":"Kids","children":[{"name":"Cartoon.mkv","size":1}]},
  {"name":"Sub","children":[{"name":"Same.mkv","size":9},{"name":"Slow Late.mkv","size":10},
    {"name":"Doc.S02E03.mp4","size":11},{"name":"Tail.mkv","size":12}]},
  {"name":"Gen","children":[]}],
  "generate":[{"path":"/Gen","count":40,"size":1}]})";

// Answers: a series, a title that is not a movie, an unknown title, slow
// answers for the names holding "Slow" and for every seventh generated file.
const char kScript[] =
    R"("lookups":{"Show.S01E02.mkv":{"imdb":"tt0903747","tv":true},)"
    R"("Doc.S02E03.mp4":{"imdb":"tt0200"},"Alien 1979":{"imdb":"tt0078748"}},)"
    R"("lookup_default":{"imdb":"tt0000001"},"movies":{"tt0200":false},)"
    R"("delay_ms":2,"faults":[{"path":"Slow","action":"delay","ms":40},)"
    R"({"path":"f000007","action":"delay","ms":30},{"path":"f000014","action":"delay","ms":30}])";

class Ahead : public ::testing::Test {
 protected:
  scantest::TestVault vault;  // records its writes in order and the reads of each key

  static void SetUpTestSuite() { g_suite.start(); }
  static void TearDownTestSuite() { g_suite.stop(); }
  void SetUp() override {
    if (!g_suite.unavailable().empty()) GTEST_SKIP() << g_suite.unavailable();
    ASSERT_EQ(g_suite.failed(), "");
  }
  void TearDown() override {
    kelmcat_shutdown();
    kel_fake_reset();
  }

  httptest::Server &srv() { return g_suite.get(); }

  // A fresh library on the built-in client with max_concurrent requests in
  // flight, over kTree listed three entries a page.
  void configure(int max_concurrent, const std::string &script) {
    kelmcat_shutdown();
    kel_fake_reset();
    ASSERT_EQ(kelmcat_use_curl(), 0);
    ASSERT_EQ(kelmcat_fake_load_tree(kTree), 0);
    std::string base = srv().base();
    ASSERT_EQ(kelmcat_set_service_bases(base.c_str(), base.c_str()), 0);
    ASSERT_EQ(kelmcat_set_matcher_host(base.c_str()), 0);
    std::string options = "{\"ca_file\":\"" + srv().ca() +
                          "\",\"max_concurrent\":" + std::to_string(max_concurrent) + "}";
    ASSERT_EQ(kelmcat_set_http_options(options.c_str()), 0) << kelmcat_last_error();
    ASSERT_EQ(kelmcat_set_backend("fake", R"({"page_size":3})"), 0);
    const char *ext[] = {".mkv", ".mp4", ".avi", ".bin"};
    ASSERT_EQ(kelmcat_set_video_extensions(ext, 4), 0);
    const char *excluded[] = {"Kids", "Hidden.mkv"};
    ASSERT_EQ(kelmcat_set_exclude_paths(excluded, 2), 0);
    kelmcat_vault t = vault.table();
    ASSERT_EQ(kelmcat_set_vault(&t), 0);
    ASSERT_EQ(kelmcat_set_queue_credential("secret"), 0);
    ASSERT_EQ(kelmcat_arm_writes(1), 0);
    srv().script(script);
    srv().reset_stats();
  }

  Seen scan() {
    {
      std::lock_guard<std::mutex> g(vault.mu);
      vault.writes.clear();
      vault.reads.clear();
    }
    srv().reset_stats();
    Seen s;
    s.rc = kelmcat_scan("u1", "c1");
    s.json = kelmcat_result_json();
    s.last_error = kelmcat_last_error();
    s.last_url = kelmcat_last_url();
    s.last_http = kelmcat_last_http_code();
    s.results = scantest::results();
    std::lock_guard<std::mutex> g(vault.mu);
    s.vault = vault.kv;
    s.writes = vault.writes;
    s.reads = vault.reads;
    s.requests = srv().path_counts();
    s.connections = srv().stat("connections");
    return s;
  }

  // The scans that prepare runs, at max_concurrent 1 and 16, each on a fresh
  // library and vault; prepare sets modes and seeds the vault, then scans.
  std::vector<Seen> both(const std::string &script,
                         const std::function<std::vector<Seen>()> &prepare) {
    std::vector<Seen> out;
    for (int max : {1, 16}) {
      vault.kv.clear();
      vault.search_result.clear();
      configure(max, script);
      for (Seen &s : prepare()) out.push_back(std::move(s));
    }
    return out;
  }
};

void expect_same(const Seen &one, const Seen &many, bool same_requests) {
  EXPECT_EQ(many.rc, one.rc);
  EXPECT_EQ(many.json, one.json);
  EXPECT_EQ(many.last_error, one.last_error);
  EXPECT_EQ(many.last_url, one.last_url);
  EXPECT_EQ(many.last_http, one.last_http);
  EXPECT_EQ(many.results, one.results);
  EXPECT_EQ(many.vault, one.vault);
  EXPECT_EQ(many.writes, one.writes);
  if (!same_requests) return;
  EXPECT_EQ(many.reads, one.reads);
  EXPECT_EQ(many.requests, one.requests);
}

std::string correction_key(const std::string &item_key) {
  return scantest::correction_vault_key("u1", item_key);
}

std::string hash_of(const std::string &item_key) {
  return std::to_string(kelmcat_stable_hash_utf8(item_key.c_str()));
}

TEST_F(Ahead, ScansGiveWhatOneRequestAtATimeGives) {
  struct Row {
    const char *name;
    std::function<std::vector<Seen>()> prepare;
  };
  const std::vector<Row> rows = {
      {"first scan and unchanged rescan",
       [&] {
         return std::vector<Seen>{scan(), scan()};
       }},
      {"add-new-only",
       [&] {
         srv().script(std::string(kScript) +
                      R"(,"find":"[\"Same.mkv_8\",\"Gen/f000003.bin_1\",\"Meta_7\"]")");
         kelmcat_set_add_new_only(1);
         return std::vector<Seen>{scan()};
       }},
      {"correct mode with vault corrections",
       [&] {
         // Stored corrections (one empty, which falls back to the loaded
         // ones), a loaded correction, and correction ids without either,
         // whose files are looked up.
         vault.kv[correction_key("Show.S01E02.mkv_2")] = "tt0777";
         vault.kv[correction_key("Gen/f000005.bin_1")] = "tt0555";
         vault.kv[correction_key("Sub/Tail.mkv_12")] = "";
         vault.search_result = {
             correction_key("Show.S01E02.mkv_2"), correction_key("Gen/f000005.bin_1"),
             correction_key("Sub/Tail.mkv_12"),   correction_key("Slow Heat.mkv_1"),
             correction_key("Doc.S02E03.mp4_3"),  correction_key("Gen/f000006.bin_1")};
         srv().script(std::string(kScript) + R"(,"corrections":"{\")" + hash_of("Sub/Tail.mkv_12") +
                      R"(\":\"tt0999\"}")");
         kelmcat_set_correct_mode(1);
         std::vector<Seen> seen{scan()};
         kelmcat_set_correct_mode(0);
         seen.push_back(scan());  // every file, over the corrected records
         return seen;
       }},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    std::vector<Seen> seen = both(kScript, r.prepare);
    ASSERT_EQ(seen.size() % 2, 0u);
    size_t half = seen.size() / 2;
    // The first scan with requests in flight opened several connections.
    EXPECT_EQ(seen[0].connections, 1);
    EXPECT_GT(seen[half].connections, 1);
    for (size_t i = 0; i < half; ++i) {
      SCOPED_TRACE("scan " + std::to_string(i + 1));
      EXPECT_EQ(seen[i].rc, 0) << seen[i].last_error;
      EXPECT_GT(seen[i].results.size(), 0u);
      expect_same(seen[i], seen[half + i], true);
    }
  }
}

TEST_F(Ahead, FailingServiceEndsTheScanAtTheSameFile) {
  // The lookup of a file in the middle of the generated folder fails; the
  // scan ends there with the same results. Requests already made for the
  // files after it are the only difference at the server.
  const std::string script =
      std::string(kScript).replace(std::string(kScript).find("\"faults\":[") + 10, 0,
                                   R"({"path":"f000020","action":"status","status":503},)");
  std::vector<Seen> seen = both(script, [&] { return std::vector<Seen>{scan()}; });
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].rc, KELMCAT_ERR_MATCHER_DOWN);
  EXPECT_EQ(seen[0].last_http, 503);
  ASSERT_FALSE(seen[0].results.empty());
  EXPECT_EQ(seen[0].results.back().name, "f000020.bin");
  expect_same(seen[0], seen[1], false);
  for (auto &req : seen[0].requests) {
    auto it = seen[1].requests.find(req.first);
    ASSERT_NE(it, seen[1].requests.end()) << req.first;
    EXPECT_GE(it->second, req.second) << req.first;
  }
  for (auto &read : seen[0].reads) EXPECT_EQ(seen[1].reads[read.first], read.second) << read.first;
}

TEST_F(Ahead, CancelInTheMiddleEndsCancelledPromptly) {
  // A stalled lookup in the generated folder, with the files after it asked
  // for ahead; the cancel aborts every request in flight.
  const std::string script =
      std::string(kScript).replace(std::string(kScript).find("\"faults\":[") + 10, 0,
                                   R"({"path":"f000020","action":"stall","ms":20000},)");
  configure(1, kScript);
  const std::vector<Res> whole = scan().results;
  for (int max : {1, 16}) {
    SCOPED_TRACE(max);
    vault.kv.clear();
    configure(max, script);
    httptest::CancelledScan c = httptest::scan_cancelled_when_stalled(srv(), "u1", "c1");
    EXPECT_EQ(c.stalled, 1);
    std::printf("[ measured ] max_concurrent %d: scan returned %.1f ms after kelmcat_cancel\n", max,
                c.ms);
    EXPECT_LT(c.ms, 1000.0);
    EXPECT_EQ(c.rc, KELMCAT_ERR_CANCELLED);
    EXPECT_STREQ(kelmcat_last_error(), "scan cancelled");
    // The files categorized before the cancel, as a whole scan has them.
    std::vector<Res> got = scantest::results();
    ASSERT_LT(got.size(), whole.size());
    EXPECT_EQ(got, std::vector<Res>(whole.begin(), whole.begin() + static_cast<long>(got.size())));
    EXPECT_EQ(scantest::stats().errors, 0);
  }
}

}  // namespace
