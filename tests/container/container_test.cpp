#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "container.h"
#include "crc32_fast.h"
#include "huffenc.h"
#include "planning.h"
#include "write_lengths.h"

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

// Symbol i (byte value first + step * i) occurs fib(i) times, shuffled:
// the plain Huffman tree is a chain `symbols - 1` levels deep.
Bytes fibonacci_bytes(int symbols, int first, int step, uint32_t seed)
{
    Bytes out;
    uint64_t a = 1, b = 1;
    for (int symbol = 0; symbol < symbols; ++symbol) {
        out.insert(out.end(), a, static_cast<uint8_t>(first + symbol * step));
        const uint64_t next = a + b;
        a = b;
        b = next;
    }
    std::shuffle(out.begin(), out.end(), std::mt19937(seed));
    return out;
}

// Deeper than the 22 levels the decoder serves.
Bytes fibonacci_counts()
{
    return fibonacci_bytes(27, 0, 7, 3);
}

// 1596 bytes whose code is 14 bits deep, which the 11-bit limit of a
// lengths block cuts.
Bytes deep_small()
{
    return fibonacci_bytes(15, 0x41, 3, 5);
}

// Eleven byte values whose counts about halve from 3000 to 3, then 120
// others once each: the rare ones would take 15 bits and more, and cutting
// their codes to 11 bits costs the common ones more than a long table does.
Bytes skewed_with_rare_bytes()
{
    Bytes out;
    const int counts[] = {3000, 1500, 800, 400, 200, 100, 50, 25, 12, 6, 3};
    for (int symbol = 0; symbol < 11; ++symbol)
        out.insert(out.end(), static_cast<size_t>(counts[symbol]), static_cast<uint8_t>(symbol));
    for (int symbol = 100; symbol < 220; ++symbol)
        out.push_back(static_cast<uint8_t>(symbol));
    std::shuffle(out.begin(), out.end(), std::mt19937(6));
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

std::vector<std::pair<int, uint32_t>> blocks_of(const Bytes &c);
bool unpack_streamed(const Bytes &container, Bytes &output, std::string &error,
                     uint32_t max_block = dctlab::container::kMaxBlockSize, unsigned threads = 1);

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
    // Into a buffer of the caller's, decoded in place, with one thread and
    // two; a buffer a byte short takes the whole blocks that fit before the
    // one that does not, and fails.
    std::vector<size_t> block_ends{0};
    for (const auto &[type, length] : blocks_of(container))
        block_ends.push_back(block_ends.back() + length);
    for (const unsigned threads : {1u, 2u}) {
        for (const size_t room : {input.bytes.size(), input.bytes.size() - 1}) {
            if (room > input.bytes.size())
                continue;
            Bytes buffer(room + 1, 0xEE);
            MemorySource in(container.data(), container.size());
            dctlab::container::BufferSink out(buffer.data(), room);
            const bool ok = dctlab::container::unpack(
                in, out, error, dctlab::container::kMaxBlockSize, {}, threads);
            EXPECT_EQ(ok, room == input.bytes.size()) << error;
            if (!ok) {
                EXPECT_EQ(error, "cannot write the output");
            }
            EXPECT_LE(out.size(), room);
            EXPECT_NE(std::find(block_ends.begin(), block_ends.end(), out.size()), block_ends.end())
                << out.size() << " bytes, not whole blocks";
            EXPECT_TRUE(
                std::equal(buffer.begin(), buffer.begin() + out.size(), input.bytes.begin()));
            EXPECT_EQ(buffer[room], 0xEE) << "written past the buffer";
        }
    }
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
            {"deep_and_small", deep_small(), dctlab::container::kDefaultBlockSize},
            {"deep_and_small_blocks", deep_small(), 500},
            {"many_blocks", text_like(10000, 6), 777},
            {"exact_blocks", text_like(4096, 7), 1024}};
}

INSTANTIATE_TEST_SUITE_P(Inputs, ContainerRoundTrip, testing::ValuesIn(inputs()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Container, EmptyInputIsHeaderAndEndMarker)
{
    const Bytes container = pack_bytes({});
    EXPECT_EQ(container, (Bytes{'D', 'L', 'H', 'F', dctlab::container::kContainerVersion, 0, 0}));
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

// A lengths block's varint at `at`, moving past it.
uint32_t varint(const Bytes &c, size_t &at)
{
    uint32_t value = 0;
    for (int shift = 0;; shift += 7) {
        value |= uint32_t{c[at] & 0x7Fu} << shift;
        if ((c[at++] & 0x80) == 0)
            return value;
    }
}

// Block types and lengths of a container of the present version, walked
// without checking.
std::vector<std::pair<int, uint32_t>> blocks_of(const Bytes &c)
{
    std::vector<std::pair<int, uint32_t>> blocks;
    uint32_t before = 0;
    for (size_t at = 5; at < c.size() && c[at] != 0;) {
        const auto le = [&](size_t p) {
            return c[p] | c[p + 1] << 8 | c[p + 2] << 16 | uint32_t{c[p + 3]} << 24;
        };
        if (c[at] == 6 || c[at] == 9) { // gives the total, and its stream runs to the end
            size_t field = at + 1;
            blocks.emplace_back(c[at], varint(c, field) - before);
            break;
        }
        if (c[at] == 7) { // its bytes run to the end, after its CRC
            blocks.emplace_back(7, static_cast<uint32_t>(c.size() - at - 5));
            break;
        }
        if (c[at] == 4 || c[at] == 5 || c[at] == 8) {
            size_t field = at + 1;
            const uint32_t n = varint(c, field), table = varint(c, field);
            uint64_t bytes = 0;
            for (int k = 0; k < (c[at] == 4 ? 4 : 1); ++k)
                bytes += varint(c, field);
            blocks.emplace_back(c[at], n);
            before += n;
            at = field + 4 + table + bytes;
            continue;
        }
        const uint32_t n = le(at + 1);
        blocks.emplace_back(c[at], n);
        before += n;
        if (c[at] == 2)
            at += 9 + n;
        else if (c[at] == 3)
            at += 29 + le(at + 5) + le(at + 9) + le(at + 13) + le(at + 17) + le(at + 21);
        else
            at += 17 + le(at + 5) + le(at + 9);
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
              (std::vector<std::pair<int, uint32_t>>{{5, 44}, {2, 44}, {7, 16}}));
    return container;
}

// A small input whose code the 11-bit limit cuts, at a cost: a long final
// block.
Bytes long_sample()
{
    const Bytes container = pack_bytes(skewed_with_rare_bytes());
    EXPECT_EQ(blocks_of(container), (std::vector<std::pair<int, uint32_t>>{{9, 6216}}));
    return container;
}

TEST(Container, EveryTruncationIsRefused)
{
    for (const Bytes &container : {sample(), long_sample()})
        for (size_t length = 0; length < container.size(); ++length) {
            Bytes cut(container.begin(), container.begin() + static_cast<long>(length)), out;
            std::string error;
            EXPECT_FALSE(unpack_bytes(cut, out, error)) << "length " << length;
            EXPECT_FALSE(error.empty());
        }
}

TEST(Container, EveryFlippedBitIsRefused)
{
    for (const Bytes &container : {sample(), long_sample()})
        for (size_t byte = 0; byte < container.size(); ++byte)
            for (int bit = 0; bit < 8; ++bit) {
                Bytes damaged = container, out;
                damaged[byte] ^= static_cast<uint8_t>(1u << bit);
                std::string error;
                EXPECT_FALSE(unpack_bytes(damaged, out, error))
                    << container.size() << " bytes: byte " << byte << " bit " << bit;
                EXPECT_FALSE(error.empty());
            }
}

TEST(Container, SmallBlocksWhoseCodesTheLimitCutsTakeLongerCodes)
{
    // One-stream blocks (every block of an input below a MiB) take codes of
    // up to 15 bits where that is smaller, table included; four-stream
    // blocks (a whole MiB's) keep to 11. The long blocks read back from
    // memory and from a pipe, on one thread and two.
    const Bytes skewed = skewed_with_rare_bytes();
    Bytes twice = skewed;
    twice.insert(twice.end(), skewed.begin(), skewed.end());
    Bytes text_and_rare = text_like(20000, 24);
    for (int i = 0; i < 120; ++i)
        text_and_rare[static_cast<size_t>(i) * 163] = static_cast<uint8_t>(128 + i);
    Bytes large = text_and_rare;
    while (large.size() < 70000)
        large.insert(large.end(), text_and_rare.begin(), text_and_rare.end());
    Bytes mib = large;
    while (mib.size() < (1u << 20))
        mib.insert(mib.end(), text_and_rare.begin(), text_and_rare.end());
    mib.resize(1u << 20);
    const struct {
        Bytes input;
        uint32_t block_size;
        std::vector<std::pair<int, uint32_t>> blocks;
    } cases[] = {
        {skewed, dctlab::container::kDefaultBlockSize, {{9, 6216}}},
        {twice, 6216, {{8, 6216}, {9, 6216}}},
        {text_and_rare, dctlab::container::kDefaultBlockSize, {{8, 10240}, {9, 9760}}},
        {large, dctlab::container::kDefaultBlockSize, {{9, 80000}}},
        {mib, dctlab::container::kDefaultBlockSize, {{4, 1u << 20}}},
    };
    for (const auto &c : cases) {
        const Bytes packed = pack_bytes(c.input, c.block_size);
        EXPECT_EQ(blocks_of(packed), c.blocks) << c.input.size() << " bytes";
        for (const unsigned threads : {1u, 2u}) {
            Bytes out;
            std::string error;
            MemorySource in(packed.data(), packed.size());
            MemorySink sink;
            EXPECT_TRUE(dctlab::container::unpack(in, sink, error, dctlab::container::kMaxBlockSize,
                                                  {}, threads))
                << error;
            EXPECT_EQ(sink.bytes, c.input) << threads << " threads";
            EXPECT_TRUE(
                unpack_streamed(packed, out, error, dctlab::container::kMaxBlockSize, threads))
                << error;
            EXPECT_EQ(out, c.input) << "as from a pipe, " << threads << " threads";
        }
    }
}

TEST(Container, SmallInputsAreCutWhereTheyComeOutSmallest)
{
    // Inputs of 64 KiB or less are cut at whichever multiples of 4 KiB give
    // the fewest bytes, each cut then moved by steps of 1 KiB where that
    // gives fewer still: never more bytes than a block every 4 KiB, and
    // here text, noise and other text cut where they meet, which segments
    // of 8 KiB could not.
    Bytes mixed = text_like(10240, 31);
    const Bytes noise = random_bytes(6144, 32), other = text_like(10240, 33);
    mixed.insert(mixed.end(), noise.begin(), noise.end());
    mixed.insert(mixed.end(), other.begin(), other.end());
    EXPECT_EQ(blocks_of(pack_bytes(mixed)),
              (std::vector<std::pair<int, uint32_t>>{{5, 10240}, {2, 6144}, {6, 10240}}));
    Bytes drifting;
    for (uint32_t part = 0; part < 16; ++part) {
        const Bytes words = text_like(3072, 40 + part % 3);
        drifting.insert(drifting.end(), words.begin(), words.end());
        drifting.insert(drifting.end(), part * 24, static_cast<uint8_t>('A' + part));
    }
    for (const Bytes &input : {mixed, drifting, text_like(65536, 34), text_like(30000, 35)}) {
        const Bytes packed = pack_bytes(input);
        EXPECT_LE(packed.size(), pack_bytes(input, 4096).size()) << input.size() << " bytes";
        Bytes out;
        std::string error;
        EXPECT_TRUE(unpack_bytes(packed, out, error)) << error;
        EXPECT_EQ(out, input);
    }
}

TEST(Container, CutsBelowAMebibyteMoveToWhereTheStatisticsChange)
{
    // The planner cuts at its segments of 8 KiB; below a MiB each cut then
    // moves by steps of 1 KiB, here to where the text meets the noise and
    // the noise other text, 2 KiB past a segment's start and before its end.
    Bytes input = text_like(100352, 51);
    const Bytes noise = random_bytes(20480, 52), other = text_like(79168, 53);
    input.insert(input.end(), noise.begin(), noise.end());
    input.insert(input.end(), other.begin(), other.end());
    const Bytes packed = pack_bytes(input);
    EXPECT_EQ(blocks_of(packed),
              (std::vector<std::pair<int, uint32_t>>{{5, 100352}, {2, 20480}, {6, 79168}}));
    Bytes out;
    std::string error;
    EXPECT_TRUE(unpack_bytes(packed, out, error)) << error;
    EXPECT_EQ(out, input);
}

TEST(Container, SmallUnitsKeepFourStreamsButTheInputsLastPiece)
{
    // Units below a MiB, asked for to bound memory, are coded as whole
    // pieces are, in four streams from 64 KiB on; only the input's last
    // piece is coded for its bytes, in one stream.
    const Bytes input = text_like(3 << 16, 61);
    const Bytes packed = pack_bytes(input, 1u << 16);
    EXPECT_EQ(blocks_of(packed),
              (std::vector<std::pair<int, uint32_t>>{{4, 1u << 16}, {4, 1u << 16}, {6, 1u << 16}}));
    Bytes out;
    std::string error;
    EXPECT_TRUE(unpack_bytes(packed, out, error)) << error;
    EXPECT_EQ(out, input);
}

TEST(Container, BlocksFollowTheStatisticsOfTheInput)
{
    // Text, random bytes, then mostly zeros, 192 KiB each: the text and the
    // zeros get codes of their own (one stream each, below a MiB), the
    // random bytes are stored, and it all comes back.
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
    EXPECT_EQ(blocks[0], std::make_pair(5, uint32_t{3 << 16}));
    EXPECT_EQ(blocks[1], std::make_pair(2, uint32_t{3 << 16}));
    EXPECT_EQ(blocks[2], std::make_pair(6, uint32_t{3 << 16}));
    Bytes restored;
    std::string error;
    ASSERT_TRUE(unpack_bytes(container, restored, error)) << error;
    EXPECT_EQ(restored, input);

    // Each MiB is planned alone, and a unit (here of 2.5 MiB) starts anew.
    const auto stored = blocks_of(pack_bytes(random_bytes(6 << 20, 12), 5 << 19));
    EXPECT_EQ(stored, (std::vector<std::pair<int, uint32_t>>{{2, 1 << 20},
                                                             {2, 1 << 20},
                                                             {2, 1 << 19},
                                                             {2, 1 << 20},
                                                             {2, 1 << 20},
                                                             {2, 1 << 19},
                                                             {7, 1 << 20}}));
}

TEST(Container, AppendedBytesAreRefused)
{
    // After an end marker; and after a final stored block, whose bytes run
    // to the end, so that they fail its CRC.
    const struct {
        Bytes container;
        const char *error;
    } cases[] = {{pack_bytes({}), "data after the end marker"},
                 {sample(), "block 2: CRC mismatch: the data is damaged"}};
    for (const auto &c : cases) {
        Bytes damaged = c.container, out;
        damaged.push_back(0);
        std::string error;
        EXPECT_FALSE(unpack_bytes(damaged, out, error));
        EXPECT_EQ(error, c.error);
    }
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

Bytes huffman_block(const Bytes &data);
Bytes container_of(uint8_t version, const std::vector<Bytes> &blocks, uint64_t total);

// Named failures of a Huffman block of abracadabras(), whose table stream
// starts at offset 22.
TEST_P(ContainerDamage, NamesWhatIsWrong)
{
    const Bytes input = abracadabras();
    Bytes container = container_of(5, {huffman_block(input)}, input.size()), out;
    const Damage &d = GetParam();
    for (size_t i = 0; i < d.bytes.size(); ++i)
        container[22 + d.offset + i] = d.bytes[i];
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

// Blocks built from the library functions alone: the table stream that
// form_tree writes for the block's counts, and what encode writes for the
// whole block or for each of its four shares.
std::array<int32_t, 256> counts_of(const uint8_t *data, size_t size)
{
    std::array<int32_t, 256> counts{};
    for (size_t i = 0; i < size; ++i)
        ++counts[data[i]];
    return counts;
}

Bytes form_tree_table(const Bytes &data, std::array<HUFFCODE, 256> &codes)
{
    const auto counts = counts_of(data.data(), data.size());
    char *buffer = nullptr;
    size_t size = 0;
    std::FILE *out = open_memstream(&buffer, &size);
    form_tree(out, counts.data(), 256, codes.data());
    std::fclose(out);
    Bytes table(buffer, buffer + size);
    std::free(buffer);
    return table;
}

Bytes encoded(const uint8_t *data, size_t size, std::array<HUFFCODE, 256> codes)
{
    const auto counts = counts_of(data, size);
    for (int b = 0; b < 256; ++b)
        codes[b].weight = counts[b];
    std::FILE *in = std::tmpfile();
    std::fwrite(data, 1, size, in);
    char *buffer = nullptr;
    size_t length = 0;
    std::FILE *out = open_memstream(&buffer, &length);
    EXPECT_EQ(encode(in, codes.data(), out), 1);
    std::fclose(in);
    Bytes words(buffer, buffer + length);
    std::free(buffer);
    return words;
}

void put32(Bytes &b, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes huffman_block(const Bytes &data)
{
    std::array<HUFFCODE, 256> codes{};
    const Bytes table = form_tree_table(data, codes);
    const Bytes words = encoded(data.data(), data.size(), codes);
    Bytes block{1};
    put32(block, static_cast<uint32_t>(data.size()));
    put32(block, static_cast<uint32_t>(table.size()));
    put32(block, static_cast<uint32_t>(words.size()));
    put32(block, dctlab::crc32_of(data.data(), data.size()));
    block.insert(block.end(), table.begin(), table.end());
    block.insert(block.end(), words.begin(), words.end());
    return block;
}

// Shares as even as whole bytes allow, the longer ones first.
size_t share(size_t size, int k)
{
    return size / 4 * k + std::min<size_t>(k, size % 4);
}

Bytes four_stream_block(const Bytes &data)
{
    std::array<HUFFCODE, 256> codes{};
    const Bytes table = form_tree_table(data, codes);
    Bytes block{3}, streams;
    put32(block, static_cast<uint32_t>(data.size()));
    put32(block, static_cast<uint32_t>(table.size()));
    for (int k = 0; k < 4; ++k) {
        const Bytes words =
            encoded(data.data() + share(data.size(), k), share(data.size(), k + 1) - share(data.size(), k), codes);
        put32(block, static_cast<uint32_t>(words.size()));
        streams.insert(streams.end(), words.begin(), words.end());
    }
    put32(block, dctlab::crc32_of(data.data(), data.size()));
    block.insert(block.end(), table.begin(), table.end());
    block.insert(block.end(), streams.begin(), streams.end());
    return block;
}

void put_varint(Bytes &b, uint32_t v)
{
    for (; v >= 0x80; v >>= 7)
        b.push_back(static_cast<uint8_t>(v | 0x80));
    b.push_back(static_cast<uint8_t>(v));
}

// The lengths of form_tree's code and its canonical code (shortest first,
// by value within a length, counting up).
struct LengthsCode {
    std::array<uint8_t, 256> lengths;
    std::array<HUFFCODE, 256> codes{};
};

LengthsCode lengths_code(const Bytes &data)
{
    LengthsCode c;
    std::array<HUFFCODE, 256> tree_codes{};
    form_tree_table(data, tree_codes);
    std::vector<std::pair<int, int>> by_length;
    for (int b = 0; b < 256; ++b) {
        c.lengths[b] = static_cast<uint8_t>(tree_codes[b].length);
        if (c.lengths[b] != 0)
            by_length.emplace_back(c.lengths[b], b);
    }
    std::sort(by_length.begin(), by_length.end());
    uint32_t code = 0;
    int previous = by_length.front().first;
    for (const auto &[length, b] : by_length) {
        code <<= length - previous;
        previous = length;
        c.codes[b] = HUFFCODE{static_cast<int32_t>(code++), length, 0};
    }
    return c;
}

// What encode writes for `size` bytes, cut at the byte the codes reach:
// the last word's top bytes alone; from version 9 in byte order, each
// word's bytes from its top one down, where the cut simply ends the stream.
Bytes cut_at_byte(const uint8_t *data, size_t size, const std::array<HUFFCODE, 256> &codes,
                  int version)
{
    Bytes words = encoded(data, size, codes);
    uint64_t bits = 0;
    for (size_t i = 0; i < size; ++i)
        bits += static_cast<uint64_t>(codes[data[i]].length);
    const size_t bytes = static_cast<size_t>((bits + 7) / 8);
    if (version >= 9) {
        for (size_t w = 0; w + 4 <= words.size(); w += 4)
            std::reverse(words.begin() + static_cast<long>(w),
                         words.begin() + static_cast<long>(w) + 4);
        words.resize(bytes);
    } else if (bytes % 4 != 0) {
        words.erase(words.end() - 4, words.end() - static_cast<long>(bytes % 4));
    }
    EXPECT_EQ(words.size(), bytes);
    return words;
}

// A lengths block as `version` lays it out: four streams of whole words in
// version 4, cut at a byte from version 5, in byte order from version 9, or
// (streams 1) a one-stream block.
Bytes lengths_block(const Bytes &data, int version = 4, int streams = 4)
{
    const LengthsCode c = lengths_code(data);
    dctlab::huffman::LengthsTable table;
    dctlab::huffman::write_lengths_table(c.lengths.data(), table);
    Bytes block{static_cast<uint8_t>(streams == 4 ? 4 : 5)}, coded;
    put_varint(block, static_cast<uint32_t>(data.size()));
    put_varint(block, static_cast<uint32_t>(table.size));
    for (int k = 0; k < streams; ++k) {
        const size_t from = streams == 4 ? share(data.size(), k) : 0;
        const size_t to = streams == 4 ? share(data.size(), k + 1) : data.size();
        const Bytes stream = version >= 5
                                 ? cut_at_byte(data.data() + from, to - from, c.codes, version)
                                 : encoded(data.data() + from, to - from, c.codes);
        put_varint(block, static_cast<uint32_t>(version >= 5 ? stream.size() : stream.size() / 4));
        coded.insert(coded.end(), stream.begin(), stream.end());
    }
    put32(block, dctlab::crc32_of(data.data(), data.size()));
    block.insert(block.end(), table.bytes.begin(), table.bytes.begin() + static_cast<long>(table.size));
    block.insert(block.end(), coded.begin(), coded.end());
    return block;
}

Bytes one_stream_block(const Bytes &data, int version = 5)
{
    return lengths_block(data, version, 1);
}

// The one-stream block of `data` as the final block of a container whose
// blocks hold `total` bytes in all: the total for N, and no table or stream
// length.
Bytes final_block(const Bytes &data, uint32_t total, int version = 6)
{
    const Bytes one = one_stream_block(data, version);
    size_t at = 1;
    for (int field = 0; field < 3; ++field) // N, T, E
        varint(one, at);
    Bytes block{6};
    put_varint(block, total);
    block.insert(block.end(), one.begin() + static_cast<long>(at), one.end());
    return block;
}

Bytes stored_block(const Bytes &data)
{
    Bytes block{2};
    put32(block, static_cast<uint32_t>(data.size()));
    put32(block, dctlab::crc32_of(data.data(), data.size()));
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

// A long one-stream block of `data`, whose form_tree code is at most 15
// bits deep, with its lengths in a long table; or given `total`, the long
// final block of a container whose blocks hold that many bytes.
Bytes long_block(const Bytes &data, uint32_t total = 0, int version = 8)
{
    const LengthsCode c = lengths_code(data);
    dctlab::huffman::LengthsTable table;
    dctlab::huffman::write_lengths_table(c.lengths.data(), table, dctlab::huffman::long_lengths);
    const Bytes stream = cut_at_byte(data.data(), data.size(), c.codes, version);
    Bytes block{static_cast<uint8_t>(total == 0 ? 8 : 9)};
    if (total == 0) {
        put_varint(block, static_cast<uint32_t>(data.size()));
        put_varint(block, static_cast<uint32_t>(table.size));
        put_varint(block, static_cast<uint32_t>(stream.size()));
    } else {
        put_varint(block, total);
    }
    put32(block, dctlab::crc32_of(data.data(), data.size()));
    block.insert(block.end(), table.bytes.begin(),
                 table.bytes.begin() + static_cast<long>(table.size));
    block.insert(block.end(), stream.begin(), stream.end());
    return block;
}

// A stored block that ends the container: its CRC, and its bytes to the end.
Bytes final_stored_block(const Bytes &data)
{
    Bytes block{7};
    put32(block, dctlab::crc32_of(data.data(), data.size()));
    block.insert(block.end(), data.begin(), data.end());
    return block;
}

// A container of `blocks` and the end marker, or where `total` is 0 and the
// last block is a final or final stored one, without it.
Bytes container_of(uint8_t version, const std::vector<Bytes> &blocks, uint64_t total)
{
    Bytes c{'D', 'L', 'H', 'F', version};
    if (version < 5)
        c.insert(c.end(), 3, 0);
    for (const Bytes &b : blocks)
        c.insert(c.end(), b.begin(), b.end());
    if (total == 0 && !blocks.empty() &&
        (blocks.back()[0] == 6 || blocks.back()[0] == 7 || blocks.back()[0] == 9))
        return c;
    c.push_back(0);
    if (version >= 5) {
        for (; total >= 0x80; total >>= 7)
            c.push_back(static_cast<uint8_t>(total | 0x80));
        c.push_back(static_cast<uint8_t>(total));
    } else {
        put32(c, static_cast<uint32_t>(total));
        put32(c, static_cast<uint32_t>(total >> 32));
    }
    return c;
}

TEST(Container, PackWritesTheStreamsOfFormTreeAndEncode)
{
    // Inputs of one block whose form_tree codes are at most 11 bits long:
    // pack's own fast paths must give the library functions' bytes with the
    // canonical code of form_tree's lengths, in one stream below a MiB (a
    // final block, which ends the container) and in four from there on.
    // The 20 bytes take a final block of 20, its header 7 bytes of it,
    // where a final stored block would take 25.
    const std::string twenty = "aaaaabbbbbbbbbbbbccc";
    for (const Bytes &input :
         {Bytes(twenty.begin(), twenty.end()), abracadabras(), text_like(4095, 21),
          text_like(4096, 21), text_like(20000, 21), text_like(65536, 21), text_like(100003, 21),
          text_like((1u << 20) - 1, 21), text_like(1u << 20, 21)}) {
        const Bytes packed = pack_bytes(input);
        ASSERT_EQ(blocks_of(packed).size(), 1u);
        const auto size = static_cast<uint32_t>(input.size());
        constexpr uint8_t kVersion = dctlab::container::kContainerVersion;
        const Bytes expected = size < (1u << 20)
                                   ? container_of(kVersion, {final_block(input, size, kVersion)}, 0)
                                   : container_of(kVersion, {lengths_block(input, kVersion)}, size);
        EXPECT_EQ(packed, expected) << input.size() << " bytes";
        Bytes restored;
        std::string error;
        EXPECT_TRUE(unpack_bytes(packed, restored, error)) << input.size() << " bytes: " << error;
        EXPECT_EQ(restored, input) << input.size() << " bytes";
    }
    // A piece below a MiB, here the 3000 digits after a MiB of text, takes
    // one stream, and goes out as the final block.
    Bytes input = text_like(1u << 20, 22);
    for (int i = 0; i < 3000; ++i)
        input.push_back(static_cast<uint8_t>('0' + i * 7 % 10));
    const Bytes packed = pack_bytes(input);
    EXPECT_EQ(blocks_of(packed), (std::vector<std::pair<int, uint32_t>>{{4, 1u << 20}, {6, 3000}}));
    Bytes restored;
    std::string error;
    EXPECT_TRUE(unpack_bytes(packed, restored, error)) << error;
    EXPECT_EQ(restored, input);
}

TEST(Container, LongCodesAreCutToElevenBits)
{
    // form_tree's code is 22 bits deep here (26 without its own limit) and
    // deeper still in the 1.3 MB whose first MiB takes four streams; the
    // blocks still come back.
    const Bytes input = fibonacci_counts();
    Bytes out;
    std::string error;
    const Bytes more = fibonacci_bytes(29, 0, 7, 3);
    const Bytes packed = pack_bytes(more);
    ASSERT_EQ(blocks_of(packed)[0], std::make_pair(4, uint32_t{1} << 20));
    ASSERT_TRUE(unpack_bytes(packed, out, error)) << error;
    EXPECT_EQ(out, more);
    // The same block with form_tree's own code is refused by name.
    const Bytes deep = container_of(5, {four_stream_block(input)}, input.size());
    EXPECT_FALSE(unpack_bytes(deep, out, error));
    EXPECT_EQ(error, "block 0: a code of 22 bits in a four-stream block, whose codes are at most 11");
}

TEST(Container, ReadsEveryVersionWithTheBlocksItHad)
{
    const Bytes text = text_like(5000, 22), noise = random_bytes(100, 23), one(70, 'q');
    Bytes all = text;
    all.insert(all.end(), noise.begin(), noise.end());
    Bytes both = all;
    both.insert(both.end(), text.begin(), text.end());
    both.insert(both.end(), one.begin(), one.end());
    Bytes every = both;
    every.insert(every.end(), text.begin(), text.end());
    const Bytes deep = deep_small();
    Bytes deep_text_deep = deep;
    deep_text_deep.insert(deep_text_deep.end(), text.begin(), text.end());
    deep_text_deep.insert(deep_text_deep.end(), deep.begin(), deep.end());
    Bytes every_and_text = every, noise_and_text = noise;
    every_and_text.insert(every_and_text.end(), text.begin(), text.end());
    noise_and_text.insert(noise_and_text.end(), text.begin(), text.end());
    // A block of every kind from version 6 on.
    const auto every_kind = [&](int version) {
        return std::vector<Bytes>{huffman_block(text),          stored_block(noise),
                                  four_stream_block(text),      huffman_block(one),
                                  lengths_block(text, version), final_block(text, 20170, version)};
    };
    struct Case {
        uint8_t version;
        std::vector<Bytes> blocks;
        Bytes original;
        const char *error;
    };
    const Case cases[] = {
        {1, {huffman_block(text)}, text, ""},
        {1, {huffman_block(text), stored_block(noise)}, all, "block 1: unknown block type 2"},
        {2, {huffman_block(text), stored_block(noise)}, all, ""},
        {2, {four_stream_block(text)}, text, "block 0: unknown block type 3"},
        {3,
         {huffman_block(text), stored_block(noise), four_stream_block(text), huffman_block(one)},
         both,
         ""},
        {3, {four_stream_block(one)}, one, ""},
        {3, {lengths_block(text)}, text, "block 0: unknown block type 4"},
        {4,
         {huffman_block(text), stored_block(noise), four_stream_block(text), huffman_block(one),
          lengths_block(text)},
         every,
         ""},
        {4, {one_stream_block(text)}, text, "block 0: unknown block type 5"},
        {5,
         {huffman_block(text), stored_block(noise), four_stream_block(text), huffman_block(one),
          lengths_block(text, 5)},
         every,
         ""},
        {5, {one_stream_block(text), stored_block(noise)}, all, ""},
        // Four streams of three bytes: the last stream is empty.
        {5, {lengths_block(Bytes{'x', 'y', 'x'}, 5)}, Bytes{'x', 'y', 'x'}, ""},
        // Counts of words read as counts of bytes.
        {5, {lengths_block(text)}, text, "block 0: encoded stream 0 ends before its 1250 symbols"},
        {5, {final_block(text, 5000)}, text, "block 0: unknown block type 6"},
        {6, every_kind(6), every_and_text, ""},
        {6, {stored_block(noise), final_block(text, 5100)}, noise_and_text, ""},
        {6, {final_stored_block(noise)}, noise, "block 0: unknown block type 7"},
        {7, every_kind(7), every_and_text, ""},
        {7, {lengths_block(text, 5), final_stored_block(noise)}, Bytes(all), ""},
        {7, {final_stored_block(noise)}, noise, ""},
        {7, {long_block(deep)}, deep, "block 0: unknown block type 8"},
        {7, {long_block(deep, 1596)}, deep, "block 0: unknown block type 9"},
        {8, every_kind(8), every_and_text, ""},
        {8, {long_block(deep), one_stream_block(text), long_block(deep, 8192)}, deep_text_deep, ""},
        {8, {lengths_block(text, 5), final_stored_block(noise)}, Bytes(all), ""},
        // Streams in byte order read as words, and words read in byte order.
        {8,
         {lengths_block(text, 9)},
         text,
         "block 0: encoded stream 0 ends before its 1250 symbols"},
        {9, every_kind(9), every_and_text, ""},
        {9,
         {long_block(deep, 0, 9), one_stream_block(text, 9), long_block(deep, 8192, 9)},
         deep_text_deep,
         ""},
        {9,
         {lengths_block(text, 8)},
         text,
         "block 0: encoded stream 0 ends before its 1250 symbols"},
        {9, {long_block(deep, 1596, 8)}, deep, "block 0: CRC mismatch: the data is damaged"},
    };
    for (const Case &c : cases) {
        const uint8_t last = c.blocks.back()[0];
        const Bytes container = container_of(
            c.version, c.blocks, last == 6 || last == 7 || last == 9 ? 0 : c.original.size());
        Bytes out;
        std::string error;
        const bool ok = unpack_bytes(container, out, error);
        EXPECT_EQ(error, c.error) << "version " << int{c.version};
        if (ok) {
            EXPECT_EQ(out, c.original) << "version " << int{c.version};
        }
    }

    Bytes container = pack_bytes(abracadabras()), out;
    std::string error;
    for (uint8_t version : {0, 10, 11}) {
        container[4] = version;
        EXPECT_FALSE(unpack_bytes(container, out, error));
        EXPECT_EQ(error, "container version " + std::to_string(version) +
                             " is not supported (this dctlab reads versions 1 to 9)");
    }
    container[0] = 'X';
    EXPECT_FALSE(unpack_bytes(container, out, error));
    EXPECT_EQ(error, "not a dctlab container");
}

// Four shares of 1056 bytes, each 22 times 32 a (1 bit), 8 b and 8 c (2
// bits): 1408 bits, exactly 44 words a stream, and each share ends in a c,
// whose code (01) is not all zero bits.
Bytes even_quarters()
{
    Bytes quarter;
    for (int i = 0; i < 22; ++i) {
        Bytes part(32, 'a');
        part.insert(part.end(), 8, 'b');
        part.insert(part.end(), 8, 'c');
        std::shuffle(part.begin(), part.end(), std::mt19937(24 + i));
        quarter.insert(quarter.end(), part.begin(), part.end());
    }
    std::iter_swap(std::find(quarter.begin(), quarter.end(), 'c'), quarter.end() - 1);
    Bytes input;
    for (int k = 0; k < 4; ++k)
        input.insert(input.end(), quarter.begin(), quarter.end());
    return input;
}

// Bytes of a good container changed, and the error unpack must give.
struct Edit {
    std::vector<std::pair<size_t, uint8_t>> edits;
    const char *error;
};

void expect_refused(const Bytes &good, const std::vector<Edit> &cases)
{
    for (const Edit &c : cases) {
        Bytes damaged = good, out;
        for (const auto &[at, value] : c.edits)
            damaged[at] = value;
        std::string error;
        EXPECT_FALSE(unpack_bytes(damaged, out, error));
        EXPECT_EQ(error, c.error);
    }
}

TEST(Container, FourStreamDamageIsNamed)
{
    const Bytes input = even_quarters();
    const Bytes good = container_of(3, {four_stream_block(input)}, input.size());
    // type at 8, N at 9, A at 13, E0 to E3 at 17 to 29, CRC at 33, table at
    // 37 (11 bytes), streams at 48, 176 bytes each.
    const size_t total = good.size() - 8;
    // N is 4224 = 0x1080; 4228 gives each share one byte more, 4220 one
    // less.
    const std::vector<Edit> cases = {
        {{{9, 0x84}, {total, 0x84}}, "block 0: encoded stream 0 ends before its 1057 symbols"},
        {{{17, 175}}, "block 0: encoded stream 0 length 175 is impossible for 1056 symbols"},
        {{{29, 0}, {30, 8}}, "block 0: encoded stream 3 length 2048 is impossible for 1056 symbols"},
        {{{25, 100}}, "block 0: encoded stream 2 length 100 does not fit 1056 symbols"},
        {{{25, 180}, {29, 172}}, "block 0: encoded stream 2 is longer than its symbols need"},
        {{{9, 0x7C}, {total, 0x7C}}, "block 0: bits after the last code 0 are not 0"},
        {{{33, 0}, {34, 0}}, "block 0: CRC mismatch: the data is damaged"},
    };
    expect_refused(good, cases);
}

TEST(Container, LengthsBlockDamageIsNamed)
{
    const Bytes input = even_quarters();
    const Bytes good = container_of(4, {lengths_block(input)}, input.size());
    // type at 8, N (4224) at 9 and 10, T at 11, the word counts (44 each)
    // at 12 to 15, CRC at 16, the table at 20.
    ASSERT_EQ(good[9], 0x80);
    ASSERT_EQ(good[10], 0x21);
    ASSERT_EQ(good[12], 44);
    const uint8_t table = good[11];
    const size_t total = good.size() - 8;
    const std::vector<Edit> cases = {
        {{{9, 0xFF}, {10, 0xFF}, {11, 0xFF}, {12, 0xFF}, {13, 0xFF}}, "block 0: damaged block header"},
        {{{9, 0xFF}, {10, 0xFF}, {11, 0xFF}, {12, 0xFF}, {13, 0x10}}, "block 0: damaged block header"},
        {{{11, static_cast<uint8_t>(table | 0x80)}, {12, 0}}, "block 0: damaged block header"},
        {{{11, 0}}, "block 0: lengths table length 0 is impossible"},
        {{{11, 0xE7}, {12, 0x01}}, "block 0: lengths table length 231 is impossible"},
        {{{9, 0}}, "block 0: length 0 is outside 1 to 268435456"},
        {{{9, 0x84}, {total, 0x84}}, "block 0: encoded stream 0 ends before its 1057 symbols"},
        {{{14, 8}}, "block 0: encoded stream 2 length 32 does not fit 1056 symbols"},
        {{{14, 45}, {15, 43}}, "block 0: encoded stream 2 is longer than its symbols need"},
        {{{16, static_cast<uint8_t>(good[16] ^ 1)}}, "block 0: CRC mismatch: the data is damaged"},
    };
    expect_refused(good, cases);
    Bytes cut(good.begin(), good.begin() + 14), out;
    std::string error;
    EXPECT_FALSE(unpack_bytes(cut, out, error));
    EXPECT_EQ(error, "block 0: truncated block header");
    // A table that reads as no complete code is named with its block.
    Bytes bad_table = good;
    std::fill(bad_table.begin() + 20, bad_table.begin() + 20 + table, 0);
    EXPECT_FALSE(unpack_bytes(bad_table, out, error));
    EXPECT_EQ(error, "block 0: lengths table's own code is not complete");
}

// A one-stream block and a lengths block whose streams end at a byte, and
// the end marker's varint: what is damaged in each is named.
TEST(Container, StreamsCutAtAByteAndTheEndMarkerAreChecked)
{
    const Bytes input = text_like(3001, 31);
    const Bytes block = one_stream_block(input);
    const Bytes good = container_of(5, {block}, input.size());
    // type at 5, then N, T and E as varints, the CRC, the table and the
    // stream; the end marker 0 and 3001 in two bytes.
    size_t at = 6;
    varint(good, at);
    const uint32_t table = varint(good, at);
    const size_t e_at = at;
    const uint32_t e = varint(good, at);
    ASSERT_EQ(at, e_at + 2);
    const size_t stream_end = at + 4 + table + e;
    ASSERT_EQ(stream_end + 3, good.size());
    const LengthsCode code = lengths_code(input);
    uint64_t bits = 0;
    for (uint8_t b : input)
        bits += code.lengths[b];
    ASSERT_NE(bits % 8, 0u) << "the codes end before the last bit";
    const auto e_low = [&](uint32_t value) { return static_cast<uint8_t>(0x80 | (value & 0x7F)); };
    // The stream's last bits are in the lowest byte kept of its last word,
    // which comes first of that word's bytes.
    const size_t last_bits = stream_end - e + 4 * ((e + 3) / 4 - 1);
    const std::vector<Edit> cases = {
        {{{e_at, e_low(e - 1)}}, "block 0: encoded stream ends before its 3001 symbols"},
        {{{last_bits, static_cast<uint8_t>(good[last_bits] | 1)}},
         "block 0: bits after the last code are not 0"},
        {{{e_at, 0xFF}, {e_at + 1, 0x7F}},
         "block 0: encoded stream length 16383 is impossible for 3001 symbols"},
        {{{stream_end + 1, 0xBA}}, "end marker gives 3002 bytes in all, the blocks hold 3001"},
        {{{stream_end + 2, 0x80}}, "truncated container: incomplete end marker"},
    };
    expect_refused(good, cases);
    // A byte of zeros more than the codes reach.
    Bytes longer = good, out;
    longer[e_at] = e_low(e + 1);
    longer.insert(longer.begin() + static_cast<long>(stream_end), 0);
    std::string error;
    EXPECT_FALSE(unpack_bytes(longer, out, error));
    EXPECT_EQ(error, "block 0: encoded stream is longer than its symbols need");
    // Varints spelt longer than they need, or past 64 bits.
    const Bytes head(good.begin(), good.begin() + static_cast<long>(stream_end + 1));
    for (const Bytes &end : {Bytes{0xB9, 0x97, 0x00}, Bytes(10, 0xFF),
                             Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02}}) {
        Bytes damaged = head;
        damaged.insert(damaged.end(), end.begin(), end.end());
        EXPECT_FALSE(unpack_bytes(damaged, out, error));
        EXPECT_EQ(error, "damaged end marker");
    }

    // A total beyond 32 bits is read as it is, and named.
    Bytes far = container_of(5, {}, (uint64_t{1} << 35) + 5);
    EXPECT_FALSE(unpack_bytes(far, out, error));
    EXPECT_EQ(error, "end marker gives 34359738373 bytes in all, the blocks hold 0");

    // Four streams: a byte of stream 3 given to stream 2.
    const Bytes text = text_like(5000, 32);
    Bytes four = container_of(5, {lengths_block(text, 5)}, text.size());
    at = 6;
    varint(four, at);
    varint(four, at);
    std::array<size_t, 4> e_places;
    for (size_t &place : e_places) {
        place = at;
        varint(four, at);
    }
    ASSERT_EQ(e_places[3], e_places[2] + 2);
    ++four[e_places[2]];
    --four[e_places[3]];
    EXPECT_FALSE(unpack_bytes(four, out, error));
    EXPECT_EQ(error, "block 0: encoded stream 2 is longer than its symbols need");
}

// Unpacks `container` read as from a pipe: a stdio stream that gives no
// length and lends nothing.
bool unpack_streamed(const Bytes &container, Bytes &output, std::string &error, uint32_t max_block,
                     unsigned threads)
{
    std::FILE *file = fmemopen(const_cast<uint8_t *>(container.data()), container.size(), "rb");
    if (!file)
        return false;
    dctlab::container::FileSource in(file);
    MemorySink out;
    const bool ok = dctlab::container::unpack(in, out, error, max_block, {}, threads);
    std::fclose(file);
    output = out.bytes;
    return ok;
}

TEST(Container, AFinalBlockEndsTheContainer)
{
    // 3001 bytes: the version before took the table's length (1 byte), the
    // stream's (2) and the end marker (3) more.
    const Bytes input = text_like(3001, 31);
    const Bytes good = pack_bytes(input);
    ASSERT_EQ(good,
              container_of(dctlab::container::kContainerVersion,
                           {final_block(input, 3001, dctlab::container::kContainerVersion)}, 0));
    EXPECT_EQ(good.size() + 6, container_of(5, {one_stream_block(input)}, 3001).size());
    // Damage, read from memory and as from a pipe alike. The total is at 6,
    // in two bytes (3001 = 0xBB 0x17).
    Bytes appended = good, shorter(good.begin(), good.end() - 1);
    appended.push_back(0);
    const struct {
        Bytes container;
        const char *error;
    } cases[] = {
        {appended, "block 0: encoded stream is longer than its symbols need"},
        {shorter, "block 0: encoded stream ends before its 3001 symbols"},
        // Cut after the CRC (at 8), and inside the table.
        {Bytes(good.begin(), good.begin() + 12), "block 0: lengths table ends before its code"},
        {Bytes(good.begin(), good.begin() + 24),
         "block 0: lengths table ends before its 256 lengths"},
        {[&] {
             Bytes c = good;
             c[6] = 0x80;
             c[7] = 0x00;
             return c;
         }(),
         "block 0: damaged block header"},
    };
    for (const auto &c : cases) {
        Bytes out;
        std::string error;
        EXPECT_FALSE(unpack_bytes(c.container, out, error));
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(unpack_streamed(c.container, out, error));
        EXPECT_EQ(error, c.error) << "as from a pipe";
    }
    Bytes out;
    std::string error;
    ASSERT_TRUE(unpack_streamed(good, out, error)) << error;
    EXPECT_EQ(out, input);

    // After other blocks, the total is the blocks' and its own.
    Bytes two = text_like(1u << 20, 22);
    for (int i = 0; i < 3000; ++i)
        two.push_back(static_cast<uint8_t>('0' + i * 7 % 10));
    const Bytes packed = pack_bytes(two);
    ASSERT_EQ(blocks_of(packed), (std::vector<std::pair<int, uint32_t>>{{4, 1u << 20}, {6, 3000}}));
    const size_t final_at =
        packed.size() - final_block(Bytes(two.end() - 3000, two.end()), (1u << 20) + 3000).size();
    ASSERT_EQ(packed[final_at], 6);
    for (const auto &[total, why] :
         {std::pair<uint32_t, std::string>{1u << 20, "block 1: final block gives 1048576 bytes in "
                                                     "all, the blocks before it hold 1048576"},
          {10, "block 1: final block gives 10 bytes in all, the blocks before it hold 1048576"},
          {(1u << 20) + (1u << 28) + 1, "block 1: length 268435457 is outside 1 to 268435456"}}) {
        Bytes damaged(packed.begin(), packed.begin() + static_cast<long>(final_at) + 1);
        put_varint(damaged, total);
        size_t at = final_at + 1;
        varint(packed, at);
        damaged.insert(damaged.end(), packed.begin() + static_cast<long>(at), packed.end());
        EXPECT_FALSE(unpack_bytes(damaged, out, error));
        EXPECT_EQ(error, why);
    }
}

TEST(Container, AFinalStoredBlockEndsTheContainer)
{
    // Bytes that do not compress: the header, the block's type and CRC, and
    // the bytes, 10 bytes of frame where zlib's stored blocks take 11, and
    // the version before took its length (4 bytes) and the end marker (3)
    // more.
    const Bytes noise = random_bytes(3000, 36);
    const Bytes good = pack_bytes(noise);
    ASSERT_EQ(good,
              container_of(dctlab::container::kContainerVersion, {final_stored_block(noise)}, 0));
    EXPECT_EQ(good.size() + 7, container_of(6, {stored_block(noise)}, 3000).size());
    Bytes appended = good, flipped = good;
    appended.push_back(0);
    flipped[1000] ^= 4;
    const struct {
        Bytes container;
        uint32_t max_block;
        const char *error, *streamed_error;
    } cases[] = {
        {appended, 4096, "block 0: CRC mismatch: the data is damaged", nullptr},
        {Bytes(good.begin(), good.end() - 1), 4096, "block 0: CRC mismatch: the data is damaged",
         nullptr},
        {flipped, 4096, "block 0: CRC mismatch: the data is damaged", nullptr},
        // Cut inside the CRC, and right after it.
        {Bytes(good.begin(), good.begin() + 8), 4096, "block 0: truncated block header", nullptr},
        {Bytes(good.begin(), good.begin() + 10), 4096, "block 0: length 0 is outside 1 to 4096",
         nullptr},
        // More bytes than a block may hold: from a pipe, only one more is read.
        {good, 2999, "block 0: length 3000 is outside 1 to 2999",
         "block 0: holds more than 2999 bytes"},
    };
    for (const auto &c : cases)
        for (const unsigned threads : {1u, 2u}) {
            Bytes out;
            std::string error;
            MemorySource in(c.container.data(), c.container.size());
            MemorySink sink;
            EXPECT_FALSE(dctlab::container::unpack(in, sink, error, c.max_block, {}, threads));
            EXPECT_EQ(error, c.error) << threads << " threads";
            EXPECT_FALSE(unpack_streamed(c.container, out, error, c.max_block, threads));
            EXPECT_EQ(error, c.streamed_error ? c.streamed_error : c.error)
                << "as from a pipe, " << threads << " threads";
        }
    for (const unsigned threads : {1u, 2u}) {
        Bytes out;
        std::string error;
        ASSERT_TRUE(unpack_streamed(good, out, error, 3000, threads)) << error;
        EXPECT_EQ(out, noise);
    }
    // After a lengths block of four streams: the last block of a piece.
    Bytes text_then_noise = text_like(1u << 20, 37);
    text_then_noise.insert(text_then_noise.end(), noise.begin(), noise.end());
    const Bytes packed = pack_bytes(text_then_noise);
    EXPECT_EQ(blocks_of(packed), (std::vector<std::pair<int, uint32_t>>{{4, 1u << 20}, {7, 3000}}));
    Bytes out;
    std::string error;
    ASSERT_TRUE(unpack_bytes(packed, out, error)) << error;
    EXPECT_EQ(out, text_then_noise);
}

TEST(Container, PackFromAPipeWritesWhatItWritesFromMemory)
{
    // Where the source does not know what remains, pack reads a byte past a
    // whole piece to learn whether the input ends there, and so ends the
    // container the same way: with units of 3000 bytes, a final block ending
    // at a whole piece, a whole piece followed by a few bytes, and a short
    // input.
    constexpr uint32_t kUnit = 3000;
    const Bytes at_a_piece = text_like(2 * kUnit, 33), past_a_piece = text_like(2 * kUnit + 5, 33),
                short_input = text_like(kUnit - 1, 34);
    for (const Bytes &input : {at_a_piece, past_a_piece, short_input}) {
        const Bytes from_memory = pack_bytes(input, kUnit);
        for (const unsigned threads : {1u, 2u}) {
            std::FILE *file = fmemopen(const_cast<uint8_t *>(input.data()), input.size(), "rb");
            ASSERT_NE(file, nullptr);
            dctlab::container::FileSource in(file);
            ASSERT_LT(in.remaining(), 0);
            MemorySink out;
            std::string error;
            EXPECT_TRUE(dctlab::container::pack(in, out, kUnit, error, {}, threads)) << error;
            std::fclose(file);
            EXPECT_EQ(out.bytes, from_memory)
                << input.size() << " bytes, " << threads << " threads";
        }
    }
    EXPECT_EQ(blocks_of(pack_bytes(at_a_piece, kUnit)),
              (std::vector<std::pair<int, uint32_t>>{{5, kUnit}, {6, kUnit}}));
    EXPECT_EQ(blocks_of(pack_bytes(short_input, kUnit)).back().first, 6);
    EXPECT_NE(blocks_of(pack_bytes(past_a_piece, kUnit)).back().first, 6);
}

TEST(Container, ThreadsHoldAFewBlocksOfOneByteAtOnce)
{
    // Blocks of one byte, unpacked with threads into memory, where each
    // block in flight holds a job and a decoder of its own: batches counted
    // by their output alone held tens of thousands of them, gigabytes.
    const Bytes input = text_like(40000, 35);
    const Bytes container = pack_bytes(input, 1);
    MemorySource in(container.data(), container.size());
    MemorySink out;
    std::string error;
#if defined(__GLIBC__)
    auto in_use = [] {
        const struct mallinfo2 m = mallinfo2();
        return m.uordblks + m.hblkhd;
    };
    const size_t before = in_use();
    size_t most = before;
    const dctlab::container::Progress progress = [&](uint64_t) { most = std::max(most, in_use()); };
#else
    const dctlab::container::Progress progress = {};
#endif
    ASSERT_TRUE(
        dctlab::container::unpack(in, out, error, dctlab::container::kMaxBlockSize, progress, 2))
        << error;
    EXPECT_EQ(out.bytes, input);
#if defined(__GLIBC__)
    // Under sanitizers and valgrind the heap is not glibc's, and this reads
    // nothing.
    EXPECT_LT(most - before, size_t{32} << 20);
#endif
}

TEST(Container, StoredBlockDamageIsNamed)
{
    // A stored block before the end marker, as pack writes every stored
    // block but the input's last.
    const Bytes good =
        container_of(dctlab::container::kContainerVersion, {stored_block({1, 2, 3})}, 3);
    struct Case {
        size_t offset;
        uint8_t value;
        const char *message;
    };
    // type at 5, N at 6, CRC at 10, data at 14
    for (const Case &c :
         {Case{6, 0, "length 0 is outside 1 to"}, Case{9, 0x20, "is outside 1 to"},
          Case{7, 1, "truncated"}, Case{10, 0, "CRC mismatch"}, Case{14, 9, "CRC mismatch"}}) {
        Bytes damaged = good, out;
        damaged[c.offset] = c.value;
        std::string error;
        EXPECT_FALSE(unpack_bytes(damaged, out, error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

TEST(Container, ADamagedStoredBlockLeavesInMemoryOnlyTheBlocksBeforeIt)
{
    // Into memory a stored block is written while it is checked, a piece of
    // 64 KiB at a time: damage in its last piece must take it all back.
    Bytes input = text_like(6 * 8192, 21);
    const Bytes noise = random_bytes(200000, 22);
    input.insert(input.end(), noise.begin(), noise.end());
    const Bytes good = pack_bytes(input);
    const auto blocks = blocks_of(good);
    ASSERT_EQ(blocks.back(), std::make_pair(7, uint32_t{200000}));
    Bytes out;
    std::string error;
    ASSERT_TRUE(unpack_bytes(good, out, error)) << error;
    EXPECT_EQ(out, input);
    for (const size_t from_end : {size_t{10}, size_t{199990}}) {
        Bytes damaged = good;
        damaged[damaged.size() - 1 - from_end] ^= 0x40; // its bytes run to the end
        EXPECT_FALSE(unpack_bytes(damaged, out, error));
        EXPECT_EQ(error, "block " + std::to_string(blocks.size() - 1) +
                             ": CRC mismatch: the data is damaged");
        EXPECT_EQ(out, Bytes(input.begin(), input.end() - 200000)) << from_end;
        // The same into a buffer, where the stored block is copied into place
        // with its CRC taken on the way.
        Bytes buffer(input.size());
        MemorySource in(damaged.data(), damaged.size());
        dctlab::container::BufferSink sink(buffer.data(), buffer.size());
        EXPECT_FALSE(dctlab::container::unpack(in, sink, error));
        EXPECT_EQ(sink.size(), input.size() - 200000) << from_end;
    }
    // And a damaged Huffman block, decoded into the buffer, is taken back.
    Bytes damaged = good;
    damaged[2000] ^= 0x01; // in the first block's streams
    Bytes buffer(input.size());
    MemorySource in(damaged.data(), damaged.size());
    dctlab::container::BufferSink sink(buffer.data(), buffer.size());
    EXPECT_FALSE(dctlab::container::unpack(in, sink, error));
    EXPECT_EQ(error.rfind("block 0: ", 0), 0u) << error;
    EXPECT_EQ(sink.size(), 0u) << error;
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
    Bytes container = container_of(3, {huffman_block(input)}, input.size()), out;
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
    ASSERT_EQ(container.size(), 5 + 17 + 9 + 3u);
    std::string error;
    ASSERT_TRUE(unpack_bytes(container, out, error)) << error;
    EXPECT_EQ(out, Bytes(5000, 'x'));
    // One encoded word more is refused by name.
    Bytes longer(container.begin(), container.begin() + 31);
    longer[14] = 4;
    longer.insert(longer.end(), 4, 0);
    longer.insert(longer.end(), container.begin() + 31, container.end());
    EXPECT_FALSE(unpack_bytes(longer, out, error));
    EXPECT_EQ(error, "block 0: encoded stream length 4 does not fit 5000 symbols");
    // Where the block's header and table, and the end marker after them,
    // take as much as the bytes and their CRC, they are stored, ending the
    // container.
    for (const size_t size : {1, 17, 23}) {
        container = pack_bytes(Bytes(size, 'x'));
        EXPECT_EQ(blocks_of(container), (std::vector<std::pair<int, uint32_t>>{{7, size}}));
        EXPECT_EQ(container.size(), 5 + 5 + size);
    }
    EXPECT_EQ(blocks_of(pack_bytes(Bytes(24, 'x'))),
              (std::vector<std::pair<int, uint32_t>>{{1, 24}}));
}

TEST(Container, FoldedCrcIsZlibs)
{
    const Bytes data = random_bytes(5000, 13);
    std::mt19937 rng(14);
    for (int i = 0; i < 300; ++i) {
        const size_t from = rng() % 100, size = rng() % (data.size() - from);
        const uint32_t start = i % 2 ? 0 : static_cast<uint32_t>(rng());
        const auto want =
            static_cast<uint32_t>(crc32(start, data.data() + from, static_cast<uInt>(size)));
        ASSERT_EQ(dctlab::crc32_continue(start, data.data() + from, size), want)
            << "from " << from << " size " << size;
        // The copy that takes its CRC on the way, to a place of another
        // alignment, and nothing written past its end.
        Bytes copy(size + 40, 0xA5);
        ASSERT_EQ(dctlab::crc32_copy(start, data.data() + from, copy.data() + 7, size), want)
            << "from " << from << " size " << size;
        ASSERT_TRUE(std::equal(data.begin() + from, data.begin() + from + size, copy.begin() + 7));
        ASSERT_EQ(std::count(copy.begin(), copy.begin() + 7, 0xA5) +
                      std::count(copy.begin() + 7 + size, copy.end(), 0xA5),
                  40);
    }
#ifdef DCTLAB_CRC32_FOLD
    // Every width of folding the processor has, whichever it picks, on
    // whole pieces of 16 bytes either side of a round of each.
    const bool ymm = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
    const bool wide = ymm && __builtin_cpu_supports("avx512f") &&
                      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl");
    for (size_t size : {64, 80, 112, 128, 144, 160, 240, 256, 272, 320, 496, 512, 528, 768, 1024,
                        4096, 4992}) {
        const auto want = static_cast<uint32_t>(crc32(7, data.data() + 3, static_cast<uInt>(size)));
        EXPECT_EQ(dctlab::crc32_detail::by_folding(7, data.data() + 3, size), want) << size;
        if (ymm && size >= 128) {
            EXPECT_EQ(dctlab::crc32_detail::by_folding_ymm<false>(7, data.data() + 3, size), want)
                << size;
        }
        if (wide && size >= 256) {
            EXPECT_EQ(dctlab::crc32_detail::by_folding_wide(7, data.data() + 3, size), want)
                << size;
        }
    }
#endif
}

TEST(Container, CountBytesCountsEveryByte)
{
    // Sizes around the 16 bytes a step takes and past 2^16 of one byte (a
    // counter narrower than the counts would wrap there).
    const Bytes text = text_like(600000, 15);
    for (size_t size : {0, 1, 7, 8, 9, 15, 16, 17, 31, 8191, 8192, 65537, 262161, 600000}) {
        for (const bool one_byte : {false, true}) {
            const Bytes data = one_byte ? Bytes(size, 0x41) : Bytes(text.begin(), text.begin() + size);
            std::array<uint32_t, 256> want{};
            for (uint8_t b : data)
                ++want[b];
            dctlab::container::Counts counts;
            counts.fill(7);
            dctlab::container::count_bytes(data.data(), data.size(), counts);
            EXPECT_EQ(counts, want) << size << (one_byte ? " of one byte" : " of text");
        }
    }
}

// A tally counts span after span without clearing: each take gives what was
// added since the last one, spans of every size, empty ones and one byte
// value repeated among them, over a MiB in all.
TEST(Container, TallyGivesEachSpansOwnCounts)
{
    const Bytes text = text_like(1 << 20, 16);
    dctlab::container::Tally tally;
    size_t at = 0;
    for (size_t size : {0, 1, 15, 16, 17, 8192, 0, 65537, 300000, 3, 8191}) {
        const bool one_byte = size == 65537;
        const Bytes span =
            one_byte ? Bytes(size, 0x20) : Bytes(text.begin() + at, text.begin() + at + size);
        at += size;
        std::array<uint32_t, 256> want{};
        for (uint8_t b : span)
            ++want[b];
        tally.add(span.data(), span.size());
        dctlab::container::Counts counts;
        counts.fill(7);
        tally.take(counts);
        EXPECT_EQ(counts, want) << size;
    }
}

// Bytes whose statistics drift slowly: each segment draws from 16 values
// with weights that move a little from one segment to the next, so that
// no segment alone differs enough from the block before it to pay for a
// block of its own, while several together do.
Bytes drifting(size_t size, uint32_t seed, double period = 96 << 10)
{
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        const double phase = static_cast<double>(out.size()) / period;
        std::array<double, 16> weight;
        for (int v = 0; v < 16; ++v)
            weight[static_cast<size_t>(v)] = 1.0 + 8.0 * std::pow(std::sin(phase + v / 5.0), 2);
        std::discrete_distribution<int> pick(weight.begin(), weight.end());
        for (size_t i = 0; i < dctlab::container::kSegment && out.size() < size; ++i)
            out.push_back(static_cast<uint8_t>('a' + pick(rng)));
    }
    return out;
}

// The blocks a planner gives for a piece lie end to end over all of it,
// each with its own bytes' counts, whether it cuts at the segment it was
// given or, in a piece below a MiB, before the segments it last joined.
TEST(Container, PlannedBlocksCoverThePiece)
{
    using dctlab::container::BlockPlanner;
    using dctlab::container::kSegment;
    for (const size_t piece : {size_t{300} << 10, size_t{1000} << 10, dctlab::container::kPiece}) {
        const Bytes data = drifting(piece, 17);
        BlockPlanner planner(piece);
        std::vector<dctlab::container::Span> spans;
        int behind = 0;
        for (size_t at = 0; at < piece; at += kSegment) {
            const size_t end = std::min(piece, at + kSegment);
            if (const dctlab::container::Span *span = planner.add(data.data(), at, end)) {
                behind += span->end < at ? 1 : 0;
                spans.push_back(*span);
            }
        }
        spans.push_back(*planner.finish());
        size_t next = 0;
        for (const auto &span : spans) {
            ASSERT_EQ(span.begin, next) << piece;
            ASSERT_LT(span.begin, span.end) << piece;
            std::array<uint32_t, 256> want{};
            for (size_t i = span.begin; i < span.end; ++i)
                ++want[data[i]];
            EXPECT_EQ(span.counts, want) << piece << " from " << span.begin;
            next = span.end;
        }
        EXPECT_EQ(next, piece);
        if (piece < dctlab::container::kPiece) {
            EXPECT_GT(behind, 0) << piece << ": no cut before the last segment";
        } else {
            EXPECT_EQ(behind, 0);
        }
        Bytes out;
        std::string error;
        ASSERT_TRUE(unpack_bytes(pack_bytes(data), out, error)) << piece << ": " << error;
        EXPECT_EQ(out, data) << piece;
    }
    // Faster and slower drift, in inputs of several pieces and tails.
    for (const double period : {8 << 10, 32 << 10, 400 << 10})
        for (const size_t size : {size_t{50000}, size_t{(1 << 20) + 200000}}) {
            const Bytes data = drifting(size, 18, period);
            Bytes out;
            std::string error;
            ASSERT_TRUE(unpack_bytes(pack_bytes(data), out, error))
                << size << " bytes, period " << period << ": " << error;
            EXPECT_EQ(out, data) << size << " bytes, period " << period;
        }
}

// Two segments of two byte values, in halves and in 9 to 23: coded apart they
// are expected to save some 600 bits before the second block's header and
// table, which is more than a small piece's bias against splitting asks
// for and less than a whole piece's.
TEST(Container, SmallPiecesSplitWhereWholePiecesJoin)
{
    using dctlab::container::BlockPlanner;
    using dctlab::container::kSegment;
    Bytes data(2 * kSegment, 'a');
    std::fill_n(data.begin(), kSegment / 2, 'b');
    std::fill_n(data.begin() + kSegment, 2304, 'b');
    auto blocks = [&](size_t piece) {
        BlockPlanner planner(piece);
        int closed = planner.add(data.data(), 0, kSegment) != nullptr;
        closed += planner.add(data.data(), kSegment, 2 * kSegment) != nullptr;
        return closed + (planner.finish() != nullptr);
    };
    EXPECT_EQ(blocks(data.size()), 2);
    EXPECT_EQ(blocks(dctlab::container::kPiece), 1);
}

} // namespace
