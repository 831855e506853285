/* The AVX2 kernels' colour conversions in 16-bit lanes and multiply-adds
 * of 16-bit pairs, as the AVX-512 kernels do them (colour_avx512.h) on
 * vectors half as wide: the forward one sixteen pixels at a time, the way
 * back thirty-two, each under the exactness argument of its kind
 * (colour_lanes.h, planes_to_rgb in colour_kernels.cpp). */
#ifndef DCTLAB_IMGCODEC_COLOUR_AVX2_H
#define DCTLAB_IMGCODEC_COLOUR_AVX2_H

#include <cstddef>
#include <cstdint>

#include "colour_bytes_x86.h"
#include "colour_formulae.h"
#include "colour_lanes.h"
#include "imgcodec.h"
#include "kernel_set.h"
#include "kernel_vectors.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* Luminance of sixteen pixels from their components, the ties among them
 * recomputed: q = ⌊(N + 500)/1000⌋ in 16-bit lanes, by way of ⌊(N + 500)/8⌋
 * and a multiplication for the division by 125, as luma32 of the AVX-512
 * kernels computes it. */
INLINE void luma_of16(const BMPPIX8BNA *p, const v16b &blue, const v16b &green,
                         const v16b &red, int16_t *out)
{
    const __m256i b = _mm256_cvtepu8_epi16(reinterpret_cast<const __m128i &>(blue));
    const __m256i g = _mm256_cvtepu8_epi16(reinterpret_cast<const __m128i &>(green));
    const __m256i r = _mm256_cvtepu8_epi16(reinterpret_cast<const __m128i &>(red));
    const __m256i zero = _mm256_setzero_si256();
    const __m256i red_green = _mm256_set1_epi32(word_pair(299, 587));
    const __m256i blue_only = _mm256_set1_epi32(word_pair(114, 0));
    const __m256i half = _mm256_set1_epi32(500);
    // N + 500 of pixels 0-3 and 8-11 (low), 4-7 and 12-15 (high), as
    // unpacking pairs them; packing puts them back in order.
    const __m256i low = _mm256_add_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(r, g), red_green),
                         _mm256_madd_epi16(_mm256_unpacklo_epi16(b, zero), blue_only)),
        half);
    const __m256i high = _mm256_add_epi32(
        _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(r, g), red_green),
                         _mm256_madd_epi16(_mm256_unpackhi_epi16(b, zero), blue_only)),
        half);
    const __m256i x =
        _mm256_packus_epi32(_mm256_srli_epi32(low, 3), _mm256_srli_epi32(high, 3));
    const __m256i q = _mm256_srli_epi16(
        _mm256_mulhi_epu16(x, _mm256_set1_epi16(static_cast<int16_t>(uint16_t{33555}))), 6);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), q);
    const __m256i words = _mm256_set1_epi32(0xFFFF);
    const __m256i biased =
        _mm256_packus_epi32(_mm256_and_si256(low, words), _mm256_and_si256(high, words));
    const __m256i ties =
        _mm256_cmpeq_epi16(_mm256_mullo_epi16(q, _mm256_set1_epi16(1000)), biased);
    if (!_mm256_testz_si256(ties, ties))
        luma_ties(p, 16, out);
}

/* The chroma of eight groups from their components' sums over the group:
 * M formed by multiply-adds of (B, R) and (G, 0) pairs. */
INLINE void chroma_of8(const v8s &blue, const v8s &green, const v8s &red, int16_t *cb,
                          int16_t *cr)
{
    const __m128i b = reinterpret_cast<const __m128i &>(blue);
    const __m128i g = reinterpret_cast<const __m128i &>(green);
    const __m128i r = reinterpret_cast<const __m128i &>(red);
    const __m128i zero = _mm_setzero_si128();
    const __m256i blue_red =
        _mm256_set_m128i(_mm_unpackhi_epi16(b, r), _mm_unpacklo_epi16(b, r)); // groups in order
    const __m256i green_zero =
        _mm256_set_m128i(_mm_unpackhi_epi16(g, zero), _mm_unpacklo_epi16(g, zero));
    const __m256i gm = _mm256_madd_epi16(green_zero, _mm256_set1_epi32(word_pair(-587, 0)));
    const __m256i m_cb = _mm256_add_epi32(
        _mm256_madd_epi16(blue_red, _mm256_set1_epi32(word_pair(886, -299))), gm);
    const __m256i m_cr = _mm256_add_epi32(
        _mm256_madd_epi16(blue_red, _mm256_set1_epi32(word_pair(-114, 701))), gm);
    chroma8((v8i)m_cb, kCbStep, cb);
    chroma8((v8i)m_cr, kCrStep, cr);
}

/* A component is luma plus offset with signed 16-bit saturation, then
 * packed to bytes with unsigned saturation: together a clamp to 0..255 as
 * long as the offset fits 16 bits, which holds for chroma within this of
 * 128 (|offset| <= 1.772·16384 + 1). */
constexpr int kChromaReach = 16384;

INLINE bool within_reach(const int16_t *chroma)
{
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(chroma));
    const __m256i beyond =
        _mm256_or_si256(_mm256_cmpgt_epi16(c, _mm256_set1_epi16(kChromaZero + kChromaReach)),
                        _mm256_cmpgt_epi16(_mm256_set1_epi16(kChromaZero - kChromaReach), c));
    return _mm256_testz_si256(beyond, beyond);
}

/* K/1000 of four groups, floored, in 32-bit lanes; bit g of near set for
 * each group whose computed K/1000 came within 2^-12 of an integer. */
template <bool kCheck> INLINE __m128i floors_of(const __m128i &k, unsigned &near)
{
    const __m256d x = _mm256_mul_pd(_mm256_cvtepi32_pd(k), _mm256_set1_pd(0.001));
    const __m256d floor_x = _mm256_round_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    near = 0;
    if (kCheck) {
        const __m256d off =
            _mm256_sub_pd(x, _mm256_round_pd(x, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
        const __m256d distance = _mm256_andnot_pd(_mm256_set1_pd(-0.0), off);
        near = static_cast<unsigned>(
            _mm256_movemask_pd(_mm256_cmp_pd(distance, _mm256_set1_pd(0x1p-12), _CMP_LT_OQ)));
    }
    return _mm256_cvttpd_epi32(floor_x);
}

/* Sixteen groups' offsets from their K (low: groups 0-3 and 8-11, high:
 * 4-7 and 12-15, as unpacking pairs them), each twice, once for each pixel
 * of its group: pixels 8p .. 8p + 7 in offsets[p]. The bits of the groups
 * that came near an integer. */
template <bool kCheck>
INLINE unsigned pixel_offsets(const __m256i &k_low, const __m256i &k_high, __m128i (&offsets)[4])
{
    unsigned near[4];
    const __m128i f0 = floors_of<kCheck>(_mm256_castsi256_si128(k_low), near[0]);
    const __m128i f1 = floors_of<kCheck>(_mm256_castsi256_si128(k_high), near[1]);
    const __m128i f2 = floors_of<kCheck>(_mm256_extracti128_si256(k_low, 1), near[2]);
    const __m128i f3 = floors_of<kCheck>(_mm256_extracti128_si256(k_high, 1), near[3]);
    const __m128i first = _mm_packs_epi32(f0, f1), second = _mm_packs_epi32(f2, f3);
    offsets[0] = _mm_unpacklo_epi16(first, first);
    offsets[1] = _mm_unpackhi_epi16(first, first);
    offsets[2] = _mm_unpacklo_epi16(second, second);
    offsets[3] = _mm_unpackhi_epi16(second, second);
    return near[0] | near[1] << 4 | near[2] << 8 | near[3] << 12;
}

/* Bit g set for each of sixteen 16-bit lanes that is nonzero. */
INLINE unsigned nonzero_words(const __m256i &x)
{
    const __m256i zero = _mm256_cmpeq_epi16(x, _mm256_setzero_si256());
    // Words to bytes within each 128-bit lane: lanes 0-7 in bits 0-7, 8-15
    // in bits 16-23 of the byte mask.
    const unsigned bytes = static_cast<unsigned>(_mm256_movemask_epi8(_mm256_packs_epi16(zero, zero)));
    return ~((bytes & 0xFFu) | (bytes >> 8 & 0xFF00u)) & 0xFFFFu;
}

struct Offsets32 {
    __m128i b[4], g[4], r[4]; // pixels 8p .. 8p + 7 in [p]
};

/* The offsets of sixteen groups (chroma within reach) and a bit for each
 * group to be recomputed in long double. */
INLINE unsigned sixteen_groups(const int16_t *cb, const int16_t *cr, Offsets32 &o)
{
    const __m256i zero = _mm256_set1_epi16(kChromaZero);
    const __m256i d_cb =
        _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(cb)), zero);
    const __m256i d_cr =
        _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(cr)), zero);
    // (dCr, dCb) as the two halves of each 32-bit lane, for multiply-adds.
    const __m256i low = _mm256_unpacklo_epi16(d_cr, d_cb), high = _mm256_unpackhi_epi16(d_cr, d_cb);
    const __m256i green = _mm256_set1_epi32(word_pair(-714, -334));
    const __m256i red = _mm256_set1_epi32(word_pair(1402, 0));
    const __m256i blue = _mm256_set1_epi32(word_pair(0, 1772));
    const unsigned near_g = pixel_offsets<true>(_mm256_madd_epi16(low, green), _mm256_madd_epi16(high, green), o.g);
    // 1000 divides 1402·dCr only for dCr a multiple of 500, and 1772·dCb
    // only for dCb a multiple of 250: below 250 either way only 0 does, for
    // which the value is Y exactly, and R and B need no nearness test.
    const __m256i limit = _mm256_set1_epi16(249);
    const __m256i far = _mm256_or_si256(_mm256_cmpgt_epi16(_mm256_abs_epi16(d_cb), limit),
                                        _mm256_cmpgt_epi16(_mm256_abs_epi16(d_cr), limit));
    unsigned near_r, near_b;
    if (_mm256_testz_si256(far, far)) {
        near_r = pixel_offsets<false>(_mm256_madd_epi16(low, red), _mm256_madd_epi16(high, red), o.r);
        near_b = pixel_offsets<false>(_mm256_madd_epi16(low, blue), _mm256_madd_epi16(high, blue), o.b);
    } else {
        near_r = pixel_offsets<true>(_mm256_madd_epi16(low, red), _mm256_madd_epi16(high, red), o.r);
        near_b = pixel_offsets<true>(_mm256_madd_epi16(low, blue), _mm256_madd_epi16(high, blue), o.b);
    }
    // Where the colour differences that enter K are 0 the defined value is
    // Y exactly, whatever the nearness.
    const unsigned cr_used = nonzero_words(d_cr), cb_used = nonzero_words(d_cb);
    return (near_g & (cr_used | cb_used)) | (near_r & cr_used) | (near_b & cb_used);
}

/* One component of eight pixels, luma plus offset clamped to 0..255, twice. */
INLINE v16b component16(const __m128i (&luma)[2], const __m128i *offsets)
{
    const __m128i v = _mm_packus_epi16(_mm_adds_epi16(luma[0], offsets[0]),
                                       _mm_adds_epi16(luma[1], offsets[1]));
    return reinterpret_cast<const v16b &>(v);
}

INLINE void pixels32(const int16_t *luma, const Offsets32 &o, BMPPIX8BNA *out)
{
    for (int half = 0; half < 2; ++half) {
        const __m128i l[2] = {
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(luma + 16 * half)),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(luma + 16 * half + 8))};
        join_pixels(component16(l, o.b + 2 * half), component16(l, o.g + 2 * half),
                    component16(l, o.r + 2 * half), out + 16 * half);
    }
}

/* Groups 0 .. of the group row over pixel rows i and i + 1 (if rows),
 * sixteen at a time while their chroma is within reach; how many. */
INLINE uint32_t wide_groups(const int16_t *y, const int16_t *cb_row, const int16_t *cr_row,
                            uint32_t w, uint32_t i, uint32_t rows, BMPPIX8BNA *px)
{
    uint32_t c = 0;
    for (; 2 * c + 32 <= w && within_reach(cb_row + c) && within_reach(cr_row + c); c += 16) {
        Offsets32 o;
        const unsigned exceptional = sixteen_groups(cb_row + c, cr_row + c, o);
        for (uint32_t j = 0; j < rows; ++j) {
            const std::size_t at = std::size_t{i + j} * w + 2 * c;
            pixels32(y + at, o, px + at);
        }
        recompute(exceptional, c, y, cb_row, cr_row, w, i, rows, px);
    }
    return c;
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
