/* How the transforms cut a picture's planes into 8x8 blocks: the luminance
 * plane of w x h samples and the two chrominance planes of cw x ch, each into
 * blocks numbered row by row from the top left, the blocks of the right and
 * bottom edges running past the plane. */
#ifndef DCTLAB_IMGCODEC_BLOCK_GEOMETRY_H
#define DCTLAB_IMGCODEC_BLOCK_GEOMETRY_H

#include <cstddef>
#include <cstdint>

#include "checked_size.h"
#include "geometry.h"

namespace dctlab::img
{

constexpr uint32_t kBlockSide = 8;
constexpr std::size_t kBlockSamples = 64;

/* The codes of getDCTedBlock's block types: which plane a block is cut from. */
constexpr uint8_t kLumaBlock = 64;
constexpr uint8_t kCbBlock = 32;
constexpr uint8_t kCrBlock = 16;

/* Blocks along one side of n samples: n div 8, plus one for a partial block. */
constexpr uint32_t blocks_along(uint32_t n)
{
    return n / kBlockSide + (n % kBlockSide != 0 ? 1u : 0u);
}
static_assert(blocks_along(1) == 1 && blocks_along(8) == 1 && blocks_along(9) == 2 &&
              blocks_along(UINT32_MAX) == 536870912u);

/* One plane: its samples across and down, and its blocks along a row and in
 * all. */
struct PlaneBlocks {
    uint32_t width;
    uint32_t height;
    uint32_t per_row;
    uint32_t count;
};

struct PictureBlocks {
    PlaneBlocks luma;
    PlaneBlocks chroma; // each of Cb and Cr
};

/* The block layout of a w x h picture, for the sizes the library handles at
 * all (pixel_bytes_of); false for any other. Then every count fits 32 bits
 * and every sample index of a plane fits a std::size_t. The chrominance
 * blocks per row, ceil(cw/8), equal ceil((w + (w mod 2))/16), as
 * w + (w mod 2) = 2·cw. */
inline bool picture_blocks(uint32_t w, uint32_t h, PictureBlocks *out)
{
    uint32_t pixel_bytes = 0;
    if (!pixel_bytes_of(w, h, &pixel_bytes))
        return false;
    const uint32_t cw = chroma_extent(w), ch = chroma_extent(h);
    PictureBlocks b{{w, h, blocks_along(w), 0}, {cw, ch, blocks_along(cw), 0}};
    if (!mul_u32(b.luma.per_row, blocks_along(h), &b.luma.count) ||
        !mul_u32(b.chroma.per_row, blocks_along(ch), &b.chroma.count))
        return false;
    *out = b;
    return true;
}

/* The samples of a store of n blocks; false when they do not fit a size_t. */
inline bool block_store_samples(uint32_t n, std::size_t *samples)
{
    return mul_size(n, kBlockSamples, samples);
}

} // namespace dctlab::img

#endif
