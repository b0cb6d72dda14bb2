// Allocation failure on demand for the tests that link alloc_fail.cpp: the
// library's malloc, calloc and realloc calls (routed here by the linker's
// --wrap) and every operator new of the program count as allocations; while
// armed, the chosen ones fail (null, or std::bad_alloc from operator new).
#ifndef KELMCAT_TESTS_ALLOC_FAIL_H
#define KELMCAT_TESTS_ALLOC_FAIL_H

#include <cstddef>
#include <cstdint>

namespace alloc_fail {

// Starts counting allocations from zero; the nth one from now (1-based) fails,
// none when nth is 0.
void arm(uint64_t nth);
// Starts counting; every allocation of exactly size bytes fails.
void arm_size(size_t size);
// Stops counting and failing; count() and failures() keep their values.
void disarm();
uint64_t count();
uint64_t failures();

}  // namespace alloc_fail

#endif
