// The built-in HTTP client against a real HTTPS server on 127.0.0.1: whole
// scans compared with the fake IO, the transport faults, connection reuse,
// cancellation of a stalled request, and a notification racing a scan.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/keys.h"
#include "https_server.h"
#include "match/http.h"
#include "scan_fixture.h"

namespace {

using scantest::Res;
using scantest::TestVault;

httptest::SuiteServer g_suite;

// A port on 127.0.0.1 that nothing listens on.
int closed_port() {
  int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &len);
  close(s);
  return ntohs(a.sin_port);
}

class Curl : public ::testing::Test {
 protected:
  TestVault vault;

  static void SetUpTestSuite() { g_suite.start(); }
  static void TearDownTestSuite() { g_suite.stop(); }

  void SetUp() override {
    if (!g_suite.unavailable().empty()) GTEST_SKIP() << g_suite.unavailable();
    ASSERT_EQ(g_suite.failed(), "");
    srv().script("");
    srv().reset_stats();
    configure(true);
  }
  void TearDown() override {
    kelmcat_shutdown();
    kel_fake_reset();
  }

  httptest::Server &srv() { return g_suite.get(); }

  // Everything a scan needs, through the built-in client or the fake IO; both
  // reach the services at the test server's address.
  void configure(bool curl) {
    kelmcat_shutdown();
    kel_fake_reset();
    kelffa_fake_set_fault(0, 0);
    vault.reset();
    if (curl) {
      ASSERT_EQ(kelmcat_use_curl(), 0);
      ASSERT_EQ(kelmcat_fake_load_tree(R"({"name":"","children":[]})"), 0);
    } else {
      ASSERT_EQ(kelmcat_use_fake(), 0);
    }
    std::string base = srv().base();
    ASSERT_EQ(kelmcat_set_service_bases(base.c_str(), base.c_str()), 0);
    ASSERT_EQ(kelmcat_set_matcher_host(base.c_str()), 0);
    set_options("");
    ASSERT_EQ(kelmcat_set_backend("fake", nullptr), 0);
    kelmcat_vault t = vault.table();
    ASSERT_EQ(kelmcat_set_vault(&t), 0);
    ASSERT_EQ(kelmcat_set_queue_credential("secret"), 0);
    ASSERT_EQ(kelmcat_arm_writes(1), 0);
  }

  // The test CA and the given further members.
  void set_options(const std::string &more) {
    std::string json =
        "{\"ca_file\":\"" + srv().ca() + "\"" + (more.empty() ? "" : ",") + more + "}";
    ASSERT_EQ(kelmcat_set_http_options(json.c_str()), 0) << kelmcat_last_error();
  }

  void load(const std::string &tree) { ASSERT_EQ(kelmcat_fake_load_tree(tree.c_str()), 0); }

  // One request through the dispatch: its code, and the body on success.
  int get(const std::string &path, std::string *body = nullptr) {
    std::string url = path.rfind("https://", 0) == 0 ? path : srv().base() + path;
    kel_buf out{};
    int rc = kel_http_get(url.c_str(), &out);
    if (body) *body = out.data ? std::string(out.data, out.len) : std::string();
    kel_buf_free(&out);
    return rc;
  }

  // A request that the server answers normally.
  void expect_usable() {
    std::string body;
    EXPECT_EQ(get("/api/AAA/IsMovie?imdbId=tt1", &body), KELMCAT_OK) << kelmcat_last_error();
    EXPECT_EQ(body, "true");
  }
};

// Everything a host can read after a scan.
struct Outcome {
  int32_t rc;
  std::vector<Res> results;
  std::vector<int64_t> stats;
  std::map<std::string, std::string> vault;
  std::string json, last_error, last_url;
  int32_t last_http;
  bool operator==(const Outcome &o) const {
    return rc == o.rc && results == o.results && stats == o.stats && vault == o.vault &&
           json == o.json && last_error == o.last_error && last_url == o.last_url &&
           last_http == o.last_http;
  }
};

std::ostream &operator<<(std::ostream &os, const Outcome &o) {
  return os << "rc " << o.rc << " results " << o.results.size() << " json " << o.json << " error "
            << o.last_error << " url " << o.last_url;
}

Outcome outcome(int32_t rc, TestVault &v) {
  kelmcat_scan_stats s = scantest::stats();
  return {rc,
          scantest::results(),
          {s.walked, s.considered, s.matched, s.unmatched, s.added, s.updated, s.unchanged,
           s.errors, s.depth_max, s.vault_writes, s.matcher_calls},
          v.kv,
          kelmcat_result_json(),
          kelmcat_last_error(),
          kelmcat_last_url(),
          kelmcat_last_http_code()};
}

const char kTree[] = R"({"name":"","children":[
  {"name":"Heat.mkv","size":1},
  {"name":"Show.S01E02.mkv","size":2},
  {"name":"Doc.S02E03.mp4","size":3},
  {"name":"Unknown.avi","size":4},
  {"name":"Sub","children":[{"name":"Alien.mkv","size":5},{"name":"notes.txt","size":6}]}]})";

TEST_F(Curl, ScanGivesWhatTheFakeIOGivesWithTheSameAnswers) {
  const std::string alien_hash = std::to_string(kelmcat_stable_hash_utf8("Sub/Alien.mkv_5"));
  struct Mode {
    const char *name;
    bool add_new_only, correct;
  };
  for (const Mode &m : {Mode{"plain", false, false}, Mode{"add-new-only", true, false},
                        Mode{"correct", false, true}}) {
    SCOPED_TRACE(m.name);
    const std::string corrections = "{\"" + alien_hash + "\":\"tt0090605\"}";
    const std::string find = R"(["Heat.mkv_1"])";
    std::vector<Outcome> got[2];
    for (bool curl : {false, true}) {
      configure(curl);
      load(kTree);
      kelmcat_set_add_new_only(m.add_new_only);
      kelmcat_set_correct_mode(m.correct);
      vault.search_result = {scantest::correction_vault_key("u1", "Sub/Alien.mkv_5"),
                             scantest::correction_vault_key("u1", "Heat.mkv_1")};
      if (curl) {
        srv().script(R"("lookups":{"Heat.mkv":{"imdb":"tt0113277"},)"
                     R"("Show.S01E02.mkv":{"imdb":"tt0903747","tv":true},)"
                     R"("Doc.S02E03.mp4":{"imdb":"tt0200"},"Alien.mkv":{"imdb":"tt0078748"}},)"
                     R"("movies":{"tt0200":false},"find":")" +
                     std::string(R"([\"Heat.mkv_1\"])") + R"(","corrections":"{\")" + alien_hash +
                     R"(\":\"tt0090605\"}")");
      } else {
        kel_fake_set_matcher("Heat.mkv", "tt0113277", 0);
        kel_fake_set_tvshow("Show.S01E02.mkv", "tt0903747");
        kel_fake_set_matcher("Doc.S02E03.mp4", "tt0200", 0);
        kel_fake_set_ismovie("tt0200", 0);
        kel_fake_set_matcher("Alien.mkv", "tt0078748", 0);
        kel_fake_set_indexed(find.c_str());
        kel_fake_set_corrections(corrections.c_str());
      }
      // A first scan, then a rescan over what it stored.
      for (int pass = 0; pass < 2; ++pass) {
        int32_t rc = kelmcat_scan("u1", "c1");
        got[curl].push_back(outcome(rc, vault));
      }
    }
    ASSERT_EQ(got[0].size(), 2u);
    EXPECT_EQ(got[0][0].rc, 0);
    EXPECT_FALSE(got[0][0].results.empty());
    EXPECT_EQ(got[1], got[0]);
  }
}

TEST_F(Curl, FaultsGiveTheirCodeAndMessageAndTheClientStaysUsable) {
  const int refused = closed_port();
  struct Row {
    const char *name;
    std::string script;   // members of the server script
    std::string options;  // further client options
    std::string url;      // path on the test server, or a whole URL
    int code;
    std::string message;  // exact, or a prefix when it ends in '*'
    int http;
    std::string body = "";  // on success
  };
  const std::string wrong = "https://127.0.0.1:" + std::to_string(srv().wrong_host_port());
  const std::vector<Row> rows = {
      {"stalled answer", R"("faults":[{"path":"Slow","action":"stall","ms":5000}])",
       R"("timeout_ms":300)", "/api/lookup?id=Slow", KELMCAT_ERR_TRANSPORT,
       "transport: Operation timed out after *", 0},
      {"closed mid-body", R"("faults":[{"path":"Cut","action":"close_mid_body"}])", "",
       "/api/lookup?id=Cut", KELMCAT_ERR_TRANSPORT,
       "transport: transfer closed with 990 bytes remaining to read", 200},
      {"oversized body with a length",
       R"("faults":[{"path":"Big","action":"oversize","bytes":101}])", R"("max_body_bytes":100)",
       "/api/lookup?id=Big", KELMCAT_ERR_TRANSPORT, "transport: response larger than 100 bytes",
       200},
      {"oversized chunked body",
       R"("faults":[{"path":"Big","action":"oversize_chunked","bytes":100000}])",
       R"("max_body_bytes":65536)", "/api/lookup?id=Big", KELMCAT_ERR_TRANSPORT,
       "transport: response larger than 65536 bytes", 200},
      {"body at the limit", R"("faults":[{"path":"Big","action":"oversize","bytes":100}])",
       R"("max_body_bytes":100)", "/api/lookup?id=Big", KELMCAT_OK, "", 200, std::string(100, 'y')},
      {"body read to its first NUL",
       R"("faults":[{"path":"Nul","action":"body","status":201,"text":"ab\u0000cd"}])", "",
       "/api/lookup?id=Nul", KELMCAT_OK, "", 201, "ab"},
      {"redirect", R"("faults":[{"path":"Moved","action":"redirect"}])", "", "/api/lookup?id=Moved",
       KELMCAT_ERR_HTTP, "", 302},
      {"server error", R"("faults":[{"path":"Down","action":"status","status":503}])", "",
       "/api/lookup?id=Down", KELMCAT_ERR_MATCHER_DOWN, "", 503},
      {"certificate for another host", "", "", wrong + "/api/lookup?id=Heat", KELMCAT_ERR_TRANSPORT,
       "transport: SSL: no alternative certificate subject name matches target host name "
       "'127.0.0.1'",
       0},
      {"refused connection", "", "",
       "https://127.0.0.1:" + std::to_string(refused) + "/api/lookup?id=Heat",
       KELMCAT_ERR_TRANSPORT,
       "transport: Failed to connect to 127.0.0.1 port " + std::to_string(refused) + "*", 0},
      {"unresolvable name", "", "", "https://no-such-host.invalid/api/lookup?id=Heat",
       KELMCAT_ERR_TRANSPORT, "transport: Could not resolve host: no-such-host.invalid", 0},
      {"unreachable proxy", "", R"("proxy":"http://127.0.0.1:)" + std::to_string(refused) + "\"",
       "/api/lookup?id=Heat", KELMCAT_ERR_TRANSPORT,
       "transport: Failed to connect to 127.0.0.1 port " + std::to_string(refused) + "*", 0},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.name);
    srv().script(r.script);
    set_options(r.options);
    kel_set_error("before");
    std::string body;
    EXPECT_EQ(get(r.url, &body), r.code);
    EXPECT_EQ(body, r.body);
    std::string msg = r.code == KELMCAT_ERR_TRANSPORT ? r.message : "before";
    if (!msg.empty() && msg.back() == '*')
      EXPECT_EQ(std::string(kelmcat_last_error()).substr(0, msg.size() - 1),
                msg.substr(0, msg.size() - 1));
    else
      EXPECT_EQ(kelmcat_last_error(), msg);
    EXPECT_EQ(kelmcat_last_http_code(), r.http);
    srv().script("");
    set_options("");
    expect_usable();
  }
  // The redirect was not followed.
  EXPECT_EQ(srv().stat_list("paths").find("/moved"), std::string::npos);
}

TEST_F(Curl, SystemStoreByDefaultAndNothingFromTheEnvironment) {
  // Without the test CA the server's certificate is not trusted.
  ASSERT_EQ(kelmcat_set_http_options("{}"), 0);
  EXPECT_EQ(get("/api/AAA/IsMovie?imdbId=tt1"), KELMCAT_ERR_TRANSPORT);
  EXPECT_STREQ(kelmcat_last_error(),
               "transport: SSL certificate problem: unable to get local issuer certificate");

  // Proxy variables are not the library's configuration.
  const std::string dead = "http://127.0.0.1:" + std::to_string(closed_port());
  for (const char *var : {"https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
    setenv(var, dead.c_str(), 1);
  set_options("");
  expect_usable();
  for (const char *var : {"https_proxy", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"}) unsetenv(var);

  // The user agent: the library's own, or the host's.
  set_options(R"("user_agent":"host-app/7")");
  expect_usable();
  std::string agents = srv().stat_list("user_agents");
  EXPECT_NE(agents.find("host-app/7\n"), std::string::npos);
  EXPECT_NE(agents.find("kelmcat/"), std::string::npos);
}

TEST_F(Curl, ThousandFileScanReusesItsConnections) {
  const char *ext[] = {".bin"};
  ASSERT_EQ(kelmcat_set_video_extensions(ext, 1), 0);
  load(R"({"name":"","children":[],"generate":[{"path":"/flat","count":1000,"size":1}]})");
  srv().script(R"("lookup_default":{"imdb":"tt0000001"})");
  // One at a time: one connection; with requests in flight: at most one per
  // request in flight, and the rescan opens none.
  for (int max : {1, 16}) {
    SCOPED_TRACE(max);
    kel_curl_reset();
    vault.reset();
    set_options("\"max_concurrent\":" + std::to_string(max));
    srv().reset_stats();
    ASSERT_EQ(kelmcat_scan("u1", "c1"), 0) << kelmcat_last_error();
    EXPECT_EQ(scantest::stats().added, 1000);
    EXPECT_EQ(scantest::warnings(), std::vector<std::string>{});
    EXPECT_EQ(srv().stat("requests"), 2001);  // lookup and movie check per file, notification
    int64_t opened = srv().stat("connections");
    EXPECT_GE(opened, 1);
    EXPECT_LE(opened, max == 1 ? 1 : max + 1);  // the notification may take one more
    ASSERT_EQ(kelmcat_scan("u1", "c1"), 0) << kelmcat_last_error();
    EXPECT_EQ(scantest::stats().unchanged, 1000);
    EXPECT_EQ(srv().stat("connections"), opened);
  }
}

TEST_F(Curl, CancelStopsAStalledRequestPromptly) {
  struct Row {
    const char *name;
    const char *stalled;  // request target part that stalls
    bool correct_mode;
    size_t results;  // results left by the files before the stalled one
  };
  for (const Row &r : {Row{"lookup", "id=Stuck", false, 1},
                       Row{"corrections", "/api/MediaIndex/Corrections", true, 0}}) {
    SCOPED_TRACE(r.name);
    configure(true);
    // One request at a time, so that the file before the stalled one has its
    // result when the cancel comes (curl_ahead_test cancels with requests
    // made ahead).
    set_options("\"max_concurrent\":1");
    load(R"({"name":"","children":[{"name":"a.mkv","size":1},{"name":"Stuck.mkv","size":2},)"
         R"({"name":"z.mkv","size":3}]})");
    kelmcat_set_correct_mode(r.correct_mode);
    vault.search_result = {scantest::correction_vault_key("u1", "a.mkv_1")};
    srv().script(std::string(R"("lookup_default":{"imdb":"tt1"},"faults":[{"path":")") + r.stalled +
                 R"(","action":"stall","ms":20000}])");
    srv().reset_stats();
    httptest::CancelledScan c = httptest::scan_cancelled_when_stalled(srv(), "u1", "c1");
    EXPECT_EQ(c.stalled, 1);
    std::printf("[ measured ] %s: scan returned %.1f ms after kelmcat_cancel\n", r.name, c.ms);
    EXPECT_LT(c.ms, 1000.0);
    EXPECT_EQ(c.rc, KELMCAT_ERR_CANCELLED);
    EXPECT_STREQ(kelmcat_last_error(), "scan cancelled");
    EXPECT_EQ(scantest::results().size(), r.results);
    EXPECT_EQ(scantest::stats().errors, 0);
  }
  // The next scans after shutdown run normally.
  configure(true);
  load(R"({"name":"","children":[{"name":"a.mkv","size":1}]})");
  srv().script(R"("lookup_default":{"imdb":"tt1"})");
  EXPECT_EQ(kelmcat_scan("u1", "c1"), 0);
}

TEST_F(Curl, CancelLeavesRequestsOutsideAScanAlone) {
  kelmcat_cancel();
  EXPECT_EQ(kelmcat_notify_scan_complete("u1", "c1"), 0) << kelmcat_last_error();
  expect_usable();
}

TEST_F(Curl, NotifyRaceWithScan) {
  const char *ext[] = {".bin"};
  ASSERT_EQ(kelmcat_set_video_extensions(ext, 1), 0);
  load(R"({"name":"","children":[],"generate":[{"path":"/flat","count":200,"size":1}]})");
  // Slow lookups, so that the notifications meet the scan's requests.
  srv().script(R"("lookup_default":{"imdb":"tt0000001"},)"
               R"("faults":[{"path":"/api/lookup","action":"delay","ms":2}])");
  srv().reset_stats();
  int32_t rc = -100;
  std::thread scan([&] { rc = kelmcat_scan("u1", "c1"); });
  int ok = 0;
  for (int i = 0; i < 20; ++i) ok += kelmcat_notify_scan_complete("u1", "c1") == 0;
  scan.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(ok, 20);
  EXPECT_EQ(scantest::stats().added, 200);
  // The scan's (16 by default) and the notifications' own.
  EXPECT_LE(srv().stat("connections"), 17);
}

}  // namespace
