/* The entry points that the kernel sources define for every kernel set, for
 * fast_path.cpp to gather into the sets' tables. */
#ifndef DCTLAB_IMGCODEC_KERNEL_ENTRIES_H
#define DCTLAB_IMGCODEC_KERNEL_ENTRIES_H

#include <type_traits>

#include "fast_path.h"

namespace dctlab::img::fast
{

using ForwardBlocks = std::remove_pointer_t<decltype(Kernels::forward_blocks)>;
using InversePlane = std::remove_pointer_t<decltype(Kernels::inverse_plane)>;
using RequantiseBlocks = std::remove_pointer_t<decltype(Kernels::requantise_blocks)>;
using RgbToPlanes = std::remove_pointer_t<decltype(Kernels::rgb_to_planes)>;
using PlanesToRgb = std::remove_pointer_t<decltype(Kernels::planes_to_rgb)>;

namespace avx512
{
ForwardBlocks forward_blocks;
InversePlane inverse_plane;
RequantiseBlocks requantise_blocks;
RgbToPlanes rgb_to_planes;
PlanesToRgb planes_to_rgb;
} // namespace avx512

namespace avx2
{
ForwardBlocks forward_blocks;
InversePlane inverse_plane;
RequantiseBlocks requantise_blocks;
RgbToPlanes rgb_to_planes;
PlanesToRgb planes_to_rgb;
} // namespace avx2

namespace portable
{
ForwardBlocks forward_blocks;
InversePlane inverse_plane;
RequantiseBlocks requantise_blocks;
RgbToPlanes rgb_to_planes;
PlanesToRgb planes_to_rgb;
} // namespace portable

} // namespace dctlab::img::fast

#endif
