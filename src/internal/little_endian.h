/* Little-endian fields of stored formats, read and written byte by byte so
 * that neither the host's byte order nor the padding and alignment of an
 * in-memory record can change what a file holds. */
#ifndef DCTLAB_INTERNAL_LITTLE_ENDIAN_H
#define DCTLAB_INTERNAL_LITTLE_ENDIAN_H

#include <cstdint>

namespace dctlab
{

inline uint16_t load_le16(const uint8_t *p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_le32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

/* Two's complement, as the formats store signed fields. */
inline int32_t load_le32s(const uint8_t *p)
{
    const uint32_t u = load_le32(p);
    return u <= INT32_MAX ? static_cast<int32_t>(u) : -static_cast<int32_t>(~u) - 1;
}

inline void store_le16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void store_le32(uint8_t *p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint64_t load_le64(const uint8_t *p)
{
    return static_cast<uint64_t>(load_le32(p)) | (static_cast<uint64_t>(load_le32(p + 4)) << 32);
}

inline void store_le64(uint8_t *p, uint64_t v)
{
    store_le32(p, static_cast<uint32_t>(v));
    store_le32(p + 4, static_cast<uint32_t>(v >> 32));
}

} // namespace dctlab

#endif
