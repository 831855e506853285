#include "huffman_fit.h"

#include <algorithm>
#include <vector>

namespace dctlab::jfif
{

namespace
{

/* One item of a package-merge list: a leaf (a symbol) or a package of two
 * items of the list one length further down. */
struct Item {
    uint64_t weight;
    bool leaf;
};

} // namespace

/* Package-merge: the optimal lengths of at most L bits are found by L rounds
 * of pairing up the cheapest items and merging the pairs with the leaves.
 * The all-ones limit is met by one more leaf of weight 0: its code takes the
 * place the all-ones code would have had, and since it costs nothing the
 * lengths of the others stay optimal for the remaining code space (any
 * solution that leaves room for one code of 16 bits is one with that leaf). */
HuffmanTable fit_huffman(const std::array<uint32_t, 256> &frequency)
{
    struct Leaf {
        uint64_t weight;
        int symbol; // -1 for the reserved code
    };
    std::vector<Leaf> leaves{{0, -1}};
    for (int s = 0; s < 256; ++s)
        if (frequency[s] != 0)
            leaves.push_back({frequency[s], s});
    std::stable_sort(leaves.begin(), leaves.end(),
                     [](const Leaf &a, const Leaf &b) { return a.weight < b.weight; });
    const std::size_t n = leaves.size();

    // lists[j]: the merged list of the round whose leaves are codes of
    // length L - j; lists[0] holds the leaves alone.
    std::vector<std::vector<Item>> lists(kMaxCodeLength);
    for (const Leaf &l : leaves)
        lists[0].push_back({l.weight, true});
    for (int j = 1; j < kMaxCodeLength; ++j) {
        const std::vector<Item> &below = lists[j - 1];
        std::vector<Item> &list = lists[j];
        list.reserve(n + below.size() / 2);
        std::size_t leaf = 0, pair = 0;
        while (leaf < n || pair + 1 < below.size()) {
            const bool take_leaf = pair + 1 >= below.size() ||
                                   (leaf < n && leaves[leaf].weight <=
                                                    below[pair].weight + below[pair + 1].weight);
            if (take_leaf) {
                list.push_back({leaves[leaf++].weight, true});
            } else {
                list.push_back({below[pair].weight + below[pair + 1].weight, false});
                pair += 2;
            }
        }
    }

    // The first 2n - 2 items of the last list are the solution. Walking down,
    // every leaf among the items taken in a round is one bit of its symbol's
    // length; the leaves taken are always a prefix of the sorted leaves.
    std::vector<int> length(n, 0);
    std::size_t take = 2 * n - 2;
    for (int j = kMaxCodeLength - 1; j >= 0 && take > 0; --j) {
        std::size_t leaves_taken = 0, packages = 0;
        for (std::size_t i = 0; i < take; ++i)
            (lists[j][i].leaf ? leaves_taken : packages) += 1;
        for (std::size_t i = 0; i < leaves_taken; ++i)
            ++length[i];
        take = 2 * packages;
    }

    // Longest codes last, and within a length the reserved code last, so
    // that it is the one that would be all ones. Within a length the more
    // frequent symbols come first and so take the codes with fewer ones:
    // the coded bits then hold fewer bytes of 0xFF, each of which costs a
    // stuffed zero byte (ties in symbol order).
    std::vector<std::size_t> order(n);
    for (std::size_t i = 0; i < n; ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        if (length[a] != length[b])
            return length[a] < length[b];
        if ((leaves[a].symbol < 0) != (leaves[b].symbol < 0))
            return leaves[b].symbol < 0;
        if (leaves[a].weight != leaves[b].weight)
            return leaves[a].weight > leaves[b].weight;
        return leaves[a].symbol < leaves[b].symbol;
    });
    HuffmanTable table;
    for (std::size_t i : order) {
        if (leaves[i].symbol < 0)
            continue;
        ++table.counts[length[i]];
        table.symbols[table.symbol_count++] = static_cast<uint8_t>(leaves[i].symbol);
    }
    return table;
}

HuffmanCodes canonical_codes(const HuffmanTable &table)
{
    HuffmanCodes codes;
    uint32_t code = 0;
    int k = 0;
    for (int len = 1; len <= kMaxCodeLength; ++len) {
        for (int i = 0; i < table.counts[len]; ++i, ++k) {
            codes.code[table.symbols[k]] = static_cast<uint16_t>(code++);
            codes.length[table.symbols[k]] = static_cast<uint8_t>(len);
        }
        code <<= 1;
    }
    return codes;
}

} // namespace dctlab::jfif
