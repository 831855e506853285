// The reader: every length, table, stream and CRC checked before a block
// reaches the output.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "container.h"
#include "fast_decode.h"
#include "format.h"
#include "huffdec.h"
#include "little_endian.h"
#include "table_check.h"

namespace dctlab::container
{

namespace
{

std::string block_name(uint64_t index)
{
    return "block " + std::to_string(index) + ": ";
}

struct TreeRelease {
    void operator()(HUFFNODE *root) const { free_tree(root); }
};

// Reads `size` bytes into `bytes`, growing the buffer as data arrives, so a
// length that a damaged header claims costs no more memory than the input
// actually holds.
bool read_growing(ByteSource &in, size_t size, std::vector<uint8_t> &bytes)
{
    constexpr size_t kChunk = size_t{1} << 20;
    bytes.clear();
    while (bytes.size() < size) {
        const size_t at = bytes.size();
        const size_t want = std::min(kChunk, size - at);
        bytes.resize(at + want);
        const size_t got = read_fully(in, bytes.data() + at, want);
        if (got < want) {
            bytes.resize(at + got);
            return false;
        }
    }
    return true;
}

// The next `size` bytes of the input: in place where the source holds them
// in memory, else read into `scratch`. Null when the input ends first.
const uint8_t *take(ByteSource &in, size_t size, std::vector<uint8_t> &scratch)
{
    // A single-leaf block's encoded stream is empty; an empty vector's data()
    // may be null, and null means "truncated".
    static const uint8_t nothing = 0;
    if (size == 0)
        return &nothing;
    if (const uint8_t *in_place = in.borrow(size))
        return in_place;
    return read_growing(in, size, scratch) ? scratch.data() : nullptr;
}

// Rebuilds the code from the checked table stream with dfr and dfs_final,
// then decodes exactly `count` symbols with the two-level decoder, which
// gives the bytes and consumes the bits of decosymbol's 2^22-entry table.
bool decode_block(dctlab::huffman::FastDecoder &decoder, const std::string &shape,
                  const std::array<uint8_t, 256> &symbols, int leaves, const uint8_t *encoded,
                  size_t encoded_size, uint8_t *out, size_t count, std::string &error)
{
    int shape_pos = 0, symbol_pos = 0;
    std::unique_ptr<HUFFNODE, TreeRelease> root(
        dfr(shape.c_str(), &shape_pos, symbols.data(), &symbol_pos, nullptr));
    if (!root || shape_pos != 2 * leaves - 1 || symbol_pos != leaves) {
        error = "no memory to rebuild the code tree";
        return false;
    }
    std::array<HUFFCODE, 256> codes{};
    dfs_final(root.get(), 0, 0, codes.data());
    root.reset();
    // The shape was checked to be one complete tree of at most 22 levels, so
    // this holds; it guards the decoder all the same.
    if (!decoder.build(codes.data(), symbols.data(), leaves)) {
        error = "the tree gives no complete code";
        return false;
    }

    const size_t word_count = encoded_size / 4;
    const uint64_t available = 32 * static_cast<uint64_t>(word_count);
    const uint64_t used = decoder.decode(encoded, word_count, out, count);
    if (used > available) {
        error = "encoded stream ends before its " + std::to_string(count) + " symbols";
        return false;
    }
    if ((used + 31) / 32 != word_count) {
        error = "encoded stream is longer than its symbols need";
        return false;
    }
    const unsigned tail = static_cast<unsigned>(used % 32);
    if (tail != 0 &&
        (load_le32(encoded + 4 * (word_count - 1)) & ((1u << (32 - tail)) - 1u)) != 0) {
        error = "bits after the last code are not 0";
        return false;
    }
    return true;
}

} // namespace

bool unpack(ByteSource &in, ByteSink &out, std::string &error, uint32_t max_block,
            const Progress &progress)
{
    uint8_t header[kHeaderSize];
    if (read_fully(in, header, sizeof header) != sizeof header ||
        std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        error = "not a dctlab container";
        return false;
    }
    const uint8_t version = header[4];
    if (version < kOldestReadableVersion || version > kContainerVersion) {
        error = "container version " + std::to_string(version) +
                " is not supported (this dctlab reads versions " +
                std::to_string(kOldestReadableVersion) + " and " +
                std::to_string(kContainerVersion) + ")";
        return false;
    }
    if (header[5] != 0 || header[6] != 0 || header[7] != 0) {
        error = "damaged container header";
        return false;
    }

    dctlab::huffman::FastDecoder decoder;
    std::vector<uint8_t> scratch, original;
    uint64_t total = 0;
    for (uint64_t index = 0;; ++index) {
        uint8_t type = 0;
        if (read_fully(in, &type, 1) != 1) {
            error = "truncated container: no end marker";
            return false;
        }
        if (type == kEndMarker) {
            uint8_t end[8];
            if (read_fully(in, end, sizeof end) != sizeof end) {
                error = "truncated container: incomplete end marker";
                return false;
            }
            if (load_le64(end) != total) {
                error = "end marker gives " + std::to_string(load_le64(end)) +
                        " bytes in all, the blocks hold " + std::to_string(total);
                return false;
            }
            uint8_t extra;
            if (read_fully(in, &extra, 1) != 0) {
                error = "data after the end marker";
                return false;
            }
            return true;
        }
        const std::string where = block_name(index);
        if (type == kStoredBlock && version >= 2) {
            uint8_t head[kStoredHeaderSize];
            if (read_fully(in, head, sizeof head) != sizeof head) {
                error = where + "truncated block header";
                return false;
            }
            const uint32_t length = load_le32(head), crc = load_le32(head + 4);
            if (length == 0 || length > max_block) {
                error = where + "length " + std::to_string(length) + " is outside 1 to " +
                        std::to_string(max_block);
                return false;
            }
            const int64_t left = in.remaining();
            if (left >= 0 && length > static_cast<uint64_t>(left)) {
                error = where + "truncated: its " + std::to_string(length) +
                        " bytes need more than the " + std::to_string(left) + " that remain";
                return false;
            }
            const uint8_t *data = take(in, length, scratch);
            if (!data) {
                error = where + "truncated stored bytes";
                return false;
            }
            if (crc_of(data, length) != crc) {
                error = where + "CRC mismatch: the data is damaged";
                return false;
            }
            if (!out.write(data, length)) {
                error = "cannot write the output";
                return false;
            }
            total += length;
            if (progress)
                progress(total);
            continue;
        }
        if (type != kHuffmanBlock) {
            error = where + "unknown block type " + std::to_string(type);
            return false;
        }
        uint8_t head[kBlockHeaderSize];
        if (read_fully(in, head, sizeof head) != sizeof head) {
            error = where + "truncated block header";
            return false;
        }
        const uint32_t length = load_le32(head), table_size = load_le32(head + 4),
                       encoded_size = load_le32(head + 8), crc = load_le32(head + 12);
        if (length == 0 || length > max_block) {
            error = where + "length " + std::to_string(length) + " is outside 1 to " +
                    std::to_string(max_block);
            return false;
        }
        if (table_size < table_stream_size(1) || table_size > table_stream_size(256)) {
            error = where + "table stream length " + std::to_string(table_size) + " is impossible";
            return false;
        }
        // At most 22 bits a symbol.
        const uint64_t most_words = (uint64_t{length} * kMaxCodeLength + 31) / 32;
        if (encoded_size % 4 != 0 || encoded_size / 4 > most_words) {
            error = where + "encoded stream length " + std::to_string(encoded_size) +
                    " is impossible for " + std::to_string(length) + " symbols";
            return false;
        }
        const int64_t left = in.remaining();
        if (left >= 0 && uint64_t{table_size} + encoded_size > static_cast<uint64_t>(left)) {
            error = where + "truncated: its streams need " +
                    std::to_string(uint64_t{table_size} + encoded_size) + " bytes, " +
                    std::to_string(left) + " remain";
            return false;
        }
        uint8_t table[table_stream_size(256)];
        if (read_fully(in, table, table_size) != table_size) {
            error = where + "truncated table stream";
            return false;
        }
        int leaves = 0;
        std::string shape;
        std::array<uint8_t, 256> symbols{};
        if (!huffman::check_table_stream(table, table_size, leaves, shape, symbols, error)) {
            error = where + error;
            return false;
        }
        // Every code of a tree of two or more leaves takes at least one bit.
        if ((leaves == 1 && encoded_size != 0) ||
            (leaves > 1 && uint64_t{encoded_size} * 8 < length)) {
            error = where + "encoded stream length " + std::to_string(encoded_size) +
                    " does not fit " + std::to_string(length) + " symbols";
            return false;
        }
        const uint8_t *encoded = take(in, encoded_size, scratch);
        if (!encoded) {
            error = where + "truncated encoded stream";
            return false;
        }
        original.resize(length);
        if (!decode_block(decoder, shape, symbols, leaves, encoded, encoded_size, original.data(),
                          length, error)) {
            error = where + error;
            return false;
        }
        if (crc_of(original.data(), length) != crc) {
            error = where + "CRC mismatch: the data is damaged";
            return false;
        }
        if (!out.write(original.data(), length)) {
            error = "cannot write the output";
            return false;
        }
        total += length;
        if (progress)
            progress(total);
    }
}

} // namespace dctlab::container
