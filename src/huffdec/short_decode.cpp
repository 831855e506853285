#include "short_decode.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "big_endian.h"
#include "little_endian.h"
#include "table_check.h"

namespace dctlab
{
namespace huffman
{

namespace
{

#define DCTLAB_INLINE __attribute__((always_inline)) inline

// Entries: the code's length in the low byte, the symbol above it. A shift
// by a whole entry shifts by its length (shifts take their count modulo 64
// and the length is below 64), and the symbol is the entry's second byte.
constexpr int kSymbolShift = 8;

DCTLAB_INLINE uint16_t entry_of(uint8_t symbol, int length)
{
    return static_cast<uint16_t>(symbol << kSymbolShift | length);
}

// Each stream is copied with its words' bytes reversed, so that its bits run
// from the top bit of its first byte on, and an 8-byte load anywhere holds
// 57 bits or more of it from the top down; zero bytes after each stream
// stand for the bits past its end.
constexpr size_t kPadding = 16;

// Streams in byte order are read where they lie, and reads run up to 8
// bytes past a lane's bit; a lane whose last reads would pass the streams'
// end finishes on a copy of its last bytes, at most this many (what is left
// of a lane after its rounds lies within 16 bytes of its bit, or it has
// fewer than seven symbols to go), with zero bytes after them.
constexpr size_t kTail = 64;

// Where the lanes stand: each lane's stream begins at `begin` and ends at
// bit `end` of it; `pos` is the bit it has reached, `out` the next byte it
// writes, `left` the symbols it has still to decode. Rounds, which load
// before they look, stop at `reach`: the stream's end, or sooner where the
// bytes after it may not be read.
struct Lanes {
    std::array<const uint8_t *, stream_count> from;  // the stream as it is stored
    std::array<uint8_t *, stream_count> copy;        // its copy in byte order, or null
    std::array<const uint8_t *, stream_count> begin; // where it is decoded from
    std::array<uint64_t, stream_count> pos, end, reach;
    std::array<uint8_t *, stream_count> out;
    std::array<size_t, stream_count> left;
    // Bytes that may be read from each stream's start on, in byte order.
    std::array<size_t, stream_count> readable;
    std::array<std::array<uint8_t, kTail + kPadding>, stream_count> tail;
};

// The 64 bits from bit `pos` of `stream` on, of which the top 57 or more
// are the stream's or its zero padding.
DCTLAB_INLINE uint64_t peek(const uint8_t *stream, uint64_t pos)
{
    return load_be64(stream + (pos >> 3)) << (pos & 7);
}

// The lanes between rounds: each one's bit position, counted from the first
// lane's stream (the others follow it, in the container or in one buffer of
// copies, so that one pointer serves them all), and the 64 bits from it on,
// of which the top 57 or more are the stream's or what follows it. A round
// adds up the entries it looks up: their low bytes, the bits their codes
// take, sum to at most 56, so the sum's low byte is what the round used,
// known as soon as the last entry is loaded. Counted from the bits shifted
// out instead (a 1 below them, and its trailing zeros counted after the
// last shift), the next load waited on that shift and the count: decoding
// one block of 20 or 128 KiB took 4 to 5% longer on a Xeon.
template <int L> struct Lane {
    Lane(const Lanes &l, const int *which) : base(l.begin[0])
    {
        for (int k = 0; k < L; ++k) {
            pos[k] = 8 * static_cast<uint64_t>(l.begin[which[k]] - base) + l.pos[which[k]];
            bits[k] = peek(base, pos[k]);
        }
    }
    // Lane k has used the low byte of `entries` more bits.
    DCTLAB_INLINE void move(int k, uint32_t entries)
    {
        pos[k] += entries & 0xFFu;
        bits[k] = peek(base, pos[k]);
    }
    void put_back(Lanes &l, const int *which) const
    {
        for (int k = 0; k < L; ++k)
            l.pos[which[k]] = pos[k] - 8 * static_cast<uint64_t>(l.begin[which[k]] - base);
    }
    const uint8_t *base;
    uint64_t pos[L], bits[L];
};

// Rounds of K codes that lane k can take with every code inside its stream.
template <int K, int W> DCTLAB_INLINE size_t safe_rounds(const Lanes &l, int k)
{
    if (l.pos[k] > l.reach[k])
        return 0;
    return std::min<uint64_t>(l.left[k] / K, (l.reach[k] - l.pos[k]) / (K * W));
}

// The lanes `which[0]` to `which[L - 1]`, side by side, for as long as each
// of them has K symbols to go whose codes lie inside its stream. Every lane
// writes K bytes a round, so one pointer serves them all, each lane at its
// own distance from it; each code is a look-up and a shift, and each round
// of a lane one reload.
template <int K, int L, int W>
DCTLAB_INLINE void rounds(Lanes &l, const int *which, const uint16_t *table)
{
    constexpr unsigned shift = 64u - W;
    for (;;) {
        size_t n = SIZE_MAX;
        for (int k = 0; k < L; ++k)
            n = std::min(n, safe_rounds<K, W>(l, which[k]));
        if (n == 0)
            return;
        Lane<L> lane(l, which);
        std::ptrdiff_t apart[L];
        uint8_t *out = l.out[which[0]];
        for (int k = 0; k < L; ++k)
            apart[k] = l.out[which[k]] - out;
        for (uint8_t *const last = out + n * K; out != last; out += K) {
#pragma GCC unroll 4
            for (int k = 0; k < L; ++k) {
                uint64_t bits = lane.bits[k];
                uint32_t used = 0;
#pragma GCC unroll 8
                for (int j = 0; j < K; ++j) {
                    const uint32_t entry = table[bits >> shift];
                    // The first lane's distance is 0 and takes no register.
                    out[(k == 0 ? 0 : apart[k]) + j] = static_cast<uint8_t>(entry >> kSymbolShift);
                    bits <<= entry & 63u;
                    used += entry;
                }
                lane.move(k, used);
            }
        }
        for (int k = 0; k < L; ++k) {
            l.out[which[k]] = out + apart[k];
            l.left[which[k]] -= n * K;
        }
        lane.put_back(l, which);
    }
}

// Pair entries: one look-up at the next W bits gives the symbols of the
// codes that lie whole in them, one or two: the bits they take in the low
// byte (a shift takes it as it is), the symbols in the next two bytes, in
// their order in the stream, and how many they are in the top byte.
//
// The decoding loop loads the symbols and their count as bytes of the
// entry, not as shifts of it: a look-up then takes two shifts (its index
// and the stream's bits), not four, and Intel's cores run shifts on two
// ports only, which were the bottleneck there. Measured on a Xeon, one hot
// block of 20 or 128 KiB decoded 11 to 14% faster, text and programs alike.
// The entry's address is written out at each load, not named: held in a
// variable, or loaded through small functions, the same loads made the
// compiler keep the address in a register of its own, and a lane's stream
// pointer in memory, and the loop was slower than with shifts.
constexpr int kFirstShift = 8;
constexpr int kSecondShift = 16;
constexpr int kCountShift = 24;
static_assert(kFirstShift % 8 == 0 && kCountShift % 8 == 0, "the symbols and count are bytes");

// What a second code adds to the pair entry of a first code of `length`
// bits, for each of the 2^(W - length) values of the bits after it: its
// length, its symbol and one symbol more where it lies whole in them (the
// entry at those bits followed by `length` zeros is no longer than they
// are), else nothing.
template <int W>
DCTLAB_INLINE void seconds_after(const uint16_t *table, uint32_t length, uint32_t *add)
{
    const uint32_t room = uint32_t{1} << (W - length);
    for (uint32_t w = 0; w < room; ++w) {
        const uint32_t two = table[w << length];
        const uint32_t fits = (two & 0xFFu) + length <= W ? 1u : 0u;
        add[w] = (0u - fits) &
                 ((two & 0xFFu) | (two >> kSymbolShift) << kSecondShift | 1u << kCountShift);
    }
}

// The pair entries of a table of single entries of W bits. A first code of
// l bits leaves W - l, in which a second code lies whole where the entry at
// those bits followed by l zeros is no longer than they are: so what a
// second code adds is the same after every first code of l bits. That is
// one table for each length of first code, 2^(W - l) entries, made once and
// added to each first code's single entry: no branch and no gather an
// entry, which took a fifth of the decoding time of a block of 12 KiB.
template <int W>
DCTLAB_INLINE void build_pairs(const uint16_t *table, uint32_t *pairs, uint32_t *seconds)
{
    constexpr uint32_t entries = uint32_t{1} << W;
    std::array<const uint32_t *, W + 1> second{};
    uint32_t *free = seconds; // the tables take at most 2^W entries in all
    for (uint32_t i = 0; i < entries;) {
        const uint32_t one = table[i];
        const uint32_t length = one & 0xFFu;
        const uint32_t room = uint32_t{1} << (W - length);
        if (second[length] == nullptr) {
            seconds_after<W>(table, length, free);
            second[length] = free;
            free += room;
        }
        const uint32_t first = length | (one >> kSymbolShift) << kFirstShift | 1u << kCountShift;
        const uint32_t *add = second[length];
        for (uint32_t w = 0; w < room; ++w)
            pairs[i + w] = first + add[w];
        i += room;
    }
}

// The same pair entries where the single entries lie in order of length,
// as build_canonical deals them (`ends[len]`: where the entries of the
// codes of len bits end): all first codes of one length then form one run
// of the table, whose pair entries are its single entries (length and
// symbol where a first code's part of a pair entry has them) plus what a
// second code adds, which repeats every 2^(W - len) entries. One pass of
// additions over each run, eight entries at a time, where build_pairs takes
// a loop for each first code, most of them short since most codes are long:
// programs unpacked 2% faster in one process, text as fast.
typedef uint16_t Eight16 __attribute__((vector_size(16)));
typedef uint16_t Sixteen16 __attribute__((vector_size(32)));
typedef uint32_t Eight32 __attribute__((vector_size(32)));

// seconds_after for the single entries in order of length, eight at a time:
// `every` holds the single entries at the multiples of 2^length, which are
// those that seconds_after reads.
template <int W>
DCTLAB_INLINE void seconds_from(const uint16_t *every, uint32_t length, uint32_t *add)
{
    constexpr uint32_t one_symbol = 1u << kCountShift;
    const uint32_t room = uint32_t{1} << (W - length);
    for (uint32_t w = 0; w < room; w += 8) {
        Eight16 twos;
        std::memcpy(&twos, every + w, sizeof twos);
        const Eight32 two = __builtin_convertvector(twos, Eight32);
        const Eight32 second = two & 0xFFu;
        const Eight32 fits = reinterpret_cast<Eight32>(second <= W - length);
        const Eight32 adds = (second | (two >> kSymbolShift) << kSecondShift | one_symbol) & fits;
        std::memcpy(add + w, &adds, sizeof adds);
    }
}

template <int W>
DCTLAB_INLINE void build_pairs_in_order(const uint16_t *table, const uint16_t *ends,
                                        uint32_t *pairs, uint32_t *seconds)
{
    constexpr uint32_t one_symbol = 1u << kCountShift;
    static_assert(kFirstShift == kSymbolShift, "a single entry is a first code's part as it is");
    // The single entries at the multiples of 2^length, for one length after
    // another: each level every other entry of the one before, taken by
    // shuffles in place, where seconds_after loaded them one at a time, a
    // loop that took half of making the pairs.
    alignas(32) std::array<uint16_t, (size_t{1} << W) / 2> every;
    const uint16_t *level = table;
    uint32_t *free = seconds; // the tables take at most 2^W entries in all
    uint32_t start = 0;
    for (uint32_t length = 1; length <= W; ++length) {
        const uint32_t end = ends[length];
        const uint32_t room = uint32_t{1} << (W - length);
        if (room >= 16) {
            for (uint32_t w = 0; w < room; w += 16) {
                Sixteen16 low, high;
                std::memcpy(&low, level + 2 * w, sizeof low);
                std::memcpy(&high, level + 2 * w + 16, sizeof high);
                const Sixteen16 evens = __builtin_shufflevector(low, high, 0, 2, 4, 6, 8, 10, 12,
                                                                14, 16, 18, 20, 22, 24, 26, 28, 30);
                std::memcpy(every.data() + w, &evens, sizeof evens);
            }
            level = every.data();
        }
        if (end == start)
            continue;
        uint32_t *const add = free;
        if (room >= 16)
            seconds_from<W>(every.data(), length, add);
        else
            seconds_after<W>(table, length, add);
        free += room;
        // Runs start at a multiple of `room`, so the repeat is in step with
        // eight entries from the run's start; a shorter repeat is spread
        // over eight.
        std::array<uint32_t, 8> spread;
        for (uint32_t j = 0; j < 8; ++j)
            spread[j] = add[j & (room - 1)];
        const uint32_t *repeat = room >= 8 ? add : spread.data();
        const uint32_t period = room >= 8 ? room : 8;
        uint32_t x = start;
        for (; x + 8 <= end; x += 8) {
            Eight16 singles;
            Eight32 adds;
            std::memcpy(&singles, table + x, sizeof singles);
            std::memcpy(&adds, repeat + ((x - start) & (period - 1)), sizeof adds);
            const Eight32 sums = __builtin_convertvector(singles, Eight32) + adds + one_symbol;
            std::memcpy(pairs + x, &sums, sizeof sums);
        }
        for (; x < end; ++x)
            pairs[x] = table[x] + one_symbol + repeat[(x - start) & (period - 1)];
        start = end;
    }
}

// Rounds of K look-ups that lane k can take: each gives at most two
// symbols, and one more must stay, since a look-up that gives one symbol
// stores two bytes all the same.
template <int K, int W> DCTLAB_INLINE size_t safe_pair_rounds(const Lanes &l, int k)
{
    if (l.pos[k] > l.reach[k] || l.left[k] == 0)
        return 0;
    return std::min<uint64_t>((l.left[k] - 1) / (2 * K), (l.reach[k] - l.pos[k]) / (K * W));
}

// As rounds, with pair entries: a look-up gives one or two symbols, so each
// lane has an output pointer of its own.
template <int K, int L, int W>
DCTLAB_INLINE void pair_rounds(Lanes &l, const int *which, const uint32_t *pairs)
{
    constexpr unsigned shift = 64u - W;
    for (;;) {
        size_t n = SIZE_MAX;
        for (int k = 0; k < L; ++k)
            n = std::min(n, safe_pair_rounds<K, W>(l, which[k]));
        if (n == 0)
            return;
        Lane<L> lane(l, which);
        uint8_t *out[L];
        for (int k = 0; k < L; ++k)
            out[k] = l.out[which[k]];
        for (size_t round = 0; round < n; ++round) {
#pragma GCC unroll 4
            for (int k = 0; k < L; ++k) {
                uint64_t bits = lane.bits[k];
                uint8_t *to = out[k];
                uint32_t used = 0;
#pragma GCC unroll 8
                for (int j = 0; j < K; ++j) {
                    const size_t at = static_cast<size_t>(bits >> shift);
                    const uint32_t entry = pairs[at];
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
                    uint16_t symbols;
                    std::memcpy(&symbols, reinterpret_cast<const uint8_t *>(pairs + at) + 1, 2);
                    store_le16(to, symbols);
                    bits <<= entry & 63u;
                    to += reinterpret_cast<const uint8_t *>(pairs + at)[3];
#else
                    store_le16(to, static_cast<uint16_t>(entry >> kFirstShift));
                    bits <<= entry & 63u;
                    to += entry >> kCountShift;
#endif
                    used += entry;
                }
                out[k] = to;
                lane.move(k, used);
            }
        }
        for (int k = 0; k < L; ++k) {
            l.left[which[k]] -= static_cast<size_t>(out[k] - l.out[which[k]]);
            l.out[which[k]] = out[k];
        }
        lane.put_back(l, which);
    }
}

// A lane's last symbols one at a time, stopping once its end is passed;
// from a copy of its last bytes where reading in place could pass the
// streams' end. What is left of a lane after its rounds lies within kTail
// bytes of its bit; `within` holds the reads to the copy all the same.
template <int W> void finish(Lanes &l, int k, const uint16_t *table)
{
    constexpr unsigned shift = 64u - W;
    const uint8_t *begin = l.begin[k];
    uint64_t pos = l.pos[k], end = l.end[k], within = UINT64_MAX;
    const size_t end_byte = static_cast<size_t>((end + 7) / 8);
    const size_t from = static_cast<size_t>(pos / 8);
    if (end_byte + 8 > l.readable[k]) {
        const size_t bytes = std::min(kTail, end_byte - from);
        uint8_t *tail = l.tail[static_cast<size_t>(k)].data();
        std::memcpy(tail, begin + from, bytes);
        std::memset(tail + bytes, 0, kTail + kPadding - bytes);
        begin = tail;
        pos -= 8 * uint64_t{from};
        end -= 8 * uint64_t{from};
        within = 8 * uint64_t{kTail};
    }
    const uint64_t moved = l.pos[k] - pos;
    for (; l.left[k] > 0 && pos <= end && pos < within; --l.left[k]) {
        const unsigned entry = table[peek(begin, pos) >> shift];
        *l.out[k]++ = static_cast<uint8_t>(entry >> kSymbolShift);
        pos += entry & 0xFFu;
    }
    l.pos[k] = pos + moved;
}

// Runs `step` over the lanes side by side, then over those that still have
// rounds to go (`safe`), three, two or one of them at once: the lanes end
// at about the same symbol, but one alone waits on each of its look-ups,
// which took a twelfth of a block's decoding where they went on one by one.
template <int L, typename Safe, typename Step> DCTLAB_INLINE void all_lanes(Safe safe, Step step)
{
    constexpr std::array<int, 4> every{0, 1, 2, 3};
    static_assert(L <= 4, "at most four lanes");
    step(std::integral_constant<int, L>(), every.data());
    for (int runs = 1; L > 1 && runs < L; ++runs) {
        std::array<int, 4> live;
        int n = 0;
        for (int k = 0; k < L; ++k)
            if (safe(k) > 0)
                live[static_cast<size_t>(n++)] = k;
        if (n >= 3)
            step(std::integral_constant<int, 3>(), live.data());
        else if (n == 2)
            step(std::integral_constant<int, 2>(), live.data());
        else if (n == 1)
            step(std::integral_constant<int, 1>(), live.data());
        else
            break;
    }
}

// With `pairs`, the lanes first take pair entries made there, for as long
// as each has symbols enough.
template <int K, int L, int W>
DCTLAB_INLINE void decode_lanes(Lanes &l, const uint16_t *table, uint32_t *pairs,
                                const uint16_t *ends)
{
    if (pairs) {
        if (ends)
            build_pairs_in_order<W>(table, ends, pairs, pairs + (size_t{1} << W));
        else
            build_pairs<W>(table, pairs, pairs + (size_t{1} << W));
        all_lanes<L>([&](int k) { return safe_pair_rounds<K, W>(l, k); },
                     [&](auto lanes, const int *which) {
                         pair_rounds<K, decltype(lanes)::value, W>(l, which, pairs);
                     });
    }
    all_lanes<L>([&](int k) { return safe_rounds<K, W>(l, k); },
                 [&](auto lanes, const int *which) {
                     rounds<K, decltype(lanes)::value, W>(l, which, table);
                 });
    for (int k = 0; k < L; ++k)
        finish<W>(l, k, table);
}

// Stream words of 32 bits, little-endian, most significant bit first, to
// bytes in the order of their bits. A stream whose length is not a whole
// number of words ends in the top bytes of its last word, the zero bytes
// below them left out.
DCTLAB_INLINE void swap_words(const uint8_t *from, size_t bytes, uint8_t *to)
{
    const size_t whole = bytes / 4, top = bytes % 4;
    reverse_word_bytes(from, whole, to);
    from += 4 * whole;
    to += 4 * whole;
    for (size_t i = 0; i < top; ++i)
        to[i] = from[top - 1 - i];
    std::memset(to + top, 0, kPadding);
}

// Streams of words are first copied with their bytes in the order of their
// bits and zero bytes after each; streams in byte order are read in place,
// each lane's rounds held to the bytes that lie before the streams' end.
// A load leaves 57 bits or more: five codes of 11 bits, or seven of 8, whose
// entries' lengths sum to 56 or less, within their low byte.
template <int L>
DCTLAB_INLINE void decode_any(Lanes &l, const uint16_t *table, uint32_t *pairs,
                              const uint16_t *ends, int width)
{
    for (int k = 0; k < L; ++k) {
        if (l.copy[k])
            swap_words(l.from[k], l.end[k] / 8, l.copy[k]);
        l.reach[k] = std::min<uint64_t>(l.end[k], l.readable[k] >= 8 ? 8 * (l.readable[k] - 8) : 0);
    }
    static_assert(5 * short_code_bits <= 56 && 7 * 8 <= 56 && 56 < 256,
                  "a round takes at most 56 bits, and their sum a byte");
    if (width == 8)
        decode_lanes<7, L, 8>(l, table, pairs, ends);
    else
        decode_lanes<5, L, short_code_bits>(l, table, pairs, ends);
}

template <int L>
void decode_plain(Lanes &l, const uint16_t *table, uint32_t *pairs, const uint16_t *ends, int width)
{
    decode_any<L>(l, table, pairs, ends, width);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Shifts by a register that need not be cl, and no flags to keep; and the
// words' bytes reversed 32 bytes at a time.
template <int L>
__attribute__((target("avx2,bmi,bmi2"))) void
decode_bmi2(Lanes &l, const uint16_t *table, uint32_t *pairs, const uint16_t *ends, int width)
{
    decode_any<L>(l, table, pairs, ends, width);
}

template <int L>
void decode(Lanes &l, const uint16_t *table, uint32_t *pairs, const uint16_t *ends, int width)
{
    static const bool bmi2 = __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("bmi") &&
                             __builtin_cpu_supports("avx2");
    if (bmi2)
        decode_bmi2<L>(l, table, pairs, ends, width);
    else
        decode_plain<L>(l, table, pairs, ends, width);
}
#else
template <int L>
void decode(Lanes &l, const uint16_t *table, uint32_t *pairs, const uint16_t *ends, int width)
{
    decode_plain<L>(l, table, pairs, ends, width);
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
    in_order_ = false;
    return true;
}

namespace
{

// Which bytes have each length: bit b % 64 of word b / 64 of sets[len],
// and how many they are.
struct LengthSets {
    std::array<std::array<uint64_t, max_leaves / 64>, short_code_bits + 1> bytes;
    std::array<int, short_code_bits + 1> count;
};

// The sets of lengths 1 to short_code_bits; false where a length is longer.
// Sixteen lengths a comparison where the processor has SSE2, else one at a
// time. (The counts are not taken from the sets: a count of bits is a call
// into the compiler's library where the build does not assume POPCNT.)
bool length_sets(const uint8_t *lengths, LengthSets &sets)
{
#if defined(__SSE2__)
    constexpr size_t kVectors = max_leaves / 16;
    __m128i v[kVectors];
    __m128i most = _mm_setzero_si128();
    for (size_t i = 0; i < kVectors; ++i) {
        v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(lengths + 16 * i));
        most = _mm_max_epu8(most, v[i]);
    }
    const __m128i longest = _mm_set1_epi8(short_code_bits);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(most, longest), longest)) != 0xFFFF)
        return false;
    for (int len = 1; len <= short_code_bits; ++len) {
        const __m128i l = _mm_set1_epi8(static_cast<char>(len));
        __m128i count = _mm_setzero_si128(); // at most 16 a byte
        for (size_t w = 0; w < max_leaves / 64; ++w) {
            uint64_t set = 0;
            for (size_t j = 0; j < 4; ++j) {
                const __m128i same = _mm_cmpeq_epi8(v[4 * w + j], l);
                count = _mm_sub_epi8(count, same);
                set |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(same))} << (16 * j);
            }
            sets.bytes[static_cast<size_t>(len)][w] = set;
        }
        const __m128i sums = _mm_sad_epu8(count, _mm_setzero_si128());
        sets.count[static_cast<size_t>(len)] =
            _mm_cvtsi128_si32(sums) + _mm_cvtsi128_si32(_mm_srli_si128(sums, 8));
    }
#else
    for (auto &set : sets.bytes)
        set.fill(0);
    sets.count.fill(0);
    for (int b = 0; b < max_leaves; ++b) {
        if (lengths[b] > short_code_bits)
            return false;
        sets.bytes[lengths[b]][static_cast<size_t>(b / 64)] |= uint64_t{1} << (b % 64);
        ++sets.count[lengths[b]];
    }
#endif
    return true;
}

} // namespace

bool ShortDecoder::build_canonical(const uint8_t *lengths)
{
    // The canonical codes count up in (length, byte) order, so their
    // entries follow one another from index 0: dealt out by length, with
    // no code computed and nothing to clear. The bytes of each length are
    // found in a set of bits, in order, one count of trailing zeros a leaf:
    // counted and placed in order a byte at a time (all 256, most of them
    // without a code), they had taken two fifths of the build.
    bits_ = -1;
    LengthSets sets;
    if (!length_sets(lengths, sets))
        return false;
    const std::array<int, short_code_bits + 1> &count = sets.count;
    int longest = 0, leaves = 0;
    for (int len = 1; len <= short_code_bits; ++len) {
        leaves += count[static_cast<size_t>(len)];
        longest = count[static_cast<size_t>(len)] != 0 ? len : longest;
    }
    if (leaves == 1 || leaves == 0) {
        // One byte value alone has no canonical code of one or more bits.
        return false;
    }
    const int width = longest <= 8 ? 8 : short_code_bits;
    const size_t entries = size_t{1} << width;
    size_t at = 0;
    ends_[0] = 0;
    for (int len = 1; len <= longest; ++len) {
        const size_t spread = size_t{1} << (width - len);
        if (at + static_cast<size_t>(count[static_cast<size_t>(len)]) * spread > entries)
            return false; // the lengths over-fill the code
        for (size_t w = 0; w < max_leaves / 64; ++w)
            for (uint64_t set = sets.bytes[static_cast<size_t>(len)][w]; set != 0; set &= set - 1) {
                const auto symbol =
                    static_cast<uint8_t>(64 * w + static_cast<size_t>(__builtin_ctzll(set)));
                const uint64_t four = entry_of(symbol, len) * uint64_t{0x0001000100010001};
                uint16_t *to = table_.data() + at;
                // Eight entries at once whatever the spread, with no branch
                // on it: those past this code's belong to the codes after
                // it, which come later, and the table has room for eight
                // past its end. A branch on the spread, and a loop of
                // two-byte stores before it, took most of the build.
                static_assert(kDealt == 2 * sizeof four / sizeof *to, "two stores of four entries");
                std::memcpy(to, &four, sizeof four);
                std::memcpy(to + 4, &four, sizeof four);
                for (size_t e = kDealt; e < spread; e += kDealt) {
                    std::memcpy(to + e, &four, sizeof four);
                    std::memcpy(to + e + 4, &four, sizeof four);
                }
                at += spread;
            }
        // Where each length's entries end, for the table of pairs.
        ends_[static_cast<size_t>(len)] = static_cast<uint16_t>(at);
    }
    for (int len = longest + 1; len <= short_code_bits; ++len)
        ends_[static_cast<size_t>(len)] = static_cast<uint16_t>(at);
    if (at != entries)
        return false; // or leave it incomplete
    bits_ = longest;
    width_ = width;
    in_order_ = true;
    return true;
}

uint8_t *ShortDecoder::swapped(size_t bytes)
{
    if (bytes > swapped_size_) {
        swapped_.reset(static_cast<uint8_t *>(std::malloc(bytes)));
        swapped_size_ = swapped_ ? bytes : 0;
    }
    return swapped_.get();
}

bool ShortDecoder::make_room(size_t bytes)
{
    return bytes <= SIZE_MAX - stream_count * kPadding &&
           swapped(bytes + stream_count * kPadding) != nullptr;
}

uint64_t ShortDecoder::decode_bytes(const uint8_t *stream, size_t bytes, uint8_t *out, size_t count,
                                    StreamOrder order, bool two_symbols)
{
    if (bits_ < 0)
        return UINT64_MAX;
    if (bits_ == 0) {
        std::memset(out, single_, count);
        return 0;
    }
    Lanes l;
    l.from[0] = stream;
    if (order == StreamOrder::words) {
        l.copy[0] = swapped(bytes + kPadding);
        if (!l.copy[0])
            return UINT64_MAX;
        l.begin[0] = l.copy[0];
        l.readable[0] = bytes + kPadding;
    } else {
        l.copy[0] = nullptr;
        l.begin[0] = stream;
        l.readable[0] = bytes;
    }
    l.pos[0] = 0;
    l.end[0] = 8 * static_cast<uint64_t>(bytes);
    l.out[0] = out;
    l.left[0] = count;
    huffman::decode<1>(l, table_.data(), two_symbols ? pairs_.data() : nullptr,
                       in_order_ ? ends_.data() : nullptr, width_);
    return l.pos[0];
}

void ShortDecoder::decode_four(const uint8_t *streams, const size_t bytes[stream_count],
                               uint8_t *out, size_t size, uint64_t used[stream_count],
                               bool two_symbols, StreamOrder order)
{
    if (bits_ <= 0) {
        for (int k = 0; k < stream_count; ++k)
            used[k] = bits_ < 0 ? UINT64_MAX : 0;
        if (bits_ == 0)
            std::memset(out, single_, size);
        return;
    }
    // In byte order the streams lie one after another, and each may be
    // read on to the end of the last; words are copied, each stream with
    // zero bytes after it.
    size_t after = 0;
    for (int k = 0; k < stream_count; ++k)
        after += bytes[k];
    uint8_t *copy = nullptr;
    if (order == StreamOrder::words) {
        copy = swapped(after + stream_count * kPadding);
        if (!copy) {
            for (int k = 0; k < stream_count; ++k)
                used[k] = UINT64_MAX;
            return;
        }
    }
    Lanes l;
    for (int k = 0; k < stream_count; ++k) {
        l.from[k] = streams;
        l.copy[k] = copy;
        l.begin[k] = copy ? copy : streams;
        l.readable[k] = copy ? bytes[k] + kPadding : after;
        l.pos[k] = 0;
        l.end[k] = 8 * static_cast<uint64_t>(bytes[k]);
        l.out[k] = out + stream_share(size, k);
        l.left[k] = stream_share(size, k + 1) - stream_share(size, k);
        streams += bytes[k];
        after -= bytes[k];
        if (copy)
            copy += bytes[k] + kPadding;
    }
    huffman::decode<stream_count>(l, table_.data(), two_symbols ? pairs_.data() : nullptr,
                                  in_order_ ? ends_.data() : nullptr, width_);
    for (int k = 0; k < stream_count; ++k)
        used[k] = l.pos[k];
}

bool ShortDecoder::two_symbols_pay(uint64_t bits, size_t size)
{
    // Measured whole-process on blocks of some 12 KiB: text (5.1 bits a
    // symbol) 5% faster with pairs, programs (5.7) 3% slower, and the same
    // where only the blocks of 5.5 bits or less take them. Larger blocks,
    // where making the table counts for less, gain 20 to 70%. With the
    // blocks of some 20 KiB that pack makes now and the table made in
    // quarters, blocks of up to 6.5 bits a symbol gain too: unpacking
    // programs in one process took 3% less time than with 5.5, and text
    // and the program files themselves 0.5 to 1.3% less; taking pairs
    // whatever the bits gained nothing more. With the pairs made eight at a
    // time and their bytes loaded, one block of 12 to 40 KiB of bytes drawn
    // at 6.6 bits a symbol decoded 4 to 6% faster with pairs, at 6.8 as
    // fast, and at 6.9 and 7.1 5 to 8% slower (a Xeon).
    constexpr uint64_t most_quarter_bits = 27; // 6.75 bits a symbol
    return size > 0 && 4 * bits <= most_quarter_bits * uint64_t{size};
}

} // namespace huffman
} // namespace dctlab
