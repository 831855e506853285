/* Limits on code lengths (22 bits for form_tree, shorter ones for the
 * container's fast blocks): measuring a code tree and, when it is too deep,
 * rebuilding it as the cheapest code that fits. */
#ifndef DCTLAB_HUFFENC_LENGTH_LIMIT_H
#define DCTLAB_HUFFENC_LENGTH_LIMIT_H

#include <array>
#include <cstdint>

#include "huffman_layout.h"
#include "hufftypes.h"

namespace dctlab
{
namespace huffman
{

/* Length of the longest code of the tree under `root`: 0 for a single leaf. */
int tree_depth(const HUFFNODE *root);

/* Replaces the tree in `nodes` (the 2n - 1 nodes of form_tree, leaf i holding
 * byte i) by a tree of the code with lengths of at most `limit` bits (1 to
 * lookup_bits, and at least log2 of the leaf count) that
 * minimises the sum of weight x length, laid out canonically: the pre-order
 * walk meets the leaves sorted by length and then by byte, and the codes
 * count up in that order. Needs at least two leaves of non-zero weight.
 * Returns the new root. */
HUFFNODE *rebuild_length_limited(HUFFNODE *nodes, int n, int limit = lookup_bits);

/* The lengths of that code alone, for the `n` weights (0 for no code, at
 * least two non-zero): length[i] for weight i, 0 where it is 0. */
void limited_code_lengths(const int32_t *weights, int n, int limit,
                          std::array<int, max_leaves> &length);

/* The lengths of form_tree's code of the `n` counts (2 to 256 of them, at
 * most 256 non-zero, summing below 2^31), without building a tree, or where
 * that is deeper than `limit` (with 2^limit at least the non-zero counts),
 * a complete code that fits, within a few bits in 100 000 of the cheapest:
 * lengths[i] for count i, 0 where it is 0 and for a single leaf. Returns
 * the longest. */
int code_lengths(const int32_t *counts, int n, int limit, uint8_t *lengths);

} // namespace huffman
} // namespace dctlab

#endif
