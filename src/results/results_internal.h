// Per-file results of a scan and the counters of the last scan: what the
// result document, the library's entry points and the tests may call.
#ifndef KELMCAT_RESULTS_INTERNAL_H
#define KELMCAT_RESULTS_INTERNAL_H

#include <cstdint>

#include "core/core_internal.h"
#include "scan/counters.h"

// One per-file result of the last scan as handed to the list, which copies it.
struct kel_result {
  char *key;
  char *path;
  char *imdb_id;
  int32_t outcome;
  int32_t season;
  int32_t episode;
};

// A result as the list keeps it: its three texts lie one after another
// ("key\0path\0imdb_id\0") in the list's own text store, which keeps them in
// place until the list is cleared; path and imdb_id are found after key.
struct kel_stored_result {
  const char *texts;
  int32_t outcome;
  int32_t season;
  int32_t episode;
};

inline const char *kel_stored_key(const kel_stored_result &r) {
  return r.texts;
}
const char *kel_stored_path(const kel_stored_result &r);
const char *kel_stored_imdb_id(const kel_stored_result &r);

// Empties the result list (frees its texts; the array is kept for reuse).
// Takes the state lock.
void kel_results_clear();
// Frees every result and the array itself (count and capacity 0), for a
// caller that holds the state lock (kelmcat_shutdown).
void kel_results_reset_locked();
// Appends a copy of *r (null texts are stored as ""). Returns 0, or -1 for a
// null record or when memory runs out (the list is then unchanged). Takes the
// state lock.
int kel_result_add(const kel_result *r);
// The same for a result given field by field.
int kel_result_add_fields(const char *key, const char *path, const char *imdb_id, int32_t outcome,
                          int32_t season, int32_t episode);

// The counters of the last scan that reached its walk (all zero at load).
// Guarded by a lock of their own, so both may be called with or without the
// state lock held.
void kel_last_counters_copy(kel_counters *out);
// Replaces them; a null pointer zeroes them.
void kel_last_counters_set(const kel_counters *c);

#endif
