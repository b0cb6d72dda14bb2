// Shared by the fuzz programs: cutting an input into texts, checks that abort
// the run, host tables (IO, vault) that answer from the input, and the
// library set up for a whole scan over a small fake tree.
#ifndef KELMCAT_FUZZ_COMMON_H
#define KELMCAT_FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"
#include "kelmcat.h"

namespace fz {

[[noreturn]] inline void broken(const char *what, const char *file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}

#define FZ_CHECK(c) ((c) ? (void)0 : fz::broken(#c, __FILE__, __LINE__))

// The bytes of the input cut at every NUL byte: at most max texts, the last
// one keeping the rest of the input (NUL bytes included).
inline std::vector<std::string> split(const uint8_t *data, size_t size, size_t max) {
  std::vector<std::string> out;
  const char *p = reinterpret_cast<const char *>(data);
  size_t at = 0;
  while (out.size() + 1 < max) {
    const void *nul = size > at ? std::memchr(p + at, 0, size - at) : nullptr;
    if (!nul) break;
    size_t end = static_cast<size_t>(static_cast<const char *>(nul) - p);
    out.emplace_back(p + at, end - at);
    at = end + 1;
  }
  out.emplace_back(size > at ? std::string(p + at, size - at) : std::string());
  return out;
}

inline const std::string &part(const std::vector<std::string> &parts, size_t i) {
  static const std::string none;
  return i < parts.size() ? parts[i] : none;
}

// A text the library returned must be strict JSON when it is not empty.
inline void check_json_or_empty(const char *text) {
  FZ_CHECK(text != nullptr);
  if (!*text) return;
  kj::Doc doc;
  FZ_CHECK(doc.parse(text, std::strlen(text)));
}

// The services a scan talks to, told apart by the request path.
enum Route { kLookup, kIsMovie, kCorrections, kFind, kNotify, kRoutes };

inline Route route_of(const char *url) {
  if (std::strstr(url, "/api/AAA/IsMovie?")) return kIsMovie;
  if (std::strstr(url, "/api/MediaIndex/Corrections")) return kCorrections;
  if (std::strstr(url, "/api/MediaIndex/Find?")) return kFind;
  if (std::strstr(url, "/api/AAA/SendMessageQueue?")) return kNotify;
  return kLookup;
}

// A host IO table: each route answers its own body with its own status; a
// status of -1 is a transport failure whose error text is the body.
struct ScriptIO {
  kelmcat_io table{};
  std::string body[kRoutes];
  int32_t status[kRoutes];
  // Further lookup bodies, answered in turn after body[kLookup].
  std::vector<std::string> more_lookups;
  size_t lookups = 0;
  int calls = 0;

  ScriptIO() {
    table.ctx = this;
    table.http_get = &ScriptIO::get;
    table.release = &ScriptIO::release;
    body[kLookup] = R"({"imDbId":"tt0000001","isTVShow":true})";
    body[kIsMovie] = "true";
    body[kCorrections] = "{}";
    body[kFind] = "[]";
    body[kNotify] = "";
    for (int32_t &s : status) s = 200;
  }
  static char *dup(const std::string &s) {
    char *p = static_cast<char *>(std::malloc(s.size() + 1));
    if (p) {
      std::memcpy(p, s.data(), s.size());
      p[s.size()] = '\0';
    }
    return p;
  }
  static int32_t get(void *ctx, const char *url, char **body, int32_t *status, char **error) {
    auto *io = static_cast<ScriptIO *>(ctx);
    ++io->calls;
    Route r = route_of(url);
    const std::string *text = &io->body[r];
    if (r == kLookup) {
      size_t n = io->lookups++;
      if (n > 0 && !io->more_lookups.empty())
        text = &io->more_lookups[(n - 1) % io->more_lookups.size()];
    }
    if (io->status[r] == -1) {
      *error = dup(*text);
      return -1;
    }
    *status = io->status[r];
    *body = dup(*text);
    return 0;
  }
  static void release(void *, void *p) { std::free(p); }
};

// Statuses a script can choose for a route, by a 3-bit selector.
inline int32_t status_choice(unsigned sel) {
  static const int32_t table[8] = {200, 200, 201, 204, 404, 500, 302, -1};
  return table[sel & 7u];
}

// A vault over a map. A value scripted for a get may force the answer with
// its first byte: 0x01 not found, 0x02 vault failure, 0x03 found with no text.
struct ScriptVault {
  std::map<std::string, std::string> kv;
  std::vector<std::string> search_keys;
  int32_t search_rc = 0;
  int32_t set_rc = 0;
  int gets = 0, sets = 0;

  static int32_t answer(const std::string &v, char **value) {
    if (!v.empty() && v[0] == '\x01') return 1;
    if (!v.empty() && v[0] == '\x02') return -1;
    if (!v.empty() && v[0] == '\x03') return 0;
    *value = ScriptIO::dup(v);
    return 0;
  }
  static int32_t get(void *ctx, const char *key, char **value) {
    auto *v = static_cast<ScriptVault *>(ctx);
    ++v->gets;
    auto it = v->kv.find(key);
    if (it == v->kv.end()) return 1;
    return answer(it->second, value);
  }
  static int32_t set(void *ctx, const char *key, const char *value) {
    auto *v = static_cast<ScriptVault *>(ctx);
    ++v->sets;
    if (v->set_rc) return v->set_rc;
    v->kv[key] = value;
    return 0;
  }
  static int32_t search(void *ctx, const char *, char ***keys, size_t *count) {
    auto *v = static_cast<ScriptVault *>(ctx);
    if (!v->search_keys.empty()) {
      *keys = static_cast<char **>(std::malloc(v->search_keys.size() * sizeof(char *)));
      if (*keys) {
        for (size_t i = 0; i < v->search_keys.size(); ++i)
          (*keys)[i] = ScriptIO::dup(v->search_keys[i]);
        *count = v->search_keys.size();
      }
    }
    return v->search_rc;
  }
  kelmcat_vault table() {
    kelmcat_vault t{};
    t.ctx = this;
    t.get = &ScriptVault::get;
    t.set = &ScriptVault::set;
    t.search_keys = &ScriptVault::search;
    return t;
  }
};

// Four candidate files in two folders: a movie name, two TV names (one of them
// with a backend id) and one that carries metadata instead of an extension.
inline const char *small_tree() {
  return R"({"name":"","children":[
    {"name":"Movies","children":[
      {"name":"Alien (1979).mkv","size":100,"mtime_ms":5},
      {"name":"meta.bin","title":"A Title","year":2001,"size":7}]},
    {"name":"TV","children":[
      {"name":"Show.S01E02.mp4","size":200},
      {"name":"Other Show 2x03.avi","size":300,"id":"backend-id-1"}]}]})";
}

// The paths and sizes of the files of small_tree(), for the keys built from them.
inline std::vector<std::string> small_tree_item_keys() {
  std::vector<std::string> keys;
  struct File {
    const char *path;
    int64_t size;
  } files[] = {
      {"Movies/Alien (1979).mkv", 100}, {"Movies/meta.bin", 7}, {"TV/Show.S01E02.mp4", 200}};
  char out[256];
  for (const File &f : files)
    if (kelmcat_derive_key(f.path, f.size, out, sizeof out) == KELMCAT_OK) keys.push_back(out);
  keys.push_back("backend-id-1");
  return keys;
}

// The vault key of an item key under the user "u1" (correction: its correction key).
inline std::string user_key(const std::string &item_key, bool correction) {
  char k[32];
  int32_t rc = correction ? kelmcat_correction_key(item_key.c_str(), k, sizeof k)
                          : kelmcat_vault_key(item_key.c_str(), k, sizeof k);
  FZ_CHECK(rc == KELMCAT_OK);
  return std::string("TALMERON_IMediaKeyVault_u1_") + k;
}

// Everything back to load state, with the fake tree backend and the given
// tables installed and writes armed: ready for kelmcat_scan("u1", "c1").
inline void setup_scan(ScriptIO *io, ScriptVault *vault) {
  kelmcat_shutdown();
  kelffa_fake_set_fault(0, 0);
  kelffa_fake_set_caps(0x0F);
  FZ_CHECK(kelmcat_fake_load_tree(small_tree()) == KELMCAT_OK);
  kelmcat_set_io(&io->table);
  FZ_CHECK(kelmcat_set_matcher_host("https://match.test") == KELMCAT_OK);
  FZ_CHECK(kelmcat_set_backend("fake", nullptr) == KELMCAT_OK);
  kelmcat_vault t = vault->table();
  FZ_CHECK(kelmcat_set_vault(&t) == KELMCAT_OK);
  FZ_CHECK(kelmcat_set_queue_credential("secret") == KELMCAT_OK);
  kelmcat_arm_writes(1);
}

// Reads back everything a host may read after a scan.
inline void read_scan_results() {
  kelmcat_scan_stats st{};
  FZ_CHECK(kelmcat_stats(&st) == KELMCAT_OK);
  int32_t n = kelmcat_result_count();
  FZ_CHECK(n >= 0);
  int32_t unmatched = 0;
  for (int32_t i = 0; i < n; ++i) {
    FZ_CHECK(kelmcat_result_key(i) && kelmcat_result_path(i) && kelmcat_result_imdb_id(i));
    int32_t o = kelmcat_result_outcome(i);
    FZ_CHECK(o >= KELMCAT_OUTCOME_ADDED && o <= KELMCAT_OUTCOME_ERROR);
    if (o == KELMCAT_OUTCOME_UNMATCHED) ++unmatched;
  }
  FZ_CHECK(kelmcat_unmatched_count() == unmatched);
  for (int32_t i = 0; i < unmatched; ++i) FZ_CHECK(kelmcat_unmatched_name(i) != nullptr);
  for (int32_t i = 0; i < kelmcat_warning_count(); ++i) FZ_CHECK(kelmcat_warning(i) != nullptr);
  FZ_CHECK(kelmcat_last_error() != nullptr && kelmcat_last_url() != nullptr);
  check_json_or_empty(kelmcat_result_json());
}

// One scan of the installed setup: correct mode from bit 0 of flags,
// add-new-only from bit 1; it may fail but never with an unknown code, and
// everything it reports is read back.
inline void scan_and_read(unsigned flags) {
  kelmcat_set_correct_mode(flags & 1u);
  kelmcat_set_add_new_only(flags & 2u);
  int32_t rc = kelmcat_scan("u1", "c1");
  FZ_CHECK(rc <= 0 && rc >= KELMCAT_ERR_OOM);
  read_scan_results();
}

}  // namespace fz

#endif
