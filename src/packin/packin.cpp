#include "packin.h"

#include "bitfield.h"

uint32_t getbits(const uint32_t *words, int *word_index, int *free_bits, int width)
{
    return dctlab::bitfield::get(words, word_index, free_bits, width);
}
