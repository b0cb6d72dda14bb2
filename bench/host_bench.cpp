// Host kit benchmark: a first scan and an unchanged rescan of a generated tree
// (100,000 files by default, 100 folders of 1,000), answered by the answers IO
// from a generated answers document, once with the SQLite vault (each scan
// inside a batch, as the kelmcat command runs it) and once with a plain
// in-memory hash-map vault, alternating in the same run. Prints each scan's
// best wall time, the SQLite vault's time as a multiple of the in-memory one,
// the database's size (and its WAL's) and the time to reopen it.
//
// The tree is the library's fake tree; with --disk it is made of real (empty,
// sparse-sized) files in a temporary folder, listed by the kit's disk backend.
// Usage: host_bench [files] [--disk] [--rounds N]
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "kelmcat.h"
#include "kelmcat_host.h"

namespace {

double now_s() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] void die(const char *what, const char *why) {
  std::fprintf(stderr, "host_bench: %s: %s\n", what, why);
  std::exit(1);
}

// ---- The tree and its answers ------------------------------------------------

constexpr long kPerFolder = 1000;

// File i: most are films, every tenth is an episode, every hundredth is
// unknown to the matcher.
std::string file_name(long i) {
  char buf[64];
  if (i % 10 == 3)
    std::snprintf(buf, sizeof buf, "Show %04ld S%02ldE%02ld.mkv", i / 1000, i / 100 % 10 + 1,
                  i % 100 + 1);
  else
    std::snprintf(buf, sizeof buf, "Film %06ld (%ld).mkv", i, 1950 + i % 70);
  return buf;
}

std::string folder_name(long f) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Folder %03ld", f);
  return buf;
}

// Sizes, chosen so that no two files share a vault key: keys come from a
// 32-bit hash, and a tree of this size would otherwise hold a collision or two,
// whose files the scan keeps rewriting over each other.
std::vector<long> g_sizes;

void choose_sizes(long files) {
  std::unordered_map<std::string, long> seen;
  g_sizes.resize(static_cast<size_t>(files));
  for (long i = 0; i < files; ++i) {
    std::string path = folder_name(i / kPerFolder) + "/" + file_name(i);
    for (long size = 700000000 + i * 4096;; ++size) {
      char key[4200], vk[32];
      if (kelmcat_derive_key(path.c_str(), size, key, sizeof key) != 0 ||
          kelmcat_vault_key(key, vk, sizeof vk) != 0)
        die("key", kelmcat_last_error());
      if (seen.emplace(vk, i).second) {
        g_sizes[static_cast<size_t>(i)] = size;
        break;
      }
    }
  }
}

long file_size(long i) {
  return g_sizes[static_cast<size_t>(i)];
}

std::string tree_json(long files) {
  std::string t = R"({"name":"","children":[)";
  for (long f = 0; f * kPerFolder < files; ++f) {
    t += (f ? ",{\"name\":\"" : "{\"name\":\"") + folder_name(f) + "\",\"children\":[";
    for (long i = f * kPerFolder; i < std::min(files, (f + 1) * kPerFolder); ++i)
      t += (i % kPerFolder ? ",{\"name\":\"" : "{\"name\":\"") + file_name(i) +
           "\",\"size\":" + std::to_string(file_size(i)) + "}";
    t += "]}";
  }
  return t + "]}";
}

std::string answers_json(long files) {
  std::string a = R"({"lookup":{)", movie = R"(,"movie":{)";
  bool first = true, first_movie = true;
  for (long i = 0; i < files; ++i) {
    if (i % 100 == 7) continue;  // not found
    std::string id = "tt" + std::to_string(1000000 + i);
    a += first ? "\"" : ",\"";
    first = false;
    if (i % 10 == 3) {
      a += file_name(i) + R"(":{"id":")" + id + R"(","tv":true})";
    } else {
      a += file_name(i) + R"(":")" + id + "\"";
      if (i % 50 == 1) {  // a few titles that the catalogue says are not films
        movie += (first_movie ? "\"" : ",\"") + id + "\":false";
        first_movie = false;
      }
    }
  }
  return a + "}" + movie + "}}";
}

// Real files for the disk backend: empty, with their size set sparse.
void make_disk_tree(const std::string &root, long files) {
  for (long f = 0; f * kPerFolder < files; ++f) {
    std::string dir = root + "/" + folder_name(f);
    if (mkdir(dir.c_str(), 0755) != 0) die("mkdir", dir.c_str());
    for (long i = f * kPerFolder; i < std::min(files, (f + 1) * kPerFolder); ++i) {
      std::string p = dir + "/" + file_name(i);
      FILE *fp = std::fopen(p.c_str(), "w");
      if (!fp || ftruncate(fileno(fp), file_size(i)) != 0) die("create", p.c_str());
      std::fclose(fp);
    }
  }
}

// ---- The in-memory vault -------------------------------------------------------

std::unordered_map<std::string, std::string> g_mem;
int64_t g_mem_writes = 0;

char *dup(const std::string &s) {
  char *p = static_cast<char *>(std::malloc(s.size() + 1));
  if (p) std::memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

int32_t mem_get(void *, const char *key, char **value) {
  auto it = g_mem.find(key);
  if (it == g_mem.end()) return 1;
  return (*value = dup(it->second)) ? 0 : -1;
}

int32_t mem_set(void *, const char *key, const char *value) {
  g_mem[key] = value;
  ++g_mem_writes;
  return 0;
}

int32_t mem_search(void *, const char *prefix, char ***keys, size_t *count) {
  std::vector<const std::string *> hits;
  for (auto &kv : g_mem)
    if (kv.first.compare(0, std::strlen(prefix), prefix) == 0) hits.push_back(&kv.first);
  if (hits.empty()) return 0;
  *keys = static_cast<char **>(std::malloc(hits.size() * sizeof(char *)));
  if (!*keys) return -1;
  for (size_t i = 0; i < hits.size(); ++i) (*keys)[i] = dup(*hits[i]);
  *count = hits.size();
  return 0;
}

const kelmcat_vault g_mem_vault = {nullptr, nullptr, mem_get, mem_set, mem_search, nullptr};

// ---- Scans -------------------------------------------------------------------

struct Scan {
  double seconds;
  kelmcat_scan_stats stats;
};

Scan scan(kelhost_vault *batch) {
  double t0 = now_s();
  if (batch && kelhost_vault_begin_batch(batch) != 0) die("begin batch", kelhost_last_error());
  if (kelmcat_scan("bench", "default") != 0) die("scan", kelmcat_last_error());
  if (batch && kelhost_vault_end_batch(batch) != 0) die("end batch", kelhost_last_error());
  Scan s{now_s() - t0, {}};
  kelmcat_stats(&s.stats);
  return s;
}

void check(const Scan &s, bool first, long files, const char *what) {
  const kelmcat_scan_stats &st = s.stats;
  long unmatched = (files + 92) / 100;
  long folders = (files + kPerFolder - 1) / kPerFolder;  // walked counts them too
  bool ok = st.walked == files + folders && st.unmatched == unmatched && st.errors == 0 &&
            (first ? st.added == files - unmatched && st.unchanged == 0
                   : st.unchanged == files - unmatched && st.added == 0 && st.updated == 0);
  if (!ok) {
    std::fprintf(stderr,
                 "host_bench: %s: walked=%lld added=%lld updated=%lld unchanged=%lld "
                 "unmatched=%lld errors=%lld\n",
                 what, static_cast<long long>(st.walked), static_cast<long long>(st.added),
                 static_cast<long long>(st.updated), static_cast<long long>(st.unchanged),
                 static_cast<long long>(st.unmatched), static_cast<long long>(st.errors));
    for (int32_t i = 0, n = kelmcat_result_count(); i < n; ++i)
      if (kelmcat_result_outcome(i) == KELMCAT_OUTCOME_ERROR)
        std::fprintf(stderr, "  error: %s\n", kelmcat_result_path(i));
    std::exit(1);
  }
}

long file_bytes(const std::string &path) {
  struct stat sb {};
  return stat(path.c_str(), &sb) == 0 ? static_cast<long>(sb.st_size) : 0;
}

double mib(long bytes) {
  return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char **argv) {
  long files = 100000;
  bool disk = false;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--disk") == 0)
      disk = true;
    else if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
      rounds = std::max(1, std::atoi(argv[++i]));
    else if (std::atol(argv[i]) > 0)
      files = std::atol(argv[i]);
    else
      die("usage", "host_bench [files] [--disk] [--rounds N]");
  }

  char tmpl[] = "/tmp/kelmcat_host_bench_XXXXXX";
  if (!mkdtemp(tmpl)) die("mkdtemp", "cannot make a temporary folder");
  std::string tmp = tmpl, db = tmp + "/bench.db", root = tmp + "/tree";

  double t0 = now_s();
  choose_sizes(files);
  std::string answers_text = answers_json(files);
  kelhost_answers *answers = nullptr;
  if (kelhost_answers_parse(answers_text.data(), answers_text.size(), &answers) != 0)
    die("answers", kelhost_last_error());
  std::printf("answers: %ld files, %.1f MiB document, loaded in %.3f s\n", files,
              mib(static_cast<long>(answers_text.size())), now_s() - t0);
  answers_text = std::string();

  t0 = now_s();
  if (disk) {
    if (kelhost_disk_register() != 0) die("disk backend", kelhost_last_error());
    if (mkdir(root.c_str(), 0755) != 0) die("mkdir", root.c_str());
    make_disk_tree(root, files);
    std::string cfg = "{\"root\":\"" + root + "\"}";
    if (kelmcat_set_backend("disk", cfg.c_str()) != 0) die("backend", kelmcat_last_error());
  } else {
    std::string tree = tree_json(files);
    if (kelmcat_fake_load_tree(tree.c_str()) != 0) die("tree", kelmcat_last_error());
    if (kelmcat_set_backend("fake", nullptr) != 0) die("backend", kelmcat_last_error());
  }
  std::printf("tree: %s, %ld folders of %ld files, made in %.3f s\n",
              disk ? "real files (disk backend)" : "fake tree",
              (files + kPerFolder - 1) / kPerFolder, kPerFolder, now_s() - t0);

  kelmcat_set_io(kelhost_answers_io(answers));
  if (kelmcat_set_matcher_host("https://matcher.bench") != 0 ||
      kelmcat_set_queue_credential("bench") != 0 || kelmcat_arm_writes(1) != 0)
    die("setup", kelmcat_last_error());

  Scan best[2][2] = {};  // [sqlite?][rescan?]
  long db_bytes = 0, wal_bytes = 0, closed_bytes = 0;
  double reopen = 0;
  for (int round = 0; round < rounds; ++round) {
    // Alternate which vault goes first, so that a shared machine's drift falls
    // on both alike.
    for (int k = 0; k < 2; ++k) {
      bool sqlite = (round + k) % 2 == 1;
      kelhost_vault *v = nullptr;
      if (sqlite) {
        for (const char *ext : {"", "-wal", "-shm"}) unlink((db + ext).c_str());
        if (kelhost_vault_open(db.c_str(), &v) != 0) die("vault", kelhost_last_error());
        kelmcat_set_vault(kelhost_vault_table(v));
      } else {
        g_mem.clear();
        g_mem_writes = 0;
        kelmcat_set_vault(&g_mem_vault);
      }
      Scan first = scan(v);
      check(first, true, files, sqlite ? "first scan, SQLite" : "first scan, in memory");
      int64_t writes = sqlite ? kelhost_vault_writes(v) : g_mem_writes;
      Scan again = scan(v);
      check(again, false, files, sqlite ? "rescan, SQLite" : "rescan, in memory");
      if ((sqlite ? kelhost_vault_writes(v) : g_mem_writes) != writes)
        die("rescan", "the unchanged rescan wrote to the vault");
      for (int r = 0; r < 2; ++r) {
        const Scan &s = r ? again : first;
        if (best[sqlite][r].seconds == 0 || s.seconds < best[sqlite][r].seconds)
          best[sqlite][r] = s;
      }
      if (sqlite) {
        db_bytes = file_bytes(db);
        wal_bytes = file_bytes(db + "-wal");
        kelhost_vault_close(v);
        closed_bytes = file_bytes(db);
        double t1 = now_s();
        if (kelhost_vault_open(db.c_str(), &v) != 0) die("reopen", kelhost_last_error());
        double dt = now_s() - t1;
        if (reopen == 0 || dt < reopen) reopen = dt;
        kelhost_vault_close(v);
      }
    }
  }

  std::printf("%ld files, best of %d rounds:\n", files, rounds);
  const char *names[2] = {"first scan", "rescan"};
  for (int r = 0; r < 2; ++r) {
    double mem = best[0][r].seconds, sql = best[1][r].seconds;
    std::printf(
        "  %-10s  in memory %7.3f s (%7.0f files/s)  SQLite %7.3f s (%7.0f files/s)  "
        "SQLite / in memory %.2fx\n",
        names[r], mem, files / mem, sql, files / sql, sql / mem);
  }
  std::printf(
      "  database: %.1f MiB + %.1f MiB WAL while open, %.1f MiB closed (%.0f bytes per "
      "record); reopened (with its quick check) in %.3f s\n",
      mib(db_bytes), mib(wal_bytes), mib(closed_bytes),
      static_cast<double>(closed_bytes) / static_cast<double>(best[1][0].stats.added), reopen);

  kelmcat_shutdown();
  kelhost_answers_free(answers);
  std::string rm = "rm -rf '" + tmp + "'";
  if (std::system(rm.c_str()) != 0)
    std::fprintf(stderr, "host_bench: could not remove %s\n", tmp.c_str());
  return 0;
}
