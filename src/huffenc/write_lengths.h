/* The compact table of a code given by its lengths (lengths_layout.h). */
#ifndef DCTLAB_HUFFENC_WRITE_LENGTHS_H
#define DCTLAB_HUFFENC_WRITE_LENGTHS_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "lengths_layout.h"

namespace dctlab
{
namespace huffman
{

struct LengthsTable {
    // The table's bytes, then 8 the writer may store past them.
    std::array<uint8_t, any_lengths_table_most_bytes + 8> bytes;
    size_t size = 0;
};

/* Writes the table of the 256 byte lengths (0 to layout.longest, making a
 * complete code of two or more leaves). */
void write_lengths_table(const uint8_t *lengths, LengthsTable &table,
                         LengthsLayout layout = short_lengths);

/* The size that write_lengths_table gives the table, found without writing
 * it. */
size_t lengths_table_size(const uint8_t *lengths, LengthsLayout layout = short_lengths);

} // namespace huffman
} // namespace dctlab

#endif
