// The container's short-code paths against the library functions they stand
// in for: build_code against form_tree and an independent optimum, the
// shape walk against dfr and dfs_final, encode_short and encode_four against
// encode's words, and the short-code decoder against decosymbol.
#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "build_code.h"
#include "length_limit.h"
#include "caller.h"
#include "encode_words.h"
#include "fast_decode.h"
#include "huffman_layout.h"
#include "little_endian.h"
#include "optimum.h"
#include "short_decode.h"
#include "table_check.h"

namespace
{

namespace hf = dctlab::huffman;
using dctlab::huffman::FastDecoder;
using hf::ShortDecoder;

// Counts of every kind: ties, wide ranges, sparse alphabets, one symbol,
// and chains deeper than any limit.
Counts some_counts(std::mt19937 &rng, int round)
{
    Counts counts{};
    switch (round % 5) {
    case 0:
        // Light weights and ties; or (every other time) weights either side
        // of 255, where the sort puts the light ones in order by one pass and
        // the heavy ones after them.
        for (int b = 0; b < 256; ++b) {
            if (round % 10 == 0)
                counts[b] = static_cast<int32_t>(rng() % 4);
            else
                counts[b] = static_cast<int32_t>(rng() % 3 == 0 ? 0 : 253 + rng() % 5);
        }
        break;
    case 1:
        for (int b = 0; b < 256; ++b)
            counts[b] = static_cast<int32_t>(rng() % 1000000);
        break;
    case 2:
        // Some 28 leaves, or (every other time) some 8 of a few weights,
        // which ties order.
        for (int b = 0; b < 256; ++b) {
            if (round % 10 == 2)
                counts[b] = rng() % 9 == 0 ? static_cast<int32_t>(1 + rng() % 50) : 0;
            else
                counts[b] = rng() % 32 == 0 ? static_cast<int32_t>(1 + rng() % 4) : 0;
        }
        break;
    case 3: {
        uint32_t a = 1, f = 1;
        for (int i = 0; i < 30; ++i) {
            counts[(i * 37 + static_cast<int>(rng() % 7)) % 256] += static_cast<int32_t>(a);
            const uint32_t next = a + f;
            a = f;
            f = next;
        }
        break;
    }
    default:
        counts[rng() % 256] = static_cast<int32_t>(1 + rng() % 100);
        break;
    }
    counts[rng() % 256] += 1;
    return counts;
}

struct Built {
    CodeTable codes{};
    Bytes table;
    TableStream parsed;
};

Built built(const Counts &counts, int limit)
{
    Built b;
    hf::CodeScratch scratch;
    hf::TableBytes table;
    hf::build_code(counts.data(), 256, limit, scratch, b.codes.data(), table);
    b.table.assign(table.bytes.begin(), table.bytes.begin() + static_cast<long>(table.size));
    EXPECT_TRUE(parse_table_stream(b.table, b.parsed));
    return b;
}

int64_t cost_of(const Counts &counts, const CodeTable &codes)
{
    int64_t cost = 0;
    for (int b = 0; b < 256; ++b)
        cost += int64_t{counts[b]} * codes[b].length;
    return cost;
}

TEST(ShortPaths, BuildCodeIsFormTreesWhereItFitsAndOptimalWhereItDoesNot)
{
    std::mt19937 rng(31);
    for (int round = 0; round < 100; ++round) {
        const Counts counts = some_counts(rng, round);
        CodeTable plain{};
        const Bytes stream = written_by(
            [&](std::FILE *out) { form_tree(out, counts.data(), 256, plain.data()); });
        int depth = 0;
        for (const HUFFCODE &c : plain)
            depth = std::max(depth, c.length);
        std::vector<int64_t> weights;
        for (int32_t c : counts)
            if (c > 0)
                weights.push_back(c);
        for (int limit : {8, 9, 10, 11, 12, 16, hf::lookup_bits}) {
            if (weights.size() > (size_t{1} << limit))
                continue;
            const Built b = built(counts, limit);
            // The lengths alone, without a tree: form_tree's where they fit,
            // else a complete code of the limit within 1% of the cheapest (on
            // real data 0.006%).
            // A form_tree code of 22 bits may be its own limit's, and so
            // counts as one that did not fit.
            const bool fits = depth <= limit && depth < hf::lookup_bits;
            std::array<uint8_t, 256> lengths;
            const int longest_length = hf::code_lengths(counts.data(), 256, limit, lengths.data());
            int64_t lengths_cost = 0;
            uint64_t kraft = 0;
            for (int s = 0; s < 256; ++s) {
                lengths_cost += int64_t{counts[s]} * lengths[s];
                if (lengths[s] != 0)
                    kraft += uint64_t{1} << (hf::lookup_bits - lengths[s]);
                ASSERT_EQ(lengths[s] != 0, counts[s] != 0);
                ASSERT_LE(lengths[s], longest_length);
                if (fits) {
                    ASSERT_EQ(lengths[s], plain[s].length) << "round " << round;
                }
            }
            ASSERT_EQ(kraft, uint64_t{1} << hf::lookup_bits) << "round " << round << " limit " << limit;
            ASSERT_LE(longest_length, std::min(depth, limit));
            if (!fits) {
                const int64_t best = limited_cost(weights, limit);
                EXPECT_GE(lengths_cost, best);
                EXPECT_LE(lengths_cost, best + best / 100) << "round " << round << " limit " << limit;
            }
            if (depth <= limit) {
                EXPECT_EQ(b.table, stream) << "round " << round << " limit " << limit;
                for (int s = 0; s < 256; ++s)
                    ASSERT_EQ(b.codes[s].code, plain[s].code) << "round " << round;
                continue;
            }
            int longest = 0;
            for (const HUFFCODE &c : b.codes)
                longest = std::max(longest, c.length);
            EXPECT_LE(longest, limit) << "round " << round;
            EXPECT_EQ(cost_of(counts, b.codes), limited_cost(weights, limit))
                << "round " << round << " limit " << limit;
        }
    }
}

TEST(ShortPaths, TheShapeWalkGivesTheCodesOfDfrAndDfsFinal)
{
    std::mt19937 rng(32);
    for (int round = 0; round < 60; ++round) {
        const Counts counts = some_counts(rng, round);
        const Built b = built(counts, round % 2 ? 11 : hf::lookup_bits);
        TableStream parsed;
        CodeTable rebuilt{};
        ASSERT_TRUE(rebuild_codes(b.table, parsed, rebuilt));
        int leaves = 0;
        std::string shape, error;
        std::array<uint8_t, 256> symbols{};
        ASSERT_TRUE(hf::check_table_stream(b.table.data(), b.table.size(), leaves, shape, symbols,
                                           error))
            << error;
        CodeTable walked{};
        const int longest = hf::codes_of_shape(shape, symbols, leaves, walked.data());
        int deepest = 0;
        for (int s = 0; s < 256; ++s) {
            ASSERT_EQ(walked[s].code, rebuilt[s].code) << "round " << round << " symbol " << s;
            ASSERT_EQ(walked[s].length, rebuilt[s].length) << "round " << round << " symbol " << s;
            deepest = std::max(deepest, rebuilt[s].length);
        }
        EXPECT_EQ(longest, deepest);
    }
}

// encode's words for `data` under `codes`, weights set to the data's counts.
Bytes words_of(const uint8_t *data, size_t size, CodeTable codes)
{
    for (HUFFCODE &c : codes)
        c.weight = 0;
    uint64_t bits = 0;
    for (size_t i = 0; i < size; ++i) {
        ++codes[data[i]].weight;
        bits += static_cast<uint64_t>(codes[data[i]].length);
    }
    Bytes words(4 * ((bits + 31) / 32));
    EXPECT_TRUE(hf::encode_words(data, size, codes.data(), words.data(), words.size() / 4))
        << size << " bytes";
    return words;
}

// A stream of words as a container from version 9 stores it: each word's
// bytes from its top one down, cut at `bytes`; and as one of version 8:
// the last word's top bytes alone.
Bytes in_byte_order(const Bytes &words, size_t bytes)
{
    Bytes out = words;
    for (size_t w = 0; w + 4 <= out.size(); w += 4)
        std::reverse(out.begin() + static_cast<long>(w), out.begin() + static_cast<long>(w + 4));
    out.resize(bytes);
    return out;
}

Bytes cut_words(const Bytes &words, size_t bytes)
{
    Bytes out = words;
    if (bytes % 4 != 0)
        out.erase(out.end() - 4, out.end() - static_cast<long>(bytes % 4));
    out.resize(bytes);
    return out;
}

// Memory of exactly `b`'s size, so that a read past it is one the
// sanitizers see.
std::unique_ptr<uint8_t[]> exactly(const Bytes &b)
{
    std::unique_ptr<uint8_t[]> p(new uint8_t[b.size()]);
    std::copy(b.begin(), b.end(), p.get());
    return p;
}

TEST(ShortPaths, EncodersWriteTheWordsOfEncode)
{
    // In either order. Arbitrary codes of every longest length up to 11 (either side of 8,
    // where a round takes seven codes instead of five), all of the longest
    // length in a third of the rounds, on inputs of 0 to 5000 bytes.
    std::mt19937 rng(33);
    for (int round = 0; round < 150; ++round) {
        const int longest = 1 + round % hf::short_code_bits;
        Bytes data(rng() % 5001);
        const int alphabet = 1 + static_cast<int>(rng() % 256);
        for (uint8_t &b : data)
            b = static_cast<uint8_t>(rng() % alphabet);
        CodeTable codes{};
        for (HUFFCODE &c : codes) {
            c.length = round % 3 == 0 ? longest : 1 + static_cast<int>(rng() % longest);
            c.code = static_cast<int32_t>(rng() % (1u << c.length));
        }
        // The words, or the same words in byte order.
        const auto as = [](const Bytes &words, hf::StreamOrder order) {
            return order == hf::StreamOrder::words ? words : in_byte_order(words, words.size());
        };
        for (const hf::StreamOrder order : {hf::StreamOrder::words, hf::StreamOrder::bytes}) {
            const Bytes want = as(words_of(data.data(), data.size(), codes), order);
            std::vector<uint8_t> out(4 * hf::short_words_bound(data.size(), longest), 0xEE);
            const size_t words =
                hf::encode_short(data.data(), data.size(), codes.data(), out.data(), order);
            ASSERT_EQ(words, want.size() / 4) << "round " << round;
            ASSERT_TRUE(std::equal(want.begin(), want.end(), out.begin())) << "round " << round;

            // Each way the four streams can be coded, whatever this processor
            // takes by itself.
            for (const hf::FourWay way :
                 {hf::FourWay::fastest, hf::FourWay::rounds, hf::FourWay::portable}) {
                std::array<std::vector<uint8_t>, 4> streams;
                std::array<uint8_t *, 4> at;
                std::array<uint64_t, 4> bits;
                for (int k = 0; k < 4; ++k) {
                    const size_t share =
                        hf::stream_share(data.size(), k + 1) - hf::stream_share(data.size(), k);
                    streams[k].assign(4 * hf::short_words_bound(share, longest), 0xEE);
                    at[k] = streams[k].data();
                }
                hf::encode_four_way(data.data(), data.size(), codes.data(), at.data(), bits.data(),
                                    way, order);
                for (int k = 0; k < 4; ++k) {
                    const size_t from = hf::stream_share(data.size(), k);
                    const size_t to = hf::stream_share(data.size(), k + 1);
                    const Bytes part = as(words_of(data.data() + from, to - from, codes), order);
                    uint64_t want_bits = 0;
                    for (size_t i = from; i < to; ++i)
                        want_bits += static_cast<uint64_t>(codes[data[i]].length);
                    ASSERT_EQ(bits[k], want_bits)
                        << "round " << round << " stream " << k << " way " << static_cast<int>(way);
                    ASSERT_EQ((bits[k] + 31) / 32, part.size() / 4)
                        << "round " << round << " stream " << k << " way " << static_cast<int>(way);
                    ASSERT_TRUE(std::equal(part.begin(), part.end(), streams[k].begin()))
                        << "round " << round << " stream " << k << " way " << static_cast<int>(way);
                }
            }
        }
    }
}

// What decosymbol reads from `words`: each symbol and the bits consumed
// after it, until a code would pass the end.
struct Reference {
    Bytes symbols;
    std::vector<uint64_t> ends;
};

HUFFLOOKUP *filled_table(const CodeTable &codes, const Bytes &leaves)
{
    HUFFLOOKUP *table = lookup_table();
    std::fill_n(table, hf::lookup_entries, HUFFLOOKUP{});
    for (uint8_t s : leaves)
        refill(s, codes[s].code, codes[s].length, table);
    return table;
}

Reference decosymbol_reads(HUFFLOOKUP *table, const Bytes &stream)
{
    const size_t count = stream.size() / 4;
    std::vector<uint32_t> words(count + 2, 0);
    for (size_t i = 0; i < count; ++i)
        words[i] = dctlab::load_le32(stream.data() + 4 * i);
    uint32_t window = words[0];
    int word_index = 1, free_bits = 32;
    HUFFLOOKUP entry{};
    Reference r;
    for (;;) {
        const int symbol = decosymbol(table, words.data(), &window, &entry, &word_index, &free_bits);
        const uint64_t used = 32 * static_cast<uint64_t>(word_index) - free_bits;
        if (used > 32 * count)
            return r;
        r.symbols.push_back(static_cast<uint8_t>(symbol));
        r.ends.push_back(used);
    }
}

TEST(ShortPaths, DecoderMatchesDecosymbolOnAnyBits)
{
    // Any words decode under a complete code, so random words reach every
    // path, including where a stream runs out; four streams at once must
    // give what each gives alone.
    std::mt19937 rng(34);
    std::array<int, 2> tables{}; // rounds with tables of 8 and of 11 bits
    for (int round = 0; round < 40; ++round) {
        const Built b = built(some_counts(rng, round), hf::short_code_bits);
        if (b.parsed.leaves < 2)
            continue;
        ShortDecoder decoder;
        ASSERT_TRUE(decoder.build(b.codes.data(), b.parsed.symbols.data(), b.parsed.leaves));
        ++tables[decoder.longest() <= 8 ? 0 : 1];
        HUFFLOOKUP *table = filled_table(b.codes, b.parsed.symbols);
        std::array<Bytes, 4> streams;
        std::array<Reference, 4> want;
        for (int k = 0; k < 4; ++k) {
            streams[k].resize(4 * (rng() % 300));
            for (uint8_t &byte : streams[k])
                byte = static_cast<uint8_t>(rng());
            want[k] = decosymbol_reads(table, streams[k]);
        }
        const Reference &one = want[0];
        const size_t words = streams[0].size() / 4;
        for (size_t count : {size_t{1}, one.symbols.size() / 3, one.symbols.size() - 1,
                             one.symbols.size()}) {
            if (count == 0 || count > one.symbols.size())
                continue;
            Bytes got(count + 1, 0xEE);
            EXPECT_EQ(decoder.decode(streams[0].data(), words, got.data(), count),
                      one.ends[count - 1])
                << "round " << round << " count " << count;
            EXPECT_TRUE(std::equal(one.symbols.begin(),
                                   one.symbols.begin() + static_cast<long>(count), got.begin()))
                << "round " << round << " count " << count;
            EXPECT_EQ(got[count], 0xEE) << "wrote past the symbols";
        }
        Bytes past(one.symbols.size() + 40);
        EXPECT_GT(decoder.decode(streams[0].data(), words, past.data(), past.size()), 32 * words);
        // Cut to its last word's top bytes, a stream reads as the whole
        // words with the bytes left out 0.
        if (words > 0) {
            const size_t top = 1 + round % 3;
            Bytes cut(streams[0].begin(), streams[0].end() - 4), zeroed = streams[0];
            const auto last = streams[0].end() - 4;
            cut.insert(cut.end(), last + static_cast<long>(4 - top), last + 4);
            std::fill(zeroed.end() - 4, zeroed.end() - static_cast<long>(top), 0);
            const Reference z = decosymbol_reads(table, zeroed);
            size_t fit = 0; // the symbols whose codes end within the cut
            while (fit < z.ends.size() && z.ends[fit] <= 8 * cut.size())
                ++fit;
            if (fit > 0) {
                Bytes got(fit);
                EXPECT_EQ(decoder.decode_bytes(cut.data(), cut.size(), got.data(), fit),
                          z.ends[fit - 1])
                    << "round " << round;
                EXPECT_TRUE(std::equal(got.begin(), got.end(), z.symbols.begin()))
                    << "round " << round;
            }
            Bytes more(fit + 1);
            EXPECT_GT(decoder.decode_bytes(cut.data(), cut.size(), more.data(), more.size()),
                      8 * cut.size())
                << "round " << round;
        }

        // A block whose shares are each stream's symbols, give or take.
        const size_t share = std::min({want[0].symbols.size(), want[1].symbols.size(),
                                       want[2].symbols.size(), want[3].symbols.size()});
        for (size_t size : {4 * share, 4 * share + 3, 4 * share + 9}) {
            // Streams of whole words and streams cut short of them.
            Bytes all;
            std::array<size_t, 4> lengths;
            for (int k = 0; k < 4; ++k) {
                lengths[k] = streams[k].size() - std::min<size_t>(streams[k].size(), k % 4);
                all.insert(all.end(), streams[k].begin(),
                           streams[k].begin() + static_cast<long>(lengths[k]));
            }
            // One symbol a look-up, or one or two: the same bytes and bits,
            // and nothing written past the block.
            for (const bool two_symbols : {false, true}) {
                Bytes got(size + 1, 0xEE);
                std::array<uint64_t, 4> used;
                decoder.decode_four(all.data(), lengths.data(), got.data(), size, used.data(),
                                    two_symbols);
                EXPECT_EQ(got[size], 0xEE) << "round " << round << " wrote past the block";
                for (int k = 0; k < 4; ++k) {
                    const size_t from = hf::stream_share(size, k);
                    const size_t count = hf::stream_share(size, k + 1) - from;
                    Bytes alone(count);
                    EXPECT_EQ(used[k], decoder.decode_bytes(streams[k].data(), lengths[k],
                                                            alone.data(), count))
                        << "round " << round << " stream " << k << " pairs " << two_symbols;
                    if (used[k] <= 8 * lengths[k]) {
                        EXPECT_TRUE(std::equal(alone.begin(), alone.end(), got.begin() + from))
                            << "round " << round << " stream " << k << " pairs " << two_symbols;
                    }
                }
            }
        }
    }
    EXPECT_GT(tables[0], 0);
    EXPECT_GT(tables[1], 0);
}

TEST(ShortPaths, StreamsInByteOrderDecodeInPlaceAsTheirWords)
{
    // Random streams under random complete codes reach every path, where a
    // stream runs out among them; short streams at the end make the lanes
    // finish on copies of their last bytes. Read in place, each stream
    // gives what it gives as words, and where it runs out it does so
    // either way.
    std::mt19937 rng(35);
    int tiny = 0;
    for (int round = 0; round < 80; ++round) {
        const Built b = built(some_counts(rng, round), hf::short_code_bits);
        if (b.parsed.leaves < 2)
            continue;
        ShortDecoder decoder;
        ASSERT_TRUE(decoder.build(b.codes.data(), b.parsed.symbols.data(), b.parsed.leaves));
        FastDecoder any;
        ASSERT_TRUE(any.build(b.codes.data(), b.parsed.symbols.data(), b.parsed.leaves));
        std::array<Bytes, 4> words, cut, ordered;
        std::array<size_t, 4> lengths;
        Bytes all_cut, all_ordered;
        for (int k = 0; k < 4; ++k) {
            const size_t n = round % 3 == 0 && k >= 2 ? rng() % 3 : rng() % 300;
            words[k].resize(4 * n);
            for (uint8_t &byte : words[k])
                byte = static_cast<uint8_t>(rng());
            lengths[k] = words[k].size() - std::min<size_t>(words[k].size(), rng() % 4);
            tiny += lengths[k] < 8 ? 1 : 0;
            cut[k] = cut_words(words[k], lengths[k]);
            ordered[k] = in_byte_order(words[k], lengths[k]);
            all_cut.insert(all_cut.end(), cut[k].begin(), cut[k].end());
            all_ordered.insert(all_ordered.end(), ordered[k].begin(), ordered[k].end());
        }
        const auto agree = [&](uint64_t as_words, uint64_t in_place, size_t bytes) {
            return as_words > 8 * bytes ? in_place > 8 * bytes : in_place == as_words;
        };
        // One stream alone, asked for more symbols than it may hold.
        for (size_t count : {size_t{1}, size_t{7}, 4 * lengths[0] / 3, 2 * lengths[0] + 5}) {
            Bytes a(count), c(count);
            const auto stream = exactly(ordered[0]);
            const uint64_t as_words =
                decoder.decode_bytes(cut[0].data(), lengths[0], a.data(), count);
            const uint64_t in_place = decoder.decode_bytes(stream.get(), lengths[0], c.data(),
                                                           count, hf::StreamOrder::bytes);
            EXPECT_TRUE(agree(as_words, in_place, lengths[0])) << "round " << round;
            if (as_words <= 8 * lengths[0]) {
                EXPECT_EQ(a, c) << "round " << round << " count " << count;
            }
            // With the table of pairs, either order.
            for (const hf::StreamOrder order : {hf::StreamOrder::words, hf::StreamOrder::bytes}) {
                Bytes p(count);
                const bool words_order = order == hf::StreamOrder::words;
                const uint64_t paired =
                    decoder.decode_bytes(words_order ? cut[0].data() : stream.get(), lengths[0],
                                         p.data(), count, order, true);
                EXPECT_TRUE(agree(as_words, paired, lengths[0])) << "round " << round;
                if (as_words <= 8 * lengths[0]) {
                    EXPECT_EQ(paired, as_words) << "round " << round << " count " << count;
                    EXPECT_EQ(p, a) << "round " << round << " count " << count;
                }
            }
            // The two-level decoder, in place and on the whole words that
            // the stream's bytes and zeros after them make.
            Bytes whole = ordered[0], d(count), e(count);
            whole.resize((whole.size() + 3) / 4 * 4, 0);
            whole = in_byte_order(whole, whole.size());
            const uint64_t any_words = any.decode(whole.data(), whole.size() / 4, d.data(), count);
            const uint64_t any_bytes = any.decode_bytes(stream.get(), lengths[0], e.data(), count);
            EXPECT_TRUE(agree(any_words, any_bytes, lengths[0])) << "round " << round;
            if (any_words <= 8 * lengths[0]) {
                EXPECT_EQ(any_bytes, as_words) << "round " << round << " count " << count;
                EXPECT_EQ(d, e) << "round " << round << " count " << count;
                EXPECT_EQ(e, a) << "round " << round << " count " << count;
            }
        }
        const size_t share = std::min({lengths[0], lengths[1], lengths[2], lengths[3]});
        const auto streams = exactly(all_ordered);
        for (size_t size : {4 * share, 4 * share + 3, 4 * (2 * share + 2) + 1}) {
            for (const bool two_symbols : {false, true}) {
                Bytes a(size + 1, 0xEE), c(size + 1, 0xEE);
                std::array<uint64_t, 4> as_words, in_place;
                decoder.decode_four(all_cut.data(), lengths.data(), a.data(), size, as_words.data(),
                                    two_symbols);
                decoder.decode_four(streams.get(), lengths.data(), c.data(), size, in_place.data(),
                                    two_symbols, hf::StreamOrder::bytes);
                EXPECT_EQ(c[size], 0xEE) << "round " << round << " wrote past the block";
                for (int k = 0; k < 4; ++k) {
                    EXPECT_TRUE(agree(as_words[k], in_place[k], lengths[k]))
                        << "round " << round << " stream " << k << " pairs " << two_symbols;
                    const auto from = static_cast<long>(hf::stream_share(size, k));
                    const auto to = static_cast<long>(hf::stream_share(size, k + 1));
                    if (as_words[k] <= 8 * lengths[k]) {
                        EXPECT_TRUE(std::equal(a.begin() + from, a.begin() + to, c.begin() + from))
                            << "round " << round << " stream " << k << " pairs " << two_symbols;
                    }
                }
            }
        }
    }
    EXPECT_GT(tiny, 10);
}

// Both decoders, on what they share: where a stream ends, and which codes
// they refuse. Each refuses besides what only its own limit rules out.
template <typename Decoder> struct Limit;
template <> struct Limit<FastDecoder> {
    static std::vector<std::pair<uint8_t, HUFFCODE>> too_long()
    {
        return {{'a', {0, 1, 0}}, {'b', {1, 23, 0}}};
    }
};
template <> struct Limit<ShortDecoder> {
    // A complete code whose last two codes have 12 bits.
    static std::vector<std::pair<uint8_t, HUFFCODE>> too_long()
    {
        return {{'a', {0, 1, 0}},     {'b', {2, 2, 0}},     {'c', {6, 3, 0}},
                {'d', {14, 4, 0}},    {'e', {30, 5, 0}},    {'f', {62, 6, 0}},
                {'g', {126, 7, 0}},   {'h', {254, 8, 0}},   {'i', {510, 9, 0}},
                {'j', {1022, 10, 0}}, {'k', {2046, 11, 0}}, {'l', {4094, 12, 0}},
                {'m', {4095, 12, 0}}};
    }
};

template <typename Decoder> class Decoders : public testing::Test
{
};
using BothDecoders = testing::Types<FastDecoder, ShortDecoder>;
TYPED_TEST_SUITE(Decoders, BothDecoders);

TYPED_TEST(Decoders, EndExactlyWhereTheCodesFillTheLastWord)
{
    // a = 0 and b = 1 on words of 0x55555555: 32 symbols a word. Decoding
    // as many symbols as the words hold uses every bit; one or two more run
    // past the end, whichever of the decoder's loops serves the last ones.
    CodeTable codes{};
    codes['a'] = HUFFCODE{0, 1, 0};
    codes['b'] = HUFFCODE{1, 1, 0};
    const uint8_t leaves[] = {'a', 'b'};
    TypeParam decoder;
    ASSERT_TRUE(decoder.build(codes.data(), leaves, 2));
    for (size_t words : {1, 2, 3, 5, 8, 40}) {
        Bytes stream(4 * words);
        for (size_t i = 0; i < words; ++i)
            dctlab::store_le32(stream.data() + 4 * i, 0x55555555u);
        const size_t fits = 32 * words;
        for (size_t count : {fits - 1, fits, fits + 1, fits + 2}) {
            Bytes got(count);
            const uint64_t used = decoder.decode(stream.data(), words, got.data(), count);
            if (count <= fits) {
                EXPECT_EQ(used, count) << words << " words, " << count << " symbols";
                for (size_t i = 0; i < count; ++i)
                    ASSERT_EQ(got[i], i % 2 ? 'b' : 'a') << i;
            } else {
                EXPECT_GT(used, fits) << words << " words, " << count << " symbols";
            }
        }
    }
}

TYPED_TEST(Decoders, RefuseWhatIsNoCompleteCodeOfTheirLengths)
{
    struct Case {
        const char *name;
        std::vector<std::pair<uint8_t, HUFFCODE>> codes;
    };
    const std::vector<Case> cases{
        {"no leaves", {}},
        {"incomplete", {{'a', {0, 1, 0}}, {'b', {2, 2, 0}}}},
        {"overlapping", {{'a', {0, 1, 0}}, {'b', {1, 2, 0}}, {'c', {1, 1, 0}}}},
        {"overlapping a second table", {{'a', {0, 1, 0}}, {'b', {1, 1, 0}}, {'c', {4095, 12, 0}}}},
        {"longer than 22 bits", {{'a', {0, 1, 0}}, {'b', {1, 23, 0}}}},
        {"longer than the decoder's limit", Limit<TypeParam>::too_long()},
        {"code wider than its length", {{'a', {2, 1, 0}}, {'b', {1, 1, 0}}}},
        {"single leaf with a length", {{'a', {0, 1, 0}}}},
    };
    for (const Case &c : cases) {
        CodeTable codes{};
        Bytes leaves;
        for (const auto &[symbol, code] : c.codes) {
            codes[symbol] = code;
            leaves.push_back(symbol);
        }
        TypeParam decoder;
        EXPECT_FALSE(decoder.build(codes.data(), leaves.data(), static_cast<int>(leaves.size())))
            << c.name;
        uint8_t out = 0;
        EXPECT_EQ(decoder.decode(nullptr, 0, &out, 1), UINT64_MAX) << c.name;
    }
    // A single leaf of length 0 takes no bits.
    CodeTable codes{};
    const uint8_t leaf = 'z';
    TypeParam decoder;
    ASSERT_TRUE(decoder.build(codes.data(), &leaf, 1));
    Bytes out(5);
    EXPECT_EQ(decoder.decode(nullptr, 0, out.data(), out.size()), 0u);
    EXPECT_EQ(out, Bytes(5, 'z'));
}

} // namespace
