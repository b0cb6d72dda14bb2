// The folder walk: every folder of the open backend, depth first, files before
// subfolders, with the depth cap, cancellation, cycle detection and the path
// filters; and the run of one scan's walk.
#include "scan/walk.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "core/grow.h"
#include "core/path.h"
#include "ffa/rejections.h"
#include "match/matcher.h"
#include "scan/categorize.h"
#include "scan/filters.h"
#include "scan/lookahead.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

bool skipped_name(const char *name) {
  return !name || !*name || kel_is_dot_name(name);
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
    if (!kel_grow(items, count, cap, size_t{16}, SIZE_MAX)) return false;
    char *copy = kel_strdup(path);
    if (!copy) return false;
    items[count++] = copy;
    return true;
  }
};

// Files categorized between two progress reports (counted over the whole scan).
constexpr uint64_t kProgressEvery = 256;

// Turns a failed listing into the walk's code. A cancellation and running out
// of memory keep their own codes (and messages); any other failure is the
// storage's, with the reason recorded as the last error.
int32_t listing_failed(kel_walk *w, const char *lpath, int32_t code, bool first_page) {
  if (code == KELFFA_ERR_CANCELLED) {
    w->cancelled = 1;
    return KELMCAT_ERR_CANCELLED;
  }
  if (code == KELFFA_ERR_OOM) return KELMCAT_ERR_OOM;
  const char *why = kelffa_last_error();
  kel_set_error(first_page ? "list '%s' failed: %s: %s" : "list '%s' next page failed: %s: %s",
                lpath, kelffa_strerror(code), why && *why ? why : "?");
  w->error_recorded = 1;
  return KELMCAT_ERR_NO_STORAGE;
}

// Lists the folder from its first page and hands every entry of every page to
// visit with its index, in order; a non-zero code from visit ends the listing
// with that code.
// A null entry ends its page early.
template <class Visit>
int32_t each_entry(kel_walk *w, const char *lpath, Visit &&visit) {
  int32_t rc = kelffa_list(lpath);
  if (rc != 0) return listing_failed(w, lpath, rc, true);
  int32_t from = 0;
  for (;;) {
    int32_t n = kelffa_count();
    for (int32_t i = from; i < n; ++i) {
      const kelffa_item *it = kelffa_item_at(i);
      if (!it) break;
      int32_t r = visit(it, i);
      if (r != 0) return r;
    }
    from = n;
    if (!kelffa_more()) return 0;
    rc = kelffa_list_next();
    if (rc < 0) return listing_failed(w, lpath, -rc, false);
  }
}

// One warning for a listing that dropped entries, so that what is missing from
// the results can be found. Folder and name are escaped where they are not
// valid UTF-8, so the warning can always be written into the result document.
void warn_rejected(const char *lpath) {
  const char *reason = nullptr;
  const char *name = nullptr;
  int32_t n = kelffa__first_rejection(&reason, &name);
  if (n <= 0) return;
  char folder[160];
  char first[96];
  kel_utf8_escape(lpath, folder, sizeof folder);
  kel_utf8_escape(name, first, sizeof first);
  kel_add_warning("listing '%s' rejected %d %s; first: %s: '%s'", folder, static_cast<int>(n),
                  n == 1 ? "entry" : "entries", reason, first);
}

// File pass: every entry counts as walked; files go to the categorization.
int32_t file_pass(kel_walk *w, const char *lpath, int32_t level) {
  int32_t r = each_entry(w, lpath, [&](const kelffa_item *it, int32_t index) -> int32_t {
    w->counters->walked++;
    if (kel_walk_cancelled(w)) return KELMCAT_ERR_CANCELLED;
    if (skipped_name(it->name) || kelffa_item_is_folder(it)) return 0;
    if (w->ahead) kel_lookahead_before(w, index, lpath);
    int32_t rc = kel_categorize_file(w, it, lpath);
    if (++w->categorized % kProgressEvery == 0 && w->progress_on)
      kel_walk_progress(w, level, lpath);
    return rc;
  });
  if (w->ahead) kel_lookahead_folder_end(w);
  warn_rejected(lpath);
  return r;
}

// Folder pass: queues every subfolder that is neither visited nor filtered out.
int32_t folder_pass(kel_walk *w, const char *lpath, subfolders *subs) {
  return each_entry(w, lpath, [&](const kelffa_item *it, int32_t) -> int32_t {
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

int32_t walk_folder(kel_walk *w, const char *path, int32_t level) {
  if (kel_walk_cancelled(w)) return KELMCAT_ERR_CANCELLED;

  int32_t max_depth;
  {
    Guard g(g_st.lock);
    max_depth = g_st.max_depth;
    w->progress_on = g_st.progress_fn != nullptr;
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

  if (w->progress_on) kel_walk_progress(w, level, lpath);

  int32_t r = file_pass(w, lpath, level);
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

namespace {

// Frees the walk context however the walk ends.
struct walk_owner {
  kel_walk *w;
  ~walk_owner() {
    kel_lookahead_close(w->ahead);
    kel_walk_free(w);
  }
};

void set_last_counters(const kel_scan_output *out, const kel_counters *c) {
  if (out && out->set_last_counters) out->set_last_counters(c);
}

}  // namespace

int32_t kelmcat_run_walk(const char *user, const char *runtime_config_id, kel_counters *c,
                         const kel_scan_output *out) {
  *c = kel_counters{};
  set_last_counters(out, nullptr);

  kel_walk w;
  if (kel_walk_init(&w, user, runtime_config_id, c) != 0) {
    kel_matcher_state_reset();
    return KELMCAT_ERR_OOM;
  }
  w.out = out;
  int32_t r;
  {
    walk_owner owner{&w};
    int32_t correct_mode;
    {
      Guard g(g_st.lock);
      correct_mode = g_st.correct_mode;
    }
    try {
      if (correct_mode) kel_walk_collect_correction_ids(&w);
      w.ahead = kel_lookahead_open();
      r = walk_folder(&w, "/", 0);
    } catch (const std::bad_alloc &) {
      r = KELMCAT_ERR_OOM;
    }
    if (r != 0 && r != KELMCAT_ERR_NO_MATCH && r != KELMCAT_ERR_MATCHER_DOWN && !w.error_recorded)
      kel_set_error("%s", kel_errstr(r));
    kel_walk_progress(&w, -1, "");
  }
  set_last_counters(out, c);
  kel_matcher_state_reset();
  return r;
}
