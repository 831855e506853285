// An independent evaluation of the 8x8 DCT-II and its inverse, straight from
// the cosine sums in long double, and the planes the transform tests feed in.
#ifndef DCTLAB_TEST_DCT_REFERENCE_H
#define DCTLAB_TEST_DCT_REFERENCE_H

#include <array>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "imgcodec.h"

namespace dctref
{

const std::string kNullLine = "ERROR: NULL given instead of argument!\n";
const std::string kMemoryLine = "ERROR: No free memory left!\n";
const std::string kInvalidLine = "ERROR: Invalid argument given!\n";

using Block = std::array<long double, 64>; // row-major, element 8·r + c

// basis(u, n) = a(u)·cos((2n + 1)·u·pi/16), a(0) = sqrt(1/8), else 1/2.
inline long double basis(int u, int n)
{
    static const std::array<long double, 64> table = [] {
        const long double pi = 3.141592653589793238462643383279502884L;
        std::array<long double, 64> t{};
        for (int f = 0; f < 8; ++f)
            for (int s = 0; s < 8; ++s)
                t[8 * f + s] = (f == 0 ? std::sqrt(1.0L / 8.0L) : 0.5L) *
                               std::cos((2 * s + 1) * f * pi / 16.0L);
        return t;
    }();
    return table[8 * u + n];
}

// F(u, v) = sum over y, x of B(y, x)·basis(u, y)·basis(v, x).
inline Block forward(const Block &b)
{
    Block f{};
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            long double sum = 0.0L;
            for (int y = 0; y < 8; ++y)
                for (int x = 0; x < 8; ++x)
                    sum += b[8 * y + x] * basis(u, y) * basis(v, x);
            f[8 * u + v] = sum;
        }
    return f;
}

// B(y, x) = sum over u, v of F(u, v)·basis(u, y)·basis(v, x).
inline Block inverse(const Block &f)
{
    Block b{};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            long double sum = 0.0L;
            for (int u = 0; u < 8; ++u)
                for (int v = 0; v < 8; ++v)
                    sum += f[8 * u + v] * basis(u, y) * basis(v, x);
            b[8 * y + x] = sum;
        }
    return b;
}

// Whether got is the exact value rounded to nearest, halves away from zero.
// The library works in double through two matrix products, so a value
// within 1e-9 of a .5 boundary may fall on either side of it.
inline bool rounds_to(long double exact, long got)
{
    return got == std::lround(exact - 1e-9L) || got == std::lround(exact + 1e-9L);
}

// The three planes of a w x h picture, owned here; record() points into them.
struct Planes {
    uint32_t w = 0, h = 0;
    std::vector<int16_t> y, cb, cr;
    uint32_t cw() const { return (w + w % 2) / 2; }
    uint32_t ch() const { return (h + h % 2) / 2; }
    PDCBCR record()
    {
        return PDCBCR{w, h, static_cast<uint8_t>(w % 4), y.data(), cb.data(), cr.data()};
    }
};

// Uniform samples from lo to hi; mt19937's sequence is the same everywhere.
inline Planes random_planes(uint32_t w, uint32_t h, unsigned seed, int lo, int hi)
{
    std::mt19937 gen(seed);
    auto sample = [&] {
        return static_cast<int16_t>(lo + static_cast<int>(gen() % (hi - lo + 1)));
    };
    Planes p;
    p.w = w;
    p.h = h;
    p.y.resize(std::size_t{w} * h);
    p.cb.resize(std::size_t{p.cw()} * p.ch());
    p.cr.resize(p.cb.size());
    for (auto *plane : {&p.y, &p.cb, &p.cr})
        for (auto &s : *plane)
            s = sample();
    return p;
}

// Block n of a plane, numbered row by row, zero beyond the plane's edges.
inline Block block_of(const std::vector<int16_t> &plane, uint32_t width, uint32_t height,
                      uint32_t n)
{
    const uint32_t per_row = (width + 7) / 8;
    const uint32_t left = 8 * (n % per_row), top = 8 * (n / per_row);
    Block b{};
    for (uint32_t r = 0; r < 8; ++r)
        for (uint32_t c = 0; c < 8; ++c)
            if (top + r < height && left + c < width)
                b[8 * r + c] = plane[(top + r) * width + left + c];
    return b;
}

} // namespace dctref

#endif
