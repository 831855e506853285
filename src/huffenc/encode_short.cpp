// The encoder for short codes: a few codes at a time enter a 64-bit
// accumulator, and one 8-byte store writes the two words they reach, so no
// code waits on a branch and the words need no pass afterwards.
#include <algorithm>
#include <array>

#include "encode_words.h"
#include "little_endian.h"

namespace dctlab
{
namespace huffman
{

namespace
{

struct ShortTable {
    std::array<uint64_t, 256> aligned; // each code at the top of 64 bits
    std::array<uint8_t, 256> lengths;
    int longest = 0;
};

ShortTable short_table(const HUFFCODE *codes)
{
    ShortTable t;
    for (int b = 0; b < 256; ++b) {
        const int length = codes[b].length;
        t.lengths[b] = static_cast<uint8_t>(length);
        t.aligned[b] = length == 0 ? 0
                                   : static_cast<uint64_t>(static_cast<uint32_t>(codes[b].code))
                                         << (64 - length);
        t.longest = std::max(t.longest, length);
    }
    return t;
}

// One stream: the top `waiting` bits of `pending` are codes not yet in a
// whole word at `at`.
struct Lane {
    const uint8_t *from;
    size_t left;
    uint8_t *start, *at;
    uint64_t pending = 0;
    unsigned waiting = 0;
};

inline void put(Lane &lane, const ShortTable &t, uint8_t byte)
{
    lane.pending |= t.aligned[byte] >> lane.waiting;
    lane.waiting += t.lengths[byte];
}

// Stores the two words that the waiting bits reach (the first little-endian
// at `at`, the second after it) and moves past the whole ones. Fewer than 32
// bits waited before the codes of this round and these took at most 33, so
// at most 64 wait: two shifts by 16 bits a whole word clear `pending` when
// two words are whole, which one shift by 64 could not.
inline void flush(Lane &lane)
{
    const uint64_t swapped = (lane.pending << 32) | (lane.pending >> 32);
    store_le64(lane.at, swapped);
    const unsigned whole = lane.waiting >> 5;
    lane.at += whole * 4;
    lane.pending <<= whole * 16;
    lane.pending <<= whole * 16;
    lane.waiting &= 31u;
}

// K codes a lane between flushes, the lanes side by side, while every lane
// has K bytes left.
template <int K, int L> void code_rounds(Lane *lanes, const ShortTable &t)
{
    size_t rounds = SIZE_MAX;
    for (int k = 0; k < L; ++k)
        rounds = std::min(rounds, lanes[k].left / K);
    std::array<Lane, L> lane;
    std::copy(lanes, lanes + L, lane.begin());
    for (size_t r = 0; r < rounds; ++r)
#pragma GCC unroll 4
        for (int k = 0; k < L; ++k) {
#pragma GCC unroll 4
            for (int j = 0; j < K; ++j)
                put(lane[k], t, lane[k].from[j]);
            lane[k].from += K;
            flush(lane[k]);
        }
    for (int k = 0; k < L; ++k) {
        lane[k].left -= rounds * K;
        lanes[k] = lane[k];
    }
}

// The bytes a lane has left after the rounds, then its last word.
size_t finish(Lane &lane, const ShortTable &t)
{
    for (; lane.left > 0; --lane.left) {
        put(lane, t, *lane.from++);
        flush(lane);
    }
    if (lane.waiting > 0) {
        store_le32(lane.at, static_cast<uint32_t>(lane.pending >> 32));
        lane.at += 4;
    }
    return static_cast<size_t>(lane.at - lane.start) / 4;
}

template <int L> void code_lanes(Lane *lanes, const ShortTable &t, size_t *words)
{
    static_assert(3 * short_code_bits <= 33 && 4 * 8 <= 33, "a round takes at most 33 bits");
    if (t.longest <= 8)
        code_rounds<4, L>(lanes, t);
    else
        code_rounds<3, L>(lanes, t);
    for (int k = 0; k < L; ++k)
        words[k] = finish(lanes[k], t);
}

} // namespace

size_t encode_short(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *out)
{
    const ShortTable t = short_table(codes);
    if (t.longest == 0)
        return 0;
    Lane lane{data, size, out, out};
    size_t words = 0;
    code_lanes<1>(&lane, t, &words);
    return words;
}

void encode_four(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *const out[4],
                 size_t words[4])
{
    const ShortTable t = short_table(codes);
    std::array<Lane, stream_count> lanes;
    for (int k = 0; k < stream_count; ++k) {
        const size_t begin = stream_share(size, k);
        lanes[k] = Lane{data + begin, stream_share(size, k + 1) - begin, out[k], out[k]};
        words[k] = 0;
    }
    if (t.longest == 0)
        return;
    code_lanes<stream_count>(lanes.data(), t, words);
}

} // namespace huffman
} // namespace dctlab
