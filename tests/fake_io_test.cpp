// The built-in fake IO (scripted service answers) and the fake vault store.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/core_internal.h"
#include "match/http.h"

namespace {

const char NOT_FOUND[] =
    "{\"type\":\"https://www.rfc-editor.org/rfc/rfc9110#section-15.5.5\","
    "\"title\":\"Not Found\",\"status\":404}";

struct answer {
  int32_t rc;
  int32_t status;
  std::string body;  // "<null>" for a null body
  std::string error;
};

// One request straight to the fake table, texts given back through release.
answer ask(const std::string &url) {
  const kelmcat_io *io = kel_fake_io();
  char *body = nullptr, *error = nullptr;
  int32_t status = 0;
  answer a;
  a.rc = io->http_get(io->ctx, url.c_str(), &body, &status, &error);
  a.status = status;
  a.body = body ? body : "<null>";
  a.error = error ? error : "<null>";
  io->release(io->ctx, error);
  io->release(io->ctx, body);
  return a;
}

class FakeIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kelmcat_shutdown();
    kel_fake_reset();
  }
  void TearDown() override {
    kelmcat_shutdown();
    kel_fake_reset();
  }
};

const std::string M = "https://match.example/api/lookup?id=";

TEST_F(FakeIoTest, TableShape) {
  const kelmcat_io *io = kel_fake_io();
  EXPECT_EQ(io, kel_fake_io());
  EXPECT_EQ(io->ctx, nullptr);
  EXPECT_EQ(io->reserved2, nullptr);
  EXPECT_NE(io->http_get, nullptr);
  EXPECT_NE(io->release, nullptr);
}

TEST_F(FakeIoTest, LookupRoutes) {
  ASSERT_EQ(kel_fake_set_matcher("Heat", "tt0113277", 0), 0);
  ASSERT_EQ(kel_fake_set_matcher("Heat", "tt9999999", 0), 0);  // the first one answers
  ASSERT_EQ(kel_fake_set_tvshow("The Wire", "tt0306414"), 0);
  ASSERT_EQ(kel_fake_set_matcher("Down", nullptr, 503), 0);
  ASSERT_EQ(kel_fake_set_matcher("Moved", "tt302", 302), 0);
  ASSERT_EQ(kel_fake_set_matcher("Made", "tt5", 201), 0);
  ASSERT_EQ(kel_fake_set_matcher("Gone", nullptr, 404), 0);
  ASSERT_EQ(kel_fake_set_matcher("Ok200", "tt2", 200), 0);
  ASSERT_EQ(kel_fake_set_matcher("NoId", nullptr, 0), 0);
  ASSERT_EQ(kel_fake_set_matcher("", "tt0", 0), 0);
  ASSERT_EQ(kel_fake_set_matcher("Q\"x", "tt3", 0), 0);
  ASSERT_EQ(kel_fake_set_matcher("H\xC3\xA9"
                                 "at",
                                 "tt4", 0),
            0);
  ASSERT_EQ(kel_fake_set_matcher("@", "tt40", 0), 0);
  ASSERT_EQ(kel_fake_set_matcher("%G4", "ttG4", 0), 0);
  ASSERT_EQ(kel_fake_set_matcher("a+b", "ttplus", 0), 0);

  const struct {
    std::string url;
    int32_t status;
    std::string body;
  } rows[] = {
      {M + "Heat", 200, "{\"imDbId\":\"tt0113277\",\"title\":\"Heat\",\"isTVShow\":false}"},
      {M + "Heat&year=1995", 200,
       "{\"imDbId\":\"tt0113277\",\"title\":\"Heat\",\"isTVShow\":false}"},
      {M + "The%20Wire", 200,
       "{\"imDbId\":\"tt0306414\",\"title\":\"The Wire\",\"isTVShow\":true}"},
      {M + "Unknown", 404, NOT_FOUND},
      {M + "Down", 503, "error"},
      {M + "Moved", 302, ""},
      {M + "Made", 201, ""},
      {M + "Gone", 404, ""},
      {M + "Ok200", 200, "{\"imDbId\":\"tt2\",\"title\":\"Ok200\",\"isTVShow\":false}"},
      {M + "NoId", 200, "{\"imDbId\":\"\",\"title\":\"NoId\",\"isTVShow\":false}"},
      // No "id=" at all: the empty name.
      {"https://match.example/api/lookup", 200,
       "{\"imDbId\":\"tt0\",\"title\":\"\",\"isTVShow\":false}"},
      // Texts go into the body unescaped.
      {M + "Q%22x", 200, "{\"imDbId\":\"tt3\",\"title\":\"Q\"x\",\"isTVShow\":false}"},
      // Percent-decoding: either case, a bad second digit counts as 0, a bad
      // first digit or a short tail keeps the "%".
      {M + "H%C3%A9at", 200,
       "{\"imDbId\":\"tt4\",\"title\":\"H\xC3\xA9"
       "at\",\"isTVShow\":false}"},
      {M + "H%c3%a9at", 200,
       "{\"imDbId\":\"tt4\",\"title\":\"H\xC3\xA9"
       "at\",\"isTVShow\":false}"},
      {M + "%4g", 200, "{\"imDbId\":\"tt40\",\"title\":\"@\",\"isTVShow\":false}"},
      {M + "%G4", 200, "{\"imDbId\":\"ttG4\",\"title\":\"%G4\",\"isTVShow\":false}"},
      {M + "a+b", 200, "{\"imDbId\":\"ttplus\",\"title\":\"a+b\",\"isTVShow\":false}"},
      {M + "Heat%", 404, NOT_FOUND},
      {M + "Heat%4", 404, NOT_FOUND},
      // A decoded NUL does not shorten the name.
      {M + "Heat%00", 404, NOT_FOUND},
  };
  for (const auto &r : rows) {
    answer a = ask(r.url);
    EXPECT_EQ(a.rc, 0) << r.url;
    EXPECT_EQ(a.status, r.status) << r.url;
    EXPECT_EQ(a.body, r.body) << r.url;
  }
  EXPECT_EQ(kel_fake_matcher_calls(), static_cast<int32_t>(sizeof rows / sizeof rows[0]));
}

TEST_F(FakeIoTest, NameWindowIs511Bytes) {
  std::string name511(511, 'a');
  ASSERT_EQ(kel_fake_set_matcher(name511.c_str(), "tt511", 0), 0);
  ASSERT_EQ(kel_fake_set_matcher((name511 + "a").c_str(), "tt512", 0), 0);
  EXPECT_EQ(ask(M + name511 + "aaaa").status, 200);
  // The cut body of a long route ends after 255 bytes.
  EXPECT_EQ(ask(M + name511 + "aaaa").body.size(), 255u);
  // ... or before a character that would straddle byte 255.
  std::string split = std::string(229, 'a') + "\xC3\xA9";
  ASSERT_EQ(kel_fake_set_matcher(split.c_str(), "tt1", 0), 0);
  EXPECT_EQ(ask(M + std::string(229, 'a') + "%C3%A9").body,
            "{\"imDbId\":\"tt1\",\"title\":\"" + std::string(229, 'a'));

  // A percent sequence cut by the window end stays literal.
  std::string name510(510, 'b');
  ASSERT_EQ(kel_fake_set_matcher((name510 + "%").c_str(), "ttpct", 0), 0);
  ASSERT_EQ(kel_fake_set_matcher((name510 + "A").c_str(), "ttA", 0), 0);
  answer a = ask(M + name510 + "%41");
  EXPECT_EQ(a.status, 200);
  EXPECT_NE(a.body.find("ttpct"), std::string::npos);
  std::string name508(508, 'c');
  ASSERT_EQ(kel_fake_set_matcher((name508 + "A").c_str(), "ttC", 0), 0);
  a = ask(M + name508 + "%41zz");
  EXPECT_NE(a.body.find("ttC"), std::string::npos);
}

TEST_F(FakeIoTest, ServiceRoutes) {
  const std::string base = KEL_CATALOGUE_BASE;
  const std::string index = KEL_MEDIA_INDEX_BASE;
  ASSERT_EQ(kel_fake_set_ismovie("tt1", 0), 0);
  ASSERT_EQ(kel_fake_set_ismovie("tt1", 1), 0);  // the first answer wins
  ASSERT_EQ(kel_fake_set_ismovie("tt2", 1), 0);
  ASSERT_EQ(kel_fake_set_ismovie("nm7", 0), 0);
  std::string id63 = "x" + std::string(62, '9');
  ASSERT_EQ(kel_fake_set_ismovie(id63.c_str(), 0), 0);

  const struct {
    std::string url;
    int32_t status;
    std::string body;
  } rows[] = {
      {base + "/api/AAA/IsMovie?imdbId=tt1", 200, "false"},
      {base + "/api/AAA/IsMovie?imdbId=tt2", 200, "true"},
      {base + "/api/AAA/IsMovie?imdbId=tt1&x=1", 200, "false"},
      {base + "/api/AAA/IsMovie?imdbId=tt404", 200, "true"},
      {base + "/api/AAA/IsMovie?imdbId=nm7", 200, "false"},
      {base + "/api/AAA/IsMovie?imdbId=nm8", 404, NOT_FOUND},
      {base + "/api/AAA/IsMovie?imdbId=", 404, NOT_FOUND},
      {base + "/api/AAA/IsMovie?imdbId=t%74", 404, NOT_FOUND},           // not decoded
      {base + "/api/AAA/IsMovie?imdbId=" + id63 + "123", 200, "false"},  // cut to 63
      {index + "/api/MediaIndex/Corrections", 200, "{}"},
      {index + "/api/MediaIndex/Find?userId=u&runtimeId=r", 200, "[]"},
      {base + "/api/AAA/SendMessageQueue?queue=q&password=p", 200, ""},
      // The first marker in route order wins.
      {index + "/api/MediaIndex/Find?next=/api/MediaIndex/Corrections", 200, "{}"},
      {base + "/api/AAA/SendMessageQueue?id=/api/AAA/IsMovie?imdbId=tt1", 200, "false"},
  };
  for (const auto &r : rows) {
    answer a = ask(r.url);
    EXPECT_EQ(a.rc, 0) << r.url;
    EXPECT_EQ(a.status, r.status) << r.url;
    EXPECT_EQ(a.body, r.body) << r.url;
  }
  EXPECT_EQ(kel_fake_queue_calls(), 1);

  ASSERT_EQ(kel_fake_set_corrections("{\"1\":\"tt1\"}"), 0);
  ASSERT_EQ(kel_fake_set_indexed("not json"), 0);
  EXPECT_EQ(ask(index + "/api/MediaIndex/Corrections").body, "{\"1\":\"tt1\"}");
  EXPECT_EQ(ask(index + "/api/MediaIndex/Find?u").body, "not json");
  ASSERT_EQ(kel_fake_set_corrections(""), 0);
  EXPECT_EQ(ask(index + "/api/MediaIndex/Corrections").body, "{}");
}

TEST_F(FakeIoTest, Faults) {
  const struct {
    const char *fault;
    int32_t rc;
    int32_t status;
    const char *body;
    const char *error;
  } rows[] = {
      {"transport", -1, 200, "<null>", "fake transport failure"},
      {"503", 0, 503, "error", "<null>"},
      {" 42", 0, 42, "error", "<null>"},
      {"\t+7", 0, 7, "error", "<null>"},
      {"200", 0, 200, "error", "<null>"},
      {"2147483647", 0, 2147483647, "error", "<null>"},
      {"0", -1, 200, "<null>", "fake unknown fault"},
      {"-5", -1, 200, "<null>", "fake unknown fault"},
      {"abc", -1, 200, "<null>", "fake unknown fault"},
      {"42 ", -1, 200, "<null>", "fake unknown fault"},
      {"4x2", -1, 200, "<null>", "fake unknown fault"},
      {"+", -1, 200, "<null>", "fake unknown fault"},
      {"2147483648", -1, 200, "<null>", "fake unknown fault"},
      {"99999999999999999999", -1, 200, "<null>", "fake unknown fault"},
      {"Transport", -1, 200, "<null>", "fake unknown fault"},
  };
  for (const auto &r : rows) {
    kel_fake_reset();
    ASSERT_EQ(kel_fake_set_matcher("Heat", "tt1", 0), 0);
    ASSERT_EQ(kel_fake_fail_matcher(r.fault), 0) << r.fault;
    for (const char *url : {"https://m/x?id=Heat", "https://c/api/AAA/SendMessageQueue?q"}) {
      answer a = ask(url);
      EXPECT_EQ(a.rc, r.rc) << r.fault;
      EXPECT_EQ(a.status, r.status) << r.fault;
      EXPECT_EQ(a.body, r.body) << r.fault;
      EXPECT_EQ(a.error, r.error) << r.fault;
    }
    EXPECT_EQ(kel_fake_matcher_calls(), 2);
    EXPECT_EQ(kel_fake_queue_calls(), 0);
  }
}

TEST_F(FakeIoTest, FaultThroughDispatch) {
  kel_select_fake_io();
  ASSERT_EQ(kel_fake_fail_matcher("transport"), 0);
  kel_buf out{};
  EXPECT_EQ(kel_http_get("https://c/api/AAA/SendMessageQueue?password=pw", &out),
            KELMCAT_ERR_TRANSPORT);
  EXPECT_STREQ(kelmcat_last_error(), "transport: fake transport failure");
  EXPECT_EQ(kelmcat_last_http_code(), 200);
  EXPECT_STREQ(kelmcat_last_url(), "https://c/api/AAA/SendMessageQueue?password=***");
  kel_fake_reset();
  ASSERT_EQ(kel_fake_fail_matcher("503"), 0);
  EXPECT_EQ(kel_http_get("https://m/?id=x", &out), KELMCAT_ERR_MATCHER_DOWN);
  kel_fake_reset();
  EXPECT_EQ(kel_http_get("https://m/?id=x", &out), KELMCAT_ERR_HTTP);
  EXPECT_EQ(kelmcat_last_http_code(), 404);
  kel_buf_free(&out);
}

TEST_F(FakeIoTest, SetterChecks) {
  static const std::string s255(255, 'f'), s256(256, 'f');
  static const std::string j8191(8191, ' '), j8192(8192, ' ');
  const char *fault_msg = "fault must be \"transport\" or an HTTP code string";
  const struct {
    const char *what;
    int32_t (*call)();
    int32_t want;
    const char *msg;  // last error after a failure
  } rows[] = {
      {"matcher null name", [] { return kel_fake_set_matcher(nullptr, "tt1", 0); }, -13,
       "null name"},
      {"matcher 302 no id", [] { return kel_fake_set_matcher("x", nullptr, 302); }, -13,
       "success route needs an imdb id"},
      {"matcher 399 no id", [] { return kel_fake_set_matcher("x", nullptr, 399); }, -13,
       "success route needs an imdb id"},
      {"matcher -1 no id", [] { return kel_fake_set_matcher("x", nullptr, -1); }, -13,
       "success route needs an imdb id"},
      {"matcher 0 no id", [] { return kel_fake_set_matcher("x", nullptr, 0); }, 0, nullptr},
      {"matcher star", [] { return kel_fake_set_matcher("*", nullptr, 200); }, 0, nullptr},
      {"matcher 400 no id", [] { return kel_fake_set_matcher("x", nullptr, 400); }, 0, nullptr},
      {"tvshow empty", [] { return kel_fake_set_tvshow("", "tt1"); }, -13, "null name"},
      {"tvshow null", [] { return kel_fake_set_tvshow(nullptr, "tt1"); }, -13, "null name"},
      {"tvshow null id", [] { return kel_fake_set_tvshow("Show", nullptr); }, 0, nullptr},
      {"ismovie null", [] { return kel_fake_set_ismovie(nullptr, 1); }, -13, "null imdb id"},
      {"ismovie empty", [] { return kel_fake_set_ismovie("", 1); }, -13, "null imdb id"},
      {"fault null", [] { return kel_fake_fail_matcher(nullptr); }, -13, fault_msg},
      {"fault empty", [] { return kel_fake_fail_matcher(""); }, -13, fault_msg},
      {"fault 256", [] { return kel_fake_fail_matcher(s256.c_str()); }, -13, fault_msg},
      {"fault 255", [] { return kel_fake_fail_matcher(s255.c_str()); }, 0, nullptr},
      {"corr null", [] { return kel_fake_set_corrections(nullptr); }, -13,
       "corrections JSON too long or null"},
      {"corr 8192", [] { return kel_fake_set_corrections(j8192.c_str()); }, -13,
       "corrections JSON too long or null"},
      {"corr 8191", [] { return kel_fake_set_corrections(j8191.c_str()); }, 0, nullptr},
      {"idx null", [] { return kel_fake_set_indexed(nullptr); }, -13,
       "indexed JSON too long or null"},
      {"idx 8192", [] { return kel_fake_set_indexed(j8192.c_str()); }, -13,
       "indexed JSON too long or null"},
      {"idx 8191", [] { return kel_fake_set_indexed(j8191.c_str()); }, 0, nullptr},
  };
  for (const auto &r : rows) {
    kel_set_error("before");
    EXPECT_EQ(r.call(), r.want) << r.what;
    EXPECT_STREQ(kelmcat_last_error(), r.msg ? r.msg : "before") << r.what;
  }
  EXPECT_EQ(ask(M + "x").error, "fake unknown fault");  // the 255-byte fault is armed
  kel_fake_reset();
  EXPECT_EQ(ask("https://i/api/MediaIndex/Find?u").body, "[]");
  ASSERT_EQ(kel_fake_set_indexed(j8191.c_str()), 0);
  EXPECT_EQ(ask("https://i/api/MediaIndex/Find?u").body.size(), 8191u);
}

TEST_F(FakeIoTest, TablesFillUp) {
  for (int i = 0; i < 256; i++) {
    std::string n = "n" + std::to_string(i);
    ASSERT_EQ(kel_fake_set_matcher(n.c_str(), "tt1", 0), 0);
    ASSERT_EQ(kel_fake_set_ismovie(n.c_str(), 1), 0);
  }
  EXPECT_EQ(kel_fake_set_matcher("more", "tt1", 0), KELMCAT_ERR_OOM);
  EXPECT_STREQ(kelmcat_last_error(), "route table full");
  // A full table is reported before a missing id.
  EXPECT_EQ(kel_fake_set_matcher("more", nullptr, 302), KELMCAT_ERR_OOM);
  EXPECT_EQ(kel_fake_set_tvshow("more", "tt1"), KELMCAT_ERR_OOM);
  EXPECT_EQ(kel_fake_set_ismovie("more", 1), KELMCAT_ERR_OOM);
  EXPECT_STREQ(kelmcat_last_error(), "is-movie table full");
  EXPECT_EQ(ask(M + "n255").status, 200);
  EXPECT_EQ(ask(M + "more").status, 404);
  kel_fake_reset();
  EXPECT_EQ(kel_fake_set_matcher("more", "tt1", 0), 0);
}

TEST_F(FakeIoTest, ResetEmptiesEverything) {
  ASSERT_EQ(kel_fake_set_matcher("Heat", "tt1", 0), 0);
  ASSERT_EQ(kel_fake_set_ismovie("nm1", 1), 0);
  ASSERT_EQ(kel_fake_set_corrections("{\"a\":1}"), 0);
  ASSERT_EQ(kel_fake_set_indexed("[1]"), 0);
  ASSERT_EQ(kel_fake_vault_seed("k", "v"), 0);
  ask("https://c/api/AAA/SendMessageQueue?x");
  ASSERT_EQ(kel_fake_fail_matcher("transport"), 0);
  kel_fake_reset();
  EXPECT_EQ(kel_fake_matcher_calls(), 0);
  EXPECT_EQ(kel_fake_queue_calls(), 0);
  for (int i = 0; i < 3; i++) EXPECT_EQ(kel_fake_vault_calls(i), 0);
  EXPECT_EQ(ask("https://i/api/MediaIndex/Corrections").body, "{}");
  EXPECT_EQ(ask("https://i/api/MediaIndex/Find?u").body, "[]");
  EXPECT_EQ(ask(M + "Heat").status, 404);
  EXPECT_EQ(ask("https://c/api/AAA/IsMovie?imdbId=nm1").status, 404);
  char *v = nullptr;
  const kelmcat_vault *fv = kel_fake_vault();
  EXPECT_EQ(fv->get(fv->ctx, "k", &v), 1);
}

// ---- Fake vault ------------------------------------------------------------

struct keys_out {
  std::vector<std::string> keys;
  int32_t rc;
  bool array_null;
};

keys_out search(const char *prefix) {
  const kelmcat_vault *fv = kel_fake_vault();
  char **keys = nullptr;
  size_t count = 0;
  keys_out r;
  r.rc = fv->search_keys(fv->ctx, prefix, &keys, &count);
  r.array_null = keys == nullptr;
  for (size_t i = 0; i < count; i++) {
    r.keys.push_back(keys[i]);
    std::free(keys[i]);
  }
  std::free(keys);
  return r;
}

TEST_F(FakeIoTest, VaultSeedReplacesByKey) {
  EXPECT_EQ(kel_fake_vault_seed("k1", "first"), 0);
  EXPECT_EQ(kel_fake_vault_seed("k1", "second"), 0);
  EXPECT_EQ(kel_fake_vault_seed("k0", nullptr), 0);
  EXPECT_EQ(kel_fake_vault_seed(nullptr, "v"), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null key");
  EXPECT_EQ(kel_fake_vault_calls(1), 3);
  EXPECT_EQ(kel_fake_vault_calls(0), 0);
  EXPECT_EQ(kel_fake_vault_calls(3), -1);
  EXPECT_EQ(kel_fake_vault_calls(-1), -1);

  const kelmcat_vault *fv = kel_fake_vault();
  ASSERT_EQ(kelmcat_set_vault(fv), 0);
  char *v = nullptr;
  ASSERT_EQ(fv->get(fv->ctx, "k1", &v), 0);
  EXPECT_STREQ(v, "second");
  std::free(v);
  ASSERT_EQ(fv->get(fv->ctx, "k0", &v), 0);
  EXPECT_STREQ(v, "");
  std::free(v);
  EXPECT_EQ(fv->get(fv->ctx, "k2", &v), 1);
  EXPECT_EQ(v, nullptr);
  EXPECT_EQ(kel_fake_vault_calls(0), 3);

  // Keys keep their insertion order; a replaced key keeps its place.
  EXPECT_EQ(fv->set(fv->ctx, "a", "1"), 0);
  EXPECT_EQ(fv->set(fv->ctx, "k1", "third"), 0);
  EXPECT_EQ(kel_fake_vault_calls(1), 5);
  keys_out k = search("k");
  EXPECT_EQ(k.rc, 0);
  EXPECT_EQ(k.keys, (std::vector<std::string>{"k1", "k0"}));
  k = search("");
  EXPECT_EQ(k.keys, (std::vector<std::string>{"k1", "k0", "a"}));
  k = search("zz");
  EXPECT_EQ(k.rc, 0);
  EXPECT_TRUE(k.array_null);
  EXPECT_TRUE(k.keys.empty());
  EXPECT_EQ(kel_fake_vault_calls(2), 3);
}

TEST_F(FakeIoTest, VaultHolds4096Keys) {
  for (int i = 0; i < 4096; i++)
    ASSERT_EQ(kel_fake_vault_seed(("key" + std::to_string(i)).c_str(), "v"), 0);
  EXPECT_EQ(kel_fake_vault_seed("one more", "v"), -1);
  EXPECT_EQ(kel_fake_vault_seed("key17", "replaced"), 0);  // replacing still works
  EXPECT_EQ(kel_fake_vault_calls(1), 4098);
  const kelmcat_vault *fv = kel_fake_vault();
  EXPECT_EQ(fv->set(fv->ctx, "one more", "v"), -1);
  char *v = nullptr;
  ASSERT_EQ(fv->get(fv->ctx, "key17", &v), 0);
  EXPECT_STREQ(v, "replaced");
  std::free(v);
  EXPECT_EQ(search("key409").keys.size(), 7u);  // key409, key4090..key4095
}

}  // namespace
