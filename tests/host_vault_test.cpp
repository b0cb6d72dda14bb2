// The host kit's SQLite vault: the vault table's contract, prefix ranges,
// batch commit points seen from a second connection, files that are not
// vaults, a full disk, a killed writer, and whole scans through the library.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "alloc_fail.h"
#include "kelmcat_host.h"

namespace kelhost {
sqlite3 *vault_db(kelhost_vault *v);
}

namespace {

// A fresh folder for the test's files, removed afterwards.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/kelhost_vault_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path + "'";
    (void)std::system(cmd.c_str());
  }
  std::string file(const char *name) const { return path + "/" + name; }
};

struct Vault {
  kelhost_vault *v = nullptr;
  const kelmcat_vault *t = nullptr;
  explicit Vault(const std::string &path) {
    EXPECT_EQ(kelhost_vault_open(path.c_str(), &v), KELHOST_OK) << kelhost_last_error();
    t = kelhost_vault_table(v);
  }
  ~Vault() { kelhost_vault_close(v); }
  int32_t set(const std::string &k, const std::string &val) {
    return t->set(t->ctx, k.c_str(), val.c_str());
  }
  // The value, or "<rc>" when get did not answer 0.
  std::string get(const std::string &k) {
    char *val = nullptr;
    int32_t rc = t->get(t->ctx, k.c_str(), &val);
    std::string out = rc == 0 ? std::string(val) : "<" + std::to_string(rc) + ">";
    std::free(val);
    return out;
  }
  std::vector<std::string> search(const std::string &prefix) {
    char **keys = nullptr;
    size_t n = 0;
    EXPECT_EQ(t->search_keys(t->ctx, prefix.c_str(), &keys, &n), 0);
    std::vector<std::string> out;
    for (size_t i = 0; i < n; ++i) {
      out.push_back(keys[i]);
      std::free(keys[i]);
    }
    std::free(keys);
    return out;
  }
};

// A second, independent connection to the same file.
struct Reader {
  sqlite3 *db = nullptr;
  explicit Reader(const std::string &path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  }
  ~Reader() { sqlite3_close(db); }
  std::string one(const char *sql) {
    sqlite3_stmt *st = nullptr;
    std::string out = "<error>";
    if (sqlite3_prepare_v2(db, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char *t = sqlite3_column_text(st, 0);
      out = t ? reinterpret_cast<const char *>(t) : "";
    }
    sqlite3_finalize(st);
    return out;
  }
  long rows() { return std::atol(one("SELECT count(*) FROM vault").c_str()); }
};

std::string key_of(long i) {
  return "TALMERON_IMediaKeyVault_u_MatchedIMDbId_" + std::to_string(i);
}
// A value whose every byte can be checked against its key.
std::string value_of(long i) {
  std::string s = "{\"n\":" + std::to_string(i) + ",\"pad\":\"";
  s.append(static_cast<size_t>(100 + i % 200), static_cast<char>('a' + i % 26));
  return s + "\"}";
}

TEST(HostVault, GetSetAndReopen) {
  TempDir dir;
  std::string path = dir.file("v.db");
  {
    Vault v(path);
    EXPECT_EQ(v.get("missing"), "<1>");
    EXPECT_EQ(v.set("k", "one"), 0);
    EXPECT_EQ(v.set("k", "two"), 0);  // replaced
    EXPECT_EQ(v.set("empty", ""), 0);
    EXPECT_EQ(v.set("\xC3\xA9t\xC3\xA9", "\xE2\x9C\x93"), 0);
    EXPECT_EQ(v.get("k"), "two");
    EXPECT_EQ(v.get("empty"), "");
    EXPECT_EQ(v.get("\xC3\xA9t\xC3\xA9"), "\xE2\x9C\x93");
    EXPECT_EQ(kelhost_vault_writes(v.v), 4);
    EXPECT_EQ(v.t->set(v.t->ctx, nullptr, "x"), -1);
    char *val = nullptr;
    EXPECT_LT(v.t->get(v.t->ctx, nullptr, &val), 0);
  }
  Vault again(path);
  EXPECT_EQ(again.get("k"), "two");
  EXPECT_EQ(kelhost_vault_writes(again.v), 0);  // counted per open
  Reader r(path);
  EXPECT_EQ(r.one("PRAGMA journal_mode"), "wal");
  EXPECT_EQ(r.rows(), 3);
}

TEST(HostVault, SearchKeysIsAnIndexedPrefixRange) {
  TempDir dir;
  Vault v(dir.file("v.db"));
  const std::vector<std::string> keys = {"",
                                         "a",
                                         "a\x7F",
                                         "a\xFF",
                                         "a\xFF\xFF",
                                         "a\xFF\xFF"
                                         "b",
                                         "ab",
                                         "abc",
                                         "b",
                                         "\xFF",
                                         "\xFF\xFF",
                                         "\xFF\xFF\x01",
                                         "TALMERON_IMediaKeyVault_u_CorrectIMDbId_1"};
  for (const std::string &k : keys) ASSERT_EQ(v.set(k, "v"), 0);
  const char *prefixes[] = {"",  "a", "a\xFF", "a\xFF\xFF", "ab",
                            "b", "c", "\xFF",  "\xFF\xFF",  "TALMERON_IMediaKeyVault"};
  for (const char *p : prefixes) {
    SCOPED_TRACE(p);
    std::set<std::string> want;
    for (const std::string &k : keys)
      if (k.compare(0, std::strlen(p), p) == 0) want.insert(k);
    std::vector<std::string> got = v.search(p);
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), want);
    EXPECT_EQ(got.size(), want.size());
  }
  // The search reads a range of the key index, never the whole table.
  for (const char *sql : {"EXPLAIN QUERY PLAN SELECT k FROM vault WHERE k >= 'a' AND k < 'b'",
                          "EXPLAIN QUERY PLAN SELECT k FROM vault WHERE k >= 'a'"}) {
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(kelhost::vault_db(v.v), sql, -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    std::string plan = reinterpret_cast<const char *>(sqlite3_column_text(st, 3));
    sqlite3_finalize(st);
    EXPECT_NE(plan.find("SEARCH"), std::string::npos) << plan;
  }
}

TEST(HostVault, BatchCommitPoints) {
  TempDir dir;
  std::string path = dir.file("v.db");
  Vault v(path);
  Reader r(path);
  ASSERT_EQ(v.set("before", "x"), 0);
  EXPECT_EQ(r.rows(), 1);  // outside a batch: committed when set returns

  ASSERT_EQ(kelhost_vault_begin_batch(v.v), KELHOST_OK);
  EXPECT_EQ(kelhost_vault_begin_batch(v.v), KELHOST_ERR_ARG);  // one at a time
  for (long i = 0; i < 999; ++i) ASSERT_EQ(v.set(key_of(i), value_of(i)), 0);
  EXPECT_EQ(r.rows(), 1);
  EXPECT_EQ(v.get(key_of(5)), value_of(5));  // the batch reads its own writes
  ASSERT_EQ(v.set(key_of(999), value_of(999)), 0);
  EXPECT_EQ(r.rows(), 1001);  // the 1,000th write is committed before set returns
  for (long i = 1000; i < 1010; ++i) ASSERT_EQ(v.set(key_of(i), value_of(i)), 0);
  EXPECT_EQ(r.rows(), 1001);

  // A correction from another thread is committed at once, with what is pending.
  int32_t rc = -1;
  std::thread([&] { rc = v.set("correction", "tt1"); }).join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(r.rows(), 1012);

  // A pending write is committed by the timer within about a second.
  ASSERT_EQ(v.set("late", "x"), 0);
  EXPECT_EQ(r.rows(), 1012);
  auto t0 = std::chrono::steady_clock::now();
  while (r.rows() != 1013 && std::chrono::steady_clock::now() - t0 < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(r.rows(), 1013);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));

  ASSERT_EQ(v.set("last", "x"), 0);
  EXPECT_EQ(kelhost_vault_end_batch(v.v), KELHOST_OK);
  EXPECT_EQ(r.rows(), 1014);
  EXPECT_EQ(kelhost_vault_end_batch(v.v), KELHOST_ERR_ARG);
  EXPECT_EQ(kelhost_vault_writes(v.v), 1014);
}

TEST(HostVault, ScanThreadAndCorrectionThreadAtOnce) {
  TempDir dir;
  std::string path = dir.file("v.db");
  Vault v(path);
  ASSERT_EQ(kelhost_vault_begin_batch(v.v), KELHOST_OK);
  int not_committed = 0, failed = 0;
  std::thread other([&] {
    Reader r(path);
    for (long i = 0; i < 200; ++i) {
      std::string k = "correction_" + std::to_string(i);
      if (v.set(k, "tt" + std::to_string(i)) != 0) ++failed;
      // Committed before set returned, whatever the batch holds.
      std::string sql = "SELECT count(*) FROM vault WHERE k = '" + k + "'";
      if (r.one(sql.c_str()) != "1") ++not_committed;
      if (v.get(key_of(i)).empty()) ++failed;
    }
  });
  for (long i = 0; i < 3000; ++i) ASSERT_EQ(v.set(key_of(i), value_of(i)), 0);
  other.join();
  ASSERT_EQ(kelhost_vault_end_batch(v.v), KELHOST_OK);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(not_committed, 0);
  EXPECT_EQ(kelhost_vault_writes(v.v), 3200);
  EXPECT_EQ(Reader(path).rows(), 3200);
}

void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string read_file(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

void sql(const std::string &path, const char *text) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, text, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

// A vault of n records, closed.
void make_vault(const std::string &path, long n) {
  Vault v(path);
  ASSERT_EQ(kelhost_vault_begin_batch(v.v), KELHOST_OK);
  for (long i = 0; i < n; ++i) ASSERT_EQ(v.set(key_of(i), value_of(i)), 0);
  ASSERT_EQ(kelhost_vault_end_batch(v.v), KELHOST_OK);
}

TEST(HostVault, FilesThatAreNotVaultsAreRefused) {
  TempDir dir;
  const struct {
    const char *name;
    std::function<void(const std::string &)> make;
    int32_t code;
    const char *says;
  } rows[] = {
      {"text", [](const std::string &p) { write_file(p, std::string(8192, 'x')); },
       KELHOST_ERR_FORMAT, "not a vault"},
      {"other app",
       [](const std::string &p) {
         sql(p, "CREATE TABLE songs(a, b); INSERT INTO songs VALUES(1,2)");
       },
       KELHOST_ERR_FORMAT, "not a vault"},
      {"newer",
       [](const std::string &p) {
         make_vault(p, 1);
         sql(p, "PRAGMA user_version = 9");
       },
       KELHOST_ERR_FORMAT, "unknown version"},
      {"no table",
       [](const std::string &p) {
         make_vault(p, 1);
         sql(p, "DROP TABLE vault; CREATE TABLE vault(k, v)");
       },
       KELHOST_ERR_FORMAT, "no vault table"},
      {"truncated",
       [](const std::string &p) {
         make_vault(p, 3000);
         std::string b = read_file(p);
         write_file(p, b.substr(0, b.size() / 2));
       },
       KELHOST_ERR_FORMAT, "corrupt"},
      {"scribbled",
       [](const std::string &p) {
         make_vault(p, 3000);
         std::string b = read_file(p);
         for (size_t i = 4096 * 3; i < 4096 * 6; ++i) b[i] = static_cast<char>(i * 7);
         write_file(p, b);
       },
       KELHOST_ERR_FORMAT, "corrupt"},
      {"folder", [](const std::string &p) { mkdir(p.c_str(), 0700); }, KELHOST_ERR_IO, "cannot"},
      {"missing/v.db", [](const std::string &) {}, KELHOST_ERR_IO, "cannot open"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.name);
    std::string path = dir.file(r.name);
    r.make(path);
    kelhost_vault *v = reinterpret_cast<kelhost_vault *>(&dir);
    EXPECT_EQ(kelhost_vault_open(path.c_str(), &v), r.code);
    EXPECT_EQ(v, nullptr);
    std::string msg = kelhost_last_error();
    EXPECT_NE(msg.find(path), std::string::npos) << msg;
    EXPECT_NE(msg.find(r.says), std::string::npos) << msg;
  }
  // An empty file is a new vault; the vault so made opens again.
  std::string empty = dir.file("empty");
  write_file(empty, "");
  { Vault v(empty); }
  { Vault v(empty); }
  kelhost_vault *v = nullptr;
  EXPECT_EQ(kelhost_vault_open(nullptr, &v), KELHOST_ERR_ARG);
}

// ---- Writers in a process of their own ----------------------------------------
// A child role runs in a fresh copy of this program, started with fork and
// exec, so that no thread is ever started in a forked copy of a threaded
// process. Its report goes to the pipe given in KELHOST_VAULT_FD.

// Writes until a set fails under a file size limit of 1 MiB (the limit makes a
// write fail as a full disk does), then 10 more; reports the first failing
// write, how many later ones failed, end_batch's result, the writes counter
// and the last error.
void full_disk_child(const char *path, bool batch, FILE *out) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit lim{1 << 20, 1 << 20};
  setrlimit(RLIMIT_FSIZE, &lim);
  kelhost_vault *v = nullptr;
  if (kelhost_vault_open(path, &v) != 0) return;
  const kelmcat_vault *t = kelhost_vault_table(v);
  if (batch) kelhost_vault_begin_batch(v);
  long failed_at = -1, later_fail = 0;
  for (long i = 0; i < 100000; ++i) {
    int32_t rc = t->set(t->ctx, key_of(i).c_str(), value_of(i).c_str());
    if (rc != 0 && failed_at < 0) failed_at = i;
    if (failed_at >= 0 && i > failed_at && rc != 0) ++later_fail;
    if (failed_at >= 0 && i >= failed_at + 10) break;
  }
  int32_t end = batch ? kelhost_vault_end_batch(v) : 0;
  std::fprintf(out, "%ld %ld %d %lld %s", failed_at, later_fail, end,
               static_cast<long long>(kelhost_vault_writes(v)), kelhost_last_error());
  kelhost_vault_close(v);
}

// Writes in a batch without end; says "x" after 2,500 writes and goes on
// until it is killed.
void endless_writer_child(const char *path, FILE *out) {
  kelhost_vault *v = nullptr;
  if (kelhost_vault_open(path, &v) != 0) return;
  const kelmcat_vault *t = kelhost_vault_table(v);
  kelhost_vault_begin_batch(v);
  for (long i = 0; i < 10000000; ++i) {
    if (t->set(t->ctx, key_of(i).c_str(), value_of(i).c_str()) != 0) return;
    if (i == 2500) {
      std::fputs("x", out);
      std::fflush(out);
    }
  }
}

struct ChildRole {
  ChildRole() {
    const char *role = std::getenv("KELHOST_VAULT_CHILD");
    const char *path = std::getenv("KELHOST_VAULT_PATH");
    const char *fd = std::getenv("KELHOST_VAULT_FD");
    if (!role || !path || !fd) return;
    FILE *out = fdopen(std::atoi(fd), "w");
    if (!out) _exit(1);
    if (std::strcmp(role, "killed") == 0)
      endless_writer_child(path, out);
    else
      full_disk_child(path, std::strcmp(role, "full-batch") == 0, out);
    std::fclose(out);
    _exit(0);
  }
} g_child_role;

struct Child {
  pid_t pid = -1;
  int fd = -1;  // the read end of its report
  Child(const char *role, const std::string &path) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::string env[] = {std::string("KELHOST_VAULT_CHILD=") + role, "KELHOST_VAULT_PATH=" + path,
                         "KELHOST_VAULT_FD=" + std::to_string(fds[1])};
    char *envp[] = {&env[0][0], &env[1][0], &env[2][0], nullptr};
    char self[] = "/proc/self/exe";
    char *argv[] = {self, nullptr};
    pid = fork();
    if (pid == 0) {
      close(fds[0]);
      execve(self, argv, envp);
      _exit(127);
    }
    close(fds[1]);
    fd = fds[0];
  }
  // Its whole report, once it has closed the pipe.
  std::string report() {
    std::string got;
    char buf[256];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    return got;
  }
  int wait() {
    int status = 0;
    waitpid(pid, &status, 0);
    close(fd);
    return status;
  }
};

// Every stored record is whole, and the database passes its integrity check.
long check_whole(const std::string &path) {
  Reader r(path);
  EXPECT_EQ(r.one("PRAGMA integrity_check"), "ok");
  sqlite3_stmt *st = nullptr;
  EXPECT_EQ(sqlite3_prepare_v2(r.db, "SELECT k, v FROM vault", -1, &st, nullptr), SQLITE_OK);
  long n = 0;
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::string k = reinterpret_cast<const char *>(sqlite3_column_text(st, 0));
    std::string val = reinterpret_cast<const char *>(sqlite3_column_text(st, 1));
    long i = std::atol(k.substr(k.rfind('_') + 1).c_str());
    EXPECT_EQ(val, value_of(i)) << k;
    ++n;
  }
  sqlite3_finalize(st);
  return n;
}

TEST(HostVault, FullDiskMakesSetFail) {
  TempDir dir;
  for (bool batch : {false, true}) {
    SCOPED_TRACE(batch ? "in a batch" : "outside a batch");
    std::string path = dir.file(batch ? "batch.db" : "plain.db");
    Child child(batch ? "full-batch" : "full-plain", path);
    std::string report = child.report();
    int status = child.wait();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    long failed_at = -1, later_fail = -1, writes = -1;
    int end = 1;
    char msg[600] = "";
    ASSERT_GE(std::sscanf(report.c_str(), "%ld %ld %d %ld %599[^\n]", &failed_at, &later_fail, &end,
                          &writes, msg),
              4)
        << report;
    EXPECT_GT(failed_at, 0);  // some writes fitted, then set failed
    long stored = check_whole(path);
    EXPECT_EQ(stored, writes);  // the counter says what the file holds
    if (batch) {
      // The failed commit took its batch of writes with it: what is stored
      // ends at a commit point, and the batch says so.
      EXPECT_EQ(later_fail, 10);
      EXPECT_EQ(stored % 1000, 0);
      EXPECT_LE(stored, failed_at);
      EXPECT_EQ(end, KELHOST_ERR_IO);
      EXPECT_NE(std::string(msg).find("lost"), std::string::npos) << msg;
    } else {
      EXPECT_EQ(stored, failed_at);  // every acknowledged write is there
    }
  }
}

TEST(HostVault, KilledWriterLeavesWholeRecords) {
  TempDir dir;
  std::string path = dir.file("v.db");
  Child child("killed", path);
  char c;
  ASSERT_EQ(read(child.fd, &c, 1), 1);  // 2,500 writes made: two batches committed
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  kill(child.pid, SIGKILL);
  int status = child.wait();
  ASSERT_TRUE(WIFSIGNALED(status));
  long stored = check_whole(path);
  EXPECT_GE(stored, 2000);
  // The vault opens again and takes new writes.
  Vault v(path);
  EXPECT_EQ(v.get(key_of(1999)), value_of(1999));
  EXPECT_EQ(v.set("after", "x"), 0);
}

// Every allocation of the kit's own code in an open, a batch, writes, reads
// and a key search fails in turn: each call answers a failure code or
// succeeds, nothing leaks, and the vault works afterwards.
TEST(HostVault, RunningOutOfMemoryIsAFailureCode) {
  TempDir dir;
  std::string path = dir.file("v.db");
  make_vault(path, 50);
  const std::string k100 = key_of(100), v100 = value_of(100), k7 = key_of(7);
  uint64_t nth = 1;
  for (; nth < 10000; ++nth) {
    SCOPED_TRACE(nth);
    int32_t rc[7] = {};
    alloc_fail::arm(nth);
    kelhost_vault *v = nullptr;
    rc[0] = kelhost_vault_open(path.c_str(), &v);
    if (rc[0] == 0) {
      const kelmcat_vault *t = kelhost_vault_table(v);
      rc[1] = kelhost_vault_begin_batch(v);
      rc[2] = t->set(t->ctx, k100.c_str(), v100.c_str());
      char *val = nullptr;
      rc[3] = t->get(t->ctx, k7.c_str(), &val);
      std::free(val);
      char **keys = nullptr;
      size_t n = 0;
      rc[4] = t->search_keys(t->ctx, "TALMERON", &keys, &n);
      for (size_t i = 0; i < n; ++i) std::free(keys[i]);
      std::free(keys);
      if (rc[1] == 0) rc[5] = kelhost_vault_end_batch(v);
    }
    alloc_fail::disarm();
    kelhost_vault_close(v);
    EXPECT_TRUE(rc[0] == 0 || rc[0] == KELHOST_ERR_OOM) << rc[0];
    EXPECT_TRUE(rc[1] == 0 || rc[1] == KELHOST_ERR_OOM) << rc[1];
    for (int i = 2; i < 5; ++i) EXPECT_LE(rc[i], 0) << i;
    EXPECT_EQ(rc[5], 0);
    if (alloc_fail::failures() == 0) break;
  }
  EXPECT_GT(nth, 5u);
  EXPECT_EQ(check_whole(path), 51);
}

}  // namespace
