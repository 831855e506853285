/* packin: the bit reader.
 *
 * getbits returns the next field of `width` bits (0 to 32) of a stream that
 * putbits wrote, right-aligned, and advances the caller's cursor
 * (word_index, free_bits) past it. The cursor starts at (0, 32); a reader and
 * a writer of one array keep separate cursors.
 *
 * A read touches the word at the cursor and, only when the field crosses its
 * end, the word after it; the caller makes sure both exist. Nothing is
 * tested.
 */
#ifndef DCTLAB_PACKIN_H
#define DCTLAB_PACKIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t getbits(const uint32_t *words, int *word_index, int *free_bits, int width);

#ifdef __cplusplus
}
#endif

#endif
