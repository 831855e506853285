/* The AVX-512 kernels' way through a run of blocks: eight neighbours at
 * once where the run is long enough, else pairs or single blocks through
 * the butterfly (forward_butterfly_avx512.h), each falling back to the
 * library's products where its samples are beyond the butterfly's bound. */
#ifndef DCTLAB_IMGCODEC_FORWARD_GROUP_AVX512_H
#define DCTLAB_IMGCODEC_FORWARD_GROUP_AVX512_H

#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "fast_path.h"
#include "forward_butterfly_avx512.h"
#include "forward_products.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#include "vectors_avx512.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* One block, its rows at src, stride apart, into 64 coefficients at out. */
INLINE void forward_block(const int16_t *src, std::size_t stride, const Basis &bs,
                          const Quantiser &q, int16_t *out)
{
    if (!bs.fast || !fast_blocks<1>(src, stride, bs, q, out))
        forward_by_products(src, stride, bs, q, out);
}

constexpr uint32_t kGroup = 8; // blocks that fast_group takes at once

/* Eight neighbouring blocks at once, one block a lane.
 *
 * With the blocks side by side in the lanes, both butterfly passes combine
 * whole vectors and no transposition of doubles is needed: the samples are
 * laid out by column with one permutation per row, the first pass's sums
 * and differences are formed in 16 bits (|sample| <= kFastSampleLimit, so
 * a sum of eight stays below 2^15), and the quantised coefficients are
 * turned back into each block's zigzag order by three rounds of
 * permutations. The arithmetic of every coefficient is the one of
 * fast_blocks but for the factors a0 and a4, which the quantiser's scaled
 * steps supply (positive, so that the sign of the bias stays right), and
 * the error bound covers both (fast_path.cpp). */

struct GroupOrder {
    // Lane 8cc + b of half h: sample 4h + cc of block b, from a row's 64
    // samples (block b's at 8b).
    WordOrder columns[2];
    // The rounds that turn 8 blocks x 32 zigzag positions into one block
    // a vector (see turn_to_blocks), two outputs a round.
    WordOrder round[3][2];
    uint8_t natural[64]; // the row-major position of each zigzag rank
    constexpr GroupOrder() : columns(), round(), natural()
    {
        for (int k = 0; k < 64; ++k)
            natural[kZigzag.rank[k]] = static_cast<uint8_t>(k);
        for (int h = 0; h < 2; ++h)
            for (int l = 0; l < 32; ++l)
                columns[h].set(l, 8 * (l % 8) + 4 * h + l / 8);
        for (int o = 0; o < 2; ++o)
            for (int l = 0; l < 32; ++l) {
                // Round 1: from 4 positions x 8 blocks (two packed vectors
                // of two positions each) to 8 positions x 4 blocks.
                const int block = 4 * o + l / 8, p = l % 8, pos = p % 4;
                const int ll = 8 * (block / 4) + 4 * (pos % 2) + block % 4;
                round[0][o].set(l, 32 * (p / 4) + 16 * (pos / 2) + ll);
                // Round 2: to 16 positions x 2 blocks; round 3: to 32 x 1.
                const int p2 = l % 16, q2 = l / 16;
                round[1][o].set(l, 32 * (p2 / 8) + 8 * (2 * o + q2) + p2 % 8);
                round[2][o].set(l, 32 * (l / 16) + 16 * o + l % 16);
            }
    }
};
constexpr GroupOrder kGroupOrder;

/* quantised[k] holds coefficient k (natural order) of the eight blocks;
 * each block's 64 coefficients are stored in zigzag order at out + 64b. */
INLINE void turn_to_blocks(const __m256i (&quantised)[64], int16_t *out)
{
    for (int half = 0; half < 2; ++half) {
        // z[m]: zigzag positions 32·half + 4m .. + 3 of all eight blocks.
        __m512i z[8];
        for (int m = 0; m < 8; ++m) {
            const int first = 32 * half + 4 * m;
            const uint8_t *at = kGroupOrder.natural + first;
            const __m256i low = _mm256_packs_epi32(quantised[at[0]], quantised[at[1]]);
            const __m256i high = _mm256_packs_epi32(quantised[at[2]], quantised[at[3]]);
            using v4ll = long long __attribute__((vector_size(32)));
            z[m] = (__m512i)__builtin_shufflevector((v4ll)low, (v4ll)high, 0, 1, 2, 3, 4, 5, 6, 7);
        }
        __m512i a[4][2], b[2][2][2];
        for (int j = 0; j < 4; ++j)
            for (int o = 0; o < 2; ++o) // blocks 4o .. 4o + 3, 8 positions
                a[j][o] = permute_words(z[2 * j], kGroupOrder.round[0][o], z[2 * j + 1]);
        for (int k = 0; k < 2; ++k)
            for (int bh = 0; bh < 2; ++bh)
                for (int o = 0; o < 2; ++o) // blocks 4bh + 2o, + 1; 16 positions
                    b[k][bh][o] =
                        permute_words(a[2 * k][bh], kGroupOrder.round[1][o], a[2 * k + 1][bh]);
        for (int bh = 0; bh < 2; ++bh)
            for (int o = 0; o < 2; ++o)
                for (int o3 = 0; o3 < 2; ++o3) {
                    const int block = 4 * bh + 2 * o + o3;
                    _mm512_storeu_si512(
                        out + kBlockSamples * block + 32 * half,
                        permute_words(b[0][bh][o], kGroupOrder.round[2][o3], b[1][bh][o]));
                }
    }
}

/* The eight blocks with rows at src + 8b, stride apart, into out + 64b;
 * false if a sample lies beyond kFastSampleLimit, and the caller then
 * computes all eight another way. */
INLINE bool fast_group(const int16_t *src, std::size_t stride, const Basis &bs, const Quantiser &q,
                       int16_t *out)
{
    // The rows are read again below rather than kept: the registers are
    // needed for the sums.
    using v32s = int16_t __attribute__((vector_size(64)));
    using v32u = uint16_t __attribute__((vector_size(64)));
    v32u offset_max = {};
    for (int r = 0; r < 8; ++r)
        for (int i = 0; i < 2; ++i) {
            v32s x;
            __builtin_memcpy(&x, src + r * stride + 32 * i, sizeof x);
            keep_largest_offset(x, offset_max);
        }
    if (!within_limit(offset_max))
        return false;

    alignas(64) v8d pass1[8][8]; // [r][c]: row r of S·B at column c, a block a lane
    for (int h = 0; h < 2; ++h) {
        __m512i x[8];
        for (int r = 0; r < 8; ++r)
            x[r] = permute_words(_mm512_loadu_si512(src + r * stride), kGroupOrder.columns[h],
                                 _mm512_loadu_si512(src + r * stride + 32));
        __m512i s[4];
        // The sums and differences, kept in memory: each column of them is
        // then one widening load.
        alignas(64) int16_t whole[8][32];
        for (int k = 0; k < 4; ++k) {
            s[k] = _mm512_add_epi16(x[k], x[7 - k]);
            _mm512_store_si512(whole[4 + k], _mm512_sub_epi16(x[k], x[7 - k]));
        }
        const __m512i e0 = _mm512_add_epi16(s[0], s[3]), e1 = _mm512_add_epi16(s[1], s[2]);
        _mm512_store_si512(whole[0], _mm512_add_epi16(e0, e1));
        _mm512_store_si512(whole[1], _mm512_sub_epi16(e0, e1));
        _mm512_store_si512(whole[2], _mm512_sub_epi16(s[1], s[2]));
        _mm512_store_si512(whole[3], _mm512_sub_epi16(s[0], s[3]));
        for (int cc = 0; cc < 4; ++cc) {
            v8d w[8];
            for (int i = 0; i < 8; ++i) {
                const __m128i eight =
                    _mm_load_si128(reinterpret_cast<const __m128i *>(whole[i] + 8 * cc));
                w[i] =
                    (v8d)_mm512_maskz_cvtepi32_pd(0xFF, _mm256_maskz_cvtepi16_epi32(0xFF, eight));
            }
            const v8d d[4] = {w[4], w[5], w[6], w[7]};
            v8d v[8];
            butterfly_products<false>(bs, w[0], w[1], w[2], w[3], d, v);
            for (int r = 0; r < 8; ++r)
                pass1[r][4 * h + cc] = v[r];
        }
    }

    // Nearness to an integer without rounding t: u = fl(t + 1.5·2^22 +
    // 2^-29) has the unit 2^-30 in its last bit for every |t| < 2^21, so
    // the low 30 bits of its significand hold the fraction of t + 2^-29 in
    // that unit, rounded. Where t lies within 2^-30 of an integer they hold
    // 1, 2 or 3, so a block whose lanes all have a bit of 2..29 set has no
    // coefficient that near (a few a little further are taken as near).
    constexpr double kFractionShift = 0x1.8p22 + 0x1p-29;
    const __m512i fraction_bits = _mm512_set1_epi64(0x3FFFFFFC);
    __mmask8 away = 0xFF, dc_away = 0xFF;
    __m256i quantised[64];
    for (int r = 0; r < 8; ++r) {
        v8d v[8];
        for (int c = 0; c < 8; ++c)
            v[c] = pass1[r][c];
        butterfly8<false>(bs, v); // row r of S·B·Sᵀ, but for the factors a0 and a4
        for (int c = 0; c < 8; ++c) {
            const int k = 8 * c + r; // by columns, as the quantiser keeps it
            v8d t;
            const double bias = q.bias_by_columns[k];
            signed_like(v[c], v8d{bias, bias, bias, bias, bias, bias, bias, bias}, t);
            add_product(t, q.scaled_step[8 * r + c], v[c]);
            quantised[8 * r + c] = (__m256i) __builtin_convertvector(t, v8i);
            const __m512i u = (__m512i)(t + kFractionShift);
            if (r == 0 && c == 0)
                dc_away = _mm512_test_epi64_mask(u, fraction_bits);
            else
                away = _mm512_mask_test_epi64_mask(away, u, fraction_bits);
        }
    }
    turn_to_blocks(quantised, out);

    // The DC coefficients on a boundary (one block in eight), computed the
    // library's way; a block with any other coefficient near one, all of it.
    for (unsigned m = ~dc_away & 0xFFu; m != 0; m &= m - 1) {
        const int b = __builtin_ctz(m);
        out[kBlockSamples * b] = library_quantised(src + kBlockSide * b, stride, bs, q, 0, 0);
    }
    for (unsigned m = ~away & 0xFFu; m != 0; m &= m - 1) {
        const int b = __builtin_ctz(m);
        if (!fast_blocks<1>(src + kBlockSide * b, stride, bs, q, out + kBlockSamples * b))
            return false; // cannot happen: the samples are within the limit
    }
    return true;
}

constexpr uint32_t kTogether = 2; // blocks that fast_blocks takes at once

/* kTogether neighbouring blocks through the butterfly, or one by one where
 * a sample lies beyond its limit. */
INLINE void forward_together(const int16_t *src, std::size_t stride, const Basis &bs,
                             const Quantiser &q, int16_t *out)
{
    if (!fast_blocks<kTogether>(src, stride, bs, q, out))
        for (uint32_t b = 0; b < kTogether; ++b)
            forward_block(src + kBlockSide * b, stride, bs, q, out + kBlockSamples * b);
}

/* The first blocks of a run of run >= 1 neighbours wholly inside the plane
 * (rows at src, stride apart) into out: eight, two or one of them, as many
 * as the run holds; how many. */
INLINE uint32_t forward_run(const int16_t *src, std::size_t stride, uint32_t run, const Basis &bs,
                            const Quantiser &q, int16_t *out)
{
    if (run >= kGroup && bs.fast) {
        if (!fast_group(src, stride, bs, q, out))
            for (uint32_t b = 0; b < kGroup; b += kTogether)
                forward_together(src + kBlockSide * b, stride, bs, q, out + kBlockSamples * b);
        return kGroup;
    }
    if (run >= kTogether && bs.fast) {
        forward_together(src, stride, bs, q, out);
        return kTogether;
    }
    forward_block(src, stride, bs, q, out);
    return 1;
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
