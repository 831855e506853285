/* huffenc: builds a Huffman code from 256 byte counts, writes the code as a
 * table stream, and encodes a file's bytes with it.
 *
 * Construction. form_tree works on an array of 2n - 1 nodes: leaf i holds
 * byte i and counts[i]; nodes n, n + 1, ... are taken by the merges in order.
 * Each merge joins the two candidates (unmerged nodes of non-zero weight)
 * that twomins picks: the smallest weight, ties going to the lower index, so
 * a leaf beats an internal node, a lower byte a higher one and an older node
 * a newer one. The first pick becomes child0 (bit 0), the second child1.
 * A byte whose count is 0 gets no leaf and no code.
 *
 * Length limit. The decoder looks codes up by 22 bits at a time, so no code
 * may be longer than 22 bits. When the merges give a deeper tree, the code
 * is replaced by the one of lengths at most 22 bits that costs the fewest
 * bits overall (package-merge), laid out canonically: shorter codes first,
 * bytes in increasing order among equal lengths, codes counting up. That code
 * is written as a tree like any other. A tree of 22 levels or fewer is kept
 * exactly as the merges built it.
 *
 * Table stream (all integers little-endian), what a decoder rebuilds the
 * tree from:
 *   4 bytes   L, the number of leaves, signed 32-bit;
 *   L bytes   the leaf bytes in the order of a pre-order walk, child0 first;
 *   4*W bytes the tree shape, W = (2L - 1) div 32 + 1 words of 32 bits: one
 *             bit per node in walk order, 1 for an internal node and 0 for a
 *             leaf, packed from the most significant bit of the first word
 *             down, unused bits 0.
 * A single byte gives L = 1, that byte and the shape "0" (9 bytes, its code
 * has length 0); no bytes at all give L = 0 and one zero word (8 bytes).
 *
 * Encoded stream: the codes of the input bytes in input order, most
 * significant bit first, packed into ceil(T/32) little-endian words, T being
 * the number of code bits; no header. encode appends it to the stream that
 * form_tree wrote, so one file holds both.
 *
 * form_tree(out, counts, n, codes): n from 1 to 256, counts non-negative with
 * a sum below 2^31, codes a 256-entry table whose entries n to 255 are zero.
 * Resets and fills codes[0..n-1], writes the table stream to out and leaves it
 * open. With an invalid argument it writes nothing and leaves codes alone;
 * when memory runs out it writes nothing and leaves codes[0..n-1] zero.
 * Returns 0.
 *
 * encode(in, codes, out): encodes the whole of the seekable stream `in`, read
 * from offset 0 and left there, with a table whose weights are the input's
 * byte counts (as form_tree fills it), and closes `out`. Returns 1, or 0 when
 * the input cannot be read, does not match the table, memory runs out or the
 * output cannot be written; then nothing is written. `out` is closed in every
 * case.
 *
 * add is the module's bit writer: putbits of packout with its arguments in
 * another order. incri, twomins, uiui, findroot and dfs are the steps of the
 * construction; uniui returns an unlinked internal node (parent null,
 * symbol 0, weight -1) over the two given children.
 */
#ifndef DCTLAB_HUFFENC_H
#define DCTLAB_HUFFENC_H

#include <stdint.h>
#include <stdio.h>

#include "hufftypes.h"

#ifdef __cplusplus
extern "C" {
#endif

int add(int *free_bits, int width, uint32_t value, uint32_t *words, int *word_index);
int form_tree(FILE *out, const int32_t *counts, int n, HUFFCODE *codes);
int incri(int *cursor, const HUFFNODE *nodes, int n);
int twomins(int *first, int *second, const HUFFNODE *nodes, int n);
int uiui(int first, int second, int slot, HUFFNODE *nodes);
HUFFNODE *findroot(const int *start, HUFFNODE *nodes);
int dfs(const HUFFNODE *node, int path_code, int depth, HUFFCODE *codes, int *leaf_count,
        uint8_t *leaf_symbols, uint32_t *shape_words, int *shape_free, int *shape_index);
HUFFNODE uniui(HUFFNODE *first, HUFFNODE *second);
int encode(FILE *in, const HUFFCODE *codes, FILE *out);

#ifdef __cplusplus
}
#endif

#endif
