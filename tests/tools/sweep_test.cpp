// The sweep's rate ranges: parsed exactly, refused whole when anything is
// off; and its rows: those of the whole path at each rate, measured the plain
// way, whatever the number of processes.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "distortion.h"
#include "picture_path.h"
#include "sweep.h"
#include "synthetic_picture.h"

namespace
{

using dctlab::tool::parse_rate_range;
using dctlab::tool::RateRange;

struct RangeCase {
    const char *text;
    bool accepted;
    std::vector<int> rates;
};

TEST(Sweep, RateRangesAreParsedExactlyOrRefused)
{
    const std::vector<RangeCase> cases{
        {"0:100:5", true, {0,  5,  10, 15, 20, 25, 30, 35, 40, 45, 50,
                           55, 60, 65, 70, 75, 80, 85, 90, 95, 100}},
        {"7:7:1", true, {7}},
        {"0:255:254", true, {0, 254}},
        {"200:255:2147483600", true, {200}},
        {"200:255:2147483647", true, {200}},
        {"0:255:2147483648", false, {}},
        {"0:4294967297:1", false, {}},
        {"4294967296:4:1", false, {}},
        {"0:256:1", false, {}},
        {"9:3:1", false, {}},
        {"0:10:0", false, {}},
        {"-1:10:1", false, {}},
        {"+1:10:1", false, {}},
        {" 1:10:1", false, {}},
        {"1:10:1 ", false, {}},
        {"1:10", false, {}},
        {"1:10:1:1", false, {}},
        {"1::1", false, {}},
        {"", false, {}},
        {"0x1:10:1", false, {}},
        {"000000000000000000001:2:1", false, {}},
    };
    for (const RangeCase &c : cases) {
        RateRange range;
        std::string error;
        ASSERT_EQ(parse_rate_range(c.text, range, error), c.accepted) << '"' << c.text << '"';
        if (c.accepted) {
            EXPECT_EQ(range.rates(), c.rates) << c.text;
        } else {
            EXPECT_FALSE(error.empty()) << c.text;
        }
    }
}

// The row of one rate from the whole records of run_path, measured channel
// by channel.
dctlab::tool::SweepRow whole_path_row(const PDRGB &picture, int rate)
{
    using namespace dctlab::tool;
    Reconstruction path;
    std::string error;
    EXPECT_TRUE(run_path(picture, static_cast<uint8_t>(rate), path, error)) << error;
    JpegFile file;
    EXPECT_TRUE(encode_file(*path.coefficients, rate, file, error)) << error;
    const Distortion d = measure(picture, *path.picture, *path.planes, *path.restored);
    return {rate, psnr_db(d.peak, d.luma), psnr_db(3 * d.peak, d.red + d.green + d.blue),
            bits_per_pixel(file.size, picture.w, picture.h)};
}

TEST(Sweep, RowsAreThoseOfTheWholePathWhateverTheProcesses)
{
    using namespace dctlab::tool;
    const std::vector<int> rates{0, 3, 20, 255};
    // One strip, and strips whose last one is short (130 rows at 500
    // pixels a row make strips of 128).
    for (const auto &[w, h] : {std::pair<uint32_t, uint32_t>{17, 33}, {500, 130}}) {
        RgbPtr picture = make_synthetic_picture(w, h, w + h);
        ASSERT_TRUE(picture);
        std::vector<SweepRow> want;
        for (int rate : rates)
            want.push_back(whole_path_row(*picture, rate));
        for (unsigned processes : {1u, 2u, 3u, 8u}) {
            std::vector<SweepRow> rows;
            std::string error;
            size_t calls = 0;
            ASSERT_TRUE(sweep(
                *picture, rates, rows, error, [&](size_t, size_t) { ++calls; }, processes))
                << error;
            ASSERT_EQ(rows.size(), want.size());
            EXPECT_EQ(calls, rates.size());
            for (size_t i = 0; i < rows.size(); ++i) {
                EXPECT_EQ(rows[i].rate, want[i].rate);
                EXPECT_EQ(rows[i].psnr_y, want[i].psnr_y) << w << "x" << h << " rate " << rates[i];
                EXPECT_EQ(rows[i].psnr_rgb, want[i].psnr_rgb)
                    << w << "x" << h << " rate " << rates[i];
                EXPECT_EQ(rows[i].bits_per_pixel, want[i].bits_per_pixel);
            }
        }
    }
}

} // namespace
