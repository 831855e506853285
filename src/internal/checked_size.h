/* Size arithmetic for untrusted dimensions. Every product that sizes an
 * allocation or a file is formed in 64 bits, where the product of two 32-bit
 * numbers cannot overflow, and is then compared with the 32-bit limit of the
 * records and file headers that carry it. */
#ifndef DCTLAB_INTERNAL_CHECKED_SIZE_H
#define DCTLAB_INTERNAL_CHECKED_SIZE_H

#include <cstddef>
#include <cstdint>

namespace dctlab {

/* a * b when it fits in 32 bits unsigned; false otherwise. */
inline bool mul_u32(uint32_t a, uint32_t b, uint32_t *out)
{
    const uint64_t p = static_cast<uint64_t>(a) * b;
    if (p > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(p);
    return true;
}

/* a + b when it fits in 32 bits unsigned; false otherwise. */
inline bool add_u32(uint32_t a, uint32_t b, uint32_t *out)
{
    const uint64_t s = static_cast<uint64_t>(a) + b;
    if (s > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(s);
    return true;
}

/* a * b when it fits in a std::size_t, for the byte counts of buffers whose
 * element counts are themselves 32-bit; false otherwise. */
inline bool mul_size(std::size_t a, std::size_t b, std::size_t *out)
{
    if (b != 0 && a > SIZE_MAX / b)
        return false;
    *out = a * b;
    return true;
}

/* a * b when it fits in 64 bits unsigned; false otherwise. */
inline bool mul_u64(uint64_t a, uint64_t b, uint64_t *out)
{
    if (b != 0 && a > UINT64_MAX / b)
        return false;
    *out = a * b;
    return true;
}

} // namespace dctlab

#endif
