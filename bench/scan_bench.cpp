// Scan benchmark: generated fake trees of 10,000, 100,000 and 1,000,000 files,
// in one folder and spread over folders of 1,000 files. Each tree is scanned
// as a first scan, as a rescan of the unchanged tree, and in add-new-only mode
// with every file indexed; a bare traversal through the folder-access layer
// (kelffa_list_all of every folder) is the baseline.
//
// The IO table answers every lookup with an id and every movie check with
// "true"; the vault is an in-memory hash table, presized for the tree. Prints
// each measurement's time, files per second, time per file, time as a multiple
// of the traversal and peak resident memory, and finally the per-file time of
// the largest trees as a multiple of that of the smallest.
// Usage: scan_bench [max files] (default 1000000).
//
// One case on its own: scan_bench --case FILES flat|nested first|rescan|addnew
// [RUNS] prepares the tree (for rescan and addnew, with a first scan that
// fills the vault; for addnew, every file is indexed), then runs that one scan
// RUNS times (default 5) through bench_measured_scan and prints its
// median wall and CPU time per file and the scan's own peak memory per file. That peak is
// taken in the first run: the earlier scan's results are freed and the free
// heap returned to the system (malloc_trim) before it, and it is the growth of
// the resident set during the scan, less what the benchmark's vault grew by
// (the records it stored). Its instructions per file come from callgrind
// counting only that function (one command line):
//
//   valgrind --tool=callgrind --toggle-collect=bench_measured_scan
//     --callgrind-out-file=cg.out ./build/bench/scan_bench --case 10000 flat rescan 1
//
// whose "Collected" total (or callgrind_annotate cg.out) divided by the files
// is the figure; callgrind_annotate --inclusive=yes shows where it goes.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "kelmcat.h"
#include "match/matcher.h"
#include "results/results_internal.h"
#include "scan/walk_context.h"

namespace {

// ---- IO table --------------------------------------------------------------

std::string g_find_body;  // the keys of every file, for add-new-only mode

char kLookup[] = "{\"imDbId\":\"tt0000001\",\"isTVShow\":false}";
char kTrue[] = "true";
char kEmptyObj[] = "{}";

// The service's API root as the bench sets the matching service.
const char kApi[] = "https://matcher.bench/api/";

// Answers by the part of the URL after its "/api/", telling the requests apart
// by a few bytes, not a search of the whole URL: per file, a title lookup and
// a movie check.
int32_t bench_get(void *, const char *url, char **body, int32_t *status, char **) {
  *status = 200;
  const char *p;
  if (std::strncmp(url, kApi, sizeof kApi - 1) == 0) {
    p = url + sizeof kApi - 1;
  } else {
    const char *api = std::strstr(url, "/api/");
    p = api ? api + 5 : "";
  }
  *body = kLookup;
  if (p[0] == 'A') {
    if (std::strncmp(p, "AAA/IsMovie?", 12) == 0)
      *body = kTrue;
    else if (std::strncmp(p, "AAA/SendMessageQueue?", 21) == 0)
      *body = nullptr;
  } else if (p[0] == 'M') {
    if (std::strncmp(p, "MediaIndex/Find?", 16) == 0)
      *body = const_cast<char *>(g_find_body.c_str());
    else if (std::strncmp(p, "MediaIndex/Corrections", 22) == 0)
      *body = kEmptyObj;
  }
  return 0;
}

void bench_release(void *, void *) {}  // every body is static

const kelmcat_io g_io = {nullptr, bench_get, nullptr, bench_release};

// ---- Vault -----------------------------------------------------------------

// Open addressing over 16-byte slots and records kept in an arena of large
// blocks (the value's length, "key\0value\0"; the key's length in the slot), presized for the tree
// so that it never grows during a scan: a lookup costs a word-wise hash, a slot and a record, as a
// lean host store would, and does not swamp the library's own per-file work. A replaced record's
// bytes stay in the arena until the next reset.
struct Slot {
  const char *rec;  // value length (4 bytes), key, value; null: empty
  uint32_t hash;    // the key hash's low half
  uint32_t klen;
};
constexpr size_t kLenBytes = sizeof(uint32_t);
std::vector<Slot> g_slots;
size_t g_mask = 0;
size_t g_used = 0;

std::vector<char *> g_blocks;  // the arena
size_t g_block_left = 0;       // bytes left in its last block
char *g_block_at = nullptr;    // where the next record goes
size_t g_rec_bytes = 0;        // arena bytes the records took
constexpr size_t kBlockBytes = size_t{4} << 20;

char *arena_take(size_t n) {
  if (n > g_block_left) {
    size_t size = n > kBlockBytes ? n : kBlockBytes;
    char *block = static_cast<char *>(std::malloc(size));
    if (!block) return nullptr;
    g_blocks.push_back(block);
    g_block_at = block;
    g_block_left = size;
  }
  char *at = g_block_at;
  g_block_at += n;
  g_block_left -= n;
  g_rec_bytes += n;
  return at;
}

// 64-bit words mixed multiplicatively, the length and the tail folded in.
uint64_t kv_hash(const char *s, size_t n) {
  const uint64_t k = 0x9E3779B97F4A7C15ULL;
  uint64_t h = n * k;
  for (; n >= 8; s += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, s, 8);
    h = (h ^ w) * k;
    h ^= h >> 29;
  }
  uint64_t tail = 0;
  for (size_t i = 0; i < n; ++i)
    tail |= static_cast<uint64_t>(static_cast<unsigned char>(s[i])) << (8 * i);
  h = (h ^ tail) * k;
  return h ^ (h >> 32);
}

void kv_reset(size_t entries) {
  for (char *b : g_blocks) std::free(b);
  g_blocks.clear();
  g_block_left = 0;
  g_block_at = nullptr;
  g_rec_bytes = 0;
  size_t cap = 1024;
  while (cap < 2 * entries) cap *= 2;
  g_slots.assign(cap, Slot{nullptr, 0, 0});
  g_mask = cap - 1;
  g_used = 0;
}

Slot *kv_find(const char *key, size_t klen, uint64_t h) {
  for (size_t i = h & g_mask;; i = (i + 1) & g_mask) {
    Slot &s = g_slots[i];
    if (!s.rec || (s.hash == static_cast<uint32_t>(h) && s.klen == klen &&
                   std::memcmp(s.rec + kLenBytes, key, klen) == 0))
      return &s;
  }
}

int32_t kv_get(void *, const char *key, char **value) {
  size_t klen = std::strlen(key);
  const Slot *s = kv_find(key, klen, kv_hash(key, klen));
  if (!s->rec) return 1;
  // The library frees the value: a copy of its own.
  uint32_t vlen;
  std::memcpy(&vlen, s->rec, kLenBytes);
  char *copy = static_cast<char *>(std::malloc(vlen + 1));
  if (!copy) return -1;
  std::memcpy(copy, s->rec + kLenBytes + klen + 1, vlen + 1);
  *value = copy;
  return 0;
}

int32_t kv_set(void *, const char *key, const char *value) {
  size_t klen = std::strlen(key), vlen = std::strlen(value);
  uint64_t h = kv_hash(key, klen);
  Slot *s = kv_find(key, klen, h);
  if (!s->rec && 2 * (g_used + 1) > g_slots.size()) return -1;  // full: a write error
  char *rec = arena_take(kLenBytes + klen + vlen + 2);
  if (!rec) return -1;
  uint32_t vlen32 = static_cast<uint32_t>(vlen);
  std::memcpy(rec, &vlen32, kLenBytes);
  std::memcpy(rec + kLenBytes, key, klen + 1);
  std::memcpy(rec + kLenBytes + klen + 1, value, vlen + 1);
  if (!s->rec) ++g_used;
  *s = Slot{rec, static_cast<uint32_t>(h), static_cast<uint32_t>(klen)};
  return 0;
}

int32_t kv_search(void *, const char *, char ***, size_t *) {
  return 0;
}

// ---- Measuring -------------------------------------------------------------

double now_s() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Peak resident memory in MiB since the last reset (VmHWM; reset through
// clear_refs where the kernel allows it, else the process peak).
void reset_peak() {
  if (FILE *f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

double peak_mib() {
  if (FILE *f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f)) {
      long kb;
      if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) {
        std::fclose(f);
        return kb / 1024.0;
      }
    }
    std::fclose(f);
  }
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss / 1024.0;
}

// CPU time of the process: on a loaded machine, steadier than wall time.
double cpu_s() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// ---- Trees -----------------------------------------------------------------

struct Layout {
  const char *name;
  long files;
  long per_folder;  // files per folder (= files for the one-folder layout)
};

// The generate form of the tree, and the list of every file's identity key.
std::string tree_json(const Layout &l, std::string *find_body) {
  std::string gen;
  *find_body = "[";
  long folders = l.files / l.per_folder;
  char buf[128];
  bool first_key = true;
  auto add_keys = [&](const std::string &dir) {
    for (long i = 0; i < l.per_folder; ++i) {
      std::snprintf(buf, sizeof buf, "%s\"%s/f%06ld.bin_1\"", first_key ? "" : ",", dir.c_str(), i);
      first_key = false;
      *find_body += buf;
    }
  };
  if (folders == 1) {
    gen = R"({"path":"/flat","count":)" + std::to_string(l.files) + R"(,"size":1})";
    add_keys("flat");
  } else {
    gen = R"({"path":"/nested","count":)" + std::to_string(folders) + R"(,"folders":)" +
          std::to_string(folders) + "}";
    for (long d = 0; d < folders; ++d) {
      std::snprintf(buf, sizeof buf, "/nested/d%06ld", d);
      gen += std::string(R"(,{"path":")") + buf + R"(","count":)" + std::to_string(l.per_folder) +
             R"(,"size":1})";
      add_keys(buf + 1);
    }
  }
  *find_body += "]";
  return R"({"name":"","children":[],"generate":[)" + gen + "]}";
}

// Bare traversal: kelffa_list_all of every folder, depth first. Returns the
// number of files seen.
long traverse(const std::string &path) {
  if (kelffa_list_all(path.c_str()) != 0) {
    std::fprintf(stderr, "list %s failed: %s\n", path.c_str(), kelffa_last_error());
    std::exit(1);
  }
  std::vector<std::string> subs;
  long files = 0;
  for (int32_t i = 0, n = kelffa_count(); i < n; ++i) {
    const kelffa_item *it = kelffa_item_at(i);
    if (kelffa_item_is_folder(it))
      subs.push_back(kelffa_item_path(it));
    else
      ++files;
  }
  for (auto &s : subs) files += traverse(s);
  return files;
}

struct Timing {
  double seconds = 0;
  double peak = 0;
  std::string detail;
};

Timing timed_scan(const char *what, long files, int32_t expect_outcome) {
  reset_peak();
  double t0 = now_s();
  int32_t rc = kelmcat_scan("bench-user", "bench-config");
  double dt = now_s() - t0;
  if (rc != 0) {
    std::fprintf(stderr, "%s: scan failed (%d): %s\n", what, rc, kelmcat_last_error());
    std::exit(1);
  }
  kelmcat_scan_stats st{};
  kelmcat_stats(&st);
  if (st.walked < files) {
    std::fprintf(stderr, "%s: walked only %lld of %ld files\n", what, (long long)st.walked, files);
    std::exit(1);
  }
  long outcome_count = 0;
  for (int32_t i = 0, n = kelmcat_result_count(); i < n; ++i)
    if (kelmcat_result_outcome(i) == expect_outcome) ++outcome_count;
  char buf[160];
  std::snprintf(buf, sizeof buf, "added=%lld unchanged=%lld errors=%lld results=%d",
                (long long)st.added, (long long)st.unchanged, (long long)st.errors,
                (int)kelmcat_result_count());
  (void)outcome_count;
  return {dt, peak_mib(), buf};
}

// A progress hook as cheap as a host's can be, so that what is measured is
// the library's cost of reporting.
long g_progress_calls = 0;
void on_progress(const kelmcat_progress *p, void *) {
  if (p->walked >= 0) ++g_progress_calls;
}

// Per-file times in microseconds of one layout: traversal, first, rescan,
// add-new-only.
struct PerFile {
  double t[4];
};

void keep_best(Timing *best, const Timing &t) {
  if (best->seconds == 0 || t.seconds < best->seconds) *best = t;
}

void setup(const Layout &l) {
  std::string tree = tree_json(l, &g_find_body);
  if (kelmcat_fake_load_tree(tree.c_str()) != 0) {
    std::fprintf(stderr, "tree: %s\n", kelmcat_last_error());
    std::exit(1);
  }
  tree.clear();
  tree.shrink_to_fit();
  static const char *const ext[] = {".bin"};
  static const kelmcat_vault vault = {nullptr, nullptr, kv_get, kv_set, kv_search, nullptr};
  kelmcat_set_io(&g_io);
  kelmcat_set_matcher_host("https://matcher.bench");
  kelmcat_set_queue_credential("bench");
  kelmcat_set_backend("fake", nullptr);
  kelmcat_set_vault(&vault);
  kelmcat_set_video_extensions(ext, 1);
  kelmcat_arm_writes(1);
}

PerFile run(const Layout &l) {
  kelmcat_shutdown();
  setup(l);

  // Best of three (of two for the largest trees) to damp the noise of a
  // shared machine; later rounds run on a warm heap.
  int rounds = l.files < 1000000 ? 3 : 2;
  Timing base, first, rescan, addnew;
  double preload = 0;
  for (int round = 0; round < rounds; ++round) {
    kv_reset(static_cast<size_t>(l.files) + l.files / 4);  // a presized host store

    reset_peak();
    double t0 = now_s();
    kelffa_open("fake", nullptr);
    long seen = traverse("/");
    kelffa_close();
    Timing tb{now_s() - t0, peak_mib(), ""};
    if (seen != l.files) {
      std::fprintf(stderr, "traversal saw %ld files\n", seen);
      std::exit(1);
    }
    keep_best(&base, tb);
    keep_best(&first, timed_scan("first scan", l.files, KELMCAT_OUTCOME_ADDED));
    keep_best(&rescan, timed_scan("rescan", l.files, KELMCAT_OUTCOME_UNCHANGED));
    // The add-new-only preload on its own (the matcher's tables are reset after).
    double tp = now_s();
    if (kel_find_indexed("bench-user", "bench-config") != 0) std::exit(1);
    double p = now_s() - tp;
    if (preload == 0 || p < preload) preload = p;
    kel_matcher_state_reset();
    kelmcat_set_add_new_only(1);
    keep_best(&addnew, timed_scan("add-new-only", l.files, KELMCAT_OUTCOME_ADDED));
    kelmcat_set_add_new_only(0);
  }

  std::printf("%s, %ld files (%ld per folder), best of %d:\n", l.name, l.files, l.per_folder,
              rounds);
  const char *names[4] = {"traversal", "first scan", "rescan", "add-new-only"};
  const Timing *ts[4] = {&base, &first, &rescan, &addnew};
  PerFile pf{};
  for (int i = 0; i < 4; ++i) {
    pf.t[i] = ts[i]->seconds / l.files * 1e6;
    std::printf(
        "  %-13s %8.3f s %9.0f files/s %6.2f us/file %6.1fx traversal  peak %7.1f MiB  %s\n",
        names[i], ts[i]->seconds, l.files / ts[i]->seconds, pf.t[i], ts[i]->seconds / base.seconds,
        ts[i]->peak, ts[i]->detail.c_str());
  }
  // The progress hook's cost: rescans with and without it, alternating, many
  // times, so that a shared machine's noise falls on both alike.
  int pairs = l.files <= 10000 ? 21 : l.files <= 100000 ? 9 : 3;
  std::vector<double> plain, hooked;
  g_progress_calls = 0;
  for (int i = 0; i < pairs; ++i) {
    plain.push_back(timed_scan("rescan", l.files, KELMCAT_OUTCOME_UNCHANGED).seconds);
    kelmcat_set_progress(on_progress, nullptr);
    hooked.push_back(timed_scan("rescan+progress", l.files, KELMCAT_OUTCOME_UNCHANGED).seconds);
    kelmcat_set_progress(nullptr, nullptr);
  }
  std::sort(plain.begin(), plain.end());
  std::sort(hooked.begin(), hooked.end());
  std::printf(
      "  progress hook (%ld calls per scan, %d rescans each way): best %+.2f%%, median %+.2f%%\n",
      g_progress_calls / pairs, pairs, (hooked[0] / plain[0] - 1) * 100,
      (hooked[pairs / 2] / plain[pairs / 2] - 1) * 100);
  // Whole scans on a shared machine vary by more than the hook costs, so the
  // cost of one report (lock, record, call) is also timed on its own and
  // scaled by the reports a scan makes.
  {
    double calls = static_cast<double>(g_progress_calls) / pairs;
    kel_counters c{};
    kel_walk w;
    if (kel_walk_init(&w, "bench-user", "bench-config", &c) != 0) std::exit(1);
    kelmcat_set_progress(on_progress, nullptr);
    const long n = 1000000;
    double t0 = now_s();
    for (long i = 0; i < n; ++i) kel_walk_progress(&w, 1, "/nested/d000001");
    double per_call = (now_s() - t0) / n;
    kelmcat_set_progress(nullptr, nullptr);
    kel_walk_free(&w);
    std::printf("  progress report: %.1f ns each, %.0f per scan = %.4f%% of the median rescan\n",
                per_call * 1e9, calls, calls * per_call / plain[pairs / 2] * 100);
  }
  std::printf("  (add-new-only includes loading the indexed set of every key: %.3f s)\n", preload);
  std::fflush(stdout);
  return pf;
}

// ---- One case --------------------------------------------------------------

long rss_kib() {
  long kb = 0;
  if (FILE *f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "VmRSS: %ld kB", &kb) == 1) break;
    std::fclose(f);
  }
  return kb;
}

void check_scan(int32_t rc) {
  if (rc != 0) {
    std::fprintf(stderr, "scan failed (%d): %s\n", rc, kelmcat_last_error());
    std::exit(1);
  }
}

}  // namespace

// The scan callgrind counts (--toggle-collect=bench_measured_scan).
extern "C" __attribute__((noinline)) int32_t bench_measured_scan() {
  return kelmcat_scan("bench-user", "bench-config");
}

namespace {

int run_case(long files, const char *layout, const char *mode, int runs) {
  bool flat = std::strcmp(layout, "flat") == 0;
  if (files < 1000 || (!flat && std::strcmp(layout, "nested") != 0) || runs < 1) return 2;
  Layout l{flat ? "one folder" : "nested", files, flat ? files : 1000};
  int32_t expect;
  if (std::strcmp(mode, "first") == 0)
    expect = KELMCAT_OUTCOME_ADDED;
  else if (std::strcmp(mode, "rescan") == 0)
    expect = KELMCAT_OUTCOME_UNCHANGED;
  else if (std::strcmp(mode, "addnew") == 0)
    expect = KELMCAT_OUTCOME_ADDED;
  else
    return 2;
  bool first = expect == KELMCAT_OUTCOME_ADDED && mode[0] == 'f';
  setup(l);
  kv_reset(static_cast<size_t>(l.files) + l.files / 4);
  if (!first) check_scan(kelmcat_scan("bench-user", "bench-config"));
  if (mode[0] == 'a') kelmcat_set_add_new_only(1);
  std::vector<double> times, cpu_times;
  double peak_per_file = 0;
  for (int i = 0; i < runs; ++i) {
    if (first) kv_reset(static_cast<size_t>(l.files) + l.files / 4);
    if (i == 0) {
      {
        std::lock_guard<std::mutex> g(g_st.lock);
        kel_results_reset_locked();
      }
      malloc_trim(0);
    }
    size_t vault_before = g_rec_bytes;
    long rss_before = rss_kib();
    reset_peak();
    double t0 = now_s(), c0 = cpu_s();
    int32_t rc = bench_measured_scan();
    double dt = now_s() - t0, dc = cpu_s() - c0;
    double grown = (peak_mib() * 1024 - static_cast<double>(rss_before)) * 1024 -
                   static_cast<double>(g_rec_bytes - vault_before);
    check_scan(rc);
    kelmcat_scan_stats st{};
    kelmcat_stats(&st);
    long outcomes = 0;
    for (int32_t r = 0, n = kelmcat_result_count(); r < n; ++r)
      if (kelmcat_result_outcome(r) == expect) ++outcomes;
    // A few keys of a large tree share a vault key (the hash has 31 bits):
    // those files are collisions, not the expected outcome.
    long want = mode[0] == 'a' ? 0 : files - files / 1000;
    if (st.walked < files || (mode[0] == 'a' ? outcomes != 0 : outcomes < want)) {
      std::fprintf(stderr, "walked %lld, %ld expected outcomes\n", (long long)st.walked, outcomes);
      return 1;
    }
    times.push_back(dt);
    cpu_times.push_back(dc);
    if (i == 0) peak_per_file = grown / static_cast<double>(files);
  }
  std::sort(times.begin(), times.end());
  std::sort(cpu_times.begin(), cpu_times.end());
  std::printf(
      "%s %ld %s: %.3f us/file wall, %.3f us/file CPU (medians of %d), scan peak %.0f "
      "bytes/file\n",
      layout, files, mode, times[times.size() / 2] / static_cast<double>(files) * 1e6,
      cpu_times[cpu_times.size() / 2] / static_cast<double>(files) * 1e6, runs, peak_per_file);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  // Keep freed memory in the process, as a long-running host's heap would, so
  // that the larger trees do not pay for returning and refaulting pages.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  if (argc >= 5 && std::strcmp(argv[1], "--case") == 0) {
    int r = run_case(std::atol(argv[2]), argv[3], argv[4], argc > 5 ? std::atoi(argv[5]) : 5);
    if (r == 2)
      std::fprintf(stderr,
                   "usage: scan_bench --case FILES flat|nested first|rescan|addnew [RUNS]\n");
    kelmcat_shutdown();
    return r;
  }
  long max_files = argc > 1 ? std::atol(argv[1]) : 1000000;
  const Layout layouts[] = {
      {"one folder", 10000, 10000},     {"nested", 10000, 1000},
      {"one folder", 100000, 100000},   {"nested", 100000, 1000},
      {"one folder", 1000000, 1000000}, {"nested", 1000000, 1000},
  };
  PerFile pf[6];
  bool ran[6] = {};
  // Each layout runs in a process of its own, so that no tree inherits the heap
  // an earlier, larger one left behind (and peak memory is per layout).
  for (int i = 0; i < 6; ++i) {
    if (layouts[i].files > max_files) continue;
    int fds[2];
    if (pipe(fds) != 0) return 1;
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
      close(fds[0]);
      PerFile r = run(layouts[i]);
      ssize_t n = write(fds[1], &r, sizeof r);
      _exit(n == static_cast<ssize_t>(sizeof r) ? 0 : 1);
    }
    close(fds[1]);
    ssize_t n = read(fds[0], &pf[i], sizeof pf[i]);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n != static_cast<ssize_t>(sizeof pf[i]) || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
      return 1;
    ran[i] = true;
  }
  // Per-file time of the largest tree as a multiple of that of the smallest.
  for (int lay = 0; lay < 2; ++lay) {
    int small = lay, large = -1;
    for (int i = lay; i < 6; i += 2)
      if (ran[i]) large = i;
    if (large <= small) continue;
    std::printf(
        "%s: per-file time at %ld files / at %ld files: traversal %.2f, first %.2f, "
        "rescan %.2f, add-new-only %.2f\n",
        layouts[lay].name, layouts[large].files, layouts[small].files,
        pf[large].t[0] / pf[small].t[0], pf[large].t[1] / pf[small].t[1],
        pf[large].t[2] / pf[small].t[2], pf[large].t[3] / pf[small].t[3]);
  }
  kelmcat_shutdown();
  return 0;
}
