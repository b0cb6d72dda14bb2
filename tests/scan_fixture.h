// Shared by the scan tests: a configurable in-memory vault, a recording host
// IO, a log collector, and a fixture that sets the library up for whole scans
// over the fake tree backend.
#ifndef KELMCAT_TESTS_SCAN_FIXTURE_H
#define KELMCAT_TESTS_SCAN_FIXTURE_H

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/keys.h"
#include "fake_store_pairs.h"
#include "kelmcat.h"

namespace scantest {

// A vault over a std::map; every answer can be forced.
struct TestVault {
  std::mutex mu;  // the scan thread and a test thread may both look
  std::map<std::string, std::string> kv;
  std::vector<std::string> search_result;  // keys search_keys answers
  int32_t search_rc = 0;
  int32_t get_rc = 0;                           // non-zero: every get answers this
  int32_t set_rc = 0;                           // non-zero: every set answers this
  bool empty_value = false;                     // get answers 0 with an empty text
  std::string fail_gets_containing;             // non-empty: gets of such keys answer -1
  std::function<void(const char *key)> on_get;  // runs on the scan thread, unlocked
  int gets = 0, sets = 0, searches = 0;
  std::vector<std::pair<std::string, std::string>> writes;  // stored writes, in order
  std::map<std::string, int> reads;                         // gets of each key

  static int32_t get(void *ctx, const char *key, char **value) {
    auto *v = static_cast<TestVault *>(ctx);
    if (v->on_get) v->on_get(key);
    std::lock_guard<std::mutex> g(v->mu);
    v->gets++;
    v->reads[key]++;
    if (v->get_rc) return v->get_rc;
    if (!v->fail_gets_containing.empty() && std::strstr(key, v->fail_gets_containing.c_str()))
      return -1;
    if (v->empty_value) {
      *value = strdup("");
      return 0;
    }
    auto it = v->kv.find(key);
    if (it == v->kv.end()) return 1;
    *value = strdup(it->second.c_str());
    return 0;
  }
  static int32_t set(void *ctx, const char *key, const char *value) {
    auto *v = static_cast<TestVault *>(ctx);
    std::lock_guard<std::mutex> g(v->mu);
    v->sets++;
    if (v->set_rc) return v->set_rc;
    v->writes.emplace_back(key, value);
    v->kv[key] = value;
    return 0;
  }
  static int32_t search(void *ctx, const char *, char ***keys, size_t *count) {
    auto *v = static_cast<TestVault *>(ctx);
    std::lock_guard<std::mutex> g(v->mu);
    v->searches++;
    if (!v->search_result.empty()) {
      *keys = static_cast<char **>(malloc(v->search_result.size() * sizeof(char *)));
      for (size_t i = 0; i < v->search_result.size(); ++i)
        (*keys)[i] = strdup(v->search_result[i].c_str());
      *count = v->search_result.size();
    }
    return v->search_rc;
  }
  void reset() {
    std::lock_guard<std::mutex> g(mu);
    kv.clear();
    search_result.clear();
    search_rc = get_rc = set_rc = 0;
    empty_value = false;
    fail_gets_containing.clear();
    on_get = nullptr;
    gets = sets = searches = 0;
    writes.clear();
    reads.clear();
  }
  kelmcat_vault table() {
    kelmcat_vault t{};
    t.ctx = this;
    t.get = &TestVault::get;
    t.set = &TestVault::set;
    t.search_keys = &TestVault::search;
    return t;
  }
  size_t writes_under(const std::string &prefix) {
    size_t n = 0;
    for (auto &kv_pair : kv)
      if (kv_pair.first.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
  }
};

// A host IO that plays the three services: every lookup name n is answered
// with the id "tt-n" (a TV show when n begins with "tv"), every movie check
// with "true", the queue with queue_status. A lookup of the gate name blocks
// until release() is called, after signalling entered.
struct HostIO {
  kelmcat_io table{};
  std::mutex mu;
  std::condition_variable cv;
  std::string gate;
  bool entered = false, released = false;
  std::vector<std::string> urls;
  int32_t queue_status = 200;
  bool queue_transport_failure = false;

  HostIO() {
    table.ctx = this;
    table.http_get = &HostIO::get;
    table.release = &HostIO::release_text;
  }
  static void release_text(void *, void *p) { free(p); }
  static int32_t get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
    auto *io = static_cast<HostIO *>(ctx);
    std::unique_lock<std::mutex> g(io->mu);
    io->urls.push_back(url);
    std::string u = url;
    if (u.find("/api/AAA/SendMessageQueue?") != std::string::npos) {
      if (io->queue_transport_failure) {
        *error = strdup("queue unreachable");
        return -1;
      }
      *status = io->queue_status;
      return 0;
    }
    *status = 200;
    if (u.find("/api/AAA/IsMovie?") != std::string::npos) {
      *body = strdup("true");
      return 0;
    }
    if (u.find("/api/MediaIndex/Corrections") != std::string::npos) {
      *body = strdup("{}");
      return 0;
    }
    if (u.find("/api/MediaIndex/Find?") != std::string::npos) {
      *body = strdup("[]");
      return 0;
    }
    size_t at = u.find("id=");
    std::string name = u.substr(at + 3, u.find('&', at) - at - 3);
    if (!io->gate.empty() && name == io->gate) {
      io->entered = true;
      io->cv.notify_all();
      io->cv.wait(g, [io] { return io->released; });
    }
    bool tv = name.compare(0, 2, "tv") == 0;
    std::string b = "{\"imDbId\":\"tt-" + name + "\",\"isTVShow\":" + (tv ? "true" : "false") + "}";
    *body = strdup(b.c_str());
    return 0;
  }
  void wait_entered() {
    std::unique_lock<std::mutex> g(mu);
    cv.wait(g, [this] { return entered; });
  }
  void release() {
    std::lock_guard<std::mutex> g(mu);
    released = true;
    cv.notify_all();
  }
  size_t count_containing(const std::string &part) {
    std::lock_guard<std::mutex> g(mu);
    size_t n = 0;
    for (auto &x : urls)
      if (x.find(part) != std::string::npos) ++n;
    return n;
  }
};

// Collects log lines.
struct LogLines {
  std::mutex mu;
  std::vector<std::string> lines;
  static void hook(const char *line, void *user) {
    auto *l = static_cast<LogLines *>(user);
    std::lock_guard<std::mutex> g(l->mu);
    l->lines.push_back(line);
  }
  bool has_prefix(const std::string &p) {
    std::lock_guard<std::mutex> g(mu);
    for (auto &s : lines)
      if (s.compare(0, p.size(), p) == 0) return true;
    return false;
  }
};

inline std::string matched_vault_key(const std::string &user, const std::string &item_key) {
  char k[32];
  kelmcat_vault_key(item_key.c_str(), k, sizeof k);
  return std::string(KEL_VAULT_NAMESPACE "_") + user + "_" + k;
}

inline std::string correction_vault_key(const std::string &user, const std::string &item_key) {
  char k[32];
  kelmcat_correction_key(item_key.c_str(), k, sizeof k);
  return std::string(KEL_VAULT_NAMESPACE "_") + user + "_" + k;
}

inline std::vector<std::string> warnings() {
  std::vector<std::string> w;
  for (int32_t i = 0; i < kelmcat_warning_count(); ++i) w.push_back(kelmcat_warning(i));
  return w;
}

inline bool has_warning(const std::string &text) {
  for (auto &w : warnings())
    if (w == text) return true;
  return false;
}

inline kelmcat_scan_stats stats() {
  kelmcat_scan_stats s{};
  kelmcat_stats(&s);
  return s;
}

// One result, for comparisons.
struct Res {
  std::string key, name, imdb;
  int32_t outcome, season, episode;
  bool operator==(const Res &o) const {
    return key == o.key && name == o.name && imdb == o.imdb && outcome == o.outcome &&
           season == o.season && episode == o.episode;
  }
};

inline std::ostream &operator<<(std::ostream &os, const Res &r) {
  return os << "{" << r.key << ", " << r.name << ", " << r.imdb << ", " << r.outcome << ", "
            << r.season << ", " << r.episode << "}";
}

inline std::vector<Res> results() {
  std::vector<Res> v;
  for (int32_t i = 0; i < kelmcat_result_count(); ++i)
    v.push_back({kelmcat_result_key(i), kelmcat_result_path(i), kelmcat_result_imdb_id(i),
                 kelmcat_result_outcome(i), kelmcat_result_season(i), kelmcat_result_episode(i)});
  return v;
}

// Fakes selected, a matcher host, the fake backend, a test vault, a queue
// credential and armed writes: ready for kelmcat_scan("u1", "c1") once a tree
// is loaded.
class ScanTest : public ::testing::Test {
 protected:
  TestVault vault;
  LogLines log;

  void SetUp() override {
    kelmcat_shutdown();
    kel_fake_reset();
    kelffa_fake_set_fault(0, 0);
    kelffa_fake_set_caps(0x0F);
    vault.reset();
    ASSERT_EQ(kelmcat_use_fake(), 0);
    ASSERT_EQ(kelmcat_set_matcher_host("https://match.test"), 0);
    ASSERT_EQ(kelmcat_set_backend("fake", nullptr), 0);
    kelmcat_vault t = vault.table();
    ASSERT_EQ(kelmcat_set_vault(&t), 0);
    ASSERT_EQ(kelmcat_set_queue_credential("secret"), 0);
    ASSERT_EQ(kelmcat_arm_writes(1), 0);
    kelmcat_set_logger(&LogLines::hook, &log);
  }
  void TearDown() override {
    kelmcat_shutdown();
    kel_fake_reset();
    kelffa_fake_set_fault(0, 0);
  }

  void load(const std::string &tree) { ASSERT_EQ(kelmcat_fake_load_tree(tree.c_str()), 0); }
  int32_t scan() { return kelmcat_scan("u1", "c1"); }
};

}  // namespace scantest

#endif
