#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/core_internal.h"
#include "kelmcat.h"
#include "match/http.h"
#include "match/matcher.h"

namespace {

// A host IO table serving one scripted answer to every request. It records
// each URL and counts the texts it hands out and gets back.
struct Answer {
  int32_t rc = 0;  // non-zero: transport failure
  int32_t status = 200;
  std::string body;
  bool null_body = false;
};

struct HostIo {
  Answer answer;
  std::vector<std::string> urls;
  int outstanding = 0;  // texts handed out and not yet released
};

HostIo s_host;

char *give(const std::string &s) {
  ++s_host.outstanding;
  char *p = static_cast<char *>(std::malloc(s.size() + 1));
  std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

int32_t host_get(void *, const char *url, char **body, int32_t *status, char **error) {
  s_host.urls.push_back(url);
  *status = s_host.answer.status;
  if (!s_host.answer.null_body) *body = give(s_host.answer.body);
  if (s_host.answer.rc != 0) *error = give("connection reset");
  return s_host.answer.rc;
}

void host_release(void *, void *p) {
  if (p) --s_host.outstanding;
  std::free(p);
}

const kelmcat_io kHostTable = {nullptr, host_get, nullptr, host_release};

const char kHost[] = "https://matcher.test";

class Matcher : public ::testing::Test {
 protected:
  void SetUp() override {
    kelmcat_shutdown();
    kel_matcher_state_reset();
    s_host = HostIo{};
    kelmcat_set_io(&kHostTable);
    ASSERT_EQ(kelmcat_set_matcher_host(kHost), 0);
  }
  void TearDown() override {
    EXPECT_EQ(s_host.outstanding, 0) << "texts of the IO table not released";
    kel_matcher_state_reset();
    kelmcat_shutdown();
  }

  static void serve(const std::string &body, int32_t status = 200) {
    s_host.answer = Answer{};
    s_host.answer.body = body;
    s_host.answer.status = status;
  }
  static void serve_transport_failure() {
    s_host.answer = Answer{};
    s_host.answer.rc = -1;
    s_host.answer.status = 0;
  }
  static std::vector<std::string> warnings() {
    std::vector<std::string> w;
    for (int32_t i = 0; i < kelmcat_warning_count(); ++i) w.push_back(kelmcat_warning(i));
    return w;
  }
};

std::string nested(size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// Bodies that no JSON reader of this client may accept as an object or array.
const std::vector<std::string> &malformed_bodies() {
  static const std::vector<std::string> b = {
      "",
      "not json",
      "{\"1\":\"tt1\",}",              // trailing comma
      "{\"1\":\"tt1\"} x",             // trailing content
      "\xEF\xBB\xBF{}",                // byte order mark
      "/* c */ {}",                    // comment
      "{\"1\":\"tt\xFF\"}",            // invalid UTF-8
      "{\"1\":\"\xED\xA0\x80\"}",      // encoded surrogate
      "{\"1\":\"tt1\"",                // cut document
      std::string(200000, '[') + "1",  // deep and unterminated
  };
  return b;
}

// ---- Corrections ------------------------------------------------------------

TEST_F(Matcher, CorrectionsRequestAndMembers) {
  // 23 ASCII bytes then a two-byte character: a 24-byte cut must not split it.
  const std::string long_key = "12345678901234567890abc\xC3\xA9xyz";
  serve(
      "{\"11\":\"tt1\",\"22\":\"tt2\",\"11\":\"tt9\",\"\":\"tt0\",\"\":null,\"33\":\"\","
      "\"44\":null,\"55\":5,\"66\":{},\"77\":[\"tt7\"],\"12a\":\"tt3\",\"" +
      long_key + "\":\"tt4\",\"88\":\"\\u0000tt8\",\"99\":\"tt99\\u0000x\",\"0042\":\"tt42\"}");
  ASSERT_EQ(kel_corrections_load(), 0);
  ASSERT_EQ(s_host.urls.size(), 1u);
  EXPECT_EQ(s_host.urls[0], KEL_MEDIA_INDEX_BASE "/api/MediaIndex/Corrections");

  EXPECT_STREQ(kel_corrections_get("11"), "tt1");  // the first of duplicate keys answers
  EXPECT_STREQ(kel_corrections_get("22"), "tt2");
  EXPECT_STREQ(kel_corrections_get("99"), "tt99");
  EXPECT_STREQ(kel_corrections_get("0042"), "tt42");
  for (const char *absent : {"", "33", "44", "55", "66", "77", "12a", "88", "42", "1", "111"})
    EXPECT_EQ(kel_corrections_get(absent), nullptr) << absent;
  EXPECT_EQ(kel_corrections_get(nullptr), nullptr);

  const std::vector<std::string> expected = {
      "Corrections: null value for key 44 skipped",
      "Corrections: null value for key 55 skipped",
      "Corrections: null value for key 66 skipped",
      "Corrections: null value for key 77 skipped",
      "Corrections: non-numeric key 12a skipped",
      "Corrections: non-numeric key 12345678901234567890abc skipped",
  };
  EXPECT_EQ(warnings(), expected);
}

TEST_F(Matcher, CorrectionsBadBodies) {
  std::vector<std::string> bodies = malformed_bodies();
  for (const char *b : {"[]", "\"{}\"", "42", "null", "true", "[{\"1\":\"tt1\"}]"})
    bodies.push_back(b);
  bodies.push_back(nested(100000));
  for (const std::string &body : bodies) {
    SCOPED_TRACE(body.substr(0, 40));
    serve("{\"5\":\"tt5\"}");
    ASSERT_EQ(kel_corrections_load(), 0);
    serve(body);
    EXPECT_EQ(kel_corrections_load(), KELMCAT_ERR_HTTP);
    EXPECT_STREQ(kelmcat_last_error(), "Corrections response is not a JSON object");
    EXPECT_EQ(kel_corrections_get("5"), nullptr);  // the previous table is gone
  }
  // A deeply nested value is just a non-string value.
  serve("{\"1\":" + nested(100000) + ",\"2\":\"tt2\"}");
  EXPECT_EQ(kel_corrections_load(), 0);
  EXPECT_STREQ(kel_corrections_get("2"), "tt2");
  serve("{}");
  EXPECT_EQ(kel_corrections_load(), 0);
  EXPECT_EQ(kel_corrections_get("2"), nullptr);
}

TEST_F(Matcher, CorrectionsRequestFailuresPassThrough) {
  struct {
    int32_t status;
    int32_t rc;
  } cases[] = {{404, KELMCAT_ERR_HTTP}, {302, KELMCAT_ERR_HTTP}, {503, KELMCAT_ERR_MATCHER_DOWN}};
  for (auto c : cases) {
    serve("{\"1\":\"tt1\"}", c.status);
    EXPECT_EQ(kel_corrections_load(), c.rc) << c.status;
  }
  serve_transport_failure();
  EXPECT_EQ(kel_corrections_load(), KELMCAT_ERR_TRANSPORT);
  EXPECT_STREQ(kelmcat_last_error(), "transport: connection reset");
}

// ---- Indexed set ------------------------------------------------------------

TEST_F(Matcher, FindRequestAndElements) {
  serve("[\"a\",1,\"\",null,{\"b\":\"x\"},[\"x\"],\"b\",\"a\",true,\"c\\u0000d\",\"\\u00e9\"]");
  ASSERT_EQ(kel_find_indexed("u 1/\xC3\xA9", "cfg&x=1"), 0);
  ASSERT_EQ(s_host.urls.size(), 1u);
  EXPECT_EQ(s_host.urls[0], KEL_MEDIA_INDEX_BASE
            "/api/MediaIndex/Find?userId=u%201%2F%C3%A9&runtimeId=cfg%26x%3D1");
  for (const char *k : {"a", "b", "\xC3\xA9"}) EXPECT_EQ(kel_indexed_has(k), 1) << k;
  for (const char *k : {"", "x", "c", "c\\u0000d", "1", "true", "A"})
    EXPECT_EQ(kel_indexed_has(k), 0) << k;
  EXPECT_EQ(kel_indexed_has(nullptr), 0);

  serve("[]");
  ASSERT_EQ(kel_find_indexed(nullptr, nullptr), 0);
  EXPECT_EQ(s_host.urls.back(), KEL_MEDIA_INDEX_BASE "/api/MediaIndex/Find?userId=&runtimeId=");
  EXPECT_EQ(kel_indexed_has("a"), 0);
}

TEST_F(Matcher, FindBadBodiesAndFailures) {
  std::vector<std::string> bodies = malformed_bodies();
  for (const char *b : {"{}", "{\"0\":\"a\"}", "\"a\"", "7", "null", "[\"a\",]"})
    bodies.push_back(b);
  for (const std::string &body : bodies) {
    SCOPED_TRACE(body.substr(0, 40));
    serve("[\"keep\"]");
    ASSERT_EQ(kel_find_indexed("u", "c"), 0);
    serve(body);
    EXPECT_EQ(kel_find_indexed("u", "c"), KELMCAT_ERR_HTTP);
    EXPECT_STREQ(kelmcat_last_error(), "Find response is not an array");
    EXPECT_EQ(kel_indexed_has("keep"), 0);
  }
  serve(nested(100000));
  EXPECT_EQ(kel_find_indexed("u", "c"), 0);

  serve("[\"a\"]", 500);
  EXPECT_EQ(kel_find_indexed("u", "c"), KELMCAT_ERR_MATCHER_DOWN);
  serve_transport_failure();
  EXPECT_EQ(kel_find_indexed("u", "c"), KELMCAT_ERR_TRANSPORT);

  // Ids that do not fit the request are refused rather than cut.
  size_t before = s_host.urls.size();
  EXPECT_EQ(kel_find_indexed(std::string(400, '/').c_str(), "c"), KELMCAT_ERR_ARG);
  EXPECT_EQ(s_host.urls.size(), before);
}

// The loads must not search linearly: 200,000 keys, each queried once.
TEST_F(Matcher, LargeTablesAnswerEveryKey) {
  const int n = 200000;
  std::string find = "[", corr = "{";
  for (int i = 0; i < n; ++i) {
    std::string k = std::to_string(i * 7);
    find += (i ? ",\"" : "\"") + k + "\"";
    corr += (i ? ",\"" : "\"") + k + "\":\"tt" + std::to_string(i) + "\"";
  }
  serve(corr + "}");
  ASSERT_EQ(kel_corrections_load(), 0);
  serve(find + "]");
  ASSERT_EQ(kel_find_indexed("u", "c"), 0);
  int found = 0, corrected = 0;
  for (int i = 0; i < n; ++i) {
    std::string k = std::to_string(i * 7);
    found += kel_indexed_has(k.c_str());
    const char *id = kel_corrections_get(k.c_str());
    corrected += id && ("tt" + std::to_string(i)) == id;
    found -= kel_indexed_has(std::to_string(i * 7 + 1).c_str());
  }
  EXPECT_EQ(found, n);
  EXPECT_EQ(corrected, n);
  kel_matcher_state_reset();
  EXPECT_EQ(kel_indexed_has("0"), 0);
  EXPECT_EQ(kel_corrections_get("0"), nullptr);
}

// Loading corrections starts a new scan's tables: the indexed set goes too.
TEST_F(Matcher, CorrectionsLoadResetsIndexedSet) {
  serve("[\"k\"]");
  ASSERT_EQ(kel_find_indexed("u", "c"), 0);
  serve("{}");
  ASSERT_EQ(kel_corrections_load(), 0);
  EXPECT_EQ(kel_indexed_has("k"), 0);
}

// ---- Lookup -----------------------------------------------------------------

TEST_F(Matcher, LookupAnswers) {
  struct Case {
    std::string body;
    int32_t status;
    int32_t rc;
    int32_t tv;
    const char *id;  // null: no id
  } cases[] = {
      {"{\"imDbId\":\"tt1\",\"title\":\"x\",\"isTVShow\":true}", 200, 0, 1, "tt1"},
      {"{\"isTVShow\":false,\"imDbId\":\"tt2\"}", 200, 0, 0, "tt2"},
      {"{\"imDbId\":\"tt3\"}", 200, 0, -1, "tt3"},
      {"{\"imDbId\":\"tt4\",\"isTVShow\":1}", 200, 0, -1, "tt4"},
      {"{\"imDbId\":\"tt5\",\"isTVShow\":\"true\"}", 200, 0, -1, "tt5"},
      {"{\"imDbId\":\"tt6\",\"isTVShow\":null}", 201, 0, -1, "tt6"},
      {"{\"imDbId\":\"tt7\",\"imDbId\":\"tt8\",\"isTVShow\":false,\"isTVShow\":true}", 200, 0, 0,
       "tt7"},
      {"{\"imDbId\":\"tt9\\u0000x\"}", 200, 0, -1, "tt9"},
      {"{\"x\":" + nested(50000) + ",\"imDbId\":\"tt10\"}", 200, 0, -1, "tt10"},
      // No usable id.
      {"{\"imDbId\":\"\",\"isTVShow\":true}", 200, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      {"{\"imDbId\":5,\"isTVShow\":true}", 200, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      {"{\"imDbId\":null}", 200, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      {"{\"imDbId\":[\"tt1\"]}", 200, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      {"{\"imdbid\":\"tt1\"}", 200, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      {"{\"imDbId\":\"\\u0000tt\"}", 200, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      {"[{\"imDbId\":\"tt1\"}]", 200, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      {"\"tt1\"", 200, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      {nested(100000), 200, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      // Status classes.
      {"{\"imDbId\":\"tt1\"}", 404, KELMCAT_ERR_NO_MATCH, -1, nullptr},
      {"{\"imDbId\":\"tt1\"}", 400, KELMCAT_ERR_HTTP, -1, nullptr},
      {"{\"imDbId\":\"tt1\"}", 302, KELMCAT_ERR_HTTP, -1, nullptr},
      {"{\"imDbId\":\"tt1\"}", 0, KELMCAT_ERR_HTTP, -1, nullptr},
      {"{\"imDbId\":\"tt1\"}", 503, KELMCAT_ERR_MATCHER_DOWN, -1, nullptr},
      {"{\"imDbId\":\"tt1\"}", 500, KELMCAT_ERR_MATCHER_DOWN, -1, nullptr},
  };
  std::vector<Case> all(std::begin(cases), std::end(cases));
  for (const std::string &b : malformed_bodies())
    all.push_back({b, 200, KELMCAT_ERR_NO_MATCH, -1, nullptr});
  for (const Case &c : all) {
    SCOPED_TRACE(std::to_string(c.status) + " " + c.body.substr(0, 60));
    serve(c.body, c.status);
    static char sentinel;
    int32_t tv = 7;
    char *id = &sentinel;  // must be overwritten
    EXPECT_EQ(kel_match_file("Show", &tv, &id), c.rc);
    EXPECT_EQ(tv, c.tv);
    if (c.id) {
      EXPECT_STREQ(id, c.id);
    } else {
      EXPECT_EQ(id, nullptr);
    }
    if (id != &sentinel) std::free(id);
  }
}

TEST_F(Matcher, LookupRequest) {
  serve("{\"imDbId\":\"tt1\"}");
  char *id = nullptr;
  ASSERT_EQ(kel_match_file("The Show & Co/\xC3\xA9", nullptr, &id), 0);
  std::free(id);
  EXPECT_EQ(
      s_host.urls.back(),
      std::string(kHost) + "/api/lookup?id=The%20Show%20%26%20Co%2F%C3%A9&read=true&version=v2");

  // A name whose escaped form does not fit is shortened at a character
  // boundary; the request keeps its parameters.
  std::string name;
  for (int i = 0; i < 400; ++i) name += "\xC3\xA9";
  ASSERT_EQ(kel_match_file(name.c_str(), nullptr, &id), 0);
  std::free(id);
  const std::string &url = s_host.urls.back();
  const std::string head = std::string(kHost) + "/api/lookup?id=";
  const std::string tail = "&read=true&version=v2";
  EXPECT_LE(url.size(), 1023u);
  ASSERT_EQ(url.compare(0, head.size(), head), 0);
  ASSERT_EQ(url.compare(url.size() - tail.size(), tail.size(), tail), 0);
  std::string escaped = url.substr(head.size(), url.size() - head.size() - tail.size());
  EXPECT_EQ(escaped.size() % 6, 0u);
  EXPECT_GT(escaped.size(), 900u);
  for (size_t i = 0; i < escaped.size(); i += 6) ASSERT_EQ(escaped.substr(i, 6), "%C3%A9") << i;
}

// Where a long name is cut: before the first character (not byte) whose
// escape would not fit, wherever that falls among plain runs and escapes.
TEST_F(Matcher, LookupNameCutAtTheLastCharacterThatFits) {
  auto escape = [](const std::string &s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
      if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~')
        out += static_cast<char>(c);
      else
        out += std::string("%") + hex[c >> 4] + hex[c & 15];
    }
    return out;
  };
  const std::string head = std::string(kHost) + "/api/lookup?id=";
  const std::string tail = "&read=true&version=v2";
  const size_t budget = 1023 - head.size() - tail.size();
  // The escape of the longest prefix that ends before a byte starting a
  // character (or at the end) and whose escape fits.
  auto expected = [&](const std::string &name) {
    for (size_t i = name.size();; --i) {
      bool boundary = i == name.size() || (static_cast<unsigned char>(name[i]) & 0xC0) != 0x80;
      std::string e = escape(name.substr(0, i));
      if (boundary && e.size() <= budget) return e;
    }
  };
  const std::string a(budget, 'a');
  const std::string e_acute = "\xC3\xA9", smile = "\xF0\x9F\x98\x80";
  const std::vector<std::string> names = {
      "short \xC3\xA9 name",
      a + "a",                                       // cut inside a plain run
      a.substr(0, budget - 1) + e_acute,             // the character does not fit at all
      a.substr(0, budget - 7) + e_acute + "bbbb",    // fits, then a plain run is cut
      a.substr(0, budget - 4) + e_acute,             // its second byte would not fit
      a.substr(0, budget - 4) + "\x80\x80",          // stray continuations go with the 'a'
      a.substr(0, budget - 2) + " ",                 // one escape too many
      a.substr(0, budget - 9) + smile + smile,       // a four-byte character cut whole
      "\x80" + a,                                    // a name starting mid-character
      std::string(budget / 3, ' ') + "x" + e_acute,  // escapes only, then a plain byte
  };
  for (const std::string &name : names) {
    SCOPED_TRACE(escape(name.substr(0, 12)) + "... (" + std::to_string(name.size()) + " bytes)");
    char url[1024];
    ASSERT_TRUE(kel_lookup_url(name.c_str(), url));
    EXPECT_EQ(std::string(url), head + expected(name) + tail);
  }
}

TEST_F(Matcher, LookupFailuresBeforeAndOfTheRequest) {
  serve("{\"imDbId\":\"tt1\"}");
  int32_t tv = 3;
  char *id = nullptr;
  EXPECT_EQ(kel_match_file("", &tv, &id), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "empty lookup name");
  EXPECT_EQ(tv, -1);
  EXPECT_EQ(kel_match_file(nullptr, nullptr, &id), KELMCAT_ERR_ARG);
  EXPECT_TRUE(s_host.urls.empty());

  serve_transport_failure();
  EXPECT_EQ(kel_match_file("Show", &tv, &id), KELMCAT_ERR_MATCHER_DOWN);
  EXPECT_STREQ(kelmcat_last_error(), "transport: connection reset");
  EXPECT_EQ(id, nullptr);

  kelmcat_shutdown();  // no host, no IO
  EXPECT_EQ(kel_match_file("Show", &tv, &id), KELMCAT_ERR_NO_IO);
  EXPECT_STREQ(kelmcat_last_error(), "matcher host not set");
  ASSERT_EQ(kelmcat_set_matcher_host(kHost), 0);
  EXPECT_EQ(kel_match_file("Show", &tv, &id), KELMCAT_ERR_NO_IO);
  EXPECT_EQ(std::strncmp(kelmcat_last_error(), "no io backend", 13), 0);
  EXPECT_EQ(s_host.urls.size(), 1u);
}

// ---- Movie check ------------------------------------------------------------

TEST_F(Matcher, IsMovieAnswers) {
  struct {
    const char *body;
    int32_t status;
    int32_t rc;
    int32_t movie;
  } cases[] = {
      {"true", 200, 0, 1},
      {"trueish", 200, 0, 1},
      {"true\n", 200, 0, 1},
      {"false", 200, 0, 0},
      {"", 200, 0, 0},
      {"TRUE", 200, 0, 0},
      {"\"true\"", 200, 0, 0},
      {" true", 200, 0, 0},
      {"tru", 200, 0, 0},
      {"{\"isMovie\":true}", 200, 0, 0},
      {"true", 404, KELMCAT_ERR_HTTP, 1},
      {"false", 404, KELMCAT_ERR_HTTP, 1},
      {"false", 503, KELMCAT_ERR_MATCHER_DOWN, 1},
  };
  for (auto c : cases) {
    SCOPED_TRACE(std::string(c.body) + " " + std::to_string(c.status));
    serve(c.body, c.status);
    int32_t movie = 9;
    EXPECT_EQ(kel_is_movie("tt1/2", &movie), c.rc);
    EXPECT_EQ(movie, c.movie);
  }
  EXPECT_EQ(s_host.urls.back(), KEL_CATALOGUE_BASE "/api/AAA/IsMovie?imdbId=tt1%2F2");

  s_host.answer.null_body = true;
  s_host.answer.status = 204;
  int32_t movie = 9;
  EXPECT_EQ(kel_is_movie("tt1", &movie), 0);
  EXPECT_EQ(movie, 0);
}

TEST_F(Matcher, IsMovieFailures) {
  serve_transport_failure();
  int32_t movie = 0;
  EXPECT_EQ(kel_is_movie("tt1", &movie), KELMCAT_ERR_MATCHER_DOWN);
  EXPECT_EQ(movie, 1);
  EXPECT_STREQ(kelmcat_last_error(), "transport: connection reset");

  size_t before = s_host.urls.size();
  movie = 0;
  EXPECT_EQ(kel_is_movie("", &movie), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "empty imdb id");
  EXPECT_EQ(movie, 1);
  EXPECT_EQ(kel_is_movie(nullptr, &movie), KELMCAT_ERR_ARG);
  // An id that does not fit the request is refused rather than cut to another id.
  EXPECT_EQ(kel_is_movie(std::string(200, ' ').c_str(), &movie), KELMCAT_ERR_ARG);
  EXPECT_EQ(s_host.urls.size(), before);
}

// Each request goes where the configuration says at that moment: a change of
// the matcher host, the service bases or the IO table, made on this thread or
// another, and a shutdown, are all seen by the next request.
TEST_F(Matcher, RequestsFollowEveryChangeOfWhereTheyGo) {
  static std::vector<std::string> second_urls;
  second_urls.clear();
  static const kelmcat_io second{nullptr,
                                 [](void *, const char *url, char **, int32_t *s, char **) {
                                   second_urls.push_back(url);
                                   *s = 404;
                                   return int32_t{0};
                                 },
                                 nullptr, nullptr};
  serve("{\"imDbId\":\"tt1\"}");
  auto lookup = [] {
    char *id = nullptr;
    int32_t rc = kel_match_file("A", nullptr, &id);
    std::free(id);
    return rc;
  };
  auto last = [] { return s_host.urls.empty() ? std::string() : s_host.urls.back(); };
  const std::string path = "/api/lookup?id=A&read=true&version=v2";

  ASSERT_EQ(lookup(), 0);
  EXPECT_EQ(last(), kHost + path);
  ASSERT_EQ(kelmcat_set_matcher_host("https://other.test"), 0);
  ASSERT_EQ(lookup(), 0);
  EXPECT_EQ(last(), "https://other.test" + path);
  std::thread([] { ASSERT_EQ(kelmcat_set_matcher_host("https://third.test"), 0); }).join();
  ASSERT_EQ(lookup(), 0);
  EXPECT_EQ(last(), "https://third.test" + path);

  int32_t movie = 0;
  ASSERT_EQ(kel_is_movie("tt1", &movie), 0);
  EXPECT_EQ(last(), KEL_CATALOGUE_BASE "/api/AAA/IsMovie?imdbId=tt1");
  std::thread([] {
    ASSERT_EQ(kelmcat_set_service_bases("https://mi.test", "https://cat.test"), 0);
  }).join();
  ASSERT_EQ(kel_is_movie("tt1", &movie), 0);
  EXPECT_EQ(last(), "https://cat.test/api/AAA/IsMovie?imdbId=tt1");

  size_t host_requests = s_host.urls.size();
  std::thread([] { kelmcat_set_io(&second); }).join();
  EXPECT_EQ(lookup(), KELMCAT_ERR_NO_MATCH);  // the second table answers 404
  EXPECT_EQ(second_urls, std::vector<std::string>{"https://third.test" + path});
  kelmcat_set_io(nullptr);
  EXPECT_EQ(lookup(), KELMCAT_ERR_NO_IO);
  EXPECT_STREQ(kelmcat_last_error(), "no io backend installed");
  kelmcat_set_io(&kHostTable);
  ASSERT_EQ(lookup(), 0);
  EXPECT_EQ(s_host.urls.size(), host_requests + 1);

  kelmcat_shutdown();
  EXPECT_EQ(lookup(), KELMCAT_ERR_NO_IO);
  EXPECT_STREQ(kelmcat_last_error(), "matcher host not set");
  ASSERT_EQ(kelmcat_set_matcher_host(kHost), 0);
  EXPECT_EQ(lookup(), KELMCAT_ERR_NO_IO);
  EXPECT_STREQ(kelmcat_last_error(), "no io backend — call kelmcat_use_curl/use_fake/set_io");
  ASSERT_EQ(kel_is_movie("tt1", &movie), KELMCAT_ERR_NO_IO);
  kelmcat_set_io(&kHostTable);
  ASSERT_EQ(kel_is_movie("tt1", &movie), 0);
  EXPECT_EQ(last(), KEL_CATALOGUE_BASE "/api/AAA/IsMovie?imdbId=tt1");
  EXPECT_EQ(s_host.urls.size(), host_requests + 2);
}

// ---- Through the built-in fake ----------------------------------------------

// The request paths are the ones the scripted services answer.
TEST_F(Matcher, BuiltInFakeServesEveryRequest) {
  kel_fake_reset();
  ASSERT_EQ(kelmcat_use_fake(), 0);
  ASSERT_EQ(kel_fake_set_corrections("{\"12\":\"tt12\"}"), 0);
  ASSERT_EQ(kel_fake_set_indexed("[\"k1\"]"), 0);
  ASSERT_EQ(kel_fake_set_tvshow("A Show", "tt5"), 0);
  ASSERT_EQ(kel_fake_set_ismovie("tt5", 0), 0);

  ASSERT_EQ(kel_corrections_load(), 0);
  EXPECT_STREQ(kel_corrections_get("12"), "tt12");
  ASSERT_EQ(kel_find_indexed("u", "c"), 0);
  EXPECT_EQ(kel_indexed_has("k1"), 1);

  int32_t tv = 0;
  char *id = nullptr;
  ASSERT_EQ(kel_match_file("A Show", &tv, &id), 0);
  EXPECT_STREQ(id, "tt5");
  EXPECT_EQ(tv, 1);
  std::free(id);
  EXPECT_EQ(kel_match_file("Unknown", &tv, &id), KELMCAT_ERR_NO_MATCH);

  int32_t movie = 1;
  EXPECT_EQ(kel_is_movie("tt5", &movie), 0);
  EXPECT_EQ(movie, 0);
  EXPECT_EQ(kel_is_movie("tt77", &movie), 0);
  EXPECT_EQ(movie, 1);
  EXPECT_EQ(kel_fake_matcher_calls(), 6);
  kel_fake_reset();
}

}  // namespace
