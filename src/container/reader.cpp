// The reader: every length, table, stream and CRC checked before a block
// reaches the output.
#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "big_endian.h"
#include "container.h"
#include "fast_decode.h"
#include "format.h"
#include "heap_ptr.h"
#include "in_order.h"
#include "lengths_layout.h"
#include "little_endian.h"
#include "read_lengths.h"
#include "short_decode.h"
#include "table_check.h"

namespace dctlab::container
{

namespace
{

std::string block_name(uint64_t index)
{
    return "block " + std::to_string(index) + ": ";
}

// Reads `size` bytes into `bytes`, growing the buffer as data arrives, so a
// length that a damaged header claims costs no more memory than the input
// actually holds.
bool read_growing(ByteSource &in, size_t size, std::vector<uint8_t> &bytes)
{
    constexpr size_t kChunk = size_t{1} << 20;
    // A buffer kept from earlier blocks is written over, not cleared first.
    for (size_t at = 0; at < size;) {
        const size_t want = std::min(kChunk, size - at);
        if (bytes.size() < at + want)
            bytes.resize(at + want);
        const size_t got = read_fully(in, bytes.data() + at, want);
        if (got < want)
            return false;
        at += got;
    }
    return true;
}

// What remains of the input, up to `most` bytes, into `bytes`, which grows
// only as far as the input reaches, from 4 KiB on, as what remains is
// mostly a small file's last block; returns how many.
size_t read_rest(ByteSource &in, size_t most, std::vector<uint8_t> &bytes)
{
    size_t at = 0;
    for (size_t chunk = size_t{4} << 10; at < most; chunk = std::min(2 * chunk, size_t{1} << 20)) {
        const size_t want = std::min(chunk, most - at);
        if (bytes.size() < at + want)
            bytes.resize(at + want);
        const size_t got = read_fully(in, bytes.data() + at, want);
        at += got;
        if (got < want)
            break;
    }
    return at;
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

// A source that lends nothing (a file, a pipe), read in chunks of 1 MiB
// that it lends from: a block's streams are decoded where one read put
// them, with no copy a block, and a header's bytes come from memory, not
// a call into stdio each. A lent block holds its chunk (holder()) for as
// long as it needs the bytes; a chunk that nothing holds is read into again.
class ChunkReader final : public ByteSource
{
  public:
    static constexpr size_t kChunk = size_t{1} << 20;
    using Chunk = std::shared_ptr<std::vector<uint8_t>>;

    explicit ChunkReader(ByteSource &in) : in_(in) {}
    size_t read(void *into, size_t size) override
    {
        auto *to = static_cast<uint8_t *>(into);
        size_t got = 0;
        while (got < size && (at_ < end_ || refill())) {
            const size_t n = std::min(size - got, end_ - at_);
            std::memcpy(to + got, chunk_->data() + at_, n);
            at_ += n;
            got += n;
        }
        return got;
    }
    int64_t remaining() const override
    {
        const int64_t left = in_.remaining();
        return left < 0 ? -1 : left + static_cast<int64_t>(end_ - at_);
    }
    bool failed() const override { return in_.failed(); }
    // Bytes up to half a chunk, moving what is left of the chunk to the
    // front of a fresh one where they reach past it; longer ones are read.
    const uint8_t *borrow(size_t size) override
    {
        if (end_ - at_ < size && (size > kChunk / 2 || !refill() || end_ - at_ < size))
            return nullptr;
        const uint8_t *lent = chunk_->data() + at_;
        at_ += size;
        return lent;
    }
    const Chunk &holder() const { return chunk_; }

  private:
    // A chunk that nothing else holds, with the unread bytes of the present
    // one at its front and as many more as the source gives; false when it
    // gives none.
    bool refill()
    {
        Chunk next;
        for (const Chunk &spare : spares_)
            if (spare.use_count() == 1 && spare != chunk_)
                next = spare;
        if (!next && chunk_ && chunk_.use_count() == 2)
            next = chunk_; // held by spares_ and here alone
        if (!next) {
            next = std::make_shared<std::vector<uint8_t>>(kChunk);
            spares_.push_back(next);
        }
        const size_t keep = end_ - at_;
        if (keep > 0)
            std::memmove(next->data(), chunk_->data() + at_, keep);
        const size_t got = read_fully(in_, next->data() + keep, kChunk - keep);
        chunk_ = std::move(next);
        at_ = 0;
        end_ = keep + got;
        return got > 0;
    }

    ByteSource &in_;
    Chunk chunk_;
    std::vector<Chunk> spares_;
    size_t at_ = 0, end_ = 0;
};

// What decoding needs beyond a block: kept from block to block on one thread.
struct Decoding {
    dctlab::huffman::ShortDecoder short_codes;
    dctlab::huffman::FastDecoder any_codes;
    // A long block's stream, made whole words again, and its room.
    dctlab::heap_ptr<uint8_t[]> whole_words;
    size_t whole_capacity = 0;
    dctlab::heap_ptr<uint8_t[]> original;
    size_t capacity = 0;
    // Checked blocks held in `original` before `at`, not yet written: on
    // one thread, blocks go out some 256 KiB at a time, not a write each.
    size_t at = 0;
    bool gathers = false; // takes kGathered bytes at least, to gather blocks in
};

// What one thread gathers of checked blocks before it writes them: few
// writes, each from bytes still in the cache (gathered a MiB at a time,
// they had left it, and unpack of text took 3% longer).
constexpr size_t kGathered = size_t{256} << 10;


// One block, its headers and table checked, to be checked against its CRC
// (and first decoded, for a Huffman block) on its own.
struct BlockJob {
    std::string where;
    bool huffman = false;
    uint32_t length = 0, crc = 0;
    const uint8_t *bytes = nullptr; // the stored bytes or the encoded streams
    size_t size = 0;
    std::vector<uint8_t> owned; // those bytes, where the source could not lend them
    ChunkReader::Chunk chunk;   // where a chunk reader lent them, the chunk
    uint64_t offset = 0; // where the block's bytes go in the output
    uint64_t taken = 0;  // the source's bytes taken up to the block's end
    int streams = 1;     // encoded streams, one after another in `bytes`
    std::array<size_t, huffman::stream_count> stream_size{};
    bool exact = false; // streams end at the byte their codes reach, not the word
    // Streams of little-endian words, or (lengths blocks from version 9) of
    // bytes in the order of their bits.
    huffman::StreamOrder order = huffman::StreamOrder::words;
    int leaves = 0, longest = 0;
    // The code: by its lengths for a lengths block, else by its codes.
    bool canonical = false;
    bool long_codes = false; // lengths of up to 15 bits, in a long table
    std::array<uint8_t, huffman::any_lengths_table_most_bytes> table; // a lengths block's
    size_t table_size = 0;
    std::array<uint8_t, 256> lengths;
    // Set for the leaves alone (and read for them alone): a job is made for
    // every block, and clearing them cost more than their use.
    std::array<uint8_t, 256> symbols;
    std::array<HUFFCODE, 256> codes;
    std::unique_ptr<Decoding> own;   // a decoder of its own, on a thread of its own
    const uint8_t *result = nullptr; // what goes to the output once it checked
    std::string error;
    bool ok = false;
};

// Whether a stream's codes took exactly its bytes (`exact`), or its words,
// with zero bits after the last one; `which` names the stream in a block
// of several.
bool check_stream(const uint8_t *stream, size_t bytes, uint64_t used, size_t count, bool exact,
                  int stream_index, std::string &error,
                  huffman::StreamOrder order = huffman::StreamOrder::words)
{
    // A block's one stream has no number; its name is made only for an
    // error, not for every stream checked.
    const auto which = [stream_index] {
        return stream_index < 0 ? std::string() : " " + std::to_string(stream_index);
    };
    const uint64_t available = 8 * static_cast<uint64_t>(bytes);
    if (used > available) {
        error =
            "encoded stream" + which() + " ends before its " + std::to_string(count) + " symbols";
        return false;
    }
    if (exact ? (used + 7) / 8 != bytes : (used + 31) / 32 != bytes / 4) {
        error = "encoded stream" + which() + " is longer than its symbols need";
        return false;
    }
    if (bytes == 0)
        return true;
    if (order == huffman::StreamOrder::bytes) {
        // Exact, so only the last byte holds bits after the last code.
        const unsigned tail = static_cast<unsigned>(used % 8);
        if (tail != 0 && (stream[bytes - 1] & (0xFFu >> tail)) != 0) {
            error = "bits after the last code" + which() + " are not 0";
            return false;
        }
        return true;
    }
    // The last word, with the zero bytes left out below its top ones.
    const size_t words = (bytes + 3) / 4, top = bytes - 4 * (words - 1);
    uint32_t last = 0;
    for (size_t i = 0; i < top; ++i)
        last |= uint32_t{stream[4 * (words - 1) + i]} << (8 * (4 - top + i));
    const unsigned tail = static_cast<unsigned>(used - 32 * uint64_t{words - 1});
    if (tail < 32 && (last & ((1u << (32 - tail)) - 1u)) != 0) {
        error = "bits after the last code" + which() + " are not 0";
        return false;
    }
    return true;
}

// A long block's one stream, with the two-level decoder: read as it is in
// byte order; in words, cut at the byte its codes reach, it is first made
// whole words again, its last word's top bytes put back above zero bytes.
bool decode_long(Decoding &d, const BlockJob &job, uint8_t *out, std::string &error)
{
    namespace hf = dctlab::huffman;
    std::array<HUFFCODE, 256> codes;
    std::array<uint8_t, 256> leaves;
    const int leaf_count =
        hf::canonical_codes(job.lengths.data(), 256, codes.data(), leaves.data());
    if (!d.any_codes.build(codes.data(), leaves.data(), leaf_count)) {
        error = "the lengths give no complete code";
        return false;
    }
    if (job.order == hf::StreamOrder::bytes) {
        const uint64_t used = d.any_codes.decode_bytes(job.bytes, job.size, out, job.length);
        return check_stream(job.bytes, job.size, used, job.length, job.exact, -1, error, job.order);
    }
    const size_t words = (job.size + 3) / 4;
    if (4 * words > d.whole_capacity) {
        d.whole_words.reset(static_cast<uint8_t *>(std::malloc(4 * words)));
        d.whole_capacity = d.whole_words ? 4 * words : 0;
        if (!d.whole_words) {
            error = "no memory for its " + std::to_string(job.size) + " encoded bytes";
            return false;
        }
    }
    uint8_t *const whole = d.whole_words.get();
    if (words > 0) {
        const size_t top = job.size - 4 * (words - 1);
        std::memcpy(whole, job.bytes, 4 * (words - 1));
        std::memset(whole + 4 * (words - 1), 0, 4 - top);
        std::memcpy(whole + 4 * words - top, job.bytes + 4 * (words - 1), top);
    }
    const uint64_t used = d.any_codes.decode(whole, words, out, job.length);
    return check_stream(job.bytes, job.size, used, job.length, job.exact, -1, error, job.order);
}

// Decodes exactly the block's symbols with the code the checked table
// stream gives (the codes dfs_final gives dfr's tree), with the short-code
// decoder where no code is longer than 11 bits and the two-level one
// otherwise; both give the bytes and consume the bits of decosymbol.
bool decode_block(Decoding &d, const BlockJob &job, uint8_t *out, std::string &error)
{
    namespace hf = dctlab::huffman;
    if (job.long_codes)
        return decode_long(d, job, out, error);
    const bool short_codes = job.longest <= kMaxShortCodeLength;
    // The shape was checked to be one complete tree, so the builds succeed;
    // they guard the decoders all the same.
    const bool built =
        job.canonical  ? d.short_codes.build_canonical(job.lengths.data())
        : short_codes ? d.short_codes.build(job.codes.data(), job.symbols.data(), job.leaves)
                      : d.any_codes.build(job.codes.data(), job.symbols.data(), job.leaves);
    if (!built) {
        error = "the tree gives no complete code";
        return false;
    }
    const bool in_place = job.order == hf::StreamOrder::bytes;
    if (short_codes && !in_place && !d.short_codes.make_room(job.size)) {
        error = "no memory for its " + std::to_string(job.size) + " encoded bytes";
        return false;
    }
    const bool two_symbols = hf::ShortDecoder::two_symbols_pay(8 * uint64_t{job.size}, job.length);
    if (job.streams == 1) {
        // Pairs there too: a 600 KB piece of programs, one stream a block,
        // unpacked in 3.6 ms of processor time instead of 4.0.
        const uint64_t used = short_codes
                                  ? d.short_codes.decode_bytes(job.bytes, job.size, out, job.length,
                                                               job.order, two_symbols)
                                  : d.any_codes.decode(job.bytes, job.size / 4, out, job.length);
        return check_stream(job.bytes, job.size, used, job.length, job.exact, -1, error, job.order);
    }
    std::array<uint64_t, hf::stream_count> used;
    d.short_codes.decode_four(job.bytes, job.stream_size.data(), out, job.length, used.data(),
                              two_symbols, job.order);
    const uint8_t *stream = job.bytes;
    for (int k = 0; k < hf::stream_count; stream += job.stream_size[k++])
        if (!check_stream(stream, job.stream_size[k], used[k],
                          hf::stream_share(job.length, k + 1) - hf::stream_share(job.length, k),
                          job.exact, k, error, job.order))
            return false;
    return true;
}

constexpr char kCannotWrite[] = "cannot write the output";

// A stored block into a sink that takes bytes back, on one thread: copied
// into the sink's room where it gives some, its CRC taken on the way, else
// written a piece at a time, each piece's CRC taken right after the copy
// has brought it into the cache; so its bytes are read from memory once
// instead of twice (the CRC, then the copy). Taken back when the CRC
// fails. False only when the sink fails.
bool write_stored_checking(BlockJob &job, ByteSink &out)
{
    constexpr size_t kPiece = size_t{64} << 10;
    uint32_t crc = 0;
    if (uint8_t *to = out.room(job.length)) {
        crc = crc32_copy(0, job.bytes, to, job.length);
    } else {
        for (size_t at = 0; at < job.length; at += kPiece) {
            const size_t size = std::min<size_t>(kPiece, job.length - at);
            if (!out.write(job.bytes + at, size)) {
                out.take_back(at); // no part of an unchecked block stays
                return false;
            }
            crc = crc32_continue(crc, job.bytes + at, size);
        }
    }
    if (crc != job.crc) {
        out.take_back(job.length);
        job.error = job.where + "CRC mismatch: the data is damaged";
        return true;
    }
    job.ok = true;
    return true;
}

// Writes at their places for the workers, one writer at a time: a worker
// that finds another writing leaves its writes to that one and goes back to
// decoding. Two workers writing at once into one file spun on its lock in
// the kernel, a twentieth of unpack's time with two threads.
class PlaceWriter
{
  public:
    struct Piece {
        uint64_t offset;
        const uint8_t *from;
        size_t size;
        BlockJob *job; // told when the write fails
    };
    // A worker's writes, which must stay valid until they are written.
    struct Ticket {
        std::vector<Piece> pieces;
        bool done = false;
    };

    explicit PlaceWriter(ByteSink &out) : out_(out) {}

    // Writes the ticket's pieces now, and then any left meanwhile by other
    // workers; or leaves them to the worker already writing.
    void submit(Ticket &ticket)
    {
        std::unique_lock<std::mutex> hold(lock_);
        ticket.done = false;
        if (busy_) {
            queue_.push_back(&ticket);
            return;
        }
        busy_ = true;
        for (Ticket *next = &ticket; next;) {
            hold.unlock();
            write(*next);
            hold.lock();
            next->done = true;
            written_.notify_all();
            next = nullptr;
            if (!queue_.empty()) {
                next = queue_.front();
                queue_.pop_front();
            }
        }
        busy_ = false;
    }
    void wait(const Ticket &ticket)
    {
        std::unique_lock<std::mutex> hold(lock_);
        written_.wait(hold, [&] { return ticket.done; });
    }

  private:
    void write(Ticket &ticket)
    {
        for (const Piece &piece : ticket.pieces)
            if (!out_.write_at(piece.offset, piece.from, piece.size)) {
                piece.job->ok = false;
                piece.job->error = kCannotWrite;
                return;
            }
    }

    ByteSink &out_;
    std::mutex lock_;
    std::condition_variable written_;
    bool busy_ = false;
    std::deque<Ticket *> queue_;
};

enum class VarintRead { ok, truncated, damaged };

// One varint of a block header or end marker (format.h), of at most
// `value_bits` bits, read a byte at a time.
VarintRead read_varint(ByteSource &in, uint64_t &value, int value_bits = 32)
{
    const size_t most_bytes = static_cast<size_t>(value_bits + 6) / 7;
    const unsigned last_bits = static_cast<unsigned>(value_bits) - 7 * (most_bytes - 1);
    value = 0;
    for (size_t i = 0; i < most_bytes; ++i) {
        uint8_t byte;
        if (read_fully(in, &byte, 1) != 1)
            return VarintRead::truncated;
        if (i == most_bytes - 1 && byte >> last_bits != 0)
            return VarintRead::damaged; // beyond the value's bits, or a byte more
        value |= uint64_t{byte & 0x7Fu} << (7 * i);
        if ((byte & 0x80) == 0)
            return byte == 0 && i > 0 ? VarintRead::damaged : VarintRead::ok;
    }
    return VarintRead::damaged;
}

// Decodes a Huffman block into `into` where given (the sink's room), else
// at d.at, which is 0 unless the block fits after the ones gathered there.
void check_block(BlockJob &job, Decoding &d, uint8_t *into = nullptr)
{
    if (job.canonical && !huffman::read_lengths_table(
                             job.table.data(), job.table_size, job.lengths, job.error,
                             job.long_codes ? huffman::long_lengths : huffman::short_lengths)) {
        job.error = job.where + job.error;
        return;
    }
    if (job.huffman && into) {
        if (!decode_block(d, job, into, job.error)) {
            job.error = job.where + job.error;
            return;
        }
        job.result = into;
    } else if (job.huffman) {
        if (d.at + job.length > d.capacity) {
            const size_t room = d.gathers ? std::max<size_t>(job.length, kGathered) : job.length;
            d.at = 0;
            d.original.reset(static_cast<uint8_t *>(std::malloc(room)));
            d.capacity = d.original ? room : 0;
            if (!d.original) {
                job.error =
                    job.where + "no memory for its " + std::to_string(job.length) + " bytes";
                return;
            }
        }
        if (!decode_block(d, job, d.original.get() + d.at, job.error)) {
            job.error = job.where + job.error;
            return;
        }
        job.result = d.original.get() + d.at;
    } else {
        job.result = job.bytes;
    }
    if (crc_of(job.result, job.length) != job.crc) {
        job.error = job.where + "CRC mismatch: the data is damaged";
        return;
    }
    job.ok = true;
}

} // namespace

bool unpack(ByteSource &source, ByteSink &out, std::string &error, uint32_t max_block,
            const Progress &progress, unsigned threads)
{
    ChunkReader chunks(source);
    const bool chunked = !source.lends();
    const int64_t source_size = source.remaining();
    ByteSource &in = chunked ? static_cast<ByteSource &>(chunks) : source;
    uint8_t header[kOldHeaderSize];
    if (read_fully(in, header, kHeaderSize) != kHeaderSize ||
        std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        error = "not a dctlab container";
        return false;
    }
    const uint8_t version = header[4];
    if (version < kOldestReadableVersion || version > kContainerVersion) {
        error = "container version " + std::to_string(version) +
                " is not supported (this dctlab reads versions " +
                std::to_string(kOldestReadableVersion) + " to " +
                std::to_string(kContainerVersion) + ")";
        return false;
    }
    if (version < kShortHeaderSince) {
        constexpr size_t kReserved = kOldHeaderSize - kHeaderSize;
        if (read_fully(in, header + kHeaderSize, kReserved) != kReserved) {
            error = "not a dctlab container";
            return false;
        }
        if (header[5] != 0 || header[6] != 0 || header[7] != 0) {
            error = "damaged container header";
            return false;
        }
    }

    // Blocks are checked in order on this thread, or with threads each on a
    // thread of its own, and written in order. An error found in a header
    // waits until every block before it has been checked, so that the first
    // damage in the container is the one reported, whatever the threads.
    // With threads and a sink that takes bytes at any place, each thread
    // writes its blocks itself, and with a source read at any place, reads
    // them itself: this thread then parses the headers and takes batches
    // like a worker while the oldest is not done, instead of being the one
    // all the bytes pass through.
    const bool placing = threads > 1 && out.positional();
    uint64_t total = 0, written = 0;
    std::string failure;
    // Decoders, output buffers and input buffers go back here once their
    // block is written, so that each block after the first few reuses warm
    // memory instead of taking fresh pages from the kernel.
    std::vector<std::unique_ptr<Decoding>> spare_decoders;
    std::vector<std::vector<uint8_t>> spare_inputs;
    auto spare_decoder = [&] {
        if (spare_decoders.empty())
            return std::make_unique<Decoding>();
        std::unique_ptr<Decoding> d = std::move(spare_decoders.back());
        spare_decoders.pop_back();
        return d;
    };
    auto spare_input = [&] {
        std::vector<uint8_t> bytes;
        if (!spare_inputs.empty()) {
            bytes = std::move(spare_inputs.back());
            spare_inputs.pop_back();
        }
        return bytes;
    };
    // A block's bytes are needed until it is written: then the source may
    // give back what lies before its end.
    auto release_through = [&](const BlockJob &job) {
        if (job.taken != 0)
            source.release_before(job.taken);
    };
    auto deliver = [&](BlockJob &job) {
        if (!job.ok) {
            failure = job.error;
            return false;
        }
        if (!placing && !out.write(job.result, job.length)) {
            failure = kCannotWrite;
            return false;
        }
        release_through(job);
        written += job.length;
        if (progress)
            progress(written);
        if (job.own)
            spare_decoders.push_back(std::move(job.own));
        if (job.owned.capacity() != 0)
            spare_inputs.push_back(std::move(job.owned));
        return true;
    };
    // Blocks go to the workers in batches of consecutive ones, at least
    // kBatch bytes of output each: handing over blocks of some 30 KiB one
    // by one cost the workers more in waking and waiting than two threads
    // gained. Three batches a thread keep the threads busy; two where they
    // write their own, since this thread then mostly parses headers, and
    // each batch in flight holds a decoder's fresh pages. With two threads
    // on 64 MiB, batches of 256 KiB were 1 to 6% faster than batches of a
    // MiB (in six comparisons of 21 runs in turn, text and programs), 128
    // KiB slower again, and more batches in flight slower too. The first
    // batches are smaller, doubling up to kBatch, so that every worker has
    // one soon after the start: with the first of a whole MiB, the second
    // worker waited some 3 ms for its first batch while this thread parsed
    // on the first worker's core.
    //
    // A block counts as kLeastBatchShare bytes at least toward its batch:
    // each job holds some 3 KiB of its own (its code, its table), and on a
    // sink that is not written at places a decoder of some 20 KiB, so that a
    // batch counted by output alone held 262,144 blocks of one byte (a
    // container packed with blocks of one byte) and unpacking 2 MB of them
    // with two threads took 5 GB and 13 s, where one thread took 12 MB and
    // 0.25 s. So a batch is at most 64 blocks.
    constexpr uint64_t kBatch = uint64_t{256} << 10;
    constexpr uint64_t kLeastBatchShare = uint64_t{4} << 10;
    uint64_t batch_goal = kBatch >> 3;
    struct Batch {
        std::vector<std::shared_ptr<BlockJob>> jobs;
        // Where the batch's blocks are written at their places, they are
        // decoded one after another into one decoder, which writes them in
        // a write or two: a decoder for every block in flight took fresh
        // pages all the way through, and a write a block a tenth of the time.
        std::unique_ptr<Decoding> decoding;
        PlaceWriter::Ticket writes;
    };
    // Declared before the workers, so that it outlives their last write.
    PlaceWriter places(out);
    InOrder<std::shared_ptr<Batch>> checking(
        threads, (placing ? 2 : 3) * threads, [&](std::shared_ptr<Batch> &batch) {
            if (placing)
                places.wait(batch->writes);
            for (const auto &job : batch->jobs)
                if (!deliver(*job))
                    return false;
            if (batch->decoding)
                spare_decoders.push_back(std::move(batch->decoding));
            return true;
        });
    std::shared_ptr<Batch> batch;
    uint64_t batch_bytes = 0;
    // Hands the gathered blocks to the workers; each stops at its first
    // failure, which is the one its batch reports.
    auto hand_over = [&] {
        if (!batch)
            return true;
        std::shared_ptr<Batch> given = std::move(batch);
        batch.reset();
        batch_bytes = 0;
        if (placing) {
            given->decoding = spare_decoder();
        }
        return checking.add([given, &places, placing] {
            if (!placing) {
                for (const auto &job : given->jobs) {
                    check_block(*job, *job->own);
                    if (!job->ok)
                        break;
                }
                return given;
            }
            // The batch's blocks follow one another in the output: decoded
            // one after another into the batch's decoder, with room for them
            // all, they go out in a write or two, left to whichever worker
            // writes, and the decoder goes on to the next batch.
            Decoding &d = *given->decoding;
            std::vector<PlaceWriter::Piece> &pieces = given->writes.pieces;
            pieces.clear();
            d.gathers = true;
            d.at = 0;
            size_t room = 0;
            for (const auto &job : given->jobs)
                room += job->huffman ? job->length : 0;
            if (room > d.capacity) {
                // Without room for them all, the blocks wait below for the
                // writes of those before them.
                if (auto *bytes = static_cast<uint8_t *>(std::malloc(room))) {
                    d.original.reset(bytes);
                    d.capacity = room;
                }
            }
            BlockJob *run = nullptr; // the first block of the decoded run
            size_t run_at = 0;       // where the run starts in the decoder's bytes
            auto end_run = [&] {
                if (run && d.at > run_at)
                    pieces.push_back({run->offset, d.original.get() + run_at, d.at - run_at, run});
                run = nullptr;
            };
            for (const auto &job : given->jobs) {
                if (job->huffman && d.at + job->length > d.capacity) {
                    end_run();
                    places.submit(given->writes);
                    places.wait(given->writes);
                    pieces.clear();
                    d.at = 0;
                }
                check_block(*job, d);
                if (!job->ok)
                    break;
                if (job->huffman) {
                    if (!run) {
                        run = job.get();
                        run_at = d.at;
                    }
                    d.at += job->length;
                } else {
                    end_run();
                    pieces.push_back({job->offset, job->result, job->length, job.get()});
                }
            }
            end_run();
            places.submit(given->writes);
            return given;
        });
    };
    Decoding decoding;
    decoding.gathers = threads <= 1;
    std::vector<uint8_t> scratch;
    // On one thread, decoded blocks gather in `decoding` once checked, and
    // go out together: a write a block of some 10 KiB cost a tenth of the
    // time of unpack.
    auto write_gathered = [&] {
        const size_t gathered = decoding.at;
        decoding.at = 0;
        if (gathered > 0 && !out.write(decoding.original.get(), gathered)) {
            failure = kCannotWrite;
            return false;
        }
        return true;
    };
    // Every block handed over and checked: the error of the first that
    // failed, if any, is in `failure`.
    auto check_all = [&] { return write_gathered() && hand_over() && checking.drain(); };
    // The error of a header, after the blocks before it.
    auto fail_after_earlier = [&](const std::string &line) {
        error = check_all() ? line : failure;
        return false;
    };
    // A block in the sink on this thread, checked.
    auto count_written = [&](const BlockJob &job) {
        release_through(job);
        written += job.length;
        if (progress)
            progress(written);
        return true;
    };
    auto submit = [&](const std::shared_ptr<BlockJob> &job) {
        if (threads <= 1) {
            // Straight into the sink where it gives room: no copy. Blocks
            // gather only where it gives none.
            uint8_t *room = job->huffman && decoding.at == 0 ? out.room(job->length) : nullptr;
            if (room) {
                check_block(*job, decoding, room);
                if (!job->ok) {
                    out.take_back(job->length);
                    return deliver(*job);
                }
                return count_written(*job);
            }
            if ((!job->huffman || decoding.at + job->length > decoding.capacity) &&
                !write_gathered())
                return false;
            if (!job->huffman && out.takes_back()) {
                if (!write_stored_checking(*job, out)) {
                    failure = kCannotWrite;
                    return false;
                }
                if (!job->ok)
                    return deliver(*job);
                return count_written(*job);
            }
            check_block(*job, decoding);
            // What checked before a damaged block still reaches the output.
            if (!job->ok && !write_gathered())
                return false;
            if (!job->ok || !job->huffman)
                return deliver(*job);
            decoding.at += job->length;
            return count_written(*job);
        }
        if (!placing)
            job->own = spare_decoder();
        if (!batch)
            batch = std::make_shared<Batch>();
        batch->jobs.push_back(job);
        batch_bytes += std::max<uint64_t>(job->length, kLeastBatchShare);
        if (batch_bytes < batch_goal)
            return true;
        batch_goal = std::min(2 * batch_goal, kBatch);
        return hand_over();
    };
    // The next `size` bytes for a job: lent in place (from the chunk a
    // chunk reader holds them in, which the job then holds too), or read
    // into memory of the job's own with threads, else into the one scratch
    // buffer.
    auto bytes_for = [&](BlockJob &job, size_t size) {
        job.size = size;
        if (threads > 1)
            job.owned = spare_input();
        job.bytes = take(in, size, threads > 1 ? job.owned : scratch);
        if (chunked && threads > 1)
            job.chunk = chunks.holder();
        if (!chunked && source_size >= 0)
            job.taken = static_cast<uint64_t>(source_size - source.remaining());
        return job.bytes != nullptr;
    };
    for (uint64_t index = 0;; ++index) {
        uint8_t type = 0;
        if (read_fully(in, &type, 1) != 1)
            return fail_after_earlier("truncated container: no end marker");
        if (type == kEndMarker) {
            uint64_t claimed_total = 0;
            if (version >= kVarintEndSince) {
                const VarintRead got = read_varint(in, claimed_total, 64);
                if (got != VarintRead::ok)
                    return fail_after_earlier(got == VarintRead::truncated
                                                  ? "truncated container: incomplete end marker"
                                                  : "damaged end marker");
            } else {
                uint8_t end[8];
                if (read_fully(in, end, sizeof end) != sizeof end)
                    return fail_after_earlier("truncated container: incomplete end marker");
                claimed_total = load_le64(end);
            }
            if (claimed_total != total)
                return fail_after_earlier("end marker gives " + std::to_string(claimed_total) +
                                          " bytes in all, the blocks hold " +
                                          std::to_string(total));
            uint8_t extra;
            if (read_fully(in, &extra, 1) != 0)
                return fail_after_earlier("data after the end marker");
            if (!check_all()) {
                error = failure;
                return false;
            }
            return true;
        }
        auto job = std::make_shared<BlockJob>();
        job->where = block_name(index);
        const std::string &where = job->where;
        if (type == kStoredBlock && version >= kStoredSince) {
            uint8_t head[kStoredHeaderSize];
            if (read_fully(in, head, sizeof head) != sizeof head)
                return fail_after_earlier(where + "truncated block header");
            job->length = load_le32(head);
            job->crc = load_le32(head + 4);
            const uint32_t length = job->length;
            if (length == 0 || length > max_block)
                return fail_after_earlier(where + "length " + std::to_string(length) +
                                          " is outside 1 to " + std::to_string(max_block));
            const int64_t left = in.remaining();
            if (left >= 0 && length > static_cast<uint64_t>(left))
                return fail_after_earlier(where + "truncated: its " + std::to_string(length) +
                                          " bytes need more than the " + std::to_string(left) +
                                          " that remain");
            if (!bytes_for(*job, length))
                return fail_after_earlier(where + "truncated stored bytes");
            job->offset = total;
            total += length;
            if (!submit(job)) {
                error = failure;
                return false;
            }
            continue;
        }
        // A final stored block's bytes are the rest of the container, after
        // its CRC; read in growing chunks where the source cannot tell how
        // many remain, up to one byte more than a block may hold.
        if (type == kFinalStoredBlock && version >= kFinalStoredSince) {
            uint8_t crc[kFinalStoredHeaderSize];
            if (read_fully(in, crc, sizeof crc) != sizeof crc)
                return fail_after_earlier(where + "truncated block header");
            job->crc = load_le32(crc);
            const int64_t rest = in.remaining();
            uint64_t length = 0;
            if (rest >= 0) {
                length = static_cast<uint64_t>(rest);
            } else {
                std::vector<uint8_t> &into = threads > 1 ? (job->owned = spare_input()) : scratch;
                length = read_rest(in, size_t{max_block} + 1, into);
                if (in.failed())
                    return fail_after_earlier(where + "truncated stored bytes");
                job->bytes = into.data();
                job->size = static_cast<size_t>(length);
            }
            if (length == 0 || length > max_block)
                return fail_after_earlier(
                    where + (length > max_block && rest < 0
                                 ? "holds more than " + std::to_string(max_block) + " bytes"
                                 : "length " + std::to_string(length) + " is outside 1 to " +
                                       std::to_string(max_block)));
            job->length = static_cast<uint32_t>(length);
            if (rest >= 0 && !bytes_for(*job, static_cast<size_t>(length)))
                return fail_after_earlier(where + "truncated stored bytes");
            job->offset = total;
            total += length;
            if (!submit(job) || !check_all()) {
                error = failure;
                return false;
            }
            return true;
        }
        // A final block is a one-stream block that ends the container: it
        // gives the total where others give N, and no lengths: its table
        // ends where its lengths do, and its stream is the rest.
        // A long block is a one-stream or a final block with codes of up
        // to 15 bits.
        const bool long_block =
            (type == kLongOneStreamBlock || type == kLongFinalBlock) && version >= kLongCodesSince;
        const huffman::LengthsLayout layout =
            long_block ? huffman::long_lengths : huffman::short_lengths;
        const bool final_block = (type == kFinalBlock && version >= kFinalSince) ||
                                 (type == kLongFinalBlock && long_block);
        const bool one_stream_lengths =
            final_block || long_block || (type == kOneStreamBlock && version >= kOneStreamSince);
        const bool lengths_block =
            one_stream_lengths || (type == kLengthsBlock && version >= kLengthsSince);
        const bool four = (lengths_block && !one_stream_lengths) ||
                          (type == kFourStreamBlock && version >= kFourStreamsSince);
        if (type != kHuffmanBlock && !lengths_block && !four)
            return fail_after_earlier(where + "unknown block type " + std::to_string(type));
        // Lengths blocks give their streams' lengths in bytes from the
        // version that cut each stream at the byte its codes reach.
        job->exact = lengths_block && version >= kExactStreamsSince;
        job->order = lengths_block && version >= kByteOrderSince ? huffman::StreamOrder::bytes
                                                                 : huffman::StreamOrder::words;
        uint32_t length = 0, table_size = 0;
        std::array<uint64_t, huffman::stream_count> claimed{}; // each stream's bytes
        if (lengths_block) {
            std::array<uint64_t, 2 + huffman::stream_count> fields{};
            const int streams = four ? huffman::stream_count : 1;
            for (int i = 0; i < (final_block ? 1 : 2 + streams); ++i) {
                const VarintRead got = read_varint(in, fields[static_cast<size_t>(i)],
                                                   final_block && i == 0 ? 64 : 32);
                if (got != VarintRead::ok)
                    return fail_after_earlier(where + (got == VarintRead::truncated
                                                           ? "truncated block header"
                                                           : "damaged block header"));
            }
            uint8_t crc[4];
            if (read_fully(in, crc, sizeof crc) != sizeof crc)
                return fail_after_earlier(where + "truncated block header");
            if (final_block) {
                if (fields[0] <= total)
                    return fail_after_earlier(
                        where + "final block gives " + std::to_string(fields[0]) +
                        " bytes in all, the blocks before it hold " + std::to_string(total));
                if (fields[0] - total > max_block)
                    return fail_after_earlier(where + "length " +
                                              std::to_string(fields[0] - total) +
                                              " is outside 1 to " + std::to_string(max_block));
                fields[0] -= total;
            }
            length = static_cast<uint32_t>(fields[0]);
            table_size = static_cast<uint32_t>(fields[1]);
            for (int k = 0; k < streams; ++k)
                claimed[k] = (job->exact ? 1 : 4) * fields[2 + k];
            job->crc = load_le32(crc);
        } else {
            uint8_t head[kFourStreamHeaderSize];
            const size_t head_size = four ? kFourStreamHeaderSize : kBlockHeaderSize;
            if (read_fully(in, head, head_size) != head_size)
                return fail_after_earlier(where + "truncated block header");
            length = load_le32(head);
            table_size = load_le32(head + 4);
            for (int k = 0; k < (four ? huffman::stream_count : 1); ++k)
                claimed[k] = load_le32(head + 8 + 4 * k);
            job->crc = load_le32(head + head_size - 4);
        }
        job->huffman = true;
        job->length = length;
        job->streams = four ? huffman::stream_count : 1;
        if (length == 0 || length > max_block)
            return fail_after_earlier(where + "length " + std::to_string(length) +
                                      " is outside 1 to " + std::to_string(max_block));
        if (final_block ? false
            : lengths_block
                ? table_size == 0 || table_size > layout.most_bytes()
                : table_size < table_stream_size(1) || table_size > table_stream_size(256))
            return fail_after_earlier(where + (lengths_block ? "lengths table" : "table stream") +
                                      " length " + std::to_string(table_size) +
                                      " is impossible");
        // The symbols of each stream, and the words their longest codes
        // could take.
        const int longest_allowed = long_block              ? kMaxLongCodeLength
                                    : four || lengths_block ? kMaxShortCodeLength
                                                            : kMaxCodeLength;
        std::array<uint64_t, huffman::stream_count> symbols{};
        uint64_t encoded_size = 0;
        // The streams' lengths against the most their symbols could take; a
        // final block's stream once its length is known, after the table.
        auto take_stream_sizes = [&]() -> bool {
            encoded_size = 0;
            for (int k = 0; k < job->streams; ++k) {
                symbols[k] =
                    four ? huffman::stream_share(length, k + 1) - huffman::stream_share(length, k)
                         : length;
                const uint64_t size = claimed[k];
                const std::string which = four ? " " + std::to_string(k) : "";
                const uint64_t most_bits = symbols[k] * longest_allowed;
                if (job->exact ? size > (most_bits + 7) / 8
                               : size % 4 != 0 || size / 4 > (most_bits + 31) / 32)
                    return fail_after_earlier(where + "encoded stream" + which + " length " +
                                              std::to_string(size) + " is impossible for " +
                                              std::to_string(symbols[k]) + " symbols");
                job->stream_size[k] = static_cast<size_t>(size);
                encoded_size += size;
            }
            return true;
        };
        if (!final_block && !take_stream_sizes())
            return false;
        const int64_t left = in.remaining();
        if (left >= 0 && uint64_t{table_size} + encoded_size > static_cast<uint64_t>(left))
            return fail_after_earlier(where + "truncated: its streams need " +
                                      std::to_string(uint64_t{table_size} + encoded_size) +
                                      " bytes, " + std::to_string(left) + " remain");
        uint8_t table[table_stream_size(256)];
        uint8_t *const table_at = lengths_block ? job->table.data() : table;
        if (!final_block && read_fully(in, table_at, table_size) != table_size)
            return fail_after_earlier(where + (lengths_block ? "truncated lengths table"
                                                             : "truncated table stream"));
        std::string table_error;
        if (lengths_block) {
            // Read where the block is checked, off the thread that parses
            // headers. Its lengths are at most 11 bits (15 in a long
            // block), and a valid table has two leaves or more, which the
            // checks below assume.
            job->canonical = true;
            job->long_codes = long_block;
            job->table_size = table_size;
            job->leaves = 2;
            job->longest = 1;
        } else {
            std::string shape;
            if (!huffman::check_table_stream(table, table_size, job->leaves, shape, job->symbols,
                                             table_error))
                return fail_after_earlier(where + table_error);
            job->longest =
                huffman::codes_of_shape(shape, job->symbols, job->leaves, job->codes.data());
        }
        if (job->longest > longest_allowed)
            return fail_after_earlier(where + "a code of " + std::to_string(job->longest) +
                                      " bits in a four-stream block, whose codes are at most " +
                                      std::to_string(longest_allowed));
        if (final_block) {
            // The table and the stream are what remains, taken up to one
            // byte more than they could be; read in growing chunks where the
            // source cannot tell how much remains.
            const uint64_t most =
                layout.most_bytes() + (uint64_t{length} * longest_allowed + 7) / 8;
            const int64_t rest = in.remaining();
            size_t got = 0;
            if (rest >= 0) {
                got = static_cast<size_t>(std::min(static_cast<uint64_t>(rest), most + 1));
                if (!bytes_for(*job, got))
                    return fail_after_earlier(where + "truncated encoded stream");
            } else {
                std::vector<uint8_t> &into = threads > 1 ? (job->owned = spare_input()) : scratch;
                got = read_rest(in, static_cast<size_t>(most) + 1, into);
                if (in.failed())
                    return fail_after_earlier(where + "truncated encoded stream");
                job->bytes = into.data();
            }
            table_size = static_cast<uint32_t>(
                huffman::lengths_table_extent(job->bytes, got, table_error, layout));
            if (table_size == 0)
                return fail_after_earlier(where + table_error);
            std::memcpy(job->table.data(), job->bytes, table_size);
            job->table_size = table_size;
            job->bytes += table_size;
            claimed[0] = got - table_size;
            if (!take_stream_sizes())
                return false;
            job->size = static_cast<size_t>(encoded_size);
        }
        // Every code of a tree of two or more leaves takes at least one bit.
        for (int k = 0; k < job->streams; ++k) {
            const uint64_t size = job->stream_size[k];
            if ((job->leaves == 1 && size != 0) || (job->leaves > 1 && size * 8 < symbols[k]))
                return fail_after_earlier(where + "encoded stream" +
                                          (four ? " " + std::to_string(k) : "") + " length " +
                                          std::to_string(size) + " does not fit " +
                                          std::to_string(symbols[k]) + " symbols");
        }
        const std::string truncated =
            four ? "truncated encoded streams" : "truncated encoded stream";
        if (!final_block && !bytes_for(*job, static_cast<size_t>(encoded_size)))
            return fail_after_earlier(where + truncated);
        job->offset = total;
        total += length;
        if (!submit(job)) {
            error = failure;
            return false;
        }
        if (final_block) {
            if (!check_all()) {
                error = failure;
                return false;
            }
            return true;
        }
    }
}

} // namespace dctlab::container
