/* The inverse transform of a block the matrix library's way, with the
 * products by zero coefficients left out, and the rounding of its samples:
 * what every kernel set computes for a block that takes no faster way. */
#ifndef DCTLAB_IMGCODEC_INVERSE_PRODUCTS_H
#define DCTLAB_IMGCODEC_INVERSE_PRODUCTS_H

#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "fast_path.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#include "matr.h"
#include "quant_matrix.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* Bit c set for every nonzero lane c. */
INLINE unsigned nonzero_lanes(const v8u &v)
{
#ifdef KERNEL_AVX512BW
    const __m128i x = reinterpret_cast<const __m128i &>(v);
    return _mm_test_epi16_mask(x, x);
#else
    unsigned bits = 0;
    for (int c = 0; c < 8; ++c)
        bits |= unsigned{v[c] != 0} << c;
    return bits;
#endif
}

/* out[k] = in[order[k]] for the first 32 values of a block: its rows 0 to
 * 3 when order is REV_PERM_MAT. */
INLINE void reorder_half(const int16_t *in, const uint8_t *order, int16_t *out)
{
#ifdef KERNEL_AVX512BW
    const __m512i idx =
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(order)));
    const __m512i a = _mm512_loadu_si512(in), b = _mm512_loadu_si512(in + 32);
    _mm512_storeu_si512(out, _mm512_permutex2var_epi16(a, idx, b));
#else
    for (int k = 0; k < 32; ++k)
        out[k] = in[order[k]];
#endif
}

/* Stores the rows of a block of samples rounded as dblToshrt does, all of
 * them below 16384 in magnitude, from twice = trunc(2x), into rows stride
 * apart. */
INLINE void store_rounded(const v8d (&x)[8], const v8i (&twice)[8], int16_t *out,
                          std::size_t stride)
{
    for (int r = 0; r < 8; ++r) {
        v8i y;
        roun_lanes(x[r], twice[r], y);
        const v8s narrow = __builtin_convertvector(y, v8s);
        __builtin_memcpy(out + stride * r, &narrow, sizeof narrow);
    }
}

/* The same for samples known to lie below 16384 in magnitude. */
INLINE void round_block_in_range(const v8d (&x)[8], int16_t *out, std::size_t stride)
{
    v8i twice[8];
    for (int r = 0; r < 8; ++r)
        twice[r] = __builtin_convertvector(x[r] + x[r], v8i);
    store_rounded(x, twice, out, stride);
}

/* Rounds a block of samples as dblToshrt does, into 16 bits, its rows
 * stride samples apart. The fast range is found as in quantise: the
 * dequantised coefficients are 16-bit, so here too |x| <= 2^18. */
INLINE void round_block(const v8d (&x)[8], int16_t *out, std::size_t stride)
{
    v8i twice[8];
    v8i beyond = {};
    for (int r = 0; r < 8; ++r)
        twice_of(x[r], twice[r], beyond);
    if (any_lane(beyond)) {
        for (int r = 0; r < 8; ++r)
            for (int c = 0; c < 8; ++c)
                out[stride * r + c] = roun(x[r][c]);
        return;
    }
    store_rounded(x, twice, out, stride);
}

/* Eight coefficients dequantised, kept to the low 16 bits of the products as
 * unQuantum keeps them: as 16-bit values and as doubles. */
INLINE void dequantise_row(const int16_t *coefficients, const int16_t *divisors, v8u &v, v8d &d)
{
    v8u div;
    __builtin_memcpy(&v, coefficients, sizeof v);
    __builtin_memcpy(&div, divisors, sizeof div);
    v = v * div;
    to_doubles((v8s)v, d);
}

/* One block back: the coefficients out of zigzag order and dequantised, then
 * B = (Cᵀ·D)·C, each element summed in increasing k like the matrix library.
 * A product with a zero factor is a zero, and adding a zero leaves a sum as
 * it is (up to the sign of a zero, which cannot matter, see
 * forward_transform), so the terms of the rows of D that are all zero are
 * left out of Cᵀ·D, and those of the columns of D that are all zero, whose
 * columns of Cᵀ·D are all zero, out of the second product. Quantised blocks
 * are mostly zeros, so that is most of the work. */
INLINE void inverse_block(const int16_t *coefficients, const int16_t *divisors, const Basis &bs,
                          int16_t *out, std::size_t stride /* between rows of out */)
{
    alignas(64) int16_t natural[64];
    reorder(coefficients, REV_PERM_MAT, natural);
    v8d d[8];
    unsigned rows = 0;
    v8u columns = {};
    for (int r = 0; r < 8; ++r) {
        v8u v;
        dequantise_row(natural + 8 * r, divisors + 8 * r, v, d[r]);
        columns |= v;
        rows |= unsigned{nonzero_lanes(v) != 0} << r;
    }
    if (rows == 0) {
        for (int r = 0; r < 8; ++r)
            __builtin_memset(out + stride * r, 0, 8 * sizeof(int16_t));
        return;
    }
    const unsigned cols = nonzero_lanes(columns);

    alignas(64) double t[64];
    for (int r = 0; r < 8; ++r) {
        unsigned m = rows;
        int k = __builtin_ctz(m);
        v8d s = bs.ct[8 * r + k] * d[k];
        for (m &= m - 1; m != 0; m &= m - 1) {
            k = __builtin_ctz(m);
            s = s + bs.ct[8 * r + k] * d[k];
        }
        store(t + 8 * r, s);
    }
    in_memory(t);
    v8d c[8];
    for (int k = 0; k < 8; ++k)
        load(bs.c + 8 * k, c[k]);
    v8d b[8];
    for (int r = 0; r < 8; ++r) {
        unsigned m = cols;
        int k = __builtin_ctz(m);
        v8d s = t[8 * r + k] * c[k];
        for (m &= m - 1; m != 0; m &= m - 1) {
            k = __builtin_ctz(m);
            s = s + t[8 * r + k] * c[k];
        }
        b[r] = s;
    }
    round_block(b, out, stride);
}

/* Bit k set for every nonzero coefficient k (in zigzag order) of a block. */
INLINE uint64_t nonzero_bits(const int16_t *coefficients)
{
#ifdef KERNEL_AVX512BW
    const __m512i a = _mm512_loadu_si512(coefficients), b = _mm512_loadu_si512(coefficients + 32);
    return uint64_t{_mm512_test_epi16_mask(a, a)} | uint64_t{_mm512_test_epi16_mask(b, b)} << 32;
#elif defined(KERNEL_AVX2)
    uint64_t bits = 0;
    for (int h = 0; h < 2; ++h) {
        const __m256i a =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coefficients + 32 * h));
        const __m256i b =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(coefficients + 32 * h + 16));
        const __m256i zero = _mm256_setzero_si256();
        // Words to bytes, the 64-bit pieces put back in order after the
        // in-lane packing.
        const __m256i bytes = _mm256_permute4x64_epi64(
            _mm256_packs_epi16(_mm256_cmpeq_epi16(a, zero), _mm256_cmpeq_epi16(b, zero)), 0xD8);
        bits |= uint64_t{~static_cast<uint32_t>(_mm256_movemask_epi8(bytes))} << (32 * h);
    }
    return bits;
#else
    uint64_t bits = 0;
    for (int k = 0; k < 64; ++k)
        bits |= uint64_t{coefficients[k] != 0} << k;
    return bits;
#endif
}

/* Bit k set for the zigzag ranks k of the coefficients in the top left
 * e x e corner of a block. */
constexpr uint64_t corner_ranks(int e)
{
    uint64_t bits = 0;
    for (int r = 0; r < e; ++r)
        for (int c = 0; c < e; ++c)
            bits |= uint64_t{1} << kZigzag.rank[8 * r + c];
    return bits;
}

/* A block whose nonzero coefficients all lie in its top left E x E corner,
 * the library's way: its products with the terms of the other rows and
 * columns left out, which are zeros and change no sum (see inverse_block).
 * Most blocks of a photograph quantised at everyday rates are of this kind,
 * with E = 2 or 3; fixed counts keep the work free of branches. */
template <int E, int N = 1>
INLINE void inverse_corner(const int16_t *coefficients, const int16_t *divisors, const Basis &bs,
                           int16_t *out, std::size_t stride)
{
    // N neighbouring blocks of a block row together, as in fast_blocks.
    // A sample is a sum of E² products of a coefficient with two entries of
    // C, each of magnitude at most 0.4904 (0.2405 squared): coefficients up
    // to kReach keep every sample below 16384 for the rounding without
    // checks.
    constexpr int kReach = E == 2 ? 16384 : E == 3 ? 7000 : 4000;
    static_assert(E * E * kReach * 0.2405 < 16383, "samples within the fast rounding");
    v8d d[N][E];
    v8s outside = {};
    for (int n = 0; n < N; ++n) {
        static_assert(E <= 4, "rows 0 to 3 are the first half of a block");
        alignas(64) int16_t natural[32];
#ifdef KERNEL_AVX512BW
        reorder_half(coefficients + kBlockSamples * n, REV_PERM_MAT, natural);
#else
        // Without a wide permutation, only the corner is gathered: nothing
        // else in its rows is nonzero.
        __builtin_memset(natural, 0, sizeof natural);
        for (int r = 0; r < E; ++r)
            for (int c = 0; c < E; ++c)
                natural[8 * r + c] = coefficients[kBlockSamples * n + kZigzag.rank[8 * r + c]];
#endif
        for (int k = 0; k < E; ++k) {
            v8u v;
            dequantise_row(natural + 8 * k, divisors + 8 * k, v, d[n][k]);
            constexpr int16_t kHigh = kReach, kLow = -kReach;
            outside |= ((v8s)v > kHigh) | ((v8s)v < kLow);
        }
    }
    const bool in_range = !any_lane(__builtin_convertvector(outside, v8i));
    alignas(64) double t[N][64];
    for (int n = 0; n < N; ++n) {
        for (int j = 0; j < 8; ++j) {
            v8d sum = bs.ct[8 * j] * d[n][0];
            for (int k = 1; k < E; ++k)
                sum = sum + bs.ct[8 * j + k] * d[n][k];
            store(t[n] + 8 * j, sum);
        }
        in_memory(t[n]);
    }
    v8d c[E];
    for (int k = 0; k < E; ++k)
        load(bs.c + 8 * k, c[k]);
    v8d b[N][8];
    for (int n = 0; n < N; ++n)
        for (int j = 0; j < 8; ++j) {
            v8d sum = t[n][8 * j] * c[0];
            for (int k = 1; k < E; ++k)
                sum = sum + t[n][8 * j + k] * c[k];
            b[n][j] = sum;
        }
    for (int n = 0; n < N; ++n)
        if (in_range)
            round_block_in_range(b[n], out + kBlockSide * n, stride);
        else
            round_block(b[n], out + kBlockSide * n, stride);
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
