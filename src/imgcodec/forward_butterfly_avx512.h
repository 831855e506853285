/* The fast forward transform of one or two blocks: the even/odd butterfly,
 * whose quantised results fast_path.cpp proves exact, with the coefficients
 * that come too near a rounding boundary recomputed the library's way.
 *
 * Only the AVX-512 kernels have it. Without AVX-512 the vectors of eight
 * doubles are split into pieces, and a butterfly with transposes and
 * checks loses to the library's products; the AVX2 kernels put four blocks
 * one a lane instead (forward_group_avx2.h), which transposes nothing. */
#ifndef DCTLAB_IMGCODEC_FORWARD_BUTTERFLY_AVX512_H
#define DCTLAB_IMGCODEC_FORWARD_BUTTERFLY_AVX512_H

#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "butterfly_passes.h"
#include "fast_path.h"
#include "forward_products.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#include "matr.h"
#include "quant_matrix.h"
#include "vectors_avx512.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* out = magnitude (sign bit clear) with the sign of x. */
INLINE void signed_like(const v8d &x, const v8d &magnitude, v8d &out)
{
    // (x & sign bit) | magnitude in one instruction
    const __m512i sign = _mm512_set1_epi64(INT64_MIN);
    out = (v8d)_mm512_ternarylogic_epi64((__m512i)x, sign, (__m512i)magnitude, 0xEA);
}

/* Keeps in offset_max the largest x + kFastSampleLimit, taken unsigned, of
 * the lanes of x: a sample lies within the limit exactly when that is at
 * most twice the limit (within_limit). */
template <typename Signed, typename Unsigned>
INLINE void keep_largest_offset(const Signed &x, Unsigned &offset_max)
{
    const Unsigned offset = (Unsigned)x + static_cast<uint16_t>(kFastSampleLimit);
    offset_max = offset > offset_max ? offset : offset_max;
}
template <typename Unsigned> INLINE bool within_limit(const Unsigned &offset_max)
{
    const auto beyond = offset_max > static_cast<uint16_t>(2 * kFastSampleLimit);
    if constexpr (sizeof beyond == sizeof(v8i))
        return !any_lane((v8i)beyond);
    else
        return !any_lane((v16i)beyond);
}

/* The lanes of N neighbouring blocks' rows, widened to 32 bits. */
template <int N> struct BlockLanes;
template <> struct BlockLanes<1> {
    using wide = v8i;
    using wide_unsigned = uint32_t __attribute__((vector_size(32)));
};
template <> struct BlockLanes<2> {
    using wide = v16i;
    using wide_unsigned = uint32_t __attribute__((vector_size(64)));
};

/* Lanes 8b .. 8b + 7 of x as doubles. */
INLINE void block_lanes(const v8i &x, int, v8d &v)
{
    v = __builtin_convertvector(x, v8d);
}
INLINE void block_lanes(const v16i &x, int b, v8d &v)
{
    const __m256i half = b == 0 ? (__m256i)__builtin_shufflevector(x, x, 0, 1, 2, 3, 4, 5, 6, 7)
                                : _mm512_maskz_extracti64x4_epi64(0xF, (__m512i)x, 1);
    v = (v8d)_mm512_maskz_cvtepi32_pd(0xFF, half);
}

/* The samples of a row of N neighbouring blocks, widened. */
INLINE void widen_row(const int16_t *p, v8i &x)
{
    v8s row;
    __builtin_memcpy(&row, p, sizeof row);
    x = (v8i)_mm256_maskz_cvtepi16_epi32(0xFF, (__m128i)row);
}
INLINE void widen_row(const int16_t *p, v16i &x)
{
    v16s row;
    __builtin_memcpy(&row, p, sizeof row);
    x = (v16i)_mm512_maskz_cvtepi16_epi32(0xFFFF, (__m256i)row);
}

/* The first butterfly pass of N neighbouring blocks (rows at src + 8b,
 * stride apart), v[b] the rows of S·B of block b; false if a sample lies
 * beyond kFastSampleLimit. The sums and differences of the samples are
 * whole numbers far inside 32 bits and so computed exactly in integers, all
 * N blocks in the lanes of one vector; only the products round. */
template <int N>
INLINE bool first_pass(const int16_t *src, std::size_t stride, const Basis &bs, v8d (&v)[N][8])
{
    using Lanes = BlockLanes<N>;
    using Wide = typename Lanes::wide;
    Wide x[8];
    typename Lanes::wide_unsigned offset_max = {};
    for (int k = 0; k < 8; ++k) {
        widen_row(src + k * stride, x[k]);
        keep_largest_offset(x[k], offset_max);
    }
    if (!within_limit(offset_max))
        return false;
    const Wide s0 = x[0] + x[7], s1 = x[1] + x[6], s2 = x[2] + x[5], s3 = x[3] + x[4];
    const Wide e0 = s0 + s3, e1 = s1 + s2;
    const Wide whole[8] = {e0 + e1,     e0 - e1,     s1 - s2,     s0 - s3,
                           x[0] - x[7], x[1] - x[6], x[2] - x[5], x[3] - x[4]};
    for (int b = 0; b < N; ++b) {
        v8d sum, difference, e2, e3, d[4];
        block_lanes(whole[0], b, sum);
        block_lanes(whole[1], b, difference);
        block_lanes(whole[2], b, e2);
        block_lanes(whole[3], b, e3);
        for (int i = 0; i < 4; ++i)
            block_lanes(whole[4 + i], b, d[i]);
        butterfly_products(bs, sum, difference, e2, e3, d, v[b]);
    }
    return true;
}

constexpr double kNearWhole = 0x1p-30;

/* Bit r set for every lane r below limit. */
INLINE unsigned lanes_below(const v8d &x, double limit)
{
    return _mm512_cmp_pd_mask((__m512d)x, _mm512_set1_pd(limit), _CMP_LT_OQ);
}

/* The coefficients whose t came within kNearWhole of an integer, computed
 * again the library's way and quantised as quantum does. */
KERNEL static __attribute__((noinline)) void recompute_near(const v8d (&t)[8], const int16_t *src,
                                                            std::size_t stride, const Basis &bs,
                                                            const Quantiser &q, int16_t *out)
{
    for (int c = 0; c < 8; ++c) {
        v8d g;
        off_whole(t[c], g);
        g = g < 0 ? -g : g;
        const unsigned near = lanes_below(g, kNearWhole);
        for (unsigned m = near; m != 0; m &= m - 1) {
            const int r = __builtin_ctz(m);
            out[REV_PERM_MAT[8 * r + c]] = library_quantised(src, stride, bs, q, r, c);
        }
    }
}

/* The quantised columns of a block, in zigzag order at out. */
INLINE void store_columns(const v8i (&columns)[8], const Basis &bs, int16_t *out)
{
    // Pairs of columns packed to 16 bits in one step (within 128-bit lanes,
    // which zigzag_packed accounts for), then two permutations.
    __m256i packed[4];
    for (int m = 0; m < 4; ++m)
        packed[m] = _mm256_packs_epi32((__m256i)columns[2 * m], (__m256i)columns[2 * m + 1]);
    using v16ll = long long __attribute__((vector_size(32)));
    using v32ll = long long __attribute__((vector_size(64)));
    const v32ll low =
        __builtin_shufflevector((v16ll)packed[0], (v16ll)packed[1], 0, 1, 2, 3, 4, 5, 6, 7);
    const v32ll high =
        __builtin_shufflevector((v16ll)packed[2], (v16ll)packed[3], 0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i idx_lo = _mm512_cvtepu8_epi16(
        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bs.zigzag_packed)));
    const __m512i idx_hi = _mm512_cvtepu8_epi16(
        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(bs.zigzag_packed + 32)));
    _mm512_storeu_si512(out, _mm512_permutex2var_epi16((__m512i)low, idx_lo, (__m512i)high));
    _mm512_storeu_si512(out + 32, _mm512_permutex2var_epi16((__m512i)low, idx_hi, (__m512i)high));
}

/* N neighbouring blocks of a block row (their rows at src + 8b, stride
 * apart) through the butterfly, quantised by the reciprocal steps and stored
 * in zigzag order at out + 64b; false, with nothing stored, if a sample lies
 * beyond kFastSampleLimit. The blocks go through each step together, so
 * that the processor finds independent work next to each long chain. */
template <int N>
INLINE bool fast_blocks(const int16_t *src, std::size_t stride, const Basis &bs, const Quantiser &q,
                        int16_t *out)
{
    v8d v[N][8]; // the rows of S·B
    if (!first_pass<N>(src, stride, bs, v))
        return false;
    for (int b = 0; b < N; ++b)
        transpose8(v[b]);
    for (int b = 0; b < N; ++b)
        butterfly8(bs, v[b]); // columns of S·B·Sᵀ
    v8d t[N][8], g[N][8];
    v8i columns[N][8];
    for (int c = 0; c < 8; ++c) {
        v8d step, bias;
        load(q.step_by_columns + 8 * c, step);
        load(q.bias_by_columns + 8 * c, bias);
        for (int b = 0; b < N; ++b) {
            // fl(x·r ± b) = ±fl(|x|·r + b): rounding is symmetric about 0.
            signed_like(v[b][c], bias, t[b][c]);
            add_product(t[b][c], v[b][c], step);
            columns[b][c] = __builtin_convertvector(t[b][c], v8i);
            off_whole(t[b][c], g[b][c]);
        }
    }
    v8d nearest[N];
    for (int b = 0; b < N; ++b) {
        min_abs_of(g[b], nearest[b]);
        store_columns(columns[b], bs, out + kBlockSamples * b);
    }
    for (int b = 0; b < N; ++b) {
        if (__builtin_expect(any_below(nearest[b], kNearWhole), 0))
            recompute_near(t[b], src + kBlockSide * b, stride, bs, q, out + kBlockSamples * b);
    }
    return true;
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
