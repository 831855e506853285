// Fuzz target: a Huffman round trip through the modules' own interfaces.
//
// The input's byte counts go to form_tree and the input to encode, both into
// one memory stream, as a caller of huffenc does; the table stream is then
// read back and the decoder driven by its caller duties: the shape bits
// expanded to a string, dfr, dfs_final, refill and one decosymbol per input
// byte over the encoded words and one extra zero word. Any difference from
// the input, a code longer than the lookup table serves, a stream of the
// wrong length or an incomplete tree aborts.
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "huffdec.h"
#include "huffenc.h"

namespace
{

constexpr int kLookupBits = 22;
constexpr size_t kLookupEntries = size_t{1} << kLookupBits;

uint32_t le32(const uint8_t *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// The lookup table is 32 MiB; one allocation serves every run. Each run's
// refill calls overwrite every entry, since the tree is complete.
HUFFLOOKUP *lookup_table()
{
    static HUFFLOOKUP *table =
        static_cast<HUFFLOOKUP *>(std::calloc(kLookupEntries, sizeof(HUFFLOOKUP)));
    check(table != nullptr);
    return table;
}

// form_tree then encode into one memory stream; returns the table stream
// followed by the encoded stream.
std::vector<uint8_t> encode_all(const uint8_t *data, size_t size, std::array<HUFFCODE, 256> &codes)
{
    std::array<int32_t, 256> counts{};
    for (size_t i = 0; i < size; ++i)
        ++counts[data[i]];
    char *buffer = nullptr;
    size_t buffer_size = 0;
    std::FILE *out = open_memstream(&buffer, &buffer_size);
    check(out != nullptr);
    form_tree(out, counts.data(), 256, codes.data());
    // encode reads a seekable stream; an empty one needs a file of its own,
    // since fmemopen refuses a zero-length buffer.
    std::FILE *in = size > 0 ? fmemopen(const_cast<uint8_t *>(data), size, "rb") : std::tmpfile();
    check(in != nullptr);
    check(encode(in, codes.data(), out) == 1); // closes out
    std::fclose(in);
    std::vector<uint8_t> file(buffer, buffer + buffer_size);
    std::free(buffer);
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::array<HUFFCODE, 256> codes{};
    const std::vector<uint8_t> file = encode_all(data, size, codes);

    // The table stream: L, L leaf bytes, (2L - 1) div 32 + 1 shape words.
    check(file.size() >= 8);
    const int32_t leaves = static_cast<int32_t>(le32(file.data()));
    check(leaves >= 0 && leaves <= 256);
    const size_t shape_words = static_cast<size_t>((2 * leaves - 1) / 32 + 1);
    const size_t table_bytes = 4 + static_cast<size_t>(leaves) + 4 * shape_words;
    check(file.size() >= table_bytes && (file.size() - table_bytes) % 4 == 0);
    const size_t word_count = (file.size() - table_bytes) / 4;

    uint64_t bits = 0;
    int present = 0;
    for (const HUFFCODE &c : codes) {
        check(c.length >= 0 && c.length <= kLookupBits);
        bits += static_cast<uint64_t>(c.weight) * static_cast<uint64_t>(c.length);
        present += c.weight > 0;
    }
    check(present == leaves && word_count == (bits + 31) / 32);
    if (leaves == 0) {
        check(size == 0 && word_count == 0);
        return 0;
    }

    const uint8_t *symbols = file.data() + 4;
    std::string shape;
    for (int k = 0; k < 2 * leaves - 1; ++k) {
        const uint32_t word = le32(file.data() + 4 + leaves + 4 * (k / 32));
        shape += ((word >> (31 - k % 32)) & 1u) ? '1' : '0';
    }
    int shape_pos = 0, symbol_pos = 0;
    HUFFNODE *root = dfr(shape.c_str(), &shape_pos, symbols, &symbol_pos, nullptr);
    check(root != nullptr && shape_pos == 2 * leaves - 1 && symbol_pos == leaves);
    std::array<HUFFCODE, 256> rebuilt{};
    dfs_final(root, 0, 0, rebuilt.data());
    free_tree(root);
    for (int s = 0; s < 256; ++s)
        check(rebuilt[s].length == codes[s].length && rebuilt[s].code == codes[s].code);

    HUFFLOOKUP *table = lookup_table();
    for (int i = 0; i < leaves; ++i)
        refill(symbols[i], rebuilt[symbols[i]].code, rebuilt[symbols[i]].length, table);

    std::vector<uint32_t> words(word_count + 1, 0);
    for (size_t i = 0; i < word_count; ++i)
        words[i] = le32(file.data() + table_bytes + 4 * i);
    uint32_t window = words[0];
    int word_index = 1, free_bits = 32;
    HUFFLOOKUP entry{};
    for (size_t i = 0; i < size; ++i)
        check(decosymbol(table, words.data(), &window, &entry, &word_index, &free_bits) == data[i]);
    // The cursor stands a window's 32 bits past the codes consumed, which
    // must be exactly the stream's code bits.
    check(32 * static_cast<uint64_t>(word_index) - static_cast<uint64_t>(free_bits) == bits);
    return 0;
}
