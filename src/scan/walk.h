// The folder walk and the per-file categorization it drives: the walk context
// shared by the scan driver, the walk and the categorization.
#ifndef KELMCAT_SCAN_WALK_H
#define KELMCAT_SCAN_WALK_H

#include <cstdint>
#include <string_view>

#include "core/core_internal.h"
#include "core/flat_map.h"
#include "results/results_internal.h"

// One per scan, owned by the scan driver.
struct kel_walk {
  const char *user;               // not owned
  const char *runtime_config_id;  // not owned
  kel_counters *counters;         // not owned

  // Cleaned paths of every folder queued in this scan, in the order queued,
  // and an open-addressing index over them (slot value n = entry n - 1; 0 is
  // empty). index_mask 0 means the index was dropped: no cycle detection.
  char **visited;
  uint64_t visited_count;
  uint64_t visited_cap;
  uint64_t index_mask;
  uint64_t *index;

  int32_t cancelled;  // 1 once this scan has seen a cancellation

  // Decimal hash texts of the keys with a stored correction, in vault order,
  // and a set over them for constant-time membership tests.
  char **correction_ids;
  uint64_t correction_count;
  uint64_t correction_cap;
  kel::FlatMap<bool> *correction_set;

  // Scratch buffers reused for every file (cleaned paths).
  kel_buf file_path;
  kel_buf clean_path;
};

// Sets up an empty context with a visited index of 1024 slots. Returns 0, or
// KELMCAT_ERR_OOM when the index cannot be allocated (nothing to free then).
int32_t kel_walk_init(kel_walk *w, const char *user, const char *runtime_config_id,
                      kel_counters *counters);
// Frees the visited paths, the index, the correction ids and the scratch buffers.
void kel_walk_free(kel_walk *w);

// Appends a copy of a correction id. 0; -1 when the array cannot grow; -2 when
// the copy cannot be made (the id is then not added).
int kel_walk_add_correction_id(kel_walk *w, const char *id, size_t len);
// Asks the installed vault's key search for every key under the library's
// namespace and adds, for each key, the digits (at most 23) right after its
// first "CorrectIMDbId_" as a correction id. A failed search adds nothing.
void kel_walk_collect_correction_ids(kel_walk *w);
// 1 when id is one of the context's correction ids.
int kel_walk_has_correction_id(const kel_walk *w, const char *id);

// 1 when the cleaned path is in the visited set (never when the index was dropped).
int kel_visited_has(const kel_walk *w, const char *path);
// Adds a cleaned path. 0, or -1 when the path cannot be stored. A failed growth
// of the index only drops the index.
int kel_visited_add(kel_walk *w, const char *path);

// Walks one folder at level (the start folder "/" is level 0; at level 0 a
// configured walk root replaces it): files first, then subfolders, depth first.
// 0 or a negative categorizer code that ends the whole walk.
int32_t walk_folder(kel_walk *w, const char *path, int32_t level);

// The cancellation check: 1 when the scan is cancelled (and marks the context).
int kel_walk_cancelled(kel_walk *w);

// Categorizes one listed file entry of the folder listed under listing_path.
// 0 to go on with the next entry (also for skipped files), or a negative code
// that ends the walk.
int32_t kel_categorize_file(kel_walk *w, const kelffa_item *entry, const char *listing_path);

// Runs the walk of one scan from the walk root: zeroes *counters and the
// last-counters copy, collects the correction ids in correct mode, walks, and
// leaves the counters in the last-counters copy and the matcher's per-scan
// tables reset. 0 or the walk's code (recorded as the last error, except for
// KELMCAT_ERR_MATCHER_DOWN, whose message the matcher client left).
int32_t kelmcat_run_walk(const char *user, const char *runtime_config_id, kel_counters *counters);

#endif
