// A monovue display frame makes no allocation, whatever the host's values:
// the 28 element routines and the refresh work of code 6
// (tests/support/monovue_frame.h) run over many value sets, ordinary and
// hostile, with every allocation of the process counted.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include "tests/support/monovue_frame.h"

// ---- allocation counter -----------------------------------------------------------
// The C library's allocator, interposed: every allocation of the process
// passes here (operator new, the standard library's and the code under
// test's alike) and is counted while `gCounting` is set.

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
bool gCounting = false;
uint64_t gAllocations = 0;
inline void count() {
    if (gCounting) ++gAllocations;
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
    count();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t m) {
    count();
    return __libc_calloc(n, m);
}
void* realloc(void* p, size_t n) {
    count();
    return __libc_realloc(p, n);
}
void* memalign(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
void* aligned_alloc(size_t a, size_t n) {
    count();
    return __libc_memalign(a, n);
}
int posix_memalign(void** out, size_t a, size_t n) {
    count();
    *out = __libc_memalign(a, n);
    return *out ? 0 : 12;
}
void free(void* p) { __libc_free(p); }
}

namespace {

using namespace monovue_frame;

// Allocations made by `work`.
template <typename Work>
uint64_t allocationsOf(Work work) {
    gAllocations = 0;
    gCounting = true;
    work();
    gCounting = false;
    return gAllocations;
}

TEST(MonovueFrame, MakesNoAllocation) {
    // The counter sees what the process allocates...
    // (through volatile pointers, which the compiler may not elide).
    EXPECT_EQ(allocationsOf([] {
                  int* volatile p = new int(1);
                  delete p;
              }),
              1u);
    EXPECT_EQ(allocationsOf([] {
                  void* volatile p = std::malloc(16);
                  std::free(p);
              }),
              1u);
    // ...and nothing over frames of every value set, ordinary and hostile.
    for (bool hostile : {false, true}) {
        SCOPED_TRACE(hostile ? "hostile values" : "ordinary values");
        const std::vector<Host> sets = valueSets(42, hostile);
        Frame f;
        const uint64_t made = allocationsOf([&] {
            for (int i = 0; i < 4 * kSets; ++i) {
                gHost = sets[i % kSets];
                frame(f);
            }
        });
        EXPECT_EQ(made, 0u) << "allocations in " << 4 * kSets << " frames";
    }
}

}  // namespace
