// The counters one scan keeps. The list below is the only place that names
// them: the record, its copy into the host's statistics record and the result
// document's "stats" object are all expanded from it, in this order.
#ifndef KELMCAT_SCAN_COUNTERS_H
#define KELMCAT_SCAN_COUNTERS_H

#include <cstdint>

// X(type, member, name in the result document)
#define KEL_COUNTERS(X)                   \
  X(int64_t, walked, "walked")            \
  X(int64_t, considered, "considered")    \
  X(int64_t, matched, "matched")          \
  X(int64_t, unmatched, "unmatched")      \
  X(int64_t, added, "added")              \
  X(int64_t, updated, "updated")          \
  X(int64_t, unchanged, "unchanged")      \
  X(int64_t, errors, "errors")            \
  X(int32_t, depth_max, "depthMax")       \
  X(int64_t, vault_writes, "vaultWrites") \
  X(int64_t, matcher_calls, "matcherCalls")

struct kel_counters {
#define KEL_COUNTER_MEMBER(type, member, name) type member;
  KEL_COUNTERS(KEL_COUNTER_MEMBER)
#undef KEL_COUNTER_MEMBER
};

#endif
