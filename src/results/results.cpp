// The per-file result list of the last scan, its accessors, and the counters
// of the last scan.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/grow.h"
#include "results/results_internal.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

kel_counters s_last_counters{};
// s_last_counters is written by the scanning thread and read by any other; the
// result document copies it with the state lock held, so it has its own lock.
std::mutex s_counters_lock;

// Positions of the unmatched results in list order, so that reading the n-th
// unmatched name is not a walk over the whole list. Guarded by the state lock.
// It covers the first s_indexed results and is trusted only while s_indexed
// equals result_count; anything else (a failed push, a growth that failed)
// makes it rebuild from the list itself.
std::vector<int32_t> s_unmatched;
int32_t s_indexed = 0;

// The results' texts, packed one after another into blocks that are freed
// only when the list is cleared, so that a text never moves while the list
// grows. Guarded by the state lock.
struct text_block {
  text_block *next;  // the block filled before this one
};
constexpr size_t kTextBlockBytes = 64 * 1024;
text_block *s_blocks = nullptr;  // the block being filled, first
char *s_text_at = nullptr;       // where the next texts go in it
size_t s_text_left = 0;          // bytes left there

// With the lock held: room for n bytes of texts, or null without memory.
char *take_text_locked(size_t n) {
  if (n > s_text_left) {
    size_t room = n > kTextBlockBytes ? n : kTextBlockBytes;
    auto *b = static_cast<text_block *>(std::malloc(sizeof(text_block) + room));
    if (!b) return nullptr;
    b->next = s_blocks;
    s_blocks = b;
    s_text_at = reinterpret_cast<char *>(b + 1);
    s_text_left = room;
  }
  char *at = s_text_at;
  s_text_at += n;
  s_text_left -= n;
  return at;
}

void free_texts_locked() {
  while (s_blocks) {
    text_block *next = s_blocks->next;
    std::free(s_blocks);
    s_blocks = next;
  }
  s_text_at = nullptr;
  s_text_left = 0;
}

// With the lock held: true when s_unmatched describes the current list.
bool index_sync_locked() {
  if (s_indexed == g_st.result_count) return true;
  try {
    s_unmatched.clear();
    for (int32_t i = 0; i < g_st.result_count; ++i)
      if (g_st.results[i].outcome == KELMCAT_OUTCOME_UNMATCHED) s_unmatched.push_back(i);
    s_indexed = g_st.result_count;
    return true;
  } catch (const std::bad_alloc &) {
    s_indexed = -1;
    return false;
  }
}

const kel_stored_result *result_at_locked(int32_t index) {
  if (index < 0 || index >= g_st.result_count) return nullptr;
  return &g_st.results[index];
}

// Part of a path after its last '/', or the whole path.
const char *base_name(const char *path) {
  const char *slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

void clear_locked() {
  free_texts_locked();
  g_st.result_count = 0;
  s_unmatched.clear();
  s_indexed = 0;
}

}  // namespace

void kel_results_clear() {
  Guard g(g_st.lock);
  clear_locked();
}

void kel_results_reset_locked() {
  clear_locked();
  std::free(g_st.results);
  g_st.results = nullptr;
  g_st.result_cap = 0;
}

const char *kel_stored_path(const kel_stored_result &r) {
  return r.texts + std::strlen(r.texts) + 1;
}

const char *kel_stored_imdb_id(const kel_stored_result &r) {
  const char *path = kel_stored_path(r);
  return path + std::strlen(path) + 1;
}

int kel_result_add(const kel_result *r) {
  if (!r) return -1;
  const char *key = r->key ? r->key : "";
  const char *path = r->path ? r->path : "";
  const char *imdb_id = r->imdb_id ? r->imdb_id : "";
  size_t klen = std::strlen(key) + 1, plen = std::strlen(path) + 1, ilen = std::strlen(imdb_id) + 1;
  Guard g(g_st.lock);
  // The capacity stops doubling at 2^30, the last doubling an int32_t holds.
  if (!kel_grow(g_st.results, g_st.result_count, g_st.result_cap, 64, INT32_MAX / 2 + 1)) return -1;
  char *texts = take_text_locked(klen + plen + ilen);
  if (!texts) return -1;
  std::memcpy(texts, key, klen);
  std::memcpy(texts + klen, path, plen);
  std::memcpy(texts + klen + plen, imdb_id, ilen);
  kel_stored_result copy{texts, r->outcome, r->season, r->episode};
  bool indexed = index_sync_locked();
  int32_t at = g_st.result_count;
  g_st.results[at] = copy;
  g_st.result_count = at + 1;
  if (indexed) {
    try {
      if (copy.outcome == KELMCAT_OUTCOME_UNMATCHED) s_unmatched.push_back(at);
      s_indexed = g_st.result_count;
    } catch (const std::bad_alloc &) {
      s_indexed = -1;
    }
  }
  return 0;
}

int kel_result_add_fields(const char *key, const char *path, const char *imdb_id, int32_t outcome,
                          int32_t season, int32_t episode) {
  kel_result r{};
  r.key = const_cast<char *>(key);
  r.path = const_cast<char *>(path);
  r.imdb_id = const_cast<char *>(imdb_id);
  r.outcome = outcome;
  r.season = season;
  r.episode = episode;
  return kel_result_add(&r);
}

void kel_last_counters_copy(kel_counters *out) {
  if (!out) return;
  Guard g(s_counters_lock);
  *out = s_last_counters;
}

void kel_last_counters_set(const kel_counters *c) {
  Guard g(s_counters_lock);
  s_last_counters = c ? *c : kel_counters{};
}

extern "C" {

KELMCAT_API int32_t kelmcat_result_count(void) noexcept {
  Guard g(g_st.lock);
  return g_st.result_count;
}

KELMCAT_API const char *kelmcat_result_key(int32_t index) noexcept {
  Guard g(g_st.lock);
  const kel_stored_result *r = result_at_locked(index);
  return r ? kel_stored_key(*r) : kel_empty;
}

KELMCAT_API const char *kelmcat_result_path(int32_t index) noexcept {
  Guard g(g_st.lock);
  const kel_stored_result *r = result_at_locked(index);
  return r ? kel_stored_path(*r) : kel_empty;
}

KELMCAT_API const char *kelmcat_result_imdb_id(int32_t index) noexcept {
  Guard g(g_st.lock);
  const kel_stored_result *r = result_at_locked(index);
  return r ? kel_stored_imdb_id(*r) : kel_empty;
}

KELMCAT_API int32_t kelmcat_result_outcome(int32_t index) noexcept {
  Guard g(g_st.lock);
  const kel_stored_result *r = result_at_locked(index);
  return r ? r->outcome : 0;
}

KELMCAT_API int32_t kelmcat_result_season(int32_t index) noexcept {
  Guard g(g_st.lock);
  const kel_stored_result *r = result_at_locked(index);
  return r ? r->season : -1;
}

KELMCAT_API int32_t kelmcat_result_episode(int32_t index) noexcept {
  Guard g(g_st.lock);
  const kel_stored_result *r = result_at_locked(index);
  return r ? r->episode : -1;
}

KELMCAT_API int32_t kelmcat_unmatched_count(void) noexcept {
  Guard g(g_st.lock);
  if (index_sync_locked()) return static_cast<int32_t>(s_unmatched.size());
  int32_t n = 0;
  for (int32_t i = 0; i < g_st.result_count; ++i)
    if (g_st.results[i].outcome == KELMCAT_OUTCOME_UNMATCHED) ++n;
  return n;
}

KELMCAT_API const char *kelmcat_unmatched_name(int32_t n) noexcept {
  if (n < 0) return kel_empty;
  Guard g(g_st.lock);
  if (index_sync_locked()) {
    if (static_cast<size_t>(n) >= s_unmatched.size()) return kel_empty;
    return base_name(kel_stored_path(g_st.results[s_unmatched[static_cast<size_t>(n)]]));
  }
  for (int32_t i = 0; i < g_st.result_count; ++i) {
    if (g_st.results[i].outcome != KELMCAT_OUTCOME_UNMATCHED) continue;
    if (n-- == 0) return base_name(kel_stored_path(g_st.results[i]));
  }
  return kel_empty;
}

KELMCAT_API int32_t kelmcat_stats(kelmcat_scan_stats *stats) noexcept {
  if (!stats) {
    kel_set_error("null stats");
    return KELMCAT_ERR_ARG;
  }
  kel_counters c;
  kel_last_counters_copy(&c);
#define KEL_COUNTER_COPY(type, member, name) stats->member = c.member;
  KEL_COUNTERS(KEL_COUNTER_COPY)
#undef KEL_COUNTER_COPY
  return KELMCAT_OK;
}

}  // extern "C"
