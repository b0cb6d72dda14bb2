// Installing the IO and vault tables, and the HTTP dispatch through them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/core_internal.h"
#include "match/http.h"

namespace {

// A host IO table that answers from a script and records what it is given.
struct recorder {
  int32_t rc = 0;
  int32_t status = 200;
  bool set_status = true;
  const char *body = nullptr;  // copied to the heap when not null
  size_t body_len = 0;         // bytes of body to copy (0: strlen)
  const char *error = nullptr;
  std::vector<std::string> urls;
  std::vector<void *> handed_out;  // body, then error, per call
  std::vector<void *> released;
};

char *heap_copy(const char *s, size_t n) {
  char *p = static_cast<char *>(std::malloc(n + 1));
  std::memcpy(p, s, n);
  p[n] = '\0';
  return p;
}

int32_t rec_get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
  auto *r = static_cast<recorder *>(ctx);
  EXPECT_EQ(*body, nullptr);
  EXPECT_EQ(*error, nullptr);
  EXPECT_EQ(*status, 0);
  r->urls.push_back(url);
  if (r->set_status) *status = r->status;
  if (r->body) *body = heap_copy(r->body, r->body_len ? r->body_len : std::strlen(r->body));
  if (r->error) *error = heap_copy(r->error, std::strlen(r->error));
  r->handed_out.push_back(*body);
  r->handed_out.push_back(*error);
  return r->rc;
}

void rec_release(void *ctx, void *p) {
  static_cast<recorder *>(ctx)->released.push_back(p);
  std::free(p);
}

class HttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kelmcat_shutdown();
    kel_fake_reset();
    io_ = kelmcat_io{&rec_, rec_get, nullptr, rec_release};
  }
  void TearDown() override {
    kelmcat_shutdown();
    kel_fake_reset();
    kel_buf_free(&out_);
  }
  int get(const char *url) {
    kel_buf_free(&out_);
    return kel_http_get(url, &out_);
  }
  std::string out() const { return out_.data ? std::string(out_.data, out_.len) : "<none>"; }

  recorder rec_;
  kelmcat_io io_{};
  kel_buf out_{};
};

TEST_F(HttpTest, StatusMapsToResult) {
  const struct {
    int32_t status;
    const char *body;
    int want;
    const char *want_out;
  } rows[] = {
      {200, "hello", KELMCAT_OK, "hello"},
      {299, "edge", KELMCAT_OK, "edge"},
      {204, nullptr, KELMCAT_OK, ""},
      {201, "", KELMCAT_OK, ""},
      {199, "x", KELMCAT_ERR_HTTP, "<none>"},
      {0, "x", KELMCAT_ERR_HTTP, "<none>"},
      {-1, "x", KELMCAT_ERR_HTTP, "<none>"},
      {300, "x", KELMCAT_ERR_HTTP, "<none>"},
      {404, "x", KELMCAT_ERR_HTTP, "<none>"},
      {499, "x", KELMCAT_ERR_HTTP, "<none>"},
      {500, "x", KELMCAT_ERR_MATCHER_DOWN, "<none>"},
      {503, nullptr, KELMCAT_ERR_MATCHER_DOWN, "<none>"},
  };
  kelmcat_set_io(&io_);
  kel_set_error("sentinel");
  for (const auto &r : rows) {
    rec_.status = r.status;
    rec_.body = r.body;
    rec_.handed_out.clear();
    rec_.released.clear();
    EXPECT_EQ(get("https://h/x?q=1"), r.want) << r.status;
    EXPECT_EQ(out(), r.want_out) << r.status;
    EXPECT_EQ(kelmcat_last_http_code(), r.status);
    EXPECT_STREQ(kelmcat_last_url(), "https://h/x?q=1");
    // Error text first, then the body, both always handed back.
    ASSERT_EQ(rec_.released.size(), 2u) << r.status;
    EXPECT_EQ(rec_.released[0], rec_.handed_out[1]);
    EXPECT_EQ(rec_.released[1], rec_.handed_out[0]);
  }
  EXPECT_STREQ(kelmcat_last_error(), "sentinel");
}

TEST_F(HttpTest, StatusLeftAtZeroReadsAsHttpError) {
  rec_.set_status = false;
  kelmcat_set_io(&io_);
  EXPECT_EQ(get("https://h/"), KELMCAT_ERR_HTTP);
  EXPECT_EQ(kelmcat_last_http_code(), 0);
}

TEST_F(HttpTest, TransportFailure) {
  const struct {
    const char *error;
    int32_t status;
    bool set_status;
    const char *want_msg;
  } rows[] = {
      {"connection reset", 0, false, "transport: connection reset"},
      {nullptr, 0, false, "unknown io failure"},
      {"", 0, false, "transport: "},
      {"late", 502, true, "transport: late"},  // whatever status the table left counts
  };
  kelmcat_set_io(&io_);
  for (const auto &r : rows) {
    rec_.rc = -7;
    rec_.error = r.error;
    rec_.body = "partial";
    rec_.status = r.status;
    rec_.set_status = r.set_status;
    rec_.released.clear();
    rec_.handed_out.clear();
    EXPECT_EQ(get("https://h/t?password=pw"), KELMCAT_ERR_TRANSPORT);
    EXPECT_STREQ(kelmcat_last_error(), r.want_msg);
    EXPECT_EQ(kelmcat_last_http_code(), r.status);
    EXPECT_STREQ(kelmcat_last_url(), "https://h/t?password=***");
    EXPECT_EQ(out(), "<none>");
    ASSERT_EQ(rec_.released.size(), 2u);
    EXPECT_EQ(rec_.released[0], rec_.handed_out[1]);
    EXPECT_EQ(rec_.released[1], rec_.handed_out[0]);
  }
  // The table received the URL unredacted.
  EXPECT_EQ(rec_.urls.back(), "https://h/t?password=pw");
}

TEST_F(HttpTest, MissingIoLeavesLastRequestAlone) {
  kelmcat_io no_get{&rec_, nullptr, nullptr, rec_release};
  EXPECT_EQ(get("https://h/a"), KELMCAT_ERR_NO_IO);
  EXPECT_STREQ(kelmcat_last_error(), "no io backend — call kelmcat_use_curl/use_fake/set_io");

  kelmcat_set_io(&io_);
  rec_.status = 201;
  ASSERT_EQ(get("https://h/ok"), KELMCAT_OK);

  kelmcat_set_io(nullptr);
  EXPECT_EQ(get("https://h/b"), KELMCAT_ERR_NO_IO);
  EXPECT_STREQ(kelmcat_last_error(), "no io backend installed");

  kelmcat_set_io(&no_get);
  EXPECT_EQ(get("https://h/c"), KELMCAT_ERR_NO_IO);
  EXPECT_STREQ(kelmcat_last_error(), "io backend has no http_get");

  EXPECT_EQ(kelmcat_last_http_code(), 201);
  EXPECT_STREQ(kelmcat_last_url(), "https://h/ok");
  EXPECT_EQ(rec_.urls.size(), 1u);
}

TEST_F(HttpTest, FakeAndHostTableAlternate) {
  kelmcat_set_io(&io_);
  kel_select_fake_io();
  EXPECT_EQ(get("https://h/api/MediaIndex/Find?userId=u"), KELMCAT_OK);
  EXPECT_EQ(out(), "[]");
  kelmcat_set_io(nullptr);  // no effect while the fake is selected
  EXPECT_EQ(get("https://h/api/MediaIndex/Corrections"), KELMCAT_OK);
  EXPECT_EQ(kel_fake_matcher_calls(), 2);
  EXPECT_TRUE(rec_.urls.empty());

  kelmcat_set_io(&io_);
  rec_.body = "host";
  EXPECT_EQ(get("https://h/api/MediaIndex/Find?userId=u"), KELMCAT_OK);
  EXPECT_EQ(out(), "host");
  EXPECT_EQ(kel_fake_matcher_calls(), 2);
  EXPECT_EQ(rec_.urls.size(), 1u);

  kelmcat_shutdown();
  EXPECT_EQ(get("https://h/"), KELMCAT_ERR_NO_IO);
}

TEST_F(HttpTest, BodyEdges) {
  kelmcat_set_io(&io_);
  // Read only up to the first NUL.
  rec_.body = "abc\0def";
  rec_.body_len = 7;
  EXPECT_EQ(get("https://h/"), KELMCAT_OK);
  EXPECT_EQ(out_.len, 3u);
  EXPECT_EQ(out(), "abc");

  // A large body arrives whole.
  std::string big(8u << 20, 'b');
  big[big.size() - 1] = 'e';
  rec_.body = big.c_str();
  rec_.body_len = 0;
  EXPECT_EQ(get("https://h/"), KELMCAT_OK);
  EXPECT_EQ(out_.len, big.size());
  EXPECT_EQ(out_.data[out_.len - 1], 'e');

  // Without an output buffer the body is still handed back.
  rec_.body = "dropped";
  rec_.released.clear();
  EXPECT_EQ(kel_http_get("https://h/", nullptr), KELMCAT_OK);
  EXPECT_EQ(rec_.released.size(), 2u);
}

TEST_F(HttpTest, TableWithoutReleaseKeepsItsTexts) {
  static char body[] = "static body";
  kelmcat_io bare{nullptr,
                  [](void *, const char *, char **b, int32_t *s, char **) -> int32_t {
                    *b = body;
                    *s = 200;
                    return 0;
                  },
                  nullptr, nullptr};
  kelmcat_set_io(&bare);
  EXPECT_EQ(get("https://h/"), KELMCAT_OK);
  EXPECT_EQ(out(), "static body");
}

// The last URL is kept as sent and shown redacted when read: each read shows
// the request before it, whether or not the ones in between were read, and
// reads without a request in between return the same text.
TEST_F(HttpTest, LastUrlShowsTheLatestRequestRedacted) {
  kelmcat_set_io(&io_);
  std::string long_query(1500, 'q');
  const struct {
    std::string url;
    bool read;  // read the last URL after this request
    std::string shown;
  } rows[] = {
      {"https://h/a?apikey=k1&x=1", true, "https://h/a?apikey=***&x=1"},
      {"https://h/" + long_query + "?code=c", true, "https://h/" + long_query + "?code=***"},
      {"https://h/b?password=p", false, ""},
      {"https://h/c", true, "https://h/c"},
      {"https://h/d?api_key=" + long_query, false, ""},
      {"https://h/e?api_key=" + long_query + "&v=2", true, "https://h/e?api_key=***&v=2"},
  };
  for (const auto &r : rows) {
    ASSERT_EQ(get(r.url.c_str()), KELMCAT_OK) << r.url;
    if (!r.read) continue;
    const char *first = kelmcat_last_url();
    EXPECT_EQ(std::string(first), r.shown);
    EXPECT_EQ(kelmcat_last_url(), first);
  }
  EXPECT_EQ(rec_.urls.back(), rows[5].url);  // the table always receives the URL as given
}

// A table that reads the last URL while it is asked sees the request before.
TEST_F(HttpTest, LastUrlIsRecordedWhenTheAnswerIsBack) {
  static std::string seen;
  kelmcat_io peek{nullptr,
                  [](void *, const char *, char **, int32_t *s, char **) -> int32_t {
                    seen = kelmcat_last_url();
                    *s = 200;
                    return 0;
                  },
                  nullptr, nullptr};
  kelmcat_set_io(&peek);
  EXPECT_EQ(get("https://h/one?password=x"), KELMCAT_OK);
  EXPECT_EQ(seen, "");
  EXPECT_EQ(get("https://h/two"), KELMCAT_OK);
  EXPECT_EQ(seen, "https://h/one?password=***");
  EXPECT_STREQ(kelmcat_last_url(), "https://h/two");
}

TEST_F(HttpTest, NullUrlIsRefused) {
  kelmcat_set_io(&io_);
  EXPECT_EQ(kel_http_get(nullptr, &out_), KELMCAT_ERR_ARG);
  EXPECT_TRUE(rec_.urls.empty());
}

int32_t v_get(void *, const char *, char **) {
  return 1;
}
int32_t v_set(void *, const char *, const char *) {
  return 0;
}
int32_t v_search(void *, const char *, char ***, size_t *) {
  return 0;
}

TEST_F(HttpTest, SetVault) {
  const char *incomplete = "vault vtable incomplete (get/set/search_keys all required)";
  kelmcat_vault full{nullptr, &rec_, v_get, v_set, v_search, nullptr};
  const struct {
    int missing;  // 0 get, 1 set, 2 search_keys
  } rows[] = {{0}, {1}, {2}};
  for (const auto &r : rows) {
    kelmcat_vault t = full;
    if (r.missing == 0) t.get = nullptr;
    if (r.missing == 1) t.set = nullptr;
    if (r.missing == 2) t.search_keys = nullptr;
    EXPECT_EQ(kelmcat_set_vault(&t), KELMCAT_ERR_ARG);
    EXPECT_STREQ(kelmcat_last_error(), incomplete);
  }
  EXPECT_EQ(kelmcat_set_vault(nullptr), KELMCAT_ERR_ARG);
  EXPECT_STREQ(kelmcat_last_error(), "null vault");
  EXPECT_EQ(g_st.have_vault, 0);

  int marker0 = 0, marker5 = 0;
  {
    kelmcat_vault t{&marker0, &rec_, v_get, v_set, v_search, &marker5};
    EXPECT_EQ(kelmcat_set_vault(&t), KELMCAT_OK);
  }  // the host's record is gone; the copy stays
  EXPECT_EQ(g_st.have_vault, 1);
  EXPECT_EQ(g_st.vault.reserved0, &marker0);
  EXPECT_EQ(g_st.vault.ctx, &rec_);
  EXPECT_EQ(g_st.vault.get, v_get);
  EXPECT_EQ(g_st.vault.reserved5, &marker5);

  EXPECT_EQ(kelmcat_set_vault(kel_fake_vault()), KELMCAT_OK);  // replaces the first
  EXPECT_EQ(g_st.vault.ctx, nullptr);
  kelmcat_shutdown();
  EXPECT_EQ(g_st.have_vault, 0);
}

#ifdef KELMCAT_NO_CURL
TEST_F(HttpTest, UseCurlAlwaysFails) {
  kelmcat_set_io(&io_);
  EXPECT_EQ(kelmcat_use_curl(), KELMCAT_ERR_NO_IO);
  EXPECT_STREQ(kelmcat_last_error(), "this build has no libcurl backend (KELMCAT_NO_CURL)");
  EXPECT_EQ(get("https://h/still-host"), KELMCAT_OK);
  EXPECT_EQ(rec_.urls.size(), 1u);
}
#else
TEST_F(HttpTest, UseCurlSelectsTheBuiltInClientUntilATableIsSet) {
  EXPECT_EQ(kelmcat_use_curl(), KELMCAT_OK);
  EXPECT_EQ(g_st.io_kind, KEL_IO_CURL);
  kelmcat_set_io(&io_);
  EXPECT_EQ(get("https://h/host-again"), KELMCAT_OK);
  EXPECT_EQ(rec_.urls.size(), 1u);
  EXPECT_EQ(kelmcat_use_curl(), KELMCAT_OK);
  kelmcat_set_io(nullptr);  // clears the stored table only
  EXPECT_EQ(g_st.io_kind, KEL_IO_CURL);
  kelmcat_shutdown();
  EXPECT_EQ(g_st.io_kind, -1);
}
#endif

}  // namespace
