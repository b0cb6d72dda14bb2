// The walk context: the visited set with its index, the correction ids with
// their set, the cancellation check and the hand-over of results.
#include "scan/walk_context.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>

#include "core/grow.h"
#include "core/keys.h"
#include "core/path.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr uint64_t kInitialIndexSlots = 1024;

void index_put(uint64_t *index, uint64_t mask, const char *path, uint64_t value) {
  uint64_t slot = kel_path_hash(path) & mask;
  while (index[slot] != 0) slot = (slot + 1) & mask;
  index[slot] = value;
}

}  // namespace

int32_t kel_walk_init(kel_walk *w, const char *user, const char *runtime_config_id,
                      kel_counters *counters) {
  *w = kel_walk{};
  w->user = user;
  w->runtime_config_id = runtime_config_id;
  w->counters = counters;
  kel_vault_prefixed_key(w->vault_prefix, sizeof w->vault_prefix, user, "");
  w->vault_prefix_len = std::strlen(w->vault_prefix);
  w->index = static_cast<uint64_t *>(std::calloc(kInitialIndexSlots, sizeof(uint64_t)));
  if (!w->index) return KELMCAT_ERR_OOM;
  w->index_mask = kInitialIndexSlots - 1;
  return 0;
}

void kel_walk_free(kel_walk *w) {
  for (uint64_t i = 0; i < w->visited_count; ++i) std::free(w->visited[i]);
  std::free(w->visited);
  std::free(w->index);
  delete w->correction_set;
  for (uint64_t i = 0; i < w->correction_count; ++i) std::free(w->correction_ids[i]);
  std::free(w->correction_ids);
  kel_file_paths_free(&w->file_paths);
  kel_buf_free(&w->clean_path);
  *w = kel_walk{};
}

int kel_walk_add_correction_id(kel_walk *w, const char *id, size_t len) {
  if (!kel_grow(w->correction_ids, w->correction_count, w->correction_cap, uint64_t{64},
                UINT64_MAX))
    return -1;
  char *copy = kel_strndup(id, len);
  if (!copy) return -2;
  try {
    if (!w->correction_set) w->correction_set = new kel::FlatMap<bool>();
    w->correction_set->insert(std::string_view(copy, len), true);
  } catch (const std::bad_alloc &) {
    std::free(copy);
    return -2;
  }
  w->correction_ids[w->correction_count++] = copy;
  return 0;
}

void kel_walk_collect_correction_ids(kel_walk *w) {
  void *ctx = nullptr;
  int32_t (*search)(void *, const char *, char ***, size_t *) = nullptr;
  {
    Guard g(g_st.lock);
    if (g_st.have_vault) {
      ctx = g_st.vault.ctx;
      search = g_st.vault.search_keys;
    }
  }
  if (!search) return;
  char **keys = nullptr;
  size_t count = 0;
  int32_t rc = search(ctx, KEL_VAULT_NAMESPACE, &keys, &count);
  if (!keys) return;
  bool collecting = rc == 0;
  for (size_t i = 0; i < count; ++i) {
    const char *k = keys[i];
    if (collecting && k) {
      const char *m = std::strstr(k, KEL_CORRECT_PREFIX);
      if (m) {
        const char *d = m + sizeof(KEL_CORRECT_PREFIX) - 1;
        size_t n = 0;
        while (n < 23 && d[n] >= '0' && d[n] <= '9') ++n;
        if (n > 0 && kel_walk_add_correction_id(w, d, n) == -1)
          collecting = false;  // the array cannot grow
      }
    }
    std::free(keys[i]);
  }
  std::free(keys);
}

int kel_walk_has_correction_id(const kel_walk *w, const char *id) {
  if (!w->correction_set || !id) return 0;
  return w->correction_set->find(std::string_view(id)) ? 1 : 0;
}

int kel_visited_has(const kel_walk *w, const char *path) {
  if (w->index_mask == 0 || !path) return 0;
  uint64_t slot = kel_path_hash(path) & w->index_mask;
  while (w->index[slot] != 0) {
    if (std::strcmp(w->visited[w->index[slot] - 1], path) == 0) return 1;
    slot = (slot + 1) & w->index_mask;
  }
  return 0;
}

int kel_visited_add(kel_walk *w, const char *path) {
  if (!kel_grow(w->visited, w->visited_count, w->visited_cap, uint64_t{64}, UINT64_MAX)) return -1;
  char *copy = kel_strdup(path);
  if (!copy) return -1;
  w->visited[w->visited_count++] = copy;
  if (w->index_mask == 0) return 0;

  if (3 * w->visited_count > 2 * w->index_mask) {
    // Grow by four before the load passes two thirds; without memory, cycle
    // detection is switched off for the rest of the scan.
    uint64_t nmask = 4 * w->index_mask + 3;
    uint64_t *nindex = static_cast<uint64_t *>(std::calloc(nmask + 1, sizeof(uint64_t)));
    std::free(w->index);
    w->index = nindex;
    if (!nindex) {
      w->index_mask = 0;
      return 0;
    }
    w->index_mask = nmask;
    for (uint64_t i = 0; i + 1 < w->visited_count; ++i)
      index_put(w->index, nmask, w->visited[i], i + 1);
  }
  index_put(w->index, w->index_mask, copy, w->visited_count);
  return 0;
}

int kel_walk_cancelled(kel_walk *w) {
  int32_t requested;
  {
    Guard g(g_st.lock);
    requested = g_st.cancel_requested;
  }
  if (requested || w->cancelled) w->cancelled = 1;
  return w->cancelled;
}

void kel_walk_progress(kel_walk *w, int32_t depth, const char *folder) {
  kelmcat_progress_fn fn;
  void *user;
  {
    Guard g(g_st.lock);
    fn = g_st.progress_fn;
    user = g_st.progress_user;
  }
  w->progress_on = fn != nullptr;
  if (!fn) return;
  const kel_counters &c = *w->counters;
  kelmcat_progress p{};
  p.struct_size = sizeof p;
  p.depth = depth;
  p.folder = folder ? folder : "";
  p.walked = c.walked;
  p.considered = c.considered;
  p.matched = c.matched;
  p.unmatched = c.unmatched;
  p.added = c.added;
  p.updated = c.updated;
  p.unchanged = c.unchanged;
  p.errors = c.errors;
  p.vault_writes = c.vault_writes;
  p.matcher_calls = c.matcher_calls;
  fn(&p, user);
}

void kel_walk_add_result(const kel_walk *w, const char *key, const char *path, const char *imdb_id,
                         int32_t outcome, int32_t season, int32_t episode) {
  if (w->out && w->out->add_result)
    w->out->add_result(key, path, imdb_id, outcome, season, episode);
}
