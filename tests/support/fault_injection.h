// Link-time seams over the allocator and fopen/fclose (see tests/CMakeLists.txt).
// Everything counts from the last reset(): only blocks and files taken after
// it are tracked, so what the test framework held before does not disturb the
// counts.
#ifndef DCTLAB_TEST_FAULT_INJECTION_H
#define DCTLAB_TEST_FAULT_INJECTION_H

namespace fi
{

void reset();
// The n-th allocation (1-based) from this call on returns null; 0 disarms.
void fail_nth(long n);
long allocations(); // malloc, calloc, realloc and aligned_alloc calls since reset()
long live_blocks(); // blocks taken since reset() and not yet released
long open_files();  // files opened since reset() and not yet closed

// Runs `body` once with the n-th allocation failing for n = 1, 2, ... until a
// run makes fewer than n allocations; calls `check(n)` after each failing run.
// Returns the number of allocation sites exercised.
template <typename Body, typename Check> long each_allocation_failing(Body body, Check check)
{
    long n = 1;
    for (;; ++n) {
        reset();
        fail_nth(n);
        body();
        const bool reached = allocations() >= n;
        fail_nth(0);
        if (!reached)
            return n - 1;
        check(n);
    }
}

} // namespace fi

#endif
