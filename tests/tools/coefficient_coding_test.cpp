#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "coefficient_coding.h"

namespace
{

using dctlab::tool::symbolise_plane;
using dctlab::tool::SymbolStreams;
using Block = std::array<int16_t, 64>;

SymbolStreams symbolise(const std::vector<Block> &blocks)
{
    std::vector<int16_t> flat;
    for (const Block &b : blocks)
        flat.insert(flat.end(), b.begin(), b.end());
    SymbolStreams s;
    symbolise_plane(flat.data(), static_cast<uint32_t>(blocks.size()), s);
    return s;
}

TEST(CoefficientCoding, BlockOfZerosIsCategoryZeroAndOneEndOfBlock)
{
    const SymbolStreams s = symbolise({Block{}});
    EXPECT_EQ(s.dc, std::vector<uint8_t>{0});
    EXPECT_EQ(s.ac, std::vector<uint8_t>{0x00});
    EXPECT_EQ(s.magnitude_bits, 0u);
}

TEST(CoefficientCoding, SixteenZerosBeforeACoefficientGiveTheLongRunSymbol)
{
    Block b{};
    b[17] = 3;  // zigzag elements 1 to 16 are zero: one run of 16
    b[63] = -1; // then 45 zeros: two long runs and a run of 13
    const SymbolStreams s = symbolise({b});
    EXPECT_EQ(s.ac, (std::vector<uint8_t>{0xF0, 0x02, 0xF0, 0xF0, 0xD1}));
    EXPECT_EQ(s.magnitude_bits, 2u + 1u);
}

TEST(CoefficientCoding, DcIsCodedAsTheDifferenceFromThePreviousBlock)
{
    Block a{}, b{}, c{};
    a[0] = 100; // difference 100: category 7
    b[0] = 100; // difference 0
    c[0] = 97;  // difference -3: category 2
    c[1] = 1;
    const SymbolStreams s = symbolise({a, b, c});
    EXPECT_EQ(s.dc, (std::vector<uint8_t>{7, 0, 2}));
    EXPECT_EQ(s.ac, (std::vector<uint8_t>{0x00, 0x00, 0x01, 0x00}));
    EXPECT_EQ(s.magnitude_bits, 7u + 2u + 1u);
}

TEST(CoefficientCoding, EveryPlaneStartsItsPredictionAtZero)
{
    Block a{};
    a[0] = 5;
    EXPECT_EQ(symbolise({a}).dc, std::vector<uint8_t>{3});
    EXPECT_EQ(symbolise({a}).dc, std::vector<uint8_t>{3});
}

TEST(CoefficientCoding, LastCoefficientNonZeroNeedsNoEndOfBlock)
{
    Block b{};
    b[63] = 1;
    EXPECT_EQ(symbolise({b}).ac, (std::vector<uint8_t>{0xF0, 0xF0, 0xF0, 0xE1}));
}

TEST(CoefficientCoding, HuffmanBytesAreWhatTheEncoderWrites)
{
    // Table stream for one symbol: count, symbol, one shape word; no code bits.
    EXPECT_EQ(dctlab::tool::huffman_coded_bytes({7, 7, 7}), 4 + 1 + 4);
    // Two symbols of one bit each: 10 table bytes, 3 code bits in one word.
    EXPECT_EQ(dctlab::tool::huffman_coded_bytes({1, 2, 2}), 4 + 2 + 4 + 4);
    EXPECT_EQ(dctlab::tool::huffman_coded_bytes({}), 8);
}

} // namespace
