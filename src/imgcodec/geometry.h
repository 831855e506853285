/* Sizes derived from a picture's width and height, shared by every stage so
 * that each computes them the same way. */
#ifndef DCTLAB_IMGCODEC_GEOMETRY_H
#define DCTLAB_IMGCODEC_GEOMETRY_H

#include <cstdint>

#include "checked_size.h"

namespace dctlab::img
{

/* Zero bytes after a row of 3w bytes in a BMP file: (-3w) mod 4, which is
 * w mod 4 because -3 and 1 are congruent modulo 4. */
constexpr uint8_t row_padding(uint32_t w)
{
    return static_cast<uint8_t>(w & 3u);
}
static_assert(row_padding(1) == 1 && row_padding(2) == 2 && row_padding(3) == 3 &&
              row_padding(4) == 0 && row_padding(5) == 1);

/* Chrominance samples along one side: half the pixels, rounded up. */
constexpr uint32_t chroma_extent(uint32_t n)
{
    return n / 2 + n % 2;
}

/* Whether a record of w x h pixels can be handled at all: neither side 0,
 * and its 3·w·h pixel bytes within 32 bits. The luminance plane (2·w·h
 * bytes) and a chrominance plane (2·cw·ch <= 2·w·h bytes) are then smaller
 * still, so none of their sizes can overflow. */
inline bool pixel_bytes_of(uint32_t w, uint32_t h, uint32_t *bytes)
{
    uint32_t area = 0;
    return w != 0 && h != 0 && mul_u32(w, h, &area) && mul_u32(area, 3, bytes);
}

} // namespace dctlab::img

#endif
