/* The fast picture path: the colour conversions and the block transforms of
 * whole planes without a single allocation, their results equal to the
 * straightforward definitions (reference.h) in every bit.
 *
 * The block routines take, block by block, the quickest way to the library's
 * results. One is to replay the matrix library's products: every element of
 * a product sums its eight products in increasing k, each product rounded to
 * double before it is added, with the library's own basis C and its
 * transpose, fetched once (terms whose factor is a zero coefficient may be
 * left out, since they change no sum). The other is an even/odd butterfly
 * whose error against those products is bounded (fast_path.cpp), used where
 * the bound shows that rounding and quantisation come out the same; what
 * lies closer to a boundary is computed by the replay. A vector lane always
 * does what one element does alone, so the result depends neither on how
 * many lanes the machine has nor on which kernel below runs.
 *
 * Several kernels are compiled from one source for different instruction
 * sets; the best one that the processor supports is chosen once. */
#ifndef DCTLAB_IMGCODEC_FAST_PATH_H
#define DCTLAB_IMGCODEC_FAST_PATH_H

#include <cstddef>
#include <cstdint>

#include "block_geometry.h"
#include "imgcodec.h"

namespace dctlab::img::fast
{

/* The zigzag rank of every row-major position of a block, as REV_PERM_MAT
 * holds it, for tables built at compile time: the anti-diagonals in turn,
 * the odd ones walked down and the even ones up. The library checks it
 * against REV_PERM_MAT when it loads. */
struct ZigzagRanks {
    uint8_t rank[64];
    constexpr ZigzagRanks() : rank()
    {
        int k = 0;
        for (int s = 0; s < 15; ++s)
            for (int i = 0; i <= s; ++i) {
                const int r = s % 2 ? i : s - i, c = s - r;
                if (r < 8 && c < 8)
                    rank[8 * r + c] = static_cast<uint8_t>(k++);
            }
    }
};
constexpr ZigzagRanks kZigzag;
static_assert(kZigzag.rank[1] == 1 && kZigzag.rank[8] == 2 && kZigzag.rank[16] == 3 &&
              kZigzag.rank[63] == 63);

/* The matrix library's DCT basis C and its transpose, row-major, and what
 * the fast forward transform takes from it (fast_path.cpp says why its
 * results are exact). */
struct Basis {
    alignas(64) double c[64];
    alignas(64) double ct[64];
    // Rows 0 and 4 are ±a0 and ±a4 throughout, rows 2 and 6 are made of ±c2
    // and ±c6, and the odd rows of their left halves, odd[4i + j] =
    // c[8(2i + 1) + j]; the right halves mirror the left ones.
    double a0, a4, c2, c6;
    double odd[16];
    // Whether the fast transform's error bound is small enough for this
    // basis; if not, every block takes the product the matrix library does.
    bool fast;
    // The same for the fast inverse transform.
    bool fast_inverse;
    // The zigzag order of a block held column by column: entry k is 8c + r
    // for the coefficient of row r and column c that comes k-th.
    uint8_t zigzag_by_columns[64];
    // The same for columns packed in pairs (see fast_blocks): the value of
    // row r and column c at 32(c/4) + 16((c%4)/2) + 8(r/4) + 4(c%2) + r%4.
    uint8_t zigzag_packed[64];
    // For the way back: entry 8c + r is the zigzag rank of the coefficient
    // of row r and column c.
    uint8_t ranks_by_columns[64];
};

/* Below this input magnitude a block's coefficients stay under 16000, well
 * inside the range where roun rounds to nearest (and the error bound of the
 * fast transform is reckoned for it). */
constexpr double kFastSampleLimit = 2000.0;

/* The basis, fetched from the matrix library when the library is loaded;
 * null if that failed, and the callers then take the straightforward path. */
const Basis *basis();

/* QUANT_MAT prepared for division by multiplication, once per fill. */
struct Quantiser {
    alignas(64) double reciprocal[64]; // fl(1/d)
    alignas(64) int32_t half[64];      // d >> 1
    alignas(64) int32_t divisor[64];   // d
    // For the fast transform, column by column (entry 8c + r for the
    // divisor of row r and column c): fl(1/d), and fl(e/d + 1/2) with e = 1/2
    // for an even d and 0 for an odd one.
    alignas(64) double step_by_columns[64];
    alignas(64) double bias_by_columns[64];
    // For the eight-block kernel, which leaves the butterfly's factors a0 of
    // row and column 0 and a4 of row and column 4 to the quantiser, row by
    // row: fl(fl(fl(1/d)·k_r)·k_c), k_0 = a0, k_4 = a4 and 1 elsewhere.
    alignas(64) double scaled_step[64];
};

/* From divisors that are all between 1 and 32767 (divisors_usable). */
void make_quantiser(const int16_t *divisors, Quantiser *q);

/* Division of coefficients already rounded (requantise.h) by a rate's
 * divisors, as a multiplication: for a dividend a below 2^16 and a divisor d
 * below 2^15, M = floor(2^31 / d) + 1 gives floor(a·M / 2^31) = floor(a / d),
 * since a·M / 2^31 exceeds a / d by less than a / 2^31 < 2^-15, while a / d
 * falls short of the next whole number by at least 1/d > 2^-15. In zigzag
 * order. */
struct Requantiser {
    static constexpr int kShift = 31;
    alignas(32) uint16_t half[64];  // d >> 1
    alignas(32) uint32_t magic[64]; // M
};

struct Kernels {
    const char *name;
    /* Blocks first .. first + count - 1 of a plane, transformed, quantised
     * and in zigzag order, into 64·count coefficients at store. */
    void (*forward_blocks)(const int16_t *plane, const PlaneBlocks &p, uint32_t first,
                           uint32_t count, const Basis &b, const Quantiser &q, int16_t *store);
    /* Every block of a plane back from its zigzag-ordered coefficients,
     * dequantised with divisors, into the plane's samples. */
    void (*inverse_plane)(const int16_t *coefficients, const PlaneBlocks &p, const Basis &b,
                          const int16_t *divisors, int16_t *plane);
    /* 64·blocks rounded coefficients quantised into store, each as
     * quantise_rounded does it. */
    void (*requantise_blocks)(const int16_t *rounded, std::size_t blocks, const Requantiser &q,
                              int16_t *store);
    /* The three planes of a w x h picture. */
    void (*rgb_to_planes)(const BMPPIX8BNA *px, uint32_t w, uint32_t h, int16_t *y, int16_t *cb,
                          int16_t *cr);
    /* The pixels of a w x h picture from its three planes. */
    void (*planes_to_rgb)(const int16_t *y, const int16_t *cb, const int16_t *cr, uint32_t w,
                          uint32_t h, BMPPIX8BNA *px);
};

/* The kernel in use: the best this processor runs, unless a test chose. */
const Kernels &kernels();

/* The kernels this processor can run, best first; choosing one makes it the
 * one in use (for tests that hold every kernel to the reference). */
std::size_t kernel_count();
const Kernels &kernel(std::size_t i);
void choose_kernel(std::size_t i);

} // namespace dctlab::img::fast

#endif
