#include <algorithm>
#include <cstdint>

#include "bitfield.h"
#include "huffdec.h"
#include "huffman_layout.h"

using dctlab::huffman::lookup_bits;

static_assert(sizeof(HUFFLOOKUP) == 8, "the lookup table takes 2^22 entries of 8 bytes");

uint32_t getbitstream(const uint32_t *words, int *word_index, int *free_bits, int width)
{
    return dctlab::bitfield::get(words, word_index, free_bits, width);
}

int refill(int symbol, int code, int length, HUFFLOOKUP *table)
{
    // Anything else would write outside the table's 2^22 entries.
    if (!table || length < 0 || length > lookup_bits || code < 0 ||
        (static_cast<uint32_t>(code) >> length) != 0)
        return 1;
    const int spread = lookup_bits - length;
    HUFFLOOKUP entry{};
    entry.symbol = static_cast<uint8_t>(symbol);
    entry.length = length;
    std::fill_n(table + (static_cast<uint32_t>(code) << spread), uint32_t{1} << spread, entry);
    return 1;
}

int decosymbol(const HUFFLOOKUP *table, const uint32_t *words, uint32_t *window, HUFFLOOKUP *entry,
               int *word_index, int *free_bits)
{
    const HUFFLOOKUP found = table[*window >> (32 - lookup_bits)];
    *entry = found;
    // refill stores lengths of 0 to 22 only; any other value in a table
    // filled by other means consumes nothing rather than shifting past the
    // window.
    const int length = found.length >= 0 && found.length <= lookup_bits ? found.length : 0;
    *window = (*window << length) | getbitstream(words, word_index, free_bits, length);
    return found.symbol;
}
