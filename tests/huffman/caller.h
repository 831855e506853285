// The caller's side of the Huffman modules, as a program that uses them
// would write it: counting bytes, form_tree and encode into one file, and the
// decoder's duties step by step (table stream, shape string, dfr, dfs_final,
// refill, the window and decosymbol).
#ifndef DCTLAB_TEST_HUFFMAN_CALLER_H
#define DCTLAB_TEST_HUFFMAN_CALLER_H

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "huffdec.h"
#include "huffenc.h"

using Bytes = std::vector<uint8_t>;
using Counts = std::array<int32_t, 256>;
using CodeTable = std::array<HUFFCODE, 256>;

Counts byte_counts(const Bytes &data);

// Everything written to a tmpfile by `write`, which leaves the stream open.
Bytes written_by(const std::function<void(std::FILE *)> &write);

// A tmpfile holding `data`, positioned at its start.
std::FILE *stream_of(const Bytes &data);

// Runs `write` on a tmpfile that `write` closes (as encode does) and returns
// what reached the file, read through a duplicate descriptor.
Bytes written_and_closed_by(const std::function<void(std::FILE *)> &write);

struct Encoded {
    CodeTable codes{};
    Bytes file;             // table stream followed by the encoded stream
    size_t table_bytes = 0; // where the encoded stream starts
    int encode_result = -1;
};

// form_tree over the counts of `data` (n = 256), then encode into the same file.
Encoded encode_bytes(const Bytes &data);

struct TableStream {
    int32_t leaves = 0;
    Bytes symbols;
    std::string shape; // "1" for an internal node, "0" for a leaf
    size_t bytes = 0;  // length of the table stream
};

// Reads a table stream; false when it is truncated or L is outside 0 to 256.
bool parse_table_stream(const Bytes &file, TableStream &out);

// The decoder's duties up to the code table: parse, expand the shape,
// dfr, check that the shape was complete, dfs_final. False when any step
// fails; an empty tree (L = 0) is complete and leaves `codes` zero.
bool rebuild_codes(const Bytes &file, TableStream &table, CodeTable &codes);

struct Decoded {
    bool ok = false; // well-formed table stream, complete tree, whole words
    TableStream table;
    CodeTable codes{};
    Bytes bytes;
    int word_index = 0;
    int free_bits = 0;
};

// Decodes `count` symbols from a file written by encode_bytes.
Decoded decode_file(const Bytes &file, size_t count);

// One zeroed 2^22-entry lookup table, allocated once for the whole program:
// clearing 32 MiB is much cheaper than allocating it per test.
HUFFLOOKUP *lookup_table();

Bytes bytes_of(const std::string &text);

#endif
