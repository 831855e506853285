#include "distortion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace dctlab::tool
{

Distortion measure(const PDRGB &before, const PDRGB &after, const PDCBCR &planes_before,
                   const PDCBCR &planes_after)
{
    Distortion d;
    const uint64_t pixels = static_cast<uint64_t>(before.w) * before.h;
    d.peak = pixels * 65025u;
    auto square = [](int a, int b) { return static_cast<uint64_t>((a - b) * (a - b)); };
    for (uint64_t i = 0; i < pixels; ++i) {
        d.red += square(before.data[i].R, after.data[i].R);
        d.green += square(before.data[i].G, after.data[i].G);
        d.blue += square(before.data[i].B, after.data[i].B);
        d.luma += square(planes_before.Ydata[i], planes_after.Ydata[i]);
    }
    d.rgb = d.red + d.green + d.blue;
    return d;
}

namespace
{

// Sums of squared differences, the plain way: the reference, and the
// tails of the vector loops.
template <typename T> uint64_t plain_squares(const T *a, const T *b, uint64_t count)
{
    uint64_t total = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const int64_t d = int64_t{a[i]} - int64_t{b[i]};
        total += static_cast<uint64_t>(d * d);
    }
    return total;
}

#ifdef __SSE2__
// Adds the four 32-bit lanes into 64 bits.
uint64_t lanes_sum(__m128i v)
{
    alignas(16) uint32_t lane[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(lane), v);
    return uint64_t{lane[0]} + lane[1] + lane[2] + lane[3];
}

// Bytes 16 at a time: widened to 16 bits, differences squared and summed in
// pairs into 32-bit lanes, each of which takes at most 2 · 255² a step and
// is emptied into the wide sum every 2^14 steps.
uint64_t squared_differences(const uint8_t *a, const uint8_t *b, uint64_t count)
{
    const __m128i zero = _mm_setzero_si128();
    uint64_t total = 0, i = 0;
    while (count - i >= 16) {
        __m128i sum = zero;
        const uint64_t steps = std::min<uint64_t>((count - i) / 16, uint64_t{1} << 14);
        for (uint64_t k = 0; k < steps; ++k, i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
            const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
            const __m128i low = _mm_sub_epi16(_mm_unpacklo_epi8(x, zero), _mm_unpacklo_epi8(y, zero));
            const __m128i high =
                _mm_sub_epi16(_mm_unpackhi_epi8(x, zero), _mm_unpackhi_epi8(y, zero));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(low, low));
            sum = _mm_add_epi32(sum, _mm_madd_epi16(high, high));
        }
        total += lanes_sum(sum);
    }
    return total + plain_squares(a + i, b + i, count - i);
}

// Samples 8 at a time where all of them lie within ±16383, so that their
// differences fit 16 bits (pictures' samples are 0 to 255); any other run
// of 8 the plain way. The pair sums of madd stay below 2^31, and the lanes
// are emptied every 2^10 steps.
uint64_t squared_differences(const int16_t *a, const int16_t *b, uint64_t count)
{
    const __m128i bound = _mm_set1_epi16(16383), low_bound = _mm_set1_epi16(-16383);
    uint64_t total = 0, i = 0;
    while (count - i >= 8) {
        __m128i sum = _mm_setzero_si128();
        const uint64_t steps = std::min<uint64_t>((count - i) / 8, uint64_t{1} << 10);
        for (uint64_t k = 0; k < steps; ++k, i += 8) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + i));
            const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + i));
            const __m128i outside =
                _mm_or_si128(_mm_or_si128(_mm_cmpgt_epi16(x, bound), _mm_cmplt_epi16(x, low_bound)),
                             _mm_or_si128(_mm_cmpgt_epi16(y, bound), _mm_cmplt_epi16(y, low_bound)));
            if (_mm_movemask_epi8(outside) != 0) {
                total += plain_squares(a + i, b + i, 8);
                continue;
            }
            const __m128i d = _mm_sub_epi16(x, y);
            sum = _mm_add_epi32(sum, _mm_madd_epi16(d, d));
        }
        total += lanes_sum(sum);
    }
    return total + plain_squares(a + i, b + i, count - i);
}
#else
template <typename T> uint64_t squared_differences(const T *a, const T *b, uint64_t count)
{
    return plain_squares(a, b, count);
}
#endif

} // namespace

void add_overall(Distortion &d, const BMPPIX8BNA *before, const BMPPIX8BNA *after,
                 const int16_t *luma_before, const int16_t *luma_after, uint64_t pixels)
{
    static_assert(sizeof(BMPPIX8BNA) == 3, "pixels are three bytes");
    d.rgb += squared_differences(reinterpret_cast<const uint8_t *>(before),
                                 reinterpret_cast<const uint8_t *>(after), 3 * pixels);
    d.luma += squared_differences(luma_before, luma_after, pixels);
}

double psnr_db(uint64_t peak, uint64_t sum)
{
    if (sum == 0)
        return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(static_cast<double>(peak) / static_cast<double>(sum));
}

double rgb_psnr_db(const Distortion &d)
{
    return psnr_db(3 * d.peak, d.rgb);
}

std::string format_db(double db)
{
    if (std::isinf(db))
        return "inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", db);
    return text;
}

std::string fixed(double v, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

} // namespace dctlab::tool
