// The host kit's answers IO: the answer to each request the library makes,
// documents refused with a message saying where, concurrent requests, and
// whole scans through the library with the SQLite vault.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "alloc_fail.h"
#include "kelmcat_host.h"

namespace {

const char kAnswers[] = R"({
  "lookup": {
    "A.mkv": "tt1",
    "Show S01E02.mkv": {"id": "tt6", "tv": true},
    "Doc 2001": {"id": "tt7", "tv": false},
    "Gone.mkv": null,
    "Caf\u00e9 & \"Bar\" +1%.mkv": "tt8",
    "A.mkv": "tt999"
  },
  "movie": {"tt7": false, "tt1": true},
  "corrections": {"123": "tt5", "x": null},
  "indexed": ["a_1", 2]
})";

struct Answers {
  kelhost_answers *a = nullptr;
  const kelmcat_io *io = nullptr;
  explicit Answers(const char *json) {
    EXPECT_EQ(kelhost_answers_parse(json, std::strlen(json), &a), KELHOST_OK)
        << kelhost_last_error();
    io = kelhost_answers_io(a);
  }
  ~Answers() { kelhost_answers_free(a); }
  // "<status> <body>" of one request.
  std::string get(const std::string &url) {
    char *body = nullptr, *error = nullptr;
    int32_t status = 0;
    int32_t rc = io->http_get(io->ctx, url.c_str(), &body, &status, &error);
    std::string out = rc != 0 ? "transport" : std::to_string(status) + " " + (body ? body : "");
    io->release(io->ctx, error);
    io->release(io->ctx, body);
    return out;
  }
};

const std::string kNotFound =
    "404 {\"type\":\"https://www.rfc-editor.org/rfc/rfc9110#section-15.5.5\","
    "\"title\":\"Not Found\",\"status\":404}";

TEST(HostAnswers, AnswersEachRequestOfTheLibrary) {
  Answers a(kAnswers);
  const std::string m = "https://matcher.test/api/lookup?id=";
  const std::string tail = "&read=true&version=v2";
  const std::string cat = "https://catalogue.test/base/api/AAA/IsMovie?imdbId=";
  const struct {
    std::string url, answer;
  } rows[] = {
      {m + "A.mkv" + tail, R"(200 {"imDbId":"tt1","title":"A.mkv","isTVShow":false})"},
      {m + "Show%20S01E02.mkv" + tail,
       R"(200 {"imDbId":"tt6","title":"Show S01E02.mkv","isTVShow":true})"},
      {m + "Doc%202001" + tail, R"(200 {"imDbId":"tt7","title":"Doc 2001","isTVShow":false})"},
      // Every byte the library escapes comes back, quotation marks escaped in the answer.
      {m + "Caf%C3%A9%20%26%20%22Bar%22%20%2B1%25.mkv" + tail,
       "200 {\"imDbId\":\"tt8\",\"title\":\"Caf\xC3\xA9 & \\\"Bar\\\" "
       "+1%.mkv\",\"isTVShow\":false}"},
      {m + "Gone.mkv" + tail, kNotFound},  // null: not found
      {m + "Other.mkv" + tail, kNotFound},
      {m + "A.mk" + tail, kNotFound},
      {m + "a.mkv" + tail, kNotFound},
      {cat + "tt7", "200 false"},
      {cat + "tt1", "200 true"},
      {cat + "tt404", "200 true"},  // absent: a movie
      {"https://index.test/api/MediaIndex/Corrections", R"(200 {"123":"tt5","x":null})"},
      {"https://index.test/api/MediaIndex/Find?userId=u&runtimeId=c", R"(200 ["a_1",2])"},
      {"https://cat.test/api/AAA/SendMessageQueue?queue=q&value=v&password=p", "200 "},
      {"https://matcher.test/api/other?id=A.mkv", kNotFound},
      {"https://matcher.test/", kNotFound},
  };
  int64_t n = 0;
  for (const auto &r : rows) {
    SCOPED_TRACE(r.url);
    EXPECT_EQ(a.get(r.url), r.answer);
    EXPECT_EQ(kelhost_answers_requests(a.a), ++n);
  }
  // Nothing given: no corrections, nothing indexed, every name unknown.
  Answers empty("{}");
  EXPECT_EQ(empty.get("https://i/api/MediaIndex/Corrections"), "200 {}");
  EXPECT_EQ(empty.get("https://i/api/MediaIndex/Find?userId=u&runtimeId=c"), "200 []");
  EXPECT_EQ(empty.get(m + "A.mkv" + tail), kNotFound);
}

TEST(HostAnswers, RefusedDocumentsSayWhere) {
  const struct {
    const char *json, *says;
  } rows[] = {
      {"{\"lookup\": {\n  \"a\": \"tt1\",\n}}", "not valid JSON, at line 3, column 1"},
      {"[]", "not a JSON object"},
      {"{\"lookups\": {}}", "unknown member \"lookups\""},
      {"{\"movie\": {}, \"movie\": {}}", "\"movie\" given twice"},
      {"{\"lookup\": []}", "\"lookup\" is not an object"},
      {"{\"lookup\": {\"a\": 5}}", "\"lookup\" \"a\": not an id"},
      {"{\"lookup\": {\"a\": \"\"}}", "\"lookup\" \"a\": the id is empty"},
      {"{\"lookup\": {\"a\": {\"tv\": true}}}", "\"lookup\" \"a\": \"id\" is missing"},
      {"{\"lookup\": {\"a\": {\"id\": \"tt1\", \"tv\": 1}}}", "\"lookup\" \"a\": \"tv\" is not"},
      {"{\"lookup\": {\"a\": {\"id\": \"tt1\", \"TV\": true}}}", "unknown member \"TV\""},
      {"{\"movie\": {\"tt1\": \"true\"}}", "\"movie\" \"tt1\": not true or false"},
      {"{\"corrections\": []}", "\"corrections\" is not an object"},
      {"{\"indexed\": {}}", "\"indexed\" is not an array"},
      {"{\"lookup\": {\"\xFF\": \"tt1\"}}", "not valid JSON"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.json);
    kelhost_answers *a = reinterpret_cast<kelhost_answers *>(1);
    EXPECT_EQ(kelhost_answers_parse(r.json, std::strlen(r.json), &a), KELHOST_ERR_FORMAT);
    EXPECT_EQ(a, nullptr);
    std::string msg = kelhost_last_error();
    EXPECT_EQ(msg.rfind("answers: ", 0), 0u) << msg;
    EXPECT_NE(msg.find(r.says), std::string::npos) << msg;
  }
}

TEST(HostAnswers, LoadsAFile) {
  char dir[] = "/tmp/kelhost_answers_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string good = std::string(dir) + "/good.json", bad = std::string(dir) + "/bad.json";
  std::ofstream(good) << kAnswers;
  std::ofstream(bad) << "{\"lookup\": 1}";
  kelhost_answers *a = nullptr;
  ASSERT_EQ(kelhost_answers_load(good.c_str(), &a), KELHOST_OK);
  kelhost_answers_free(a);
  EXPECT_EQ(kelhost_answers_load(bad.c_str(), &a), KELHOST_ERR_FORMAT);
  EXPECT_EQ(std::string(kelhost_last_error()), bad + ": \"lookup\" is not an object");
  std::string missing = std::string(dir) + "/missing.json";
  EXPECT_EQ(kelhost_answers_load(missing.c_str(), &a), KELHOST_ERR_IO);
  EXPECT_NE(std::string(kelhost_last_error()).find(missing), std::string::npos);
  EXPECT_EQ(kelhost_answers_load(nullptr, &a), KELHOST_ERR_ARG);
  kelhost_answers_free(nullptr);
  unlink(good.c_str());
  unlink(bad.c_str());
  rmdir(dir);
}

TEST(HostAnswers, ManyThreadsAskAtOnce) {
  std::string json = "{\"lookup\":{";
  for (int i = 0; i < 1000; ++i)
    json += (i ? ",\"n" : "\"n") + std::to_string(i) + "\":\"tt" + std::to_string(i) + "\"";
  json += "}}";
  Answers a(json.c_str());
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        int n = (i * 7 + t) % 1000;
        std::string want = "200 {\"imDbId\":\"tt" + std::to_string(n) + "\",\"title\":\"n" +
                           std::to_string(n) + "\",\"isTVShow\":false}";
        if (a.get("https://m/api/lookup?id=n" + std::to_string(n) + "&read=true") != want)
          ++wrong[static_cast<size_t>(t)];
      }
    });
  for (auto &th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
  EXPECT_EQ(kelhost_answers_requests(a.a), 8000);
}

// Every allocation of reading the answers and of answering fails in turn:
// each call answers a failure code or succeeds, and nothing leaks.
TEST(HostAnswers, RunningOutOfMemoryIsAFailureCode) {
  const std::string lookup = "https://m/api/lookup?id=Caf%C3%A9%20%26%20%22Bar%22%20%2B1%25.mkv";
  const size_t len = std::strlen(kAnswers);
  uint64_t nth = 1;
  for (; nth < 100000; ++nth) {
    SCOPED_TRACE(nth);
    kelhost_answers *a = nullptr;
    int32_t rc = 0, got = -1, status = 0;
    alloc_fail::arm(nth);
    rc = kelhost_answers_parse(kAnswers, len, &a);
    if (rc == 0) {
      const kelmcat_io *io = kelhost_answers_io(a);
      char *body = nullptr, *error = nullptr;
      got = io->http_get(io->ctx, lookup.c_str(), &body, &status, &error);
      io->release(io->ctx, error);
      io->release(io->ctx, body);
    }
    alloc_fail::disarm();
    kelhost_answers_free(a);
    EXPECT_TRUE(rc == 0 || rc == KELHOST_ERR_OOM) << rc;
    EXPECT_TRUE(got == -1 || (got == 0 && status == 200)) << got << " " << status;
    if (alloc_fail::failures() == 0) break;
  }
  EXPECT_GT(nth, 20u);
}

// ---- Whole scans: fake tree, answers IO, SQLite vault -----------------------

const char kTree[] = R"({"name":"","children":[
  {"name":"Films","children":[
    {"name":"A.mkv","size":1000},{"name":"Gone.mkv","size":1000},
    {"name":"Show S01E02.mkv","size":9},{"name":"readme.txt","size":5}]},
  {"name":"TV","children":[{"name":"Doc 2x05.mkv","size":9,"title":"Doc","year":2001}]}]})";

struct Outcome {
  std::string path, id;
  int32_t outcome, season, episode;
  bool operator==(const Outcome &o) const {
    return path == o.path && id == o.id && outcome == o.outcome && season == o.season &&
           episode == o.episode;
  }
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
  return os << o.path << " " << o.id << " " << o.outcome << " " << o.season << "x" << o.episode;
}

std::vector<Outcome> results() {
  std::vector<Outcome> out;
  for (int32_t i = 0, n = kelmcat_result_count(); i < n; ++i)
    out.push_back({kelmcat_result_path(i), kelmcat_result_imdb_id(i), kelmcat_result_outcome(i),
                   kelmcat_result_season(i), kelmcat_result_episode(i)});
  return out;
}

TEST(HostAnswers, ScansGiveWhatTheAnswersSay) {
  char dir[] = "/tmp/kelhost_scan_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string db = std::string(dir) + "/v.db";
  Answers a(kAnswers);
  kelhost_vault *v = nullptr;
  ASSERT_EQ(kelhost_vault_open(db.c_str(), &v), KELHOST_OK) << kelhost_last_error();

  kelmcat_shutdown();
  ASSERT_EQ(kelmcat_fake_load_tree(kTree), 0) << kelmcat_last_error();
  kelmcat_set_io(a.io);
  ASSERT_EQ(kelmcat_set_matcher_host("https://matcher.test"), 0);
  ASSERT_EQ(kelmcat_set_queue_credential("secret"), 0);
  ASSERT_EQ(kelmcat_set_backend("fake", nullptr), 0);
  ASSERT_EQ(kelmcat_set_vault(kelhost_vault_table(v)), 0);
  ASSERT_EQ(kelmcat_arm_writes(1), 0);

  auto scan = [&] {
    EXPECT_EQ(kelhost_vault_begin_batch(v), KELHOST_OK);
    EXPECT_EQ(kelmcat_scan("u1", "c1"), 0) << kelmcat_last_error();
    EXPECT_EQ(kelhost_vault_end_batch(v), KELHOST_OK) << kelhost_last_error();
  };
  const int32_t ADDED = KELMCAT_OUTCOME_ADDED, UNCHANGED = KELMCAT_OUTCOME_UNCHANGED,
                UNMATCHED = KELMCAT_OUTCOME_UNMATCHED;
  scan();
  EXPECT_EQ(results(), (std::vector<Outcome>{{"A.mkv", "tt1", ADDED, -1, -1},
                                             {"Gone.mkv", "", UNMATCHED, -1, -1},
                                             {"Show S01E02.mkv", "tt6", ADDED, 1, 2},
                                             {"Doc 2x05.mkv", "tt7", ADDED, 2, 5}}));
  EXPECT_EQ(kelhost_vault_writes(v), 3);
  EXPECT_EQ(kelmcat_warning_count(), 0);
  int64_t asked = kelhost_answers_requests(a.a);

  // Unchanged: every file reads as it was, and nothing is written.
  scan();
  EXPECT_EQ(results(), (std::vector<Outcome>{{"A.mkv", "tt1", UNCHANGED, -1, -1},
                                             {"Gone.mkv", "", UNMATCHED, -1, -1},
                                             {"Show S01E02.mkv", "tt6", UNCHANGED, 1, 2},
                                             {"Doc 2x05.mkv", "tt7", UNCHANGED, 2, 5}}));
  EXPECT_EQ(kelhost_vault_writes(v), 3);
  EXPECT_GT(kelhost_answers_requests(a.a), asked);

  // A user's correction is committed at once and read by the next scan,
  // also after the vault is reopened.
  ASSERT_EQ(kelmcat_set_correction_for("u1", "Films/Gone.mkv_1000", "tt42"), 0)
      << kelmcat_last_error();
  kelhost_vault_close(v);
  ASSERT_EQ(kelhost_vault_open(db.c_str(), &v), KELHOST_OK);
  ASSERT_EQ(kelmcat_set_vault(kelhost_vault_table(v)), 0);
  // Correct mode finds the correction through the vault's key search.
  ASSERT_EQ(kelmcat_set_correct_mode(1), 0);
  scan();
  EXPECT_EQ(results(), (std::vector<Outcome>{{"Gone.mkv", "tt42", ADDED, -1, -1}}));
  EXPECT_EQ(kelhost_vault_writes(v), 1);

  kelmcat_shutdown();
  kelhost_vault_close(v);
  unlink(db.c_str());
  rmdir(dir);
}

}  // namespace
