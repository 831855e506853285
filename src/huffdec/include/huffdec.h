/* huffdec: rebuilds a Huffman code tree from the table stream that huffenc
 * writes and decodes symbols one at a time through a lookup table.
 *
 * Lookup table: 2^22 HUFFLOOKUP entries indexed by the next 22 bits of the
 * encoded stream. A code c of length l owns the 2^(22 - l) entries from
 * c * 2^(22 - l) on, so one look-up finds any code of up to 22 bits; that is
 * the longest code the encoder writes. The table takes 32 MiB; the caller
 * allocates it, zero-filled, and may reuse it for several runs.
 *
 * Window: a 32-bit value holding the next 32 bits of the encoded stream, the
 * next bit topmost, with a bit cursor (word_index, free_bits) just past them.
 * decosymbol looks the top 22 bits up, shifts the code out and tops the
 * window up from the cursor.
 *
 * A decoding run, as the caller drives it:
 *   1. From the table stream take L, the L leaf bytes and the 2L - 1 shape
 *      bits; write the bits as a string of '1' (internal node) and '0' (leaf)
 *      characters ending in NUL.
 *   2. root = dfr(shape, &pos, leaves, &leaf_pos, NULL) with both positions 0.
 *      A well-formed shape leaves pos at 2L - 1 and leaf_pos at L; anything
 *      else means a corrupt table stream.
 *   3. dfs_final(root, 0, 0, codes) over a zeroed 256-entry table.
 *   4. refill(leaf, codes[leaf].code, codes[leaf].length, table) for each of
 *      the L leaf bytes.
 *   5. Hold the encoded words followed by one extra zero word (the window
 *      reads up to 32 bits past the last code); load the window with word 0
 *      and set the cursor to (1, 32).
 *   6. Call decosymbol once per symbol; the streams do not carry the symbol
 *      count, so the caller knows it from elsewhere.
 *   7. free_tree(root) and release the table.
 *
 * dfr builds one node per shape character it accepts, each with its parent
 * linked: internal nodes get symbol 0 and weight -1, leaves their byte and
 * weight 0. It stops at the first character other than '1' or '0', leaving
 * the children it has not built null; it returns null when the shape does
 * not start with '1' or '0', or when memory runs out (then it releases what
 * it built). dfs_final and free_tree accept such incomplete trees:
 * dfs_final gives codes only to real leaves, and to none deeper than 32
 * levels, and free_tree releases every node. A single-leaf tree (shape "0")
 * gives its byte length 0; refill then fills the whole table with it and
 * decosymbol returns it without consuming bits.
 *
 * refill ignores a length outside 0 to 22 and a code that does not fit in its
 * length, writing nothing. getbitstream is the module's bit reader, getbits
 * of packin under another name.
 */
#ifndef DCTLAB_HUFFDEC_H
#define DCTLAB_HUFFDEC_H

#include <stdint.h>

#include "hufftypes.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HUFFLOOKUP {
    uint8_t symbol;
    int32_t length;
} HUFFLOOKUP;

uint32_t getbitstream(const uint32_t *words, int *word_index, int *free_bits, int width);
int refill(int symbol, int code, int length, HUFFLOOKUP *table);
HUFFNODE *dfr(const char *shape, int *shape_pos, const uint8_t *symbols, int *symbol_pos,
              HUFFNODE *parent);
int dfs_final(const HUFFNODE *node, int path_code, int depth, HUFFCODE *codes);
int free_tree(HUFFNODE *node);
int decosymbol(const HUFFLOOKUP *table, const uint32_t *words, uint32_t *window, HUFFLOOKUP *entry,
               int *word_index, int *free_bits);

#ifdef __cplusplus
}
#endif

#endif
