#include "container.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include <zlib.h>

#include "huffdec.h"
#include "huffenc.h"
#include "little_endian.h"

namespace dctlab::tool
{

namespace
{

constexpr uint8_t kMagic[4] = {'D', 'L', 'H', 'F'};
constexpr uint8_t kEndMarker = 0;
constexpr uint8_t kHuffmanBlock = 1;
constexpr size_t kHeaderSize = 8;
constexpr size_t kBlockHeaderSize = 16; // N, A, E, CRC after the type byte
// The decoder's lookup table is indexed by 22 bits, so no code may be longer.
constexpr int kMaxCodeLength = 22;
constexpr size_t kLookupEntries = size_t{1} << kMaxCodeLength;

// Table stream sizes: 4-byte leaf count, L symbols, (2L - 1) div 32 + 1 words.
constexpr size_t shape_words(size_t leaves)
{
    return (2 * leaves - 1) / 32 + 1;
}
constexpr size_t table_stream_size(size_t leaves)
{
    return 4 + leaves + 4 * shape_words(leaves);
}
static_assert(table_stream_size(1) == 9 && table_stream_size(256) == 324);

uint32_t crc_of(const uint8_t *data, size_t size)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    // crc32 takes a 32-bit length; blocks stay far below that, but keep it exact.
    while (size > 0) {
        const uInt part = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
        crc = crc32(crc, data, part);
        data += part;
        size -= part;
    }
    return static_cast<uint32_t>(crc);
}

size_t read_fully(ByteSource &in, uint8_t *into, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const size_t n = in.read(into + got, size - size_t{got});
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

std::string block_name(uint64_t index)
{
    return "block " + std::to_string(index) + ": ";
}

// The table and encoded streams of one block, as form_tree and encode write
// them to one memory stream.
bool encode_block(const uint8_t *data, size_t size, std::vector<uint8_t> &streams,
                  size_t &table_size, std::string &error)
{
    std::array<int32_t, 256> counts{};
    for (size_t i = 0; i < size; ++i)
        ++counts[data[i]];
    std::array<HUFFCODE, 256> codes{};

    char *buffer = nullptr;
    size_t buffer_size = 0;
    std::FILE *out = open_memstream(&buffer, &buffer_size);
    if (!out) {
        error = "no memory for the encoder's stream";
        return false;
    }
    std::unique_ptr<char, decltype(&std::free)> owned(nullptr, &std::free);
    form_tree(out, counts.data(), 256, codes.data());
    const bool flushed = std::fflush(out) == 0;
    table_size = buffer_size;
    std::FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (!flushed || !in) {
        std::fclose(out);
        std::free(buffer);
        error = "no memory for the encoder's stream";
        return false;
    }
    const int encoded = encode(in, codes.data(), out); // closes out
    std::fclose(in);
    owned.reset(buffer);
    if (!encoded) {
        error = "the encoder failed";
        return false;
    }
    streams.assign(buffer, buffer + buffer_size);
    return true;
}

} // namespace

size_t MemorySource::read(void *into, size_t size)
{
    const size_t n = std::min(size, size_ - at_);
    if (n > 0)
        std::memcpy(into, data_ + at_, n);
    at_ += n;
    return n;
}

FileSource::FileSource(std::FILE *file) : file_(file)
{
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
        const long at = std::ftell(file);
        remaining_ = static_cast<int64_t>(info.st_size) - (at > 0 ? at : 0);
    }
}

size_t FileSource::read(void *into, size_t size)
{
    const size_t n = std::fread(into, 1, size, file_);
    if (remaining_ >= 0)
        remaining_ -= static_cast<int64_t>(n);
    return n;
}

int64_t FileSource::remaining() const
{
    return remaining_ >= 0 ? remaining_ : -1;
}

bool MemorySink::write(const void *from, size_t size)
{
    const auto *p = static_cast<const uint8_t *>(from);
    bytes.insert(bytes.end(), p, p + size);
    return true;
}

bool FileSink::write(const void *from, size_t size)
{
    return size == 0 || std::fwrite(from, 1, size, file_) == size;
}

bool pack(ByteSource &in, ByteSink &out, uint32_t block_size, std::string &error,
          const Progress &progress)
{
    if (block_size == 0 || block_size > kMaxBlockSize) {
        error = "the block size must be 1 to " + std::to_string(kMaxBlockSize) + " bytes";
        return false;
    }
    uint8_t header[kHeaderSize] = {kMagic[0], kMagic[1], kMagic[2], kMagic[3], kContainerVersion};
    if (!out.write(header, sizeof header)) {
        error = "cannot write the output";
        return false;
    }
    std::vector<uint8_t> block(block_size), streams;
    uint64_t total = 0;
    for (;;) {
        const size_t got = read_fully(in, block.data(), block_size);
        if (in.failed()) {
            error = "cannot read the input";
            return false;
        }
        if (got == 0)
            break;
        size_t table_size = 0;
        if (!encode_block(block.data(), got, streams, table_size, error))
            return false;
        uint8_t head[1 + kBlockHeaderSize];
        head[0] = kHuffmanBlock;
        store_le32(head + 1, static_cast<uint32_t>(got));
        store_le32(head + 5, static_cast<uint32_t>(table_size));
        store_le32(head + 9, static_cast<uint32_t>(streams.size() - table_size));
        store_le32(head + 13, crc_of(block.data(), got));
        if (!out.write(head, sizeof head) || !out.write(streams.data(), streams.size())) {
            error = "cannot write the output";
            return false;
        }
        total += got;
        if (progress)
            progress(total);
        if (got < block_size)
            break;
    }
    uint8_t end[9] = {kEndMarker};
    store_le64(end + 1, total);
    if (!out.write(end, sizeof end)) {
        error = "cannot write the output";
        return false;
    }
    return true;
}

namespace
{

struct TreeRelease {
    void operator()(HUFFNODE *root) const { free_tree(root); }
};

// Checks a table stream whole before anything is built from it. On success
// `shape` holds the 2L - 1 shape characters and a NUL, `symbols` the leaves.
bool check_table_stream(const uint8_t *table, size_t size, int &leaves, std::string &shape,
                        std::array<uint8_t, 256> &symbols, std::string &error)
{
    const int32_t count = load_le32s(table);
    if (count < 1 || count > 256) {
        error = "leaf count " + std::to_string(count) + " is outside 1 to 256";
        return false;
    }
    leaves = count;
    if (size != table_stream_size(static_cast<size_t>(count))) {
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
            if (depth + 1 > kMaxCodeLength) {
                error = "tree is deeper than 22 levels";
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
    const size_t words_count = shape_words(static_cast<size_t>(count));
    const uint32_t last = load_le32(words + 4 * (words_count - 1));
    const size_t used = bits - 32 * (words_count - 1); // 1 to 32 bits of the last word
    if (used < 32 && (last & ((uint32_t{1} << (32 - used)) - 1u)) != 0) {
        error = "bits after the tree shape are not 0";
        return false;
    }
    return true;
}

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

struct Decoder {
    std::unique_ptr<HUFFLOOKUP, decltype(&std::free)> table{nullptr, &std::free};
};

bool decode_block(Decoder &decoder, const std::string &shape,
                  const std::array<uint8_t, 256> &symbols, int leaves,
                  const std::vector<uint8_t> &encoded, uint8_t *out, size_t count,
                  std::string &error)
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

    if (!decoder.table) {
        decoder.table.reset(
            static_cast<HUFFLOOKUP *>(std::calloc(kLookupEntries, sizeof(HUFFLOOKUP))));
        if (!decoder.table) {
            error = "no memory for the lookup table";
            return false;
        }
    }
    for (int i = 0; i < leaves; ++i) {
        const HUFFCODE &c = codes[symbols[static_cast<size_t>(i)]];
        refill(symbols[static_cast<size_t>(i)], c.code, c.length, decoder.table.get());
    }

    // The encoded words, then the zero word that the window reads ahead into,
    // and one more so that a stream that ends too early is caught below
    // before any read could leave the array.
    const size_t word_count = encoded.size() / 4;
    std::vector<uint32_t> words(word_count + 2, 0);
    for (size_t i = 0; i < word_count; ++i)
        words[i] = load_le32(encoded.data() + 4 * i);
    const uint64_t available = 32 * static_cast<uint64_t>(word_count);

    uint32_t window = words[0];
    int word_index = 1, free_bits = 32;
    HUFFLOOKUP entry{};
    // The cursor runs 32 bits ahead of the codes consumed.
    auto consumed = [&] { return 32 * static_cast<uint64_t>(word_index) - free_bits; };
    for (size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>(decosymbol(decoder.table.get(), words.data(), &window, &entry,
                                                 &word_index, &free_bits));
        if (consumed() > available) {
            error = "encoded stream ends before its " + std::to_string(count) + " symbols";
            return false;
        }
    }
    const uint64_t used = consumed();
    if ((used + 31) / 32 != word_count) {
        error = "encoded stream is longer than its symbols need";
        return false;
    }
    // The window holds the 32 bits after the last code: padding, then the
    // zero word.
    if (window != 0) {
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
    if (header[4] != kContainerVersion) {
        error = "container version " + std::to_string(header[4]) +
                " is not supported (this dctlab reads version " +
                std::to_string(kContainerVersion) + ")";
        return false;
    }
    if (header[5] != 0 || header[6] != 0 || header[7] != 0) {
        error = "damaged container header";
        return false;
    }

    Decoder decoder;
    std::vector<uint8_t> encoded, original;
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
        if (!check_table_stream(table, table_size, leaves, shape, symbols, error)) {
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
        if (!read_growing(in, encoded_size, encoded)) {
            error = where + "truncated encoded stream";
            return false;
        }
        original.resize(length);
        if (!decode_block(decoder, shape, symbols, leaves, encoded, original.data(), length,
                          error)) {
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

} // namespace dctlab::tool
