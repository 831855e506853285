/* What the forward and inverse transforms share, in their straightforward
 * and their fast form alike: the block-type codes, the allocation of sample
 * arrays, and the refusal of sizes no picture has. */
#ifndef DCTLAB_IMGCODEC_TRANSFORM_COMMON_H
#define DCTLAB_IMGCODEC_TRANSFORM_COMMON_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "block_geometry.h"
#include "messages.h"

namespace dctlab::img
{

/* The codes of getDCTedBlock's block types. */
constexpr uint8_t kLumaBlock = 64;
constexpr uint8_t kCbBlock = 32;
constexpr uint8_t kCrBlock = 16;

/* n zero samples, or null after the line. */
inline int16_t *new_samples(std::size_t n)
{
    auto *samples = static_cast<int16_t *>(std::calloc(n, sizeof(int16_t)));
    if (!samples)
        std::puts(kNoMemory);
    return samples;
}

/* The sizes of a record's picture, or the line for sizes no picture has. */
inline bool blocks_of(uint32_t w, uint32_t h, PictureBlocks *blocks)
{
    if (picture_blocks(w, h, blocks))
        return true;
    std::puts(kInvalidArgument);
    return false;
}

/* Rejects what the colour conversions cannot size: a record without pixels,
 * or one whose 3·w·h bytes do not fit 32 bits (every plane is then
 * smaller). */
inline bool colour_size(uint32_t w, uint32_t h, uint32_t *pixel_bytes)
{
    if (pixel_bytes_of(w, h, pixel_bytes))
        return true;
    std::puts(kInvalidArgument);
    return false;
}

} // namespace dctlab::img

#endif
