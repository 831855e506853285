/* A table stream checked whole before anything is built from it, for
 * readers of untrusted streams: the leaf count L is 1 to 256 and the stream
 * exactly 4 + L + 4·W bytes, the symbols are distinct, the shape bits make
 * exactly one complete tree of L leaves with no code longer than the
 * decoder serves, and the bits after the shape are 0. */
#ifndef DCTLAB_HUFFDEC_TABLE_CHECK_H
#define DCTLAB_HUFFDEC_TABLE_CHECK_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "hufftypes.h"

namespace dctlab
{
namespace huffman
{

/* True when the `size` bytes at `table` are such a stream; then `leaves` is
 * L, `shape` holds the 2L - 1 shape characters ('1' internal, '0' leaf) for
 * dfr and `symbols` the leaves. Otherwise `error` names what is wrong. */
bool check_table_stream(const uint8_t *table, size_t size, int &leaves, std::string &shape,
                        std::array<uint8_t, 256> &symbols, std::string &error);

/* What the decoders check of the codes they are built from: the codes of
 * the `leaf_count` bytes in `leaves` (1 to 256) form one complete prefix
 * code of lengths 1 to `max_length` (at most lookup_bits), their Kraft sum
 * exactly 1, or there is exactly one leaf, of length 0, which is then
 * `single`. Returns the longest length (0 for the single leaf), or -1. */
int complete_code_length(const HUFFCODE *codes, const uint8_t *leaves, int leaf_count,
                         int max_length, uint8_t &single);

/* The codes dfs_final gives the tree that dfr rebuilds from a checked shape
 * and its symbols, found by walking the shape alone: codes[s] gets the code
 * and length of each leaf s (weight 0); the other entries are left alone.
 * Returns the longest length, 0 for a single leaf. */
int codes_of_shape(const std::string &shape, const std::array<uint8_t, 256> &symbols, int leaves,
                   HUFFCODE *codes);

} // namespace huffman
} // namespace dctlab

#endif
