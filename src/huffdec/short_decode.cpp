#include "short_decode.h"

#include <algorithm>
#include <cstring>

#include "little_endian.h"

namespace dctlab
{
namespace huffman
{

namespace
{

constexpr int kLengthShift = 8;

// One stream being decoded: `pos` bits of it consumed, `left` symbols still
// to go to `out`.
struct Lane {
    const uint8_t *stream;
    size_t words;
    uint64_t pos;
    uint8_t *out;
    size_t left;
};

// The 64 bits from bit `pos` on, of which the top 33 or more are the
// stream's; the load must lie inside the stream.
inline uint64_t peek(const uint8_t *stream, uint64_t pos)
{
    const uint64_t pair = load_le64(stream + 4 * (pos >> 5));
    return ((pair << 32) | (pair >> 32)) << (pos & 31);
}

// The same anywhere: zero bits past the end.
inline uint64_t peek_guarded(const Lane &lane)
{
    const uint64_t word = lane.pos >> 5;
    const uint64_t high = word < lane.words ? load_le32(lane.stream + 4 * word) : 0;
    const uint64_t low = word + 1 < lane.words ? load_le32(lane.stream + 4 * (word + 1)) : 0;
    return ((high << 32) | low) << (lane.pos & 31);
}

// Rounds of K codes that a lane can take with peek: each round starts
// below the stream's last word and takes at most 33 bits.
template <int K> size_t safe_rounds(const Lane &lane)
{
    const size_t by_symbols = lane.left / K;
    if (lane.words < 2)
        return 0;
    const uint64_t last = 32 * static_cast<uint64_t>(lane.words - 1);
    if (lane.pos >= last)
        return 0;
    return std::min<uint64_t>(by_symbols, (last - 1 - lane.pos) / 33 + 1);
}

template <int K, int L> void rounds(Lane *lanes, const uint16_t *table, int bits)
{
    const unsigned shift = 64u - static_cast<unsigned>(bits);
    for (;;) {
        size_t n = SIZE_MAX;
        for (int k = 0; k < L; ++k)
            n = std::min(n, safe_rounds<K>(lanes[k]));
        if (n == 0)
            return;
        std::array<Lane, L> lane;
        std::copy(lanes, lanes + L, lane.begin());
        for (size_t r = 0; r < n; ++r)
#pragma GCC unroll 4
            for (int k = 0; k < L; ++k) {
                uint64_t bits_ahead = peek(lane[k].stream, lane[k].pos);
                unsigned used = 0;
#pragma GCC unroll 4
                for (int j = 0; j < K; ++j) {
                    const uint16_t entry = table[bits_ahead >> shift];
                    lane[k].out[j] = static_cast<uint8_t>(entry);
                    bits_ahead <<= entry >> kLengthShift;
                    used += entry >> kLengthShift;
                }
                lane[k].pos += used;
                lane[k].out += K;
            }
        for (int k = 0; k < L; ++k) {
            lane[k].left -= n * K;
            lanes[k] = lane[k];
        }
    }
}

// A lane's last symbols one at a time, stopping once its end is passed.
uint64_t finish(Lane &lane, const uint16_t *table, int bits)
{
    const unsigned shift = 64u - static_cast<unsigned>(bits);
    const uint64_t limit = 32 * static_cast<uint64_t>(lane.words);
    for (; lane.left > 0 && lane.pos <= limit; --lane.left) {
        const uint16_t entry = table[peek_guarded(lane) >> shift];
        *lane.out++ = static_cast<uint8_t>(entry);
        lane.pos += entry >> kLengthShift;
    }
    return lane.pos;
}

template <int L> void decode_lanes(Lane *lanes, const uint16_t *table, int bits)
{
    static_assert(3 * short_code_bits <= 33 && 4 * 8 <= 33, "a round takes at most 33 bits");
    if (bits <= 8)
        rounds<4, L>(lanes, table, bits);
    else
        rounds<3, L>(lanes, table, bits);
    // The lanes end at about the same symbol: whatever one has left after
    // another reached its end goes on alone.
    for (int k = 0; k < L; ++k) {
        if (L > 1) {
            if (bits <= 8)
                rounds<4, 1>(&lanes[k], table, bits);
            else
                rounds<3, 1>(&lanes[k], table, bits);
        }
        finish(lanes[k], table, bits);
    }
}

} // namespace

bool ShortDecoder::build(const HUFFCODE *codes, const uint8_t *leaves, int leaf_count)
{
    bits_ = -1;
    if (!codes || !leaves || leaf_count < 1 || leaf_count > max_leaves)
        return false;
    if (leaf_count == 1) {
        if (codes[leaves[0]].length != 0)
            return false;
        single_ = leaves[0];
        bits_ = 0;
        return true;
    }
    int longest = 0;
    uint32_t kraft = 0;
    for (int i = 0; i < leaf_count; ++i) {
        const HUFFCODE &c = codes[leaves[i]];
        if (c.length < 1 || c.length > short_code_bits || c.code < 0 ||
            (static_cast<uint32_t>(c.code) >> c.length) != 0)
            return false;
        longest = std::max(longest, c.length);
        kraft += uint32_t{1} << (short_code_bits - c.length);
    }
    // A complete code fills the index space exactly; with no overlap below,
    // every entry is then set.
    if (kraft != uint32_t{1} << short_code_bits)
        return false;
    const size_t entries = size_t{1} << longest;
    std::fill(table_.begin(), table_.begin() + static_cast<long>(entries), uint16_t{0});
    for (int i = 0; i < leaf_count; ++i) {
        const uint8_t symbol = leaves[i];
        const int length = codes[symbol].length;
        const size_t spread = size_t{1} << (longest - length);
        const size_t at = static_cast<size_t>(codes[symbol].code) * spread;
        const uint16_t entry = static_cast<uint16_t>(symbol | (length << kLengthShift));
        for (size_t e = at; e < at + spread; ++e) {
            // Entries are never 0 once set: every length is at least 1.
            if (table_[e] != 0)
                return false;
            table_[e] = entry;
        }
    }
    bits_ = longest;
    return true;
}

uint64_t ShortDecoder::decode(const uint8_t *stream, size_t words, uint8_t *out,
                              size_t count) const
{
    if (bits_ < 0)
        return UINT64_MAX;
    if (bits_ == 0) {
        std::memset(out, single_, count);
        return 0;
    }
    Lane lane{stream, words, 0, out, count};
    decode_lanes<1>(&lane, table_.data(), bits_);
    return lane.pos;
}

void ShortDecoder::decode_four(const uint8_t *const streams[stream_count],
                               const size_t words[stream_count], uint8_t *out, size_t size,
                               uint64_t used[stream_count]) const
{
    if (bits_ <= 0) {
        for (int k = 0; k < stream_count; ++k)
            used[k] = bits_ < 0 ? UINT64_MAX : 0;
        if (bits_ == 0)
            std::memset(out, single_, size);
        return;
    }
    std::array<Lane, stream_count> lanes;
    for (int k = 0; k < stream_count; ++k) {
        const size_t begin = stream_share(size, k);
        lanes[k] = Lane{streams[k], words[k], 0, out + begin, stream_share(size, k + 1) - begin};
    }
    decode_lanes<stream_count>(lanes.data(), table_.data(), bits_);
    for (int k = 0; k < stream_count; ++k)
        used[k] = lanes[k].pos;
}

} // namespace huffman
} // namespace dctlab
