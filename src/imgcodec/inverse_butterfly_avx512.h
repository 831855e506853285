/* The fast way back for dense blocks, one or two neighbours at once: the
 * transposed butterfly, whose error fast_path.cpp bounds, used where every
 * sample lands far enough from a rounding boundary.
 *
 * Only the AVX-512 kernels have it, for the reason the forward butterfly
 * gives (forward_butterfly_avx512.h); the AVX2 kernels take four blocks
 * one a lane (inverse_group_avx2.h). */
#ifndef DCTLAB_IMGCODEC_INVERSE_BUTTERFLY_AVX512_H
#define DCTLAB_IMGCODEC_INVERSE_BUTTERFLY_AVX512_H

#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "butterfly_passes.h"
#include "fast_path.h"
#include "inverse_products.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#include "vectors_avx512.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* From this many nonzero coefficients after the DC one on, the butterfly is
 * faster than the library's products with the zero rows and columns left
 * out. */
constexpr int kDenseBlock = 8;

/* N neighbouring blocks of a block row back through the butterfly, block b
 * from coefficients + 64b into rows stride apart at out + 8b; false, with
 * nothing stored, where a sample of any lies within 2^-28 of a half-integer
 * or beyond the range of the fast rounding. divisors are held column by
 * column, like the coefficients here. As in fast_blocks, the blocks go
 * through each step together. */
template <int N>
INLINE bool fast_inverse_blocks(const int16_t *coefficients, const int16_t *divisors,
                                const Basis &bs, int16_t *out, std::size_t stride)
{
    v8d v[N][8]; // v[c] is column c of D: the butterfly gives B's rows at the end
    for (int b = 0; b < N; ++b) {
        alignas(64) int16_t by_columns[64];
        reorder(coefficients + kBlockSamples * b, bs.ranks_by_columns, by_columns);
        for (int c = 0; c < 8; ++c) {
            v8u x;
            dequantise_row(by_columns + 8 * c, divisors + 8 * c, x, v[b][c]);
        }
    }
    for (int b = 0; b < N; ++b)
        butterfly8_back(bs, v[b]); // rows of Sᵀ·Dᵀ
    for (int b = 0; b < N; ++b)
        transpose8(v[b]);
    for (int b = 0; b < N; ++b)
        butterfly8_back(bs, v[b]); // columns of Sᵀ·Dᵀ·S, the rows of B
    v8i twice[N][8];
    v8i beyond = {};
    v8d g[N][8], nearest[N];
    for (int b = 0; b < N; ++b) {
        for (int j = 0; j < 8; ++j) {
            twice_of(v[b][j], twice[b][j], beyond);
            off_whole(v[b][j] - 0.5, g[b][j]); // the distance to a half-integer
        }
        min_abs_of(g[b], nearest[b]);
    }
    for (int b = 1; b < N; ++b)
        keep_min_abs(nearest[0], nearest[b]);
    if (any_lane(beyond) || any_below(nearest[0], 0x1p-28))
        return false;
    for (int b = 0; b < N; ++b)
        store_rounded(v[b], twice[b], out + kBlockSide * b, stride);
    return true;
}

/* Whether a block with these nonzero coefficients is dense enough. */
INLINE bool dense(uint64_t nonzero)
{
    return __builtin_popcountll(nonzero & ~uint64_t{1}) >= kDenseBlock;
}

/* A block whose nonzero coefficients these are through the butterfly, if it
 * is dense and the bound allows; false, with nothing stored, if not. */
INLINE bool inverse_dense(const int16_t *coefficients, uint64_t nonzero,
                          const int16_t *divisors_by_columns, const Basis &bs, int16_t *out,
                          std::size_t stride)
{
    return dense(nonzero) && bs.fast_inverse &&
           fast_inverse_blocks<1>(coefficients, divisors_by_columns, bs, out, stride);
}

/* Whether two neighbours, from coefficients on, are both dense enough to go
 * through the butterfly together (inverse_pair). */
INLINE bool dense_pair(const int16_t *coefficients, const Basis &bs)
{
    return bs.fast_inverse && dense(nonzero_bits(coefficients)) &&
           dense(nonzero_bits(coefficients + kBlockSamples));
}
INLINE bool inverse_pair(const int16_t *coefficients, const int16_t *divisors_by_columns,
                         const Basis &bs, int16_t *out, std::size_t stride)
{
    return fast_inverse_blocks<2>(coefficients, divisors_by_columns, bs, out, stride);
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
