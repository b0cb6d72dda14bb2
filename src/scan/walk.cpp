// The folder walk: every folder of the open backend, depth first, files before
// subfolders, with the depth cap, cancellation, cycle detection and the path
// filters; and the walk context it works in.
#include "scan/walk.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "ffa/ffa_internal.h"
#include "scan/filters.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

constexpr uint64_t kInitialIndexSlots = 1024;

// 64-bit FNV-1a with this system's start value (not the published basis).
uint64_t path_hash(const char *s) {
  uint64_t h = 1469598103934665603ULL;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
    h ^= *p;
    h *= 1099511628211ULL;
  }
  return h;
}

void index_put(uint64_t *index, uint64_t mask, const char *path, uint64_t value) {
  uint64_t slot = path_hash(path) & mask;
  while (index[slot] != 0) slot = (slot + 1) & mask;
  index[slot] = value;
}

bool skipped_name(const char *name) {
  return !name || !*name || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Owned paths of the subfolders of one folder, in the order found.
struct subfolders {
  char **items = nullptr;
  size_t count = 0;
  size_t cap = 0;
  size_t next = 0;  // first path not yet walked

  ~subfolders() {
    for (size_t i = next; i < count; ++i) std::free(items[i]);
    std::free(items);
  }
  bool push(const char *path) {
    if (count == cap) {
      size_t ncap = cap ? cap * 2 : 16;
      void *p = std::realloc(items, ncap * sizeof(char *));
      if (!p) return false;
      items = static_cast<char **>(p);
      cap = ncap;
    }
    char *copy = kel_strdup(path);
    if (!copy) return false;
    items[count++] = copy;
    return true;
  }
};

// Lists the folder from its first page and hands every entry of every page to
// visit, in order; a non-zero code from visit ends the listing with that code.
// A null entry ends its page early.
template <class Visit>
int32_t each_entry(const char *lpath, Visit &&visit) {
  if (kelffa_list(lpath) != 0) return KELMCAT_ERR_NO_STORAGE;
  int32_t from = 0;
  for (;;) {
    int32_t n = kelffa_count();
    for (int32_t i = from; i < n; ++i) {
      const kelffa_item *it = kelffa_item_at(i);
      if (!it) break;
      int32_t r = visit(it);
      if (r != 0) return r;
    }
    from = n;
    if (!kelffa_more()) return 0;
    if (kelffa_list_next() < 0) return KELMCAT_ERR_NO_STORAGE;
  }
}

// File pass: every entry counts as walked; files go to the categorization.
int32_t file_pass(kel_walk *w, const char *lpath) {
  return each_entry(lpath, [&](const kelffa_item *it) -> int32_t {
    w->counters->walked++;
    if (kel_walk_cancelled(w)) return KELMCAT_ERR_CANCELLED;
    if (skipped_name(it->name) || kelffa_item_is_folder(it)) return 0;
    return kel_categorize_file(w, it, lpath);
  });
}

// Folder pass: queues every subfolder that is neither visited nor filtered out.
int32_t folder_pass(kel_walk *w, const char *lpath, subfolders *subs) {
  return each_entry(lpath, [&](const kelffa_item *it) -> int32_t {
    if (!kelffa_item_is_folder(it) || skipped_name(it->name)) return 0;
    const char *joined = kelffa_path_join(lpath, it->name);
    if (!joined) {
      kel_add_warning("path join rejected %.*s", kel_cutw(it->name, 48), it->name);
      return 0;
    }
    if (kel_clean_path(joined, &w->clean_path) != 0) return KELMCAT_ERR_OOM;
    const char *clean = w->clean_path.data;
    if (kel_visited_has(w, clean)) {
      w->counters->errors++;
      kel_add_warning("cycle detected at %s", clean);
      return 0;
    }
    if (!kel_path_included(clean, 1)) return 0;
    if (!subs->push(joined)) return KELMCAT_ERR_OOM;
    if (kel_visited_add(w, clean) != 0) return KELMCAT_ERR_OOM;
    return 0;
  });
}

}  // namespace

int32_t kel_walk_init(kel_walk *w, const char *user, const char *runtime_config_id,
                      kel_counters *counters) {
  *w = kel_walk{};
  w->user = user;
  w->runtime_config_id = runtime_config_id;
  w->counters = counters;
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
  kel_buf_free(&w->file_path);
  kel_buf_free(&w->clean_path);
  *w = kel_walk{};
}

int kel_walk_add_correction_id(kel_walk *w, const char *id, size_t len) {
  if (w->correction_count == w->correction_cap) {
    uint64_t ncap = w->correction_cap ? w->correction_cap * 2 : 64;
    void *p = std::realloc(w->correction_ids, ncap * sizeof(char *));
    if (!p) return -1;
    w->correction_ids = static_cast<char **>(p);
    w->correction_cap = ncap;
  }
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

int kel_walk_has_correction_id(const kel_walk *w, const char *id) {
  if (!w->correction_set || !id) return 0;
  return w->correction_set->find(std::string_view(id)) ? 1 : 0;
}

int kel_visited_has(const kel_walk *w, const char *path) {
  if (w->index_mask == 0 || !path) return 0;
  uint64_t slot = path_hash(path) & w->index_mask;
  while (w->index[slot] != 0) {
    if (std::strcmp(w->visited[w->index[slot] - 1], path) == 0) return 1;
    slot = (slot + 1) & w->index_mask;
  }
  return 0;
}

int kel_visited_add(kel_walk *w, const char *path) {
  if (w->visited_count == w->visited_cap) {
    uint64_t ncap = w->visited_cap ? w->visited_cap * 2 : 64;
    void *p = std::realloc(w->visited, ncap * sizeof(char *));
    if (!p) return -1;
    w->visited = static_cast<char **>(p);
    w->visited_cap = ncap;
  }
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

int32_t walk_folder(kel_walk *w, const char *path, int32_t level) {
  if (kel_walk_cancelled(w)) return KELMCAT_ERR_CANCELLED;

  int32_t max_depth;
  {
    Guard g(g_st.lock);
    max_depth = g_st.max_depth;
  }
  if (max_depth < level) {
    w->counters->depth_max = level;
    kel_add_warning("depth cap %d exceeded at %.*s", max_depth, kel_cutw(path, 64), path);
    return KELMCAT_ERR_DEPTH;
  }
  if (level > w->counters->depth_max) w->counters->depth_max = level;

  // The listing path: the walk root at level 0 when one is set, else the
  // caller's path, which stays valid for this call. Neither is ever cut.
  std::unique_ptr<char, decltype(&std::free)> root(nullptr, &std::free);
  if (level == 0) {
    Guard g(g_st.lock);
    if (g_st.walk_root[0]) {
      root.reset(kel_strdup(g_st.walk_root));
      if (!root) return KELMCAT_ERR_OOM;
    }
  }
  const char *lpath = root ? root.get() : path;

  int32_t r = file_pass(w, lpath);
  if (r != 0) return r;

  subfolders subs;
  r = folder_pass(w, lpath, &subs);
  if (r != 0) return r;

  while (subs.next < subs.count) {
    char *sub = subs.items[subs.next++];
    r = walk_folder(w, sub, level + 1);
    std::free(sub);
    if (r != 0) return r;
  }
  return 0;
}
