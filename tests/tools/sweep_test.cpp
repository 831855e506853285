// The sweep's rate ranges: parsed exactly, refused whole when anything is off.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sweep.h"

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

} // namespace
