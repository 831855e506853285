/* Rounded coefficients quantised by a rate (requantise.h), for one kernel
 * set: the x86 sets sixteen coefficients at a time, the portable one each
 * alone. It is compiled once for every kernel set (kernel_set.h). */
#include <cstddef>
#include <cstdint>

#include "kernel_entries.h"
#include "kernel_set.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

namespace
{

#ifdef KERNEL_PSHUFB
/* Eight dividends in 32-bit lanes, divided: the even lanes' products in
 * place, the odd lanes' moved down and back. */
INLINE __m256i divide_lanes(__m256i a, __m256i magic)
{
    const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(a, magic), Requantiser::kShift);
    const __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(magic, 32));
    return _mm256_or_si256(even,
                           _mm256_slli_epi64(_mm256_srli_epi64(odd, Requantiser::kShift), 32));
}
#else
/* quantise_rounded of one coefficient y: its magnitude plus half the
 * divisor, at most 32768 + 16380, divided by the multiplication that
 * Requantiser describes, and y's sign put back. */
INLINE int16_t requantise_one(int16_t y, uint16_t half, uint32_t magic)
{
    const int32_t v = y;
    const uint32_t a = static_cast<uint32_t>(v < 0 ? -v : v) + half;
    const auto q = static_cast<int32_t>((uint64_t{a} * magic) >> Requantiser::kShift);
    return static_cast<int16_t>(v < 0 ? -q : q);
}
#endif

} // namespace

KERNEL void requantise_blocks(const int16_t *rounded, std::size_t blocks, const Requantiser &q,
                              int16_t *store)
{
#ifdef KERNEL_PSHUFB
    // Sixteen 16-bit dividends widen to 32 bits as the unpacking takes them,
    // within each 128-bit half: the lower four of each half into one
    // vector, the upper four into the other. The divisors' factors are laid
    // out to match, once a call, and the packing undoes the order.
    alignas(32) uint32_t lower[64], upper[64];
    for (std::size_t g = 0; g < 64; g += 16)
        for (std::size_t i = 0; i < 4; ++i) {
            lower[g + i] = q.magic[g + i];
            lower[g + 4 + i] = q.magic[g + 8 + i];
            upper[g + i] = q.magic[g + 4 + i];
            upper[g + 4 + i] = q.magic[g + 12 + i];
        }
    const __m256i zero = _mm256_setzero_si256();
    for (std::size_t b = 0; b < blocks; ++b, rounded += 64, store += 64)
        for (std::size_t g = 0; g < 64; g += 16) {
            const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(rounded + g));
            const __m256i half = _mm256_load_si256(reinterpret_cast<const __m256i *>(q.half + g));
            // |-32768| is 32768 read without sign, and every sum stays
            // below 2^16.
            const __m256i a = _mm256_add_epi16(_mm256_abs_epi16(y), half);
            const __m256i low =
                divide_lanes(_mm256_unpacklo_epi16(a, zero),
                             _mm256_load_si256(reinterpret_cast<const __m256i *>(lower + g)));
            const __m256i high =
                divide_lanes(_mm256_unpackhi_epi16(a, zero),
                             _mm256_load_si256(reinterpret_cast<const __m256i *>(upper + g)));
            // Quotients up to 32768, packed without sign; the sign of y
            // negates them (32768 into -32768) where y is below zero.
            const __m256i quotient = _mm256_packus_epi32(low, high);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(store + g),
                                _mm256_sign_epi16(quotient, y));
        }
#else
    for (std::size_t b = 0; b < blocks; ++b, rounded += 64, store += 64)
        for (std::size_t k = 0; k < 64; ++k)
            store[k] = requantise_one(rounded[k], q.half[k], q.magic[k]);
#endif
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET
