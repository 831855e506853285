#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "capture.h"
#include "sizemag.h"
#include "temp_dir.h"

namespace
{

struct Split {
    int number;
    int size;
    int magnitude;
};

void PrintTo(const Split &s, std::ostream *os)
{
    *os << s.number;
}

class SizemagTable : public testing::TestWithParam<Split>
{
};

TEST_P(SizemagTable, GivesCategoryAndOnesComplementMagnitude)
{
    const Split s = GetParam();
    char size = -1;
    int16_t magnitude = -1;
    EXPECT_EQ(sizemag(static_cast<int16_t>(s.number), &size, &magnitude), 1);
    EXPECT_EQ(size, s.size);
    EXPECT_EQ(magnitude, s.magnitude);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SizemagTable,
    testing::Values(Split{0, 0, 0}, Split{1, 1, 1}, Split{-1, 1, 0}, Split{2, 2, 2},
                    Split{-2, 2, 1}, Split{3, 2, 3}, Split{-3, 2, 0}, Split{5, 3, 5},
                    Split{-5, 3, 2}, Split{1024, 11, 1024}, Split{-1024, 11, 1023},
                    Split{2047, 11, 2047}, Split{-2047, 11, 0}, Split{-2048, 12, 2047},
                    Split{32767, 15, 32767}, Split{-32767, 15, 0},
                    // Outside the coefficient range: counted as 16 unsigned bits.
                    Split{-32768, 16, 32767}));

TEST(Sizemag, EveryValueSplitsIntoBitsThatRebuildIt)
{
    for (int v = -32767; v <= 32767; ++v) {
        char size = 0;
        int16_t magnitude = 0;
        sizemag(static_cast<int16_t>(v), &size, &magnitude);
        const int abs = v < 0 ? -v : v;
        ASSERT_EQ(size, static_cast<char>(bc(static_cast<int16_t>(abs))));
        ASSERT_GE(magnitude, 0);
        ASSERT_LT(magnitude, 1 << size);
        if (size > 0) {
            // The top magnitude bit tells the sign: set for positive values.
            const bool top = (magnitude >> (size - 1)) & 1;
            ASSERT_EQ(top, v > 0) << v;
            const int rebuilt = top ? magnitude : magnitude - (1 << size) + 1;
            ASSERT_EQ(rebuilt, v);
        }
        ASSERT_TRUE(abs == 0 || (abs >> (size - 1)) == 1) << v;
    }
}

TEST(Bc, CountsSixteenUnsignedBitsForEveryInput)
{
    EXPECT_EQ(bc(0), 0);
    EXPECT_EQ(bc(1), 1);
    EXPECT_EQ(bc(3), 2);
    EXPECT_EQ(bc(16384), 15);
    EXPECT_EQ(bc(-1), 16);
    EXPECT_EQ(bc(INT16_MIN), 16);
}

// Runs body in a fresh temporary directory, which is removed afterwards.
class InTempDir : public testing::Test
{
  protected:
    void SetUp() override
    {
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.path());
    }
    void TearDown() override { std::filesystem::current_path(old_); }
    TempDir dir_{"sizemag"};
    std::filesystem::path old_;
};

const char kBanner[] =
    "-----------------------------------\nSTARTING TESTs OF THE SIZEMAG MODULE\n";

TEST_F(InTempDir, SelfTestWritesAllValuesFromMinus2048To2047)
{
    int result = 0;
    EXPECT_EQ(stdout_of([&] { result = sizemag_test(); }), kBanner);
    EXPECT_EQ(result, 1);

    std::ifstream in("test_sizemag");
    std::stringstream text;
    text << in.rdbuf();
    std::string expected;
    for (int k = -2048; k <= 2047; ++k) {
        char size = 0;
        int16_t magnitude = 0;
        sizemag(static_cast<int16_t>(k), &size, &magnitude);
        expected += std::to_string(k) + "\t" + std::to_string(size) + "\t" +
                    std::to_string(magnitude) + "\n";
    }
    EXPECT_EQ(text.str(), expected);
    EXPECT_EQ(text.str().substr(0, 13), "-2048\t12\t2047");
    EXPECT_NE(text.str().find("\n0\t0\t0\n"), std::string::npos);
}

TEST_F(InTempDir, SelfTestReportsAFileItCannotOpen)
{
    ASSERT_EQ(mkdir("test_sizemag", 0700), 0); // a directory cannot be opened for writing
    int result = 1;
    EXPECT_EQ(stdout_of([&] { result = sizemag_test(); }),
              std::string(kBanner) + "ERROR: Can't open file for writing!\n");
    EXPECT_EQ(result, 0);
}

} // namespace
