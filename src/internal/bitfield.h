/* The one implementation of the bit writer and bit reader over arrays of
 * 32-bit words. packout, packin, huffenc and huffdec each export a function
 * of their own that calls these; the functions here have internal linkage, so
 * no library defines a symbol that another also defines.
 *
 * Stream layout: fields are packed from bit 31 of a word down to bit 0, then
 * on into the next word. The cursor (word_index, free_bits) names the word
 * that takes or gives the next bit and how many of its bits are still free;
 * the next bit sits at position free_bits - 1.
 *
 * Cursor invariant: 1 <= free_bits <= 32 between calls. A field that ends at
 * bit 0 moves the cursor to (word_index + 1, 32) without touching that word,
 * so a writer never reaches past the ceil(T/32) words that T bits need.
 */
#ifndef DCTLAB_INTERNAL_BITFIELD_H
#define DCTLAB_INTERNAL_BITFIELD_H

#include <cstdint>

namespace dctlab
{
namespace bitfield
{

/* Low `width` bits set; width 0 to 32. */
static inline uint32_t low_mask(int width)
{
    return width >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << width) - 1u;
}

/* Writes `width` (0 to 32) bits of `value`, which must be below 2^width: the
 * value is ORed in unmasked, so every word must be zero before the writer
 * reaches it. A field crosses at most one word boundary. */
static inline void put(uint32_t value, int width, uint32_t *words, int *word_index, int *free_bits)
{
    if (width == 0)
        return;
    int spare = *free_bits - width;
    if (spare < 0) {
        int rest = -spare; /* 1 to 31: the free bits take the high part */
        words[*word_index] |= value >> rest;
        ++*word_index;
        value &= low_mask(rest);
        spare = 32 - rest;
    }
    words[*word_index] |= value << spare;
    if (spare == 0) {
        ++*word_index;
        *free_bits = 32;
    } else {
        *free_bits = spare;
    }
}

/* Reads the next `width` (0 to 32) bits. Touches the word at the cursor and,
 * only when the field crosses its end, the word after it. */
static inline uint32_t get(const uint32_t *words, int *word_index, int *free_bits, int width)
{
    if (width == 0)
        return 0;
    const int have = *free_bits;
    if (width <= have) {
        uint32_t field = (words[*word_index] >> (have - width)) & low_mask(width);
        if (width == have) {
            ++*word_index;
            *free_bits = 32;
        } else {
            *free_bits = have - width;
        }
        return field;
    }
    const int rest = width - have; /* 1 to 31, since have >= 1 */
    uint32_t field = (words[*word_index] & low_mask(have)) << rest;
    ++*word_index;
    field |= words[*word_index] >> (32 - rest);
    *free_bits = 32 - rest;
    return field;
}

} // namespace bitfield
} // namespace dctlab

#endif
