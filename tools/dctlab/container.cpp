#include "container.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "crc32_fast.h"
#include "encode_words.h"
#include "fast_decode.h"
#include "heap_ptr.h"
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
constexpr uint8_t kStoredBlock = 2;
constexpr size_t kHeaderSize = 8;
constexpr size_t kBlockHeaderSize = 16; // N, A, E, CRC after the type byte
constexpr size_t kStoredHeaderSize = 8; // N, CRC after the type byte
// The decoder serves codes of up to 22 bits, and form_tree writes no longer.
constexpr int kMaxCodeLength = 22;
// Where the packer may cut. Measured on text and executables, 8 KiB segments
// beat zlib's Huffman-only size where 32 and 64 KiB did not.
constexpr size_t kSegment = size_t{8} << 10;
// Stored bytes go out in pieces of 4 MiB: a reader checks a piece whole
// before it copies it out, and measured, pieces of 1 MiB or less cost up to
// a third of the speed of the check and copy, 4 MiB no longer.
constexpr size_t kStoredPiece = size_t{4} << 20;

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
    return crc32_of(data, size);
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

using Counts = std::array<uint32_t, 256>;

// Four tables side by side, so that runs of one byte do not wait on the
// increment before.
void count_bytes(const uint8_t *data, size_t size, Counts &counts)
{
    std::array<std::array<uint32_t, 256>, 4> part{};
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        ++part[0][data[i]];
        ++part[1][data[i + 1]];
        ++part[2][data[i + 2]];
        ++part[3][data[i + 3]];
    }
    for (; i < size; ++i)
        ++part[0][data[i]];
    for (int b = 0; b < 256; ++b)
        counts[b] = part[0][b] + part[1][b] + part[2][b] + part[3][b];
}

// log2 of a count: a table for counts up to 2^13, and for larger ones the
// top 13 bits from the table with linear interpolation in the bits below,
// within 1e-8 of log2. That keeps planning cheap next to the coding itself.
double log2_of(uint32_t n)
{
    static const std::array<double, 8193> table = [] {
        std::array<double, 8193> t{};
        for (size_t i = 1; i < t.size(); ++i)
            t[i] = std::log2(static_cast<double>(i));
        return t;
    }();
    if (n < 8192)
        return table[n];
    const int shift = 31 - __builtin_clz(n) - 12;
    const uint32_t top = n >> shift;
    const double below = static_cast<double>(n & ((1u << shift) - 1u)) / (1u << shift);
    return shift + table[top] + below * (table[top + 1] - table[top]);
}

// What a Huffman block of these counts is expected to cost, in bits: the
// order-0 entropy, which the code comes within a fraction of a bit a symbol
// of, plus the block header and table stream.
double expected_bits(const Counts &counts)
{
    uint32_t total = 0;
    double sum = 0;
    int leaves = 0;
    for (uint32_t c : counts)
        if (c != 0) {
            total += c;
            sum += c * log2_of(c);
            ++leaves;
        }
    if (leaves == 0)
        return 0;
    const double table = 1 + kBlockHeaderSize + table_stream_size(static_cast<size_t>(leaves));
    return total * log2_of(total) - sum + 8 * table;
}

struct Span {
    size_t begin, end;
    Counts counts;
};

// Cuts one unit of input into blocks at segment boundaries: a segment joins
// the block before it unless coding the two apart is expected to be smaller.
void plan_blocks(const uint8_t *data, size_t size, std::vector<Span> &blocks)
{
    blocks.clear();
    Span block{0, 0, {}};
    double block_bits = 0;
    Counts segment{};
    for (size_t at = 0; at < size; at += kSegment) {
        const size_t end = std::min(size, at + kSegment);
        count_bytes(data + at, end - at, segment);
        if (at == 0) {
            block = Span{0, end, segment};
            block_bits = expected_bits(segment);
            continue;
        }
        Counts joined;
        for (int b = 0; b < 256; ++b)
            joined[b] = block.counts[b] + segment[b];
        const double joined_bits = expected_bits(joined);
        const double segment_bits = expected_bits(segment);
        if (joined_bits <= block_bits + segment_bits) {
            block.end = end;
            block.counts = joined;
            block_bits = joined_bits;
        } else {
            blocks.push_back(block);
            block = Span{at, end, segment};
            block_bits = segment_bits;
        }
    }
    if (size > 0)
        blocks.push_back(block);
}

// The table stream of a block's code, as form_tree writes it.
bool table_stream_of(const Counts &counts, std::array<HUFFCODE, 256> &codes,
                     std::vector<uint8_t> &table, std::string &error)
{
    std::array<int32_t, 256> signed_counts;
    for (int b = 0; b < 256; ++b)
        signed_counts[b] = static_cast<int32_t>(counts[b]); // below 2^28 + 1
    codes = {};
    char *buffer = nullptr;
    size_t buffer_size = 0;
    std::FILE *out = open_memstream(&buffer, &buffer_size);
    if (!out) {
        error = "no memory for the encoder's stream";
        return false;
    }
    form_tree(out, signed_counts.data(), 256, codes.data());
    const bool written = std::ferror(out) == 0;
    std::fclose(out);
    std::unique_ptr<char, decltype(&std::free)> owned(buffer, &std::free);
    if (!written || buffer_size < table_stream_size(1)) {
        error = "no memory for the encoder's stream";
        return false;
    }
    table.assign(buffer, buffer + buffer_size);
    return true;
}

bool write_stored(ByteSink &out, const uint8_t *data, size_t size)
{
    for (size_t at = 0; at < size; at += kStoredPiece) {
        const size_t piece = std::min(kStoredPiece, size - at);
        uint8_t head[1 + kStoredHeaderSize];
        head[0] = kStoredBlock;
        store_le32(head + 1, static_cast<uint32_t>(piece));
        store_le32(head + 5, crc_of(data + at, piece));
        if (!out.write(head, sizeof head) || !out.write(data + at, piece))
            return false;
    }
    return true;
}

// A block's coded bytes, kept from block to block. Unlike a vector it does
// not zero what the encoder overwrites anyway: for a large block that
// filling cost as much as a tenth of pack.
class Scratch
{
  public:
    uint8_t *take(size_t size)
    {
        if (size > capacity_) {
            bytes_.reset(static_cast<uint8_t *>(std::malloc(size)));
            capacity_ = bytes_ ? size : 0;
        }
        return bytes_.get();
    }

  private:
    dctlab::heap_ptr<uint8_t[]> bytes_;
    size_t capacity_ = 0;
};

// One block: Huffman coded when that is smaller, stored otherwise.
bool write_block(ByteSink &out, const uint8_t *data, const Span &span, Scratch &buffer,
                 std::string &error)
{
    const size_t size = span.end - span.begin;
    std::array<HUFFCODE, 256> codes;
    std::vector<uint8_t> table;
    if (!table_stream_of(span.counts, codes, table, error))
        return false;
    const int64_t bits = dctlab::huffman::code_bits(codes.data());
    if (bits < 0) {
        error = "the encoder failed";
        return false;
    }
    const size_t words = static_cast<size_t>((bits + 31) / 32);
    const size_t coded = 1 + kBlockHeaderSize + table.size() + 4 * words;
    if (coded >= size + (1 + kStoredHeaderSize)) {
        if (!write_stored(out, data + span.begin, size)) {
            error = "cannot write the output";
            return false;
        }
        return true;
    }
    uint8_t *head = buffer.take(coded);
    if (!head) {
        error = "no memory for the coded block";
        return false;
    }
    head[0] = kHuffmanBlock;
    store_le32(head + 1, static_cast<uint32_t>(size));
    store_le32(head + 5, static_cast<uint32_t>(table.size()));
    store_le32(head + 9, static_cast<uint32_t>(4 * words));
    store_le32(head + 13, crc_of(data + span.begin, size));
    std::memcpy(head + 1 + kBlockHeaderSize, table.data(), table.size());
    if (!dctlab::huffman::encode_words(data + span.begin, size, codes.data(),
                                       head + 1 + kBlockHeaderSize + table.size(), words)) {
        error = "the encoder failed";
        return false;
    }
    if (!out.write(head, coded)) {
        error = "cannot write the output";
        return false;
    }
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

const uint8_t *MemorySource::borrow(size_t size)
{
    if (size > size_ - at_)
        return nullptr;
    const uint8_t *at = data_ + at_;
    at_ += size;
    return at;
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
    // A unit is read into `unit` only when the source cannot lend it in
    // place, and the buffer grows only as far as the input reaches.
    std::vector<uint8_t> unit;
    Scratch buffer;
    std::vector<Span> blocks;
    uint64_t total = 0;
    for (;;) {
        const int64_t left = in.remaining();
        const size_t want = left >= 0 ? static_cast<size_t>(std::min<int64_t>(left, block_size))
                                      : size_t{block_size};
        const uint8_t *data = want > 0 ? in.borrow(want) : nullptr;
        size_t got = want;
        if (!data) {
            unit.resize(want > 0 ? want : block_size);
            got = read_fully(in, unit.data(), unit.size());
            data = unit.data();
        }
        if (in.failed()) {
            error = "cannot read the input";
            return false;
        }
        if (got == 0)
            break;
        plan_blocks(data, got, blocks);
        for (const Span &span : blocks)
            if (!write_block(out, data, span, buffer, error))
                return false;
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

} // namespace dctlab::tool
