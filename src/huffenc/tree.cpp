#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "build_code.h"
#include "heap_ptr.h"
#include "huffenc.h"
#include "huffman_layout.h"
#include "length_limit.h"

using namespace dctlab::huffman;

namespace
{

/* Still to be merged: not yet given a parent, in use (not -1) and standing
 * for at least one occurrence (not 0). */
bool is_candidate(const HUFFNODE &node)
{
    return node.parent == nullptr && node.weight != -1 && node.weight != 0;
}

/* The merges of twomins without its scans. twomins picks the candidate of
 * least weight, the lowest index among equals, and then the least of the
 * others by the same rule: that is the order of the key (weight, index). A
 * merged node is a candidate from then on under its own index, higher than
 * every older one, and Huffman's merged weights never decrease, so the
 * merged nodes come in key order by themselves: the least candidate is
 * always at the front of the leaves sorted once by key or at the front of
 * the merged ones in the order they were made. So a sort and a walk of two
 * queues pop exactly the pairs of the scan, ties included, where a heap
 * took some 4000 steps for 256 leaves; it matters when a file is cut into
 * many blocks.
 *
 * Weights are at most the sum of the counts, below 2^31, so a key packs the
 * weight above the index in 64 bits. Everything lives on the stack: nothing
 * is allocated that could fail. */
void merge_in_weight_order(HUFFNODE *nodes, int n)
{
    const auto key = [](int32_t weight, int index) {
        return (static_cast<uint64_t>(static_cast<uint32_t>(weight)) << 32) |
               static_cast<uint32_t>(index);
    };
    std::array<uint64_t, max_leaves> leaves;
    size_t leaf_count = 0;
    for (int i = 0; i < n; ++i)
        if (is_candidate(nodes[i]))
            leaves[leaf_count++] = key(nodes[i].weight, i);
    std::sort(leaves.begin(), leaves.begin() + static_cast<long>(leaf_count));
    std::array<uint64_t, max_leaves> merged;
    size_t next_leaf = 0, next_merged = 0, merged_count = 0;
    const auto pop = [&] {
        const bool leaf = next_leaf < leaf_count &&
                          (next_merged == merged_count || leaves[next_leaf] < merged[next_merged]);
        const uint64_t k = leaf ? leaves[next_leaf++] : merged[next_merged++];
        return static_cast<int>(k & 0xFFFFFFFFu);
    };
    for (int slot = n; (leaf_count - next_leaf) + (merged_count - next_merged) >= 2; ++slot) {
        const int first = pop();
        const int second = pop();
        uiui(first, second, slot, nodes);
        merged[merged_count++] = key(nodes[slot].weight, slot);
    }
}

} // namespace

int incri(int *cursor, const HUFFNODE *nodes, int n)
{
    const int end = 2 * n - 1;
    int next = *cursor >= end ? end : (*cursor < 0 ? 0 : *cursor + 1);
    while (next < end && !is_candidate(nodes[next]))
        ++next;
    *cursor = next;
    return 0;
}

int twomins(int *first, int *second, const HUFFNODE *nodes, int n)
{
    // One scan in index order with strict comparisons: among equal weights
    // the lower index wins, which the stored table streams depend on. A pick
    // that does not exist stays at 2n - 1 and is never compared.
    const int end = 2 * n - 1;
    int cursor = 0;
    if (!is_candidate(nodes[0]))
        incri(&cursor, nodes, n);
    int low = cursor;
    incri(&cursor, nodes, n);
    int next_low = cursor;
    if (next_low < end && nodes[next_low].weight < nodes[low].weight)
        std::swap(low, next_low);
    for (incri(&cursor, nodes, n); cursor < end; incri(&cursor, nodes, n)) {
        const int32_t weight = nodes[cursor].weight;
        if (weight < nodes[low].weight) {
            next_low = low;
            low = cursor;
        } else if (weight < nodes[next_low].weight) {
            next_low = cursor;
        }
    }
    *first = low;
    *second = next_low;
    return 1;
}

int uiui(int first, int second, int slot, HUFFNODE *nodes)
{
    if (first < 0 || second < 0)
        return 1;
    HUFFNODE &parent = nodes[slot];
    parent.child0 = &nodes[first];
    parent.child1 = &nodes[second];
    // Summed as unsigned so that counts beyond the caller's limit wrap
    // rather than overflow.
    parent.weight = static_cast<int32_t>(static_cast<uint32_t>(nodes[first].weight) +
                                         static_cast<uint32_t>(nodes[second].weight));
    nodes[first].parent = &parent;
    nodes[second].parent = &parent;
    return 1;
}

HUFFNODE *findroot(const int *start, HUFFNODE *nodes)
{
    HUFFNODE *node = &nodes[*start];
    while (node->parent)
        node = node->parent;
    return node;
}

HUFFNODE uniui(HUFFNODE *first, HUFFNODE *second)
{
    return HUFFNODE{second, first, nullptr, 0, -1};
}

namespace dctlab
{
namespace huffman
{

void build_code(const int32_t *counts, int n, int limit, CodeScratch &scratch, HUFFCODE *codes,
                TableBytes &table)
{
    int leaves = 0;
    for (int i = 0; i < n; ++i) {
        leaves += counts[i] != 0 ? 1 : 0;
        codes[i] = HUFFCODE{0, 0, 0};
    }
    HUFFNODE *nodes = scratch.nodes.data();
    const int slots = 2 * n - 1;
    for (int i = 0; i < n; ++i)
        nodes[i] = HUFFNODE{nullptr, nullptr, nullptr, static_cast<uint8_t>(i), counts[i]};
    for (int i = n; i < slots; ++i)
        nodes[i] = HUFFNODE{nullptr, nullptr, nullptr, 0, -1};

    merge_in_weight_order(nodes, n);

    // With fewer than two leaves there was no merge: the tree is the one leaf
    // or nothing, never the unused node n.
    HUFFNODE *root = nullptr;
    if (leaves == 1) {
        for (int i = 0; i < n && !root; ++i)
            if (counts[i] != 0)
                root = &nodes[i];
    } else if (leaves >= 2) {
        root = findroot(&n, nodes);
        if (tree_depth(root) > limit)
            root = rebuild_length_limited(nodes, n, limit);
    }

    int leaf_count = 0, shape_index = 0, shape_free = 32;
    scratch.shape.fill(0);
    if (root)
        dfs(root, 0, 0, codes, &leaf_count, scratch.leaf_symbols.data(), scratch.shape.data(),
            &shape_free, &shape_index);
    assemble_table_stream(leaf_count, scratch.leaf_symbols.data(), scratch.shape.data(), table);
}

} // namespace huffman
} // namespace dctlab

int form_tree(FILE *out, const int32_t *counts, int n, HUFFCODE *codes)
{
    if (!out || !counts || !codes || n < 1 || n > max_leaves)
        return 0;
    int64_t total = 0;
    for (int i = 0; i < n; ++i) {
        if (counts[i] < 0)
            return 0;
        total += counts[i];
    }
    // Internal weights are sums of counts and are held in 32 bits.
    if (total > INT32_MAX)
        return 0;

    // Reset first, so that a failure below leaves a table that encodes
    // nothing rather than a stale code.
    for (int i = 0; i < n; ++i)
        codes[i] = HUFFCODE{0, 0, 0};
    dctlab::heap_ptr<CodeScratch> scratch(
        static_cast<CodeScratch *>(std::calloc(1, sizeof(CodeScratch))));
    if (!scratch)
        return 0;
    TableBytes table;
    build_code(counts, n, lookup_bits, *scratch, codes, table);
    // A failed write shows in ferror(out); the result stays 0 either way.
    std::fwrite(table.bytes.data(), 1, table.size, out);
    return 0;
}
