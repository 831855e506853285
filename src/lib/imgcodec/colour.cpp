/* Colour conversion between RGB pixels and a luminance plane with two
 * chrominance planes subsampled 2x2.
 *
 * Results are defined to the bit: every product and sum is formed in long
 * double (64-bit significand) in the order written here, with the constants
 * held in that precision, and -ffp-contract=off keeps the compiler from
 * fusing any of them. The forward direction rounds each result half away
 * from zero through roun, after narrowing it to double; the inverse truncates
 * toward zero and saturates to 0..255. Neither is the other's exact inverse:
 * grey survives a round trip, saturated colours move by a step or two. */
#include "imgcodec.h"

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "geometry.h"
#include "messages.h"
#include "scope_guard.h"

static_assert(std::numeric_limits<long double>::digits == 64,
              "the conversions are defined in 80-bit extended precision");

namespace
{

using namespace dctlab::img;

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

long double luminance(const BMPPIX8BNA &p)
{
    return (p.R * kRedWeight + p.G * kGreenWeight) + p.B * kBlueWeight;
}

/* Truncation toward zero followed by saturation: anything from 255 up gives
 * 255, anything below 1 truncates to 0 or less and gives 0, and only values
 * in [1, 255) are ever converted, so no value is out of range for the
 * conversion however far the samples drive it. */
uint8_t clip(long double x)
{
    if (x >= 255.0L)
        return 255;
    if (x < 1.0L)
        return 0;
    return static_cast<uint8_t>(x);
}

/* Rejects what the conversions cannot size: a record without pixels, or one
 * whose 3·w·h bytes do not fit 32 bits (every plane is then smaller). */
bool check_size(uint32_t w, uint32_t h, uint32_t *pixel_bytes)
{
    if (pixel_bytes_of(w, h, pixel_bytes))
        return true;
    std::puts(kInvalidArgument);
    return false;
}

} // namespace

PDCBCR *RGBtoCBCR(const PDRGB *in)
{
    if (!in || !in->data) {
        std::puts(kNullArgument);
        return nullptr;
    }
    const uint32_t w = in->w, h = in->h;
    uint32_t pixel_bytes = 0; // the planes are sized by samples, not bytes
    if (!check_size(w, h, &pixel_bytes))
        return nullptr;
    const uint32_t cw = chroma_extent(w), ch = chroma_extent(h);
    const std::size_t luma_samples = std::size_t{w} * h;
    const std::size_t chroma_samples = std::size_t{cw} * ch;

    auto *out = static_cast<PDCBCR *>(std::calloc(1, sizeof(PDCBCR)));
    if (!out) {
        std::puts(kNoMemory);
        return nullptr;
    }
    auto release = dctlab::on_failure([&] { freeCBCR(out); });
    out->Ydata = static_cast<int16_t *>(std::calloc(luma_samples, sizeof(int16_t)));
    if (!out->Ydata) {
        std::puts(kNoMemory);
        return nullptr;
    }
    out->CbData = static_cast<int16_t *>(std::calloc(chroma_samples, sizeof(int16_t)));
    if (!out->CbData) {
        std::puts(kNoMemory);
        return nullptr;
    }
    out->CrData = static_cast<int16_t *>(std::calloc(chroma_samples, sizeof(int16_t)));
    if (!out->CrData) {
        std::puts(kNoMemory);
        return nullptr;
    }

    const BMPPIX8BNA *px = in->data;
    // Each group of 2x2 pixels gives one Cb and one Cr sample. A group cut
    // short by an odd width or height repeats its pixels up to four, so every
    // sample is the mean of four weighted differences.
    for (uint32_t i = 0; i < h; i += 2) {
        const std::size_t top = std::size_t{i} * w;
        const std::size_t below = i + 1 < h ? top + w : top;
        for (uint32_t j = 0; j < w; j += 2) {
            const uint32_t right = j + 1 < w ? j + 1 : j;
            const BMPPIX8BNA *group[4] = {&px[top + j], &px[top + right], &px[below + j],
                                          &px[below + right]};
            long double cb_sum = 0.0L, cr_sum = 0.0L;
            for (const BMPPIX8BNA *p : group) {
                const long double y = luminance(*p);
                cb_sum += (p->B - y) * kCbScale;
                cr_sum += (p->R - y) * kCrScale;
            }
            const std::size_t sample = std::size_t{i / 2} * cw + j / 2;
            out->CbData[sample] = roun(static_cast<double>((cb_sum + kGroupOffset) / kGroupPixels));
            out->CrData[sample] = roun(static_cast<double>((cr_sum + kGroupOffset) / kGroupPixels));
        }
    }
    for (std::size_t n = 0; n < luma_samples; ++n)
        out->Ydata[n] = roun(static_cast<double>(luminance(px[n])));

    out->w = w;
    out->h = h;
    out->dBytes = in->dBytes;
    release.dismiss();
    return out;
}

PDRGB *CBCRtoRGB(const PDCBCR *in)
{
    if (!in || !in->Ydata || !in->CbData || !in->CrData) {
        std::puts(kNullArgument);
        return nullptr;
    }
    const uint32_t w = in->w, h = in->h;
    uint32_t pixel_bytes = 0;
    if (!check_size(w, h, &pixel_bytes))
        return nullptr;

    auto *out = static_cast<PDRGB *>(std::calloc(1, sizeof(PDRGB)));
    if (!out) {
        std::puts(kNoMemory);
        return nullptr;
    }
    auto release = dctlab::on_failure([&] { freeRGB(out); });
    out->data = static_cast<BMPPIX8BNA *>(std::calloc(pixel_bytes, 1));
    if (!out->data) {
        std::puts(kNoMemory);
        return nullptr;
    }

    // Every pixel takes the chrominance of the group it belongs to; a pixel
    // that a short group counts more than once gets the same values each
    // time, so one pass over the pixels is the whole conversion.
    const uint32_t cw = chroma_extent(w);
    for (uint32_t y = 0; y < h; ++y) {
        const int16_t *luma = in->Ydata + std::size_t{y} * w;
        const std::size_t group_row = std::size_t{y / 2} * cw;
        BMPPIX8BNA *row = out->data + std::size_t{y} * w;
        for (uint32_t x = 0; x < w; ++x) {
            const int d_cb = in->CbData[group_row + x / 2] - kChromaZero;
            const int d_cr = in->CrData[group_row + x / 2] - kChromaZero;
            const long double l = luma[x];
            row[x].G = clip((l + d_cr * kGreenFromCr) + d_cb * kGreenFromCb);
            row[x].R = clip(l + d_cr * kRedFromCr);
            row[x].B = clip(l + d_cb * kBlueFromCb);
        }
    }

    out->w = w;
    out->h = h;
    out->dBytes = in->dBytes;
    release.dismiss();
    return out;
}

void freeCBCR(PDCBCR *in)
{
    if (!in)
        return;
    std::free(in->Ydata);
    std::free(in->CbData);
    std::free(in->CrData);
    std::free(in);
}
