/* form_tree's code built in memory, for callers that hold the counts already
 * and want the table stream as bytes, with a limit on code lengths of their
 * own choice: the container's four-stream blocks take codes of at most 11
 * bits, whose decoding table stays a few KiB. */
#ifndef DCTLAB_HUFFENC_BUILD_CODE_H
#define DCTLAB_HUFFENC_BUILD_CODE_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "huffman_layout.h"
#include "hufftypes.h"

namespace dctlab
{
namespace huffman
{

/* What one build works in; nothing in it needs to be zeroed first. */
struct CodeScratch {
    std::array<HUFFNODE, max_nodes> nodes;
    std::array<uint8_t, max_leaves> leaf_symbols;
    std::array<uint32_t, shape_words(max_leaves)> shape;
};

/* A table stream: L, the L leaf bytes and the shape words. */
struct TableBytes {
    std::array<uint8_t, table_stream_bytes(max_leaves)> bytes;
    size_t size = 0;
};

/* The code of the `n` counts (1 to 256 of them, each at least 0, summing to
 * at most INT32_MAX) with no length above `limit` (1 to lookup_bits, and 2^limit
 * at least the number of non-zero counts): form_tree's own tree where it is
 * no deeper, else the cheapest code that fits. Fills `codes` as form_tree
 * fills its table and `table` with the stream form_tree writes; with the
 * limit lookup_bits both are form_tree's. */
void build_code(const int32_t *counts, int n, int limit, CodeScratch &scratch, HUFFCODE *codes,
                TableBytes &table);

/* Lays out the table stream of a tree of `leaves` leaves. */
void assemble_table_stream(int leaves, const uint8_t *symbols, const uint32_t *shape,
                           TableBytes &table);

} // namespace huffman
} // namespace dctlab

#endif
