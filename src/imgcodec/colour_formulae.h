/* The defining arithmetic of the colour conversion, one pixel or one group
 * at a time, shared by the straightforward conversion and by the exceptional
 * cases of the fast one, so that both compute the same thing in the same
 * order.
 *
 * Every product and sum is formed in long double (64-bit significand) in the
 * order written here, with the constants held in that precision, and
 * -ffp-contract=off keeps the compiler from fusing any of them. */
#ifndef DCTLAB_IMGCODEC_COLOUR_FORMULAE_H
#define DCTLAB_IMGCODEC_COLOUR_FORMULAE_H

#include <cstdint>
#include <limits>

#include "imgcodec.h"

namespace dctlab::img
{

static_assert(std::numeric_limits<long double>::digits == 64,
              "the conversions are defined in 80-bit extended precision");

constexpr long double kRedWeight = 0.299L;
constexpr long double kGreenWeight = 0.587L;
constexpr long double kBlueWeight = 0.114L;
constexpr long double kCbScale = 0.5643L;
constexpr long double kCrScale = 0.7132L;
constexpr long double kGroupOffset = 512.0L; // the chroma offset 128 for each of 4 pixels
constexpr long double kGroupPixels = 4.0L;
constexpr long double kGreenFromCr = -0.714L;
constexpr long double kGreenFromCb = -0.334L;
constexpr long double kRedFromCr = 1.402L;
constexpr long double kBlueFromCb = 1.772L;
constexpr int kChromaZero = 128;

inline long double luminance(const BMPPIX8BNA &p)
{
    return (p.R * kRedWeight + p.G * kGreenWeight) + p.B * kBlueWeight;
}

inline int16_t luma_sample(const BMPPIX8BNA &p)
{
    return roun(static_cast<double>(luminance(p)));
}

/* Cb and Cr of one group of four pixels, a short group repeating its own. */
inline void group_chroma(const BMPPIX8BNA *const (&group)[4], int16_t *cb, int16_t *cr)
{
    long double cb_sum = 0.0L, cr_sum = 0.0L;
    for (const BMPPIX8BNA *p : group) {
        const long double y = luminance(*p);
        cb_sum += (p->B - y) * kCbScale;
        cr_sum += (p->R - y) * kCrScale;
    }
    *cb = roun(static_cast<double>((cb_sum + kGroupOffset) / kGroupPixels));
    *cr = roun(static_cast<double>((cr_sum + kGroupOffset) / kGroupPixels));
}

/* Truncation toward zero followed by saturation: anything from 255 up gives
 * 255, anything below 1 truncates to 0 or less and gives 0, and only values
 * in [1, 255) are ever converted, so no value is out of range for the
 * conversion however far the samples drive it. */
inline uint8_t clip(long double x)
{
    if (x >= 255.0L)
        return 255;
    if (x < 1.0L)
        return 0;
    return static_cast<uint8_t>(x);
}

/* One pixel back from its luminance and its group's colour differences. */
inline BMPPIX8BNA rgb_pixel(int16_t luma, int d_cb, int d_cr)
{
    const long double l = luma;
    BMPPIX8BNA p;
    p.G = clip((l + d_cr * kGreenFromCr) + d_cb * kGreenFromCb);
    p.R = clip(l + d_cr * kRedFromCr);
    p.B = clip(l + d_cb * kBlueFromCb);
    return p;
}

} // namespace dctlab::img

#endif
