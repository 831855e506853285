#include "result_memory.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "checked_size.h"
#include "kept_blocks.h"
#include "messages.h"

namespace dctlab::img
{
namespace
{

constexpr std::size_t kLargePage = std::size_t{1} << 21;

/* Asks for large pages behind a large fresh result. A picture's planes are
 * tens of megabytes that the allocator maps anew for every call, and taking
 * them in 4 KiB page faults costs the kernel about as long as the
 * conversion that fills them; 2 MiB pages make that a few dozen faults.
 * Only whole large pages inside the block are named, and the hint changes
 * nothing of the memory's content or of who frees it. */
void prefer_large_pages(void *p, std::size_t bytes)
{
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes < 2 * kLargePage)
        return;
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kLargePage - 1) & ~std::uintptr_t{kLargePage - 1};
    const std::uintptr_t last = (begin + bytes) & ~std::uintptr_t{kLargePage - 1};
    if (last > first)
        (void)madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)bytes;
#endif
}

} // namespace

int16_t *new_samples(std::size_t n)
{
    auto *samples = static_cast<int16_t *>(std::calloc(n, sizeof(int16_t)));
    if (!samples)
        std::puts(kNoMemory);
    else
        prefer_large_pages(samples, n * sizeof(int16_t));
    return samples;
}

void *new_written_bytes(std::size_t bytes)
{
    constexpr std::size_t kAlign = kKeptAlignment;
    if (bytes > SIZE_MAX - kAlign) {
        std::puts(kNoMemory);
        return nullptr;
    }
    const std::size_t rounded = bytes < kAlign ? kAlign : (bytes + kAlign - 1) & ~(kAlign - 1);
    if (void *kept = take_kept_block(rounded))
        return kept;
    void *p = std::aligned_alloc(kAlign, rounded);
    if (!p)
        std::puts(kNoMemory);
    else
        prefer_large_pages(p, bytes);
    return p;
}

int16_t *new_written_samples(std::size_t n)
{
    std::size_t bytes = 0;
    if (!mul_size(n, sizeof(int16_t), &bytes)) {
        std::puts(kNoMemory);
        return nullptr;
    }
    return static_cast<int16_t *>(new_written_bytes(bytes));
}

} // namespace dctlab::img
