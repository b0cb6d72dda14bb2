// Growth of a malloc'ed array by doubling.
#ifndef KELMCAT_CORE_GROW_H
#define KELMCAT_CORE_GROW_H

#include <cstdint>
#include <cstdlib>

// Makes room for one more element of arr, which holds count of cap elements:
// first_cap at first, then doubling, never past max elements (a doubling that
// would pass it stops at max). Returns false when the array is full at max or
// memory runs out; the array and cap are then unchanged.
template <class T, class N>
bool kel_grow(T *&arr, N count, N &cap, N first_cap, N max) {
  if (count < cap) return true;
  const uint64_t limit_bytes = SIZE_MAX / sizeof(T);
  const uint64_t limit =
      static_cast<uint64_t>(max) < limit_bytes ? static_cast<uint64_t>(max) : limit_bytes;
  const uint64_t now = static_cast<uint64_t>(cap);
  uint64_t next = now == 0 ? static_cast<uint64_t>(first_cap) : (now > limit / 2 ? limit : now * 2);
  if (next > limit) next = limit;
  if (next <= now) return false;
  void *p = std::realloc(arr, static_cast<size_t>(next) * sizeof(T));
  if (!p) return false;
  arr = static_cast<T *>(p);
  cap = static_cast<N>(next);
  return true;
}

#endif
