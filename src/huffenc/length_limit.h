/* Limits on code lengths (22 bits for form_tree, shorter ones for the
 * container's fast blocks): measuring a code tree and, when it is too deep,
 * rebuilding it as the cheapest code that fits. */
#ifndef DCTLAB_HUFFENC_LENGTH_LIMIT_H
#define DCTLAB_HUFFENC_LENGTH_LIMIT_H

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

} // namespace huffman
} // namespace dctlab

#endif
