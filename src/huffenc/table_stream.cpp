#include <array>
#include <cstring>

#include "bitfield.h"
#include "build_code.h"
#include "huffenc.h"
#include "huffman_layout.h"
#include "little_endian.h"

using namespace dctlab::huffman;

int add(int *free_bits, int width, uint32_t value, uint32_t *words, int *word_index)
{
    dctlab::bitfield::put(value, width, words, word_index, free_bits);
    return 1;
}

int dfs(const HUFFNODE *node, int path_code, int depth, HUFFCODE *codes, int *leaf_count,
        uint8_t *leaf_symbols, uint32_t *shape_words, int *shape_free, int *shape_index)
{
    if (!node)
        return 1;
    if (node->child0) {
        add(shape_free, 1, 1, shape_words, shape_index);
        // Shifted as unsigned: a hand-built tree deeper than 31 levels wraps
        // instead of overflowing.
        const uint32_t base = static_cast<uint32_t>(path_code) << 1;
        dfs(node->child0, static_cast<int>(base), depth + 1, codes, leaf_count, leaf_symbols,
            shape_words, shape_free, shape_index);
        dfs(node->child1, static_cast<int>(base | 1u), depth + 1, codes, leaf_count, leaf_symbols,
            shape_words, shape_free, shape_index);
        return 1;
    }
    add(shape_free, 1, 0, shape_words, shape_index);
    leaf_symbols[(*leaf_count)++] = node->symbol;
    codes[node->symbol] = HUFFCODE{path_code, depth, node->weight};
    return 1;
}

namespace dctlab
{
namespace huffman
{

void assemble_table_stream(int leaves, const uint8_t *symbols, const uint32_t *shape,
                           TableBytes &table)
{
    const int words = shape_words(leaves);
    uint8_t *bytes = table.bytes.data();
    store_le32(bytes, static_cast<uint32_t>(leaves));
    if (leaves > 0)
        std::memcpy(bytes + 4, symbols, static_cast<size_t>(leaves));
    uint8_t *at = bytes + 4 + leaves;
    for (int i = 0; i < words; ++i, at += 4)
        store_le32(at, shape[i]);
    table.size = static_cast<size_t>(at - bytes);
}

} // namespace huffman
} // namespace dctlab
