// Colour conversion: exact values for known pixels and samples, the groups
// of odd-sized pictures, and what a failing call leaves behind.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "fault_injection.h"
#include "imgcodec.h"

namespace
{

const std::string kNullLine = "ERROR: NULL given instead of argument!\n";
const std::string kMemoryLine = "ERROR: No free memory left!\n";
const std::string kInvalidLine = "ERROR: Invalid argument given!\n";

struct Rgb {
    int r, g, b;
};

BMPPIX8BNA px(Rgb c)
{
    return BMPPIX8BNA{static_cast<uint8_t>(c.b), static_cast<uint8_t>(c.g),
                      static_cast<uint8_t>(c.r)};
}

Rgb rgb(const BMPPIX8BNA &p)
{
    return Rgb{p.R, p.G, p.B};
}

bool operator==(Rgb a, Rgb b)
{
    return a.r == b.r && a.g == b.g && a.b == b.b;
}

std::ostream &operator<<(std::ostream &os, Rgb c)
{
    return os << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

struct PictureOwner {
    std::vector<BMPPIX8BNA> pixels;
    PDRGB record{};
};

PictureOwner picture(uint32_t w, uint32_t h, const std::vector<Rgb> &colours)
{
    PictureOwner p;
    for (Rgb c : colours)
        p.pixels.push_back(px(c));
    p.record = PDRGB{w, h, p.pixels.data(), static_cast<uint8_t>(w % 4)};
    return p;
}

struct Planes {
    std::vector<int16_t> y, cb, cr;
    PDCBCR record{};
};

Planes planes(uint32_t w, uint32_t h, std::vector<int16_t> y, std::vector<int16_t> cb,
              std::vector<int16_t> cr)
{
    Planes p{std::move(y), std::move(cb), std::move(cr), {}};
    p.record = PDCBCR{w, h, static_cast<uint8_t>(w % 4), p.y.data(), p.cb.data(), p.cr.data()};
    return p;
}

struct Conversion {
    Rgb pixel;
    int y, cb, cr;
    Rgb back;
};

void PrintTo(const Conversion &c, std::ostream *os)
{
    *os << c.pixel;
}

class ColourTable : public testing::TestWithParam<Conversion>
{
};

TEST_P(ColourTable, UniformGroupsConvertExactlyBothWays)
{
    const Conversion c = GetParam();
    // A 1x1 picture counts its pixel four times; a 2x2 one has four alike.
    for (uint32_t side : {1u, 2u}) {
        SCOPED_TRACE(side);
        auto in = picture(side, side, std::vector<Rgb>(side * side, c.pixel));
        PDCBCR *ycc = RGBtoCBCR(&in.record);
        ASSERT_NE(ycc, nullptr);
        EXPECT_EQ(ycc->w, side);
        EXPECT_EQ(ycc->h, side);
        EXPECT_EQ(ycc->dBytes, side);
        for (uint32_t n = 0; n < side * side; ++n)
            EXPECT_EQ(ycc->Ydata[n], c.y);
        EXPECT_EQ(ycc->CbData[0], c.cb);
        EXPECT_EQ(ycc->CrData[0], c.cr);

        PDRGB *out = CBCRtoRGB(ycc);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->w, side);
        EXPECT_EQ(out->h, side);
        EXPECT_EQ(out->dBytes, side);
        for (uint32_t n = 0; n < side * side; ++n)
            EXPECT_EQ(rgb(out->data[n]), c.back);
        freeRGB(out);
        freeCBCR(ycc);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pixels, ColourTable,
    testing::Values(Conversion{{255, 255, 255}, 255, 128, 128, {255, 255, 255}},
                    Conversion{{0, 0, 0}, 0, 128, 128, {0, 0, 0}},
                    Conversion{{128, 128, 128}, 128, 128, 128, {128, 128, 128}},
                    Conversion{{0, 0, 255}, 29, 255, 107, {0, 1, 254}},
                    Conversion{{255, 0, 0}, 76, 85, 255, {254, 0, 0}},
                    Conversion{{255, 255, 0}, 226, 1, 149, {255, 253, 0}},
                    Conversion{{0, 255, 0}, 150, 44, 21, {0, 254, 1}},
                    Conversion{{100, 150, 200}, 141, 161, 99, {100, 150, 199}}));

struct Inverse {
    const char *name;
    int y, cb, cr;
    Rgb back;
};

void PrintTo(const Inverse &c, std::ostream *os)
{
    *os << c.name;
}

class InverseTable : public testing::TestWithParam<Inverse>
{
};

TEST_P(InverseTable, TruncatesTowardZeroAndSaturates)
{
    const Inverse c = GetParam();
    auto in = planes(1, 1, {static_cast<int16_t>(c.y)}, {static_cast<int16_t>(c.cb)},
                     {static_cast<int16_t>(c.cr)});
    PDRGB *out = CBCRtoRGB(&in.record);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(rgb(out->data[0]), c.back);
    freeRGB(out);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, InverseTable,
    testing::Values(
        // R = 101.402, G = 99.286, B = 100: truncated, not rounded.
        Inverse{"truncates", 100, 128, 129, {101, 99, 100}},
        // G = -0.714 truncates to 0 rather than clipping.
        Inverse{"negative_fraction_truncates", 0, 128, 129, {1, 0, 0}},
        Inverse{"clips_high", 255, 128, 255, {255, 164, 255}},
        Inverse{"clips_low", 0, 1, 128, {0, 42, 0}},
        // Beyond the 16-bit range before clipping (148000 and more): saturated.
        Inverse{"saturates_max", 32767, 32767, 32767, {255, 0, 255}},
        Inverse{"saturates_min", -32768, -32768, -32768, {0, 255, 0}},
        Inverse{"mixed_extremes", 0, 32767, -32768, {0, 255, 255}}),
    [](const testing::TestParamInfo<Inverse> &info) { return std::string(info.param.name); });

// Where the exact result is a tie or an integer, the last bit of the
// arithmetic decides: these come out as stated only with the constants and
// every step in extended precision, in the given order.
TEST(Colour, ExtendedPrecisionDecidesExactTies)
{
    // 36 * 0.587 + 12 * 0.114 = 22.5 and 22 * 0.299 + 206 * 0.587 = 127.5:
    // with double arithmetic, or double constants, they round down.
    auto in = picture(2, 1, {{0, 36, 12}, {22, 206, 0}});
    PDCBCR *ycc = RGBtoCBCR(&in.record);
    ASSERT_NE(ycc, nullptr);
    EXPECT_EQ(ycc->Ydata[0], 23);
    EXPECT_EQ(ycc->Ydata[1], 128);
    freeCBCR(ycc);

    // Green sums that are integers exactly. dCr = -120, dCb = 20: 85.68 -
    // 6.68 = 79, which double arithmetic truncates to 78. dCr = 15, dCb = -65:
    // -10.71 + 21.71 = 11, but the extended sum lands just below. Y 8, dCr =
    // -35, dCb = -15: 8 + 24.99 + 5.01 = 38, below it only when Y is added
    // first.
    const struct {
        int16_t y, cb, cr;
        Rgb back;
    } ties[] = {{0, 148, 8, {0, 79, 35}}, {0, 63, 143, {21, 10, 0}}, {8, 113, 93, {0, 37, 0}}};
    for (const auto &t : ties) {
        auto samples = planes(1, 1, {t.y}, {t.cb}, {t.cr});
        PDRGB *out = CBCRtoRGB(&samples.record);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(rgb(out->data[0]), t.back) << t.y << " " << t.cb << " " << t.cr;
        freeRGB(out);
    }
}

TEST(Colour, EveryGreyComesBackUnchanged)
{
    // 2x2 pixels of each grey, so every group is uniform.
    std::vector<Rgb> colours(512 * 2);
    for (int x = 0; x < 512; ++x)
        colours[x] = colours[512 + x] = Rgb{x / 2, x / 2, x / 2};
    auto in = picture(512, 2, colours);
    PDCBCR *ycc = RGBtoCBCR(&in.record);
    ASSERT_NE(ycc, nullptr);
    for (int x = 0; x < 512; ++x)
        ASSERT_EQ(ycc->Ydata[x], x / 2);
    for (int c = 0; c < 256; ++c) {
        ASSERT_EQ(ycc->CbData[c], 128) << c;
        ASSERT_EQ(ycc->CrData[c], 128) << c;
    }
    PDRGB *out = CBCRtoRGB(ycc);
    ASSERT_NE(out, nullptr);
    for (int n = 0; n < 1024; ++n)
        ASSERT_EQ(rgb(out->data[n]), colours[n]) << n;
    freeRGB(out);
    freeCBCR(ycc);
}

TEST(Colour, AShortGroupCountsEachOfItsPixelsTwice)
{
    auto in = picture(2, 1, {{255, 0, 0}, {0, 0, 255}});
    PDCBCR *ycc = RGBtoCBCR(&in.record);
    ASSERT_NE(ycc, nullptr);
    EXPECT_EQ(ycc->Ydata[0], 76);
    EXPECT_EQ(ycc->Ydata[1], 29);
    EXPECT_EQ(ycc->CbData[0], 170);
    EXPECT_EQ(ycc->CrData[0], 181);
    freeCBCR(ycc);

    // The same pair stacked in a column: the other short group.
    auto column = picture(1, 2, {{255, 0, 0}, {0, 0, 255}});
    ycc = RGBtoCBCR(&column.record);
    ASSERT_NE(ycc, nullptr);
    EXPECT_EQ(ycc->CbData[0], 170);
    EXPECT_EQ(ycc->CrData[0], 181);
    freeCBCR(ycc);
}

TEST(Colour, TheCornerOfAThreeByThreePictureIsAGroupOfItsOwn)
{
    std::vector<Rgb> colours(9, Rgb{10, 200, 30});
    colours[8] = Rgb{0, 0, 255}; // row 2, column 2
    auto in = picture(3, 3, colours);
    PDCBCR *ycc = RGBtoCBCR(&in.record);
    ASSERT_NE(ycc, nullptr);
    // cw = ch = 2: group (1, 1) is sample 3 and holds the blue pixel alone.
    EXPECT_EQ(ycc->Ydata[8], 29);
    EXPECT_EQ(ycc->CbData[3], 255);
    EXPECT_EQ(ycc->CrData[3], 107);
    // Groups (0, 1) and (1, 0) are the green pixels only, like group (0, 0).
    EXPECT_EQ(ycc->CbData[1], ycc->CbData[0]);
    EXPECT_EQ(ycc->CbData[2], ycc->CbData[0]);
    EXPECT_EQ(ycc->CrData[2], ycc->CrData[0]);

    PDRGB *out = CBCRtoRGB(ycc);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(rgb(out->data[8]), (Rgb{0, 1, 254}));
    for (int n = 0; n < 8; ++n)
        EXPECT_EQ(rgb(out->data[n]), rgb(out->data[0])) << n;
    freeRGB(out);
    freeCBCR(ycc);
}

TEST(Colour, EachPixelTakesTheChromaOfItsOwnGroup)
{
    // 3x3 samples: luminance 100 everywhere, every group a different Cr.
    auto in =
        planes(3, 3, std::vector<int16_t>(9, 100), {128, 128, 128, 128}, {129, 130, 131, 132});
    PDRGB *out = CBCRtoRGB(&in.record);
    ASSERT_NE(out, nullptr);
    // Cr 129 to 132 give R = 101.402, 102.804, 104.206, 105.608, truncated.
    const int red[9] = {101, 101, 102, 101, 101, 102, 104, 104, 105};
    for (int n = 0; n < 9; ++n)
        EXPECT_EQ(out->data[n].R, red[n]) << n;
    freeRGB(out);
}

TEST(Colour, AFullHdGreyPictureSurvivesTheRoundTrip)
{
    const uint32_t w = 1920, h = 1080;
    std::vector<Rgb> colours(std::size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const int v = static_cast<int>((x / 2 + 3 * (y / 2)) % 256);
            colours[std::size_t{y} * w + x] = Rgb{v, v, v};
        }
    auto in = picture(w, h, colours);
    PDCBCR *ycc = RGBtoCBCR(&in.record);
    ASSERT_NE(ycc, nullptr);
    PDRGB *out = CBCRtoRGB(ycc);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->w, w);
    EXPECT_EQ(out->h, h);
    EXPECT_EQ(out->dBytes, 0);
    for (std::size_t n = 0; n < colours.size(); ++n)
        ASSERT_EQ(rgb(out->data[n]), colours[n]) << n;
    freeRGB(out);
    freeCBCR(ycc);
}

TEST(Colour, NullArgumentsAreRefusedBeforeAnyAllocation)
{
    int16_t sample = 0;
    const PDRGB no_pixels{1, 1, nullptr, 1};
    const PDCBCR no_y{1, 1, 1, nullptr, &sample, &sample};
    const PDCBCR no_cb{1, 1, 1, &sample, nullptr, &sample};
    const PDCBCR no_cr{1, 1, 1, &sample, &sample, nullptr};
    fi::reset();
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(RGBtoCBCR(nullptr), nullptr); }), kNullLine);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(RGBtoCBCR(&no_pixels), nullptr); }), kNullLine);
    EXPECT_EQ(stdout_of([] { EXPECT_EQ(CBCRtoRGB(nullptr), nullptr); }), kNullLine);
    for (const PDCBCR *in : {&no_y, &no_cb, &no_cr})
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(CBCRtoRGB(in), nullptr); }), kNullLine);
    EXPECT_EQ(fi::allocations(), 0);
}

struct Size {
    uint32_t w, h;
};

class InvalidSize : public testing::TestWithParam<Size>
{
};

TEST_P(InvalidSize, IsRefusedBeforeAnyAllocation)
{
    // The planes are never read: one sample stands for all of them.
    BMPPIX8BNA pixel{};
    int16_t sample = 0;
    const PDRGB rgb_in{GetParam().w, GetParam().h, &pixel, 0};
    const PDCBCR ycc_in{GetParam().w, GetParam().h, 0, &sample, &sample, &sample};
    fi::reset();
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(RGBtoCBCR(&rgb_in), nullptr); }), kInvalidLine);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(CBCRtoRGB(&ycc_in), nullptr); }), kInvalidLine);
    EXPECT_EQ(fi::allocations(), 0);
}

INSTANTIATE_TEST_SUITE_P(Records, InvalidSize,
                         testing::Values(Size{0, 5}, Size{5, 0}, Size{0, 0}, Size{65536, 65536},
                                         Size{1431655766, 1}, Size{1, 1431655766},
                                         Size{UINT32_MAX, UINT32_MAX}));

// Runs body with each allocation in turn failing; every failing run must
// print the memory line, return null and hold nothing.
template <typename Body> long each_failure_is_clean(Body body)
{
    std::string printed;
    bool returned_null = false;
    return fi::each_allocation_failing(
        [&] { printed = stdout_of([&] { returned_null = body(); }); },
        [&](long n) {
            SCOPED_TRACE(n);
            EXPECT_EQ(printed, kMemoryLine);
            EXPECT_TRUE(returned_null);
            EXPECT_EQ(fi::live_blocks(), 0);
        });
}

TEST(Colour, ReleasesEverythingWhenAnAllocationFails)
{
    auto in = picture(3, 3, std::vector<Rgb>(9, Rgb{1, 2, 3}));
    const long forward = each_failure_is_clean([&] {
        PDCBCR *out = RGBtoCBCR(&in.record);
        freeCBCR(out);
        return out == nullptr;
    });
    EXPECT_EQ(forward, 4); // record, Y, Cb, Cr

    auto ycc = planes(3, 3, std::vector<int16_t>(9, 50), std::vector<int16_t>(4, 128),
                      std::vector<int16_t>(4, 128));
    const long inverse = each_failure_is_clean([&] {
        PDRGB *out = CBCRtoRGB(&ycc.record);
        freeRGB(out);
        return out == nullptr;
    });
    EXPECT_EQ(inverse, 2); // record, pixels
}

extern "C" int imgcodec_c_caller(void);

TEST(Colour, TheHeaderServesACCaller)
{
    EXPECT_EQ(imgcodec_c_caller(), 1);
}

TEST(FreeCBCR, AcceptsNullAndARecordWithoutPlanes)
{
    freeCBCR(nullptr);
    fi::reset();
    auto *rec = static_cast<PDCBCR *>(std::calloc(1, sizeof(PDCBCR)));
    ASSERT_NE(rec, nullptr);
    rec->CbData = static_cast<int16_t *>(std::calloc(4, sizeof(int16_t)));
    freeCBCR(rec);
    EXPECT_EQ(fi::live_blocks(), 0);
}

// roun: halves away from zero, exact through |num| < 16384, and defined for
// every other double.
struct Rounding {
    double num;
    int expected;
};

void PrintTo(const Rounding &r, std::ostream *os)
{
    *os << r.num;
}

class Roun : public testing::TestWithParam<Rounding>
{
};

TEST_P(Roun, RoundsHalfAwayFromZeroAndSaturates)
{
    EXPECT_EQ(roun(GetParam().num), GetParam().expected);
}

constexpr double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Values, Roun,
    testing::Values(Rounding{2.5, 3}, Rounding{-2.5, -3}, Rounding{0.49, 0}, Rounding{0.5, 1},
                    Rounding{-0.5, -1}, Rounding{-0.49999999999999994, 0}, Rounding{-0.0, 0},
                    Rounding{1e-300, 0}, Rounding{254.5, 255}, Rounding{16383.49, 16383},
                    Rounding{16383.5, 16384}, Rounding{-16383.5, -16384},
                    Rounding{16383.999999999998, 16384}, Rounding{16384.0, 16384},
                    Rounding{16384.5, 16385}, Rounding{-16384.5, -16385}, Rounding{32766.5, 32767},
                    Rounding{32767.49, 32767}, Rounding{32767.5, 32767}, Rounding{-32767.5, -32768},
                    Rounding{-32768.5, -32768}, Rounding{1e300, 32767}, Rounding{-1e300, -32768},
                    Rounding{kInf, 32767}, Rounding{-kInf, -32768},
                    Rounding{std::numeric_limits<double>::quiet_NaN(), 0}));

TEST(Roun, AgreesWithRoundingOnEveryQuarterUpTo16384)
{
    for (int quarter = -4 * 16384 + 1; quarter < 4 * 16384; ++quarter) {
        const double num = quarter / 4.0;
        ASSERT_EQ(roun(num), std::round(num)) << num;
    }
}

} // namespace
