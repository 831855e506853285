#include <cstdint>
#include <cstdlib>

#include "huffdec.h"

HUFFNODE *dfr(const char *shape, int *shape_pos, const uint8_t *symbols, int *symbol_pos,
              HUFFNODE *parent)
{
    if (!shape || !shape_pos || !symbols || !symbol_pos)
        return nullptr;
    // Pre-order, child0 first, the mirror of the encoder's walk. Built
    // without recursion, so a long run of '1's in a corrupt shape cannot
    // exhaust the stack: `open` is the deepest internal node still missing
    // a child, and the parent links lead back up from a finished subtree.
    HUFFNODE *root = nullptr;
    HUFFNODE *open = nullptr;
    for (;;) {
        const char c = shape[*shape_pos];
        if (c != '1' && c != '0')
            break;
        auto *node = static_cast<HUFFNODE *>(std::calloc(1, sizeof(HUFFNODE)));
        if (!node) {
            free_tree(root);
            return nullptr;
        }
        ++*shape_pos;
        node->parent = open ? open : parent;
        if (!open)
            root = node;
        else if (!open->child0)
            open->child0 = node;
        else
            open->child1 = node;
        if (c == '1') {
            node->symbol = 0;
            node->weight = -1;
            open = node;
            continue;
        }
        node->symbol = symbols[(*symbol_pos)++];
        node->weight = 0;
        while (open && open->child1)
            open = open == root ? nullptr : open->parent;
        if (!open)
            break;
    }
    return root;
}

int dfs_final(const HUFFNODE *node, int path_code, int depth, HUFFCODE *codes)
{
    if (!node || !codes)
        return 1;
    if (node->child0) {
        // No code of more than 32 bits can be held, which also bounds the
        // recursion on a corrupt tree.
        if (depth >= 32)
            return 1;
        const uint32_t base = static_cast<uint32_t>(path_code) << 1;
        dfs_final(node->child0, static_cast<int>(base), depth + 1, codes);
        dfs_final(node->child1, static_cast<int>(base | 1u), depth + 1, codes);
        return 1;
    }
    // A rebuilt internal node (weight -1) whose children the shape never
    // gave is no leaf and gets no code.
    if (node->weight == -1)
        return 1;
    codes[node->symbol] = HUFFCODE{path_code, depth, node->weight};
    return 1;
}

int free_tree(HUFFNODE *node)
{
    // Rotates each child0 subtree up until the tree is a chain along child1,
    // releasing nodes off the chain's head: no recursion and no stack, and a
    // missing child is simply not there.
    while (node) {
        if (HUFFNODE *left = node->child0) {
            node->child0 = left->child1;
            left->child1 = node;
            node = left;
        } else {
            HUFFNODE *next = node->child1;
            std::free(node);
            node = next;
        }
    }
    return 0;
}
