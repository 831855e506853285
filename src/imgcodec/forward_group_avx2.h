/* The AVX2 kernels' way through a run of blocks: four neighbours at once,
 * one block a lane of each vector of four doubles.
 *
 * It is the arithmetic of the AVX-512 kernel's eight-block groups
 * (forward_group_avx512.h), lane for lane, and rests on the same bound
 * (fast_path.cpp): the first pass's sums and differences in 16 bits, the
 * butterfly without the factors a0 and a4, which the scaled steps supply,
 * and a coefficient whose t comes within 2^-30 of an integer computed the
 * library's way. With the blocks in the lanes, neither pass transposes
 * doubles; the samples are turned a block a lane once, in 16 bits, and the
 * quantised coefficients turned back into each block's zigzag order. Runs
 * shorter than a group and the edge blocks are staged into a group with
 * zeros around them. */
#ifndef DCTLAB_IMGCODEC_FORWARD_GROUP_AVX2_H
#define DCTLAB_IMGCODEC_FORWARD_GROUP_AVX2_H

#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "butterfly_passes.h"
#include "fast_path.h"
#include "forward_products.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#include "lanes_avx2.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

constexpr uint32_t kGroup = 4;                                  // blocks a group
constexpr std::size_t kGroupSamples = kGroup * kBlockSide;      // samples across a group
constexpr int16_t kSampleLimit = static_cast<int16_t>(kFastSampleLimit);
static_assert(kSampleLimit == kFastSampleLimit && 8 * kSampleLimit <= INT16_MAX,
              "the first pass sums eight samples in 16 bits");

/* Whether every sample of the group's eight rows lies within the limit:
 * x + limit, taken unsigned, is at most twice the limit exactly then. */
INLINE bool group_within_limit(const int16_t *src, std::size_t stride)
{
    const __m256i offset = _mm256_set1_epi16(kSampleLimit);
    __m256i largest = _mm256_setzero_si256();
    UNROLL
    for (int r = 0; r < 8; ++r)
        UNROLL
        for (int h = 0; h < 2; ++h) {
            const __m256i x =
                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + r * stride + 16 * h));
            largest = _mm256_max_epu16(largest, _mm256_add_epi16(x, offset));
        }
    const __m256i twice = _mm256_set1_epi16(2 * kSampleLimit);
    const __m256i within = _mm256_cmpeq_epi16(_mm256_max_epu16(largest, twice), twice);
    return _mm256_movemask_epi8(within) == -1;
}

/* Row r of S·B at column i of each block, but for the factors a0 and a4,
 * into pass1[r][i]: the sums and differences of mirrored rows in 16 bits,
 * where they are exact, then turned a block a lane and multiplied. */
INLINE void group_first_pass(const int16_t *src, std::size_t stride, const Basis &bs,
                             v4d (&pass1)[8][8])
{
    __m256i whole[2][8]; // blocks 2h and 2h + 1, one a 128-bit lane
    UNROLL
    for (int h = 0; h < 2; ++h) {
        __m256i x[8];
        UNROLL
        for (int r = 0; r < 8; ++r)
            x[r] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(src + r * stride + 16 * h));
        __m256i s[4];
        UNROLL
        for (int k = 0; k < 4; ++k) {
            s[k] = _mm256_add_epi16(x[k], x[7 - k]);
            whole[h][4 + k] = _mm256_sub_epi16(x[k], x[7 - k]);
        }
        const __m256i e0 = _mm256_add_epi16(s[0], s[3]), e1 = _mm256_add_epi16(s[1], s[2]);
        whole[h][0] = _mm256_add_epi16(e0, e1);
        whole[h][1] = _mm256_sub_epi16(e0, e1);
        whole[h][2] = _mm256_sub_epi16(s[1], s[2]);
        whole[h][3] = _mm256_sub_epi16(s[0], s[3]);
    }
    // turned[w][4i + b]: quantity w of column i of block b.
    alignas(32) int16_t turned[8][32];
    const __m256i pairs = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    UNROLL
    for (int w = 0; w < 8; ++w) {
        const __m256i even = _mm256_permute2x128_si256(whole[0][w], whole[1][w], 0x20); // b0 | b2
        const __m256i odd = _mm256_permute2x128_si256(whole[0][w], whole[1][w], 0x31);  // b1 | b3
        const __m256i low = _mm256_permutevar8x32_epi32(_mm256_unpacklo_epi16(even, odd), pairs);
        const __m256i high = _mm256_permutevar8x32_epi32(_mm256_unpackhi_epi16(even, odd), pairs);
        _mm256_store_si256(reinterpret_cast<__m256i *>(turned[w]), low);
        _mm256_store_si256(reinterpret_cast<__m256i *>(turned[w] + 16), high);
    }
    UNROLL
    for (int i = 0; i < 8; ++i) {
        v4d w[8];
        UNROLL
        for (int k = 0; k < 8; ++k)
        {
            // Columns i and i ^ 1 in one whole load (a load of the low half
            // alone becomes a register move that valgrind cannot decode).
            const __m128i both =
                _mm_load_si128(reinterpret_cast<const __m128i *>(turned[k] + 8 * (i / 2)));
            const __m128i column = i % 2 == 0 ? both : _mm_unpackhi_epi64(both, both);
            w[k] = (v4d)_mm256_cvtepi32_pd(_mm_cvtepi16_epi32(column));
        }
        const v4d d[4] = {w[4], w[5], w[6], w[7]};
        v4d v[8];
        butterfly_products<false>(bs, w[0], w[1], w[2], w[3], d, v);
        UNROLL
        for (int r = 0; r < 8; ++r)
            pass1[r][i] = v[r];
    }
}

/* quantised[k] holds coefficient k (row-major) of the four blocks; each
 * block's 64 coefficients are stored in zigzag order at out + 64b. */
INLINE void turn_to_blocks(const __m128i (&quantised)[64], int16_t *out)
{
    UNROLL
    for (int z = 0; z < 64; z += 8) {
        __m128i ranks[8];
        UNROLL
        for (int k = 0; k < 8; ++k)
            ranks[k] = quantised[kNatural.position[z + k]];
        store_quads(ranks, out + z, kBlockSamples);
    }
}

/* The four blocks with rows at src + 8b, stride apart, into out + 64b;
 * false, with nothing stored, if a sample lies beyond kFastSampleLimit. */
INLINE bool fast_group(const int16_t *src, std::size_t stride, const Basis &bs, const Quantiser &q,
                       int16_t *out)
{
    if (!group_within_limit(src, stride))
        return false;
    alignas(32) v4d pass1[8][8];
    group_first_pass(src, stride, bs, pass1);

    // Nearness to an integer as in fast_group of the AVX-512 kernels: the
    // low 30 bits of fl(t + 1.5·2^22 + 2^-29) hold the fraction of t in
    // units of 2^-30, and within 2^-30 of an integer no bit of 2..29 is set.
    constexpr double kFractionShift = 0x1.8p22 + 0x1p-29;
    const v4l fraction_bits = {0x3FFFFFFC, 0x3FFFFFFC, 0x3FFFFFFC, 0x3FFFFFFC};
    const v4l sign = {INT64_MIN, INT64_MIN, INT64_MIN, INT64_MIN};
    v4l near = {}, dc_near = {};
    __m128i quantised[64];
    UNROLL
    for (int r = 0; r < 8; ++r) {
        v4d v[8];
        UNROLL
        for (int c = 0; c < 8; ++c)
            v[c] = pass1[r][c];
        butterfly8<false>(bs, v); // row r of S·B·Sᵀ, but for the factors a0 and a4
        UNROLL
        for (int c = 0; c < 8; ++c) {
            const double bias = q.bias_by_columns[8 * c + r];
            // fl(x·s ± b) = ±fl(|x|·s + b): rounding is symmetric about 0.
            const v4d biases = {bias, bias, bias, bias}; // not 0 + bias, an addition
            v4d t = (v4d)(((v4l)v[c] & sign) | (v4l)biases);
            add_product(t, q.scaled_step[8 * r + c], v[c]);
            quantised[8 * r + c] = _mm256_cvttpd_epi32((__m256d)t);
            const v4l on_boundary = ((v4l)(t + kFractionShift) & fraction_bits) == 0;
            if (r == 0 && c == 0)
                dc_near = on_boundary;
            else
                near |= on_boundary;
        }
    }
    turn_to_blocks(quantised, out);

    // The DC coefficients on a boundary (one block in eight), computed the
    // library's way; a block with any other coefficient near one, all of it.
    for (unsigned m = _mm256_movemask_pd((__m256d)dc_near); m != 0; m &= m - 1) {
        const int b = __builtin_ctz(m);
        out[kBlockSamples * b] = library_quantised(src + kBlockSide * b, stride, bs, q, 0, 0);
    }
    for (unsigned m = _mm256_movemask_pd((__m256d)near); m != 0; m &= m - 1) {
        const int b = __builtin_ctz(m);
        forward_by_products(src + kBlockSide * b, stride, bs, q, out + kBlockSamples * b);
    }
    return true;
}

/* Four neighbours (rows at src + 8b, stride apart) into out + 64b, through
 * the group or, beyond the butterfly's bound, by the library's products. */
INLINE void forward_group(const int16_t *src, std::size_t stride, const Basis &bs,
                          const Quantiser &q, int16_t *out)
{
    if (!bs.fast || !fast_group(src, stride, bs, q, out))
        for (uint32_t b = 0; b < kGroup; ++b)
            forward_by_products(src + kBlockSide * b, stride, bs, q, out + kBlockSamples * b);
}

/* Fewer than a group's blocks, `across` samples of `down` rows at src,
 * stride apart, with zeros beyond, into count blocks at out. */
INLINE void forward_staged(const int16_t *src, std::size_t stride, std::size_t across,
                           std::size_t down, uint32_t count, const Basis &bs, const Quantiser &q,
                           int16_t *out)
{
    alignas(32) int16_t staged[kBlockSide][kGroupSamples] = {};
    for (std::size_t j = 0; j < down; ++j)
        __builtin_memcpy(staged[j], src + j * stride, across * sizeof(int16_t));
    alignas(32) int16_t group[kGroup * kBlockSamples];
    forward_group(staged[0], kGroupSamples, bs, q, group);
    __builtin_memcpy(out, group, count * kBlockSamples * sizeof(int16_t));
}

/* One block, `across` samples of `down` rows at src inside the plane and
 * zeros beyond, into 64 coefficients at out. */
INLINE void forward_edge(const int16_t *src, std::size_t stride, std::size_t across,
                         std::size_t down, const Basis &bs, const Quantiser &q, int16_t *out)
{
    forward_staged(src, stride, across, down, 1, bs, q, out);
}

/* The first blocks of a run of run >= 1 neighbours wholly inside the plane
 * (rows at src, stride apart) into out: a group, or the whole run when it
 * is shorter; how many. */
INLINE uint32_t forward_run(const int16_t *src, std::size_t stride, uint32_t run, const Basis &bs,
                            const Quantiser &q, int16_t *out)
{
    if (run >= kGroup) {
        forward_group(src, stride, bs, q, out);
        return kGroup;
    }
    forward_staged(src, stride, run * kBlockSide, kBlockSide, run, bs, q, out);
    return run;
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
