/* The one writer of QUANT_MAT, shared by the forward and the inverse
 * transform so that both derive the divisors from a rate alike. */
#ifndef DCTLAB_IMGCODEC_QUANT_MATRIX_H
#define DCTLAB_IMGCODEC_QUANT_MATRIX_H

#include <cstdint>

#include "imgcodec.h"

namespace dctlab::img
{

/* The highest rate whose divisors all fit a signed 16-bit value: the bottom
 * right one is 14·2340 + 1 = 32761, while 2341 would give 32775. */
constexpr uint16_t kMaxQuantRate = 2340;

/* The divisor of row r and column c at a rate: rate·(r + c) + 1, in 16
 * bits. */
constexpr int16_t divisor_at(uint16_t rate, int r, int c)
{
    return static_cast<int16_t>(static_cast<uint16_t>(rate * (r + c) + 1));
}

/* Element 8·r + c of QUANT_MAT becomes divisor_at(rate, r, c). */
void fill_quant_mat(uint16_t rate);

/* Whether every divisor is at least 1. Below 1 is what an unfilled matrix
 * holds (zeros), or a fill whose products wrapped in 16 bits (negative
 * values). */
bool divisors_usable();

/* A rounded coefficient y quantised by a divisor d from 1 to 32767: divided
 * by d, to nearest with halves away from zero. Adding half the divisor
 * before the truncating division does that on either side of 0. */
inline int16_t quantise_rounded(int32_t y, int32_t d)
{
    const int32_t m = d >> 1;
    const int32_t n = y >= 0 ? y + m : y - m;
    return static_cast<int16_t>(n / d);
}

/* One coefficient quantised: rounded, then divided. Only the rounded value
 * matters, which is what lets a rate be had from the coefficients of rate 0
 * (whose divisors are all 1) without the transform (requantise.h). */
inline int16_t quantise_one(double coefficient, int32_t d)
{
    return quantise_rounded(roun(coefficient), d);
}

/* One coefficient dequantised, kept to its low 16 bits. */
inline int16_t dequantise_one(int16_t q, int16_t d)
{
    return static_cast<int16_t>(static_cast<uint16_t>(int32_t{q} * d));
}

} // namespace dctlab::img

#endif
