/* The forward transform of a block the matrix library's way, replayed
 * product by product, and its quantisation into zigzag order: what every
 * kernel set computes for a block that takes no faster way. */
#ifndef DCTLAB_IMGCODEC_FORWARD_PRODUCTS_H
#define DCTLAB_IMGCODEC_FORWARD_PRODUCTS_H

#include <cstddef>
#include <cstdint>

#include "fast_path.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#include "matr.h"
#include "quant_matrix.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* Conditional negation by a lane mask of 0 or -1: (x ^ -1) - (-1) = -x. */
INLINE void negate_where(const v8i &mask, v8i &x)
{
    x = (x ^ mask) - mask;
}

/* One block, its eight rows at src, src + stride, ...: F = (C·B)·Cᵀ, each
 * element summed over k = 0..7 in increasing order as the matrix library
 * does. The library starts each sum at 0.0 and so turns a leading -0.0
 * product into +0.0; starting at the first product instead differs only in
 * the sign of zeros, which no later addition or multiplication can turn into
 * a difference of value (x + ±0 = x for x ≠ 0, and ±0 · y is a zero), and
 * roun gives 0 for either zero. */
INLINE void forward_transform(const int16_t *src, std::size_t stride, const Basis &bs, v8d (&f)[8])
{
    v8d b[8];
    for (int k = 0; k < 8; ++k)
        load_row(src + k * stride, b[k]);
    alignas(64) double t[64];
    for (int r = 0; r < 8; ++r) {
        v8d s = bs.c[8 * r] * b[0];
        for (int k = 1; k < 8; ++k)
            s = s + bs.c[8 * r + k] * b[k];
        store(t + 8 * r, s);
    }
    in_memory(t);
    v8d ct[8];
    for (int k = 0; k < 8; ++k)
        load(bs.ct + 8 * k, ct[k]);
    for (int r = 0; r < 8; ++r) {
        v8d s = t[8 * r] * ct[0];
        for (int k = 1; k < 8; ++k)
            s = s + t[8 * r + k] * ct[k];
        f[r] = s;
    }
}

/* out[k] = element order[k] of the eight vectors of a block. */
INLINE void store_in_order(const v8s (&rows)[8], const uint8_t *order, int16_t *out)
{
#ifdef KERNEL_AVX512BW
    // The vectors joined in registers: eight narrow stores read back as two
    // wide loads would wait for the stores to retire.
    __m512i half_block[2];
    for (int h = 0; h < 2; ++h) {
        __m512i v = _mm512_castsi128_si512(reinterpret_cast<const __m128i &>(rows[4 * h]));
        v = _mm512_inserti32x4(v, reinterpret_cast<const __m128i &>(rows[4 * h + 1]), 1);
        v = _mm512_inserti32x4(v, reinterpret_cast<const __m128i &>(rows[4 * h + 2]), 2);
        half_block[h] =
            _mm512_inserti32x4(v, reinterpret_cast<const __m128i &>(rows[4 * h + 3]), 3);
    }
    const __m512i idx_lo =
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(order)));
    const __m512i idx_hi =
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(order + 32)));
    _mm512_storeu_si512(out, _mm512_permutex2var_epi16(half_block[0], idx_lo, half_block[1]));
    _mm512_storeu_si512(out + 32, _mm512_permutex2var_epi16(half_block[0], idx_hi, half_block[1]));
#else
    alignas(64) int16_t natural[64];
    __builtin_memcpy(natural, rows, sizeof rows);
    reorder(natural, order, out);
#endif
}

/* quantum's division of y = roun(x) by d, from half = d >> 1 and
 * reciprocal = fl(1/d), exact by the argument below. */
INLINE void divide_lanes(const v8i &y, v8i half, const v8d &reciprocal, v8i &quotient)
{
    negate_where(y < 0, half);
    const v8i n = y + half; // |n| = |y| + (d >> 1), same sign as y
    // Rounding is symmetric about zero, so -trunc(|n|·r + 2^-17) is
    // trunc(n·r - 2^-17) for negative n: the sign needs no undoing.
    const v8d n_d = __builtin_convertvector(n, v8d);
    constexpr double kBias = 0x1p-17;
    const v8d signed_bias = n_d < 0 ? v8d{} - kBias : v8d{} + kBias;
    quotient = __builtin_convertvector(n_d * reciprocal + signed_bias, v8i);
}

/* Quantises a transformed block into zigzag order.
 *
 * roun(x) for |x| < 16384 is trunc(2x) - trunc(x); the vector form does the
 * same in 32-bit lanes, where both truncations and the difference are exact.
 * The divisions n / d, with |n| <= 16384 + 16383 < 2^15 and d from 1 to
 * 32767, become trunc(|n|·r + 2^-17) with r = fl(1/d), the sign put back
 * afterwards (formed as trunc(n·r ∓ 2^-17), the same by the symmetry of
 * rounding). That is exact: fl(|n|·r) is within |n|/d · 2.0001·2^-53 <
 * 2^-37 of |n|/d, and adding 2^-17 rounds by at most 2^-38 more. When d
 * divides |n| the quotient k comes out in k + 2^-17 ± 2^-36, inside (k,
 * k + 1). Otherwise |n|/d lies in [k + 1/d, k + 1 - 1/d] with 1/d > 2^-15,
 * so the computed value stays inside (k, k + 1) as well: truncation gives k
 * either way. A block with any |x| >= 16384 (only samples far beyond the
 * colour range give one) is quantised element by element as quantum does. */
INLINE void quantise(const v8d (&f)[8], const Quantiser &q, int16_t *out)
{
    alignas(64) int16_t natural[64];
    // |x| < 16384 exactly when |trunc(2x)| <= 32767. From 16-bit samples
    // the orthonormal transform gives |x| <= 8·32768 = 2^18, so the
    // truncation of 2x always fits 32 bits.
    v8i twice[8];
    v8i beyond = {};
    for (int r = 0; r < 8; ++r)
        twice_of(f[r], twice[r], beyond);
    if (any_lane(beyond)) {
        for (int r = 0; r < 8; ++r)
            for (int c = 0; c < 8; ++c)
                natural[8 * r + c] = quantise_one(f[r][c], q.divisor[8 * r + c]);
        reorder(natural, PERM_MAT, out);
        return;
    }
    v8s rows[8];
    for (int r = 0; r < 8; ++r) {
        v8i y, half, quotient;
        roun_lanes(f[r], twice[r], y);
        __builtin_memcpy(&half, q.half + 8 * r, sizeof half);
        v8d reciprocal;
        load(q.reciprocal + 8 * r, reciprocal);
        divide_lanes(y, half, reciprocal, quotient);
        rows[r] = __builtin_convertvector(quotient, v8s);
    }
    store_in_order(rows, PERM_MAT, out);
}

/* One block, its rows at src, stride apart, into 64 coefficients at out,
 * by the library's products. */
INLINE void forward_by_products(const int16_t *src, std::size_t stride, const Basis &bs,
                                const Quantiser &q, int16_t *out)
{
    v8d f[8];
    forward_transform(src, stride, bs, f);
    quantise(f, q, out);
}

/* The exact coefficient of row r and column c, as the matrix library's two
 * products give it, from the block's rows at src, stride apart: row r of
 * C·B a lane for each k, then its sum with column c of Cᵀ in increasing k. */
INLINE double library_coefficient(const int16_t *src, std::size_t stride, const Basis &bs, int r,
                                  int c)
{
    v8d row, b;
    load_row(src, b);
    row = bs.c[8 * r] * b;
    for (int j = 1; j < 8; ++j) {
        load_row(src + j * stride, b);
        row = row + bs.c[8 * r + j] * b;
    }
    v8d column;
    load(bs.c + 8 * c, column); // column c of Cᵀ is row c of C
    const v8d products = row * column;
    double f = products[0];
    for (int k = 1; k < 8; ++k)
        f = f + products[k];
    return f;
}

/* Coefficient (r, c) quantised as quantum does it, from the library's way
 * of computing it. */
INLINE int16_t library_quantised(const int16_t *src, std::size_t stride, const Basis &bs,
                                 const Quantiser &q, int r, int c)
{
    return quantise_one(library_coefficient(src, stride, bs, r, c), q.divisor[8 * r + c]);
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
