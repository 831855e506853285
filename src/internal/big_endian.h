/* 64 bits at a time in big-endian order, for the Huffman coders' bit
 * streams, which run most significant bit first: one unaligned load or
 * store and, on little-endian hosts, one byte swap; and the turn between
 * a stream's little-endian words and its bytes in the order of its bits. */
#ifndef DCTLAB_INTERNAL_BIG_ENDIAN_H
#define DCTLAB_INTERNAL_BIG_ENDIAN_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace dctlab
{

inline uint64_t load_be64(const uint8_t *p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline void store_be64(uint8_t *p, uint64_t v)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, sizeof v);
}

/* Each 4 bytes of `words` words in reverse order: 32-bit words stored
 * little-endian become big-endian, and back; `to` may be `from`. */
inline void reverse_word_bytes(const uint8_t *from, size_t words, uint8_t *to)
{
    for (size_t i = 0; i < words; ++i) {
        uint32_t v;
        std::memcpy(&v, from + 4 * i, sizeof v);
        v = __builtin_bswap32(v);
        std::memcpy(to + 4 * i, &v, sizeof v);
    }
}

} // namespace dctlab

#endif
