#include "caller.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <gtest/gtest.h>

#include "huffman_layout.h"
#include "little_endian.h"

using dctlab::huffman::lookup_entries;

Counts byte_counts(const Bytes &data)
{
    Counts counts{};
    for (uint8_t b : data)
        ++counts[b];
    return counts;
}

Bytes bytes_of(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

namespace
{

Bytes read_from_start(int fd)
{
    Bytes out;
    if (lseek(fd, 0, SEEK_SET) != 0)
        return out;
    uint8_t chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0)
            break;
        out.insert(out.end(), chunk, chunk + got);
    }
    return out;
}

} // namespace

Bytes written_by(const std::function<void(std::FILE *)> &write)
{
    std::FILE *file = std::tmpfile();
    if (!file) {
        ADD_FAILURE() << "tmpfile";
        return {};
    }
    write(file);
    std::fflush(file);
    Bytes out = read_from_start(fileno(file));
    std::fclose(file);
    return out;
}

std::FILE *stream_of(const Bytes &data)
{
    std::FILE *file = std::tmpfile();
    if (!file)
        return nullptr;
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file) != data.size()) {
        std::fclose(file);
        return nullptr;
    }
    std::rewind(file);
    return file;
}

Bytes written_and_closed_by(const std::function<void(std::FILE *)> &write)
{
    std::FILE *file = std::tmpfile();
    if (!file) {
        ADD_FAILURE() << "tmpfile";
        return {};
    }
    const int keep = dup(fileno(file));
    write(file);
    Bytes out = read_from_start(keep);
    close(keep);
    return out;
}

Encoded encode_bytes(const Bytes &data)
{
    Encoded result;
    const Counts counts = byte_counts(data);
    std::FILE *in = stream_of(data);
    if (!in) {
        ADD_FAILURE() << "input stream";
        return result;
    }
    result.file = written_and_closed_by([&](std::FILE *out) {
        form_tree(out, counts.data(), 256, result.codes.data());
        result.table_bytes = static_cast<size_t>(std::ftell(out));
        result.encode_result = encode(in, result.codes.data(), out);
    });
    std::fclose(in);
    return result;
}

bool parse_table_stream(const Bytes &file, TableStream &out)
{
    if (file.size() < 4)
        return false;
    const int32_t leaves = dctlab::load_le32s(file.data());
    if (leaves < 0 || leaves > 256)
        return false;
    const size_t words = static_cast<size_t>(dctlab::huffman::shape_words(leaves));
    const size_t bytes = 4 + static_cast<size_t>(leaves) + 4 * words;
    if (file.size() < bytes)
        return false;
    out.leaves = leaves;
    out.symbols.assign(file.begin() + 4, file.begin() + 4 + leaves);
    out.shape.clear();
    const uint8_t *shape = file.data() + 4 + leaves;
    for (int k = 0; k < 2 * leaves - 1; ++k) {
        const uint32_t word = dctlab::load_le32(shape + 4 * (k / 32));
        out.shape += ((word >> (31 - k % 32)) & 1u) ? '1' : '0';
    }
    out.bytes = bytes;
    return true;
}

HUFFLOOKUP *lookup_table()
{
    static HUFFLOOKUP *table =
        static_cast<HUFFLOOKUP *>(std::calloc(lookup_entries, sizeof(HUFFLOOKUP)));
    if (table)
        std::memset(static_cast<void *>(table), 0, lookup_entries * sizeof(HUFFLOOKUP));
    return table;
}

bool rebuild_codes(const Bytes &file, TableStream &table, CodeTable &codes)
{
    codes = CodeTable{};
    if (!parse_table_stream(file, table))
        return false;
    if (table.leaves == 0)
        return true;
    int shape_pos = 0, symbol_pos = 0;
    HUFFNODE *root =
        dfr(table.shape.c_str(), &shape_pos, table.symbols.data(), &symbol_pos, nullptr);
    const bool complete = root && shape_pos == 2 * table.leaves - 1 && symbol_pos == table.leaves;
    dfs_final(root, 0, 0, codes.data());
    free_tree(root);
    return complete;
}

Decoded decode_file(const Bytes &file, size_t count)
{
    Decoded result;
    if (!rebuild_codes(file, result.table, result.codes))
        return result;
    const TableStream &t = result.table;
    const size_t rest = file.size() - t.bytes;
    if (rest % 4 != 0)
        return result;
    if (t.leaves == 0) {
        result.ok = count == 0 && rest == 0;
        return result;
    }

    HUFFLOOKUP *table = lookup_table();
    if (!table)
        return result;
    for (uint8_t s : t.symbols)
        refill(s, result.codes[s].code, result.codes[s].length, table);

    // The encoded words and one more zero word for the window's read-ahead.
    std::vector<uint32_t> words(rest / 4 + 1, 0);
    for (size_t i = 0; i < rest / 4; ++i)
        words[i] = dctlab::load_le32(file.data() + t.bytes + 4 * i);
    uint32_t window = words[0];
    result.word_index = 1;
    result.free_bits = 32;
    HUFFLOOKUP entry{};
    result.bytes.reserve(count);
    for (size_t i = 0; i < count; ++i)
        result.bytes.push_back(static_cast<uint8_t>(decosymbol(
            table, words.data(), &window, &entry, &result.word_index, &result.free_bits)));
    result.ok = true;
    return result;
}
