// Per-file results of a scan and the scan counters: what the scan engine and
// the result document may call.
#ifndef KELMCAT_RESULTS_INTERNAL_H
#define KELMCAT_RESULTS_INTERNAL_H

#include <cstdint>

#include "core/core_internal.h"

// The counters of one scan.
struct kel_counters {
  int64_t walked;
  int64_t considered;
  int64_t matched;
  int64_t unmatched;
  int64_t added;
  int64_t updated;
  int64_t unchanged;
  int64_t errors;
  int32_t depth_max;
  int64_t vault_writes;
  int64_t matcher_calls;
};

// Empties the result list (frees its texts; the array is kept for reuse).
// Takes the state lock.
void kel_results_clear();
// Frees every result and the array itself (count and capacity 0), for a
// caller that holds the state lock (kelmcat_shutdown).
void kel_results_free_locked();
// Appends a copy of *r (null texts are stored as ""). Returns 0, or -1 for a
// null record or when memory runs out (the list is then unchanged). Takes the
// state lock.
int kel_result_add(const kel_result *r);

// The counters of the last scan that reached its walk (all zero at load).
// Guarded by a lock of their own, so both may be called with or without the
// state lock held.
void kel_last_counters_copy(kel_counters *out);
// Replaces them; a null pointer zeroes them.
void kel_last_counters_set(const kel_counters *c);

#endif
