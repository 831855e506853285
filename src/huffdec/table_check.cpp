#include "table_check.h"

#include <algorithm>

#include "huffman_layout.h"
#include "little_endian.h"

namespace dctlab
{
namespace huffman
{

bool check_table_stream(const uint8_t *table, size_t size, int &leaves, std::string &shape,
                        std::array<uint8_t, 256> &symbols, std::string &error)
{
    const int32_t count = load_le32s(table);
    if (count < 1 || count > 256) {
        error = "leaf count " + std::to_string(count) + " is outside 1 to 256";
        return false;
    }
    leaves = count;
    if (size != static_cast<size_t>(table_stream_bytes(count))) {
        error = "table stream of " + std::to_string(size) + " bytes does not fit " +
                std::to_string(count) + " leaves";
        return false;
    }
    std::array<bool, 256> seen{};
    for (int i = 0; i < count; ++i) {
        const uint8_t s = table[4 + i];
        if (seen[s]) {
            error = "leaf symbol " + std::to_string(s) + " appears twice";
            return false;
        }
        seen[s] = true;
        symbols[static_cast<size_t>(i)] = s;
    }

    // Walk the shape in pre-order with the depth of every node still to come:
    // exactly one complete tree uses every bit, and no leaf lies deeper than
    // the lookup table serves.
    const uint8_t *words = table + 4 + count;
    const size_t bits = 2 * static_cast<size_t>(count) - 1;
    shape.assign(bits, '0');
    std::array<int, 257> pending; // depths of subtrees not yet walked
    size_t open = 0;
    pending[open++] = 0;
    for (size_t i = 0; i < bits; ++i) {
        const uint32_t word = load_le32(words + 4 * (i / 32));
        const bool internal = (word >> (31 - i % 32)) & 1u;
        if (open == 0) {
            error = "tree shape continues after a complete tree";
            return false;
        }
        const int depth = pending[--open];
        if (internal) {
            if (depth + 1 > lookup_bits) {
                error = "tree is deeper than " + std::to_string(lookup_bits) + " levels";
                return false;
            }
            shape[i] = '1';
            pending[open++] = depth + 1;
            pending[open++] = depth + 1;
            if (open > pending.size() - 1) {
                error = "tree shape is not a tree of " + std::to_string(count) + " leaves";
                return false;
            }
        }
    }
    if (open != 0) {
        error = "tree shape ends before the tree is complete";
        return false;
    }
    const size_t words_count = static_cast<size_t>(shape_words(count));
    const uint32_t last = load_le32(words + 4 * (words_count - 1));
    const size_t used = bits - 32 * (words_count - 1); // 1 to 32 bits of the last word
    if (used < 32 && (last & ((uint32_t{1} << (32 - used)) - 1u)) != 0) {
        error = "bits after the tree shape are not 0";
        return false;
    }
    return true;
}

int complete_code_length(const HUFFCODE *codes, const uint8_t *leaves, int leaf_count,
                         int max_length, uint8_t &single)
{
    if (!codes || !leaves || leaf_count < 1 || leaf_count > max_leaves)
        return -1;
    if (leaf_count == 1) {
        if (codes[leaves[0]].length != 0)
            return -1;
        single = leaves[0];
        return 0;
    }
    uint64_t kraft = 0;
    int longest = 0;
    for (int i = 0; i < leaf_count; ++i) {
        const HUFFCODE &c = codes[leaves[i]];
        if (c.length < 1 || c.length > max_length || c.code < 0 ||
            (static_cast<uint32_t>(c.code) >> c.length) != 0)
            return -1;
        kraft += uint64_t{1} << (max_length - c.length);
        longest = std::max(longest, c.length);
    }
    return kraft == uint64_t{1} << max_length ? longest : -1;
}

int codes_of_shape(const std::string &shape, const std::array<uint8_t, 256> &symbols, int leaves,
                   HUFFCODE *codes)
{
    // Pre-order: an internal node goes down to its child0 (a 0 bit); after a
    // leaf the walk climbs past every child1 it finished and turns to the
    // child1 of the lowest child0 it came from.
    uint32_t code = 0;
    int depth = 0, longest = 0, leaf = 0;
    for (const char c : shape) {
        if (c == '1') {
            code <<= 1;
            ++depth;
            continue;
        }
        if (leaf < leaves)
            codes[symbols[static_cast<size_t>(leaf++)]] =
                HUFFCODE{static_cast<int32_t>(code), depth, 0};
        longest = std::max(longest, depth);
        while (depth > 0 && (code & 1u)) {
            code >>= 1;
            --depth;
        }
        code |= 1u;
    }
    return longest;
}

} // namespace huffman
} // namespace dctlab
