#include "packout.h"

#include "bitfield.h"

int putbits(uint32_t value, int width, uint32_t *words, int *word_index, int *free_bits)
{
    dctlab::bitfield::put(value, width, words, word_index, free_bits);
    return 1;
}
