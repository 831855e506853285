/* What the forward and inverse transforms share, in their straightforward
 * and their fast form alike: the block-type codes, the allocation of sample
 * arrays, and the refusal of sizes no picture has. */
#ifndef DCTLAB_IMGCODEC_TRANSFORM_COMMON_H
#define DCTLAB_IMGCODEC_TRANSFORM_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "block_geometry.h"
#include "checked_size.h"
#include "imgcodec.h"
#include "kept_blocks.h"
#include "messages.h"
#include "quant_matrix.h"

namespace dctlab::img
{

/* The codes of getDCTedBlock's block types. */
constexpr uint8_t kLumaBlock = 64;
constexpr uint8_t kCbBlock = 32;
constexpr uint8_t kCrBlock = 16;

constexpr std::size_t kLargePage = std::size_t{1} << 21;

/* Asks for large pages behind a large fresh result. A picture's planes are
 * tens of megabytes that the allocator maps anew for every call, and taking
 * them in 4 KiB page faults costs the kernel about as long as the
 * conversion that fills them; 2 MiB pages make that a few dozen faults.
 * Only whole large pages inside the block are named, and the hint changes
 * nothing of the memory's content or of who frees it. */
inline void prefer_large_pages(void *p, std::size_t bytes)
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

/* n zero samples, or null after the line. */
inline int16_t *new_samples(std::size_t n)
{
    auto *samples = static_cast<int16_t *>(std::calloc(n, sizeof(int16_t)));
    if (!samples)
        std::puts(kNoMemory);
    else
        prefer_large_pages(samples, n * sizeof(int16_t));
    return samples;
}

/* Room for a result that the caller then writes in full, or null after the
 * line; 64-byte aligned, so that no vector of a row straddles two cache
 * lines. A large result takes a block that an earlier result of about its
 * size left behind (kept_blocks.h), or else a fresh one with large pages
 * asked for behind it. */
inline void *new_written_bytes(std::size_t bytes)
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

/* n samples for a result whose every sample the caller then writes: their
 * content is then what zero-filled ones would hold after the writing, and
 * the allocator need not clear them first. Null after the line. */
inline int16_t *new_written_samples(std::size_t n)
{
    std::size_t bytes = 0;
    if (!mul_size(n, sizeof(int16_t), &bytes)) {
        std::puts(kNoMemory);
        return nullptr;
    }
    return static_cast<int16_t *>(new_written_bytes(bytes));
}

/* The sizes of a record's picture, or the line for sizes no picture has. */
inline bool blocks_of(uint32_t w, uint32_t h, PictureBlocks *blocks)
{
    if (picture_blocks(w, h, blocks))
        return true;
    std::puts(kInvalidArgument);
    return false;
}

/* Rejects what the colour conversions cannot size: a record without pixels,
 * or one whose 3·w·h bytes do not fit 32 bits (every plane is then
 * smaller). */
inline bool colour_size(uint32_t w, uint32_t h, uint32_t *pixel_bytes)
{
    if (pixel_bytes_of(w, h, pixel_bytes))
        return true;
    std::puts(kInvalidArgument);
    return false;
}

/* toDCT2's refusals, in their order: a missing record or plane, a rate whose
 * divisors leave 16 bits, sizes no picture has. Each prints its line; on
 * success the picture's blocks and the sizes of its block stores are given. */
inline bool forward_arguments(const PDCBCR *in, uint16_t qRate, PictureBlocks *blocks,
                              std::size_t *luma_samples, std::size_t *chroma_samples)
{
    if (!in || !in->Ydata || !in->CrData || !in->CbData) {
        std::puts(kNullArgument);
        return false;
    }
    if (qRate > kMaxQuantRate) {
        std::puts(kInvalidArgument);
        return false;
    }
    if (!blocks_of(in->w, in->h, blocks))
        return false;
    if (!block_store_samples(blocks->luma.count, luma_samples) ||
        !block_store_samples(blocks->chroma.count, chroma_samples)) {
        std::puts(kInvalidArgument);
        return false;
    }
    return true;
}

/* returnFromDCT's refusals: a missing record or array, and block counts that
 * are not those of the picture's sizes — the coefficient arrays are read by
 * the counts and the planes written by the sizes, so the two must agree. */
inline bool inverse_arguments(const DCTDATA *data, PictureBlocks *blocks, std::size_t *luma_samples,
                              std::size_t *chroma_samples)
{
    if (!data || !data->YdataDCT || !data->CbDataDCT || !data->CrDataDCT) {
        std::puts(kNullArgument);
        return false;
    }
    if (!blocks_of(data->w, data->h, blocks))
        return false;
    if (data->YBlks != blocks->luma.count || data->CBlks != blocks->chroma.count ||
        !block_store_samples(blocks->luma.count, luma_samples) ||
        !block_store_samples(blocks->chroma.count, chroma_samples)) {
        std::puts(kInvalidArgument);
        return false;
    }
    return true;
}

} // namespace dctlab::img

#endif
