/* The inverse transform of a plane's blocks, for one kernel set: each block
 * by whichever way gives the library's samples fastest, from the one
 * product of a lone DC coefficient to the full products, neighbours that
 * allow it two at a time. It is compiled once for every kernel set (kernel_set.h). */
#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "fast_path.h"
#include "inverse_products.h"
#include "kernel_entries.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#include "quant_matrix.h"
#if defined(KERNEL_AVX512BW)
#include "inverse_butterfly_avx512.h"
#elif defined(KERNEL_AVX2)
#include "inverse_group_avx2.h"
#endif

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

#ifndef KERNEL_AVX512BW
/* Without the butterfly (inverse_butterfly_avx512.h) no block is dense
 * enough for it. */
INLINE bool inverse_dense(const int16_t *, uint64_t, const int16_t *, const Basis &, int16_t *,
                          std::size_t)
{
    return false;
}
INLINE bool dense_pair(const int16_t *, const Basis &)
{
    return false;
}
INLINE bool inverse_pair(const int16_t *, const int16_t *, const Basis &, int16_t *, std::size_t)
{
    return false;
}
#endif

/* N neighbouring blocks of E x E corners: the AVX2 kernels take them one
 * at a time with their products in registers (inverse_corner_rows). */
template <int E, int N = 1>
INLINE void corner_blocks(const int16_t *coefficients, const int16_t *divisors, const Basis &bs,
                          int16_t *out, std::size_t stride)
{
#ifdef KERNEL_AVX2
    for (int n = 0; n < N; ++n)
        inverse_corner_rows<E>(coefficients + kBlockSamples * n, divisors, bs,
                               out + kBlockSide * n, stride);
#else
    inverse_corner<E, N>(coefficients, divisors, bs, out, stride);
#endif
}

/* One block back, by whichever way gives the library's samples fastest;
 * nonzero is nonzero_bits(coefficients). */
INLINE void inverse_any(const int16_t *coefficients, uint64_t nonzero, const int16_t *divisors,
                        const int16_t *divisors_by_columns, const Basis &bs, int16_t *out,
                        std::size_t stride)
{
    if ((nonzero & ~uint64_t{1}) == 0) {
        // Both products reduce to one: every sample is fl(fl(a0·D)·a0).
        const int16_t dc = dequantise_one(coefficients[0], divisors[0]);
        const int16_t sample = roun((bs.c[0] * dc) * bs.c[0]);
        v8s row = v8s{} + sample;
        for (int j = 0; j < 8; ++j)
            __builtin_memcpy(out + stride * j, &row, sizeof row);
        return;
    }
    constexpr uint64_t kCorner2 = corner_ranks(2), kCorner3 = corner_ranks(3),
                       kCorner4 = corner_ranks(4);
    if ((nonzero & ~kCorner2) == 0)
        corner_blocks<2>(coefficients, divisors, bs, out, stride);
    else if ((nonzero & ~kCorner3) == 0)
        corner_blocks<3>(coefficients, divisors, bs, out, stride);
    else if ((nonzero & ~kCorner4) == 0)
        corner_blocks<4>(coefficients, divisors, bs, out, stride);
    else if (!inverse_dense(coefficients, nonzero, divisors_by_columns, bs, out, stride))
        inverse_block(coefficients, divisors, bs, out, stride);
}

#ifdef KERNEL_AVX2
/* Four neighbours wholly inside the plane through the group, if at least
 * this many of them are too dense for the corner ways; how many it took, 0
 * or kInverseGroup. */
constexpr int kGroupFrom = 2;
INLINE uint32_t inverse_run(const int16_t *from, const uint64_t *nonzero, const int16_t *divisors,
                            const int16_t *divisors_by_columns, const int16_t *zigzag_divisors,
                            const Basis &bs, int16_t *dst, std::size_t stride)
{
    if (!bs.fast_inverse)
        return 0;
    int beyond_corner = 0;
    for (uint32_t b = 0; b < kInverseGroup; ++b)
        beyond_corner += (nonzero[b] & ~corner_ranks(4)) != 0;
    if (beyond_corner < kGroupFrom)
        return 0;
    for (unsigned redo = inverse_group(from, zigzag_divisors, bs, dst, stride); redo != 0;
         redo &= redo - 1) {
        const int b = __builtin_ctz(redo);
        inverse_any(from + kBlockSamples * b, nonzero[b], divisors, divisors_by_columns, bs,
                    dst + kBlockSide * b, stride);
    }
    return kInverseGroup;
}
#else
INLINE uint32_t inverse_run(const int16_t *, const uint64_t *, const int16_t *, const int16_t *,
                            const int16_t *, const Basis &, int16_t *, std::size_t)
{
    return 0;
}
constexpr uint32_t kInverseGroup = 4; // never taken
#endif

KERNEL void inverse_plane(const int16_t *coefficients, const PlaneBlocks &p, const Basis &bs,
                          const int16_t *divisors, int16_t *plane)
{
    alignas(64) int16_t divisors_by_columns[64], zigzag_divisors[64];
    for (int k = 0; k < 64; ++k) {
        divisors_by_columns[k] = divisors[8 * (k % 8) + k / 8];
        zigzag_divisors[REV_PERM_MAT[k]] = divisors[k];
    }
    uint32_t col = 0, row = 0;
    // The nonzero coefficients of blocks known .. known + have - 1, kept
    // for the rounds that come to them.
    uint64_t nonzero[kInverseGroup] = {};
    uint32_t known = 0, have = 0;
    for (uint32_t n = 0; n < p.count;) {
        const std::size_t left = std::size_t{col} * kBlockSide, top = std::size_t{row} * kBlockSide;
        int16_t *dst = plane + top * p.width + left;
        const int16_t *from = coefficients + kBlockSamples * n;
        {
            const uint32_t passed = n - known, in_row = p.per_row - col;
            const uint32_t want = in_row < kInverseGroup ? in_row : kInverseGroup;
            have = passed < have ? have - passed : 0;
            for (uint32_t i = 0; i < have; ++i)
                nonzero[i] = nonzero[i + passed];
            for (known = n; have < want; ++have)
                nonzero[have] = nonzero_bits(from + kBlockSamples * have);
        }
        // Blocks done in this round: a group of four, a pair, or one.
        const bool quad = left + kInverseGroup * kBlockSide <= p.width && top + kBlockSide <= p.height;
        uint32_t run = quad ? inverse_run(from, nonzero, divisors, divisors_by_columns,
                                          zigzag_divisors, bs, dst, p.width)
                            : 0;
        // The coefficients stream in from memory: ask for them a little
        // ahead of the blocks that need them (in integers: the address may
        // lie past the array, which a prefetch never reads).
        const auto ahead = reinterpret_cast<uintptr_t>(from + kBlockSamples) + 15 * 128;
        __builtin_prefetch(reinterpret_cast<const void *>(ahead));
        __builtin_prefetch(reinterpret_cast<const void *>(ahead + 64));
        // And the rows the blocks write, a line ahead, once a line.
        if (col % 4 == 0)
            for (int j = 0; j < 8; ++j)
                __builtin_prefetch(reinterpret_cast<const void *>(
                                       reinterpret_cast<uintptr_t>(dst + j * p.width) + 128),
                                   1);
        const bool pair = left + 2 * kBlockSide <= p.width && top + kBlockSide <= p.height;
        const uint64_t both = pair ? nonzero[0] | nonzero[1] : 0;
        if (run != 0) {
            // taken by the group
        } else if (pair && (both & ~corner_ranks(2)) == 0) {
            corner_blocks<2, 2>(from, divisors, bs, dst, p.width);
            run = 2;
        } else if (pair && (both & ~corner_ranks(3)) == 0) {
            corner_blocks<3, 2>(from, divisors, bs, dst, p.width);
            run = 2;
        } else if (pair && dense_pair(from, bs)) {
            // Two dense neighbours together.
            if (!inverse_pair(from, divisors_by_columns, bs, dst, p.width))
                for (int b = 0; b < 2; ++b)
                    inverse_any(from + kBlockSamples * b, nonzero[b], divisors,
                                divisors_by_columns, bs, dst + kBlockSide * b, p.width);
            run = 2;
        } else if (left + kBlockSide <= p.width && top + kBlockSide <= p.height) {
            inverse_any(from, nonzero[0], divisors, divisors_by_columns, bs, dst, p.width);
            run = 1;
        } else {
            // Samples of edge blocks beyond the plane are dropped.
            alignas(16) int16_t block[64];
            inverse_any(from, nonzero[0], divisors, divisors_by_columns, bs, block, kBlockSide);
            const std::size_t across = p.width - left < kBlockSide ? p.width - left : kBlockSide;
            const std::size_t down = p.height - top < kBlockSide ? p.height - top : kBlockSide;
            for (std::size_t j = 0; j < down; ++j)
                __builtin_memcpy(dst + j * p.width, block + kBlockSide * j,
                                 across * sizeof(int16_t));
            run = 1;
        }
        n += run; // a group or a pair never reaches past the end of its block row
        col += run;
        if (col == p.per_row) {
            col = 0;
            ++row;
        }
    }
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET
