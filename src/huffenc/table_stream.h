/* Serialising the walk of a code tree as the table stream. */
#ifndef DCTLAB_HUFFENC_TABLE_STREAM_H
#define DCTLAB_HUFFENC_TABLE_STREAM_H

#include <cstdint>
#include <cstdio>

namespace dctlab
{
namespace huffman
{

/* Writes L, the L leaf bytes and shape_words(L) shape words with one write.
 * Returns false when the write fails. */
bool write_table_stream(std::FILE *out, int leaves, const uint8_t *symbols, const uint32_t *shape);

} // namespace huffman
} // namespace dctlab

#endif
