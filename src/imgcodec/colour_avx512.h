/* The AVX-512 kernels' colour conversions, thirty-two pixels at a time in
 * both directions, by byte permutations and multiply-adds of 16-bit pairs;
 * the other kernel sets take sixteen at a time (colour_kernels.cpp). */
#ifndef DCTLAB_IMGCODEC_COLOUR_AVX512_H
#define DCTLAB_IMGCODEC_COLOUR_AVX512_H

#include <cstddef>
#include <cstdint>

#include "colour_formulae.h"
#include "colour_lanes.h"
#include "imgcodec.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#include "vectors_avx512.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* Thirty-two pixels at a time: byte permutations of their 96 bytes lay the
 * components out as 16-bit pairs, so that one multiply-add of pairs forms
 * 299R + 587G, another 114B, and the chroma sums come from the components'
 * sums over each pair of pixels (M is linear in them). */
struct SplitOrder {
    uint8_t red_green[2][64]; // pixels 16h + k: R, 0, G, 0
    uint8_t blue[2][64];      // B, 0, 0, 0
    uint8_t blue_red[64];     // group c: B of its two pixels, then R
    uint8_t green[64];        // G of its two pixels, 0, 0
    constexpr SplitOrder() : red_green(), blue(), blue_red(), green()
    {
        for (int h = 0; h < 2; ++h)
            for (int k = 0; k < 16; ++k) {
                const int p = 3 * (16 * h + k); // its blue byte; green, red follow
                red_green[h][4 * k] = static_cast<uint8_t>(p + 2);
                red_green[h][4 * k + 2] = static_cast<uint8_t>(p + 1);
                blue[h][4 * k] = static_cast<uint8_t>(p);
            }
        for (int c = 0; c < 16; ++c) {
            const int p = 3 * 2 * c;
            blue_red[4 * c] = static_cast<uint8_t>(p);
            blue_red[4 * c + 1] = static_cast<uint8_t>(p + 3);
            blue_red[4 * c + 2] = static_cast<uint8_t>(p + 2);
            blue_red[4 * c + 3] = static_cast<uint8_t>(p + 5);
            green[4 * c] = static_cast<uint8_t>(p + 1);
            green[4 * c + 1] = static_cast<uint8_t>(p + 4);
        }
    }
};
constexpr SplitOrder kSplitOrder;

struct Pixels32 {
    __m512i lo, hi; // bytes 0..63 and 64..95 of the 32 pixels
};

INLINE void load32(const BMPPIX8BNA *p, Pixels32 &px)
{
    const auto *bytes = reinterpret_cast<const uint8_t *>(p);
    px.lo = _mm512_loadu_si512(bytes);
    px.hi = _mm512_maskz_loadu_epi8(__mmask64{0xFFFFFFFF}, bytes + 64);
}

INLINE __m512i pick(const Pixels32 &px, const uint8_t *order, __mmask64 keep)
{
    return _mm512_maskz_permutex2var_epi8(keep, px.lo, _mm512_loadu_si512(order), px.hi);
}

/* The low 16 bits of each 32-bit lane of two vectors, in lane order. */
struct LowWords : WordOrder {
    constexpr LowWords()
    {
        for (int k = 0; k < 32; ++k)
            set(k, k < 16 ? 2 * k : 32 + 2 * (k - 16));
    }
};
constexpr LowWords kLowWords;

INLINE __m512i low_words(const __m512i &a, const __m512i &b)
{
    return permute_words(a, kLowWords, b);
}

/* Luminance of the 32 pixels; the ties among them recomputed.
 *
 * roun gives ⌊(N + 500)/1000⌋ but for ties (see luma16), computed here in
 * 16-bit lanes: x = ⌊(N + 500)/8⌋ < 2^15, and ⌊x/125⌋ = ⌊x·33555/2^22⌋ since
 * 33555·125 = 2^22 + 71 and 71x < 2^22. The pixel is a tie when the
 * remainder (N + 500) - 1000q, which lies in 0 .. 999, is 0, which is when
 * the low 16 bits of 1000q and of N + 500 agree. */
INLINE void luma32(const BMPPIX8BNA *p, const Pixels32 &px, int16_t *out)
{
    constexpr __mmask64 kFirstAndThird = 0x5555555555555555, kFirst = 0x1111111111111111;
    __m512i biased[2]; // N + 500
    for (int h = 0; h < 2; ++h) {
        const __m512i rg = pick(px, kSplitOrder.red_green[h], kFirstAndThird);
        const __m512i b = pick(px, kSplitOrder.blue[h], kFirst);
        const __m512i n =
            _mm512_add_epi32(_mm512_madd_epi16(rg, _mm512_set1_epi32(word_pair(299, 587))),
                             _mm512_madd_epi16(b, _mm512_set1_epi32(word_pair(114, 0))));
        biased[h] = _mm512_add_epi32(n, _mm512_set1_epi32(500));
    }
    const __m512i x = low_words(_mm512_maskz_srli_epi32(0xFFFF, biased[0], 3),
                                _mm512_maskz_srli_epi32(0xFFFF, biased[1], 3));
    const __m512i magic = _mm512_set1_epi16(static_cast<int16_t>(uint16_t{33555}));
    const __m512i q = _mm512_srli_epi16(_mm512_mulhi_epu16(x, magic), 6);
    _mm512_storeu_si512(out, q);
    const __m512i thousands = _mm512_mullo_epi16(q, _mm512_set1_epi16(1000));
    if (_mm512_cmpeq_epi16_mask(thousands, low_words(biased[0], biased[1])) != 0)
        luma_ties(p, 32, out);
}

/* The components' sums over each pair of pixels: blue and red as one
 * 16-bit pair a group, and green beside a zero. */
INLINE void pair_sums32(const Pixels32 &px, __m512i &blue_red, __m512i &green)
{
    const __m512i ones = _mm512_set1_epi8(1);
    blue_red = _mm512_maddubs_epi16(pick(px, kSplitOrder.blue_red, ~__mmask64{0}), ones);
    green = _mm512_maddubs_epi16(pick(px, kSplitOrder.green, 0x3333333333333333), ones);
}

INLINE void group_row32(const BMPPIX8BNA *top, const BMPPIX8BNA *below, bool two_rows,
                        int16_t *y_top, int16_t *y_below, int16_t *cb, int16_t *cr)
{
    Pixels32 px;
    load32(top, px);
    luma32(top, px, y_top);
    __m512i blue_red, green, more_blue_red, more_green;
    pair_sums32(px, blue_red, green);
    if (two_rows) {
        load32(below, px);
        luma32(below, px, y_below);
        pair_sums32(px, more_blue_red, more_green);
    } else { // the short group of an odd height counts its pixels twice
        more_blue_red = blue_red;
        more_green = green;
    }
    blue_red = _mm512_add_epi16(blue_red, more_blue_red);
    green = _mm512_add_epi16(green, more_green);
    const __m512i g = _mm512_madd_epi16(green, _mm512_set1_epi32(word_pair(-587, 0)));
    const __m512i m_cb =
        _mm512_add_epi32(_mm512_madd_epi16(blue_red, _mm512_set1_epi32(word_pair(886, -299))), g);
    const __m512i m_cr =
        _mm512_add_epi32(_mm512_madd_epi16(blue_red, _mm512_set1_epi32(word_pair(-114, 701))), g);
    v8i halves[2];
    __builtin_memcpy(halves, &m_cb, sizeof halves);
    chroma8(halves[0], kCbStep, cb);
    chroma8(halves[1], kCbStep, cb + 8);
    __builtin_memcpy(halves, &m_cr, sizeof halves);
    chroma8(halves[0], kCrStep, cr);
    chroma8(halves[1], kCrStep, cr + 8);
}

/* Pixels 0 .. of one row of groups and the one or two pixel rows under it,
 * thirty-two at a time while they last; how many. */
INLINE uint32_t wide_group_row(const BMPPIX8BNA *top, const BMPPIX8BNA *below, bool two_rows,
                               uint32_t w, int16_t *y_top, int16_t *y_below, int16_t *cb,
                               int16_t *cr)
{
    uint32_t x = 0;
    for (; x + 32 <= w; x += 32)
        group_row32(top + x, below + x, two_rows, y_top + x, y_below + x, cb + x / 2, cr + x / 2);
    return x;
}

/* Thirty-two pixels at a time in 16-bit lanes: each component is the luma
 * plus its group's offset with signed saturation, then packed to bytes with
 * unsigned saturation, which together clamp to 0..255 as long as the offset
 * itself fits 16 bits (chroma within 16384 of 128: |offset| <= 1.772·16384 +
 * 1). One byte permutation of the packed blue-green and red vectors lays out
 * each 64 bytes of pixels. */
constexpr int kChromaReach = 16384;

/* Byte o of the output, pixel o / 3 and component o % 3 (blue, green,
 * red), taken from _mm512_packus_epi16(blue, green) (indices below 64) or
 * _mm512_packus_epi16(red, red): pixel i sits in lane i / 8 at i % 8, its
 * green eight bytes later. */
struct JoinOrder {
    uint8_t index[2][64];
    constexpr JoinOrder() : index()
    {
        for (int o = 0; o < 96; ++o) {
            const int i = o / 3, lane = i / 8, at = i % 8, component = o % 3;
            const int from = component == 2 ? 64 + 16 * lane + at : 16 * lane + 8 * component + at;
            index[o / 64][o % 64] = static_cast<uint8_t>(from);
        }
    }
};
constexpr JoinOrder kJoinOrder;

INLINE void pixels32(const int16_t *luma, const __m512i &off_b, const __m512i &off_g,
                     const __m512i &off_r, BMPPIX8BNA *out)
{
    const __m512i l = _mm512_loadu_si512(luma);
    const __m512i bg =
        _mm512_packus_epi16(_mm512_adds_epi16(l, off_b), _mm512_adds_epi16(l, off_g));
    const __m512i r = _mm512_adds_epi16(l, off_r);
    const __m512i rr = _mm512_packus_epi16(r, r);
    const __m512i first = _mm512_loadu_si512(kJoinOrder.index[0]);
    const __m512i second = _mm512_loadu_si512(kJoinOrder.index[1]);
    auto *bytes = reinterpret_cast<uint8_t *>(out);
    _mm512_storeu_si512(bytes, _mm512_permutex2var_epi8(bg, first, rr));
    _mm512_mask_storeu_epi8(bytes + 64, __mmask64{0xFFFFFFFF},
                            _mm512_permutex2var_epi8(bg, second, rr));
}

/* K/1000 for sixteen groups' K, floored, as 32 16-bit offsets (each twice);
 * the groups whose K/1000 came within 2^-12 of an integer get their bit in
 * near (see planes_to_rgb). */
template <bool kCheck = true> INLINE __m512i offsets_of(const __m512i &k, uint32_t &near)
{
    // The zero-masking forms throughout: the plain ones start from
    // undefined values that some compilers warn of.
    const __m512d thousandth = _mm512_set1_pd(0.001);
    __m256i whole[2];
    near = 0;
    for (int h = 0; h < 2; ++h) {
        const v16i all = (v16i)k;
        const v8i half = h == 0 ? __builtin_shufflevector(all, all, 0, 1, 2, 3, 4, 5, 6, 7)
                                : __builtin_shufflevector(all, all, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m256i part = (__m256i)half;
        const __m512d x = _mm512_mul_pd(_mm512_maskz_cvtepi32_pd(0xFF, part), thousandth);
        const __m512d floor_x =
            _mm512_maskz_roundscale_pd(0xFF, x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        if (kCheck) {
            // x minus the nearest integer, without its sign
            const __m512d off = _mm512_maskz_reduce_pd(0xFF, x, 0x08);
            const __m512d distance = _mm512_andnot_pd(_mm512_set1_pd(-0.0), off);
            near |= uint32_t{_mm512_cmp_pd_mask(distance, _mm512_set1_pd(0x1p-12), _CMP_LT_OQ)}
                    << (8 * h);
        }
        whole[h] = _mm512_maskz_cvttpd_epi32(0xFF, floor_x);
    }
    const v16i floors = __builtin_shufflevector((v8i)whole[0], (v8i)whole[1], 0, 1, 2, 3, 4, 5, 6,
                                                7, 8, 9, 10, 11, 12, 13, 14, 15);
    // Word 2g of the sixteen 32-bit floors is group g's offset (they fit
    // 16 bits): each is taken twice, once for each pixel of the group.
    alignas(64) static constexpr uint16_t kTwice[32] = {0,  0,  2,  2,  4,  4,  6,  6,  8,  8,  10,
                                                        10, 12, 12, 14, 14, 16, 16, 18, 18, 20, 20,
                                                        22, 22, 24, 24, 26, 26, 28, 28, 30, 30};
    return _mm512_permutexvar_epi16(_mm512_load_si512(kTwice), (__m512i)floors);
}

/* Lane 2k: dCr of group k, lane 2k + 1: its dCb. */
struct Interleave : WordOrder {
    constexpr Interleave()
    {
        for (int k = 0; k < 16; ++k) {
            set(2 * k, k);
            set(2 * k + 1, 32 + k);
        }
    }
};
constexpr Interleave kInterleave;

/* The offsets of sixteen groups (chroma within reach) and a bit for each
 * group to be recomputed in long double. */
INLINE uint32_t sixteen_groups(const int16_t *cb, const int16_t *cr, __m512i &off_b, __m512i &off_g,
                               __m512i &off_r)
{
    const __m256i zero = _mm256_set1_epi16(kChromaZero);
    const __m256i d_cb =
        _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(cb)), zero);
    const __m256i d_cr =
        _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(cr)), zero);
    // (dCr, dCb) as the two halves of each 32-bit lane, for multiply-adds.
    const __m512i pairs =
        permute_words(_mm512_castsi256_si512(d_cr), kInterleave, _mm512_castsi256_si512(d_cb));
    uint32_t near_g, near_r, near_b;
    off_g = offsets_of(_mm512_madd_epi16(pairs, _mm512_set1_epi32(word_pair(-714, -334))), near_g);
    const __m512i k_r = _mm512_madd_epi16(pairs, _mm512_set1_epi32(word_pair(1402, 0)));
    const __m512i k_b = _mm512_madd_epi16(pairs, _mm512_set1_epi32(word_pair(0, 1772)));
    // 1000 divides 1402·dCr only for dCr a multiple of 500, and 1772·dCb
    // only for dCb a multiple of 250: below 250 either way only 0 does, for
    // which the value is Y exactly, and R and B need no nearness test.
    const __m256i below = _mm256_set1_epi16(250);
    if ((_mm256_cmpge_epu16_mask(_mm256_abs_epi16(d_cb), below) |
         _mm256_cmpge_epu16_mask(_mm256_abs_epi16(d_cr), below)) == 0) {
        off_r = offsets_of<false>(k_r, near_r);
        off_b = offsets_of<false>(k_b, near_b);
    } else {
        off_r = offsets_of(k_r, near_r);
        off_b = offsets_of(k_b, near_b);
    }
    // Where the colour differences that enter K are 0 the defined value is
    // Y exactly, whatever the nearness.
    const uint32_t cr_used = _mm256_test_epi16_mask(d_cr, d_cr),
                   cb_used = _mm256_test_epi16_mask(d_cb, d_cb);
    return (near_g & (cr_used | cb_used)) | (near_r & cr_used) | (near_b & cb_used);
}

INLINE bool within_reach(const int16_t *chroma)
{
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(chroma));
    return (_mm256_cmpgt_epi16_mask(c, _mm256_set1_epi16(kChromaZero + kChromaReach)) |
            _mm256_cmpgt_epi16_mask(_mm256_set1_epi16(kChromaZero - kChromaReach), c)) == 0;
}

/* Groups 0 .. of the group row over pixel rows i and i + 1 (if rows),
 * sixteen at a time while their chroma is within reach; how many. */
INLINE uint32_t wide_groups(const int16_t *y, const int16_t *cb_row, const int16_t *cr_row,
                            uint32_t w, uint32_t i, uint32_t rows, BMPPIX8BNA *px)
{
    uint32_t c = 0;
    for (; 2 * c + 32 <= w && within_reach(cb_row + c) && within_reach(cr_row + c); c += 16) {
        __m512i off_b, off_g, off_r;
        const uint32_t exceptional = sixteen_groups(cb_row + c, cr_row + c, off_b, off_g, off_r);
        for (uint32_t j = 0; j < rows; ++j) {
            const std::size_t at = std::size_t{i + j} * w + 2 * c;
            pixels32(y + at, off_b, off_g, off_r, px + at);
        }
        recompute(exceptional, c, y, cb_row, cr_row, w, i, rows, px);
    }
    return c;
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
