/* Sixteen pixels, 48 bytes from p, split into their blue, green and red
 * bytes, and joined again; sums of neighbouring bytes, bytes widened and
 * narrowed with saturation. Plain byte moves, the same on every instruction
 * set: here one lane at a time, for the portable kernel set. */
#ifndef DCTLAB_IMGCODEC_COLOUR_BYTES_PORTABLE_H
#define DCTLAB_IMGCODEC_COLOUR_BYTES_PORTABLE_H

#include <cstdint>

#include "imgcodec.h"
#include "kernel_set.h"
#include "kernel_vectors.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

INLINE void split_pixels(const BMPPIX8BNA *p, v16b &blue, v16b &green, v16b &red)
{
    for (int i = 0; i < 16; ++i) {
        blue[i] = p[i].B;
        green[i] = p[i].G;
        red[i] = p[i].R;
    }
}

INLINE void join_pixels(const v16b &blue, const v16b &green, const v16b &red, BMPPIX8BNA *p)
{
    for (int i = 0; i < 16; ++i) {
        p[i].B = blue[i];
        p[i].G = green[i];
        p[i].R = red[i];
    }
}

/* The sums of the eight pairs of neighbouring lanes. */
INLINE void pair_sums(const v16b &x, v8s &sums)
{
    v8s v = {};
    for (int i = 0; i < 8; ++i)
        v[i] = static_cast<int16_t>(x[2 * i] + x[2 * i + 1]);
    sums = v;
}

/* One component of sixteen pixels, luma plus offset saturated to 0..255. */
INLINE v16b component16(const v16i &luma, const v16i &offsets)
{
    const v16i v = luma + offsets;
    v16i c = v < 0 ? 0 : v;
    c = c > 255 ? 255 : c;
    return __builtin_convertvector(c, v16b);
}

/* Sixteen bytes widened to 32-bit lanes. */
INLINE void widen(const v16b &x, v16i &out)
{
    out = __builtin_convertvector(x, v16i);
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
