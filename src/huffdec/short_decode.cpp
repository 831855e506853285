#include "short_decode.h"

#include <algorithm>
#include <cstring>

#include "little_endian.h"
#include "table_check.h"

namespace dctlab
{
namespace huffman
{

namespace
{

#define DCTLAB_INLINE __attribute__((always_inline)) inline

// Entries: the symbol in the low byte, the code's length above it. The
// loop stores the low byte as it is, and one rotation brings the length to
// the bottom (the symbol going to the top, where shifts by it ignore it and
// a sum of three lengths does not reach).
constexpr int kLengthShift = 8;

DCTLAB_INLINE uint16_t entry_of(uint8_t symbol, int length)
{
    return static_cast<uint16_t>(length << kLengthShift | symbol);
}

DCTLAB_INLINE uint64_t length_rotated(uint64_t entry)
{
    return entry >> kLengthShift | entry << (64 - kLengthShift);
}

// Where the lanes stand: each stream's bits are counted from `base`, the
// first stream's first byte, so a lane is a bit position, the position of
// its end and the next byte it writes.
struct Lanes {
    const uint8_t *base;
    std::array<uint64_t, stream_count> pos, end;
    std::array<uint8_t *, stream_count> out;
    std::array<size_t, stream_count> left;
};

// The 64 bits from bit `pos` on, of which the top 33 or more are the
// stream's; the 8 bytes loaded must lie inside the stream.
DCTLAB_INLINE uint64_t peek(const uint8_t *base, uint64_t pos)
{
    const uint64_t pair = load_le64(base + 4 * (pos >> 5));
    return ((pair << 32) | (pair >> 32)) << (pos & 31);
}

// The same anywhere in a stream that ends at bit `end`: zero bits past it.
uint64_t peek_guarded(const uint8_t *base, uint64_t pos, uint64_t end)
{
    const uint64_t word = pos >> 5;
    const uint64_t high = 32 * word < end ? load_le32(base + 4 * word) : 0;
    const uint64_t low = 32 * (word + 1) < end ? load_le32(base + 4 * (word + 1)) : 0;
    return ((high << 32) | low) << (pos & 31);
}

// Rounds of K codes that a lane can take with peek: each round starts
// before the stream's last word and takes at most 33 bits.
template <int K> DCTLAB_INLINE size_t safe_rounds(const Lanes &l, int k)
{
    const uint64_t last = l.end[k] >= 32 ? l.end[k] - 32 : 0;
    if (l.pos[k] >= last)
        return 0;
    return std::min<uint64_t>(l.left[k] / K, (last - 1 - l.pos[k]) / 33 + 1);
}

// Lanes `first` to `first + L - 1`, side by side, for as long as each of
// them is inside its stream and has K symbols to go. Every lane writes K
// bytes a round, so one pointer serves them all, each lane at its own
// distance from it, and the shift is a constant: four pointers, four
// positions and a shift held in registers, with the table and the stream,
// left the loop spilling to the stack.
template <int K, int L, int W> DCTLAB_INLINE void rounds(Lanes &l, int first, const uint16_t *table)
{
    constexpr unsigned shift = 64u - W;
    for (;;) {
        size_t n = SIZE_MAX;
        for (int k = 0; k < L; ++k)
            n = std::min(n, safe_rounds<K>(l, first + k));
        if (n == 0)
            return;
        const uint8_t *const base = l.base;
        uint64_t pos[L];
        std::ptrdiff_t apart[L];
        uint8_t *out = l.out[first];
        for (int k = 0; k < L; ++k) {
            pos[k] = l.pos[first + k];
            apart[k] = l.out[first + k] - out;
        }
        for (uint8_t *const last = out + n * K; out != last; out += K) {
#pragma GCC unroll 4
            for (int k = 0; k < L; ++k) {
                uint64_t ahead = peek(base, pos[k]);
                uint64_t used = 0;
#pragma GCC unroll 4
                for (int j = 0; j < K; ++j) {
                    const uint64_t entry = table[ahead >> shift];
                    // The first lane's distance is 0 and takes no register.
                    out[(k == 0 ? 0 : apart[k]) + j] = static_cast<uint8_t>(entry);
                    const uint64_t length = length_rotated(entry);
                    ahead <<= length & 63u;
                    used += length;
                }
                pos[k] += static_cast<uint16_t>(used);
            }
        }
        for (int k = 0; k < L; ++k) {
            l.pos[first + k] = pos[k];
            l.out[first + k] = out + apart[k];
            l.left[first + k] -= n * K;
        }
    }
}

// A lane's last symbols one at a time, stopping once its end is passed.
template <int W> void finish(Lanes &l, int k, const uint16_t *table)
{
    constexpr unsigned shift = 64u - W;
    for (; l.left[k] > 0 && l.pos[k] <= l.end[k]; --l.left[k]) {
        const unsigned entry = table[peek_guarded(l.base, l.pos[k], l.end[k]) >> shift];
        *l.out[k]++ = static_cast<uint8_t>(entry);
        l.pos[k] += entry >> kLengthShift;
    }
}

template <int K, int L, int W> DCTLAB_INLINE void decode_lanes(Lanes &l, const uint16_t *table)
{
    rounds<K, L, W>(l, 0, table);
    // The lanes end at about the same symbol: whatever one has left after
    // another reached its end goes on alone.
    for (int k = 0; k < L; ++k) {
        if (L > 1)
            rounds<K, 1, W>(l, k, table);
        finish<W>(l, k, table);
    }
}

// Tables of 8-bit index take four codes a load, those of 11 bits three.
template <int L> DCTLAB_INLINE void decode_any(Lanes &l, const uint16_t *table, int width)
{
    static_assert(3 * short_code_bits <= 33 && 4 * 8 <= 33, "a round takes at most 33 bits");
    if (width == 8)
        decode_lanes<4, L, 8>(l, table);
    else
        decode_lanes<3, L, short_code_bits>(l, table);
}

template <int L> void decode_plain(Lanes &l, const uint16_t *table, int width)
{
    decode_any<L>(l, table, width);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Shifts by a register that need not be cl, and no flags to keep: a tenth
// and more of the decoding time where the lanes are short of registers.
template <int L>
__attribute__((target("bmi2"))) void decode_bmi2(Lanes &l, const uint16_t *table, int width)
{
    decode_any<L>(l, table, width);
}

template <int L> void decode(Lanes &l, const uint16_t *table, int width)
{
    static const bool bmi2 = __builtin_cpu_supports("bmi2");
    if (bmi2)
        decode_bmi2<L>(l, table, width);
    else
        decode_plain<L>(l, table, width);
}
#else
template <int L> void decode(Lanes &l, const uint16_t *table, int width)
{
    decode_plain<L>(l, table, width);
}
#endif

} // namespace

bool ShortDecoder::build(const HUFFCODE *codes, const uint8_t *leaves, int leaf_count)
{
    // A complete code fills the index space exactly; with no overlap below,
    // every entry is then set.
    bits_ = -1;
    const int longest = complete_code_length(codes, leaves, leaf_count, short_code_bits, single_);
    if (longest < 0)
        return false;
    if (longest == 0) { // a single leaf: its symbols take no bits
        bits_ = 0;
        return true;
    }
    // Indexed by 8 bits, or by 11 for longer codes, so that the decoder's
    // shift is a constant.
    const int width = longest <= 8 ? 8 : short_code_bits;
    const size_t entries = size_t{1} << width;
    // Filled without a test an entry: the lengths' Kraft sum is exactly 1,
    // so the codes fill the index space exactly when none overlaps another,
    // and an overlap leaves some entry unset (0, since every length is at
    // least 1), which one pass finds afterwards.
    std::fill(table_.begin(), table_.begin() + static_cast<long>(entries), uint16_t{0});
    for (int i = 0; i < leaf_count; ++i) {
        const uint8_t symbol = leaves[i];
        const int length = codes[symbol].length;
        const size_t spread = size_t{1} << (width - length);
        const size_t at = static_cast<size_t>(codes[symbol].code) * spread;
        const uint16_t entry = entry_of(symbol, length);
        std::fill_n(table_.begin() + static_cast<long>(at), spread, entry);
    }
    if (std::find(table_.begin(), table_.begin() + static_cast<long>(entries), uint16_t{0}) !=
        table_.begin() + static_cast<long>(entries))
        return false;
    bits_ = longest;
    width_ = width;
    return true;
}

bool ShortDecoder::build_canonical(const uint8_t *lengths)
{
    // The canonical codes count up in (length, byte) order, so their
    // entries follow one another from index 0: dealt out by length, with
    // no code computed and nothing to clear.
    bits_ = -1;
    std::array<int, short_code_bits + 2> start{};
    int leaves = 0;
    for (int b = 0; b < max_leaves; ++b) {
        if (lengths[b] > short_code_bits)
            return false;
        ++start[lengths[b] + 1];
        leaves += lengths[b] != 0 ? 1 : 0;
    }
    int longest = 0;
    for (int len = 1; len <= short_code_bits; ++len)
        if (start[len + 1] != 0)
            longest = len;
    start[1] = 0; // the bytes without a code are not dealt out
    for (int len = 1; len <= short_code_bits; ++len)
        start[len + 1] += start[len];
    std::array<uint8_t, max_leaves> order;
    for (int b = 0; b < max_leaves; ++b)
        if (lengths[b] != 0)
            order[static_cast<size_t>(start[lengths[b]]++)] = static_cast<uint8_t>(b);
    if (leaves == 1 || leaves == 0) {
        // One byte value alone has no canonical code of one or more bits.
        return false;
    }
    const int width = longest <= 8 ? 8 : short_code_bits;
    const size_t entries = size_t{1} << width;
    size_t at = 0;
    for (int i = 0; i < leaves; ++i) {
        const uint8_t symbol = order[static_cast<size_t>(i)];
        const int length = lengths[symbol];
        const size_t spread = size_t{1} << (width - length);
        if (at + spread > entries)
            return false; // the lengths over-fill the code
        const uint16_t entry = entry_of(symbol, length);
        uint16_t *to = table_.data() + at;
        // Most spreads are a few entries: stores of 8 bytes where they
        // reach, since a loop of two-byte stores took most of the build.
        if (spread < 4) {
            to[0] = entry;
            if (spread == 2)
                to[1] = entry;
        } else {
            const uint64_t four = entry * uint64_t{0x0001000100010001};
            for (size_t e = 0; e < spread; e += 4)
                std::memcpy(to + e, &four, sizeof four);
        }
        at += spread;
    }
    if (at != entries)
        return false; // or leave it incomplete
    bits_ = longest;
    width_ = width;
    return true;
}

uint64_t ShortDecoder::decode(const uint8_t *stream, size_t words, uint8_t *out, size_t count) const
{
    if (bits_ < 0)
        return UINT64_MAX;
    if (bits_ == 0) {
        std::memset(out, single_, count);
        return 0;
    }
    Lanes l;
    l.base = stream;
    l.pos[0] = 0;
    l.end[0] = 32 * static_cast<uint64_t>(words);
    l.out[0] = out;
    l.left[0] = count;
    huffman::decode<1>(l, table_.data(), width_);
    return l.pos[0];
}

void ShortDecoder::decode_four(const uint8_t *streams, const size_t words[stream_count],
                               uint8_t *out, size_t size, uint64_t used[stream_count]) const
{
    if (bits_ <= 0) {
        for (int k = 0; k < stream_count; ++k)
            used[k] = bits_ < 0 ? UINT64_MAX : 0;
        if (bits_ == 0)
            std::memset(out, single_, size);
        return;
    }
    Lanes l;
    l.base = streams;
    uint64_t begin = 0;
    for (int k = 0; k < stream_count; ++k) {
        l.pos[k] = begin;
        begin += 32 * static_cast<uint64_t>(words[k]);
        l.end[k] = begin;
        l.out[k] = out + stream_share(size, k);
        l.left[k] = stream_share(size, k + 1) - stream_share(size, k);
    }
    huffman::decode<stream_count>(l, table_.data(), width_);
    begin = 0;
    for (int k = 0; k < stream_count; ++k) {
        used[k] = l.pos[k] - begin;
        begin += 32 * static_cast<uint64_t>(words[k]);
    }
}

} // namespace huffman
} // namespace dctlab
