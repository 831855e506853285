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
    // The weights and each level's packages lie between sentinels that no
    // weight reaches, so the merge needs no test of either end.
    std::array<int64_t, max_leaves + 2> symbol_store, package_store;
    int64_t *const symbols = symbol_store.data() + 1, *const packages = package_store.data() + 1;
    std::copy(weights, weights + count, symbols);
    symbols[-1] = packages[-1] = INT64_MIN;
    symbols[count] = INT64_MAX;

    for (int i = 0; i < count; ++i) {
        below[i] = weights[i];
        is_symbol[limit - 1][i] = true;
    }
    size[limit - 1] = count;

    for (int d = limit - 2; d >= 0; --d) {
        const int pairs = size[d + 1] / 2;
        for (int p = 0; p < pairs; ++p)
            packages[p] = below[2 * p] + below[2 * p + 1];
        packages[pairs] = INT64_MAX;
        const int items = count + pairs;
        // Merged from both ends at once, the lightest items from the front
        // and the heaviest from the back: each end is a chain of a load and
        // a compare an item, and two chains run side by side. On equal
        // weights the symbol goes first (either order is optimal), so the
        // back takes the package. Masks rather than a branch: which side
        // wins is as good as random, and a mispredicted branch an item cost
        // most of the time here.
        int s = 0, p = 0, s_back = count - 1, p_back = pairs - 1;
        bool *const is_sym = is_symbol[d].data();
        const auto front = [&](int out) {
            const int64_t a = symbols[s], b = packages[p];
            const int64_t take_symbol = -static_cast<int64_t>(a <= b);
            level[out] = (a & take_symbol) | (b & ~take_symbol);
            s += static_cast<int>(take_symbol & 1);
            p += static_cast<int>(~take_symbol & 1);
            is_sym[out] = take_symbol != 0;
        };
        for (int k = 0, out = items - 1; k < items / 2; ++k, --out) {
            front(k);
            const int64_t a = symbols[s_back], b = packages[p_back];
            const int64_t take_package = -static_cast<int64_t>(b >= a);
            level[out] = (b & take_package) | (a & ~take_package);
            p_back -= static_cast<int>(take_package & 1);
            s_back -= static_cast<int>(~take_package & 1);
            is_sym[out] = take_package == 0;
        }
        if (items % 2 != 0)
            front(items / 2);
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

void limited_code_lengths(const int32_t *weights, int n, int limit,
                          std::array<int, max_leaves> &length)
{
    // Sorted by weight, ties to the lower index, as one key each: the weight
    // (below 2^31) above the index.
    std::array<uint64_t, max_leaves> keys;
    int count = 0;
    for (int i = 0; i < n; ++i)
        if (weights[i] > 0)
            keys[count++] = (static_cast<uint64_t>(weights[i]) << 32) | static_cast<uint32_t>(i);
    assert(count >= 2 && limit >= 1 && limit <= lookup_bits && count <= (1 << limit));
    std::sort(keys.begin(), keys.begin() + count);
    std::array<int64_t, max_leaves> sorted{};
    for (int i = 0; i < count; ++i)
        sorted[i] = static_cast<int64_t>(keys[i] >> 32);
    std::array<int, max_leaves> by_weight{};
    package_merge(sorted.data(), count, limit, by_weight);
    std::fill(length.begin(), length.begin() + n, 0);
    for (int i = 0; i < count; ++i)
        length[keys[i] & 0xFFFFFFFFu] = by_weight[i];
}

namespace
{

// The leaves sorted by weight, ties in index order (the order they come
// in): a stable radix sort on the bytes that the weights use. For 256
// leaves that is a few hundred steps a byte where a comparison sort took
// some 2000 comparisons.
// Room for two weights past the leaves, which the merges read.
using Weights = std::array<uint32_t, max_leaves + 2>;

using Indices = std::array<uint16_t, max_leaves>;

// Up to this many leaves (a lengths table's code has at most 14), moving
// each into place costs less than a pass over 256 buckets.
constexpr int kFewLeaves = 24;

// Leaves `from` to `to` sorted by moving each into place; stable.
void insert_sorted(Weights &weight, Indices &index, int from, int to)
{
    for (int k = from + 1; k < to; ++k) {
        const uint32_t w = weight[k];
        const uint16_t i = index[k];
        int at = k;
        for (; at > from && weight[at - 1] > w; --at) {
            weight[at] = weight[at - 1];
            index[at] = index[at - 1];
        }
        weight[at] = w;
        index[at] = i;
    }
}

// One stable pass over 256 buckets of leaves `from` to `to`, by the byte of
// `key` at `shift`.
template <typename Key>
void bucket_pass(Weights &weight, Indices &index, int from, int to, int shift, Key key)
{
    Weights w2;
    Indices i2;
    std::array<int, 257> start{};
    for (int k = from; k < to; ++k)
        ++start[key(weight[k], shift) + 1];
    start[0] = from;
    for (int b = 0; b < 256; ++b)
        start[b + 1] += start[b];
    for (int k = from; k < to; ++k) {
        const int at = start[key(weight[k], shift)]++;
        w2[at] = weight[k];
        i2[at] = index[k];
    }
    std::copy(w2.begin() + from, w2.begin() + to, weight.begin() + from);
    std::copy(i2.begin() + from, i2.begin() + to, index.begin() + from);
}

// Most leaves of a block weigh below 255: one pass by min(weight, 255) puts
// them in order, and the heavy ones (255 and up) after them in index order,
// to be sorted on their own, where the passes of a radix sort over every
// byte the weights use took two or three such passes, each over all leaves.
void sort_by_weight(Weights &weight, Indices &index, int m)
{
    if (m <= kFewLeaves) {
        insert_sorted(weight, index, 0, m);
        return;
    }
    constexpr uint32_t kHeavy = 255;
    bucket_pass(weight, index, 0, m, 0,
                [](uint32_t w, int) { return w < kHeavy ? w : kHeavy; });
    int heavy = m;
    uint32_t any = 0;
    while (heavy > 0 && weight[static_cast<size_t>(heavy - 1)] >= kHeavy)
        any |= weight[static_cast<size_t>(--heavy)];
    if (m - heavy <= kFewLeaves) {
        insert_sorted(weight, index, heavy, m);
        return;
    }
    for (int shift = 0; shift < 32 && (any >> shift) != 0; shift += 8)
        bucket_pass(weight, index, heavy, m, shift,
                    [](uint32_t w, int by) { return (w >> by) & 0xFFu; });
}

// How much deeper than the limit a plain code may be for its lengths to be
// cut and repaired rather than found anew.
constexpr int kRepairedLevels = 4;

// The cheapest code of the limit, for the sorted leaves.
int limited_fallback(const Weights &weight, const std::array<uint16_t, max_leaves> &index, int m,
                     int limit, uint8_t *lengths)
{
    std::array<int64_t, max_leaves> sorted{};
    for (int k = 0; k < m; ++k)
        sorted[k] = weight[k];
    std::array<int, max_leaves> by_weight;
    package_merge(sorted.data(), m, limit, by_weight);
    int longest = 0;
    for (int k = 0; k < m; ++k) {
        lengths[index[k]] = static_cast<uint8_t>(by_weight[k]);
        longest = std::max(longest, by_weight[k]);
    }
    return longest;
}

} // namespace

int code_lengths(const int32_t *counts, int n, int limit, uint8_t *lengths)
{
    Weights weight;
    Indices index;
    int m = 0;
    // Every count written, and the next place taken only by those above 0:
    // which counts are 0 is as good as random.
    for (int i = 0; i < n; ++i) {
        lengths[i] = 0;
        weight[static_cast<size_t>(m)] = static_cast<uint32_t>(counts[i]);
        index[static_cast<size_t>(m)] = static_cast<uint16_t>(i);
        m += counts[i] != 0 ? 1 : 0;
    }
    if (m < 2)
        return 0;
    sort_by_weight(weight, index, m);
    // form_tree's merges: the two lightest of the sorted leaves and the
    // merged nodes (whose weights never decrease), a leaf first among equal
    // weights, as form_tree's keys order them. Nodes 0 to m - 1 are the
    // leaves in sorted order, m onwards the merged ones as they are made,
    // so every parent comes after its children and the root last.
    // The choices are as good as random: selects, not branches.
    // The heads of both queues, and the weights after them, are kept in
    // registers, the next ones loaded a pop ahead: with a load at each pop,
    // every choice waited on the load that the one before it chose, and the
    // merges took two fifths of this function's time.
    std::array<uint32_t, max_leaves + 1> merged;
    merged.fill(UINT32_MAX); // none made yet
    std::array<uint16_t, max_nodes> parent;
    weight[static_cast<size_t>(m)] = weight[static_cast<size_t>(m) + 1] = UINT32_MAX;
    int next_leaf = 0, next_merged = 0;
    uint32_t leaf = weight[0], leaf_after = weight[1];
    uint32_t node = UINT32_MAX, node_after = UINT32_MAX;
    const auto pop = [&](uint32_t &w) {
        const uint32_t take_leaf = 0u - static_cast<uint32_t>(leaf <= node);
        w = (leaf & take_leaf) | (node & ~take_leaf);
        const int popped = static_cast<int>((static_cast<uint32_t>(next_leaf) & take_leaf) |
                                            (static_cast<uint32_t>(m + next_merged) & ~take_leaf));
        leaf = (leaf_after & take_leaf) | (leaf & ~take_leaf);
        node = (node & take_leaf) | (node_after & ~take_leaf);
        next_leaf += static_cast<int>(take_leaf & 1u);
        next_merged += static_cast<int>(~take_leaf & 1u);
        leaf_after = weight[static_cast<size_t>(next_leaf) + 1];
        node_after = merged[static_cast<size_t>(next_merged) + 1];
        return popped;
    };
    for (int made = 0; made < m - 1; ++made) {
        uint32_t a, b;
        const int first = pop(a);
        const int second = pop(b);
        const uint32_t sum = a + b;
        merged[static_cast<size_t>(made)] = sum;
        // A head that stands at the new node read it before it was made.
        node = next_merged == made ? sum : node;
        node_after = next_merged + 1 == made ? sum : node_after;
        parent[first] = parent[second] = static_cast<uint16_t>(m + made);
    }
    std::array<uint8_t, max_nodes> depth;
    depth[2 * m - 2] = 0;
    int longest = 0;
    for (int node = 2 * m - 3; node >= 0; --node) {
        depth[node] = static_cast<uint8_t>(depth[parent[node]] + 1);
        if (node < m)
            longest = std::max<int>(longest, depth[node]);
    }
    if (longest <= limit) {
        for (int k = 0; k < m; ++k)
            lengths[index[k]] = depth[k];
        return longest;
    }
    // A few levels too deep, as a few rare bytes make a block's code: the
    // plain code's lengths, cut to the limit and their Kraft sum brought
    // back to 1. Measured on text and executables this costs 0.006% more
    // bits than the cheapest code of the limit (package-merge), at a small
    // part of its time. Far deeper codes (counts that grow as Fibonacci's)
    // lose percents that way, and take package-merge.
    if (longest > limit + kRepairedLevels)
        return limited_fallback(weight, index, m, limit, lengths);
    // Counted in four tables side by side: most leaves share a few lengths,
    // and in one table each increment waited on the one before through
    // memory, which took an eighth of this function's time.
    std::array<std::array<int, lookup_bits + 2>, 4> have_part{};
    for (int k = 0; k < m; ++k)
        ++have_part[static_cast<size_t>(k % 4)]
                   [static_cast<size_t>(std::min<int>(depth[k], limit))];
    std::array<int, lookup_bits + 2> have;
    for (size_t l = 0; l < have.size(); ++l)
        have[l] = have_part[0][l] + have_part[1][l] + have_part[2][l] + have_part[3][l];
    // Dealt out again, longest to the lightest, so that each length is one
    // run of the sorted leaves, the longest first: for the plain code that
    // only reorders equal weights.
    std::array<uint8_t, max_leaves> len;
    for (int l = limit, k = 0; l >= 1; --l)
        for (int i = 0; i < have[l]; ++i)
            len[k++] = static_cast<uint8_t>(l);
    // first[l]: where the run of length l starts; it ends at first[l - 1].
    std::array<int, lookup_bits + 2> first{};
    first[0] = m;
    for (int l = 1; l <= limit; ++l)
        first[l] = first[l - 1] - have[l];
    // The sum beyond 1, in units of 2^-limit.
    int64_t over = -(int64_t{1} << limit);
    for (int l = 1; l <= limit; ++l)
        over += int64_t{have[l]} << (limit - l);
    while (over > 0) {
        // Lengthening the lightest leaf of length l < limit frees
        // 2^(limit - l - 1): the one that costs least a unit of what is
        // still owed.
        int best = 0;
        int64_t best_weight = 0, best_gain = 1;
        for (int l = 1; l < limit; ++l) {
            if (first[l] == first[l - 1])
                continue;
            const int64_t gain = std::min<int64_t>(int64_t{1} << (limit - l - 1), over);
            const int64_t w = weight[first[l]];
            if (best == 0 || w * best_gain < best_weight * gain) {
                best = l;
                best_weight = w;
                best_gain = gain;
            }
        }
        if (best == 0)
            return limited_fallback(weight, index, m, limit, lengths);
        ++len[first[best]];
        ++first[best]; // it ends the run of length best + 1
        over -= int64_t{1} << (limit - best - 1);
    }
    // Where the last step freed more than was owed, the heaviest leaves
    // take the room back.
    for (int k = m - 1; k >= 0 && over < 0; --k)
        while (len[k] > 1 && (int64_t{1} << (limit - len[k])) <= -over) {
            over += int64_t{1} << (limit - len[k]);
            --len[k];
        }
    int most = 0;
    for (int k = 0; k < m; ++k) {
        lengths[index[k]] = len[k];
        most = std::max<int>(most, len[k]);
    }
    return most;
}

HUFFNODE *rebuild_length_limited(HUFFNODE *nodes, int n, int limit)
{
    std::array<int32_t, max_leaves> weights{};
    int count = 0;
    for (int i = 0; i < n; ++i) {
        weights[i] = nodes[i].weight > 0 ? nodes[i].weight : 0;
        count += weights[i] > 0 ? 1 : 0;
    }
    std::array<int, max_leaves> length{};
    limited_code_lengths(weights.data(), n, limit, length);
    std::array<int, max_leaves> order{};

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
