#include "synthetic_picture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace dctlab::tool
{

namespace
{

// A small deterministic generator, so the picture is the same on every
// machine and in every build.
struct Noise {
    uint32_t state;
    int next(int spread)
    {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 16) % (2u * spread + 1)) - spread;
    }
};

uint8_t clamp_byte(double v)
{
    return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
}

} // namespace

RgbPtr make_synthetic_picture(uint32_t w, uint32_t h, uint32_t seed)
{
    if (w == 0 || h == 0 || w > 16384 || h > 16384)
        return nullptr;
    RgbPtr picture(static_cast<PDRGB *>(std::calloc(1, sizeof(PDRGB))));
    if (!picture)
        return nullptr;
    picture->data = static_cast<BMPPIX8BNA *>(std::calloc(static_cast<size_t>(w) * h, 3));
    if (!picture->data)
        return nullptr;
    picture->w = w;
    picture->h = h;
    picture->dBytes = static_cast<uint8_t>((4 - (3 * w) % 4) % 4);

    Noise noise{seed * 2654435761u + 12345u};
    const double cx = 0.68 * w, cy = 0.40 * h, radius = 0.18 * std::min(w, h);
    for (uint32_t y = 0; y < h; ++y) {
        const double fy = static_cast<double>(y) / h; // row 0 is the bottom row
        for (uint32_t x = 0; x < w; ++x) {
            const double fx = static_cast<double>(x) / w;
            // Sky-like gradient above a darker ground.
            double r = 40 + 150 * fy + 30 * fx, g = 70 + 120 * fy, b = 110 + 130 * fy;
            if (fy < 0.3 + 0.05 * std::sin(9 * fx)) {
                r = 90 + 40 * fx;
                g = 80 + 30 * std::sin(20 * fx);
                b = 50;
            }
            // A hard-edged bright disc and a saturated rectangle.
            const double dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy < radius * radius) {
                r = 250;
                g = 210;
                b = 60;
            }
            if (fx > 0.08 && fx < 0.33 && fy > 0.45 && fy < 0.78) {
                r = 200;
                g = 30;
                b = 40;
            }
            // Fine texture: a striped patch and a checkerboard patch.
            if (fx > 0.40 && fx < 0.55 && fy > 0.05 && fy < 0.25) {
                const double stripe = 60 * std::sin(0.9 * x + 0.3 * y);
                r += stripe;
                g += stripe;
                b += stripe;
            }
            if (fx > 0.75 && fx < 0.95 && fy > 0.70 && fy < 0.92 && ((x / 2 + y / 2) % 2 == 0)) {
                r = 255 - r;
                g = 255 - g;
                b = 255 - b;
            }
            const int grain = noise.next(6);
            BMPPIX8BNA &p = picture->data[static_cast<size_t>(y) * w + x];
            p.R = clamp_byte(r + grain);
            p.G = clamp_byte(g + grain);
            p.B = clamp_byte(b + grain);
        }
    }
    return picture;
}

} // namespace dctlab::tool
