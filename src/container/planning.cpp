#include "planning.h"

#include <algorithm>
#include <cmath>

#include "format.h"
#include "little_endian.h"

namespace dctlab::container
{

// Eight tables of 32-bit counters side by side, so that runs of one byte do
// not wait on the increment before, fed from 8-byte loads (one load for
// eight bytes, the bytes taken out by shifts). Measured on 8 KiB segments of
// text on a Zen 3 machine: 2.0 times eight tables of 16-bit counters, whose
// increments of 16-bit memory ran at half the rate of 32-bit ones there; and
// eight of 32 bits against four, pack in one process 1.8% faster on text and
// 0.9% on programs (sixteen were slower again).
//
// Counting is the first pass over the input, whose lines come from memory
// a page at a time (the hardware's prefetch stops at each 4 KiB page), so
// the lines a segment ahead are asked for while this one is counted. On an
// Intel Xeon, with the input mapped from a file, pack took 2% less time on
// one thread and 7% less on two, whose counting had waited a quarter longer
// on its loads than one thread's. Lines asked for 2 and 8 KiB ahead did as
// well as each other.
void Tally::add(const uint8_t *data, size_t size)
{
    size_t i = 0;
    for (; i + 16 <= size; i += 16) {
        const uint64_t low = load_le64(data + i), high = load_le64(data + i + 8);
        // An address, not a pointer into the data: past its end it is only a hint.
        if (i % 64 == 0)
            __builtin_prefetch(
                reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(data) + i + kSegment));
        for (unsigned k = 0; k < 8; ++k) {
            ++part_[(2 * k) % kTables][(low >> (8 * k)) & 0xFFu];
            ++part_[(2 * k + 1) % kTables][(high >> (8 * k)) & 0xFFu];
        }
    }
    for (; i < size; ++i)
        ++part_[i % kTables][data[i]];
}

void Tally::take(Counts &counts)
{
    for (size_t b = 0; b < 256; ++b) {
        uint32_t sum = 0;
        for (size_t t = 0; t < kTables; ++t)
            sum += part_[t][b];
        counts[b] = sum - taken_[b];
        taken_[b] = sum;
    }
}

void count_bytes(const uint8_t *data, size_t size, Counts &counts)
{
    // Clearing and summing eight tables costs more than a few KiB of bytes
    // counted in one.
    constexpr size_t kFewBytes = size_t{2} << 10;
    if (size <= kFewBytes) {
        counts.fill(0);
        for (size_t i = 0; i < size; ++i)
            ++counts[data[i]];
        return;
    }
    Tally tally;
    tally.add(data, size);
    tally.take(counts);
}

// log2 of a count: a table for counts up to 2^13, and for larger ones the
// top 13 bits from the table with linear interpolation in the bits below,
// as close as the planner's estimates need.

namespace
{

constexpr uint32_t kTabled = 8192;

const std::array<double, kTabled + 1> &log2_table()
{
    static const std::array<double, kTabled + 1> table = [] {
        std::array<double, kTabled + 1> t{};
        for (size_t i = 1; i < t.size(); ++i)
            t[i] = std::log2(static_cast<double>(i));
        return t;
    }();
    return table;
}

double log2_of(uint32_t n)
{
    const auto &table = log2_table();
    if (n < kTabled)
        return table[n];
    const int shift = 31 - __builtin_clz(n) - 12;
    const uint32_t top = n >> shift;
    const double below = static_cast<double>(n & ((1u << shift) - 1u)) / (1u << shift);
    return shift + table[top] + below * (table[top + 1] - table[top]);
}

// n log2 n for the counts that most are, the same products as below: one
// load where a conversion, a load and a multiplication were.
using ProductTable = std::array<double, kTabled>;

const ProductTable &n_log2_n_table()
{
    static const ProductTable table = [] {
        ProductTable t{};
        for (uint32_t i = 1; i < kTabled; ++i)
            t[i] = i * log2_of(i);
        return t;
    }();
    return table;
}

double n_log2_n(const ProductTable &table, uint32_t n)
{
    return n < kTabled ? table[n] : n * log2_of(n);
}

} // namespace

// The order-0 entropy, which the code comes within a fraction of a bit a
// symbol of, plus the header and the lengths table. Measured on text and
// binary segments, the table takes about 28 bytes and a fifth of a byte a
// leaf, and the header 17 bytes, the type byte included.
double expected_bits(const Counts &counts)
{
    // Four sums side by side in registers, so that each addition does not
    // wait on the one before (kept in an array, they went through memory);
    // a count of 0 adds 0 (the table's first entry). The table is fetched
    // once, not a guarded static each count.
    const ProductTable &table = n_log2_n_table();
    uint32_t total = 0;
    double sum0 = 0, sum1 = 0, sum2 = 0, sum3 = 0;
    int leaves = 0;
    for (size_t b = 0; b < counts.size(); b += 4) {
        const uint32_t c0 = counts[b], c1 = counts[b + 1], c2 = counts[b + 2], c3 = counts[b + 3];
        total += (c0 + c1) + (c2 + c3);
        sum0 += n_log2_n(table, c0);
        sum1 += n_log2_n(table, c1);
        sum2 += n_log2_n(table, c2);
        sum3 += n_log2_n(table, c3);
        leaves += (c0 != 0 ? 1 : 0) + (c1 != 0 ? 1 : 0) + (c2 != 0 ? 1 : 0) + (c3 != 0 ? 1 : 0);
    }
    if (leaves == 0)
        return 0;
    const double sum = (sum0 + sum1) + (sum2 + sum3);
    const double header_and_table = 17 + 28 + leaves / 5.0;
    return total * log2_of(total) - sum + 8 * header_and_table;
}

// A block costs time as well as its table: some 3 µs of finding and writing
// its code, a fifth of pack's time in blocks of 12 KiB. So a segment starts a
// block of its own only where that is expected to save this many bits (48
// bytes). Measured on 16 MiB of text and of programs, against every split
// that saved anything: 40% fewer blocks and pack 8% faster as a whole
// process, for 0.14% and 0.06% more bytes, all still below zlib's; 256 bits
// gave half the gain at half the cost, 512 a little more of both. A piece
// smaller than a MiB (a small input, or the end of a large one) takes its
// share of it, but no less than kLeastSplitGain: there a few blocks more
// cost microseconds, while files of 64 and 110 KiB of text came out 160 and
// 192 bytes larger than zlib's, which starts a code every 16 thousand
// symbols. Below some 16 bytes the estimates are not to be trusted: on 300
// files of 4 KiB to 2 MiB under /usr and /etc, with no bias at all 167 came
// out larger than zlib's, with the whole bias 149, and with a least bias of
// 8 to 24 bytes 144 to 145, by 4,623 to 4,794 bytes in all instead of 6,117.
constexpr double kSplitGain = 384;
constexpr double kLeastSplitGain = 128;

BlockPlanner::BlockPlanner(size_t piece)
    : looks_back_(piece < kPiece),
      split_gain_(
          std::max(kLeastSplitGain, kSplitGain * static_cast<double>(std::min(piece, kPiece)) /
                                        static_cast<double>(kPiece)))
{
}

const Span *BlockPlanner::add(const uint8_t *data, size_t at, size_t end)
{
    tally_.add(data + at, end - at);
    tally_.take(segment_);
    if (!started_) {
        started_ = true;
        start_block(at, end, segment_, expected_bits(segment_));
        return nullptr;
    }
    Counts joined;
    for (int b = 0; b < 256; ++b)
        joined[b] = block_.counts[b] + segment_[b];
    const double joined_bits = expected_bits(joined);
    const double segment_bits = expected_bits(segment_);
    if (looks_back_) {
        if (const Span *closed = cut_behind(at, end, joined_bits, segment_bits))
            return closed;
    }
    if (joined_bits <= block_bits_ + segment_bits + split_gain_) {
        if (looks_back_)
            recent_[recent_count_++ % kRecent] = Recent{at, segment_, block_bits_};
        block_.end = end;
        block_.counts = joined;
        block_bits_ = joined_bits;
        return nullptr;
    }
    closed_ = block_;
    start_block(at, end, segment_, segment_bits);
    return &closed_;
}

void BlockPlanner::start_block(size_t at, size_t end, const Counts &counts, double bits)
{
    block_ = Span{at, end, counts};
    block_bits_ = bits;
    // The block's first segment has no block before it to cut from.
    if (looks_back_)
        recent_[0] = Recent{at, counts, -1};
    recent_count_ = 1;
}

// A block whose statistics drift slowly may hold no segment that pays for
// a block of its own, where its last few segments together do: zlib's code
// every 16 thousand symbols follows such drift, and text files of 20 KiB to
// 900 KiB came out up to 0.2% larger than zlib's. So the last 2, 4 and 8
// segments (this one among them) are weighed as a block of their own too,
// and the cheapest way taken. On 425 files of 4 KiB to 2 MiB under /usr
// and /etc, 21 came out larger than zlib's instead of 27, by 923 bytes in
// all instead of 3,267. It costs up to three more estimates a segment. In
// pieces of a MiB it gave 13% more blocks at the same bias, or the same
// sizes with 8% fewer blocks at a bias of 640 bits, whose estimates took
// as much time as the fewer blocks saved: so only smaller pieces (inputs
// below a MiB, and the tails of larger ones) look back, where a file of
// 893 KB took 3% longer to pack as a whole process.
const Span *BlockPlanner::cut_behind(size_t at, size_t end, double joined_bits, double segment_bits)
{
    double best = std::min(joined_bits, block_bits_ + segment_bits + split_gain_);
    int best_window = 0;
    Counts window = segment_, cut_window{};
    double cut_bits = 0;
    int summed = 1; // the segments in `window`
    for (const int w : kWindows) {
        // The window's first segment joined the block, which holds more
        // before it.
        if (recent_count_ < w)
            break;
        const Recent &first = recent_[(recent_count_ - (w - 1)) % kRecent];
        if (first.bits_before < 0)
            continue;
        for (; summed < w; ++summed) {
            const Counts &counts = recent_[(recent_count_ - summed) % kRecent].counts;
            for (int b = 0; b < 256; ++b)
                window[b] += counts[b];
        }
        const double window_bits = expected_bits(window);
        if (first.bits_before + window_bits + split_gain_ < best) {
            best = first.bits_before + window_bits + split_gain_;
            best_window = w;
            cut_window = window;
            cut_bits = window_bits;
        }
    }
    if (best_window == 0)
        return nullptr;
    const int kept = best_window - 1; // the window's segments in the block
    const size_t window_begin = recent_[(recent_count_ - kept) % kRecent].begin;
    closed_.begin = block_.begin;
    closed_.end = window_begin;
    for (int b = 0; b < 256; ++b)
        closed_.counts[b] = block_.counts[b] - (cut_window[b] - segment_[b]);
    // The window is the new block; its segments have no block before them
    // within it whose bits are known, so none is a place to cut from.
    std::array<Recent, kRecent> window_segments;
    for (int k = 0; k < kept; ++k) {
        window_segments[k] = recent_[(recent_count_ - kept + k) % kRecent];
        window_segments[k].bits_before = -1;
    }
    window_segments[kept] = Recent{at, segment_, -1};
    for (int k = 0; k <= kept; ++k)
        recent_[k] = window_segments[k];
    recent_count_ = best_window;
    block_ = Span{window_begin, end, cut_window};
    block_bits_ = cut_bits;
    return &closed_;
}

const Span *BlockPlanner::finish()
{
    if (!started_)
        return nullptr;
    started_ = false;
    closed_ = block_;
    return &closed_;
}

} // namespace dctlab::container
