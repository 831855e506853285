/* The generated picture that the benchmarks time: photo-like, so that the
 * block coders see what a photograph gives them, yet the same on every
 * machine. */
#ifndef DCTLAB_BENCH_PHOTO_LIKE_H
#define DCTLAB_BENCH_PHOTO_LIKE_H

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <random>

#include "imgcodec.h"
#include "record_handles.h"

namespace dctlab::bench
{

inline uint8_t clamp8(double v)
{
    return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : std::lround(v));
}

// A sky that darkens upwards, soft lit blobs, hard-edged boxes, fine
// ripples and a little sensor noise: smooth areas, edges and texture.
inline img::RgbPtr photo_like(uint32_t side)
{
    img::RgbPtr p(static_cast<PDRGB *>(std::calloc(1, sizeof(PDRGB))));
    p->w = p->h = side;
    p->dBytes = static_cast<uint8_t>(side % 4);
    p->data = static_cast<BMPPIX8BNA *>(std::calloc(std::size_t{side} * side, 3));
    std::mt19937 gen(20240611);
    for (uint32_t y = 0; y < side; ++y)
        for (uint32_t x = 0; x < side; ++x) {
            const double fx = double(x) / side, fy = double(y) / side;
            const double blob1 =
                std::exp(-((fx - 0.3) * (fx - 0.3) + (fy - 0.6) * (fy - 0.6)) * 18);
            const double blob2 =
                std::exp(-((fx - 0.75) * (fx - 0.75) + (fy - 0.3) * (fy - 0.3)) * 30);
            const double ripple = 10 * std::sin(x * 0.21) * std::cos(y * 0.17);
            const bool box = ((x / 97) % 5 == 2 && (y / 131) % 4 == 1);
            const double noise = static_cast<int>(gen() % 7) - 3;
            double r = 90 + 120 * fy + 110 * blob1 + ripple + noise;
            double g = 110 + 80 * fy + 60 * blob2 + ripple * 0.5 + noise;
            double b = 160 + 60 * fy - 80 * blob1 + 90 * blob2 + noise;
            if (box)
                r *= 0.3, g *= 0.35, b *= 0.4;
            p->data[std::size_t{y} * side + x] = BMPPIX8BNA{clamp8(b), clamp8(g), clamp8(r)};
        }
    return p;
}

} // namespace dctlab::bench

#endif
