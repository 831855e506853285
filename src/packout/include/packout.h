/* packout: the bit writer.
 *
 * putbits appends a field of `width` bits (0 to 32), right-aligned in
 * `value`, to a stream held in an array of 32-bit words, most significant bit
 * first. The caller owns the array and the cursor (word_index, free_bits),
 * which starts at (0, 32) and always holds 1 to 32 free bits between calls.
 *
 * Caller's duties, none of them tested: `value` below 2^width (it is ORed in
 * unmasked), every word zero before the writer reaches it (allocate the array
 * zero-filled), and room for every word a field touches: T bits written from
 * (0, 32) touch ceil(T/32) words. Returns 1.
 */
#ifndef DCTLAB_PACKOUT_H
#define DCTLAB_PACKOUT_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

int putbits(uint32_t value, int width, uint32_t *words, int *word_index, int *free_bits);

#ifdef __cplusplus
}
#endif

#endif
