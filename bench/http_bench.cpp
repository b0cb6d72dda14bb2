// Built-in HTTP client benchmark (not run by the tests), against the loopback
// HTTPS test server: the same 2,000 title lookups with connection reuse and
// with a new connection per request (the server closes each connection after
// its answer), then a first scan of 1,000 files through the client.
// Usage: http_bench [lookups] (default 2000).
//
// With --ahead: the server waits delay_ms before every answer, and a first
// scan of a folder of files and its unchanged rescan run at max_concurrent 1,
// 4, 16 and 64, runs times each (interleaved); the median wall times are
// printed with the speed-up over max_concurrent 1.
// Usage: http_bench --ahead [files] [delay_ms] [runs] (default 2000 10 3).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "https_server.h"
#include "kelmcat.h"
#include "match/matcher.h"

namespace {

using Clock = std::chrono::steady_clock;

// An in-memory vault for the scan.
std::unordered_map<std::string, std::string> g_kv;

int32_t vault_get(void *, const char *key, char **value) {
  auto it = g_kv.find(key);
  if (it == g_kv.end()) return 1;
  *value = strdup(it->second.c_str());
  return 0;
}
int32_t vault_set(void *, const char *key, const char *value) {
  g_kv[key] = value;
  return 0;
}
int32_t vault_search(void *, const char *, char ***, size_t *) {
  return 0;
}

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

void setup(httptest::Server &srv, long max_concurrent = 16) {
  kelmcat_shutdown();
  std::string base = srv.base();
  std::string options = "{\"ca_file\":\"" + srv.ca() +
                        "\",\"max_concurrent\":" + std::to_string(max_concurrent) + "}";
  if (kelmcat_use_curl() != 0 || kelmcat_set_service_bases(base.c_str(), base.c_str()) != 0 ||
      kelmcat_set_matcher_host(base.c_str()) != 0 ||
      kelmcat_set_http_options(options.c_str()) != 0) {
    std::fprintf(stderr, "setup failed: %s\n", kelmcat_last_error());
    std::exit(1);
  }
}

void lookups(httptest::Server &srv, const char *label, bool close_each, long n) {
  setup(srv);
  srv.script(std::string("\"lookup_default\":{\"imdb\":\"tt0000001\"},\"close_each\":") +
             (close_each ? "true" : "false"));
  srv.reset_stats();
  auto t = Clock::now();
  for (long i = 0; i < n; ++i) {
    std::string name = "Title " + std::to_string(i);
    char *id = nullptr;
    if (kel_match_file(name.c_str(), nullptr, &id) != 0) {
      std::fprintf(stderr, "lookup failed: %s\n", kelmcat_last_error());
      std::exit(1);
    }
    std::free(id);
  }
  double s = seconds_since(t);
  std::printf("%-28s %6ld lookups  %7.3f s  %8.0f requests/s  %4lld connections\n", label, n, s,
              static_cast<double>(n) / s, static_cast<long long>(srv.stat("connections")));
}

// The library set up for scans of a generated folder of files.
void scan_setup(httptest::Server &srv, long files, long max_concurrent) {
  setup(srv, max_concurrent);
  kelmcat_vault table{nullptr, nullptr, vault_get, vault_set, vault_search, nullptr};
  const char *ext[] = {".bin"};
  std::string tree = R"({"name":"","children":[],"generate":[{"path":"/flat","count":)" +
                     std::to_string(files) + R"(,"size":1}]})";
  if (kelmcat_fake_load_tree(tree.c_str()) != 0 || kelmcat_set_backend("fake", nullptr) != 0 ||
      kelmcat_set_vault(&table) != 0 || kelmcat_set_video_extensions(ext, 1) != 0 ||
      kelmcat_set_queue_credential("secret") != 0 || kelmcat_arm_writes(1) != 0) {
    std::fprintf(stderr, "scan setup failed: %s\n", kelmcat_last_error());
    std::exit(1);
  }
}

void first_scan(httptest::Server &srv, long files) {
  scan_setup(srv, files, 1);
  srv.script(R"("lookup_default":{"imdb":"tt0000001"})");
  srv.reset_stats();
  auto t = Clock::now();
  int32_t rc = kelmcat_scan("u1", "c1");
  double s = seconds_since(t);
  kelmcat_scan_stats st{};
  kelmcat_stats(&st);
  std::printf(
      "first scan, %ld files        rc %d  %7.3f s  %8.0f files/s  %lld requests, "
      "%lld connections, %lld added\n",
      files, rc, s, static_cast<double>(files) / s, static_cast<long long>(srv.stat("requests")),
      static_cast<long long>(srv.stat("connections")), static_cast<long long>(st.added));
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Wall seconds of one scan; exits when it does not end as expected.
double timed_scan(long files, bool rescan) {
  auto t = Clock::now();
  int32_t rc = kelmcat_scan("u1", "c1");
  double s = seconds_since(t);
  kelmcat_scan_stats st{};
  kelmcat_stats(&st);
  if (rc != 0 || (rescan ? st.unchanged : st.added) != files) {
    std::fprintf(stderr, "scan failed: rc %d, %s\n", rc, kelmcat_last_error());
    std::exit(1);
  }
  return s;
}

void ahead(httptest::Server &srv, long files, long delay_ms, int runs) {
  const long levels[] = {1, 4, 16, 64};
  std::vector<double> first[4], again[4];
  int64_t connections[4] = {};
  for (int run = 0; run < runs; ++run) {
    for (int i = 0; i < 4; ++i) {
      g_kv.clear();
      scan_setup(srv, files, levels[i]);
      srv.script(R"("lookup_default":{"imdb":"tt0000001"},"delay_ms":)" + std::to_string(delay_ms));
      srv.reset_stats();
      first[i].push_back(timed_scan(files, false));
      again[i].push_back(timed_scan(files, true));
      connections[i] = srv.stat("connections");
    }
  }
  std::printf("%ld files, every answer delayed %ld ms, median of %d runs\n", files, delay_ms, runs);
  std::printf("max_concurrent  first scan  speed-up  rescan   speed-up  connections\n");
  for (int i = 0; i < 4; ++i)
    std::printf("%14ld  %8.2f s  %7.1fx  %6.2f s  %7.1fx  %11lld\n", levels[i], median(first[i]),
                median(first[0]) / median(first[i]), median(again[i]),
                median(again[0]) / median(again[i]), static_cast<long long>(connections[i]));
}

}  // namespace

int main(int argc, char **argv) {
  bool look_ahead = argc > 1 && std::strcmp(argv[1], "--ahead") == 0;
  if (look_ahead) {
    --argc;
    ++argv;
  }
  long n = argc > 1 ? std::atol(argv[1]) : 2000;
  httptest::Server srv;
  std::string why = srv.start(look_ahead ? 7200 : 600);
  if (!why.empty()) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  if (look_ahead) {
    long delay = argc > 2 ? std::atol(argv[2]) : 10;
    int runs = argc > 3 ? std::atoi(argv[3]) : 3;
    ahead(srv, n, delay, runs < 1 ? 1 : runs);
    kelmcat_shutdown();
    return 0;
  }
  lookups(srv, "reused connection", false, n);
  lookups(srv, "new connection per request", true, n);
  first_scan(srv, 1000);
  kelmcat_shutdown();
  return 0;
}
