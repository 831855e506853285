// Whole files through form_tree and encode and back through the decoder's
// caller duties, with the encoded size checked against independent optima.
#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "caller.h"
#include "optimum.h"

namespace
{

struct Input {
    const char *name;
    std::function<Bytes()> make;
    bool needs_limit; // the plain Huffman tree is deeper than 22 levels
};

void PrintTo(const Input &in, std::ostream *os)
{
    *os << in.name;
}

Bytes shuffled(Bytes data, unsigned seed)
{
    std::mt19937 rng(seed);
    std::shuffle(data.begin(), data.end(), rng);
    return data;
}

Bytes random_bytes()
{
    std::mt19937 rng(7);
    Bytes data(1 << 16);
    for (uint8_t &b : data)
        b = static_cast<uint8_t>(rng());
    return data;
}

Bytes geometric_bytes()
{
    // Each byte half as frequent as the one before: lengths 1, 2, 3, ...
    std::mt19937 rng(11);
    std::geometric_distribution<int> dist(0.5);
    Bytes data(1 << 17);
    for (uint8_t &b : data)
        b = static_cast<uint8_t>(std::min(dist(rng), 255));
    return data;
}

Bytes all_values()
{
    Bytes data;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b)
            data.push_back(static_cast<uint8_t>(b));
    return shuffled(data, 3);
}

// Fibonacci counts over 30 bytes: a plain tree of 28 levels, about 2 MB.
Bytes fibonacci_bytes()
{
    Bytes data;
    int64_t a = 1, b = 1;
    for (int s = 0; s < 30; ++s) {
        data.insert(data.end(), static_cast<size_t>(a), static_cast<uint8_t>(0x80 + s));
        const int64_t next = a + b;
        a = b;
        b = next;
    }
    return shuffled(data, 5);
}

// A large file with a few rare bytes among common ones.
Bytes rare_bytes()
{
    Bytes data(1 << 21, 'e');
    std::mt19937 rng(13);
    for (size_t i = 0; i < data.size(); i += 3)
        data[i] = static_cast<uint8_t>('a' + rng() % 4);
    for (int k = 0; k < 8; ++k)
        data[rng() % data.size()] = static_cast<uint8_t>(k);
    return data;
}

class RoundTrip : public ::testing::TestWithParam<Input>
{
};

TEST_P(RoundTrip, DecodesToTheInputWithOptimalSize)
{
    const Bytes data = GetParam().make();
    const Encoded enc = encode_bytes(data);
    ASSERT_EQ(enc.encode_result, 1);

    const Counts counts = byte_counts(data);
    const std::vector<int64_t> wide(counts.begin(), counts.end());
    int64_t bits = 0;
    int longest = 0;
    for (int b = 0; b < 256; ++b) {
        bits += static_cast<int64_t>(counts[b]) * enc.codes[b].length;
        longest = std::max(longest, enc.codes[b].length);
    }
    EXPECT_LE(longest, 22);
    EXPECT_EQ(bits, limited_cost(wide, 22));
    if (GetParam().needs_limit) {
        EXPECT_GT(bits, huffman_cost(wide));
    } else {
        EXPECT_EQ(bits, huffman_cost(wide));
    }
    EXPECT_EQ(enc.file.size() - enc.table_bytes, static_cast<size_t>((bits + 31) / 32 * 4));

    const Decoded dec = decode_file(enc.file, data.size());
    ASSERT_TRUE(dec.ok);
    EXPECT_EQ(dec.table.bytes, enc.table_bytes);
    ASSERT_EQ(dec.bytes.size(), data.size());
    EXPECT_TRUE(dec.bytes == data)
        << "first difference at "
        << std::mismatch(data.begin(), data.end(), dec.bytes.begin()).first - data.begin();
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(dec.codes[b].code, enc.codes[b].code) << "byte " << b;
        EXPECT_EQ(dec.codes[b].length, enc.codes[b].length) << "byte " << b;
    }
    // The cursor stands just past the window: all code bits and 32 more.
    if (!data.empty()) {
        EXPECT_EQ(32 * int64_t{dec.word_index} + (32 - dec.free_bits), bits + 32);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, RoundTrip,
                         ::testing::Values(Input{"Empty", [] { return Bytes{}; }, false},
                                           Input{"OneByte", [] { return Bytes{0x5A}; }, false},
                                           Input{"OneRepeatedByte",
                                                 [] { return Bytes(1000, 0xFF); }, false},
                                           Input{"TwoValues",
                                                 [] {
                                                     Bytes data(999, 0);
                                                     data.push_back(255);
                                                     return shuffled(data, 1);
                                                 },
                                                 false},
                                           Input{"AllValues", all_values, false},
                                           Input{"Text",
                                                 [] {
                                                     std::string text;
                                                     for (int i = 0; i < 500; ++i)
                                                         text +=
                                                             "abracadabra, the quick brown fox " +
                                                             std::to_string(i * 7919) + "\n";
                                                     return bytes_of(text);
                                                 },
                                                 false},
                                           Input{"RandomBytes", random_bytes, false},
                                           Input{"Geometric", geometric_bytes, false},
                                           Input{"RareBytes", rare_bytes, false},
                                           Input{"FibonacciDeeperThan22", fibonacci_bytes, true}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace

namespace
{

// One symbol: a single-leaf tree, whose code has no bits. The file is the
// table stream alone, of any count, and decodes to the count asked for.
TEST(RoundTrip, ASingleSymbolOfEveryCountIsTheTableStreamAlone)
{
    std::vector<size_t> counts;
    for (size_t n = 1; n <= 300; ++n)
        counts.push_back(n);
    for (int k = 9; k <= 16; ++k)
        for (size_t n : {(size_t{1} << k) - 1, size_t{1} << k, (size_t{1} << k) + 1})
            counts.push_back(n);
    for (size_t n : counts) {
        const auto symbol = static_cast<uint8_t>(n * 31);
        const Encoded enc = encode_bytes(Bytes(n, symbol));
        ASSERT_EQ(enc.encode_result, 1) << n;
        ASSERT_EQ(enc.file, (Bytes{1, 0, 0, 0, symbol, 0, 0, 0, 0})) << n;
        const Decoded dec = decode_file(enc.file, n);
        ASSERT_TRUE(dec.ok) << n;
        ASSERT_EQ(dec.bytes, Bytes(n, symbol)) << n;
    }
}

} // namespace
