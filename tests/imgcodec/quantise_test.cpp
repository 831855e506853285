// Quantisation, the conversions between block types and the zigzag order.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <iterator>

#include <gtest/gtest.h>

#include "capture.h"
#include "dct_reference.h"
#include "fault_injection.h"
#include "imgcodec.h"

namespace
{

using dctref::kInvalidLine;
using dctref::kMemoryLine;
using dctref::kNullLine;
using Coefficients = std::array<int16_t, 64>;

// Taken before main, while nothing has filled the matrix yet.
const Coefficients kAtStart = [] {
    Coefficients c{};
    std::copy(std::begin(QUANT_MAT), std::end(QUANT_MAT), c.begin());
    return c;
}();

// Fills QUANT_MAT for a rate the way a caller does: through a transform.
void fill_for_rate(uint16_t rate)
{
    int16_t sample = 0;
    PDCBCR one{1, 1, 1, &sample, &sample, &sample};
    DCTDATA *d = toDCT2(&one, rate);
    ASSERT_NE(d, nullptr);
    freeDCT(d);
}

// The same through the inverse transform, which takes the rate 8 bits wide.
void fill_for_rate_backwards(uint8_t rate)
{
    int16_t block[64] = {};
    const DCTDATA one{1, 1, 1, 1, block, block, block};
    PDCBCR *planes = returnFromDCT(&one, rate);
    ASSERT_NE(planes, nullptr);
    freeCBCR(planes);
}

void set_all_divisors(int16_t d)
{
    std::fill(std::begin(QUANT_MAT), std::end(QUANT_MAT), d);
}

TEST(QuantMat, StartsAsOneAndZerosWhichQuantumRefuses)
{
    Coefficients unfilled{};
    unfilled[0] = 1;
    EXPECT_EQ(kAtStart, unfilled);

    std::copy(unfilled.begin(), unfilled.end(), std::begin(QUANT_MAT));
    const std::array<double, 64> block{};
    fi::reset();
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(quantum(block.data()), nullptr); }), kInvalidLine);
    EXPECT_EQ(fi::allocations(), 0);
    // So is a fill whose products wrapped into negative divisors.
    QUANT_MAT[63] = -32761;
    QUANT_MAT[0] = 1;
    std::fill(std::begin(QUANT_MAT) + 1, std::end(QUANT_MAT) - 1, int16_t{5});
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(quantum(block.data()), nullptr); }), kInvalidLine);
}

struct Fill {
    uint16_t rate;
    int16_t at0, at1, at8, at63;
};

class QuantMatFill : public testing::TestWithParam<Fill>
{
};

TEST_P(QuantMatFill, IsRateTimesAntiDiagonalPlusOne)
{
    const Fill f = GetParam();
    for (bool forward : {true, false}) {
        if (!forward && f.rate > 255)
            break;
        std::fill(std::begin(QUANT_MAT), std::end(QUANT_MAT), int16_t{-1});
        if (forward)
            fill_for_rate(f.rate);
        else
            fill_for_rate_backwards(static_cast<uint8_t>(f.rate));
        SCOPED_TRACE(forward ? "toDCT2" : "returnFromDCT");
        EXPECT_EQ(QUANT_MAT[0], f.at0);
        EXPECT_EQ(QUANT_MAT[1], f.at1);
        EXPECT_EQ(QUANT_MAT[8], f.at8);
        EXPECT_EQ(QUANT_MAT[63], f.at63);
        for (int r = 0; r < 8; ++r)
            for (int c = 0; c < 8; ++c)
                EXPECT_EQ(QUANT_MAT[8 * r + c], f.rate * (r + c) + 1) << r << "," << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, QuantMatFill,
                         testing::Values(Fill{0, 1, 1, 1, 1}, Fill{10, 1, 11, 11, 141},
                                         Fill{255, 1, 256, 256, 3571},
                                         Fill{2340, 1, 2341, 2341, 32761}));

TEST(Quantum, RateTenExamplesAtTheLastPosition)
{
    fill_for_rate(10);
    std::array<double, 64> in{};
    const std::array<double, 3> inputs = {150.0, -75.0, 70.0};
    const std::array<int16_t, 3> quantised = {1, -1, 0};
    const std::array<int16_t, 3> restored = {141, -141, 0};
    for (std::size_t n = 0; n < inputs.size(); ++n) {
        in[63] = inputs[n];
        int16_t *q = quantum(in.data());
        ASSERT_NE(q, nullptr);
        EXPECT_EQ(q[63], quantised[n]) << inputs[n];
        int16_t *back = unQuantum(q);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back[63], restored[n]) << inputs[n];
        std::free(back);
        std::free(q);
    }
}

struct Division {
    int16_t divisor;
    double input;
    int16_t quotient;
};

class QuantumRounding : public testing::TestWithParam<Division>
{
};

TEST_P(QuantumRounding, IsNearestWithHalvesAwayFromZero)
{
    const Division d = GetParam();
    set_all_divisors(d.divisor);
    std::array<double, 64> in{};
    in.fill(d.input);
    int16_t *q = quantum(in.data());
    ASSERT_NE(q, nullptr);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(q[i], d.quotient) << i;
    std::free(q);
}

INSTANTIATE_TEST_SUITE_P(Examples, QuantumRounding,
                         testing::Values(Division{2, 5, 3}, Division{2, -5, -3}, Division{3, 4, 1},
                                         Division{3, 5, 2}, Division{3, 0, 0}, Division{1, 2.5, 3},
                                         Division{1, -2.5, -3}, Division{7, 3.4, 0},
                                         Division{7, 3.5, 1}, Division{7, -3.5, -1},
                                         Division{32761, 16383, 1}, Division{32761, -16381, -1},
                                         Division{32761, 16380, 0}));

TEST(UnQuantum, MultipliesByTheDivisorInSixteenBits)
{
    fill_for_rate(0);
    Coefficients in{};
    for (int i = 0; i < 64; ++i)
        in[i] = static_cast<int16_t>(i * 511 - 16000);
    int16_t *same = unQuantum(in.data());
    ASSERT_NE(same, nullptr);
    EXPECT_TRUE(std::equal(in.begin(), in.end(), same));
    std::free(same);

    set_all_divisors(3571);
    in.fill(10); // 35710 keeps its low 16 bits: -29826
    in[6] = -9;
    int16_t *scaled = unQuantum(in.data());
    ASSERT_NE(scaled, nullptr);
    EXPECT_EQ(scaled[5], -29826);
    EXPECT_EQ(scaled[6], -32139);
    std::free(scaled);
}

TEST(BlockConversion, DoublesRoundHalfAwayFromZero)
{
    std::array<double, 64> in{};
    const std::array<double, 6> values = {2.5, -2.5, 2.4999, -0.5, 0.49, -1234.5};
    const std::array<int16_t, 6> rounded = {3, -3, 2, -1, 0, -1235};
    std::copy(values.begin(), values.end(), in.begin());
    Coefficients out{};
    dblToshrt(in.data(), out.data());
    for (std::size_t n = 0; n < values.size(); ++n)
        EXPECT_EQ(out[n], rounded[n]) << values[n];

    Coefficients shorts{};
    shorts[0] = -32768;
    shorts[63] = 32767;
    std::array<double, 64> doubles{};
    doubles.fill(99.0);
    shrtTodbl(shorts.data(), doubles.data());
    EXPECT_EQ(doubles[0], -32768.0);
    EXPECT_EQ(doubles[63], 32767.0);
    EXPECT_EQ(doubles[1], 0.0);
}

TEST(BlockConversion, NullPointersPrintTheLineAndWriteNothing)
{
    Coefficients shorts{};
    shorts.fill(7);
    std::array<double, 64> doubles{};
    doubles.fill(7.0);
    const Coefficients shorts_before = shorts;
    const std::array<double, 64> doubles_before = doubles;
    EXPECT_EQ(stdout_of([&] { shrtTodbl(nullptr, doubles.data()); }), kNullLine);
    EXPECT_EQ(stdout_of([&] { shrtTodbl(shorts.data(), nullptr); }), kNullLine);
    EXPECT_EQ(stdout_of([&] { dblToshrt(nullptr, shorts.data()); }), kNullLine);
    EXPECT_EQ(stdout_of([&] { dblToshrt(doubles.data(), nullptr); }), kNullLine);
    EXPECT_EQ(stdout_of([&] { zigzag(nullptr, shorts.data()); }), kNullLine);
    EXPECT_EQ(stdout_of([&] { zigzag(shorts.data(), nullptr); }), kNullLine);
    EXPECT_EQ(shorts, shorts_before);
    EXPECT_EQ(doubles, doubles_before);
}

TEST(Zigzag, TheWalkIsPermMatAndRevPermMatUndoesIt)
{
    Coefficients in{}, walk{};
    walk.fill(-1);
    zigzag(in.data(), walk.data());
    for (int k = 0; k < 64; ++k)
        EXPECT_EQ(walk[k], PERM_MAT[k]) << k;

    Coefficients block{}, ordered{}, back{};
    for (int p = 0; p < 64; ++p)
        block[p] = static_cast<int16_t>(1000 - 37 * p);
    for (int k = 0; k < 64; ++k)
        ordered[k] = block[PERM_MAT[k]];
    for (int p = 0; p < 64; ++p)
        back[p] = ordered[REV_PERM_MAT[p]];
    EXPECT_EQ(back, block);
}

TEST(Quantum, FailingAllocationsPrintTheLineAndLeakNothing)
{
    fill_for_rate(4);
    const std::array<double, 64> doubles{};
    const Coefficients shorts{};
    for (bool forward : {true, false}) {
        std::string printed;
        int16_t *out = nullptr;
        const long sites = fi::each_allocation_failing(
            [&] {
                printed = stdout_of(
                    [&] { out = forward ? quantum(doubles.data()) : unQuantum(shorts.data()); });
                std::free(out);
            },
            [&](long) {
                EXPECT_EQ(printed, kMemoryLine);
                EXPECT_EQ(out, nullptr);
                EXPECT_EQ(fi::live_blocks(), 0);
            });
        EXPECT_EQ(sites, 1) << forward;
    }
}

} // namespace
