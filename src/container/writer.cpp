// The packer: blocks planned, coded or stored, written one after another.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "container.h"
#include "build_code.h"
#include "encode_words.h"
#include "format.h"
#include "heap_ptr.h"
#include "in_order.h"
#include "little_endian.h"
#include "planning.h"

namespace dctlab::container
{

namespace
{

// Stored bytes go out in pieces of 4 MiB: a reader checks a piece whole
// before it copies it out, and measured, pieces of 1 MiB or less cost up to
// a third of the speed of the check and copy, 4 MiB no longer.
constexpr size_t kStoredPiece = size_t{4} << 20;

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

// A block's coded bytes and the tree's nodes, kept from block to block.
// Unlike a vector the bytes are not zeroed first, since the encoder
// overwrites them anyway: for a large block that filling cost as much as a
// tenth of pack.
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
    huffman::CodeScratch code;

  private:
    dctlab::heap_ptr<uint8_t[]> bytes_;
    size_t capacity_ = 0;
};

// Below this a block is one stream with form_tree's own code: four streams
// would cost up to 24 bytes more (three stream lengths, three part-filled
// words) and save little time on so few symbols. Planned blocks are at
// least a segment long, so only the last block of an input can be shorter.
constexpr size_t kFourStreamsFrom = size_t{4} << 10;

// One block: in four streams, or stored where that is smaller. A block of
// one byte value takes no code bits and is a plain Huffman block with an
// empty stream, as is a block shorter than kFourStreamsFrom with a stream
// of its own.
bool write_block(ByteSink &out, const uint8_t *data, const Span &span, Scratch &scratch,
                 std::string &error)
{
    const size_t size = span.end - span.begin;
    const uint8_t *bytes = data + span.begin;
    std::array<int32_t, 256> counts;
    int leaves = 0;
    for (int b = 0; b < 256; ++b) {
        counts[b] = static_cast<int32_t>(span.counts[b]); // below 2^28 + 1
        leaves += counts[b] != 0 ? 1 : 0;
    }
    const bool four = leaves > 1 && size >= kFourStreamsFrom;
    std::array<HUFFCODE, 256> codes;
    huffman::TableBytes table;
    huffman::build_code(counts.data(), 256, four ? kMaxShortCodeLength : kMaxCodeLength,
                        scratch.code, codes.data(), table);
    const int64_t bits = huffman::code_bits(codes.data());
    if (bits < 0) {
        error = "the encoder failed";
        return false;
    }
    // Each stream ends on a word of its own: at most three words beyond the
    // codes' own.
    const size_t most_words =
        static_cast<size_t>((bits + 31) / 32) + (four ? huffman::stream_count - 1 : 0);
    const size_t head_size = 1 + (four ? kFourStreamHeaderSize : kBlockHeaderSize);
    if (head_size + table.size + 4 * most_words >= size + (1 + kStoredHeaderSize)) {
        if (!write_stored(out, bytes, size)) {
            error = "cannot write the output";
            return false;
        }
        return true;
    }
    uint8_t head[1 + kFourStreamHeaderSize];
    store_le32(head + 1, static_cast<uint32_t>(size));
    store_le32(head + 5, static_cast<uint32_t>(table.size));
    std::array<uint8_t *, huffman::stream_count> streams{};
    std::array<size_t, huffman::stream_count> words{};
    if (four) {
        int longest = 0;
        for (const HUFFCODE &c : codes)
            longest = std::max(longest, c.length);
        std::array<size_t, huffman::stream_count> room;
        size_t total = 0;
        for (int k = 0; k < huffman::stream_count; ++k) {
            room[k] = 4 * huffman::short_words_bound(huffman::stream_share(size, k + 1) -
                                                         huffman::stream_share(size, k),
                                                     longest);
            total += room[k];
        }
        uint8_t *coded = scratch.take(total);
        if (!coded) {
            error = "no memory for the coded block";
            return false;
        }
        for (int k = 0; k < huffman::stream_count; ++k) {
            streams[k] = coded;
            coded += room[k];
        }
        huffman::encode_four(bytes, size, codes.data(), streams.data(), words.data());
        head[0] = kFourStreamBlock;
        for (int k = 0; k < huffman::stream_count; ++k)
            store_le32(head + 9 + 4 * k, static_cast<uint32_t>(4 * words[k]));
        store_le32(head + 25, crc_of(bytes, size));
    } else if (leaves > 1) {
        words[0] = static_cast<size_t>((bits + 31) / 32);
        streams[0] = scratch.take(4 * words[0]);
        if (!streams[0]) {
            error = "no memory for the coded block";
            return false;
        }
        if (!huffman::encode_words(bytes, size, codes.data(), streams[0], words[0])) {
            error = "the encoder failed";
            return false;
        }
    }
    if (!four) {
        head[0] = kHuffmanBlock;
        store_le32(head + 9, static_cast<uint32_t>(4 * words[0]));
        store_le32(head + 13, crc_of(bytes, size));
    }
    bool written = out.write(head, head_size) && out.write(table.bytes.data(), table.size);
    for (int k = 0; k < huffman::stream_count && written; ++k)
        written = words[k] == 0 || out.write(streams[k], 4 * words[k]);
    if (!written) {
        error = "cannot write the output";
        return false;
    }
    return true;
}

// Plans one unit of input into blocks and writes them.
bool write_unit(ByteSink &out, const uint8_t *data, size_t size, std::vector<Span> &blocks,
                Scratch &buffer, std::string &error)
{
    plan_blocks(data, size, blocks);
    for (const Span &span : blocks)
        if (!write_block(out, data, span, buffer, error))
            return false;
    return true;
}

// Consecutive blocks of one unit, coded on a worker into memory. Blocks are
// gathered to at least kBatch bytes, so that the hand-over costs little
// beside the coding even where the plan cuts blocks of a few KiB.
constexpr size_t kBatch = size_t{1} << 20;

struct BatchJob {
    std::shared_ptr<dctlab::heap_ptr<uint8_t[]>> unit; // the unit's bytes, unless lent
    const uint8_t *data = nullptr;
    std::vector<Span> spans;
    uint64_t finishes = 0; // the unit's size, for its last batch
    MemorySink coded;
    std::unique_ptr<Scratch> scratch;
    std::string error;
    bool ok = false;
};

} // namespace

bool pack(ByteSource &in, ByteSink &out, uint32_t block_size, std::string &error,
          const Progress &progress, unsigned threads)
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
    uint64_t total = 0;
    // Units are independent: each is planned alone, then coded block by
    // block. With threads, this thread reads and plans, the workers code
    // batches of blocks into memory, and the batches are written in order,
    // so the output does not depend on the number of threads.
    std::string failure;
    // Coded bytes and scratch go back here once written, so that the next
    // batches reuse warm memory instead of fresh pages.
    std::vector<std::vector<uint8_t>> spare_coded;
    std::vector<std::unique_ptr<Scratch>> spare_scratch;
    // As many batches waiting as a whole unit makes, so that the workers
    // code one unit while the next is planned: at most three units (one of
    // them being read) and their coded bytes are in memory.
    const unsigned in_flight = threads + 2 + static_cast<unsigned>(block_size / kBatch);
    InOrder<std::shared_ptr<BatchJob>> coding(
        threads, in_flight, [&](std::shared_ptr<BatchJob> &job) {
            if (!job->ok) {
                failure = job->error;
                return false;
            }
            if (!out.write(job->coded.bytes.data(), job->coded.bytes.size())) {
                failure = "cannot write the output";
                return false;
            }
            total += job->finishes;
            if (progress && job->finishes)
                progress(total);
            job->coded.bytes.clear();
            spare_coded.push_back(std::move(job->coded.bytes));
            spare_scratch.push_back(std::move(job->scratch));
            return true;
        });
    // A unit is read into memory only when the source cannot lend it in
    // place, and a buffer grows only as far as the input reaches.
    std::vector<uint8_t> unit;
    Scratch buffer;
    std::vector<Span> blocks;
    for (;;) {
        const int64_t left = in.remaining();
        const size_t want = left >= 0 ? static_cast<size_t>(std::min<int64_t>(left, block_size))
                                      : size_t{block_size};
        const uint8_t *data = want > 0 ? in.borrow(want) : nullptr;
        size_t got = want;
        std::shared_ptr<dctlab::heap_ptr<uint8_t[]>> owned;
        if (!data) {
            const size_t room = want > 0 ? want : block_size;
            if (threads > 1) {
                owned = std::make_shared<dctlab::heap_ptr<uint8_t[]>>(
                    static_cast<uint8_t *>(std::malloc(room)));
                if (!*owned) {
                    error = "no memory for the input";
                    return false;
                }
                data = owned->get();
            } else {
                unit.resize(room);
                data = unit.data();
            }
            got = read_fully(in, const_cast<uint8_t *>(data), room);
        }
        if (in.failed()) {
            error = "cannot read the input";
            return false;
        }
        if (got == 0)
            break;
        if (threads > 1) {
            plan_blocks(data, got, blocks);
            for (size_t first = 0; first < blocks.size();) {
                auto job = std::make_shared<BatchJob>();
                job->unit = owned;
                job->data = data;
                size_t bytes = 0, last = first;
                while (last < blocks.size() && bytes < kBatch) {
                    bytes += blocks[last].end - blocks[last].begin;
                    job->spans.push_back(blocks[last++]);
                }
                first = last;
                job->finishes = first == blocks.size() ? got : 0;
                if (!spare_coded.empty()) {
                    job->coded.bytes = std::move(spare_coded.back());
                    spare_coded.pop_back();
                }
                job->coded.bytes.reserve(bytes + bytes / 16 + 4096);
                if (!spare_scratch.empty()) {
                    job->scratch = std::move(spare_scratch.back());
                    spare_scratch.pop_back();
                } else {
                    job->scratch = std::make_unique<Scratch>();
                }
                const bool given = coding.add([job] {
                    job->ok = true;
                    for (const Span &span : job->spans)
                        if (!write_block(job->coded, job->data, span, *job->scratch, job->error)) {
                            job->ok = false;
                            break;
                        }
                    return job;
                });
                if (!given) {
                    error = failure;
                    return false;
                }
            }
        } else {
            if (!write_unit(out, data, got, blocks, buffer, error))
                return false;
            total += got;
            if (progress)
                progress(total);
        }
        if (got < block_size)
            break;
    }
    if (!coding.drain()) {
        error = failure;
        return false;
    }
    uint8_t end[9] = {kEndMarker};
    store_le64(end + 1, total);
    if (!out.write(end, sizeof end)) {
        error = "cannot write the output";
        return false;
    }
    return true;
}

} // namespace dctlab::container
