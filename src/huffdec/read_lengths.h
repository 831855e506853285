/* The compact table of a code given by its lengths (lengths_layout.h), read
 * from untrusted bytes and checked whole. */
#ifndef DCTLAB_HUFFDEC_READ_LENGTHS_H
#define DCTLAB_HUFFDEC_READ_LENGTHS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "lengths_layout.h"

namespace dctlab
{
namespace huffman
{

/* True when the `size` bytes at `table` are exactly one table of `layout`, its
 * length symbols' code complete (or one symbol of one bit), its runs within
 * the 256 byte values, the bits after the last symbol 0, and the lengths one
 * complete code of two or more leaves; then `lengths` holds them. Otherwise
 * `error` names what is wrong. */
bool read_lengths_table(const uint8_t *table, size_t size, std::array<uint8_t, 256> &lengths,
                        std::string &error, LengthsLayout layout = short_lengths);

/* Where the table that begins at `table` ends, as a number of bytes, where
 * `size` bytes (the table and whatever follows it) are at hand: the byte
 * its last length symbol reaches. 0, with `error` naming what is wrong,
 * where they hold no whole table's symbols; read_lengths_table then checks
 * the table of that length. */
size_t lengths_table_extent(const uint8_t *table, size_t size, std::string &error,
                            LengthsLayout layout = short_lengths);

} // namespace huffman
} // namespace dctlab

#endif
