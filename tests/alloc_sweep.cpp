// The allocation-failure sweep. For each scenario it counts the allocations
// of one operation, then, for every N, forks a child in which allocation N
// fails (malloc, calloc, realloc and operator new alike), and checks that the
// child ends with an outcome the library promises for running out of memory:
// the stated error code, or success with only the losses the library allows
// (a result, a warning or a member of a new record dropped). A child must not
// crash, trip a sanitizer or leak.
//
//   alloc_sweep [scenario...]      every scenario when none is named
//   ALLOC_SWEEP_ONLY=N             run only failing allocation N, in-process
//                                  (for tracing: add ALLOC_FAIL_TRACE=1)
//   ALLOC_SWEEP_JOBS=J             children at a time (2)
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "alloc_fail.h"
#include "core/json.h"
#include "core/keys.h"
#include "fake_store_pairs.h"
#include "kelmcat.h"
#ifndef KELMCAT_NO_CURL
#include "https_server.h"
#endif

#if defined(__SANITIZE_ADDRESS__)
#define SWEEP_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SWEEP_LSAN 1
#endif
#endif
#ifdef SWEEP_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using Store = std::map<std::string, std::string>;

// ---- Observations (made with failures disarmed) -----------------------------

using scantest::fake_store;

struct Result {
  std::string key, imdb;
  int32_t outcome;
};

std::vector<Result> results() {
  std::vector<Result> v;
  for (int32_t i = 0; i < kelmcat_result_count(); ++i)
    v.push_back({kelmcat_result_key(i), kelmcat_result_imdb_id(i), kelmcat_result_outcome(i)});
  return v;
}

std::string matched_vault_key(const std::string &item_key) {
  char k[32];
  kelmcat_vault_key(item_key.c_str(), k, sizeof k);
  return std::string("TALMERON_IMediaKeyVault_u1_") + k;
}

std::string correction_vault_key(const std::string &item_key) {
  char k[32];
  kelmcat_correction_key(item_key.c_str(), k, sizeof k);
  return std::string("TALMERON_IMediaKeyVault_u1_") + k;
}

std::string hash_text(const std::string &item_key) {
  return std::to_string(kelmcat_stable_hash_utf8(item_key.c_str()));
}

// True when got is the record want with some members left out: the same
// members in the same order with the same values, "Key" and "IMDbID" kept.
bool is_record_with_members_left_out(const std::string &got, const std::string &want) {
  kj::Doc g, w;
  if (!g.parse(got) || !w.parse(want) || !g.root().is_obj() || !w.root().is_obj()) return false;
  if (!g.root().get("Key").valid() || !g.root().get("IMDbID").valid()) return false;
  size_t j = 0;
  for (size_t i = 0; i < g.root().size(); ++i) {
    std::string_view k = g.root().key_at(i);
    while (j < w.root().size() && w.root().key_at(j) != k) ++j;
    if (j == w.root().size()) return false;
    kj::Writer a, b;
    a.value(g.root().val_at(i));
    b.value(w.root().val_at(j));
    if (a.text() != b.text()) return false;
    ++j;
  }
  return true;
}

// ---- The scenarios ----------------------------------------------------------

const char *kTree = R"({"name":"","children":[
  {"name":"Films","children":[
    {"name":"A.mkv","size":1000},{"name":"B.mkv","size":1000},
    {"name":"Show S01E02.mkv","size":9},{"name":"readme.txt","size":5}]},
  {"name":"TV","children":[{"name":"Doc 2x05.mkv","size":9,"title":"Doc","year":2001}]}]})";

void must(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "sweep setup failed: %s\n", what);
    std::exit(70);
  }
}

void base_setup() {
  kelmcat_shutdown();
  kel_fake_reset();
  must(kelmcat_use_fake() == 0, "use fake");
  must(kelmcat_set_matcher_host("https://match.test") == 0, "matcher host");
  must(kelmcat_set_backend("fake", "{\"page_size\":2}") == 0, "backend");
  must(kelmcat_set_vault(kel_fake_vault()) == 0, "vault");
  must(kelmcat_set_queue_credential("secret") == 0, "credential");
  must(kelmcat_arm_writes(1) == 0, "arm");
  must(kelmcat_fake_load_tree(kTree) == 0, "tree");
  kel_fake_set_matcher("A.mkv", "tt1", 0);
  kel_fake_set_matcher("B.mkv", "tt2", 0);
  kel_fake_set_tvshow("Show S01E02.mkv", "tt6");
  kel_fake_set_matcher("Doc 2001", "tt7", 0);
  kel_fake_set_ismovie("tt7", 0);
}

int32_t scan() {
  return kelmcat_scan("u1", "c1");
}

void scanned_setup() {
  base_setup();
  must(scan() == 0, "first scan");
}

void add_new_only_setup() {
  base_setup();
  must(kelmcat_set_add_new_only(1) == 0, "add-new-only");
  must(kel_fake_set_indexed("[\"Films/A.mkv_1000\",\"other\"]") == 0, "indexed");
}

void correct_mode_setup() {
  base_setup();
  must(kelmcat_set_correct_mode(1) == 0, "correct mode");
  // A: a stored correction; B: only a correction id in the vault, its id
  // comes from the loaded corrections.
  must(kel_fake_vault_seed(correction_vault_key("Films/A.mkv_1000").c_str(), "tt0099") == 0,
       "seed A");
  must(kel_fake_vault_seed(correction_vault_key("Films/B.mkv_1000").c_str(), "") == 0, "seed B");
  std::string corr = "{\"" + hash_text("Films/B.mkv_1000") + "\":\"tt0042\",\"x\":null}";
  must(kel_fake_set_corrections(corr.c_str()) == 0, "corrections");
}

#ifndef KELMCAT_NO_CURL
// The loopback HTTPS server of the look-ahead scenario, answering as the fake
// IO is scripted in base_setup. Started by the first setup, in the parent
// process; the children reach it over the network.
httptest::Server *s_server = nullptr;

// The first scan through the built-in client with requests in flight ahead.
void ahead_setup() {
  if (!s_server) {
    s_server = new httptest::Server;
    must(s_server->start().empty(), "https server");
    s_server->script(R"("lookups":{"A.mkv":{"imdb":"tt1"},"B.mkv":{"imdb":"tt2"},)"
                     R"("Show S01E02.mkv":{"imdb":"tt6","tv":true},"Doc 2001":{"imdb":"tt7"}},)"
                     R"("movies":{"tt7":false})");
  }
  base_setup();
  must(kelmcat_use_curl() == 0, "use curl");
  std::string base = s_server->base();
  must(kelmcat_set_service_bases(base.c_str(), base.c_str()) == 0, "bases");
  must(kelmcat_set_matcher_host(base.c_str()) == 0, "matcher host");
  std::string options = "{\"ca_file\":\"" + s_server->ca() + "\",\"max_concurrent\":4}";
  must(kelmcat_set_http_options(options.c_str()) == 0, "http options");
}
#endif

const char *kGenerateTree = R"({"name":"","children":[{"name":"G","children":[]}],
  "generate":[{"path":"/G","count":40,"folders":3,"size":7},{"path":"/G/d000001","count":5}]})";

void tree_setup() {
  kelmcat_shutdown();
  kel_fake_reset();
  must(kelffa_fake_load_tree(R"({"name":""})") == 0, "small tree");
}

void listed_setup() {
  base_setup();
  must(kelffa_open("fake", nullptr) == 0, "open");
  must(kelffa_list_all("/Films") == 0, "list");
}

std::string listing() {
  std::string s;
  for (int32_t i = 0; i < kelffa_count(); ++i) {
    const kelffa_item *it = kelffa_item_at(i);
    s += std::string(kelffa_item_name(it)) + "|" + kelffa_item_path(it) + "|" +
         std::to_string(kelffa_item_size(it)) + "\n";
  }
  return s;
}

// What a first scan without modes leaves: in correct mode, a correction that
// cannot be read from the vault falls back to the matching service.
std::string s_plain_scan;

struct Scenario {
  const char *name;
  void (*setup)();
  int32_t (*op)();
  // The observable state after the operation, made unarmed.
  std::string (*observe)();
  // Empty when rc and what was observed are an allowed outcome, given the
  // clean run's code and observation and what was observed before the run.
  std::string (*judge)(int32_t rc, const std::string &before, const std::string &after,
                       int32_t ref_rc, const std::string &ref_after);
};

// The store and the results after a scan, one line each.
std::string observe_scan() {
  std::string s;
  for (auto &kv : fake_store()) s += "S\t" + kv.first + "\t" + kv.second + "\n";
  for (auto &r : results())
    s += "R\t" + r.key + "\t" + r.imdb + "\t" + std::to_string(r.outcome) + "\n";
  return s;
}

struct ScanView {
  Store store;
  std::vector<Result> res;
};

ScanView parse_scan(const std::string &text) {
  ScanView v;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end - at);
    at = end + 1;
    std::vector<std::string> f;
    size_t p = 0;
    for (;;) {
      size_t t = line.find('\t', p);
      f.push_back(line.substr(p, t == std::string::npos ? std::string::npos : t - p));
      if (t == std::string::npos) break;
      p = t + 1;
    }
    if (f[0] == "S" && f.size() == 3) v.store[f[1]] = f[2];
    if (f[0] == "R" && f.size() == 4) v.res.push_back({f[1], f[2], std::atoi(f[3].c_str())});
  }
  return v;
}

// A scan that ran out of memory: it succeeded or ended with a code that a
// failed allocation leads to (out of memory; a backend that could not open or
// list; a vault read that failed; a preload answer that the fake IO could not
// copy, which reads as an empty body),
// and every record in the store is the clean run's, the one stored before, or
// a new record with members left out. Every written result has its record.
std::string judge_scan(int32_t rc, const std::string &before, const std::string &after, int32_t,
                       const std::string &ref_after) {
  static const std::set<int32_t> allowed = {KELMCAT_OK, KELMCAT_ERR_OOM, KELMCAT_ERR_NO_STORAGE,
                                            KELMCAT_ERR_VAULT, KELMCAT_ERR_HTTP};
  if (!allowed.count(rc)) return "scan returned " + std::to_string(rc);
  ScanView b = parse_scan(before), a = parse_scan(after), r = parse_scan(ref_after),
           plain = parse_scan(s_plain_scan);
  for (auto &kv : a.store) {
    auto was = b.store.find(kv.first);
    if (was != b.store.end() && was->second == kv.second) continue;
    auto ref = r.store.find(kv.first);
    if (ref == r.store.end()) return "unexpected vault key " + kv.first + " = " + kv.second;
    if (ref->second == kv.second) continue;
    auto alt = plain.store.find(kv.first);
    if (was == b.store.end() && alt != plain.store.end() && alt->second == kv.second) continue;
    // Only a new record may lose members; a stored one must not be damaged.
    if (was == b.store.end() && is_record_with_members_left_out(kv.second, ref->second)) continue;
    return "record " + kv.first + " = " + kv.second + ", clean run wrote " + ref->second;
  }
  for (auto &kv : b.store)
    if (!a.store.count(kv.first)) return "vault key lost: " + kv.first;
  for (auto &res : a.res) {
    if (res.outcome != KELMCAT_OUTCOME_ADDED && res.outcome != KELMCAT_OUTCOME_UPDATED &&
        res.outcome != KELMCAT_OUTCOME_UNCHANGED)
      continue;
    auto rec = a.store.find(matched_vault_key(res.key));
    if (rec == a.store.end()) return "result without a record: " + res.key;
    if (rec->second.find("\"IMDbID\":\"" + res.imdb + "\"") == std::string::npos)
      return "result id " + res.imdb + " not in its record " + rec->second;
  }
  return "";
}

#ifndef KELMCAT_NO_CURL
// Through the built-in client, an answer that could not be kept is a failed
// exchange ("transport: out of memory"), which ends a scan as the service's
// failure would.
std::string judge_ahead_scan(int32_t rc, const std::string &before, const std::string &after,
                             int32_t ref_rc, const std::string &ref_after) {
  if (rc == KELMCAT_ERR_MATCHER_DOWN &&
      std::string(kelmcat_last_error()) == "transport: out of memory")
    rc = KELMCAT_ERR_OOM;
  return judge_scan(rc, before, after, ref_rc, ref_after);
}
#endif

std::string judge_same_or(int32_t rc, const std::string &after, int32_t ref_rc,
                          const std::string &ref_after, std::set<int32_t> oom_codes) {
  if (rc == ref_rc) {
    if (after != ref_after) return "success with another outcome:\n" + after;
    return "";
  }
  if (!oom_codes.count(rc)) return "returned " + std::to_string(rc);
  return "";
}

// Out of memory while loading: no code but KELFFA_ERR_OOM; a load that
// succeeds gives the whole tree.
std::string judge_tree(int32_t rc, const std::string &, const std::string &after, int32_t ref_rc,
                       const std::string &ref_after) {
  return judge_same_or(rc, after, ref_rc, ref_after, {KELFFA_ERR_OOM});
}

std::string observe_tree() {
  if (kelffa_open("fake", nullptr) != 0) return "open failed";
  std::string s;
  for (const char *folder : {"/G", "/G/d000001"}) {
    if (kelffa_list_all(folder) != 0) return s + "list failed";
    s += listing();
  }
  kelffa_close();
  return s;
}

int32_t op_load_tree() {
  return kelffa_fake_load_tree(kGenerateTree);
}

// The listing's own document, decoded back into the listing.
int32_t op_listing_round_trip() {
  const char *doc = kelffa_result_json();
  if (std::strcmp(doc, "{}") == 0) return -100;  // the document could not be written
  return kelffa_decode(doc);
}

std::string judge_listing(int32_t rc, const std::string &, const std::string &after, int32_t ref_rc,
                          const std::string &ref_after) {
  return judge_same_or(rc, after, ref_rc, ref_after, {-100, KELFFA_ERR_OOM});
}

int32_t op_result_doc() {
  const char *doc = kelmcat_result_json();
  return *doc ? 0 : -100;
}

std::string observe_doc() {
  return kelmcat_result_json();
}

std::string judge_doc(int32_t rc, const std::string &, const std::string &after, int32_t ref_rc,
                      const std::string &ref_after) {
  // The operation's own text was empty or whole; rebuilt unarmed, it is whole.
  return judge_same_or(rc, after, ref_rc, ref_after, {-100});
}

int32_t op_set_correction() {
  return kelmcat_set_correction("Films/A.mkv_1000", "tt0777");
}

std::string observe_store() {
  std::string s;
  for (auto &kv : fake_store()) s += kv.first + "\t" + kv.second + "\n";
  return s;
}

// Stored whole, or refused with the vault untouched.
std::string judge_correction(int32_t rc, const std::string &before, const std::string &after,
                             int32_t ref_rc, const std::string &ref_after) {
  if (rc == ref_rc) return after == ref_after ? "" : "stored:\n" + after;
  if (rc != KELMCAT_ERR_VAULT && rc != KELMCAT_ERR_OOM) return "returned " + std::to_string(rc);
  return after == before ? "" : "vault changed by a refused write:\n" + after;
}

const Scenario kScenarios[] = {
    {"first_scan", base_setup, scan, observe_scan, judge_scan},
    {"unchanged_rescan", scanned_setup, scan, observe_scan, judge_scan},
    {"add_new_only", add_new_only_setup, scan, observe_scan, judge_scan},
    {"correct_mode", correct_mode_setup, scan, observe_scan, judge_scan},
#ifndef KELMCAT_NO_CURL
    {"look_ahead", ahead_setup, scan, observe_scan, judge_ahead_scan},
#endif
    {"tree_generate", tree_setup, op_load_tree, observe_tree, judge_tree},
    {"listing_round_trip", listed_setup, op_listing_round_trip, listing, judge_listing},
    {"result_document", scanned_setup, op_result_doc, observe_doc, judge_doc},
    {"set_correction", scanned_setup, op_set_correction, observe_store, judge_correction},
};

void teardown() {
  kelmcat_shutdown();
  kel_fake_reset();
  kelffa_reset();
}

// One run with allocation n failing (0: none): setup, the armed operation,
// the judgement, teardown and a leak check. Returns the process exit code.
int run_child(const Scenario &s, uint64_t n, int32_t ref_rc, const std::string &ref_after) {
  s.setup();
  std::string before = s.observe();
  alloc_fail::arm(n);
  int32_t rc = s.op();
  alloc_fail::disarm();
  std::string after = s.observe();
  if (std::getenv("ALLOC_SWEEP_ONLY"))
    std::printf("%s, allocation %llu: returned %d\n", s.name, static_cast<unsigned long long>(n),
                rc);
  std::string verdict = s.judge(rc, before, after, ref_rc, ref_after);
  teardown();
  if (!verdict.empty()) {
    std::fprintf(stderr, "%s, allocation %llu: %s\n", s.name, static_cast<unsigned long long>(n),
                 verdict.c_str());
    return 1;
  }
#ifdef SWEEP_LSAN
  if (__lsan_do_recoverable_leak_check() != 0) {
    std::fprintf(stderr, "%s, allocation %llu: leak\n", s.name, static_cast<unsigned long long>(n));
    return 2;
  }
#endif
  return 0;
}

bool sweep(const Scenario &s, uint64_t only, size_t jobs) {
  // The clean run, in this process: its code, what it leaves and its count.
  s.setup();
  alloc_fail::arm(0);
  int32_t ref_rc = s.op();
  alloc_fail::disarm();
  uint64_t total = alloc_fail::count();
  std::string ref_after = s.observe();
  teardown();
  if (only) return run_child(s, only, ref_rc, ref_after) == 0;

  // Children run jobs at a time; each reports through its exit status.
  uint64_t bad = 0;
  std::map<pid_t, uint64_t> running;
  auto reap = [&] {
    int status = 0;
    pid_t pid = waitpid(-1, &status, 0);
    if (pid <= 0) return;
    uint64_t n = running[pid];
    running.erase(pid);
    if (WIFSIGNALED(status)) {
      std::fprintf(stderr, "%s, allocation %llu: killed by signal %d\n", s.name,
                   static_cast<unsigned long long>(n), WTERMSIG(status));
      ++bad;
    } else if (WEXITSTATUS(status) != 0) {
      if (WEXITSTATUS(status) > 2)
        std::fprintf(stderr, "%s, allocation %llu: exit %d\n", s.name,
                     static_cast<unsigned long long>(n), WEXITSTATUS(status));
      ++bad;
    }
  };
  for (uint64_t n = 1; n <= total; ++n) {
    while (running.size() >= jobs) reap();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
      std::perror("fork");
      return false;
    }
    if (pid == 0) _exit(run_child(s, n, ref_rc, ref_after));
    running[pid] = n;
  }
  while (!running.empty()) reap();
  std::printf("%-20s %6llu allocations %6llu runs %6llu failed\n", s.name,
              static_cast<unsigned long long>(total), static_cast<unsigned long long>(total),
              static_cast<unsigned long long>(bad));
  return bad == 0;
}

}  // namespace

int main(int argc, char **argv) {
  const char *only_env = std::getenv("ALLOC_SWEEP_ONLY");
  uint64_t only = only_env ? std::strtoull(only_env, nullptr, 10) : 0;
  const char *jobs_env = std::getenv("ALLOC_SWEEP_JOBS");
  size_t jobs = jobs_env ? std::strtoul(jobs_env, nullptr, 10) : 2;
  if (jobs == 0) jobs = 1;
  base_setup();
  scan();
  s_plain_scan = observe_scan();
  teardown();
  bool ok = true;
  int ran = 0;
  for (const Scenario &s : kScenarios) {
    bool chosen = argc < 2;
    for (int i = 1; i < argc; ++i) chosen = chosen || std::strcmp(argv[i], s.name) == 0;
    if (!chosen) continue;
#ifndef KELMCAT_NO_CURL
    if (std::strcmp(s.name, "look_ahead") == 0 &&
        (!httptest::on_path("python3") || !httptest::on_path("openssl"))) {
      std::printf("%-20s skipped: python3 or openssl is not installed\n", s.name);
      continue;
    }
#endif
    ++ran;
    ok = sweep(s, only, jobs) && ok;
  }
  if (ran == 0) {
    std::fprintf(stderr, "no such scenario\n");
    return 2;
  }
  return ok ? 0 : 1;
}
