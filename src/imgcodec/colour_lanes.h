/* What every kernel set's colour conversion computes, and why it is exact:
 * luminance and chrominance from integer sums, the few pixels on a rounding
 * boundary recomputed in long double. */
#ifndef DCTLAB_IMGCODEC_COLOUR_LANES_H
#define DCTLAB_IMGCODEC_COLOUR_LANES_H

#include <cstddef>
#include <cstdint>

#include "colour_formulae.h"
#include "imgcodec.h"
#include "kernel_set.h"
#include "kernel_vectors.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* Luminance of pixels.
 *
 * The exact luminance of integer components is N/1000 with N = 299R + 587G +
 * 114B, and the defined one, L in long double, is within 2^-53 of it; its
 * rounding to double moves it by at most 2^-46 more. So unless N/1000 is a
 * tie, k + 0.5, it lies at least 0.001 from every tie and roun gives
 * floor(N/1000 + 0.5) = floor((N + 500)/1000). Here that is computed in
 * float: N < 2^18 is exact, fl(fl(N·fl(0.001)) + 0.5) is within 2^-24·(255·2
 * + 256) < 5e-5 of N/1000 + 0.5, so its truncation is the floor for all but
 * ties, and its distance to the nearest integer is below 5e-5 for ties and
 * above 0.001 - 5e-5 otherwise. A pixel whose computed distance is below
 * 2^-11 is a tie, and only those, about one in a thousand, are recomputed in
 * long double, where the last bits decide. */
constexpr float kLumaNear = 0x1p-11f;

/* Sixteen luminance samples from N; true if any of them is a tie. */
INLINE bool luma16(const v16i &sum, int16_t *out)
{
    const v16f t = __builtin_convertvector(sum, v16f) * 0.001f + 0.5f;
    const v16i whole = __builtin_convertvector(t, v16i);
    const v16f frac = t - __builtin_convertvector(whole, v16f);
    const v16i near = (frac < kLumaNear) | (frac > 1.0f - kLumaNear);
    const v16s narrow = __builtin_convertvector(whole, v16s);
    __builtin_memcpy(out, &narrow, sizeof narrow);
    return any_lane(near);
}

INLINE void luma_ties(const BMPPIX8BNA *p, uint32_t n, int16_t *y)
{
    for (uint32_t x = 0; x < n; ++x) {
        const int32_t sum = 299 * p[x].R + 587 * p[x].G + 114 * p[x].B;
        if (sum % 1000 == 500)
            y[x] = luma_sample(p[x]);
    }
}

/* Luminance of pixels x0 .. w - 1 of a row, one at a time. */
INLINE void luma_tail(const BMPPIX8BNA *px, uint32_t x0, uint32_t w, int16_t *out)
{
    for (uint32_t x = x0; x < w; ++x) {
        const int32_t sum = 299 * px[x].R + 587 * px[x].G + 114 * px[x].B;
        const float t = static_cast<float>(sum) * 0.001f + 0.5f;
        const int32_t whole = static_cast<int32_t>(t);
        const float frac = t - static_cast<float>(whole);
        out[x] = static_cast<int16_t>(whole);
        if (frac < kLumaNear || frac > 1.0f - kLumaNear)
            luma_ties(px + x, 1, out + x);
    }
}

/* Chrominance of groups.
 *
 * Exactly, a group's Cb is roun(V) with V = 128 + 5643·M/(4·10^7), where
 * M = Σ (886B - 299R - 587G) over its four pixels (the mean of (B - L)·0.5643
 * with L = N/1000), and its Cr the same with 7132 and M' = Σ (701R - 587G -
 * 114B). V is never a tie: V = n + 0.5 would need 5643·M = (4n - 510)·10^7,
 * so 10^7 would divide M (5643 = 3^3·11·19), but |M| <= 4·886·255 < 10^7 and
 * M = 0 gives no integer n; for Cr, 7132 = 4·1783 and 2·1783·M' =
 * (2n - 255)·10^7 would need 2^6·5^7 = 5·10^6 to divide |M'| <= 4·701·255.
 * So V lies at least 1/(4·10^7) = 2.5e-8 from every tie. The long double
 * computation, rounded to double, is within 1e-13 of V, and so is the double
 * computation here, M·fl(5643/(4·10^7)) + 128.5 (its product rounded or
 * fused): both round the same way as V
 * itself, and V >= 0.5 makes the truncation a floor. No case needs
 * recomputing. */
constexpr double kCbStep = 5643.0 / 4e7, kCrStep = 7132.0 / 4e7;

INLINE int32_t blue_term(const BMPPIX8BNA &p)
{
    return 886 * p.B - 299 * p.R - 587 * p.G;
}
INLINE int32_t red_term(const BMPPIX8BNA &p)
{
    return 701 * p.R - 587 * p.G - 114 * p.B;
}
INLINE int16_t chroma_of(int32_t m, double step)
{
    return static_cast<int16_t>(static_cast<int32_t>(m * step + 128.5));
}

/* Eight groups from their M, which is linear in the components, and so
 * formed from each component's sum over the group's four pixels. */
INLINE void chroma8(const v8i &m, double step, int16_t *out)
{
    v8d v = v8d{} + 128.5;
    add_product(v, step, __builtin_convertvector(m, v8d));
    const v8s narrow = __builtin_convertvector(__builtin_convertvector(v, v8i), v8s);
    __builtin_memcpy(out, &narrow, sizeof narrow);
}

/* Groups c0 .. of a group row one at a time, up to the row's end. */
INLINE void chroma_tail(const BMPPIX8BNA *top, const BMPPIX8BNA *below, uint32_t c0, uint32_t w,
                        int16_t *cb, int16_t *cr)
{
    const uint32_t pairs = w / 2;
    for (uint32_t c = c0; c < pairs; ++c) {
        const BMPPIX8BNA &a = top[2 * c], &b = top[2 * c + 1], &d = below[2 * c],
                         &e = below[2 * c + 1];
        cb[c] = chroma_of(blue_term(a) + blue_term(b) + blue_term(d) + blue_term(e), kCbStep);
        cr[c] = chroma_of(red_term(a) + red_term(b) + red_term(d) + red_term(e), kCrStep);
    }
    if (w % 2) { // the short group of an odd width counts its pixels twice
        const BMPPIX8BNA &a = top[w - 1], &d = below[w - 1];
        cb[pairs] = chroma_of(2 * (blue_term(a) + blue_term(d)), kCbStep);
        cr[pairs] = chroma_of(2 * (red_term(a) + red_term(d)), kCrStep);
    }
}

/* Recomputes in long double the pixels of the groups with a bit set, groups
 * c0, c0 + 1, ... of the group row over pixel rows i and i + 1 (if rows). */
INLINE void recompute(unsigned bits, uint32_t c0, const int16_t *y, const int16_t *cb,
                      const int16_t *cr, uint32_t w, uint32_t i, uint32_t rows, BMPPIX8BNA *px)
{
    for (; bits != 0; bits &= bits - 1) {
        const uint32_t c = c0 + static_cast<uint32_t>(__builtin_ctz(bits));
        const int d_cb = cb[c] - kChromaZero, d_cr = cr[c] - kChromaZero;
        for (uint32_t j = 0; j < rows; ++j)
            for (uint32_t x = 2 * c; x < 2 * c + 2 && x < w; ++x) {
                const std::size_t at = std::size_t{i + j} * w + x;
                px[at] = rgb_pixel(y[at], d_cb, d_cr);
            }
    }
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
