// The SQLite vault: one table of key -> value texts in one database file.
//
// The file is marked as a vault by its application id and user version and
// holds the one table "vault"; anything else is refused when opened. It runs in
// WAL mode with synchronous=NORMAL: a commit survives a killed process, and a
// reader (another connection, another process) never blocks the writer.
//
// Batches. Between begin and end the reads and writes of the batch's thread go
// into one open transaction (other writers of the file wait for its commit),
// committed before the 1,000th write of it returns, by a timer once it is a
// second old, and at end. A commit can fail (a full disk): then the
// transaction is rolled back, and the writes it held, which set already
// reported as stored, are lost. That is not hidden: the set whose commit
// failed fails, every later set of the batch fails too (so the scan counts
// them as errors instead of records it believes stored), kelhost_vault_writes
// drops the lost writes, and end_batch reports how many were lost. A rescan
// then writes them again. A write from any other thread (a user's correction
// during a scan) is not part of the batch: it is committed, with whatever is
// pending, before its set returns.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "host_internal.h"

namespace {

constexpr int32_t kApplicationId = 0x4B4C5654;  // "KLVT"
constexpr int32_t kSchemaVersion = 1;
constexpr int64_t kBatchWrites = 1000;
constexpr std::chrono::milliseconds kBatchAge{1000};
constexpr int kBusyTimeoutMs = 5000;

const char kCreateTable[] =
    "CREATE TABLE vault(k TEXT PRIMARY KEY NOT NULL, v TEXT NOT NULL) WITHOUT ROWID";

// Keys are hashes, so a batch's writes land on pages all over the table and
// each commit writes about one page per record: the cost of a large scan is
// the bytes written to the WAL and copied back by checkpoints. A page cache
// that holds the table of a large library (grown only as pages are used) and
// a checkpoint every 64 MiB of WAL rather than every 4 MiB keep that down;
// the WAL is cut back to 64 MiB after a checkpoint.
const char kTuning[] =
    "PRAGMA synchronous = NORMAL; PRAGMA cache_size = -65536; "
    "PRAGMA wal_autocheckpoint = 16384; PRAGMA journal_size_limit = 67108864";

using Clock = std::chrono::steady_clock;

enum Stmt { GET, PUT, RANGE, FROM, BEGIN, COMMIT, ROLLBACK, NSTMT };

const char *const kSql[NSTMT] = {
    "SELECT v FROM vault WHERE k = ?1",
    "INSERT OR REPLACE INTO vault(k, v) VALUES(?1, ?2)",
    "SELECT k FROM vault WHERE k >= ?1 AND k < ?2 ORDER BY k",
    "SELECT k FROM vault WHERE k >= ?1 ORDER BY k",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
};

}  // namespace

struct kelhost_vault {
  sqlite3 *db = nullptr;
  sqlite3_stmt *st[NSTMT] = {};
  std::string path;
  kelmcat_vault table{};
  std::atomic<int64_t> writes{0};

  std::mutex mu;  // guards everything below and every use of db
  bool in_batch = false;
  std::thread::id owner;     // the thread that began the batch
  bool txn = false;          // a write transaction is open
  int64_t pending = 0;       // writes in it, acknowledged but not committed
  Clock::time_point opened;  // when it began
  bool failed = false;       // a commit of this batch failed
  int64_t lost = 0;          // acknowledged writes of this batch rolled back
  char failure[256] = "";    // why

  std::condition_variable wake;
  bool stop = false;
  std::thread timer;
};

namespace {

// Runs a prepared statement that returns no rows.
int exec_stmt(kelhost_vault *v, Stmt s) {
  int rc = sqlite3_step(v->st[s]);
  sqlite3_reset(v->st[s]);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The open transaction is gone (rolled back): its acknowledged writes are
// lost, and a batch remembers why. Caller holds mu.
void drop_pending(kelhost_vault *v, const char *why) {
  v->writes -= v->pending;
  v->lost += v->pending;
  v->txn = false;
  v->pending = 0;
  if (v->in_batch) {
    v->failed = true;
    std::snprintf(v->failure, sizeof v->failure, "%s", why);
  }
}

// Commits the open transaction. On failure it is rolled back and its writes
// are counted as lost. Caller holds mu.
bool commit_locked(kelhost_vault *v) {
  if (!v->txn) return true;
  int rc = exec_stmt(v, COMMIT);
  if (rc == SQLITE_OK) {
    v->txn = false;
    v->pending = 0;
    return true;
  }
  // The message is copied before the rollback replaces it.
  char why[256];
  std::snprintf(why, sizeof why, "%s", sqlite3_errmsg(v->db));
  if (!sqlite3_get_autocommit(v->db)) exec_stmt(v, ROLLBACK);
  drop_pending(v, why);
  kelhost_set_error("vault %s: commit failed, its last writes are lost: %s", v->path.c_str(), why);
  return false;
}

void timer_loop(kelhost_vault *v) {
  std::unique_lock<std::mutex> lock(v->mu);
  while (!v->stop) {
    if (v->txn) {
      Clock::time_point due = v->opened + kBatchAge;
      if (Clock::now() >= due) {
        commit_locked(v);
        continue;
      }
      v->wake.wait_until(lock, due);
    } else {
      v->wake.wait(lock);
    }
  }
}

void stop_timer(kelhost_vault *v, std::unique_lock<std::mutex> &lock) {
  if (!v->timer.joinable()) return;
  v->stop = true;
  v->wake.notify_all();
  lock.unlock();
  v->timer.join();
  lock.lock();
  v->stop = false;
}

// Opens the batch's transaction. The batch's reads run in it too: one read
// transaction per get costs more than the read itself. Caller holds mu.
bool begin_locked(kelhost_vault *v) {
  if (exec_stmt(v, BEGIN) != SQLITE_OK) return false;
  v->txn = true;
  v->pending = 0;
  v->opened = Clock::now();
  v->wake.notify_all();
  return true;
}

// Whether the calling thread's access belongs to the open batch; opens its
// transaction when it does and none is open (a failure leaves the access to
// run on its own). Caller holds mu.
bool join_batch(kelhost_vault *v) {
  if (!v->in_batch || std::this_thread::get_id() != v->owner || v->failed) return false;
  return v->txn || begin_locked(v);
}

char *copy_column(sqlite3_stmt *st) {
  const unsigned char *text = sqlite3_column_text(st, 0);
  if (!text) {
    // NULL can only mean no memory here: the column is NOT NULL.
    return nullptr;
  }
  size_t n = static_cast<size_t>(sqlite3_column_bytes(st, 0));
  char *out = static_cast<char *>(std::malloc(n + 1));
  if (!out) return nullptr;
  std::memcpy(out, text, n);
  out[n] = '\0';
  return out;
}

int bind_text(sqlite3_stmt *st, int index, const char *text) {
  return sqlite3_bind_text(st, index, text, static_cast<int>(std::strlen(text)), SQLITE_STATIC);
}

int32_t vault_get(void *ctx, const char *key, char **value) {
  auto *v = static_cast<kelhost_vault *>(ctx);
  if (!v || !key || !value) return -1;
  *value = nullptr;
  std::lock_guard<std::mutex> g(v->mu);
  join_batch(v);
  sqlite3_stmt *st = v->st[GET];
  int32_t result;
  int rc = bind_text(st, 1, key);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    *value = copy_column(st);
    result = *value ? 0 : -1;
    if (!*value) kelhost_set_error("vault %s: out of memory reading a value", v->path.c_str());
  } else if (rc == SQLITE_DONE) {
    result = 1;
  } else {
    kelhost_set_error("vault %s: read failed: %s", v->path.c_str(), sqlite3_errmsg(v->db));
    result = -1;
  }
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  return result;
}

// One INSERT OR REPLACE, in whatever transaction is open.
int put(kelhost_vault *v, const char *key, const char *value) {
  sqlite3_stmt *st = v->st[PUT];
  int rc = bind_text(st, 1, key);
  if (rc == SQLITE_OK) rc = bind_text(st, 2, value);
  if (rc == SQLITE_OK) rc = sqlite3_step(st);
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int32_t vault_set(void *ctx, const char *key, const char *value) {
  auto *v = static_cast<kelhost_vault *>(ctx);
  if (!v || !key || !value) return -1;
  std::lock_guard<std::mutex> g(v->mu);
  bool batched = v->in_batch && std::this_thread::get_id() == v->owner;
  if (batched && v->failed) {
    kelhost_set_error("vault %s: a commit of this batch failed: %s", v->path.c_str(), v->failure);
    return -1;
  }
  if (batched && !v->txn && !begin_locked(v)) {
    kelhost_set_error("vault %s: cannot begin a transaction: %s", v->path.c_str(),
                      sqlite3_errmsg(v->db));
    return -1;
  }
  if (put(v, key, value) != SQLITE_OK) {
    kelhost_set_error("vault %s: write failed: %s", v->path.c_str(), sqlite3_errmsg(v->db));
    // Some failures take the whole transaction with them.
    if (v->txn && sqlite3_get_autocommit(v->db)) drop_pending(v, sqlite3_errmsg(v->db));
    return -1;
  }
  if (!v->txn) {  // autocommit: stored and committed
    ++v->writes;
    return 0;
  }
  ++v->pending;
  ++v->writes;
  if (batched && v->pending < kBatchWrites) return 0;
  // The 1,000th write of the batch, or a write from outside it: committed
  // before it is acknowledged.
  return commit_locked(v) ? 0 : -1;
}

// The smallest text greater than every text that begins with prefix, or false
// when there is none (an empty prefix or one made only of 0xFF bytes).
bool prefix_successor(const char *prefix, std::string *out) {
  *out = prefix;
  while (!out->empty() && static_cast<unsigned char>(out->back()) == 0xFF) out->pop_back();
  if (out->empty()) return false;
  out->back() = static_cast<char>(static_cast<unsigned char>(out->back()) + 1);
  return true;
}

void free_keys(char **keys, size_t n) {
  for (size_t i = 0; i < n; ++i) std::free(keys[i]);
  std::free(keys);
}

int32_t vault_search(void *ctx, const char *prefix, char ***keys, size_t *count) {
  auto *v = static_cast<kelhost_vault *>(ctx);
  if (!v || !prefix || !keys || !count) return -1;
  *keys = nullptr;
  *count = 0;
  std::string upper;
  bool bounded;
  try {
    bounded = prefix_successor(prefix, &upper);
  } catch (const std::bad_alloc &) {
    return -1;
  }
  std::lock_guard<std::mutex> g(v->mu);
  join_batch(v);
  sqlite3_stmt *st = v->st[bounded ? RANGE : FROM];
  int rc = bind_text(st, 1, prefix);
  if (rc == SQLITE_OK && bounded)
    rc = sqlite3_bind_text(st, 2, upper.data(), static_cast<int>(upper.size()), SQLITE_STATIC);
  char **arr = nullptr;
  size_t n = 0, cap = 0;
  bool ok = rc == SQLITE_OK;
  while (ok && (rc = sqlite3_step(st)) == SQLITE_ROW) {
    if (n == cap) {
      size_t ncap = cap ? 2 * cap : 64;
      auto *grown = static_cast<char **>(std::realloc(arr, ncap * sizeof(char *)));
      if (!grown) {
        ok = false;
        break;
      }
      arr = grown;
      cap = ncap;
    }
    if (!(arr[n] = copy_column(st))) {
      ok = false;
      break;
    }
    ++n;
  }
  if (ok && rc != SQLITE_DONE) {
    kelhost_set_error("vault %s: key search failed: %s", v->path.c_str(), sqlite3_errmsg(v->db));
    ok = false;
  } else if (!ok && rc == SQLITE_ROW) {
    kelhost_set_error("vault %s: out of memory listing keys", v->path.c_str());
  }
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  if (!ok) {
    free_keys(arr, n);
    return -1;
  }
  *keys = arr;
  *count = n;
  return 0;
}

int32_t fail_open(kelhost_vault *v, int32_t code) {
  for (sqlite3_stmt *&s : v->st) sqlite3_finalize(s);
  sqlite3_close(v->db);
  delete v;
  return code;
}

bool is_format_error(int rc) {
  int primary = rc & 0xFF;
  return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// Reads one integer pragma; false with the error code in *rc on failure.
bool pragma_int(sqlite3 *db, const char *sql, int64_t *out, int *rc) {
  sqlite3_stmt *st = nullptr;
  *rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
  if (*rc == SQLITE_OK) {
    *rc = sqlite3_step(st);
    if (*rc == SQLITE_ROW) {
      *out = sqlite3_column_int64(st, 0);
      *rc = SQLITE_OK;
    }
  }
  sqlite3_finalize(st);
  return *rc == SQLITE_OK;
}

bool pragma_text(sqlite3 *db, const char *sql, std::string *out, int *rc) {
  sqlite3_stmt *st = nullptr;
  *rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
  if (*rc == SQLITE_OK) {
    *rc = sqlite3_step(st);
    if (*rc == SQLITE_ROW) {
      const unsigned char *t = sqlite3_column_text(st, 0);
      *out = t ? reinterpret_cast<const char *>(t) : "";
      *rc = SQLITE_OK;
    }
  }
  sqlite3_finalize(st);
  return *rc == SQLITE_OK;
}

// Checks that the database is a vault, or makes an empty one into a vault.
int32_t check_schema(kelhost_vault *v) {
  const char *path = v->path.c_str();
  int rc;
  int64_t app = 0, version = 0, tables = 0;
  if (!pragma_int(v->db, "PRAGMA application_id", &app, &rc) ||
      !pragma_int(v->db, "PRAGMA user_version", &version, &rc) ||
      !pragma_int(v->db, "SELECT count(*) FROM sqlite_schema", &tables, &rc)) {
    if (is_format_error(rc)) {
      kelhost_set_error("%s is not a vault database or is corrupt: %s", path,
                        sqlite3_errmsg(v->db));
      return KELHOST_ERR_FORMAT;
    }
    kelhost_set_error("cannot read vault database %s: %s", path, sqlite3_errmsg(v->db));
    return KELHOST_ERR_IO;
  }
  if (app == 0 && version == 0 && tables == 0) return 1;  // a new database
  if (app != kApplicationId) {
    kelhost_set_error("%s is an SQLite database but not a vault (application id %lld)", path,
                      static_cast<long long>(app));
    return KELHOST_ERR_FORMAT;
  }
  if (version != kSchemaVersion) {
    kelhost_set_error("%s is a vault of an unknown version (%lld; this kit reads %d)", path,
                      static_cast<long long>(version), kSchemaVersion);
    return KELHOST_ERR_FORMAT;
  }
  std::string sql;
  if (!pragma_text(v->db, "SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = 'vault'",
                   &sql, &rc) ||
      sql != kCreateTable) {
    kelhost_set_error("%s is marked as a vault but has no vault table", path);
    return KELHOST_ERR_FORMAT;
  }
  std::string check;
  if (!pragma_text(v->db, "PRAGMA quick_check", &check, &rc) || check != "ok") {
    kelhost_set_error("%s is a corrupt vault database: %s", path,
                      rc == SQLITE_OK ? check.c_str() : sqlite3_errmsg(v->db));
    return rc == SQLITE_OK || is_format_error(rc) ? KELHOST_ERR_FORMAT : KELHOST_ERR_IO;
  }
  return 0;
}

int32_t create_schema(kelhost_vault *v) {
  std::string sql = "BEGIN IMMEDIATE; PRAGMA application_id = " + std::to_string(kApplicationId) +
                    "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + "; " +
                    kCreateTable + "; COMMIT";
  if (sqlite3_exec(v->db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
    kelhost_set_error("cannot create vault database %s: %s", v->path.c_str(),
                      sqlite3_errmsg(v->db));
    sqlite3_exec(v->db, "ROLLBACK", nullptr, nullptr, nullptr);
    return KELHOST_ERR_IO;
  }
  return 0;
}

int32_t open_vault(kelhost_vault *v, const char *path, kelhost_vault **out) {
  v->path = path;
  int rc = sqlite3_open_v2(
      path, &v->db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    if (rc == SQLITE_NOMEM || !v->db) {
      kelhost_set_error("out of memory opening vault database %s", path);
      return fail_open(v, KELHOST_ERR_OOM);
    }
    kelhost_set_error("cannot open vault database %s: %s", path, sqlite3_errmsg(v->db));
    return fail_open(v, KELHOST_ERR_IO);
  }
  sqlite3_extended_result_codes(v->db, 1);
  sqlite3_busy_timeout(v->db, kBusyTimeoutMs);
  int32_t schema = check_schema(v);
  if (schema < 0) return fail_open(v, schema);
  if (sqlite3_db_readonly(v->db, "main") == 1) {
    kelhost_set_error("cannot write vault database %s: it is read-only", path);
    return fail_open(v, KELHOST_ERR_IO);
  }
  std::string mode;
  if (!pragma_text(v->db, "PRAGMA journal_mode = WAL", &mode, &rc) || mode != "wal" ||
      sqlite3_exec(v->db, kTuning, nullptr, nullptr, nullptr) != SQLITE_OK) {
    kelhost_set_error("cannot put vault database %s in WAL mode: %s", path,
                      rc == SQLITE_OK ? mode.c_str() : sqlite3_errmsg(v->db));
    return fail_open(v, is_format_error(rc) ? KELHOST_ERR_FORMAT : KELHOST_ERR_IO);
  }
  if (schema == 1) {
    int32_t made = create_schema(v);
    if (made < 0) return fail_open(v, made);
  }
  for (int i = 0; i < NSTMT; ++i) {
    rc = sqlite3_prepare_v3(v->db, kSql[i], -1, SQLITE_PREPARE_PERSISTENT, &v->st[i], nullptr);
    if (rc != SQLITE_OK) {
      kelhost_set_error("cannot prepare the vault's statements on %s: %s", path,
                        sqlite3_errmsg(v->db));
      return fail_open(v, rc == SQLITE_NOMEM ? KELHOST_ERR_OOM : KELHOST_ERR_IO);
    }
  }
  v->table = kelmcat_vault{nullptr, v, vault_get, vault_set, vault_search, nullptr};
  *out = v;
  return KELHOST_OK;
}

}  // namespace

namespace kelhost {
// For tests: the vault's connection.
sqlite3 *vault_db(kelhost_vault *v) {
  return v ? v->db : nullptr;
}
}  // namespace kelhost

extern "C" int32_t kelhost_vault_open(const char *path, kelhost_vault **out) noexcept {
  if (out) *out = nullptr;
  if (!path || !*path || !out) {
    kelhost_set_error("kelhost_vault_open: null path or output");
    return KELHOST_ERR_ARG;
  }
  auto *v = new (std::nothrow) kelhost_vault;
  if (!v) {
    kelhost_set_error("out of memory opening vault database %s", path);
    return KELHOST_ERR_OOM;
  }
  try {
    int32_t rc = open_vault(v, path, out);
    if (rc == KELHOST_OK) kelhost_clear_error();
    return rc;
  } catch (...) {  // std::bad_alloc from a text
    kelhost_set_error("out of memory opening vault database %s", path);
    return fail_open(v, KELHOST_ERR_OOM);
  }
}

extern "C" const kelmcat_vault *kelhost_vault_table(kelhost_vault *vault) noexcept {
  return vault ? &vault->table : nullptr;
}

extern "C" int32_t kelhost_vault_begin_batch(kelhost_vault *vault) noexcept {
  if (!vault) {
    kelhost_set_error("kelhost_vault_begin_batch: null vault");
    return KELHOST_ERR_ARG;
  }
  try {
    std::lock_guard<std::mutex> g(vault->mu);
    if (vault->in_batch) {
      kelhost_set_error("vault %s: a batch is already open", vault->path.c_str());
      return KELHOST_ERR_ARG;
    }
    if (!vault->timer.joinable()) vault->timer = std::thread(timer_loop, vault);
    vault->in_batch = true;
    vault->owner = std::this_thread::get_id();
    vault->failed = false;
    vault->lost = 0;
    vault->failure[0] = '\0';
  } catch (...) {  // std::system_error from the thread, std::bad_alloc
    kelhost_set_error("vault %s: cannot start a batch", vault->path.c_str());
    return KELHOST_ERR_OOM;
  }
  kelhost_clear_error();
  return KELHOST_OK;
}

extern "C" int32_t kelhost_vault_end_batch(kelhost_vault *vault) noexcept {
  if (!vault) {
    kelhost_set_error("kelhost_vault_end_batch: null vault");
    return KELHOST_ERR_ARG;
  }
  std::lock_guard<std::mutex> g(vault->mu);
  if (!vault->in_batch) {
    kelhost_set_error("vault %s: no batch is open", vault->path.c_str());
    return KELHOST_ERR_ARG;
  }
  commit_locked(vault);
  vault->in_batch = false;
  if (vault->failed) {
    kelhost_set_error("vault %s: %lld written values of the batch were lost: %s",
                      vault->path.c_str(), static_cast<long long>(vault->lost), vault->failure);
    vault->failed = false;
    return KELHOST_ERR_IO;
  }
  kelhost_clear_error();
  return KELHOST_OK;
}

extern "C" int64_t kelhost_vault_writes(const kelhost_vault *vault) noexcept {
  return vault ? vault->writes.load() : 0;
}

extern "C" void kelhost_vault_close(kelhost_vault *vault) noexcept {
  if (!vault) return;
  {
    std::unique_lock<std::mutex> lock(vault->mu);
    commit_locked(vault);
    vault->in_batch = false;
    stop_timer(vault, lock);
  }
  for (sqlite3_stmt *&s : vault->st) sqlite3_finalize(s);
  sqlite3_close(vault->db);
  delete vault;
}
