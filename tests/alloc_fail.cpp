// The counting allocator behind alloc_fail.h. Under AddressSanitizer the real
// functions are the sanitizer's own, so leaks and misuse are still reported.
#include "alloc_fail.h"

#include <execinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

extern "C" void *__real_malloc(size_t n);
extern "C" void *__real_calloc(size_t n, size_t size);
extern "C" void *__real_realloc(void *p, size_t n);

namespace {

std::atomic<bool> s_armed{false};
std::atomic<uint64_t> s_count{0};
std::atomic<uint64_t> s_nth{0};
std::atomic<size_t> s_size{0};
std::atomic<uint64_t> s_failures{0};

bool fail_now(size_t n) {
  if (!s_armed.load(std::memory_order_relaxed)) return false;
  uint64_t k = s_count.fetch_add(1, std::memory_order_relaxed) + 1;
  uint64_t nth = s_nth.load(std::memory_order_relaxed);
  size_t size = s_size.load(std::memory_order_relaxed);
  if ((nth != 0 && k == nth) || (size != 0 && n == size)) {
    s_failures.fetch_add(1, std::memory_order_relaxed);
    // ALLOC_FAIL_TRACE set: where each failure happened, for finding a culprit.
    if (std::getenv("ALLOC_FAIL_TRACE")) {
      char line[48];
      int len = std::snprintf(line, sizeof line, "-- allocation %llu failed\n",
                              static_cast<unsigned long long>(k));
      (void)!write(STDERR_FILENO, line, static_cast<size_t>(len));
      void *frames[24];
      int got = backtrace(frames, 24);
      backtrace_symbols_fd(frames, got, STDERR_FILENO);
    }
    return true;
  }
  return false;
}

void start(uint64_t nth, size_t size) {
  s_armed.store(false);
  s_count.store(0);
  s_failures.store(0);
  s_nth.store(nth);
  s_size.store(size);
  s_armed.store(true);
}

void *new_bytes(size_t n) {
  void *p = fail_now(n) ? nullptr : __real_malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void *new_aligned(size_t n, std::align_val_t al) {
  size_t a = static_cast<size_t>(al);
  size_t rounded = (n + a - 1) / a * a;
  void *p = fail_now(n) ? nullptr : std::aligned_alloc(a, rounded ? rounded : a);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

namespace alloc_fail {

void arm(uint64_t nth) {
  start(nth, 0);
}
void arm_size(size_t size) {
  start(0, size);
}
void disarm() {
  s_armed.store(false);
}
uint64_t count() {
  return s_count.load();
}
uint64_t failures() {
  return s_failures.load();
}

}  // namespace alloc_fail

extern "C" void *__wrap_malloc(size_t n) {
  return fail_now(n) ? nullptr : __real_malloc(n);
}

extern "C" void *__wrap_calloc(size_t n, size_t size) {
  return fail_now(n * size) ? nullptr : __real_calloc(n, size);
}

// A realloc to zero bytes frees: it is not an allocation and never fails.
extern "C" void *__wrap_realloc(void *p, size_t n) {
  if (n != 0 && fail_now(n)) return nullptr;
  return __real_realloc(p, n);
}

void *operator new(size_t n) {
  return new_bytes(n);
}
void *operator new[](size_t n) {
  return new_bytes(n);
}
void *operator new(size_t n, const std::nothrow_t &) noexcept {
  try {
    return new_bytes(n);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
void *operator new[](size_t n, const std::nothrow_t &) noexcept {
  try {
    return new_bytes(n);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
void *operator new(size_t n, std::align_val_t al) {
  return new_aligned(n, al);
}
void *operator new[](size_t n, std::align_val_t al) {
  return new_aligned(n, al);
}
void *operator new(size_t n, std::align_val_t al, const std::nothrow_t &) noexcept {
  try {
    return new_aligned(n, al);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}
void *operator new[](size_t n, std::align_val_t al, const std::nothrow_t &) noexcept {
  try {
    return new_aligned(n, al);
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
}

void operator delete(void *p) noexcept {
  std::free(p);
}
void operator delete[](void *p) noexcept {
  std::free(p);
}
void operator delete(void *p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
  std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
  std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
  std::free(p);
}
void operator delete(void *p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void *p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void *p, size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void *p, size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept {
  std::free(p);
}
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept {
  std::free(p);
}
