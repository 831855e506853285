/* The AVX2 kernels' way back for four neighbouring blocks at once, one
 * block a lane of each vector of four doubles: the transposed butterfly of
 * the AVX-512 kernels (inverse_butterfly_avx512.h), lane for lane, under
 * its bound (fast_path.cpp), a block whose samples come within 2^-28 of a
 * half-integer, or beyond the fast rounding, taken again the library's way.
 * With the blocks in the lanes neither pass transposes doubles: the
 * coefficients are turned a block a lane once, in 16 bits, and the samples
 * turned back into each block's rows. */
#ifndef DCTLAB_IMGCODEC_INVERSE_GROUP_AVX2_H
#define DCTLAB_IMGCODEC_INVERSE_GROUP_AVX2_H

#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "butterfly_passes.h"
#include "fast_path.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#include "inverse_products.h"
#include "lanes_avx2.h"
#include "quant_matrix.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

constexpr uint32_t kInverseGroup = 4; // blocks a group

/* Four blocks, from coefficients + 64b, dequantised with the divisors in
 * zigzag order (the low 16 bits of each product, as unQuantum keeps them),
 * position k (row-major) of block b in lane b of d[k]. */
INLINE void group_coefficients(const int16_t *coefficients, const int16_t *zigzag_divisors,
                               v4d (&d)[64])
{
    UNROLL
    for (int z = 0; z < 64; z += 8) {
        const __m128i divisors =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(zigzag_divisors + z));
        __m128i octets[4];
        for (uint32_t b = 0; b < kInverseGroup; ++b)
            octets[b] = _mm_mullo_epi16(
                _mm_loadu_si128(
                    reinterpret_cast<const __m128i *>(coefficients + kBlockSamples * b + z)),
                divisors);
        __m128i pairs[4];
        load_quads(octets, pairs);
        UNROLL
        for (int m = 0; m < 4; ++m) {
            d[kNatural.position[z + 2 * m]] =
                (v4d)_mm256_cvtepi32_pd(_mm_cvtepi16_epi32(pairs[m]));
            d[kNatural.position[z + 2 * m + 1]] =
                (v4d)_mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_unpackhi_epi64(pairs[m], pairs[m])));
        }
    }
}

/* The four blocks with coefficients at coefficients + 64b back into rows
 * stride apart at out + 8b. Every block's samples are stored; the bits of
 * the blocks whose samples the butterfly could not vouch for are returned,
 * and those the caller computes again. */
INLINE unsigned inverse_group(const int16_t *coefficients, const int16_t *zigzag_divisors,
                              const Basis &bs, int16_t *out, std::size_t stride)
{
    alignas(32) v4d d[64];
    group_coefficients(coefficients, zigzag_divisors, d);
    UNROLL
    for (int r = 0; r < 8; ++r) {
        v4d v[8];
        UNROLL
        for (int c = 0; c < 8; ++c)
            v[c] = d[8 * r + c];
        butterfly8_back(bs, v); // row r of D·S
        UNROLL
        for (int j = 0; j < 8; ++j)
            d[8 * r + j] = v[j];
    }
    // Nearness to a half-integer as the forward groups find nearness to an
    // integer: the low 30 bits of fl(x + 1.5·2^22 - 1/2 + 2^-27) hold the
    // fraction of x - 1/2 + 2^-27 in units of 2^-30 (|x| < 2^21), and where
    // x lies within 2^-28 of a half-integer they are below 16.
    constexpr double kFractionShift = 0x1.8p22 - 0.5 + 0x1p-27;
    const v4l fraction_bits = {0x3FFFFFF0, 0x3FFFFFF0, 0x3FFFFFF0, 0x3FFFFFF0};
    const __m128i reach = _mm_set1_epi32(32767), reach_below = _mm_set1_epi32(-32767);
    __m128i rounded[64];
    v4l near = {};
    __m128i beyond = _mm_setzero_si128();
    UNROLL
    for (int j = 0; j < 8; ++j) {
        v4d v[8];
        UNROLL
        for (int r = 0; r < 8; ++r)
            v[r] = d[8 * r + j];
        butterfly8_back(bs, v); // column j of Sᵀ·D·S: v[i] is sample (i, j)
        UNROLL
        for (int i = 0; i < 8; ++i) {
            // roun(x) = trunc(2x) - trunc(x) for |x| < 16384, that is while
            // |trunc(2x)| <= 32767 (see quantise).
            const __m128i twice = _mm256_cvttpd_epi32((__m256d)(v[i] + v[i]));
            beyond = _mm_or_si128(beyond, _mm_or_si128(_mm_cmpgt_epi32(twice, reach),
                                                       _mm_cmpgt_epi32(reach_below, twice)));
            rounded[8 * i + j] = _mm_sub_epi32(twice, _mm256_cvttpd_epi32((__m256d)v[i]));
            near |= ((v4l)(v[i] + kFractionShift) & fraction_bits) == 0;
        }
    }
    UNROLL
    for (int i = 0; i < 8; ++i) {
        __m128i row[8];
        UNROLL
        for (int j = 0; j < 8; ++j)
            row[j] = rounded[8 * i + j];
        store_quads(row, out + stride * i, kBlockSide);
    }
    const unsigned far = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(beyond)));
    return far | static_cast<unsigned>(_mm256_movemask_pd((__m256d)near));
}

/* A block whose nonzero coefficients all lie in its top left E x E corner,
 * as inverse_corner<E> computes it, product for product, with the
 * products held in registers: of Cᵀ·D only the E columns of the corner are
 * nonzero, a vector over the rows each, and each row of B is then E
 * products and their sum in increasing k. Such blocks are most of a
 * photograph at everyday rates. Coefficients beyond the reach of the
 * rounding without checks go to inverse_corner<E>. */
template <int E>
INLINE void inverse_corner_rows(const int16_t *coefficients, const int16_t *divisors,
                                const Basis &bs, int16_t *out, std::size_t stride)
{
    constexpr int kReach = E == 2 ? 16384 : E == 3 ? 7000 : 4000; // as inverse_corner reckons
    double d[E][E];
UNROLL
    for (int r = 0; r < E; ++r)
UNROLL
        for (int c = 0; c < E; ++c) {
            const int16_t v =
                dequantise_one(coefficients[kZigzag.rank[8 * r + c]], divisors[8 * r + c]);
            if (v > kReach || v < -kReach) {
                inverse_corner<E>(coefficients, divisors, bs, out, stride);
                return;
            }
            d[r][c] = v;
        }
    // Rows 0 .. E - 1 of C, halves of four.
    __m256d rows[E][2];
UNROLL
    for (int k = 0; k < E; ++k)
UNROLL
        for (int h = 0; h < 2; ++h)
            rows[k][h] = _mm256_load_pd(bs.c + 8 * k + 4 * h);
    // Column c of Cᵀ·D over the rows j: Σk fl(C[k][j]·D[k][c]) in increasing k.
    alignas(32) double t[E][8];
UNROLL
    for (int c = 0; c < E; ++c)
UNROLL
        for (int h = 0; h < 2; ++h) {
            __m256d sum = _mm256_mul_pd(rows[0][h], _mm256_set1_pd(d[0][c]));
UNROLL
            for (int k = 1; k < E; ++k)
                sum = _mm256_add_pd(sum, _mm256_mul_pd(rows[k][h], _mm256_set1_pd(d[k][c])));
            _mm256_store_pd(t[c] + 4 * h, sum);
        }
UNROLL
    for (int j = 0; j < 8; ++j) {
        __m256d tj[E];
UNROLL
        for (int k = 0; k < E; ++k)
            tj[k] = _mm256_broadcast_sd(t[k] + j);
        __m128i rounded[2];
UNROLL
        for (int h = 0; h < 2; ++h) {
            __m256d x = _mm256_mul_pd(tj[0], rows[0][h]);
UNROLL
            for (int k = 1; k < E; ++k)
                x = _mm256_add_pd(x, _mm256_mul_pd(tj[k], rows[k][h]));
            // roun(x) = trunc(2x) - trunc(x), |x| < 16384 here
            rounded[h] = _mm_sub_epi32(_mm256_cvttpd_epi32(_mm256_add_pd(x, x)),
                                       _mm256_cvttpd_epi32(x));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + stride * j),
                         _mm_packs_epi32(rounded[0], rounded[1]));
    }
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
