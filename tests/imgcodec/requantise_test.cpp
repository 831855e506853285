// A rate's coefficients divided out of rate 0's, held to toDCT2 at that
// rate: every kernel, sizes with partial blocks, planes from pictures and
// planes of any 16-bit samples (whose coefficients saturate, down to -32768
// at divisor 1), rates up to the highest whose divisors fit, the rounded
// record made by one thread or several; and the records it refuses.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "every_kernel.h"
#include "imgcodec.h"
#include "quant_matrix.h"
#include "record_handles.h"
#include "requantise.h"

namespace
{

namespace img = dctlab::img;

enum class Samples { picture, any, extremes };

// The planes of a w x h picture of random pixels, and where asked their
// samples drawn again from the whole 16-bit range, or from its two ends.
img::CbcrPtr planes_of(uint32_t w, uint32_t h, Samples kind, unsigned seed)
{
    std::mt19937 gen(seed);
    std::vector<BMPPIX8BNA> px(std::size_t{w} * h);
    for (BMPPIX8BNA &p : px) {
        const uint32_t v = gen();
        p = BMPPIX8BNA{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
    }
    PDRGB picture{w, h, px.data(), 0};
    img::CbcrPtr planes(RGBtoCBCR(&picture));
    if (!planes || kind == Samples::picture)
        return planes;
    const std::size_t luma = std::size_t{w} * h;
    const std::size_t chroma = std::size_t{(w + 1) / 2} * ((h + 1) / 2);
    const auto redraw = [&](int16_t *plane, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const uint32_t v = gen();
            plane[i] = kind == Samples::any ? static_cast<int16_t>(v)
                                            : static_cast<int16_t>(v & 1 ? INT16_MAX : INT16_MIN);
        }
    };
    redraw(planes->Ydata, luma);
    redraw(planes->CbData, chroma);
    redraw(planes->CrData, chroma);
    return planes;
}

void expect_same(const DCTDATA &got, const DCTDATA &want, const std::string &what)
{
    ASSERT_EQ(got.YBlks, want.YBlks) << what;
    ASSERT_EQ(got.CBlks, want.CBlks) << what;
    EXPECT_EQ(got.w, want.w) << what;
    EXPECT_EQ(got.h, want.h) << what;
    const auto same = [](const int16_t *a, const int16_t *b, uint32_t blocks) {
        return std::memcmp(a, b, std::size_t{blocks} * 64 * sizeof(int16_t)) == 0;
    };
    EXPECT_TRUE(same(got.YdataDCT, want.YdataDCT, want.YBlks)) << what << ", luma";
    EXPECT_TRUE(same(got.CbDataDCT, want.CbDataDCT, want.CBlks)) << what << ", Cb";
    EXPECT_TRUE(same(got.CrDataDCT, want.CrDataDCT, want.CBlks)) << what << ", Cr";
}

TEST_P(EveryKernel, EveryRateAsToDct2GivesIt)
{
    struct Case {
        uint32_t w, h;
        Samples kind;
        unsigned threads;
    };
    const Case cases[] = {
        {1, 1, Samples::picture, 1}, {17, 33, Samples::picture, 2}, {130, 7, Samples::any, 3},
        {33, 64, Samples::any, 2},   {9, 17, Samples::extremes, 1}, {40, 24, Samples::extremes, 5},
    };
    const uint16_t rates[] = {0, 1, 2, 3, 7, 40, 100, 255, 1000, img::kMaxQuantRate};
    // One record taken again by every rate and remade for every size.
    img::DctPtr out;
    unsigned seed = 1;
    for (const Case &c : cases) {
        const img::CbcrPtr planes = planes_of(c.w, c.h, c.kind, seed++);
        ASSERT_TRUE(planes);
        const img::DctPtr rounded = img::rounded_coefficients(*planes, c.threads);
        ASSERT_TRUE(rounded);
        const std::string size = std::to_string(c.w) + "x" + std::to_string(c.h);
        const img::DctPtr at_zero(toDCT2(planes.get(), 0));
        ASSERT_TRUE(at_zero);
        expect_same(*rounded, *at_zero, size + " rounded");
        for (uint16_t rate : rates) {
            const img::DctPtr want(toDCT2(planes.get(), rate));
            ASSERT_TRUE(want);
            ASSERT_TRUE(img::requantise(*rounded, rate, out));
            expect_same(*out, *want, size + " at rate " + std::to_string(rate));
        }
    }
}

DCTLAB_FOR_EVERY_KERNEL(EveryKernel);

TEST(Requantise, RefusesWhatToDct2AndReturnFromDctRefuse)
{
    const img::CbcrPtr planes = planes_of(20, 12, Samples::picture, 7);
    ASSERT_TRUE(planes);
    const img::DctPtr rounded = img::rounded_coefficients(*planes, 2);
    ASSERT_TRUE(rounded);
    const std::string invalid = "ERROR: Invalid argument given!\n";
    const std::string null = "ERROR: NULL given instead of argument!\n";

    img::DctPtr out;
    EXPECT_EQ(invalid, stdout_of([&] {
                  EXPECT_FALSE(img::requantise(*rounded, img::kMaxQuantRate + 1, out));
              }));
    DCTDATA bad = *rounded;
    bad.YBlks += 1;
    EXPECT_EQ(invalid, stdout_of([&] { EXPECT_FALSE(img::requantise(bad, 5, out)); }));
    bad = *rounded;
    bad.CrDataDCT = nullptr;
    EXPECT_EQ(null, stdout_of([&] { EXPECT_FALSE(img::requantise(bad, 5, out)); }));
    EXPECT_FALSE(out);

    // A record of the right counts but without its stores is made anew.
    img::DctPtr hollow(static_cast<DCTDATA *>(std::calloc(1, sizeof(DCTDATA))));
    ASSERT_TRUE(hollow);
    hollow->YBlks = rounded->YBlks;
    hollow->CBlks = rounded->CBlks;
    ASSERT_TRUE(img::requantise(*rounded, 5, hollow));
    const img::DctPtr want(toDCT2(planes.get(), 5));
    ASSERT_TRUE(want);
    expect_same(*hollow, *want, "remade");

    PDCBCR no_planes = *planes;
    no_planes.CbData = nullptr;
    EXPECT_EQ(null, stdout_of([&] { EXPECT_FALSE(img::rounded_coefficients(no_planes, 2)); }));
}

} // namespace
