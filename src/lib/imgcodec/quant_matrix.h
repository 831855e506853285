/* The one writer of QUANT_MAT, shared by the forward and the inverse
 * transform so that both derive the divisors from a rate alike. */
#ifndef DCTLAB_IMGCODEC_QUANT_MATRIX_H
#define DCTLAB_IMGCODEC_QUANT_MATRIX_H

#include <cstdint>

namespace dctlab::img
{

/* The highest rate whose divisors all fit a signed 16-bit value: the bottom
 * right one is 14·2340 + 1 = 32761, while 2341 would give 32775. */
constexpr uint16_t kMaxQuantRate = 2340;

/* Element 8·r + c of QUANT_MAT becomes rate·(r + c) + 1, in 16 bits. */
void fill_quant_mat(uint16_t rate);

} // namespace dctlab::img

#endif
