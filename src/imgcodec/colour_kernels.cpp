/* The colour conversions of whole pictures, for one kernel set: sixteen
 * pixels at a time (the AVX-512 set thirty-two where it can, the AVX2 set
 * in 16-bit lanes and thirty-two on the way back), the rest of a row one
 * pixel or group at a time. It is compiled once for every kernel set (kernel_set.h). */
#include <cstddef>
#include <cstdint>

#include "colour_formulae.h"
#include "colour_lanes.h"
#include "geometry.h"
#include "imgcodec.h"
#include "kernel_entries.h"
#include "kernel_set.h"
#include "kernel_vectors.h"
#ifdef KERNEL_PSHUFB
#include "colour_bytes_x86.h"
#else
#include "colour_bytes_portable.h"
#endif
#if defined(KERNEL_AVX512BW)
#include "colour_avx512.h"
#elif defined(KERNEL_AVX2)
#include "colour_avx2.h"
#endif

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

#ifndef KERNEL_AVX512BW
/* Without AVX-512 the forward conversion takes the sixteen-pixel way or
 * the one for the rest of a row. */
INLINE uint32_t wide_group_row(const BMPPIX8BNA *, const BMPPIX8BNA *, bool, uint32_t, int16_t *,
                               int16_t *, int16_t *, int16_t *)
{
    return 0;
}
#endif
#if !defined(KERNEL_AVX512BW) && !defined(KERNEL_AVX2)
/* The portable way back has no wide way. */
INLINE uint32_t wide_groups(const int16_t *, const int16_t *, const int16_t *, uint32_t, uint32_t,
                            uint32_t, BMPPIX8BNA *)
{
    return 0;
}
#endif

/* N = 299R + 587G + 114B of sixteen pixels. */
INLINE void luma_sums(const v16b &b8, const v16b &g8, const v16b &r8, v16i &sum)
{
    v16i b, g, r;
    widen(b8, b);
    widen(g8, g);
    widen(r8, r);
    sum = 299 * r + 587 * g + 114 * b;
}

#ifndef KERNEL_AVX2
/* Luminance of sixteen pixels from their components, ties recomputed (the
 * AVX2 set has its own in 16-bit lanes, colour_avx2.h). */
INLINE void luma_of16(const BMPPIX8BNA *p, const v16b &b8, const v16b &g8, const v16b &r8,
                      int16_t *out)
{
    v16i sum;
    luma_sums(b8, g8, r8, sum);
    if (luma16(sum, out))
        luma_ties(p, 16, out);
}

/* The chroma of eight groups from their components' sums over the group. */
INLINE void chroma_of8(const v8s &b_sum, const v8s &g_sum, const v8s &r_sum, int16_t *cb,
                       int16_t *cr)
{
    const v8i bs = __builtin_convertvector(b_sum, v8i), gs = __builtin_convertvector(g_sum, v8i),
              rs = __builtin_convertvector(r_sum, v8i);
    chroma8(886 * bs - 299 * rs - 587 * gs, kCbStep, cb);
    chroma8(701 * rs - 587 * gs - 114 * bs, kCrStep, cr);
}
#endif

/* One row of groups and the one or two pixel rows under it (below == top
 * for the last row of an odd height), sixteen columns at a time. */
INLINE void group_row(const BMPPIX8BNA *top, const BMPPIX8BNA *below, bool two_rows, uint32_t w,
                      int16_t *y_top, int16_t *y_below, int16_t *cb, int16_t *cr)
{
    uint32_t x = wide_group_row(top, below, two_rows, w, y_top, y_below, cb, cr);
    for (; x + 16 <= w; x += 16) {
        v16b b8, g8, r8;
        split_pixels(top + x, b8, g8, r8);
        v8s b_sum, g_sum, r_sum, more;
        pair_sums(b8, b_sum);
        pair_sums(g8, g_sum);
        pair_sums(r8, r_sum);
        luma_of16(top + x, b8, g8, r8, y_top + x);
        if (two_rows) {
            split_pixels(below + x, b8, g8, r8);
            luma_of16(below + x, b8, g8, r8, y_below + x);
            pair_sums(b8, more);
            b_sum += more;
            pair_sums(g8, more);
            g_sum += more;
            pair_sums(r8, more);
            r_sum += more;
        } else {
            b_sum += b_sum;
            g_sum += g_sum;
            r_sum += r_sum;
        }
        chroma_of8(b_sum, g_sum, r_sum, cb + x / 2, cr + x / 2);
    }
    luma_tail(top, x, w, y_top);
    if (two_rows)
        luma_tail(below, x, w, y_below);
    chroma_tail(top, below, x / 2, w, cb, cr);
}

KERNEL void rgb_to_planes(const BMPPIX8BNA *px, uint32_t w, uint32_t h, int16_t *y, int16_t *cb,
                          int16_t *cr)
{
    const uint32_t cw = chroma_extent(w);
    for (uint32_t i = 0; i < h; i += 2) {
        const BMPPIX8BNA *top = px + std::size_t{i} * w;
        const bool two_rows = i + 1 < h;
        const BMPPIX8BNA *below = two_rows ? top + w : top;
        int16_t *y_top = y + std::size_t{i} * w;
        group_row(top, below, two_rows, w, y_top, two_rows ? y_top + w : y_top,
                  cb + std::size_t{i / 2} * cw, cr + std::size_t{i / 2} * cw);
    }
}

/* The way back, for a run of groups of one group row.
 *
 * Exactly, G = floor(Y + K/1000) clipped to 0..255, with K = -714·dCr -
 * 334·dCb, and likewise R with K = 1402·dCr and B with K = 1772·dCb; the
 * defined long double value is within 3e-14 of it for any 16-bit samples.
 * Where 1000 does not divide K the exact value lies at least 0.001 from an
 * integer, so the floor of the defined value is Y + floor(K/1000), computed
 * once per group: here as floor(fl(K·fl(0.001))), within 1.5e-11 of K/1000
 * (|K| < 3.5e7). Where 1000 divides K the defined value may fall just below
 * the integer, so such a group, recognised by a computed K/1000 within 2^-12
 * of an integer, is recomputed in long double, unless its colour
 * differences that enter K are 0: then the defined value is Y exactly. */
/* The offsets of a run of groups, once for each of their pixels. */
constexpr uint32_t kRun = 256;
struct GroupOffsets {
    alignas(64) int32_t g[2 * kRun];
    alignas(64) int32_t r[2 * kRun];
    alignas(64) int32_t b[2 * kRun];
    uint8_t exceptional[kRun / 8]; // bit c % 8 of byte c / 8 for group c
};

INLINE bool near_whole(double x, double floor_x)
{
    constexpr double kNear = 0x1p-12;
    const double frac = x - floor_x;
    return frac < kNear || frac > 1.0 - kNear;
}

/* Floors by truncation, corrected where it went up; exact for |x| < 2^31. */
INLINE void floor8(const v8d &x, v8d &floor_x)
{
    const v8d t = __builtin_convertvector(__builtin_convertvector(x, v8i), v8d);
    floor_x = t - (t > x ? 1.0 : 0.0);
}

INLINE void near_whole8(const v8d &x, const v8d &floor_x, const v8i &used, v8l &near)
{
    constexpr double kNear = 0x1p-12;
    const v8d frac = x - floor_x;
    near = ((frac < kNear) | (frac > 1.0 - kNear)) & __builtin_convertvector(used != 0, v8l);
}

/* The offsets of eight groups, each once for each of its two pixels, and a
 * bit for each group to be recomputed. */
struct EightGroups {
    v16i g, r, b;
    unsigned exceptional;
};

INLINE void pairs_of(const v8d &offsets, v16i &pairs)
{
    const v8i o = __builtin_convertvector(offsets, v8i);
    pairs = __builtin_shufflevector(o, o, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7);
}

INLINE void eight_groups(const int16_t *cb, const int16_t *cr, EightGroups &e)
{
    v8s cb8, cr8;
    __builtin_memcpy(&cb8, cb, sizeof cb8);
    __builtin_memcpy(&cr8, cr, sizeof cr8);
    const v8i d_cb = __builtin_convertvector(cb8, v8i) - kChromaZero;
    const v8i d_cr = __builtin_convertvector(cr8, v8i) - kChromaZero;
    const v8d g = __builtin_convertvector(-714 * d_cr - 334 * d_cb, v8d) * 0.001;
    const v8d r = __builtin_convertvector(1402 * d_cr, v8d) * 0.001;
    const v8d b = __builtin_convertvector(1772 * d_cb, v8d) * 0.001;
    v8d gf, rf, bf;
    floor8(g, gf);
    floor8(r, rf);
    floor8(b, bf);
    v8l g_near, r_near, b_near;
    near_whole8(g, gf, d_cr | d_cb, g_near);
    near_whole8(r, rf, d_cr, r_near);
    near_whole8(b, bf, d_cb, b_near);
    const v8l odd = g_near | r_near | b_near;
#ifdef KERNEL_AVX512BW
    e.exceptional = _mm512_movepi64_mask(reinterpret_cast<const __m512i &>(odd));
#else
    unsigned bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= static_cast<unsigned>(odd[i] & 1) << i;
    e.exceptional = bits;
#endif
    pairs_of(gf, e.g);
    pairs_of(rf, e.r);
    pairs_of(bf, e.b);
}

KERNEL void rgb_run(const int16_t *cb, const int16_t *cr, uint32_t groups, GroupOffsets *off)
{
    uint32_t c = 0;
    for (; c + 8 <= groups; c += 8) {
        EightGroups e;
        eight_groups(cb + c, cr + c, e);
        off->exceptional[c / 8] = static_cast<uint8_t>(e.exceptional);
        __builtin_memcpy(off->g + 2 * c, &e.g, sizeof e.g);
        __builtin_memcpy(off->r + 2 * c, &e.r, sizeof e.r);
        __builtin_memcpy(off->b + 2 * c, &e.b, sizeof e.b);
    }
    if (c == groups)
        return;
    off->exceptional[c / 8] = 0;
    for (; c < groups; ++c) {
        const int32_t d_cb = cb[c] - kChromaZero, d_cr = cr[c] - kChromaZero;
        const double g = (-714 * d_cr - 334 * d_cb) * 0.001;
        const double r = (1402 * d_cr) * 0.001;
        const double b = (1772 * d_cb) * 0.001;
        const double gf = __builtin_floor(g), rf = __builtin_floor(r), bf = __builtin_floor(b);
        const bool odd = (near_whole(g, gf) && (d_cr | d_cb) != 0) ||
                         (near_whole(r, rf) && d_cr != 0) || (near_whole(b, bf) && d_cb != 0);
        off->exceptional[c / 8] |= static_cast<uint8_t>(unsigned{odd} << (c % 8));
        off->g[2 * c] = off->g[2 * c + 1] = static_cast<int32_t>(gf);
        off->r[2 * c] = off->r[2 * c + 1] = static_cast<int32_t>(rf);
        off->b[2 * c] = off->b[2 * c + 1] = static_cast<int32_t>(bf);
    }
}

INLINE uint8_t saturate(int32_t v)
{
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

KERNEL void rgb_pixels(const int16_t *luma, const GroupOffsets *off, uint32_t n, BMPPIX8BNA *out)
{
    uint32_t x = 0;
    for (; x + 16 <= n; x += 16) {
        v16s l16;
        __builtin_memcpy(&l16, luma + x, sizeof l16);
        const v16i l = __builtin_convertvector(l16, v16i);
        v16i b, g, r;
        __builtin_memcpy(&b, off->b + x, sizeof b);
        __builtin_memcpy(&g, off->g + x, sizeof g);
        __builtin_memcpy(&r, off->r + x, sizeof r);
        join_pixels(component16(l, b), component16(l, g), component16(l, r), out + x);
    }
    for (; x < n; ++x) {
        const int32_t l = luma[x];
        out[x].B = saturate(l + off->b[x]);
        out[x].G = saturate(l + off->g[x]);
        out[x].R = saturate(l + off->r[x]);
    }
}

/* Eight groups at a time, their offsets kept in registers for both pixel
 * rows; the groups short of a whole sixteen pixels through a run. */
KERNEL void planes_to_rgb(const int16_t *y, const int16_t *cb, const int16_t *cr, uint32_t w,
                          uint32_t h, BMPPIX8BNA *px)
{
    const uint32_t cw = chroma_extent(w);
    GroupOffsets off;
    for (uint32_t i = 0; i < h; i += 2) {
        const int16_t *cb_row = cb + std::size_t{i / 2} * cw;
        const int16_t *cr_row = cr + std::size_t{i / 2} * cw;
        const uint32_t rows = i + 1 < h ? 2 : 1;
        uint32_t c = wide_groups(y, cb_row, cr_row, w, i, rows, px);
        for (; 2 * c + 16 <= w; c += 8) {
            EightGroups e;
            eight_groups(cb_row + c, cr_row + c, e);
            for (uint32_t j = 0; j < rows; ++j) {
                const std::size_t at = std::size_t{i + j} * w + 2 * c;
                v16s l16;
                __builtin_memcpy(&l16, y + at, sizeof l16);
                const v16i l = __builtin_convertvector(l16, v16i);
                join_pixels(component16(l, e.b), component16(l, e.g), component16(l, e.r), px + at);
            }
            recompute(e.exceptional, c, y, cb_row, cr_row, w, i, rows, px);
        }
        if (c == cw)
            continue;
        const uint32_t groups = cw - c; // fewer than 8 + 1
        rgb_run(cb_row + c, cr_row + c, groups, &off);
        for (uint32_t j = 0; j < rows; ++j) {
            const std::size_t at = std::size_t{i + j} * w + 2 * c;
            rgb_pixels(y + at, &off, w - 2 * c, px + at);
        }
        for (uint32_t k = 0; k < (groups + 7) / 8; ++k)
            recompute(off.exceptional[k], c + 8 * k, y, cb_row, cr_row, w, i, rows, px);
    }
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET
