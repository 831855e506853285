// The fast paths against the procedures they stand in for: form_tree's
// heap of (weight, index) against the scan of twomins, encode's accumulator
// against the bit writer add, and the two-level decoder against decosymbol
// and its 2^22-entry table, on many random inputs.
#include <algorithm>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "caller.h"
#include "encode_words.h"
#include "fast_decode.h"
#include "huffman_layout.h"
#include "little_endian.h"

namespace
{

using dctlab::huffman::FastDecoder;

// The tree of the scanning rule, merge by merge with twomins and uiui, walked
// with dfs: the codes and the table stream form_tree must produce.
struct Scanned {
    CodeTable codes{};
    Bytes stream;
    int depth = 0;
};

int depth_of(const HUFFNODE *node)
{
    return node && node->child0 ? 1 + std::max(depth_of(node->child0), depth_of(node->child1)) : 0;
}

Scanned scanning_rule(const Counts &counts, int n)
{
    Scanned s;
    std::vector<HUFFNODE> nodes(static_cast<size_t>(2 * n - 1));
    for (int i = 0; i < 2 * n - 1; ++i)
        nodes[i] = HUFFNODE{nullptr, nullptr, nullptr, static_cast<uint8_t>(i < n ? i : 0),
                            i < n ? counts[i] : -1};
    for (int slot = n;; ++slot) {
        int first = 0, second = 0;
        twomins(&first, &second, nodes.data(), n);
        if (first >= 2 * n - 1 || second >= 2 * n - 1)
            break;
        uiui(first, second, slot, nodes.data());
    }
    HUFFNODE *root = findroot(&n, nodes.data());
    s.depth = depth_of(root);
    std::array<uint8_t, 256> leaves{};
    std::array<uint32_t, 16> shape{};
    int leaf_count = 0, shape_free = 32, shape_index = 0;
    dfs(root, 0, 0, s.codes.data(), &leaf_count, leaves.data(), shape.data(), &shape_free,
        &shape_index);
    s.stream.resize(4 + leaf_count + 4 * dctlab::huffman::shape_words(leaf_count));
    dctlab::store_le32(s.stream.data(), static_cast<uint32_t>(leaf_count));
    std::copy(leaves.begin(), leaves.begin() + leaf_count, s.stream.begin() + 4);
    for (int w = 0; w < dctlab::huffman::shape_words(leaf_count); ++w)
        dctlab::store_le32(s.stream.data() + 4 + leaf_count + 4 * w, shape[w]);
    return s;
}

// Count vectors of every kind the selection meets: many equal weights (where
// a wrong tie-break shows), wide ranges, sparse alphabets, small n.
Counts random_counts(std::mt19937 &rng, int &n)
{
    static const int sizes[] = {2, 3, 5, 17, 100, 256, 256, 256};
    n = sizes[rng() % 8];
    Counts counts{};
    const int kind = static_cast<int>(rng() % 4);
    for (int i = 0; i < n; ++i) {
        switch (kind) {
        case 0:
            counts[i] = static_cast<int32_t>(rng() % 4);
            break; // heavy ties
        case 1:
            counts[i] = static_cast<int32_t>(rng() % 1000000);
            break;
        case 2:
            counts[i] = rng() % 3 == 0 ? static_cast<int32_t>(1 + rng() % 8) : 0;
            break;
        default:
            counts[i] = static_cast<int32_t>(1u << (rng() % 20));
            break; // equal sums
        }
    }
    counts[rng() % n] += 1; // at least one leaf
    counts[rng() % n] += 1;
    return counts;
}

TEST(FastPaths, HeapSelectionMakesTheTreeOfTheScan)
{
    std::mt19937 rng(2024);
    int compared = 0;
    for (int round = 0; round < 600; ++round) {
        int n = 0;
        const Counts counts = random_counts(rng, n);
        int leaves = 0;
        for (int i = 0; i < n; ++i)
            leaves += counts[i] != 0 ? 1 : 0;
        const Scanned want = scanning_rule(counts, n);
        // Deeper trees are replaced by the length-limited code; that is
        // checked with the length limit itself.
        if (leaves < 2 || want.depth > dctlab::huffman::lookup_bits)
            continue;
        CodeTable codes{};
        const Bytes stream =
            written_by([&](std::FILE *out) { form_tree(out, counts.data(), n, codes.data()); });
        ASSERT_EQ(stream, want.stream) << "round " << round;
        for (int b = 0; b < 256; ++b) {
            ASSERT_EQ(codes[b].code, want.codes[b].code) << "round " << round << " byte " << b;
            ASSERT_EQ(codes[b].length, want.codes[b].length) << "round " << round << " byte " << b;
        }
        ++compared;
    }
    EXPECT_GT(compared, 500);
}

TEST(FastPaths, EncodeWritesTheWordsOfTheBitWriter)
{
    // Arbitrary codes (encode needs no prefix code) up to a longest length
    // that occurs: each side of the lengths that let the encoder take four,
    // three or two codes between stores (14, 18, 22 bits), and up to 32 bits,
    // so that every way a code meets a word boundary is crossed.
    static const uint32_t limits[] = {1, 5, 14, 15, 18, 19, 22, 32};
    std::mt19937 rng(99);
    for (int round = 0; round < 160; ++round) {
        const uint32_t longest = limits[round % 8];
        Bytes data(1 + rng() % 3000);
        const int alphabet = 1 + static_cast<int>(rng() % 256);
        for (uint8_t &b : data)
            b = static_cast<uint8_t>(rng() % alphabet);
        CodeTable codes{};
        for (int b = 0; b < 256; ++b) {
            // A third of the rounds all of the longest length, which is
            // what fills the accumulator to the top.
            const int length =
                round % 3 == 0 ? static_cast<int>(longest) : 1 + static_cast<int>(rng() % longest);
            codes[b].length = length;
            codes[b].code = static_cast<int32_t>(length == 32 ? rng() : rng() % (1u << length));
        }
        const uint8_t widest = data[rng() % data.size()];
        codes[widest].length = static_cast<int32_t>(longest);
        codes[widest].code = static_cast<int32_t>(longest == 32 ? rng() : rng() % (1u << longest));
        uint64_t bits = 0;
        for (uint8_t b : data) {
            ++codes[b].weight;
            bits += static_cast<uint64_t>(codes[b].length);
        }
        std::vector<uint32_t> words((bits + 31) / 32, 0);
        int index = 0, free_bits = 32;
        for (uint8_t b : data)
            add(&free_bits, codes[b].length, static_cast<uint32_t>(codes[b].code), words.data(),
                &index);
        Bytes want(4 * words.size());
        for (size_t i = 0; i < words.size(); ++i)
            dctlab::store_le32(want.data() + 4 * i, words[i]);

        std::FILE *in = stream_of(data);
        int result = 0;
        const Bytes got =
            written_and_closed_by([&](std::FILE *out) { result = encode(in, codes.data(), out); });
        std::fclose(in);
        ASSERT_EQ(result, 1);
        ASSERT_EQ(got, want) << "round " << round;
    }
}

// The code of `data`'s own counts, as form_tree makes it, with its leaves.
struct Code {
    CodeTable codes{};
    Bytes leaves;
};

Code code_of(const Counts &counts)
{
    Code c;
    const Bytes stream =
        written_by([&](std::FILE *out) { form_tree(out, counts.data(), 256, c.codes.data()); });
    TableStream table;
    EXPECT_TRUE(parse_table_stream(stream, table));
    c.leaves = table.symbols;
    return c;
}

// Counts whose plain tree is deeper than 22 levels: the limited code has
// lengths up to 22, which the second-level tables serve.
Counts deep_counts(std::mt19937 &rng)
{
    Counts counts{};
    uint32_t a = 1, b = 1;
    for (int i = 0; i < 30; ++i) {
        counts[(i * 37 + static_cast<int>(rng() % 7)) % 256] += static_cast<int32_t>(a);
        const uint32_t next = a + b;
        a = b;
        b = next;
    }
    return counts;
}

TEST(FastPaths, TwoLevelDecoderMatchesDecosymbolOnAnyBits)
{
    // Every word pattern decodes under a complete code, so random words test
    // every path through the tables, including where the stream runs out.
    HUFFLOOKUP *table = lookup_table();
    ASSERT_NE(table, nullptr);
    std::mt19937 rng(5);
    for (int round = 0; round < 24; ++round) {
        int n = 0;
        Counts counts = round % 4 == 3 ? deep_counts(rng) : random_counts(rng, n);
        const Code code = code_of(counts);
        if (code.leaves.size() < 2)
            continue;
        std::fill_n(table, dctlab::huffman::lookup_entries, HUFFLOOKUP{});
        for (uint8_t s : code.leaves)
            refill(s, code.codes[s].code, code.codes[s].length, table);

        const size_t count_words = 1 + rng() % 700;
        std::vector<uint32_t> words(count_words + 2, 0);
        Bytes stream(4 * count_words);
        for (size_t i = 0; i < count_words; ++i) {
            words[i] = static_cast<uint32_t>(rng());
            dctlab::store_le32(stream.data() + 4 * i, words[i]);
        }
        // decosymbol until a code would pass the stream's end.
        const uint64_t available = 32 * static_cast<uint64_t>(count_words);
        uint32_t window = words[0];
        int word_index = 1, free_bits = 32;
        HUFFLOOKUP entry{};
        Bytes want;
        std::vector<uint64_t> ends;
        for (;;) {
            const int symbol =
                decosymbol(table, words.data(), &window, &entry, &word_index, &free_bits);
            // The cursor stands 32 bits, the window, past the codes consumed.
            const uint64_t used = 32 * static_cast<uint64_t>(word_index) - free_bits;
            if (used > available)
                break;
            want.push_back(static_cast<uint8_t>(symbol));
            ends.push_back(used);
        }

        FastDecoder fast;
        ASSERT_TRUE(fast.build(code.codes.data(), code.leaves.data(),
                               static_cast<int>(code.leaves.size())));
        // Every prefix of the symbols, as a block of that length would ask.
        for (size_t count : {size_t{1}, want.size() / 3, want.size() - 1, want.size()}) {
            if (count == 0)
                continue;
            Bytes got(count + 1, 0xEE);
            EXPECT_EQ(fast.decode(stream.data(), count_words, got.data(), count), ends[count - 1])
                << "round " << round << " count " << count;
            EXPECT_TRUE(
                std::equal(want.begin(), want.begin() + static_cast<long>(count), got.begin()))
                << "round " << round << " count " << count;
            EXPECT_EQ(got[count], 0xEE) << "wrote past the symbols";
        }
        Bytes past(want.size() + 40);
        EXPECT_GT(fast.decode(stream.data(), count_words, past.data(), past.size()), available)
            << "round " << round;
    }
}

TEST(FastPaths, TwoLevelDecoderRoundTripsEncodedFiles)
{
    std::mt19937 rng(8);
    for (int round = 0; round < 30; ++round) {
        Bytes data(1 + rng() % 20000);
        const int spread = 1 + static_cast<int>(rng() % 255);
        for (uint8_t &b : data)
            b = static_cast<uint8_t>(std::min<uint32_t>(rng() % spread, rng() % spread));
        const Encoded e = encode_bytes(data);
        ASSERT_EQ(e.encode_result, 1);
        TableStream table;
        ASSERT_TRUE(parse_table_stream(e.file, table));
        FastDecoder fast;
        ASSERT_TRUE(fast.build(e.codes.data(), table.symbols.data(), table.leaves));
        const size_t words = (e.file.size() - e.table_bytes) / 4;
        Bytes got(data.size());
        const uint64_t bits =
            fast.decode(e.file.data() + e.table_bytes, words, got.data(), got.size());
        EXPECT_EQ((bits + 31) / 32, words);
        EXPECT_EQ(got, data) << "round " << round;
    }
}

} // namespace
