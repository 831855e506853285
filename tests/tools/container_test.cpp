#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container.h"

namespace
{

using dctlab::tool::MemorySink;
using dctlab::tool::MemorySource;
using Bytes = std::vector<uint8_t>;

Bytes pack_bytes(const Bytes &input, uint32_t block_size = dctlab::tool::kDefaultBlockSize)
{
    MemorySource in(input.data(), input.size());
    MemorySink out;
    std::string error;
    EXPECT_TRUE(dctlab::tool::pack(in, out, block_size, error)) << error;
    return out.bytes;
}

bool unpack_bytes(const Bytes &container, Bytes &output, std::string &error)
{
    MemorySource in(container.data(), container.size());
    MemorySink out;
    const bool ok = dctlab::tool::unpack(in, out, error);
    output = out.bytes;
    return ok;
}

Bytes text_like(size_t size, uint32_t seed)
{
    static const char *words[] = {"the ",  "quick ",       "brown ",  "fox ", "jumps ",
                                  "over ", "a ",           "lazy ",   "dog",  ". ",
                                  "\n",    "coefficient ", "Huffman "};
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        const char *w = words[rng() % 13];
        out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    }
    out.resize(size);
    return out;
}

// Symbol i occurs fib(i) times: the plain Huffman tree is a chain deeper
// than the 22 levels the decoder serves.
Bytes fibonacci_counts()
{
    Bytes out;
    uint64_t a = 1, b = 1;
    for (int symbol = 0; symbol < 27; ++symbol) {
        out.insert(out.end(), a, static_cast<uint8_t>(symbol * 7));
        const uint64_t next = a + b;
        a = b;
        b = next;
    }
    std::shuffle(out.begin(), out.end(), std::mt19937(3));
    return out;
}

struct Input {
    const char *name;
    Bytes bytes;
    uint32_t block_size;
};

void PrintTo(const Input &i, std::ostream *os)
{
    *os << i.name;
}

class ContainerRoundTrip : public testing::TestWithParam<Input>
{
};

TEST_P(ContainerRoundTrip, UnpackReturnsEveryByte)
{
    const Input &input = GetParam();
    const Bytes container = pack_bytes(input.bytes, input.block_size);
    Bytes restored;
    std::string error;
    ASSERT_TRUE(unpack_bytes(container, restored, error)) << error;
    EXPECT_EQ(restored, input.bytes);
}

std::vector<Input> inputs()
{
    std::mt19937 rng(11);
    Bytes all(256), random(100000), binary(60000);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<uint8_t>(i);
    for (auto &b : random)
        b = static_cast<uint8_t>(rng());
    for (size_t i = 0; i < binary.size(); ++i) // mostly small values, some structure
        binary[i] = static_cast<uint8_t>(i % 64 == 0 ? rng() : (rng() % 9 == 0 ? rng() % 32 : 0));
    return {{"empty", {}, dctlab::tool::kDefaultBlockSize},
            {"one_byte", {42}, dctlab::tool::kDefaultBlockSize},
            {"one_repeated_byte", Bytes(5000, 'x'), dctlab::tool::kDefaultBlockSize},
            {"all_256_values", all, dctlab::tool::kDefaultBlockSize},
            {"random", random, dctlab::tool::kDefaultBlockSize},
            {"text", text_like(80000, 5), dctlab::tool::kDefaultBlockSize},
            {"binary", binary, dctlab::tool::kDefaultBlockSize},
            {"deeper_than_22_levels", fibonacci_counts(), dctlab::tool::kDefaultBlockSize},
            {"many_blocks", text_like(10000, 6), 777},
            {"exact_blocks", text_like(4096, 7), 1024}};
}

INSTANTIATE_TEST_SUITE_P(Inputs, ContainerRoundTrip, testing::ValuesIn(inputs()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Container, EmptyInputIsHeaderAndEndMarker)
{
    const Bytes container = pack_bytes({});
    EXPECT_EQ(container, (Bytes{'D', 'L', 'H', 'F', 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// A small container with two blocks, and where its parts begin.
struct Sample {
    Bytes container;
    Bytes original;
};

Sample sample()
{
    const std::string text = "abracadabra, said the wizard; abracadabra!";
    Bytes original(text.begin(), text.end());
    return {pack_bytes(original, 30), original};
}

TEST(Container, EveryTruncationIsRefused)
{
    const Sample s = sample();
    for (size_t length = 0; length < s.container.size(); ++length) {
        Bytes cut(s.container.begin(), s.container.begin() + static_cast<long>(length)), out;
        std::string error;
        EXPECT_FALSE(unpack_bytes(cut, out, error)) << "length " << length;
        EXPECT_FALSE(error.empty());
    }
}

TEST(Container, EveryFlippedBitIsRefused)
{
    // One block keeps this quick: every flip that passes the header checks
    // fills a whole lookup table.
    const std::string text = "abracadabra!";
    const Sample s{pack_bytes(Bytes(text.begin(), text.end())), {}};
    for (size_t byte = 0; byte < s.container.size(); ++byte)
        for (int bit = 0; bit < 8; ++bit) {
            Bytes damaged = s.container, out;
            damaged[byte] ^= static_cast<uint8_t>(1u << bit);
            std::string error;
            EXPECT_FALSE(unpack_bytes(damaged, out, error)) << "byte " << byte << " bit " << bit;
            EXPECT_FALSE(error.empty());
        }
}

TEST(Container, AppendedBytesAreRefused)
{
    Bytes damaged = sample().container, out;
    damaged.push_back(0);
    std::string error;
    EXPECT_FALSE(unpack_bytes(damaged, out, error));
    EXPECT_EQ(error, "data after the end marker");
}

struct Damage {
    const char *name;
    size_t offset; // from the start of the first block's table stream
    std::vector<uint8_t> bytes;
    const char *message;
};

void PrintTo(const Damage &d, std::ostream *os)
{
    *os << d.name;
}

class ContainerDamage : public testing::TestWithParam<Damage>
{
};

// Named failures of the first block of "abracadabra": its table stream is
// 05 00 00 00 61 63 64 62 72 00 00 00 B2 at offset 25.
TEST_P(ContainerDamage, NamesWhatIsWrong)
{
    const std::string text = "abracadabra";
    Bytes container = pack_bytes(Bytes(text.begin(), text.end())), out;
    const Damage &d = GetParam();
    for (size_t i = 0; i < d.bytes.size(); ++i)
        container[25 + d.offset + i] = d.bytes[i];
    std::string error;
    EXPECT_FALSE(unpack_bytes(container, out, error));
    EXPECT_NE(error.find(d.message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ContainerDamage,
    testing::Values(Damage{"leaf_count_zero", 0, {0}, "leaf count 0 is outside 1 to 256"},
                    Damage{"leaf_count_large", 3, {1}, "outside 1 to 256"},
                    Damage{"repeated_symbol", 5, {0x61}, "appears twice"},
                    Damage{"shape_ends_early", 9, {0, 0, 0, 0xFF}, "ends before the tree"},
                    Damage{"shape_goes_on", 9, {0, 0, 0, 0xB0}, "continues after a complete"},
                    Damage{"shape_padding", 9, {0x01, 0, 0, 0xB2}, "bits after the tree shape"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Container, RefusesOtherVersionsAndMagic)
{
    Bytes container = pack_bytes({1, 2, 3}), out;
    std::string error;
    container[4] = 9;
    EXPECT_FALSE(unpack_bytes(container, out, error));
    EXPECT_EQ(error, "container version 9 is not supported (this dctlab reads version 1)");
    container[0] = 'X';
    EXPECT_FALSE(unpack_bytes(container, out, error));
    EXPECT_EQ(error, "not a dctlab container");
}

} // namespace
