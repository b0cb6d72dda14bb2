// Built-in HTTP client benchmark (not run by the tests), against the loopback
// HTTPS test server: the same 2,000 title lookups with connection reuse and
// with a new connection per request (the server closes each connection after
// its answer), then a first scan of 1,000 files through the client.
// Usage: http_bench [lookups] (default 2000).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

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

void setup(httptest::Server &srv) {
  kelmcat_shutdown();
  std::string base = srv.base();
  std::string options = "{\"ca_file\":\"" + srv.ca() + "\"}";
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

void first_scan(httptest::Server &srv, long files) {
  setup(srv);
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

}  // namespace

int main(int argc, char **argv) {
  long n = argc > 1 ? std::atol(argv[1]) : 2000;
  httptest::Server srv;
  std::string why = srv.start();
  if (!why.empty()) {
    std::fprintf(stderr, "%s\n", why.c_str());
    return 1;
  }
  lookups(srv, "reused connection", false, n);
  lookups(srv, "new connection per request", true, n);
  first_scan(srv, 1000);
  kelmcat_shutdown();
  return 0;
}
