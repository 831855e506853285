#include "planning.h"

#include <algorithm>
#include <cmath>

#include "format.h"

namespace dctlab::container
{

// Four tables side by side, so that runs of one byte do not wait on the
// increment before.
void count_bytes(const uint8_t *data, size_t size, Counts &counts)
{
    std::array<std::array<uint32_t, 256>, 4> part{};
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        ++part[0][data[i]];
        ++part[1][data[i + 1]];
        ++part[2][data[i + 2]];
        ++part[3][data[i + 3]];
    }
    for (; i < size; ++i)
        ++part[0][data[i]];
    for (int b = 0; b < 256; ++b)
        counts[b] = part[0][b] + part[1][b] + part[2][b] + part[3][b];
}

// log2 of a count: a table for counts up to 2^13, and for larger ones the
// top 13 bits from the table with linear interpolation in the bits below,

namespace
{

double log2_of(uint32_t n)
{
    static const std::array<double, 8193> table = [] {
        std::array<double, 8193> t{};
        for (size_t i = 1; i < t.size(); ++i)
            t[i] = std::log2(static_cast<double>(i));
        return t;
    }();
    if (n < 8192)
        return table[n];
    const int shift = 31 - __builtin_clz(n) - 12;
    const uint32_t top = n >> shift;
    const double below = static_cast<double>(n & ((1u << shift) - 1u)) / (1u << shift);
    return shift + table[top] + below * (table[top + 1] - table[top]);
}

// What a lengths block of these counts is expected to cost, in bits: the
// order-0 entropy, which the code comes within a fraction of a bit a symbol
// of, plus the header and the lengths table. Measured on text and binary
// segments, the table takes about 28 bytes and a fifth of a byte a leaf, and
// the header 17 bytes, the type byte included.
double expected_bits(const Counts &counts)
{
    uint32_t total = 0;
    double sum = 0;
    int leaves = 0;
    for (uint32_t c : counts)
        if (c != 0) {
            total += c;
            sum += c * log2_of(c);
            ++leaves;
        }
    if (leaves == 0)
        return 0;
    const double table = 17 + 28 + leaves / 5.0;
    return total * log2_of(total) - sum + 8 * table;
}

} // namespace

// Cuts one unit of input into blocks at segment boundaries: a segment joins
// the block before it unless coding the two apart is expected to be smaller.
void plan_blocks(const uint8_t *data, size_t size, std::vector<Span> &blocks)
{
    blocks.clear();
    Span block{0, 0, {}};
    double block_bits = 0;
    Counts segment{};
    for (size_t at = 0; at < size; at += kSegment) {
        const size_t end = std::min(size, at + kSegment);
        count_bytes(data + at, end - at, segment);
        if (at == 0) {
            block = Span{0, end, segment};
            block_bits = expected_bits(segment);
            continue;
        }
        Counts joined;
        for (int b = 0; b < 256; ++b)
            joined[b] = block.counts[b] + segment[b];
        const double joined_bits = expected_bits(joined);
        const double segment_bits = expected_bits(segment);
        if (joined_bits <= block_bits + segment_bits) {
            block.end = end;
            block.counts = joined;
            block_bits = joined_bits;
        } else {
            blocks.push_back(block);
            block = Span{at, end, segment};
            block_bits = segment_bits;
        }
    }
    if (size > 0)
        blocks.push_back(block);
}

} // namespace dctlab::container
