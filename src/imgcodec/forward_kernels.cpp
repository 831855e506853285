/* The forward transform of a plane's blocks, for one kernel set: the blocks
 * wholly inside the plane straight from it, the edge blocks padded with
 * zeros. It is compiled once for every kernel set (kernel_set.h). */
#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "fast_path.h"
#include "forward_products.h"
#include "kernel_entries.h"
#include "kernel_set.h"
#if defined(KERNEL_AVX512BW)
#include "forward_group_avx512.h"
#elif defined(KERNEL_AVX2)
#include "forward_group_avx2.h"
#endif

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

#if !defined(KERNEL_AVX512BW) && !defined(KERNEL_AVX2)
/* The portable kernels take the library's products for every block, one at
 * a time. */
INLINE void forward_block(const int16_t *src, std::size_t stride, const Basis &bs,
                          const Quantiser &q, int16_t *out)
{
    forward_by_products(src, stride, bs, q, out);
}
INLINE uint32_t forward_run(const int16_t *src, std::size_t stride, uint32_t, const Basis &bs,
                            const Quantiser &q, int16_t *out)
{
    forward_by_products(src, stride, bs, q, out);
    return 1;
}
#endif

#ifndef KERNEL_AVX2
/* An edge block: `across` samples of `down` rows at src inside the plane,
 * zeros beyond. */
INLINE void forward_edge(const int16_t *src, std::size_t stride, std::size_t across,
                         std::size_t down, const Basis &bs, const Quantiser &q, int16_t *out)
{
    alignas(16) int16_t padded[64];
    __builtin_memset(padded, 0, sizeof padded);
    for (std::size_t j = 0; j < down; ++j)
        __builtin_memcpy(padded + kBlockSide * j, src + j * stride, across * sizeof(int16_t));
    forward_block(padded, kBlockSide, bs, q, out);
}
#endif

KERNEL void forward_blocks(const int16_t *plane, const PlaneBlocks &p, uint32_t first,
                           uint32_t count, const Basis &bs, const Quantiser &q, int16_t *store)
{
    uint32_t col = first % p.per_row, row = first / p.per_row;
    for (uint32_t n = 0; n < count;) {
        const std::size_t left = std::size_t{col} * kBlockSide, top = std::size_t{row} * kBlockSide;
        const int16_t *src = plane + top * p.width + left;
        int16_t *out = store + kBlockSamples * n;
        // Blocks wholly inside the plane, up to the end of the block row.
        const std::size_t inside_across = (p.width - left) / kBlockSide;
        uint32_t run = top + kBlockSide <= p.height ? static_cast<uint32_t>(inside_across) : 0;
        run = run < count - n ? run : count - n;
        if (run >= 1) {
            run = forward_run(src, p.width, run, bs, q, out);
        } else {
            const std::size_t across = p.width - left < kBlockSide ? p.width - left : kBlockSide;
            const std::size_t down = p.height - top < kBlockSide ? p.height - top : kBlockSide;
            forward_edge(src, p.width, across, down, bs, q, out);
            run = 1;
        }
        n += run;
        col += run;
        if (col == p.per_row) {
            col = 0;
            ++row;
        }
    }
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET
