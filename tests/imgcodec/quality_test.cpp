// The lines the quality checks print, and the transform self-check.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "dct_reference.h"
#include "fault_injection.h"
#include "imgcodec.h"

namespace
{

using namespace dctref;

struct Rgb {
    uint32_t w, h;
    std::vector<BMPPIX8BNA> pixels;
    PDRGB record() { return PDRGB{w, h, pixels.data(), static_cast<uint8_t>(w % 4)}; }
};

Rgb rgb(uint32_t w, uint32_t h, BMPPIX8BNA fill)
{
    return Rgb{w, h, std::vector<BMPPIX8BNA>(std::size_t{w} * h, fill)};
}

struct Luma {
    uint32_t w, h;
    std::vector<int16_t> y;
    PDCBCR record() { return PDCBCR{w, h, 0, y.data(), y.data(), y.data()}; }
};

std::string rgb_report(const std::string &k, const std::string &r, const std::string &g,
                       const std::string &b)
{
    return "K = " + k + "\nTesting PSNR for R component of image.\nR Sum = " + r +
           "\nTesting PSNR for G component of image.\nG Sum = " + g +
           "\nTesting PSNR for B component of image.\nB Sum = " + b + "\n";
}

TEST(PsnrForRgb, PrintsKAndTheThreeSums)
{
    Rgb a = rgb(2, 2, {10, 20, 30});
    PDRGB ra = a.record();
    EXPECT_EQ(stdout_of([&] { testPSNRforRGB(&ra, &ra); }), rgb_report("260100", "0", "0", "0"));

    Rgb black = rgb(1, 1, {7, 9, 0}), red = rgb(1, 1, {7, 9, 255});
    PDRGB rb = black.record(), rr = red.record();
    EXPECT_EQ(stdout_of([&] { testPSNRforRGB(&rb, &rr); }), rgb_report("65025", "65025", "0", "0"));

    // Beyond 32 bits: K, and a sum as large as K.
    Rgb big = rgb(512, 512, {0, 0, 100}), green = rgb(512, 512, {1, 255, 100});
    PDRGB rbig = big.record(), rgreen = green.record();
    EXPECT_EQ(stdout_of([&] { testPSNRforRGB(&rbig, &rgreen); }),
              rgb_report("17045913600", "0", "17045913600", "262144"));
}

TEST(PsnrForRgb, AddressesTheSecondPictureWithItsOwnWidth)
{
    Rgb before = rgb(2, 2, {1, 2, 3});
    Rgb after = rgb(3, 2, {1, 2, 3});
    after.pixels[2] = after.pixels[5] = {200, 200, 200}; // its third column
    after.pixels[4].B = 4;                               // row 1, column 1
    PDRGB b = before.record(), a = after.record();
    EXPECT_EQ(stdout_of([&] { testPSNRforRGB(&b, &a); }), rgb_report("260100", "0", "0", "9"));
}

TEST(PsnrOnPlate, PrintsTheSumAndTheRatio)
{
    Luma a{2, 2, {10, 20, 30, 40}}, b{2, 2, {10, 20, 33, 40}};
    PDCBCR ra = a.record(), rb = b.record();
    const std::string heading = "Testing PSNR for whole image.\n";
    EXPECT_EQ(stdout_of([&] { testPSNROnPlate(&ra, &rb); }),
              heading + "Sum = 9.00\nSNR = 28900.000000\n");
    EXPECT_EQ(stdout_of([&] { testPSNROnPlate(&ra, &ra); }), heading + "Sum = 0.00\nSNR = inf\n");

    Luma big{512, 512, std::vector<int16_t>(512 * 512, 100)};
    Luma off{513, 512, std::vector<int16_t>(513 * 512, 99)};
    PDCBCR rbig = big.record(), roff = off.record();
    EXPECT_EQ(stdout_of([&] { testPSNROnPlate(&rbig, &roff); }),
              heading + "Sum = 262144.00\nSNR = 65025.000000\n");
}

TEST(Psnr, RefusesMissingDataAndASmallerSecondPicture)
{
    Rgb pic = rgb(3, 2, {1, 2, 3});
    PDRGB ok = pic.record(), no_data = ok, narrow = ok, low = ok;
    no_data.data = nullptr;
    narrow.w = 2;
    low.h = 1;
    Luma plane{3, 2, std::vector<int16_t>(6, 5)};
    PDCBCR pok = plane.record(), no_y = pok, pnarrow = pok, plow = pok;
    no_y.Ydata = nullptr;
    pnarrow.w = 2;
    plow.h = 1;

    const struct {
        const PDRGB *bfore, *aft;
        const std::string &line;
    } rgb_cases[] = {{nullptr, &ok, kNullLine},    {&ok, nullptr, kNullLine},
                     {&no_data, &ok, kNullLine},   {&ok, &no_data, kNullLine},
                     {&ok, &narrow, kInvalidLine}, {&ok, &low, kInvalidLine}};
    for (const auto &c : rgb_cases)
        EXPECT_EQ(stdout_of([&] { testPSNRforRGB(c.bfore, c.aft); }), c.line);

    const struct {
        const PDCBCR *bfore, *aft;
        const std::string &line;
    } plate_cases[] = {{nullptr, &pok, kNullLine},     {&pok, nullptr, kNullLine},
                       {&no_y, &pok, kNullLine},       {&pok, &no_y, kNullLine},
                       {&pok, &pnarrow, kInvalidLine}, {&pok, &plow, kInvalidLine}};
    for (const auto &c : plate_cases)
        EXPECT_EQ(stdout_of([&] { testPSNROnPlate(c.bfore, c.aft); }), c.line);
}

// The numbers of the 8 lines that follow a heading.
Block matrix_after(const std::string &out, const std::string &heading)
{
    Block m{};
    const std::size_t at = out.find(heading + "\n");
    EXPECT_NE(at, std::string::npos) << heading;
    if (at == std::string::npos)
        return m;
    std::istringstream lines(out.substr(at + heading.size() + 1));
    for (auto &v : m)
        lines >> v;
    EXPECT_FALSE(lines.fail()) << heading;
    return m;
}

TEST(TestDCT, ShowsTheBlockItsTransformAndTheBlockAgain)
{
    const std::string out = stdout_of([] { testDCT(0); });
    for (uint8_t rate : {1, 100, 255})
        EXPECT_EQ(stdout_of([&] { testDCT(rate); }), out);

    // Three headings, each followed by eight lines.
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 27u);
    EXPECT_EQ(lines[0], "Source matrice.");
    EXPECT_EQ(lines[9], "DCT matrice.");
    EXPECT_EQ(lines[18], "REverse DCT.");

    const int row[8] = {34, 33, 35, 33, 32, 33, 34, 35};
    Block block{};
    for (int n = 0; n < 64; ++n)
        block[n] = row[n % 8];
    block[63] = 350;
    const Block dct = forward(block);
    const Block source = matrix_after(out, "Source matrice."),
                transformed = matrix_after(out, "DCT matrice."),
                back = matrix_after(out, "REverse DCT.");
    for (int n = 0; n < 64; ++n) {
        EXPECT_EQ(source[n], block[n]) << n;
        EXPECT_NEAR(transformed[n], dct[n], 6e-5) << n;
        EXPECT_NEAR(back[n], block[n], 6e-5) << n;
    }
}

TEST(TestDCT, StopsWithTheLineWhenTheMatrixLibraryHasNoMemory)
{
    std::string out;
    const long sites = fi::each_allocation_failing(
        [&] { out = stdout_of([] { testDCT(0); }); },
        [&](long n) {
            SCOPED_TRACE(n);
            ASSERT_GE(out.size(), kMemoryLine.size());
            EXPECT_EQ(out.substr(out.size() - kMemoryLine.size()), kMemoryLine);
            EXPECT_EQ(out.find("ERROR"), out.rfind("ERROR"));
            EXPECT_EQ(fi::live_blocks(), 0);
        });
    EXPECT_EQ(sites, 12); // C, its transpose and four products, two blocks each
}

} // namespace
