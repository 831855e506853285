// The encoder for short codes: five codes at a time (seven of 8 bits) enter a
// 64-bit accumulator, and one 8-byte store writes the bytes they reach, in
// the order of their bits, so no code waits on a branch; where the stream is
// to be words, one pass at the end turns each four bytes into the
// little-endian word that the stream holds.
// Where the processor has AVX-512 with byte permutes, the four streams'
// codes are first joined four at a time in vector registers, and the
// accumulator takes a group of four codes where it took one.
#include <algorithm>
#include <array>
#include <cstddef>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define DCTLAB_ENCODE_WIDE 1
#endif

#include "big_endian.h"
#include "encode_words.h"

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
// whole byte at `at`.
struct Lane {
    const uint8_t *from;
    size_t left;
    uint8_t *start, *at;
    uint64_t pending = 0;
    uint64_t waiting = 0;
};

// Lanes' state taken into plain arrays, which the compiler keeps in
// registers where it can, and put back once: the lanes' fields themselves
// it kept in memory, since the output's stores may alias them.
template <int L> struct Held {
    const uint8_t *from[L];
    uint8_t *at[L];
    uint64_t pending[L], waiting[L];

    explicit Held(const Lane *lanes)
    {
        for (int k = 0; k < L; ++k) {
            from[k] = lanes[k].from;
            at[k] = lanes[k].at;
            pending[k] = lanes[k].pending;
            waiting[k] = lanes[k].waiting;
        }
    }
    // Back into the lanes, which have taken `taken` bytes each.
    void put_back(Lane *lanes, size_t taken) const
    {
        for (int k = 0; k < L; ++k) {
            lanes[k].from = from[k];
            lanes[k].at = at[k];
            lanes[k].pending = pending[k];
            lanes[k].waiting = waiting[k];
            lanes[k].left -= taken;
        }
    }
};

// The rounds of `size` bytes that every one of the L lanes has bytes for.
template <int L> size_t common_rounds(const Lane *lanes, size_t size)
{
    size_t rounds = SIZE_MAX;
    for (int k = 0; k < L; ++k)
        rounds = std::min(rounds, lanes[k].left / size);
    return rounds;
}

// Adds the code of `byte` below the `waiting` bits at the top of `pending`.
inline void put(uint64_t &pending, uint64_t &waiting, const ShortTable &t, uint8_t byte)
{
    pending |= t.aligned[byte] >> waiting;
    waiting += t.lengths[byte];
}

// Stores the 8 bytes that the waiting bits reach, most significant first,
// and moves past the whole ones. Fewer than 8 bits waited before the codes
// of this round and these took at most 56, so at most 63 wait.
inline void flush(uint8_t *&at, uint64_t &pending, uint64_t &waiting)
{
    store_be64(at, pending);
    at += waiting >> 3;
    pending <<= waiting & ~7u;
    waiting &= 7u;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// put and flush as the processor should run them. Compiled, the rounds
// loaded every byte of a round and its length into registers of their own
// before the first shift, and spilled the lanes' state to the stack each
// round; written out, a code is five instructions on two scratch registers
// and the lanes' state never leaves its registers: 15% faster. Needs BMI2
// (shrx with a memory operand).
template <int J>
__attribute__((always_inline)) inline void put_asm(uint64_t &pending, uint64_t &waiting,
                                                   const uint8_t *from, const ShortTable &t)
{
    uint64_t byte, code;
    asm("movzbl %c[j](%[from]), %k[byte]\n\t"
        "shrx %[waiting], (%[t],%[byte],8), %[code]\n\t"
        "movzbl %c[lengths](%[t],%[byte]), %k[byte]\n\t"
        "or %[code], %[pending]\n\t"
        "add %[byte], %[waiting]"
        : [pending] "+r"(pending), [waiting] "+r"(waiting), [byte] "=&r"(byte), [code] "=&r"(code)
        : [from] "r"(from), [t] "r"(&t), [j] "i"(J), [lengths] "i"(offsetof(ShortTable, lengths))
        : "memory", "cc");
}

inline void flush_asm(uint8_t *&at, uint64_t &pending, uint64_t &waiting)
{
    uint64_t whole, swapped;
    asm("mov %[pending], %[swapped]\n\t"
        "bswap %[swapped]\n\t"
        "mov %[swapped], (%[at])\n\t"
        "mov %k[waiting], %k[whole]\n\t"
        "and $-8, %k[whole]\n\t"
        "shlx %[whole], %[pending], %[pending]\n\t"
        "shr $3, %k[whole]\n\t"
        "add %[whole], %[at]\n\t"
        "and $7, %k[waiting]"
        : [pending] "+r"(pending), [waiting] "+r"(waiting), [at] "+r"(at), [whole] "=&r"(whole),
          [swapped] "=&r"(swapped)
        :
        : "memory", "cc");
}

template <int J, int K>
__attribute__((always_inline)) inline void puts_asm(uint64_t &pending, uint64_t &waiting,
                                                    const uint8_t *from, const ShortTable &t)
{
    if constexpr (J < K) {
        put_asm<J>(pending, waiting, from, t);
        puts_asm<J + 1, K>(pending, waiting, from, t);
    }
}

// The rounds of code_rounds, written out; two lanes side by side give the
// processor all the overlap it can use.
template <int K, int L>
__attribute__((always_inline)) inline void code_rounds_asm(Lane *lanes, const ShortTable &t)
{
    static_assert(offsetof(ShortTable, aligned) == 0, "the codes lie at the table's start");
    const size_t rounds = common_rounds<L>(lanes, K);
    Held<L> h(lanes);
    for (size_t r = 0; r < rounds; ++r)
#pragma GCC unroll 4
        for (int k = 0; k < L; ++k) {
            puts_asm<0, K>(h.pending[k], h.waiting[k], h.from[k], t);
            h.from[k] += K;
            flush_asm(h.at[k], h.pending[k], h.waiting[k]);
        }
    h.put_back(lanes, rounds * K);
}
#endif

// K codes a lane between flushes, the lanes side by side, while every lane
// has K bytes left.
template <int K, int L>
__attribute__((always_inline)) inline void code_rounds(Lane *lanes, const ShortTable &t)
{
    const size_t rounds = common_rounds<L>(lanes, K);
    Held<L> h(lanes);
    for (size_t r = 0; r < rounds; ++r)
#pragma GCC unroll 4
        for (int k = 0; k < L; ++k) {
#pragma GCC unroll 8
            for (int j = 0; j < K; ++j)
                put(h.pending[k], h.waiting[k], t, h.from[k][j]);
            h.from[k] += K;
            flush(h.at[k], h.pending[k], h.waiting[k]);
        }
    h.put_back(lanes, rounds * K);
}

// The bytes a lane has left after the rounds, then its last bits; the
// bytes, in the order of their bits, turned into little-endian words where
// the stream is words.
__attribute__((always_inline)) inline uint64_t finish(Lane &lane, const ShortTable &t,
                                                      StreamOrder order)
{
    for (; lane.left > 0; --lane.left) {
        put(lane.pending, lane.waiting, t, *lane.from++);
        flush(lane.at, lane.pending, lane.waiting);
    }
    // The waiting bits, and zeros to the end of their word.
    store_be64(lane.at, lane.pending);
    const uint64_t bits = 8 * static_cast<uint64_t>(lane.at - lane.start) + lane.waiting;
    if (order == StreamOrder::words)
        reverse_word_bytes(lane.start, static_cast<size_t>((bits + 31) / 32), lane.start);
    return bits;
}

static_assert(7 + 5 * short_code_bits <= 64 && 7 + 7 * 8 <= 64,
              "a round's codes fit the accumulator");

template <int L>
void code_lanes_plain(Lane *lanes, const ShortTable &t, uint64_t *bits, StreamOrder order)
{
    if (t.longest <= 8)
        code_rounds<7, L>(lanes, t);
    else
        code_rounds<5, L>(lanes, t);
    for (int k = 0; k < L; ++k)
        bits[k] = finish(lanes[k], t, order);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// The written-out rounds, two lanes at a time (four lanes' state does not
// fit the registers); and the words' bytes reversed 32 bytes at a time.
template <int K, int L>
__attribute__((always_inline)) inline void rounds_asm(Lane *lanes, const ShortTable &t)
{
    if constexpr (L % 2 == 0) {
        for (int k = 0; k < L; k += 2)
            code_rounds_asm<K, 2>(lanes + k, t);
    } else {
        code_rounds_asm<K, L>(lanes, t);
    }
}

template <int L>
__attribute__((target("avx2,bmi2"))) void code_lanes_bmi2(Lane *lanes, const ShortTable &t,
                                                          uint64_t *bits, StreamOrder order)
{
    if (t.longest <= 8)
        rounds_asm<7, L>(lanes, t);
    else
        rounds_asm<5, L>(lanes, t);
    for (int k = 0; k < L; ++k)
        bits[k] = finish(lanes[k], t, order);
}

template <int L>
void code_lanes(Lane *lanes, const ShortTable &t, uint64_t *bits, StreamOrder order)
{
    static const bool bmi2 = __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("avx2");
    if (bmi2)
        code_lanes_bmi2<L>(lanes, t, bits, order);
    else
        code_lanes_plain<L>(lanes, t, bits, order);
}
#else
template <int L>
void code_lanes(Lane *lanes, const ShortTable &t, uint64_t *bits, StreamOrder order)
{
    code_lanes_plain<L>(lanes, t, bits, order);
}
#endif

#if DCTLAB_ENCODE_WIDE
#define DCTLAB_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,avx2,bmi2")))

// A code's entry in two tables of 256 bytes: its low 8 bits, and its top 3
// bits below its length, so that the two bytes side by side make a word
// of the code with the length above it.
struct WideTables {
    __m512i low[4], high[4]; // 64 bytes a register
};

// GCC 12 warns that the unmasked shifts read an undefined vector (which
// they never use); the zero-masked forms on every lane are the same
// instructions.
DCTLAB_WIDE_TARGET inline __m512i right32(__m512i v, unsigned n)
{
    return _mm512_maskz_srli_epi32(0xFFFF, v, n);
}
DCTLAB_WIDE_TARGET inline __m512i right64(__m512i v, unsigned n)
{
    return _mm512_maskz_srli_epi64(0xFF, v, n);
}
DCTLAB_WIDE_TARGET inline __m512i left32(__m512i v, __m512i by)
{
    return _mm512_maskz_sllv_epi32(0xFFFF, v, by);
}
DCTLAB_WIDE_TARGET inline __m512i left64(__m512i v, __m512i by)
{
    return _mm512_maskz_sllv_epi64(0xFF, v, by);
}

// Looks up 64 bytes' codes (two byte permutes of 128 entries for each half
// of the byte values, for each table) and joins them in the registers, two
// codes and then two pairs: sixteen groups of four codes, at most 44 bits
// each, written to `groups` at the top of 64 bits with their `lengths`. The
// bytes unpacked to words come in the order unpacking gives (group_at).
DCTLAB_WIDE_TARGET inline void join_codes(const uint8_t *from, const WideTables &t,
                                          uint64_t *groups, uint64_t *lengths)
{
    const __m512i x = _mm512_loadu_si512(from);
    const __mmask64 upper = _mm512_movepi8_mask(x); // byte values 128 to 255
    const __m512i low =
        _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(t.low[0], x, t.low[1]),
                               _mm512_permutex2var_epi8(t.low[2], x, t.low[3]));
    const __m512i high =
        _mm512_mask_blend_epi8(upper, _mm512_permutex2var_epi8(t.high[0], x, t.high[1]),
                               _mm512_permutex2var_epi8(t.high[2], x, t.high[3]));
    const __m512i words[2] = {_mm512_unpacklo_epi8(low, high), _mm512_unpackhi_epi8(low, high)};
    const __m512i low_half = _mm512_set1_epi64(0xFFFFFFFF);
    for (int i = 0; i < 2; ++i) {
        // Words of code | length << 11, two to 32 bits: the first code
        // shifted past the second.
        const __m512i w = words[i];
        const __m512i first = _mm512_and_si512(w, _mm512_set1_epi32(0x7FF));
        const __m512i first_length = _mm512_and_si512(right32(w, 11), _mm512_set1_epi32(0xF));
        const __m512i second = _mm512_and_si512(right32(w, 16), _mm512_set1_epi32(0x7FF));
        const __m512i second_length = right32(w, 27);
        const __m512i pair = _mm512_or_si512(left32(first, second_length), second);
        const __m512i pair_length = _mm512_add_epi32(first_length, second_length);
        // Two pairs to 64 bits, the same way.
        const __m512i later_length = right64(pair_length, 32);
        const __m512i group = _mm512_or_si512(
            left64(_mm512_and_si512(pair, low_half), later_length), right64(pair, 32));
        const __m512i length =
            _mm512_add_epi64(_mm512_and_si512(pair_length, low_half), later_length);
        _mm512_store_si512(groups + 8 * i,
                           left64(group, _mm512_sub_epi64(_mm512_set1_epi64(64), length)));
        _mm512_store_si512(lengths + 8 * i, length);
    }
}

// Where group g (the codes of bytes 4g to 4g + 3) lies in join_codes's
// output: unpacking takes bytes 0-7 of each 16 to the first register and
// 8-15 to the second, two groups of each 16 bytes in each.
constexpr int group_at(int g)
{
    return g / 4 * 2 + g % 4 / 2 * 8 + g % 2;
}
static_assert(group_at(0) == 0 && group_at(1) == 1 && group_at(2) == 8 && group_at(3) == 9 &&
                  group_at(4) == 2 && group_at(15) == 15,
              "groups in the order of their bytes");

// One group as put and flush take one code: at most 7 + 44 bits wait.
inline void put_group(uint8_t *&at, uint64_t &pending, uint64_t &waiting, const uint64_t *group,
                      const uint64_t *length)
{
    uint64_t code;
    asm("shrx %[waiting], %[group], %[code]\n\t"
        "or %[code], %[pending]\n\t"
        "add %[length], %[waiting]"
        : [pending] "+r"(pending), [waiting] "+r"(waiting), [code] "=&r"(code)
        : [group] "m"(*group), [length] "m"(*length)
        : "cc");
    flush_asm(at, pending, waiting);
}

// The four streams 64 bytes at a time, two side by side, then each one's
// last bytes as the other encoders end them. 1.4 times the speed of the
// rounds above on blocks of 12 KiB.
DCTLAB_WIDE_TARGET void code_four_wide(Lane *lanes, const ShortTable &t, uint64_t *bits,
                                       StreamOrder order)
{
    alignas(64) std::array<uint8_t, 256> low, high;
    for (int b = 0; b < 256; ++b) {
        const auto code =
            static_cast<uint32_t>(t.lengths[b] == 0 ? 0 : t.aligned[b] >> (64 - t.lengths[b]));
        low[b] = static_cast<uint8_t>(code);
        high[b] = static_cast<uint8_t>(code >> 8 | uint32_t{t.lengths[b]} << 3);
    }
    WideTables tables;
    for (int i = 0; i < 4; ++i) {
        tables.low[i] = _mm512_load_si512(low.data() + 64 * i);
        tables.high[i] = _mm512_load_si512(high.data() + 64 * i);
    }
    constexpr size_t kBytes = 64, kGroups = kBytes / 4;
    alignas(64) uint64_t groups[2][kGroups], lengths[2][kGroups];
    for (int k = 0; k < stream_count; k += 2) {
        const size_t rounds = common_rounds<2>(lanes + k, kBytes);
        Held<2> h(lanes + k);
        for (size_t r = 0; r < rounds; ++r) {
            join_codes(h.from[0], tables, groups[0], lengths[0]);
            join_codes(h.from[1], tables, groups[1], lengths[1]);
#pragma GCC unroll 16
            for (size_t g = 0; g < kGroups; ++g) {
                const int i = group_at(static_cast<int>(g));
                put_group(h.at[0], h.pending[0], h.waiting[0], groups[0] + i, lengths[0] + i);
                put_group(h.at[1], h.pending[1], h.waiting[1], groups[1] + i, lengths[1] + i);
            }
            h.from[0] += kBytes;
            h.from[1] += kBytes;
        }
        h.put_back(lanes + k, rounds * kBytes);
    }
    for (int k = 0; k < stream_count; ++k)
        bits[k] = finish(lanes[k], t, order);
}
#undef DCTLAB_WIDE_TARGET

bool wide_codes()
{
    static const bool wide = __builtin_cpu_supports("avx512f") &&
                             __builtin_cpu_supports("avx512bw") &&
                             __builtin_cpu_supports("avx512vbmi") &&
                             __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
    return wide;
}
#endif

} // namespace

size_t encode_short(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *out,
                    StreamOrder order)
{
    const ShortTable t = short_table(codes);
    if (t.longest == 0)
        return 0;
    Lane lane{data, size, out, out};
    uint64_t bits = 0;
    code_lanes<1>(&lane, t, &bits, order);
    return static_cast<size_t>((bits + 31) / 32);
}

void encode_four(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *const out[4],
                 uint64_t bits[4], StreamOrder order)
{
    encode_four_way(data, size, codes, out, bits, FourWay::fastest, order);
}

void encode_four_way(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *const out[4],
                     uint64_t bits[4], FourWay way, StreamOrder order)
{
    const ShortTable t = short_table(codes);
    std::array<Lane, stream_count> lanes;
    for (int k = 0; k < stream_count; ++k) {
        const size_t begin = stream_share(size, k);
        lanes[k] = Lane{data + begin, stream_share(size, k + 1) - begin, out[k], out[k]};
        bits[k] = 0;
    }
    if (t.longest == 0)
        return;
    if (way == FourWay::portable) {
        code_lanes_plain<stream_count>(lanes.data(), t, bits, order);
        return;
    }
#if DCTLAB_ENCODE_WIDE
    if (way == FourWay::fastest && wide_codes()) {
        code_four_wide(lanes.data(), t, bits, order);
        return;
    }
#endif
    code_lanes<stream_count>(lanes.data(), t, bits, order);
}

} // namespace huffman
} // namespace dctlab
