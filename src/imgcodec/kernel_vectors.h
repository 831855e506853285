/* The vector types of the kernels and the operations on them that every
 * stage uses.
 *
 * Vector types are GCC's generic vectors of eight lanes, so a row of a block
 * is one value; the compiler maps it onto whatever registers the instruction
 * set has. They are never passed by value between functions that are not
 * inlined, so no calling convention depends on them. */
#ifndef DCTLAB_IMGCODEC_KERNEL_VECTORS_H
#define DCTLAB_IMGCODEC_KERNEL_VECTORS_H

#include <cstdint>

#include "kernel_set.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

using v8d = double __attribute__((vector_size(64)));
using v8l = int64_t __attribute__((vector_size(64)));
using v8i = int32_t __attribute__((vector_size(32)));
using v8s = int16_t __attribute__((vector_size(16)));
using v8u = uint16_t __attribute__((vector_size(16)));
using v16b = uint8_t __attribute__((vector_size(16)));
using v16s = int16_t __attribute__((vector_size(32)));
using v16i = int32_t __attribute__((vector_size(64)));
using v16f = float __attribute__((vector_size(64)));
// Four blocks at the same position, one a lane (the AVX2 kernels).
using v4d = double __attribute__((vector_size(32)));
using v4l = int64_t __attribute__((vector_size(32)));

INLINE void load(const double *p, v8d &v)
{
    __builtin_memcpy(&v, p, sizeof v);
}
INLINE void store(double *p, const v8d &v)
{
    __builtin_memcpy(p, &v, sizeof v);
}
/* Eight 16-bit values to doubles, through 32 bits (a direct conversion is
 * done lane by lane). */
INLINE void to_doubles(const v8s &s, v8d &v)
{
#ifdef KERNEL_AVX512BW
    // Spelled out: the generic conversion is split into quarters here.
    v = (v8d)_mm512_maskz_cvtepi32_pd(0xFF, _mm256_cvtepi16_epi32((__m128i)s));
#else
    v = __builtin_convertvector(__builtin_convertvector(s, v8i), v8d);
#endif
}
INLINE void load_row(const int16_t *p, v8d &v)
{
    v8s s;
    __builtin_memcpy(&s, p, sizeof s);
    to_doubles(s, v);
}
/* Keeps a block of intermediate results in memory, where each element is
 * read back as a broadcast operand of a multiplication, rather than letting
 * the compiler pick it out of registers lane by lane. */
INLINE void in_memory(double *block)
{
    // Only the block itself is named, so loads of everything else (the
    // basis, the quantiser, the orders) may still be kept out of the loops.
    __asm__ volatile("" : "+m"(*reinterpret_cast<double(*)[64]>(block)));
}

/* True if any lane is nonzero: one test of the whole vector, where a loop
 * over the lanes would be compiled into a lane-by-lane extraction. */
INLINE bool any_lane(const v8i &v)
{
#ifdef KERNEL_AVX512BW
    const __m256i x = reinterpret_cast<const __m256i &>(v);
    return _mm256_test_epi32_mask(x, x) != 0;
#elif defined(KERNEL_PSHUFB)
    const __m256i x = reinterpret_cast<const __m256i &>(v);
    return !_mm256_testz_si256(x, x);
#else
    int32_t any = 0;
    for (int c = 0; c < 8; ++c)
        any |= v[c];
    return any != 0;
#endif
}
INLINE bool any_lane(const v16i &v)
{
#ifdef KERNEL_AVX512BW
    const __m512i x = reinterpret_cast<const __m512i &>(v);
    return _mm512_test_epi32_mask(x, x) != 0;
#else
    v8i halves[2];
    __builtin_memcpy(halves, &v, sizeof halves);
    return any_lane(halves[0] | halves[1]);
#endif
}

/* out[k] = in[order[k]] for the 64 values of a block. */
INLINE void reorder(const int16_t *in, const uint8_t *order, int16_t *out)
{
#ifdef KERNEL_AVX512BW
    // Two permutes of 32 lanes, each choosing from all 64 values.
    const __m512i idx_lo =
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(order)));
    const __m512i idx_hi =
        _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(order + 32)));
    const __m512i a = _mm512_loadu_si512(in), b = _mm512_loadu_si512(in + 32);
    _mm512_storeu_si512(out, _mm512_permutex2var_epi16(a, idx_lo, b));
    _mm512_storeu_si512(out + 32, _mm512_permutex2var_epi16(a, idx_hi, b));
#else
    for (int k = 0; k < 64; ++k)
        out[k] = in[order[k]];
#endif
}

/* twice = trunc(2x), exact, and the lanes with |x| >= 16384 set in beyond:
 * below that roun(x) is trunc(2x) - trunc(x) (see quantise). */
INLINE void twice_of(const v8d &x, v8i &twice, v8i &beyond)
{
    using v8ui = uint32_t __attribute__((vector_size(32)));
    twice = __builtin_convertvector(x + x, v8i);
    beyond |= reinterpret_cast<const v8ui &>(twice) + 32767u > 65534u;
}

/* roun(x) for |x| < 16384, from twice = trunc(2x). */
INLINE void roun_lanes(const v8d &x, const v8i &twice, v8i &y)
{
    y = twice - __builtin_convertvector(x, v8i);
}

/* acc += a·b, rounded once where the processor can: the butterflies' error
 * bound counts two roundings for it, and one is within that; the colour
 * conversion's bound holds for the product rounded or fused. */
INLINE void add_product(v8d &acc, const v8d &a, const v8d &b)
{
#ifdef KERNEL_AVX512BW
    acc = (v8d)_mm512_fmadd_pd((__m512d)a, (__m512d)b, (__m512d)acc);
#else
    acc = acc + a * b;
#endif
}
INLINE void add_product(v8d &acc, double a, const v8d &b)
{
    const v8d splat = {a, a, a, a, a, a, a, a}; // not 0 + a, which is an addition
    add_product(acc, splat, b);
}
/* The same for four lanes, always rounded twice: the AVX2 kernels are
 * compiled without FMA. */
INLINE void add_product(v4d &acc, const v4d &a, const v4d &b)
{
    acc = acc + a * b;
}
INLINE void add_product(v4d &acc, double a, const v4d &b)
{
    const v4d splat = {a, a, a, a};
    add_product(acc, splat, b);
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
