/* hufftypes: the records that the Huffman encoder and decoder share.
 *
 * HUFFNODE is one node of a code tree. A node is a leaf exactly when child0
 * is null; child0 is the subtree reached by bit 0, child1 the one reached by
 * bit 1. A leaf holds its byte in `symbol` and its count in `weight`; an
 * internal node holds symbol 0 and the sum of its children's weights, or -1
 * while it is unused (the encoder) or carries no count (a tree rebuilt by the
 * decoder).
 *
 * HUFFCODE is the code of one byte: `length` bits right-aligned in `code`,
 * the branch taken at the root being the most significant, and the byte's
 * count in `weight`. A code table is an array of 256 of them indexed by byte
 * value; a byte without a code has length 0.
 */
#ifndef DCTLAB_HUFFTYPES_H
#define DCTLAB_HUFFTYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HUFFNODE {
    struct HUFFNODE *child1;
    struct HUFFNODE *child0;
    struct HUFFNODE *parent;
    uint8_t symbol;
    int32_t weight;
} HUFFNODE;

typedef struct HUFFCODE {
    int32_t code;
    int32_t length;
    int32_t weight;
} HUFFCODE;

#ifdef __cplusplus
}
#endif

#endif
