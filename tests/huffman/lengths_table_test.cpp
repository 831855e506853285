// The compact table of a code's lengths: what the writer writes reads back
// as the same lengths, the canonical code is the one its definition gives,
// and every kind of damage is refused by name.
#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "build_code.h"
#include "lengths_layout.h"
#include "read_lengths.h"
#include "short_decode.h"
#include "write_lengths.h"

namespace
{

namespace hf = dctlab::huffman;
using Lengths = std::array<uint8_t, 256>;

Lengths lengths_of(const std::array<int32_t, 256> &counts, int limit)
{
    static hf::CodeScratch scratch;
    std::array<HUFFCODE, 256> codes;
    hf::TableBytes table;
    hf::build_code(counts.data(), 256, limit, scratch, codes.data(), table);
    Lengths lengths;
    for (int b = 0; b < 256; ++b)
        lengths[b] = static_cast<uint8_t>(codes[b].length);
    return lengths;
}

// Codes of at most `limit` bits (11, or 15 for a long table).
std::vector<std::pair<std::string, Lengths>> codes_to_carry(int limit = hf::short_code_bits)
{
    std::vector<std::pair<std::string, Lengths>> cases;
    std::mt19937 rng(31);
    std::array<int32_t, 256> counts{};
    counts[7] = counts[200] = 1;
    cases.emplace_back("two_leaves", lengths_of(counts, limit));
    counts.fill(1);
    cases.emplace_back("all_256_equal", lengths_of(counts, limit));
    for (int b = 0; b < 256; ++b)
        counts[b] = 1 << (b % 20);
    cases.emplace_back("skewed_to_the_limit", lengths_of(counts, limit));
    for (int round = 0; round < 200; ++round) {
        // Runs of absent values of every length, as text and binary have.
        counts.fill(0);
        const int present = 2 + static_cast<int>(rng() % 255);
        for (int i = 0; i < present; ++i)
            counts[rng() % (round % 3 == 0 ? 256 : 1 + rng() % 256)] += 1 + rng() % 5000;
        if (std::count_if(counts.begin(), counts.end(), [](int32_t c) { return c != 0; }) < 2)
            counts[0] = counts[255] = 1;
        cases.emplace_back("random_" + std::to_string(round), lengths_of(counts, limit));
    }
    return cases;
}

TEST(LengthsTable, ReadsBackWhatItWrote)
{
    for (const hf::LengthsLayout layout : {hf::short_lengths, hf::long_lengths})
        for (const auto &[name, lengths] : codes_to_carry(layout.longest)) {
            const std::string what = name + " in " + std::to_string(layout.longest) + " bits";
            hf::LengthsTable table;
            hf::write_lengths_table(lengths.data(), table, layout);
            ASSERT_LE(table.size, layout.most_bytes()) << what;
            EXPECT_EQ(hf::lengths_table_size(lengths.data(), layout), table.size) << what;
            Lengths back;
            std::string error;
            ASSERT_TRUE(hf::read_lengths_table(table.bytes.data(), table.size, back, error, layout))
                << what << ": " << error;
            EXPECT_EQ(back, lengths) << what;
            // Its end found among the bytes that follow it (a final block's
            // stream), whatever they are; and none where it is cut short.
            std::vector<uint8_t> followed(table.bytes.begin(), table.bytes.begin() + table.size);
            followed.insert(followed.end(), 300, static_cast<uint8_t>(table.size * 37));
            EXPECT_EQ(hf::lengths_table_extent(followed.data(), followed.size(), error, layout),
                      table.size)
                << what << ": " << error;
            EXPECT_EQ(hf::lengths_table_extent(table.bytes.data(), table.size - 1, error, layout),
                      0u)
                << what;
        }
}

TEST(LengthsTable, CanonicalCodesCountUpByLengthThenValue)
{
    // All 256 lengths, and the first few alone (as many as a lengths
    // table's own code has, and an odd count), which split unevenly into the
    // quarters the codes are dealt out in.
    for (const auto &[name, lengths] : codes_to_carry()) {
        for (const int n : {256, 14, 13, 5}) {
            std::array<HUFFCODE, 256> codes;
            std::array<uint8_t, 256> order;
            const int leaves = hf::canonical_codes(lengths.data(), n, codes.data(), order.data());
            // Each code, left-aligned to 11 bits, starts where the one
            // before it in (length, value) order ended; of all 256, the last
            // ends at 2^11.
            std::vector<int> expected;
            for (int len = 1; len <= 11; ++len)
                for (int b = 0; b < n; ++b)
                    if (lengths[b] == len)
                        expected.push_back(b);
            ASSERT_EQ(leaves, static_cast<int>(expected.size())) << name << " " << n;
            uint32_t at = 0;
            for (int i = 0; i < leaves; ++i) {
                const HUFFCODE &c = codes[expected[i]];
                ASSERT_EQ(order[i], expected[i]) << name << " " << n;
                ASSERT_EQ(c.length, lengths[expected[i]]) << name << " " << n;
                ASSERT_EQ(static_cast<uint32_t>(c.code) << (11 - c.length), at)
                    << name << " " << n << " " << i;
                at += 1u << (11 - c.length);
            }
            for (int b = 0; b < n; ++b) {
                if (lengths[b] == 0) {
                    ASSERT_EQ(codes[b].length, 0) << name << " " << n;
                }
            }
            if (n == 256) {
                EXPECT_EQ(at, 1u << 11) << name;
            }
        }
    }
}

TEST(LengthsTable, DecoderBuiltFromLengthsIsTheOneBuiltFromTheirCodes)
{
    std::mt19937 rng(32);
    for (const auto &[name, lengths] : codes_to_carry()) {
        std::array<HUFFCODE, 256> codes;
        std::array<uint8_t, 256> order;
        const int leaves = hf::canonical_codes(lengths.data(), 256, codes.data(), order.data());
        hf::ShortDecoder from_codes, from_lengths;
        ASSERT_TRUE(from_codes.build(codes.data(), order.data(), leaves)) << name;
        ASSERT_TRUE(from_lengths.build_canonical(lengths.data())) << name;
        ASSERT_EQ(from_lengths.longest(), from_codes.longest()) << name;
        std::vector<uint8_t> words(4 * 64);
        for (auto &b : words)
            b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> a(400), b(400);
        EXPECT_EQ(from_lengths.decode(words.data(), 64, a.data(), a.size()),
                  from_codes.decode(words.data(), 64, b.data(), b.size()))
            << name;
        EXPECT_EQ(a, b) << name;
        // Four streams with two symbols a look-up: the table of pairs made
        // from entries in order of length, as the codes' is made.
        const size_t four_bytes[4] = {64, 64, 61, 63};
        std::array<uint64_t, 4> used_a, used_b;
        ASSERT_TRUE(from_lengths.make_room(words.size()) && from_codes.make_room(words.size()));
        from_lengths.decode_four(words.data(), four_bytes, a.data(), 360, used_a.data(), true);
        from_codes.decode_four(words.data(), four_bytes, b.data(), 360, used_b.data(), true);
        EXPECT_EQ(used_a, used_b) << name;
        EXPECT_EQ(a, b) << name;
    }
    // What is no complete code of two or more leaves, of at most 11 bits.
    Lengths one{}, over{}, under{}, deep{};
    one[5] = 1;
    over[0] = over[1] = over[2] = 1;
    under[0] = 1;
    under[1] = 2;
    deep[0] = 1;
    for (int b = 1; b <= 11; ++b)
        deep[b] = static_cast<uint8_t>(b + 1);
    deep[12] = 12;
    for (const Lengths &bad : {Lengths{}, one, over, under, deep}) {
        hf::ShortDecoder d;
        EXPECT_FALSE(d.build_canonical(bad.data()));
        EXPECT_EQ(d.longest(), -1);
    }
}

// Tables built field by field, most significant bit first.
std::vector<uint8_t> bits(const std::vector<std::pair<uint32_t, int>> &fields)
{
    std::vector<uint8_t> out;
    size_t at = 0;
    for (const auto &[value, width] : fields)
        for (int i = width - 1; i >= 0; --i, ++at) {
            if (at % 8 == 0)
                out.push_back(0);
            if ((value >> i) & 1u)
                out.back() |= static_cast<uint8_t>(0x80u >> (at % 8));
        }
    return out;
}

// The length symbols' code lengths, symbol 0 to 13.
std::vector<std::pair<uint32_t, int>> own_code(const std::array<int, 14> &lengths)
{
    std::vector<std::pair<uint32_t, int>> fields;
    for (int len : lengths)
        fields.emplace_back(len, 3);
    return fields;
}

std::vector<std::pair<uint32_t, int>> operator+(std::vector<std::pair<uint32_t, int>> a,
                                                const std::vector<std::pair<uint32_t, int>> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(LengthsTable, RefusesDamageByName)
{
    // Symbol 1 has code 0 and symbol 13 (11 + 7 bits of zeros) code 1:
    // bytes 0 and 1 have one-bit codes, 254 bytes none (138 + 116).
    const auto one_and_runs = own_code({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    const std::vector<std::pair<uint32_t, int>> two_ones = {{0, 1}, {0, 1}};
    const std::vector<std::pair<uint32_t, int>> runs = {{1, 1}, {127, 7}, {1, 1}, {105, 7}};
    const std::vector<uint8_t> good = bits(one_and_runs + two_ones + runs);
    Lengths lengths;
    std::string error;
    ASSERT_TRUE(hf::read_lengths_table(good.data(), good.size(), lengths, error)) << error;
    EXPECT_EQ(lengths[0], 1);
    EXPECT_EQ(lengths[1], 1);
    EXPECT_EQ(std::count(lengths.begin(), lengths.end(), 0), 254);

    std::vector<uint8_t> longer = good;
    longer.push_back(0);
    std::vector<uint8_t> padded = good;
    padded.back() |= 1;
    const std::vector<uint8_t> cut(good.begin(), good.begin() + 3);
    struct Case {
        const char *name;
        std::vector<uint8_t> table;
        const char *error;
    };
    const Case cases[] = {
        {"own_code_cut", cut, "lengths table ends before its code"},
        {"own_code_incomplete",
         bits(own_code({0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2}) + two_ones + runs),
         "lengths table's own code is not complete"},
        {"own_code_over_full",
         bits(own_code({1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}) + two_ones + runs),
         "lengths table's own code is not complete"},
        {"one_symbol_of_two_bits", bits(own_code({0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0})),
         "lengths table's own code is not complete"},
        {"no_code", bits(own_code({0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}) + std::vector<std::pair<uint32_t, int>>{{1, 1}}),
         "lengths table holds bits that are no code"},
        {"lengths_cut", bits(one_and_runs + two_ones + std::vector<std::pair<uint32_t, int>>{{1, 1}, {127, 7}}),
         "lengths table ends before its 256 lengths"},
        {"run_past_255", bits(one_and_runs + two_ones + std::vector<std::pair<uint32_t, int>>{{1, 1}, {127, 7}, {1, 1}, {106, 7}}),
         "lengths table runs past byte value 255"},
        {"longer", longer, "lengths table is longer than its lengths need"},
        {"padding", padded, "bits after the lengths are not 0"},
        {"one_leaf", bits(one_and_runs + std::vector<std::pair<uint32_t, int>>{{0, 1}, {1, 1}, {127, 7}, {1, 1}, {106, 7}}),
         "lengths give no complete code of two or more byte values"},
        {"incomplete_code", bits(own_code({0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}) + std::vector<std::pair<uint32_t, int>>(256, {0, 1})),
         "lengths give no complete code of two or more byte values"},
    };
    for (const Case &c : cases) {
        EXPECT_FALSE(hf::read_lengths_table(c.table.data(), c.table.size(), lengths, error))
            << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

TEST(LengthsTable, LongTablesCarryLengthsOfTwelveToFifteenBits)
{
    // A chain of 16 leaves of 1 to 15 bits: written in a long table, it
    // reads back; read as a short table, it is refused.
    Lengths chain{};
    for (int b = 0; b < 15; ++b)
        chain[static_cast<size_t>(b * 16)] = static_cast<uint8_t>(b + 1);
    chain[255] = 15;
    hf::LengthsTable table;
    hf::write_lengths_table(chain.data(), table, hf::long_lengths);
    Lengths back;
    std::string error;
    ASSERT_TRUE(
        hf::read_lengths_table(table.bytes.data(), table.size, back, error, hf::long_lengths))
        << error;
    EXPECT_EQ(back, chain);
    EXPECT_FALSE(hf::read_lengths_table(table.bytes.data(), table.size, back, error));
    // Field by field: 18 fields, the runs at symbols 16 and 17. Symbol 1
    // has code 0 and symbol 17 (11 + 7 bits of zeros) code 1, as in the
    // short table above, whose own code the 14 fields would cut short.
    std::vector<std::pair<uint32_t, int>> own(18, {0, 3});
    own[1] = {1, 3};
    own[17] = {1, 3};
    const std::vector<std::pair<uint32_t, int>> two_ones_and_runs = {{0, 1},   {0, 1}, {1, 1},
                                                                     {127, 7}, {1, 1}, {105, 7}};
    const std::vector<uint8_t> good = bits(own + two_ones_and_runs);
    ASSERT_TRUE(hf::read_lengths_table(good.data(), good.size(), back, error, hf::long_lengths))
        << error;
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[1], 1);
    EXPECT_EQ(std::count(back.begin(), back.end(), 0), 254);
    EXPECT_FALSE(hf::read_lengths_table(good.data(), good.size(), back, error));
}

} // namespace
