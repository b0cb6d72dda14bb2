// The context of one scan's walk, shared by the scan driver, the walk and the
// file categorization: the visited set, the correction ids, the counters and
// where the per-file results go.
#ifndef KELMCAT_SCAN_WALK_CONTEXT_H
#define KELMCAT_SCAN_WALK_CONTEXT_H

#include <cstddef>
#include <cstdint>

#include "core/core_internal.h"
#include "core/flat_map.h"
#include "scan/counters.h"
#include "scan/filters.h"

// Room for a vault key; a bounded user id always fits.
constexpr size_t kKelVaultKeyBuf = 1200;

// Where a scan reports: the result list and the copy of the last scan's
// counters. The library's entry point hands the results subsystem's functions
// over, so the scan engine does not depend on the layer that keeps them.
struct kel_scan_output {
  // Empties the result list.
  void (*clear_results)();
  // Appends one result (null texts are stored as ""); a result that cannot be
  // stored is dropped, the counters still count it.
  int (*add_result)(const char *key, const char *path, const char *imdb_id, int32_t outcome,
                    int32_t season, int32_t episode);
  // Replaces the last scan's counters; null zeroes them.
  void (*set_last_counters)(const kel_counters *c);
};

// The look-ahead over a folder's listing (scan/lookahead.h).
struct kel_lookahead;

// One per scan, owned by the scan driver.
struct kel_walk {
  const char *user;               // not owned
  const char *runtime_config_id;  // not owned
  kel_counters *counters;         // not owned
  const kel_scan_output *out;     // not owned; null drops the results

  // Cleaned paths of every folder queued in this scan, in the order queued,
  // and an open-addressing index over them (slot value n = entry n - 1; 0 is
  // empty). index_mask 0 means the index was dropped: no cycle detection.
  char **visited;
  uint64_t visited_count;
  uint64_t visited_cap;
  uint64_t index_mask;
  uint64_t *index;

  int32_t cancelled;  // 1 once this scan has seen a cancellation
  // 1 once the walk has recorded the last error of its failure itself.
  int32_t error_recorded;

  // Files handed to the categorization so far, and whether a progress hook was
  // installed when the walk last looked (it looks again before every call).
  uint64_t categorized;
  bool progress_on;

  // Decimal hash texts of the keys with a stored correction, in vault order,
  // and a set over them for constant-time membership tests.
  char **correction_ids;
  uint64_t correction_count;
  uint64_t correction_cap;
  kel::FlatMap<bool> *correction_set;

  // Scratch reused for every file's cleaned path, and for every folder's.
  kel_file_paths file_paths;
  kel_buf clean_path;

  // "<namespace>_<user>_", how every vault key of the scan begins (cut to
  // fit, as the whole key would be).
  char vault_prefix[kKelVaultKeyBuf];
  size_t vault_prefix_len;

  // Requests made ahead while the files are categorized; null when the scan
  // makes them one at a time. Owned by the walk runner.
  kel_lookahead *ahead;
};

// Sets up an empty context with a visited index of 1024 slots, the vault key
// prefix of user and no output.
// Returns 0, or KELMCAT_ERR_OOM when the index cannot be allocated (nothing
// to free then).
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

// The cancellation check: 1 when the scan is cancelled (and marks the context).
int kel_walk_cancelled(kel_walk *w);

// Calls the installed progress hook, if any, with the running counters, the
// folder and its depth (read under the lock, called without it). Remembers in
// progress_on whether there was one.
void kel_walk_progress(kel_walk *w, int32_t depth, const char *folder);

// Hands one result to the context's output, if any.
void kel_walk_add_result(const kel_walk *w, const char *key, const char *path, const char *imdb_id,
                         int32_t outcome, int32_t season, int32_t episode);

#endif
