/* 64 bits at a time in big-endian order, for the Huffman coders' bit
 * streams, which run most significant bit first: one unaligned load or
 * store and, on little-endian hosts, one byte swap. */
#ifndef DCTLAB_INTERNAL_BIG_ENDIAN_H
#define DCTLAB_INTERNAL_BIG_ENDIAN_H

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

inline uint32_t load_be32(const uint8_t *p)
{
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline void store_be32(uint8_t *p, uint32_t v)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    std::memcpy(p, &v, sizeof v);
}

} // namespace dctlab

#endif
