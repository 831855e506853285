// Code tree construction and the table stream: the worked examples byte for
// byte, the tie-breaking of the merges, the degenerate alphabets, the 22-bit
// length limit and allocation failure.
#include <algorithm>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "caller.h"
#include "fault_injection.h"
#include "optimum.h"

namespace
{

std::string bits_of(const HUFFCODE &c)
{
    std::string s;
    for (int i = c.length - 1; i >= 0; --i)
        s += ((static_cast<uint32_t>(c.code) >> i) & 1u) ? '1' : '0';
    return s;
}

Bytes table_stream_of(const Counts &counts, int n, CodeTable &codes)
{
    return written_by([&](std::FILE *out) { form_tree(out, counts.data(), n, codes.data()); });
}

std::vector<int64_t> wide(const Counts &counts)
{
    return std::vector<int64_t>(counts.begin(), counts.end());
}

int64_t cost_of(const Counts &counts, const CodeTable &codes)
{
    int64_t bits = 0;
    for (int b = 0; b < 256; ++b)
        bits += static_cast<int64_t>(counts[b]) * codes[b].length;
    return bits;
}

struct Example {
    const char *name;
    std::map<uint8_t, int32_t> counts;
    std::map<uint8_t, std::string> codes;
    std::string walk;
    std::string shape;
    Bytes stream; // empty: not checked byte for byte
};

void PrintTo(const Example &ex, std::ostream *os)
{
    *os << ex.name;
}

class TreeExample : public ::testing::TestWithParam<Example>
{
};

TEST_P(TreeExample, CodesWalkShapeAndStream)
{
    const Example &ex = GetParam();
    Counts counts{};
    for (const auto &[symbol, count] : ex.counts)
        counts[symbol] = count;
    CodeTable codes{};
    const Bytes stream = table_stream_of(counts, 256, codes);

    for (int b = 0; b < 256; ++b) {
        const auto want = ex.codes.find(static_cast<uint8_t>(b));
        if (want == ex.codes.end()) {
            EXPECT_EQ(codes[b].length, 0) << "byte " << b;
            EXPECT_EQ(codes[b].code, 0) << "byte " << b;
            continue;
        }
        EXPECT_EQ(bits_of(codes[b]), want->second) << "byte " << b;
        EXPECT_EQ(codes[b].weight, counts[b]) << "byte " << b;
    }
    TableStream parsed;
    ASSERT_TRUE(parse_table_stream(stream, parsed));
    EXPECT_EQ(parsed.bytes, stream.size());
    EXPECT_EQ(std::string(parsed.symbols.begin(), parsed.symbols.end()), ex.walk);
    EXPECT_EQ(parsed.shape, ex.shape);
    if (!ex.stream.empty()) {
        EXPECT_EQ(stream, ex.stream);
    }
}

Example equal_counts()
{
    Example ex{"AllBytesEqual", {}, {}, {}, {}, {}};
    for (int b = 0; b < 256; ++b) {
        ex.counts[static_cast<uint8_t>(b)] = 7;
        ex.codes[static_cast<uint8_t>(b)] = bits_of(HUFFCODE{b, 8, 0});
        ex.walk += static_cast<char>(b);
    }
    // Eight levels of a complete tree in pre-order: each leaf follows the
    // ones that close the subtrees above it.
    std::function<void(int)> shape = [&](int depth) {
        if (depth == 8) {
            ex.shape += '0';
            return;
        }
        ex.shape += '1';
        shape(depth + 1);
        shape(depth + 1);
    };
    shape(0);
    return ex;
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, TreeExample,
    ::testing::Values(
        Example{"Abracadabra",
                {{'a', 5}, {'b', 2}, {'r', 2}, {'c', 1}, {'d', 1}},
                {{'a', "0"}, {'c', "100"}, {'d', "101"}, {'b', "110"}, {'r', "111"}},
                "acdbr",
                "101100100",
                {0x05, 0x00, 0x00, 0x00, 0x61, 0x63, 0x64, 0x62, 0x72, 0x00, 0x00, 0x00, 0xB2}},
        Example{"PowersOfTwo",
                {{'A', 1}, {'B', 2}, {'C', 4}, {'D', 8}},
                {{'A', "000"}, {'B', "001"}, {'C', "01"}, {'D', "1"}},
                "ABCD",
                "1110000",
                {0x04, 0x00, 0x00, 0x00, 'A', 'B', 'C', 'D', 0x00, 0x00, 0x00, 0xE0}},
        Example{"TwoSymbols",
                {{0x78, 3}, {0x79, 3}},
                {{0x78, "0"}, {0x79, "1"}},
                "xy",
                "100",
                {0x02, 0x00, 0x00, 0x00, 0x78, 0x79, 0x00, 0x00, 0x00, 0x80}},
        Example{"OneSymbol", {{0x41, 9}}, {{0x41, ""}}, "A", "0", {1, 0, 0, 0, 0x41, 0, 0, 0, 0}},
        Example{"NoSymbols", {}, {}, "", "", {0, 0, 0, 0, 0, 0, 0, 0}}, equal_counts()),
    [](const auto &info) { return std::string(info.param.name); });

TEST(TableStream, ShapeWordsAreSixteenLeavesPerWord)
{
    // 2L - 1 shape bits: 31 for 16 leaves fit one word, 33 for 17 do not.
    for (const int leaves : {16, 17}) {
        Counts counts{};
        for (int b = 0; b < leaves; ++b)
            counts[b] = 1;
        CodeTable codes{};
        const Bytes stream = table_stream_of(counts, 256, codes);
        EXPECT_EQ(stream.size(), 4u + leaves + 4u * (leaves == 16 ? 1 : 2)) << leaves;
    }
}

TEST(Tree, TwominsPicksLowestWeightThenLowestIndex)
{
    struct Case {
        std::vector<int32_t> weights; // first the n leaves, then n - 1 internal nodes
        int first, second;
    };
    // n = 3: five nodes, 2n - 1 = 5 names a missing pick.
    const std::vector<Case> cases{
        {{0, 0, 0, -1, -1}, 5, 5}, // nothing to merge
        {{0, 4, 0, -1, -1}, 1, 5}, // one candidate
        {{3, 1, 3, -1, -1}, 1, 0}, // the swap, then a tie kept by index
        {{2, 2, 2, -1, -1}, 0, 1}, // all equal: the two lowest indices
        {{5, 2, 0, 2, -1}, 1, 3},  // leaf before internal node on a tie
        {{0, 0, 9, 4, 4}, 3, 4},   // older internal node first
    };
    for (const Case &c : cases) {
        std::vector<HUFFNODE> nodes;
        for (size_t i = 0; i < c.weights.size(); ++i)
            nodes.push_back(
                HUFFNODE{nullptr, nullptr, nullptr, static_cast<uint8_t>(i), c.weights[i]});
        int first = -1, second = -1;
        twomins(&first, &second, nodes.data(), 3);
        EXPECT_EQ(first, c.first) << ::testing::PrintToString(c.weights);
        EXPECT_EQ(second, c.second) << ::testing::PrintToString(c.weights);
    }
}

TEST(Tree, SmallAlphabetsLeaveHigherEntriesAlone)
{
    // n = 3 over bytes 0..2; entry 200 stays as the caller left it.
    Counts counts{};
    counts[0] = 1;
    counts[2] = 1;
    CodeTable codes{};
    codes[1] = HUFFCODE{7, 7, 7};
    codes[200] = HUFFCODE{5, 5, 5};
    const Bytes stream = table_stream_of(counts, 3, codes);
    EXPECT_EQ(stream, (Bytes{2, 0, 0, 0, 0, 2, 0, 0, 0, 0x80}));
    EXPECT_EQ(codes[1].length, 0);
    EXPECT_EQ(codes[200].code, 5);

    // n = 1: a one-byte alphabet is a single leaf.
    EXPECT_EQ(table_stream_of(Counts{5}, 1, codes), (Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(codes[0].length, 0);
    EXPECT_EQ(codes[0].weight, 5);
}

TEST(Tree, InvalidArgumentsWriteNothing)
{
    Counts counts{};
    counts[1] = 3;
    counts[2] = 4;
    Counts negative = counts;
    negative[3] = -2;
    Counts huge{};
    huge[0] = INT32_MAX;
    huge[1] = 1;
    CodeTable codes{};
    codes[1] = HUFFCODE{1, 2, 3};
    const auto run = [&](const int32_t *c, int n, HUFFCODE *table) {
        return written_by([&](std::FILE *out) { EXPECT_EQ(form_tree(out, c, n, table), 0); });
    };
    EXPECT_TRUE(run(counts.data(), 0, codes.data()).empty());
    EXPECT_TRUE(run(counts.data(), 257, codes.data()).empty());
    EXPECT_TRUE(run(counts.data(), -1, codes.data()).empty());
    EXPECT_TRUE(run(nullptr, 256, codes.data()).empty());
    EXPECT_TRUE(run(counts.data(), 256, nullptr).empty());
    EXPECT_TRUE(run(negative.data(), 256, codes.data()).empty());
    EXPECT_TRUE(run(huge.data(), 256, codes.data()).empty());
    EXPECT_EQ(form_tree(nullptr, counts.data(), 256, codes.data()), 0);
    EXPECT_EQ(codes[1].length, 2) << "an invalid call leaves the table alone";
}

TEST(Tree, AllocationFailureWritesNothingAndLeaksNothing)
{
    const Counts counts = byte_counts(bytes_of("abracadabra"));
    CodeTable codes{};
    Bytes stream;
    const long sites = fi::each_allocation_failing(
        [&] {
            codes.fill(HUFFCODE{1, 1, 1});
            stream = table_stream_of(counts, 256, codes);
        },
        [&](long n) {
            EXPECT_TRUE(stream.empty()) << "allocation " << n;
            EXPECT_EQ(fi::live_blocks(), 0) << "allocation " << n;
            for (const HUFFCODE &c : codes)
                ASSERT_EQ(c.length, 0) << "allocation " << n;
        });
    EXPECT_GT(sites, 0);
}

// Counts whose Huffman tree is a chain: each new weight exceeds the sum of
// all before it, so the merged node is always the lighter child (child0).
Counts chain_counts(int symbols)
{
    Counts counts{};
    int64_t sum = 0;
    for (int i = 0; i < symbols; ++i) {
        counts[i] = static_cast<int32_t>(i < 2 ? 1 : sum + 1);
        sum += counts[i];
    }
    return counts;
}

Counts fibonacci_counts(int symbols, int first = 0)
{
    Counts counts{};
    int64_t a = 1, b = 1;
    for (int i = 0; i < symbols; ++i) {
        counts[first + i] = static_cast<int32_t>(a);
        const int64_t next = a + b;
        a = b;
        b = next;
    }
    return counts;
}

TEST(LengthLimit, TreeOfTwentyTwoLevelsIsKeptAsMerged)
{
    // 23 chain weights give depth 22 exactly, laid out child0-deep: the
    // heaviest byte gets "1", which a canonical layout would not give.
    const Counts counts = chain_counts(23);
    CodeTable codes{};
    table_stream_of(counts, 256, codes);
    EXPECT_EQ(bits_of(codes[22]), "1");
    EXPECT_EQ(bits_of(codes[0]), std::string(22, '0'));
    EXPECT_EQ(bits_of(codes[1]), std::string(21, '0') + "1");
    EXPECT_EQ(bits_of(codes[2]), std::string(20, '0') + "1");
}

struct Deep {
    const char *name;
    Counts counts;
};

void PrintTo(const Deep &d, std::ostream *os)
{
    *os << d.name;
}

class LengthLimit : public ::testing::TestWithParam<Deep>
{
};

TEST_P(LengthLimit, DeepTreeBecomesOptimalCanonicalCodeOfAtMost22Bits)
{
    const Counts &counts = GetParam().counts;
    ASSERT_LT(limited_cost(wide(counts), 64), limited_cost(wide(counts), 22))
        << "the case must need the limit";
    CodeTable codes{};
    const Bytes stream = table_stream_of(counts, 256, codes);

    int longest = 0;
    for (int b = 0; b < 256; ++b) {
        longest = std::max(longest, codes[b].length);
        EXPECT_EQ(codes[b].length > 0, counts[b] > 0) << "byte " << b;
        EXPECT_EQ(codes[b].weight, counts[b]);
    }
    EXPECT_LE(longest, 22);
    EXPECT_EQ(cost_of(counts, codes), limited_cost(wide(counts), 22));

    // The stream is a tree whose walk gives exactly these codes, and the
    // walk meets the leaves shortest first, lower byte first.
    TableStream parsed;
    CodeTable rebuilt{};
    ASSERT_TRUE(rebuild_codes(stream, parsed, rebuilt));
    EXPECT_EQ(parsed.bytes, stream.size());
    for (int b = 0; b < 256; ++b) {
        EXPECT_EQ(rebuilt[b].code, codes[b].code) << "byte " << b;
        EXPECT_EQ(rebuilt[b].length, codes[b].length) << "byte " << b;
    }
    EXPECT_TRUE(std::is_sorted(parsed.symbols.begin(), parsed.symbols.end(), [&](int a, int b) {
        return codes[a].length != codes[b].length ? codes[a].length < codes[b].length : a < b;
    }));
}

Counts fibonacci_and_ones()
{
    Counts counts = fibonacci_counts(44, 212);
    for (int b = 0; b < 212; ++b)
        counts[b] = 1;
    return counts;
}

INSTANTIATE_TEST_SUITE_P(DeepTrees, LengthLimit,
                         ::testing::Values(Deep{"Chain24", chain_counts(24)},
                                           Deep{"Fibonacci30", fibonacci_counts(30)},
                                           // The deepest tree counts below 2^31 allow: 43 levels.
                                           Deep{"Fibonacci44", fibonacci_counts(44)},
                                           Deep{"FibonacciAmong256", fibonacci_and_ones()}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
