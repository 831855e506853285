#include "kept_blocks.h"

#include <array>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#if defined(__linux__)
#include <malloc.h>
#define DCTLAB_CAN_KEEP_BLOCKS 1
#else
#define DCTLAB_CAN_KEEP_BLOCKS 0
#endif

// Under the address sanitizer every block goes straight back to the
// allocator: a kept block is memory the sanitizer sees as in use, so a use
// after release or a double release would pass unseen.
#if defined(DCTLAB_KEEP_NO_BLOCKS) || defined(__SANITIZE_ADDRESS__)
#define DCTLAB_KEEPS_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define DCTLAB_KEEPS_BLOCKS 0
#endif
#endif
#ifndef DCTLAB_KEEPS_BLOCKS
#define DCTLAB_KEEPS_BLOCKS DCTLAB_CAN_KEEP_BLOCKS
#endif

namespace dctlab::img
{
namespace
{

constexpr bool kKeepsBlocks = DCTLAB_KEEPS_BLOCKS;

struct Kept {
    void *block = nullptr;
    std::size_t bytes = 0;      // usable size, as the allocator reports it
    unsigned long long age = 0; // release order, to give back the oldest first
};

// Plain data with constant initialisation and nothing to destroy, so that a
// release after the end-of-program drop (from some other static destructor)
// still finds valid state, sees `closed` and frees.
std::mutex guard;
std::array<Kept, kKeptSlots> slots;
std::size_t held = 0;
unsigned long long releases = 0;
bool closed = false;
bool drop_registered = false;

void drop_at_exit()
{
    {
        const std::lock_guard<std::mutex> lock(guard);
        closed = true; // what is released from now on is freed at once
    }
    drop_kept_blocks();
}

std::size_t usable_size(void *block)
{
#if DCTLAB_CAN_KEEP_BLOCKS
    return malloc_usable_size(block);
#else
    (void)block;
    return 0;
#endif
}

} // namespace

bool keeps_blocks() noexcept
{
    return kKeepsBlocks;
}

void *take_kept_block(std::size_t bytes) noexcept
{
    if (!kKeepsBlocks || bytes < kKeepFrom)
        return nullptr;
    const std::lock_guard<std::mutex> lock(guard);
    Kept *best = nullptr;
    for (Kept &k : slots)
        if (k.block && k.bytes >= bytes && k.bytes - bytes <= bytes / 8 &&
            (!best || k.bytes < best->bytes))
            best = &k;
    if (!best)
        return nullptr;
    void *block = best->block;
    held -= best->bytes;
    *best = Kept{};
    return block;
}

void release_block(void *block) noexcept
{
    if (!block)
        return;
    if (!kKeepsBlocks) {
        std::free(block);
        return;
    }
    const std::size_t bytes = usable_size(block);
    if (bytes < kKeepFrom || bytes > kKeepAtMost ||
        reinterpret_cast<std::uintptr_t>(block) % kKeptAlignment != 0) {
        std::free(block);
        return;
    }
    std::array<void *, kKeptSlots> given_back{};
    int giving_back = 0;
    bool twice = false;
    {
        const std::lock_guard<std::mutex> lock(guard);
        if (closed) {
            std::free(block);
            return;
        }
        for (Kept &k : slots)
            if (k.block == block) {
                // Released twice: the caller's double free. Keeping the block
                // once would hide it; both releases go to the allocator
                // instead, for it (or the sanitizer) to report.
                given_back[giving_back++] = block;
                held -= k.bytes;
                k = Kept{};
                twice = true;
            }
        if (!twice) {
            Kept *free_slot = nullptr;
            for (;;) {
                Kept *oldest = nullptr;
                free_slot = nullptr;
                for (Kept &k : slots) {
                    if (!k.block)
                        free_slot = &k;
                    else if (!oldest || k.age < oldest->age)
                        oldest = &k;
                }
                if (free_slot && held + bytes <= kKeepAtMost)
                    break;
                given_back[giving_back++] = oldest->block;
                held -= oldest->bytes;
                *oldest = Kept{};
            }
            *free_slot = Kept{block, bytes, ++releases};
            held += bytes;
            if (!drop_registered) {
                drop_registered = true;
                (void)std::atexit(drop_at_exit); // otherwise they stay until the end
            }
        }
    }
    // Unmapping takes a while; nobody waits on the lock for it.
    for (int i = 0; i < giving_back; ++i)
        std::free(given_back[i]); // for a block released twice, its first release
    if (twice)
        std::free(block); // and its second, as the caller made it
}

void drop_kept_blocks() noexcept
{
    std::array<void *, kKeptSlots> given_back{};
    {
        const std::lock_guard<std::mutex> lock(guard);
        for (std::size_t i = 0; i < slots.size(); ++i) {
            given_back[i] = slots[i].block;
            slots[i] = Kept{};
        }
        held = 0;
    }
    for (void *block : given_back)
        std::free(block);
}

std::size_t kept_bytes() noexcept
{
    const std::lock_guard<std::mutex> lock(guard);
    return held;
}

int kept_blocks() noexcept
{
    const std::lock_guard<std::mutex> lock(guard);
    int n = 0;
    for (const Kept &k : slots)
        n += k.block != nullptr;
    return n;
}

} // namespace dctlab::img
