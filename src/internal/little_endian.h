/* Little-endian fields of stored formats, read and written as bytes so that
 * neither the host's byte order nor the padding and alignment of an
 * in-memory record can change what a file holds. On little-endian hosts the
 * 32- and 64-bit ones are one unaligned load or store each, which the
 * Huffman coders' inner loops depend on. */
#ifndef DCTLAB_INTERNAL_LITTLE_ENDIAN_H
#define DCTLAB_INTERNAL_LITTLE_ENDIAN_H

#include <cstdint>
#include <cstring>

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define DCTLAB_LITTLE_ENDIAN_HOST 1
#endif

namespace dctlab
{

inline uint16_t load_le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_le32(const uint8_t *p)
{
#ifdef DCTLAB_LITTLE_ENDIAN_HOST
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
#else
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
#endif
}

/* Two's complement, as the formats store signed fields. */
inline int32_t load_le32s(const uint8_t *p)
{
    const uint32_t u = load_le32(p);
    return u <= INT32_MAX ? static_cast<int32_t>(u) : -static_cast<int32_t>(~u) - 1;
}

inline void store_le16(uint8_t *p, uint16_t v)
{
#ifdef DCTLAB_LITTLE_ENDIAN_HOST
    std::memcpy(p, &v, sizeof v);
#else
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
#endif
}

inline void store_le32(uint8_t *p, uint32_t v)
{
#ifdef DCTLAB_LITTLE_ENDIAN_HOST
    std::memcpy(p, &v, sizeof v);
#else
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
#endif
}

inline uint64_t load_le64(const uint8_t *p)
{
#ifdef DCTLAB_LITTLE_ENDIAN_HOST
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
#else
    return static_cast<uint64_t>(load_le32(p)) | (static_cast<uint64_t>(load_le32(p + 4)) << 32);
#endif
}

inline void store_le64(uint8_t *p, uint64_t v)
{
#ifdef DCTLAB_LITTLE_ENDIAN_HOST
    std::memcpy(p, &v, sizeof v);
#else
    store_le32(p, static_cast<uint32_t>(v));
    store_le32(p + 4, static_cast<uint32_t>(v >> 32));
#endif
}

} // namespace dctlab

#endif
