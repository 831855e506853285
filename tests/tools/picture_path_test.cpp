// The program's way forward and back in strips against the library's
// whole-picture way: the same coefficients and pixels, byte for byte,
// wherever the strips fall.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "picture_path.h"
#include "synthetic_picture.h"

namespace
{

using namespace dctlab::tool;

struct StripCase {
    uint32_t w, h;
    uint8_t rate;
};

class Strips : public testing::TestWithParam<StripCase>
{
};

TEST_P(Strips, GiveWhatTheWholePlanesGive)
{
    const StripCase c = GetParam();
    RgbPtr input = make_synthetic_picture(c.w, c.h, c.w ^ c.h);
    ASSERT_TRUE(input);
    Reconstruction whole;
    std::string error;
    ASSERT_TRUE(run_path(*input, c.rate, whole, error)) << error;

    DctPtr coefficients = transform_picture(*input, c.rate, error);
    ASSERT_TRUE(coefficients) << error;
    const DCTDATA &x = *whole.coefficients, &y = *coefficients;
    ASSERT_EQ(x.w, y.w);
    ASSERT_EQ(x.h, y.h);
    ASSERT_EQ(x.YBlks, y.YBlks);
    ASSERT_EQ(x.CBlks, y.CBlks);
    EXPECT_EQ(0, std::memcmp(x.YdataDCT, y.YdataDCT, 128u * x.YBlks));
    EXPECT_EQ(0, std::memcmp(x.CbDataDCT, y.CbDataDCT, 128u * x.CBlks));
    EXPECT_EQ(0, std::memcmp(x.CrDataDCT, y.CrDataDCT, 128u * x.CBlks));

    RgbPtr strips = restore_picture(*whole.coefficients, c.rate, error);
    ASSERT_TRUE(strips) << error;
    const PDRGB &a = *whole.picture, &b = *strips;
    ASSERT_EQ(a.w, b.w);
    ASSERT_EQ(a.h, b.h);
    EXPECT_EQ(a.dBytes, b.dBytes);
    EXPECT_EQ(0, std::memcmp(a.data, b.data, std::size_t{3} * a.w * a.h));
}

// Strips are 16 rows or more, about 2^16 pixels: widths past 4096 cut 16-row
// strips, with a last strip of 1, 15 or 16 rows; narrower pictures cut
// fewer, taller ones; a picture of one strip takes the whole way.
INSTANTIATE_TEST_SUITE_P(Sizes, Strips,
                         testing::Values(StripCase{4097, 17, 2}, StripCase{4098, 31, 10},
                                         StripCase{4099, 48, 0}, StripCase{641, 481, 40},
                                         StripCase{640, 97, 255}, StripCase{1, 1, 2},
                                         StripCase{200, 4001, 1}));

TEST(Strips, RefuseARecordWhoseCountsDisagreeWithItsSize)
{
    RgbPtr input = make_synthetic_picture(4097, 40);
    ASSERT_TRUE(input);
    Reconstruction whole;
    std::string error;
    ASSERT_TRUE(run_path(*input, 10, whole, error)) << error;
    DCTDATA damaged = *whole.coefficients;
    damaged.YBlks -= 1;
    testing::internal::CaptureStdout();
    RgbPtr picture = restore_picture(damaged, 10, error);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(picture);
    EXPECT_EQ("inverse transform failed", error);
    EXPECT_NE(std::string::npos, printed.find("ERROR:")) << printed;
}

} // namespace
