#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container.h"
#include "crc32_fast.h"

namespace
{

using dctlab::container::MemorySink;
using dctlab::container::MemorySource;
using Bytes = std::vector<uint8_t>;

Bytes pack_bytes(const Bytes &input, uint32_t block_size = dctlab::container::kDefaultBlockSize)
{
    MemorySource in(input.data(), input.size());
    MemorySink out;
    std::string error;
    EXPECT_TRUE(dctlab::container::pack(in, out, block_size, error)) << error;
    return out.bytes;
}

bool unpack_bytes(const Bytes &container, Bytes &output, std::string &error)
{
    MemorySource in(container.data(), container.size());
    MemorySink out;
    const bool ok = dctlab::container::unpack(in, out, error);
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
    return {{"empty", {}, dctlab::container::kDefaultBlockSize},
            {"one_byte", {42}, dctlab::container::kDefaultBlockSize},
            {"one_repeated_byte", Bytes(5000, 'x'), dctlab::container::kDefaultBlockSize},
            {"all_256_values", all, dctlab::container::kDefaultBlockSize},
            {"random", random, dctlab::container::kDefaultBlockSize},
            {"text", text_like(80000, 5), dctlab::container::kDefaultBlockSize},
            {"binary", binary, dctlab::container::kDefaultBlockSize},
            {"deeper_than_22_levels", fibonacci_counts(), dctlab::container::kDefaultBlockSize},
            {"many_blocks", text_like(10000, 6), 777},
            {"exact_blocks", text_like(4096, 7), 1024}};
}

INSTANTIATE_TEST_SUITE_P(Inputs, ContainerRoundTrip, testing::ValuesIn(inputs()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Container, EmptyInputIsHeaderAndEndMarker)
{
    const Bytes container = pack_bytes({});
    EXPECT_EQ(container, (Bytes{'D', 'L', 'H', 'F', 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

// Long enough that Huffman coding pays: the same code as "abracadabra"
// itself, whose table stream is 05 00 00 00 61 63 64 62 72 00 00 00 B2.
Bytes abracadabras()
{
    Bytes out;
    for (int i = 0; i < 4; ++i)
        for (char c : std::string("abracadabra"))
            out.push_back(static_cast<uint8_t>(c));
    return out;
}

Bytes random_bytes(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out(size);
    for (auto &b : out)
        b = static_cast<uint8_t>(rng());
    return out;
}

// Block types and lengths of a container, walked without checking.
std::vector<std::pair<int, uint32_t>> blocks_of(const Bytes &c)
{
    std::vector<std::pair<int, uint32_t>> blocks;
    for (size_t at = 8; at < c.size() && c[at] != 0;) {
        const uint32_t n = c[at + 1] | c[at + 2] << 8 | c[at + 3] << 16 | uint32_t{c[at + 4]} << 24;
        blocks.emplace_back(c[at], n);
        if (c[at] == 2) {
            at += 9 + n;
        } else {
            const auto le = [&](size_t p) {
                return c[p] | c[p + 1] << 8 | c[p + 2] << 16 | uint32_t{c[p + 3]} << 24;
            };
            at += 17 + le(at + 5) + le(at + 9);
        }
    }
    return blocks;
}

// A Huffman block followed by two stored ones.
Bytes sample()
{
    Bytes original = abracadabras();
    const Bytes noise = random_bytes(60, 4);
    original.insert(original.end(), noise.begin(), noise.end());
    const Bytes container = pack_bytes(original, 44);
    EXPECT_EQ(blocks_of(container),
              (std::vector<std::pair<int, uint32_t>>{{1, 44}, {2, 44}, {2, 16}}));
    return container;
}

TEST(Container, EveryTruncationIsRefused)
{
    const Bytes container = sample();
    for (size_t length = 0; length < container.size(); ++length) {
        Bytes cut(container.begin(), container.begin() + static_cast<long>(length)), out;
        std::string error;
        EXPECT_FALSE(unpack_bytes(cut, out, error)) << "length " << length;
        EXPECT_FALSE(error.empty());
    }
}

TEST(Container, EveryFlippedBitIsRefused)
{
    const Bytes container = sample();
    for (size_t byte = 0; byte < container.size(); ++byte)
        for (int bit = 0; bit < 8; ++bit) {
            Bytes damaged = container, out;
            damaged[byte] ^= static_cast<uint8_t>(1u << bit);
            std::string error;
            EXPECT_FALSE(unpack_bytes(damaged, out, error)) << "byte " << byte << " bit " << bit;
            EXPECT_FALSE(error.empty());
        }
}

TEST(Container, BlocksFollowTheStatisticsOfTheInput)
{
    // Text, random bytes, then mostly zeros, 192 KiB each: the text and the
    // zeros get codes of their own, the random bytes are stored (in pieces
    // of at most 4 MiB), and it all comes back.
    Bytes input = text_like(3 << 16, 9);
    const Bytes noise = random_bytes(3 << 16, 10);
    input.insert(input.end(), noise.begin(), noise.end());
    Bytes zeros(3 << 16, 0);
    for (size_t i = 0; i < zeros.size(); i += 97)
        zeros[i] = static_cast<uint8_t>(1 + i % 5);
    input.insert(input.end(), zeros.begin(), zeros.end());
    const Bytes container = pack_bytes(input);
    const auto blocks = blocks_of(container);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0], std::make_pair(1, uint32_t{3 << 16}));
    EXPECT_EQ(blocks[1], std::make_pair(2, uint32_t{3 << 16}));
    EXPECT_EQ(blocks[2], std::make_pair(1, uint32_t{3 << 16}));
    Bytes restored;
    std::string error;
    ASSERT_TRUE(unpack_bytes(container, restored, error)) << error;
    EXPECT_EQ(restored, input);

    const auto stored = blocks_of(pack_bytes(random_bytes(9 << 20, 12)));
    EXPECT_EQ(stored,
              (std::vector<std::pair<int, uint32_t>>{{2, 4 << 20}, {2, 4 << 20}, {2, 1 << 20}}));
}

TEST(Container, AppendedBytesAreRefused)
{
    Bytes damaged = sample(), out;
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

// Named failures of the one Huffman block of abracadabras(), whose table
// stream starts at offset 25.
TEST_P(ContainerDamage, NamesWhatIsWrong)
{
    Bytes container = pack_bytes(abracadabras()), out;
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

TEST(Container, ReadsVersionOneAndRefusesOthers)
{
    // Version 1 had Huffman blocks only, laid out as now.
    Bytes container = pack_bytes(abracadabras()), out;
    std::string error;
    container[4] = 1;
    ASSERT_TRUE(unpack_bytes(container, out, error)) << error;
    EXPECT_EQ(out, abracadabras());

    Bytes stored = pack_bytes({1, 2, 3});
    stored[4] = 1;
    EXPECT_FALSE(unpack_bytes(stored, out, error));
    EXPECT_EQ(error, "block 0: unknown block type 2");

    for (uint8_t version : {0, 3, 9}) {
        container[4] = version;
        EXPECT_FALSE(unpack_bytes(container, out, error));
        EXPECT_EQ(error, "container version " + std::to_string(version) +
                             " is not supported (this dctlab reads versions 1 and 2)");
    }
    container[0] = 'X';
    EXPECT_FALSE(unpack_bytes(container, out, error));
    EXPECT_EQ(error, "not a dctlab container");
}

TEST(Container, StoredBlockDamageIsNamed)
{
    const Bytes good = pack_bytes({1, 2, 3});
    struct Case {
        size_t offset;
        uint8_t value;
        const char *message;
    };
    // type at 8, N at 9, CRC at 13, data at 17
    for (const Case &c :
         {Case{9, 0, "length 0 is outside 1 to"}, Case{12, 0x20, "is outside 1 to"},
          Case{10, 1, "truncated"}, Case{13, 0, "CRC mismatch"}, Case{17, 9, "CRC mismatch"}}) {
        Bytes damaged = good, out;
        damaged[c.offset] = c.value;
        std::string error;
        EXPECT_FALSE(unpack_bytes(damaged, out, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(Container, ABlockClaimingOneSymbolMoreThanItsStreamHoldsIsRefusedAsShort)
{
    // 32 a (1 bit), 8 b and 8 c (2 bits): 64 bits, exactly two words. One
    // symbol more would run past them; the decoder must say so before the
    // CRC can.
    Bytes input(32, 'a');
    input.insert(input.end(), 8, 'b');
    input.insert(input.end(), 8, 'c');
    std::shuffle(input.begin(), input.end(), std::mt19937(15));
    Bytes container = pack_bytes(input), out;
    ASSERT_EQ(blocks_of(container), (std::vector<std::pair<int, uint32_t>>{{1, 48}}));
    ASSERT_EQ(container[17], 8); // E
    container[9] = 49;
    container[container.size() - 8] = 49; // the end marker's total
    std::string error;
    EXPECT_FALSE(unpack_bytes(container, out, error));
    EXPECT_EQ(error, "block 0: encoded stream ends before its 49 symbols");
}

TEST(Container, SingleLeafBlocksCarryAnEmptyStreamAndNothingElse)
{
    // Huffman-coded with no encoded words, as every version has written them.
    Bytes container = pack_bytes(Bytes(5000, 'x')), out;
    ASSERT_EQ(blocks_of(container), (std::vector<std::pair<int, uint32_t>>{{1, 5000}}));
    ASSERT_EQ(container.size(), 8 + 17 + 9 + 9u);
    std::string error;
    ASSERT_TRUE(unpack_bytes(container, out, error)) << error;
    EXPECT_EQ(out, Bytes(5000, 'x'));
    // One encoded word more is refused by name.
    Bytes longer(container.begin(), container.begin() + 34);
    longer[17] = 4;
    longer.insert(longer.end(), 4, 0);
    longer.insert(longer.end(), container.begin() + 34, container.end());
    EXPECT_FALSE(unpack_bytes(longer, out, error));
    EXPECT_EQ(error, "block 0: encoded stream length 4 does not fit 5000 symbols");
}

TEST(Container, FoldedCrcIsZlibs)
{
    const Bytes data = random_bytes(5000, 13);
    std::mt19937 rng(14);
    for (int i = 0; i < 300; ++i) {
        const size_t from = rng() % 100, size = rng() % (data.size() - from);
        const uint32_t start = i % 2 ? 0 : static_cast<uint32_t>(rng());
        ASSERT_EQ(dctlab::crc32_continue(start, data.data() + from, size),
                  crc32(start, data.data() + from, static_cast<uInt>(size)))
            << "from " << from << " size " << size;
    }
}

} // namespace
