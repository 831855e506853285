// The whole picture path, file to file: BMP -> RGB -> YCbCr -> quantised
// blocks -> YCbCr -> RGB -> BMP, on a picture with the smooth areas, edges
// and fine texture of a photograph.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "imgcodec.h"

namespace
{

uint8_t clamp8(double v)
{
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v));
}

// A sky that darkens upwards, two soft lit blobs, a hard-edged dark box,
// ripples and a little sensor noise.
std::vector<BMPPIX8BNA> photo_like(uint32_t w, uint32_t h)
{
    std::mt19937 gen(20240611);
    std::vector<BMPPIX8BNA> px(std::size_t{w} * h);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const double fx = double(x) / w, fy = double(y) / h;
            const double blob1 =
                std::exp(-((fx - 0.3) * (fx - 0.3) + (fy - 0.6) * (fy - 0.6)) * 18);
            const double blob2 =
                std::exp(-((fx - 0.75) * (fx - 0.75) + (fy - 0.3) * (fy - 0.3)) * 30);
            const double ripple = 12 * std::sin(x * 0.9) * std::cos(y * 0.7);
            const bool box = x > w / 2 && x < w / 2 + 17 && y > h / 5 && y < h / 5 + 13;
            const double noise = static_cast<int>(gen() % 7) - 3;
            double r = 60 + 120 * fy + 150 * blob1 + 40 * blob2 + ripple + noise;
            double g = 90 + 80 * fy + 60 * blob1 + 140 * blob2 - ripple + noise;
            double b = 200 - 90 * fy + 20 * blob1 + 30 * blob2 + 0.5 * ripple + noise;
            if (box)
                r = g = b = 25 + noise;
            px[std::size_t{y} * w + x] = {clamp8(b), clamp8(g), clamp8(r)};
        }
    return px;
}

std::string temp_file(const std::string &name)
{
    return testing::TempDir() + "dctlab_path_test_" + name + ".bmp";
}

struct Measure {
    long max_luma_error;
    double luma_squares;
};

TEST(PicturePath, FileToFileTheErrorStartsAtRoundingAndGrowsWithTheRate)
{
    const uint32_t w = 97, h = 61;
    std::vector<BMPPIX8BNA> pixels = photo_like(w, h);
    const PDRGB original{w, h, pixels.data(), static_cast<uint8_t>(w % 4)};
    const std::string source = temp_file("source"), result = temp_file("result");
    writeToBMP(source.c_str(), &original);

    PDRGB *in = getRGBFromFile(source.c_str());
    ASSERT_NE(in, nullptr);
    ASSERT_EQ(in->w, w);
    ASSERT_EQ(in->h, h);
    for (std::size_t n = 0; n < pixels.size(); ++n)
        ASSERT_TRUE(in->data[n].R == pixels[n].R && in->data[n].G == pixels[n].G &&
                    in->data[n].B == pixels[n].B)
            << n;
    PDCBCR *ycc = RGBtoCBCR(in);
    ASSERT_NE(ycc, nullptr);

    std::vector<Measure> measures;
    for (uint8_t rate : {0, 2, 10, 50, 255}) {
        SCOPED_TRACE(int{rate});
        DCTDATA *blocks = toDCT2(ycc, rate);
        ASSERT_NE(blocks, nullptr);
        PDCBCR *back = returnFromDCT(blocks, rate);
        ASSERT_NE(back, nullptr);
        PDRGB *out = CBCRtoRGB(back);
        ASSERT_NE(out, nullptr);
        writeToBMP(result.c_str(), out);
        PDRGB *again = getRGBFromFile(result.c_str());
        ASSERT_NE(again, nullptr);
        ASSERT_EQ(again->w, w);
        ASSERT_EQ(again->h, h);
        for (std::size_t n = 0; n < pixels.size(); ++n)
            ASSERT_TRUE(again->data[n].R == out->data[n].R && again->data[n].G == out->data[n].G &&
                        again->data[n].B == out->data[n].B)
                << n;

        Measure m{0, 0.0};
        for (std::size_t n = 0; n < std::size_t{w} * h; ++n) {
            const long d = back->Ydata[n] - ycc->Ydata[n];
            m.max_luma_error = std::max(m.max_luma_error, std::labs(d));
            m.luma_squares += double(d) * double(d);
        }
        measures.push_back(m);
        // The plate check reports the same sum.
        std::ostringstream sum;
        sum << "Sum = " << std::fixed;
        sum.precision(2);
        sum << m.luma_squares << "\n";
        EXPECT_NE(stdout_of([&] { testPSNROnPlate(ycc, back); }).find(sum.str()),
                  std::string::npos);

        freeRGB(again);
        freeRGB(out);
        freeCBCR(back);
        freeDCT(blocks);
    }
    // At rate 0 only the rounding of coefficients and samples is lost.
    EXPECT_LE(measures[0].max_luma_error, 2);
    for (std::size_t n = 1; n < measures.size(); ++n) {
        EXPECT_GT(measures[n].luma_squares, measures[n - 1].luma_squares) << n;
        EXPECT_GE(measures[n].max_luma_error, measures[n - 1].max_luma_error) << n;
    }

    freeCBCR(ycc);
    freeRGB(in);
    std::remove(source.c_str());
    std::remove(result.c_str());
}

} // namespace
