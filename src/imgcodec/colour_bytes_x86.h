/* Sixteen pixels, 48 bytes from p, split into their blue, green and red
 * bytes, and joined again; sums of neighbouring bytes, bytes widened and
 * narrowed with saturation. Plain byte moves, the same on every instruction
 * set: here with the byte shuffles of SSSE3 and the widenings of AVX2
 * and AVX-512, which both x86 kernel sets have. */
#ifndef DCTLAB_IMGCODEC_COLOUR_BYTES_X86_H
#define DCTLAB_IMGCODEC_COLOUR_BYTES_X86_H

#include <cstdint>

#include "imgcodec.h"
#include "kernel_set.h"
#include "kernel_vectors.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* Byte 3i + k of the 48 is component k of pixel i. Each component takes
 * its bytes from the three 16-byte pieces by one shuffle of each, -1
 * giving a zero lane that the others fill. */
#define DCTLAB_SPLIT_LANE(q, i, k)                                                                 \
    (3 * (i) + (k) >= 16 * (q) && 3 * (i) + (k) < 16 * (q) + 16 ? 3 * (i) + (k)-16 * (q) : -1)
#define DCTLAB_SPLIT_MASK(q, k)                                                                    \
    _mm_setr_epi8(                                                                                 \
        DCTLAB_SPLIT_LANE(q, 0, k), DCTLAB_SPLIT_LANE(q, 1, k), DCTLAB_SPLIT_LANE(q, 2, k),        \
        DCTLAB_SPLIT_LANE(q, 3, k), DCTLAB_SPLIT_LANE(q, 4, k), DCTLAB_SPLIT_LANE(q, 5, k),        \
        DCTLAB_SPLIT_LANE(q, 6, k), DCTLAB_SPLIT_LANE(q, 7, k), DCTLAB_SPLIT_LANE(q, 8, k),        \
        DCTLAB_SPLIT_LANE(q, 9, k), DCTLAB_SPLIT_LANE(q, 10, k), DCTLAB_SPLIT_LANE(q, 11, k),      \
        DCTLAB_SPLIT_LANE(q, 12, k), DCTLAB_SPLIT_LANE(q, 13, k), DCTLAB_SPLIT_LANE(q, 14, k),     \
        DCTLAB_SPLIT_LANE(q, 15, k))
#define DCTLAB_SPLIT_MASKS(k)                                                                      \
    {                                                                                              \
        DCTLAB_SPLIT_MASK(0, k), DCTLAB_SPLIT_MASK(1, k), DCTLAB_SPLIT_MASK(2, k)                  \
    }
INLINE v16b gather_component(const __m128i &a, const __m128i &b, const __m128i &c,
                             const __m128i (&m)[3])
{
    const __m128i v =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, m[0]), _mm_shuffle_epi8(b, m[1])),
                     _mm_shuffle_epi8(c, m[2]));
    return reinterpret_cast<const v16b &>(v);
}

INLINE void split_pixels(const BMPPIX8BNA *p, v16b &blue, v16b &green, v16b &red)
{
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p) + 1);
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p) + 2);
    const __m128i mb[3] = DCTLAB_SPLIT_MASKS(0);
    const __m128i mg[3] = DCTLAB_SPLIT_MASKS(1);
    const __m128i mr[3] = DCTLAB_SPLIT_MASKS(2);
    blue = gather_component(a, b, c, mb);
    green = gather_component(a, b, c, mg);
    red = gather_component(a, b, c, mr);
#undef DCTLAB_SPLIT_MASKS
#undef DCTLAB_SPLIT_MASK
#undef DCTLAB_SPLIT_LANE
}

INLINE void join_pixels(const v16b &blue, const v16b &green, const v16b &red, BMPPIX8BNA *p)
{
    // Output byte j of piece q is component (16q + j) % 3 of pixel
    // (16q + j) / 3; each piece takes it from that component's vector.
    const __m128i b = reinterpret_cast<const __m128i &>(blue);
    const __m128i g = reinterpret_cast<const __m128i &>(green);
    const __m128i r = reinterpret_cast<const __m128i &>(red);
    __m128i *out = reinterpret_cast<__m128i *>(p);
#define DCTLAB_LANE(q, j, k) ((16 * (q) + (j)) % 3 == (k) ? (16 * (q) + (j)) / 3 : -1)
#define DCTLAB_JOIN_MASK(q, k)                                                                     \
    _mm_setr_epi8(DCTLAB_LANE(q, 0, k), DCTLAB_LANE(q, 1, k), DCTLAB_LANE(q, 2, k),                \
                  DCTLAB_LANE(q, 3, k), DCTLAB_LANE(q, 4, k), DCTLAB_LANE(q, 5, k),                \
                  DCTLAB_LANE(q, 6, k), DCTLAB_LANE(q, 7, k), DCTLAB_LANE(q, 8, k),                \
                  DCTLAB_LANE(q, 9, k), DCTLAB_LANE(q, 10, k), DCTLAB_LANE(q, 11, k),              \
                  DCTLAB_LANE(q, 12, k), DCTLAB_LANE(q, 13, k), DCTLAB_LANE(q, 14, k),             \
                  DCTLAB_LANE(q, 15, k))
#define DCTLAB_JOIN(q)                                                                             \
    _mm_storeu_si128(out + (q),                                                                    \
                     _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b, DCTLAB_JOIN_MASK(q, 0)),        \
                                               _mm_shuffle_epi8(g, DCTLAB_JOIN_MASK(q, 1))),       \
                                  _mm_shuffle_epi8(r, DCTLAB_JOIN_MASK(q, 2))))
    DCTLAB_JOIN(0);
    DCTLAB_JOIN(1);
    DCTLAB_JOIN(2);
#undef DCTLAB_JOIN
#undef DCTLAB_JOIN_MASK
#undef DCTLAB_LANE
}

/* Two 16-bit values as the two halves of a 32-bit lane, for madd. */
constexpr int32_t word_pair(int low, int high)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(high)) << 16 |
                                static_cast<uint16_t>(low));
}

/* The sums of the eight pairs of neighbouring lanes. */
INLINE void pair_sums(const v16b &x, v8s &sums)
{
    const __m128i v = _mm_maddubs_epi16(reinterpret_cast<const __m128i &>(x), _mm_set1_epi8(1));
    __builtin_memcpy(&sums, &v, sizeof sums);
}

/* One component of sixteen pixels, luma plus offset saturated to 0..255. */
INLINE v16b component16(const v16i &luma, const v16i &offsets)
{
    const v16i v = luma + offsets;
    // Saturating to 16 bits and then to 8 keeps every value's clamp.
    __m128i q[4];
    __builtin_memcpy(q, &v, sizeof q);
    const __m128i w = _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
    return reinterpret_cast<const v16b &>(w);
}

/* Sixteen bytes widened to 32-bit lanes. */
INLINE void widen(const v16b &x, v16i &out)
{
#ifdef KERNEL_AVX512BW
    // The zero-masking form: the plain one starts from an undefined value
    // that some compilers warn of.
    const __m512i v = _mm512_maskz_cvtepu8_epi32(0xFFFF, reinterpret_cast<const __m128i &>(x));
    __builtin_memcpy(&out, &v, sizeof out);
#else
    const __m128i b = reinterpret_cast<const __m128i &>(x);
    const __m256i v[2] = {_mm256_cvtepu8_epi32(b), _mm256_cvtepu8_epi32(_mm_srli_si128(b, 8))};
    __builtin_memcpy(&out, v, sizeof out);
#endif
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
