/* Operations on vectors that only the AVX-512 kernels use: the permutations
 * of words through VBMI's byte permutations, and the transposition, the
 * nearness tests and the reductions of the butterfly transforms. */
#ifndef DCTLAB_IMGCODEC_VECTORS_AVX512_H
#define DCTLAB_IMGCODEC_VECTORS_AVX512_H

#include <cstdint>

#include "kernel_set.h"
#include "kernel_vectors.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* A permutation of 16-bit lanes written as one of bytes: VBMI's byte
 * permutation of two vectors is a single instruction, that of words three. */
struct WordOrder {
    uint8_t byte[64];
    constexpr WordOrder() : byte() {}
    constexpr void set(int lane, int from)
    {
        byte[2 * lane] = static_cast<uint8_t>(2 * from);
        byte[2 * lane + 1] = static_cast<uint8_t>(2 * from + 1);
    }
};

INLINE __m512i permute_words(const __m512i &a, const WordOrder &order, const __m512i &b)
{
    return _mm512_permutex2var_epi8(a, _mm512_loadu_si512(order.byte), b);
}

INLINE void transpose8(v8d (&m)[8])
{
    v8d a[8], b[8];
    for (int i = 0; i < 8; i += 2) {
        a[i] = __builtin_shufflevector(m[i], m[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
        a[i + 1] = __builtin_shufflevector(m[i], m[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    for (int i = 0; i < 8; i += 4)
        for (int j = 0; j < 2; ++j) {
            b[i + j] = __builtin_shufflevector(a[i + j], a[i + j + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            b[i + j + 2] =
                __builtin_shufflevector(a[i + j], a[i + j + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        }
    for (int j = 0; j < 4; ++j) {
        m[j] = __builtin_shufflevector(b[j], b[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        m[j + 4] = __builtin_shufflevector(b[j], b[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

/* acc = min(|acc|, |x|), lane by lane. */
INLINE void keep_min_abs(v8d &acc, const v8d &x)
{
    acc = (v8d)_mm512_range_pd((__m512d)acc, (__m512d)x, 0x0A);
}

/* g = t minus the integer nearest to it, for |t| < 2^51. */
INLINE void off_whole(const v8d &t, v8d &g)
{
    g = (v8d)_mm512_reduce_pd((__m512d)t, 0x08);
}

/* out = the lane-wise smallest magnitude among x[0..7], reduced as a tree
 * so that it waits on three steps, not eight. */
INLINE void min_abs_of(const v8d (&x)[8], v8d &out)
{
    v8d m[4];
    for (int k = 0; k < 4; ++k) {
        m[k] = x[k];
        keep_min_abs(m[k], x[k + 4]);
    }
    keep_min_abs(m[0], m[2]);
    keep_min_abs(m[1], m[3]);
    keep_min_abs(m[0], m[1]);
    out = m[0];
}

INLINE bool any_below(const v8d &x, double limit)
{
    return any_lane((v16i)(x < limit));
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
