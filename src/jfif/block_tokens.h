/* The symbols of one block as a sequential Huffman scan codes them: the DC
 * difference from the previous block of the component as a category and its
 * bits, then the AC coefficients in zigzag order as run-and-category symbols
 * (0x00 ends the block, 0xF0 is a run of sixteen zeros), each with its bits.
 * The one walk serves both passes of the writer, counting and coding. */
#ifndef DCTLAB_JFIF_BLOCK_TOKENS_H
#define DCTLAB_JFIF_BLOCK_TOKENS_H

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "jpeg_layout.h"
#include "sizemag.h"

namespace dctlab::jfif
{

constexpr uint8_t kEndOfBlock = 0x00;
constexpr uint8_t kZeroRun = 0xF0;

/* Bit k set where coefficient k is not zero. */
inline uint64_t nonzero_mask(const int16_t *block)
{
#if defined(__SSE2__)
    uint64_t zero = 0;
    const __m128i z = _mm_setzero_si128();
    for (int i = 0; i < 4; ++i) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * i + 8));
        const __m128i packed = _mm_packs_epi16(_mm_cmpeq_epi16(a, z), _mm_cmpeq_epi16(b, z));
        zero |= uint64_t{static_cast<uint16_t>(_mm_movemask_epi8(packed))} << (16 * i);
    }
    return ~zero;
#else
    uint64_t mask = 0;
    for (int k = 0; k < 64; ++k)
        mask |= uint64_t{block[k] != 0} << k;
    return mask;
#endif
}

/* A value's category and magnitude bits, from the size-category module. */
struct Split {
    int category;
    uint32_t bits;
};
inline Split split_by_sizemag(int16_t value)
{
    char category = 0;
    int16_t magnitude = 0;
    sizemag(value, &category, &magnitude);
    const int c = static_cast<unsigned char>(category);
    return {c, static_cast<uint32_t>(static_cast<uint16_t>(magnitude)) & ((1u << c) - 1)};
}

/* The split of every value a code carries (DC differences reach furthest),
 * asked of the size-category module once: both passes of the writer split
 * every nonzero coefficient, and a look-up in 16 KiB is cheaper than a call
 * each time. */
class SplitTable
{
  public:
    SplitTable()
    {
        for (int v = -kMaxDcDifference; v <= kMaxDcDifference; ++v) {
            const Split s = split_by_sizemag(static_cast<int16_t>(v));
            entries_[v + kMaxDcDifference] = {static_cast<uint16_t>(s.bits),
                                              static_cast<uint8_t>(s.category)};
        }
    }
    /* For |value| <= kMaxDcDifference. */
    Split operator()(int value) const
    {
        const Entry e = entries_[value + kMaxDcDifference];
        return {e.category, e.bits};
    }

  private:
    struct Entry {
        uint16_t bits;
        uint8_t category;
    };
    Entry entries_[2 * kMaxDcDifference + 1];
};
static_assert(kMaxAcMagnitude <= kMaxDcDifference, "AC values are in the table too");

inline const SplitTable &splits()
{
    static const SplitTable table;
    return table;
}

/* Calls sink.dc(category, bits) once and sink.ac(symbol, category, bits) for
 * each AC symbol of `block` (null: a padding block, which repeats the DC
 * before it and has no AC), updating the component's DC prediction `dc`, in
 * file terms. False, before any call, when a value is beyond what the codes
 * carry; the AC values are checked only where Sink::kChecks is true. */
template <class Sink> bool code_block(const int16_t *block, int &dc, Sink &sink)
{
    if (!block) {
        sink.dc(0, 0);
        sink.ac(kEndOfBlock, 0, 0);
        return true;
    }
    const int value = block[0] - kDcShift;
    const int difference = value - dc;
    if (difference < -kMaxDcDifference || difference > kMaxDcDifference)
        return false;
    uint64_t mask = nonzero_mask(block) & ~uint64_t{1};
    // Checking every AC value before the first call keeps a refusal clean.
    // A sink that codes what a checking pass already accepted skips it.
    if constexpr (Sink::kChecks) {
        for (uint64_t m = mask; m; m &= m - 1) {
            const int v = block[__builtin_ctzll(m)];
            if (v < -kMaxAcMagnitude || v > kMaxAcMagnitude)
                return false;
        }
    }
    dc = value;
    const SplitTable &split = splits();
    const Split d = split(difference);
    sink.dc(d.category, d.bits);
    int last = 0;
    for (; mask; mask &= mask - 1) {
        const int k = __builtin_ctzll(mask);
        int run = k - last - 1;
        for (; run >= 16; run -= 16)
            sink.ac(kZeroRun, 0, 0);
        const Split a = split(block[k]);
        sink.ac(static_cast<uint8_t>(run << 4 | a.category), a.category, a.bits);
        last = k;
    }
    if (last != 63)
        sink.ac(kEndOfBlock, 0, 0);
    return true;
}

} // namespace dctlab::jfif

#endif
