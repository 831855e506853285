#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "packin.h"
#include "packout.h"

namespace
{

struct Cursor {
    int index = 0;
    int free = 32;
};

struct Field {
    uint32_t value;
    int width;
};

std::vector<uint32_t> write_fields(const std::vector<Field> &fields, Cursor &cursor,
                                   size_t words = 8)
{
    std::vector<uint32_t> out(words, 0);
    for (const Field &f : fields)
        EXPECT_EQ(putbits(f.value, f.width, out.data(), &cursor.index, &cursor.free), 1);
    return out;
}

TEST(Putbits, ThirtyOneAndOneBitFillExactlyOneWord)
{
    Cursor c;
    auto words = write_fields({{0x7FFFFFFFu, 31}, {1, 1}}, c);
    EXPECT_EQ(words[0], 0xFFFFFFFFu);
    EXPECT_EQ(words[1], 0u);
    EXPECT_EQ(c.index, 1);
    EXPECT_EQ(c.free, 32);
}

TEST(Putbits, FieldCrossingAWordIsSplitHighBitsFirst)
{
    Cursor c;
    auto words = write_fields({{5, 3}, {0xDEADBEEFu, 32}}, c);
    EXPECT_EQ(words[0], 0xBBD5B7DDu);
    EXPECT_EQ(words[1], 0xE0000000u);
    EXPECT_EQ(c.index, 1);
    EXPECT_EQ(c.free, 29);
}

TEST(Putbits, ThirtyTwoBitFieldAtAFreshWordFillsIt)
{
    Cursor c{1, 32};
    auto words = write_fields({{0x89ABCDEFu, 32}}, c);
    EXPECT_EQ(words[0], 0u);
    EXPECT_EQ(words[1], 0x89ABCDEFu);
    EXPECT_EQ(words[2], 0u);
    EXPECT_EQ(c.index, 2);
    EXPECT_EQ(c.free, 32);
}

TEST(Putbits, WidthZeroChangesNothing)
{
    Cursor c{0, 7};
    auto words = write_fields({{0, 0}}, c, 2);
    EXPECT_EQ(words, (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(c.index, 0);
    EXPECT_EQ(c.free, 7);
}

TEST(Getbits, CrossingReadTakesLowBitsFromTheNextWord)
{
    const uint32_t words[2] = {0x00000002u, 0x80000000u}; // ...10 | 1...
    int index = 0, free = 2;
    EXPECT_EQ(getbits(words, &index, &free, 3), 5u);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(free, 31);
}

TEST(Getbits, WidthZeroReturnsZeroAndKeepsTheCursor)
{
    const uint32_t words[1] = {0xFFFFFFFFu};
    int index = 0, free = 32;
    EXPECT_EQ(getbits(words, &index, &free, 0), 0u);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(free, 32);
}

struct WideRead {
    int free_before;
    uint32_t expected;
    int index_after;
    int free_after;
};

void PrintTo(const WideRead &r, std::ostream *os)
{
    *os << "free_bits " << r.free_before;
}

class GetbitsThirtyTwo : public testing::TestWithParam<WideRead>
{
};

TEST_P(GetbitsThirtyTwo, ReturnsTheWholeFieldAndMovesThirtyTwoBits)
{
    const uint32_t words[3] = {0x12345678u, 0x9ABCDEF0u, 0u};
    const WideRead r = GetParam();
    int index = 0, free = r.free_before;
    EXPECT_EQ(getbits(words, &index, &free, 32), r.expected);
    EXPECT_EQ(index, r.index_after);
    EXPECT_EQ(free, r.free_after);
}

INSTANTIATE_TEST_SUITE_P(Alignments, GetbitsThirtyTwo,
                         testing::Values(WideRead{32, 0x12345678u, 1, 32},
                                         WideRead{1, 0x4D5E6F78u, 1, 1}, // bit 0, then 31
                                         WideRead{16, 0x56789ABCu, 1, 16},
                                         WideRead{31, 0x2468ACF1u, 1, 31}));

// A plain reference: the stream as a string of '0' and '1', packed into words
// only at the end.
std::vector<uint32_t> pack_reference(const std::string &bits)
{
    std::vector<uint32_t> words(bits.size() / 32 + 2, 0);
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == '1')
            words[i / 32] |= 0x80000000u >> (i % 32);
    return words;
}

TEST(BitStream, RandomMixedWidthsRoundTripAgainstAReferenceBitString)
{
    std::mt19937 rng(20261208);
    for (int trial = 0; trial < 200; ++trial) {
        const int count = 1 + static_cast<int>(rng() % 300);
        std::vector<Field> fields;
        std::string bits;
        for (int i = 0; i < count; ++i) {
            const int width = static_cast<int>(rng() % 33);
            const uint64_t range = uint64_t{1} << width;
            const uint32_t value = static_cast<uint32_t>(rng() % range);
            fields.push_back({value, width});
            for (int b = width - 1; b >= 0; --b)
                bits.push_back(((value >> b) & 1u) ? '1' : '0');
        }
        const std::vector<uint32_t> expected = pack_reference(bits);

        std::vector<uint32_t> words(expected.size(), 0);
        Cursor w;
        for (const Field &f : fields)
            putbits(f.value, f.width, words.data(), &w.index, &w.free);
        ASSERT_EQ(words, expected) << "trial " << trial;
        EXPECT_EQ(32 * w.index + (32 - w.free), static_cast<int>(bits.size()));
        // The writer touches only the ceil(T/32) words that T bits need.
        ASSERT_GE(w.free, 1);
        ASSERT_LE(w.free, 32);

        Cursor r;
        for (size_t i = 0; i < fields.size(); ++i)
            ASSERT_EQ(getbits(words.data(), &r.index, &r.free, fields[i].width), fields[i].value)
                << "trial " << trial << " field " << i;
        EXPECT_EQ(r.index, w.index);
        EXPECT_EQ(r.free, w.free);
    }
}

} // namespace
