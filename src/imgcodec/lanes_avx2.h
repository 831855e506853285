/* What the AVX2 kernels need to hold four blocks one a lane: the turns
 * between a block's own order and quads, four blocks' values at one
 * position. */
#ifndef DCTLAB_IMGCODEC_LANES_AVX2_H
#define DCTLAB_IMGCODEC_LANES_AVX2_H

#include <cstddef>
#include <cstdint>

#include "fast_path.h"
#include "kernel_set.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* The row-major position of every zigzag rank. */
struct NaturalOrder {
    uint8_t position[64];
    constexpr NaturalOrder() : position()
    {
        for (int k = 0; k < 64; ++k)
            position[kZigzag.rank[k]] = static_cast<uint8_t>(k);
    }
};
constexpr NaturalOrder kNatural;
static_assert(kNatural.position[0] == 0 && kNatural.position[2] == 8 &&
              kNatural.position[63] == 63);

/* Eight quads of 32-bit values (positions k = 0..7, blocks 0..3 in the
 * lanes) as 16-bit values: the eight of block b at out + b·step. */
INLINE void store_quads(const __m128i (&quads)[8], int16_t *out, std::size_t step)
{
    __m128i p[4]; // p[m]: positions 2m and 2m + 1 of blocks 0 .. 3
    UNROLL
    for (int m = 0; m < 4; ++m)
        p[m] = _mm_packs_epi32(quads[2 * m], quads[2 * m + 1]);
    __m128i by_block[2][2]; // [half][pair]: four positions of blocks 2·pair, 2·pair + 1
    UNROLL
    for (int half = 0; half < 2; ++half) {
        const __m128i a = _mm_unpacklo_epi16(p[2 * half], p[2 * half + 1]);
        const __m128i b = _mm_unpackhi_epi16(p[2 * half], p[2 * half + 1]);
        by_block[half][0] = _mm_unpacklo_epi16(a, b);
        by_block[half][1] = _mm_unpackhi_epi16(a, b);
    }
    UNROLL
    for (int pair = 0; pair < 2; ++pair) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + step * (2 * pair)),
                         _mm_unpacklo_epi64(by_block[0][pair], by_block[1][pair]));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + step * (2 * pair + 1)),
                         _mm_unpackhi_epi64(by_block[0][pair], by_block[1][pair]));
    }
}

/* The other way: eight 16-bit values of each of four blocks (block b's in
 * octets[b]) as pairs of quads, positions 2m and 2m + 1 in pairs[m], a
 * block a 16-bit lane. */
INLINE void load_quads(const __m128i (&octets)[4], __m128i (&pairs)[4])
{
    const __m128i low01 = _mm_unpacklo_epi16(octets[0], octets[1]);
    const __m128i high01 = _mm_unpackhi_epi16(octets[0], octets[1]);
    const __m128i low23 = _mm_unpacklo_epi16(octets[2], octets[3]);
    const __m128i high23 = _mm_unpackhi_epi16(octets[2], octets[3]);
    pairs[0] = _mm_unpacklo_epi32(low01, low23);
    pairs[1] = _mm_unpackhi_epi32(low01, low23);
    pairs[2] = _mm_unpacklo_epi32(high01, high23);
    pairs[3] = _mm_unpackhi_epi32(high01, high23);
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
