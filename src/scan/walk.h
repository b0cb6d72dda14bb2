// The folder walk: every folder of the open backend, depth first, with the
// depth cap, cancellation, cycle detection and the path filters.
#ifndef KELMCAT_SCAN_WALK_H
#define KELMCAT_SCAN_WALK_H

#include <cstdint>

#include "scan/walk_context.h"

// Walks one folder at level (the start folder "/" is level 0; at level 0 a
// configured walk root replaces it): files first, then subfolders, depth first.
// 0 or a negative categorizer code that ends the whole walk.
int32_t walk_folder(kel_walk *w, const char *path, int32_t level);

// Runs the walk of one scan from the walk root: zeroes *counters and the
// last-counters copy, collects the correction ids in correct mode, walks, and
// leaves the counters in the last-counters copy and the matcher's per-scan
// tables reset. Results and counters go to out. 0 or the walk's code (recorded
// as the last error, except for KELMCAT_ERR_MATCHER_DOWN, whose message the
// matcher client left).
int32_t kelmcat_run_walk(const char *user, const char *runtime_config_id, kel_counters *counters,
                         const kel_scan_output *out);

#endif
