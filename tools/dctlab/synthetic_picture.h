// A built-in photo-like picture, so that experiments need no input file.
#ifndef DCTLAB_TOOL_SYNTHETIC_PICTURE_H
#define DCTLAB_TOOL_SYNTHETIC_PICTURE_H

#include <cstdint>

#include "picture_path.h"

namespace dctlab::tool
{

constexpr uint32_t kDemoWidth = 641;
constexpr uint32_t kDemoHeight = 481;

// Smooth gradients, hard-edged shapes, fine texture and a little noise, the
// same for the same size and seed. The record is released with freeRGB; null
// when memory runs out or the size is 0 or too large for a BMP file.
RgbPtr make_synthetic_picture(uint32_t w, uint32_t h, uint32_t seed = 1);

} // namespace dctlab::tool

#endif
