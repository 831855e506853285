/* A code given by its lengths alone: the canonical code of those lengths,
 * and the compact table that carries them in the container's lengths blocks.
 *
 * The canonical code gives the shortest codes first and, among codes of one
 * length, the lower byte first; the first code is all zero bits and each
 * next one counts up, shifted left where the length grows. A decoder needs
 * nothing but the 256 lengths to rebuild it.
 *
 * The table is a bit string, most significant bit of each byte first:
 *
 *   14 fields of 3 bits   the length (0 = unused, 1 to 7) of the code of each
 *                         of the 14 length symbols below, in the order 0 to 13
 *   symbols               coded with the canonical code of those lengths,
 *                         until the lengths of all 256 byte values are given:
 *                         0 to 11  the next byte value's length (0: no code)
 *                         12       3 + (next 3 bits) byte values without code
 *                         13       11 + (next 7 bits) byte values without code
 *   zero bits             to the end of the last byte
 *
 * The length symbols' code is complete (its Kraft sum is exactly 1), or it is
 * one symbol with a code of one bit, 0. The byte lengths make one complete
 * code of two or more leaves.
 *
 * A long table (the container's long one-stream and long final blocks)
 * carries lengths of up to 15 bits the same way, with 18 length symbols:
 * 0 to 15 a length, 16 and 17 the two runs of zeros. */
#ifndef DCTLAB_INTERNAL_LENGTHS_LAYOUT_H
#define DCTLAB_INTERNAL_LENGTHS_LAYOUT_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "huffman_layout.h"
#include "hufftypes.h"

namespace dctlab
{
namespace huffman
{

constexpr int length_field_bits = 3;
constexpr int longest_length_code = (1 << length_field_bits) - 1;

/* The longest code of a long table. */
constexpr int long_code_bits = 15;

/* The layout of a table whose lengths are at most `longest` bits
 * (short_code_bits or long_code_bits): length symbols 0 to `longest`, then
 * the short and the long run of zeros. */
struct LengthsLayout {
    int longest;
    constexpr int symbols() const { return longest + 3; }
    constexpr int short_run() const { return longest + 1; }
    constexpr int long_run() const { return longest + 2; }
    /* The longest table: every one of the 256 lengths in a 7-bit code. */
    constexpr size_t most_bytes() const
    {
        return static_cast<size_t>(symbols() * length_field_bits +
                                   max_leaves * longest_length_code + 7) /
               8;
    }
};
constexpr LengthsLayout short_lengths{short_code_bits}, long_lengths{long_code_bits};
constexpr int long_length_symbols = long_lengths.symbols();

struct ZeroRun {
    int base, extra_bits;
};
constexpr ZeroRun zero_runs[2] = {{3, 3}, {11, 7}};
static_assert(zero_runs[0].base + (1 << zero_runs[0].extra_bits) == zero_runs[1].base,
              "the two runs cover 3 to 138 without a gap");

constexpr size_t lengths_table_most_bytes = short_lengths.most_bytes();
static_assert(lengths_table_most_bytes == 230, "a table never passes 230 bytes");
static_assert(long_lengths.most_bytes() == 231, "a long table never passes 231 bytes");
/* Room for a table of either layout. */
constexpr size_t any_lengths_table_most_bytes = long_lengths.most_bytes();

/* The canonical code of `lengths` (n of them, each 0 to 31): codes[s] gets
 * the code and length of every s (weight 0; length 0 where s has no code).
 * The lengths must satisfy Kraft's inequality. `order` gets the symbols with
 * a code, shortest first and by value within a length; returns how many. */
inline int canonical_codes(const uint8_t *lengths, int n, HUFFCODE *codes, uint8_t *order)
{
    // The symbols in four quarters, each with counts and next codes of its
    // own: the quarters' chains of increments (many symbols share a length)
    // run side by side instead of one after another.
    constexpr int kQuarters = 4;
    std::array<int, kQuarters + 1> bound;
    for (int q = 0; q <= kQuarters; ++q)
        bound[q] = q * n / kQuarters;
    std::array<std::array<int, 33>, kQuarters> count{};
    for (int i = 0; i < bound[1]; ++i)
        for (int q = 0; q < kQuarters; ++q)
            if (bound[q] + i < bound[q + 1])
                ++count[q][lengths[bound[q] + i]];
    for (int q = 0; q < kQuarters; ++q)
        for (int i = bound[q] + bound[1]; i < bound[q + 1]; ++i)
            ++count[q][lengths[i]];
    std::array<std::array<uint32_t, 33>, kQuarters> next{};
    std::array<std::array<int, 33>, kQuarters> place{};
    uint32_t code = 0;
    int at = 0, before = 0; // before: the symbols of length len - 1
    for (int len = 1; len <= 32; ++len) {
        code = (code + static_cast<uint32_t>(before)) << 1;
        before = 0;
        for (int q = 0; q < kQuarters; ++q) {
            next[q][len] = code + static_cast<uint32_t>(before);
            place[q][len] = at + before;
            before += count[q][len];
        }
        at += before;
    }
    const auto assign = [&](int q, int s) {
        const int len = lengths[s];
        codes[s] = HUFFCODE{len != 0 ? static_cast<int32_t>(next[q][len]++) : 0, len, 0};
        if (len != 0)
            order[place[q][len]++] = static_cast<uint8_t>(s);
    };
    for (int i = 0; i < bound[1]; ++i)
        for (int q = 0; q < kQuarters; ++q)
            if (bound[q] + i < bound[q + 1])
                assign(q, bound[q] + i);
    for (int q = 0; q < kQuarters; ++q)
        for (int i = bound[q] + bound[1]; i < bound[q + 1]; ++i)
            assign(q, i);
    return at;
}

} // namespace huffman
} // namespace dctlab

#endif
