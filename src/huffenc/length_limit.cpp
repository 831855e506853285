#include "length_limit.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>

#include "huffman_layout.h"

namespace dctlab
{
namespace huffman
{

namespace
{

/* Package-merge: the optimal code lengths of at most `limit` bits for
 * `count` weights sorted in increasing order, 2 <= count <= 256.
 *
 * Every symbol is a coin of face value 2^-d for each depth d = 1..limit and
 * numismatic value its weight; a code of total Kraft sum 1 is a choice of
 * coins of total face value count - 1, and a symbol's length is the number
 * of its coins chosen. Going up from the deepest level, the items of a level
 * are the symbols merged with the pairs (packages) of the level below, in
 * increasing weight. The cheapest choice takes the first 2 * count - 2 items
 * of level 1; the packages among them open the first two items of level 2
 * for each package, and so on down.
 *
 * Weights add up across levels, so they are held in 64 bits: 22 levels of
 * sums below 2^31 stay far below 2^63. */
void package_merge(const int64_t *weights, int count, int limit,
                   std::array<int, max_leaves> &lengths)
{
    // Each level holds the count symbols and at most count - 1 packages.
    // Entries are written before they are read, so nothing is cleared: this
    // runs for every block whose plain code is too long.
    std::array<std::array<bool, max_nodes>, lookup_bits> is_symbol;
    std::array<int, lookup_bits> size;
    std::array<int64_t, max_nodes> first, second;
    int64_t *below = first.data(), *level = second.data();
    // The weights and each level's packages end in a sentinel that no
    // weight reaches, so the merge needs no test of either end.
    std::array<int64_t, max_leaves + 1> symbols, packages;
    std::copy(weights, weights + count, symbols.begin());
    symbols[static_cast<size_t>(count)] = INT64_MAX;

    for (int i = 0; i < count; ++i) {
        below[i] = weights[i];
        is_symbol[limit - 1][i] = true;
    }
    size[limit - 1] = count;

    for (int d = limit - 2; d >= 0; --d) {
        const int pairs = size[d + 1] / 2;
        for (int p = 0; p < pairs; ++p)
            packages[p] = below[2 * p] + below[2 * p + 1];
        packages[static_cast<size_t>(pairs)] = INT64_MAX;
        int s = 0, p = 0;
        const int items = count + pairs;
        for (int out = 0; out < items; ++out) {
            // On equal weights the symbol goes first; either order is
            // optimal. Masks rather than a branch: which side wins is as
            // good as random, and a mispredicted branch an item cost most
            // of the time here.
            const int64_t a = symbols[s], b = packages[p];
            const int64_t take_symbol = -static_cast<int64_t>(a <= b);
            level[out] = (a & take_symbol) | (b & ~take_symbol);
            s += static_cast<int>(take_symbol & 1);
            p += static_cast<int>(~take_symbol & 1);
            is_symbol[d][out] = take_symbol != 0;
        }
        size[d] = items;
        std::swap(below, level);
    }

    std::fill(lengths.begin(), lengths.begin() + count, 0);
    int take = 2 * count - 2;
    for (int d = 0; d < limit && take > 0; ++d) {
        take = std::min(take, size[d]);
        int symbols = 0;
        for (int i = 0; i < take; ++i)
            symbols += is_symbol[d][i] ? 1 : 0;
        // The symbols of a level are in weight order, so those taken are the
        // lightest ones.
        for (int i = 0; i < symbols; ++i)
            ++lengths[i];
        take = 2 * (take - symbols);
    }
}

} // namespace

int tree_depth(const HUFFNODE *root)
{
    if (!root || !root->child0)
        return 0;
    return 1 + std::max(tree_depth(root->child0), tree_depth(root->child1));
}

HUFFNODE *rebuild_length_limited(HUFFNODE *nodes, int n, int limit)
{
    // Sorted by weight, ties to the lower index, as one key each: the weight
    // (below 2^31) above the index.
    std::array<uint64_t, max_leaves> keys;
    int count = 0;
    for (int i = 0; i < n; ++i)
        if (nodes[i].weight > 0)
            keys[count++] =
                (static_cast<uint64_t>(nodes[i].weight) << 32) | static_cast<uint32_t>(i);
    assert(count >= 2 && limit >= 1 && limit <= lookup_bits && count <= (1 << limit));
    std::sort(keys.begin(), keys.begin() + count);
    std::array<int, max_leaves> order{};
    for (int i = 0; i < count; ++i)
        order[i] = static_cast<int>(keys[i] & 0xFFFFFFFFu);
    std::array<int64_t, max_leaves> weights{};
    for (int i = 0; i < count; ++i)
        weights[i] = nodes[order[i]].weight;
    std::array<int, max_leaves> by_weight{};
    package_merge(weights.data(), count, limit, by_weight);
    std::array<int, max_leaves> length{};
    for (int i = 0; i < count; ++i)
        length[order[i]] = by_weight[i];

    // Canonical layout: shorter codes first, then lower bytes (the leaves in
    // index order, dealt out to their lengths).
    std::array<int, lookup_bits + 2> start{};
    for (int i = 0; i < n; ++i)
        if (nodes[i].weight > 0)
            ++start[length[i] + 1];
    for (int d = 1; d <= lookup_bits + 1; ++d)
        start[d] += start[d - 1];
    for (int i = 0; i < n; ++i)
        if (nodes[i].weight > 0)
            order[start[length[i]]++] = i;

    for (int i = 0; i < n; ++i)
        nodes[i].parent = nullptr;
    for (int i = n; i < 2 * n - 1; ++i)
        nodes[i] = HUFFNODE{nullptr, nullptr, nullptr, 0, -1};
    HUFFNODE *root = &nodes[n];
    root->weight = 0;
    int next = n + 1;

    // Each code is the previous one plus one, shifted to its own length; a
    // complete set of lengths makes these codes a prefix code that fills the
    // tree, which so takes exactly count - 1 internal nodes.
    uint32_t code = 0;
    int previous = length[order[0]];
    for (int k = 0; k < count; ++k) {
        HUFFNODE *leaf = &nodes[order[k]];
        const int len = length[order[k]];
        if (k > 0) {
            code = (code + 1) << (len - previous);
            previous = len;
        }
        HUFFNODE *at = root;
        for (int bit = len - 1;; --bit) {
            at->weight += leaf->weight;
            HUFFNODE *&child = ((code >> bit) & 1u) ? at->child1 : at->child0;
            if (bit == 0) {
                child = leaf;
                leaf->parent = at;
                break;
            }
            if (!child) {
                assert(next < 2 * n - 1);
                child = &nodes[next++];
                child->parent = at;
                child->weight = 0;
            }
            at = child;
        }
    }
    return root;
}

} // namespace huffman
} // namespace dctlab
