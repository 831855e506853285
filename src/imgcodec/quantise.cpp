/* Quantisation and coefficient order of one 8x8 block.
 *
 * A block is 64 values in row-major order, value 8·r + c at row r and column
 * c; for a transformed block row r is the vertical and column c the
 * horizontal frequency. QUANT_MAT holds one divisor per position, refilled
 * from a quality rate by the transforms; quantum divides by it with rounding
 * to nearest, halves away from zero, and unQuantum multiplies back. The
 * zigzag order of ITU-T T.81 is PERM_MAT (rank -> position), with its inverse
 * REV_PERM_MAT (position -> rank). */
#include "imgcodec.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include "block_geometry.h"
#include "messages.h"
#include "quant_matrix.h"

/* Until a transform fills it the matrix is no usable one: quantum refuses the
 * zero divisors rather than divide by them. */
int16_t QUANT_MAT[64] = {1};

constexpr uint8_t PERM_MAT[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

constexpr uint8_t REV_PERM_MAT[64] = {
    0,  1,  5,  6,  14, 15, 27, 28, //
    2,  4,  7,  13, 16, 26, 29, 42, //
    3,  8,  12, 17, 25, 30, 41, 43, //
    9,  11, 18, 24, 31, 40, 44, 53, //
    10, 19, 23, 32, 39, 45, 52, 54, //
    20, 22, 33, 38, 46, 51, 55, 60, //
    21, 34, 37, 47, 50, 56, 59, 61, //
    35, 36, 48, 49, 57, 58, 62, 63, //
};

namespace
{

using namespace dctlab::img;

constexpr bool is_permutation(const uint8_t (&table)[64])
{
    bool seen[64] = {};
    for (uint8_t v : table) {
        if (v >= 64 || seen[v])
            return false;
        seen[v] = true;
    }
    return true;
}

constexpr bool inverse_of_each_other(const uint8_t (&a)[64], const uint8_t (&b)[64])
{
    for (std::size_t k = 0; k < 64; ++k)
        if (b[a[k]] != k || a[b[k]] != k)
            return false;
    return true;
}

static_assert(is_permutation(PERM_MAT) && is_permutation(REV_PERM_MAT));
static_assert(inverse_of_each_other(PERM_MAT, REV_PERM_MAT));

/* The zigzag walk, generated: it runs along the anti-diagonals, a step of
 * +7 going down-left (s = +1) and -7 going up-right (s = -1), and turns at
 * the block's edge with one step right (+1) or down (+8). While the
 * diagonals grow (runs of 1 to 6 steps) it turns along the top and left
 * edges, down after a down-left run and right after an up-right one; once
 * past the main anti-diagonal (runs of 7 down to 1) along the bottom and
 * right edges, the other way round. Hands each of the 64 positions to emit
 * in turn. */
template <typename Emit> constexpr void walk_zigzag(Emit &&emit)
{
    int p = 1, s = 1;
    emit(0);
    emit(1);
    for (int run = 1; run <= 6; ++run) {
        for (int i = 0; i < run; ++i)
            emit(p += 7 * s);
        emit(p += s > 0 ? 8 : 1);
        s = -s;
    }
    for (int run = 7; run >= 1; --run) {
        for (int i = 0; i < run; ++i)
            emit(p += 7 * s);
        emit(p += s > 0 ? 1 : 8);
        s = -s;
    }
}

constexpr bool walk_gives_perm_mat()
{
    std::size_t k = 0;
    bool same = true;
    walk_zigzag([&](int p) {
        same = same && k < 64 && PERM_MAT[k] == p;
        ++k;
    });
    return same && k == 64;
}
static_assert(walk_gives_perm_mat(), "PERM_MAT is the zigzag order");

int16_t *new_block()
{
    auto *block = static_cast<int16_t *>(std::calloc(kBlockSamples, sizeof(int16_t)));
    if (!block)
        std::puts(kNoMemory);
    return block;
}

} // namespace

void dctlab::img::fill_quant_mat(uint16_t rate)
{
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            QUANT_MAT[8 * r + c] = divisor_at(rate, r, c);
}

bool dctlab::img::divisors_usable()
{
    for (int16_t d : QUANT_MAT)
        if (d < 1)
            return false;
    return true;
}

void shrtTodbl(const int16_t *src, double *dest)
{
    if (!src || !dest) {
        std::puts(kNullArgument);
        return;
    }
    for (std::size_t i = 0; i < kBlockSamples; ++i)
        dest[i] = src[i];
}

void dblToshrt(const double *src, int16_t *dest)
{
    if (!src || !dest) {
        std::puts(kNullArgument);
        return;
    }
    for (std::size_t i = 0; i < kBlockSamples; ++i)
        dest[i] = roun(src[i]);
}

int16_t *quantum(const double *inp)
{
    if (!divisors_usable()) {
        std::puts(kInvalidArgument);
        return nullptr;
    }
    int16_t *out = new_block();
    if (!out)
        return nullptr;
    for (std::size_t i = 0; i < kBlockSamples; ++i)
        out[i] = quantise_one(inp[i], QUANT_MAT[i]);
    return out;
}

int16_t *unQuantum(const int16_t *inp)
{
    int16_t *out = new_block();
    if (!out)
        return nullptr;
    for (std::size_t i = 0; i < kBlockSamples; ++i)
        out[i] = dequantise_one(inp[i], QUANT_MAT[i]);
    return out;
}

void zigzag(const int16_t *in, int16_t *out)
{
    if (!in || !out) {
        std::puts(kNullArgument);
        return;
    }
    std::size_t k = 0;
    walk_zigzag([&](int p) { out[k++] = static_cast<int16_t>(p); });
}
