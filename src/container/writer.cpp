// The packer: blocks planned, coded or stored, written one after another.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "big_endian.h"
#include "build_code.h"
#include "container.h"
#include "encode_words.h"
#include "format.h"
#include "heap_ptr.h"
#include "in_order.h"
#include "length_limit.h"
#include "little_endian.h"
#include "planning.h"
#include "write_lengths.h"

namespace dctlab::container
{

namespace
{

// Where a piece is the input's last, the length of the whole input, which
// its last block may carry as a final block, ending the container.
struct Ending {
    uint64_t total = 0; // read only where the piece is the input's last
    bool ended = false; // set once a final or final stored block is written
};

// A stored block; with `ending`, the input's last block as the final stored
// block, whose bytes are the rest of the container, so that neither its
// length nor an end marker is written.
bool write_stored(ByteSink &out, const uint8_t *data, size_t size, Ending *ending)
{
    uint8_t head[1 + kStoredHeaderSize];
    size_t head_size = 1;
    head[0] = ending ? kFinalStoredBlock : kStoredBlock;
    if (!ending) {
        store_le32(head + head_size, static_cast<uint32_t>(size));
        head_size += 4;
    }
    store_le32(head + head_size, crc_of(data, size));
    head_size += 4;
    if (ending)
        ending->ended = true;
    return out.write(head, head_size) && out.write(data, size);
}

// What the block's own frame takes, stored: its type byte and header.
constexpr size_t stored_head(const Ending *ending)
{
    return 1 + (ending ? kFinalStoredHeaderSize : kStoredHeaderSize);
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
    std::vector<Span> blocks; // a piece's planned blocks, where they are refined

  private:
    dctlab::heap_ptr<uint8_t[]> bytes_;
    size_t capacity_ = 0;
};

// Below this a block is one stream: four streams would cost up to six
// bytes more (three stream lengths, three part-filled bytes) and save
// little time on so few symbols. Planned blocks are at least a segment
// long, so only the last block of a piece can be shorter.
constexpr size_t kFourStreamsFrom = size_t{4} << 10;
// Pieces below this in the middle of an input (units of --block-size below
// a MiB) are coded in one stream a block whatever its length: for inputs of
// 4 to 16 KiB the bytes that four streams cost were as much as zlib's
// Huffman-only output was smaller.
constexpr size_t kFourStreamPieces = size_t{64} << 10;

// The input's last piece, where it is below a MiB (an input below a MiB,
// or a larger one's tail), is coded for its bytes instead: one stream a
// block, whose code may then be up to 15 bits deep, and cut exactly or its
// cuts moved (write_exactly, refine_and_write). Four streams cost a block
// up to six bytes and hold its codes to 11 bits, which on drifting text
// cost more than the planner's blocks saved: on 425 real files of 4 KiB to
// 2 MiB, pieces of 64 KiB and more in four streams left 21 larger than
// zlib's Huffman-only output, by 923 bytes in all, where one stream leaves
// 14, by 158 (0.9941 of zlib's over all of them to 0.9932). One stream is
// decoded a code after another: an 893 KB text file unpacked in 4.7 ms of
// processor time instead of 3.0 (zlib's inflate 8.3), where the whole MiB
// pieces of large inputs keep the speed of four. Pieces below a MiB in the
// middle of an input come from units that small, asked for to bound
// memory, and keep the whole pieces' way: coded for their bytes, 16 MiB of
// text in units of 64 KiB packed in 136 ms instead of 26 and unpacked in 43
// instead of 21, for 0.9% fewer bytes.
bool for_its_bytes(size_t piece, const Ending *ending)
{
    return ending && piece < kPiece;
}

// A block of one byte value: a plain Huffman block with form_tree's table of
// one leaf and an empty stream, as every version has written it, or stored
// where it is that short.
bool write_single_value(ByteSink &out, const uint8_t *bytes, size_t size,
                        const std::array<int32_t, 256> &counts, Scratch &scratch, Ending *ending)
{
    namespace hf = dctlab::huffman;
    std::array<HUFFCODE, 256> codes;
    hf::TableBytes table;
    hf::build_code(counts.data(), 256, kMaxCodeLength, scratch.code, codes.data(), table);
    // As the input's last block, this one would need the end marker after
    // it, which a final stored block does not.
    const size_t end_marker = ending ? 1 + varint_size(ending->total) : 0;
    if (1 + kBlockHeaderSize + table.size + end_marker >= size + stored_head(ending))
        return write_stored(out, bytes, size, ending);
    uint8_t head[1 + kBlockHeaderSize];
    head[0] = kHuffmanBlock;
    store_le32(head + 1, static_cast<uint32_t>(size));
    store_le32(head + 5, static_cast<uint32_t>(table.size));
    store_le32(head + 9, 0);
    store_le32(head + 13, crc_of(bytes, size));
    return out.write(head, sizeof head) && out.write(table.bytes.data(), table.size);
}

// A lengths block's code: its lengths, their table, and its bits.
struct BlockCode {
    std::array<uint8_t, 256> lengths;
    huffman::LengthsTable table;
    int longest = 0;
    uint64_t bits = 0;
    bool long_codes = false; // lengths of up to 15 bits, in a long table
};

// A one-stream block (of a small input, an input's tail or a small unit)
// whose code the 11-bit limit may have cut takes codes of up to 12 to 15
// bits instead, where that is smaller, table included: its decoder is
// slower, but in inputs this small the bytes count for more. On 425 real
// files of 4 KiB to 2 MiB, the limit had put 46 over zlib's size; 15 bits
// alone took that to 34, as its table grew by what the stream saved, and
// the best of 12 to 15 to 27.
void take_longer_codes_if_smaller(const std::array<int32_t, 256> &counts, BlockCode &code)
{
    namespace hf = dctlab::huffman;
    for (int limit = kMaxShortCodeLength + 1; limit <= kMaxLongCodeLength; ++limit) {
        BlockCode longer;
        longer.longest = hf::code_lengths(counts.data(), 256, limit, longer.lengths.data());
        if (longer.longest <= kMaxShortCodeLength)
            return; // the plain code fits: no limit cut it
        for (int b = 0; b < 256; ++b)
            longer.bits += static_cast<uint64_t>(counts[b]) * longer.lengths[b];
        hf::write_lengths_table(longer.lengths.data(), longer.table, hf::long_lengths);
        longer.long_codes = true;
        if ((longer.bits + 7) / 8 + longer.table.size < (code.bits + 7) / 8 + code.table.size)
            code = longer;
        if (longer.longest < limit)
            return; // the plain code: a longer limit gives the same
    }
}

// The lengths of a code of at most 11 bits, and the bits it takes.
void short_code(const std::array<int32_t, 256> &counts, BlockCode &code)
{
    namespace hf = dctlab::huffman;
    code.longest = hf::code_lengths(counts.data(), 256, kMaxShortCodeLength, code.lengths.data());
    // A block's bits at 11 bits a code fit 32 bits, so the sum runs in
    // vector registers.
    static_assert(uint64_t{kMaxBlockSize} * kMaxShortCodeLength <= UINT32_MAX,
                  "a block's bits fit 32 bits");
    uint32_t sum = 0;
    for (int b = 0; b < 256; ++b)
        sum += static_cast<uint32_t>(counts[b]) * code.lengths[b];
    code.bits = sum;
}

// A lengths block's code is carried by its lengths alone: the canonical
// code of the lengths of form_tree's code, or where that is deeper than 11
// bits (15 in a long block, where `longer` allows one), of a code that is
// not (code_lengths).
void choose_code(const std::array<int32_t, 256> &counts, bool longer, BlockCode &code)
{
    short_code(counts, code);
    dctlab::huffman::write_lengths_table(code.lengths.data(), code.table);
    if (longer && code.longest == kMaxShortCodeLength)
        take_longer_codes_if_smaller(counts, code);
}

// The bytes of a lengths block of `size` bytes with `code`, at most (four
// streams' headers are taken at their longest, which counts for little
// against a MiB; one stream's is exact), with the end marker after it where
// it is the input's last block and needs one. Each stream ends on a byte of
// its own: at most three bytes beyond the codes' own.
size_t coded_size(const BlockCode &code, size_t size, int streams, const Ending *ending)
{
    const size_t coded_bytes = static_cast<size_t>((code.bits + 7) / 8);
    const size_t most_bytes = coded_bytes + static_cast<size_t>(streams - 1);
    // A final block holds the total where others hold N, neither the
    // table's nor the stream's length, and stands for the end marker, which
    // a last block of four streams still needs. The input's last block
    // stored is a final stored block, which needs none either.
    const bool final = ending && streams == 1;
    const size_t end_marker = ending && !final ? 1 + varint_size(ending->total) : 0;
    const size_t head_most = final          ? 1 + varint_size(ending->total) + 4
                             : streams == 1 ? 1 + varint_size(size) + varint_size(code.table.size) +
                                                  varint_size(coded_bytes) + 4
                                            : 1 + kLengthsHeaderMostSize;
    return head_most + code.table.size + most_bytes + end_marker;
}

// One block: a lengths block, in four streams or in one, with the canonical
// code of its lengths; or stored where that is smaller, or a block of one
// byte value. With `ending`, the input's last block: a one-stream block then
// goes out as a final block.
bool write_block(ByteSink &out, const uint8_t *data, const Span &span, bool four_stream_piece,
                 Scratch &scratch, std::string &error, Ending *ending = nullptr)
{
    namespace hf = dctlab::huffman;
    const size_t size = span.end - span.begin;
    const uint8_t *bytes = data + span.begin;
    std::array<int32_t, 256> counts;
    int leaves = 0;
    for (int b = 0; b < 256; ++b) {
        counts[b] = static_cast<int32_t>(span.counts[b]); // below 2^28 + 1
        leaves += counts[b] != 0 ? 1 : 0;
    }
    if (leaves == 1) {
        if (!write_single_value(out, bytes, size, counts, scratch, ending)) {
            error = "cannot write the output";
            return false;
        }
        return true;
    }
    const int streams = four_stream_piece && size >= kFourStreamsFrom ? hf::stream_count : 1;
    BlockCode code;
    choose_code(counts, streams == 1, code);
    std::array<HUFFCODE, 256> codes;
    std::array<uint8_t, 256> order;
    hf::canonical_codes(code.lengths.data(), 256, codes.data(), order.data());
    const bool final = ending && streams == 1;
    if (coded_size(code, size, streams, ending) >= size + stored_head(ending)) {
        if (!write_stored(out, bytes, size, ending)) {
            error = "cannot write the output";
            return false;
        }
        return true;
    }
    std::array<size_t, hf::stream_count> room{};
    size_t total = 0;
    for (int k = 0; k < streams; ++k) {
        const size_t share =
            streams == 1 ? size : hf::stream_share(size, k + 1) - hf::stream_share(size, k);
        room[k] = 4 * hf::short_words_bound(share, code.longest);
        total += room[k];
    }
    uint8_t *coded = scratch.take(total);
    if (!coded) {
        error = "no memory for the coded block";
        return false;
    }
    std::array<uint8_t *, hf::stream_count> stream{};
    for (int k = 0; k < streams; ++k) {
        stream[k] = coded;
        coded += room[k];
    }
    // The streams in byte order, each cut at the byte its codes reach.
    std::array<uint64_t, hf::stream_count> stream_bits{};
    if (streams == 1) {
        if (code.long_codes) {
            const auto words = static_cast<size_t>((code.bits + 31) / 32);
            hf::encode_words(bytes, size, codes.data(), stream[0], words);
            reverse_word_bytes(stream[0], words, stream[0]);
        } else {
            hf::encode_short(bytes, size, codes.data(), stream[0], hf::StreamOrder::bytes);
        }
        stream_bits[0] = code.bits;
    } else {
        hf::encode_four(bytes, size, codes.data(), stream.data(), stream_bits.data(),
                        hf::StreamOrder::bytes);
    }
    std::array<size_t, hf::stream_count> stream_bytes{};
    uint8_t head[1 + kLengthsHeaderMostSize];
    static_assert(kVarint64MostBytes <= kLengthsHeaderMostSize - 4,
                  "a final block's header fits a lengths block's");
    head[0] = final          ? (code.long_codes ? kLongFinalBlock : kFinalBlock)
              : streams == 1 ? (code.long_codes ? kLongOneStreamBlock : kOneStreamBlock)
                             : kLengthsBlock;
    size_t head_size = 1 + put_varint(head + 1, final ? ending->total : size);
    if (!final)
        head_size += put_varint(head + head_size, code.table.size);
    for (int k = 0; k < streams; ++k) {
        stream_bytes[k] = static_cast<size_t>((stream_bits[k] + 7) / 8);
        if (!final)
            head_size += put_varint(head + head_size, stream_bytes[k]);
    }
    store_le32(head + head_size, crc_of(bytes, size));
    head_size += 4;
    bool written =
        out.write(head, head_size) && out.write(code.table.bytes.data(), code.table.size);
    for (int k = 0; k < streams && written; ++k)
        written = out.write(stream[k], stream_bytes[k]);
    if (!written) {
        error = "cannot write the output";
        return false;
    }
    if (final)
        ending->ended = true;
    return true;
}

// Counts what is written, and keeps nothing.
class CountingSink final : public ByteSink
{
  public:
    bool write(const void *, size_t size) override
    {
        bytes += size;
        return true;
    }
    size_t bytes = 0;
};

// What write_block writes for `span` in one stream, with the end marker
// after it where it is the input's last block (`ending`) and needs one, were
// its code held to 11 bits: the same choices, with nothing coded. Longer
// codes, which write_block takes where they are smaller, are left out:
// weighing them too for every way of cutting a piece took four times as
// long, and gave the same sizes on real files.
size_t one_stream_bytes(const uint8_t *data, const Span &span, Scratch &scratch,
                        const Ending *ending)
{
    const size_t size = span.end - span.begin;
    std::array<int32_t, 256> counts;
    int leaves = 0;
    for (int b = 0; b < 256; ++b) {
        counts[b] = static_cast<int32_t>(span.counts[b]);
        leaves += counts[b] != 0 ? 1 : 0;
    }
    if (leaves == 1) { // rare, and builds no more than a table of one leaf
        CountingSink counted;
        Ending copy = ending ? *ending : Ending{};
        write_single_value(counted, data + span.begin, size, counts, scratch,
                           ending ? &copy : nullptr);
        return counted.bytes + (ending && !copy.ended ? 1 + varint_size(ending->total) : 0);
    }
    BlockCode code;
    short_code(counts, code);
    code.table.size = dctlab::huffman::lengths_table_size(code.lengths.data());
    return std::min(coded_size(code, size, 1, ending), size + stored_head(ending));
}

// The input's last piece, where it is 64 KiB or less (a small input, or a
// larger one's tail), is cut where its blocks come out smallest, exactly:
// of all the ways to cut it at multiples of kExactUnit, the one whose
// blocks, as write_block writes them, take the fewest bytes. The planner's estimates
// and segments of 8 KiB left 14 of 425 real files of 4 KiB to 2 MiB larger
// than zlib's Huffman-only output, all of them files of 14 to 40 KiB, by 1
// to 60 bytes (158 in all); cut exactly at 8 KiB, 7 by 31 bytes; at 4 KiB,
// 2 by 18 (at 2 KiB as many, at 1 KiB 1 by 2). Every way is weighed by
// dynamic programming over the units: (n + 1) n / 2 blocks' codes for n
// units, 136 for 64 KiB.
constexpr size_t kExactPieces = size_t{64} << 10;
constexpr size_t kExactUnit = size_t{4} << 10;

// Moves the cut between neighbouring blocks `a` and `b` to `at`, inside
// them; the bytes between the two places go with their counts.
void shift_cut(const uint8_t *data, Span &a, Span &b, size_t at)
{
    const bool back = at < a.end;
    Span &loses = back ? a : b, &gains = back ? b : a;
    Counts moved;
    count_bytes(data + std::min(at, a.end), back ? a.end - at : at - a.end, moved);
    for (int x = 0; x < 256; ++x) {
        loses.counts[x] -= moved[x];
        gains.counts[x] += moved[x];
    }
    a.end = b.begin = at;
}

// Each cut between planned blocks then moves to whichever place less than
// kExactUnit either side of it, in steps of kExactStep, the planner's
// estimates find best for its two blocks. On the 425 real files, moved so
// after the exact cuts of small inputs, the sum of their sizes came out
// 0.20% smaller (0.9904 of zlib's to 0.9884), and after the planner's cuts
// of inputs from 64 KiB to a MiB 0.33% smaller again (0.9851). Weighed by
// the blocks' bytes as written, the moves gave sizes within 0.01%, but
// packing 600 KB of text and programs mixed took 7.0 ms of processor time
// instead of 3.7, where the estimates take 4.1 and gave it 1.7% fewer
// bytes. Steps of 512 bytes gave 0.06% more, for twice the estimates.
constexpr size_t kExactStep = 1024;

void move_cut(const uint8_t *data, Span &a, Span &b)
{
    auto bits_of = [](const Span &first, const Span &second) {
        return expected_bits(first.counts) + expected_bits(second.counts);
    };
    const size_t cut = a.end;
    double best = bits_of(a, b);
    size_t best_cut = cut;
    // Earlier places, one step further each time, then later ones.
    Span a2 = a, b2 = b;
    for (size_t back = kExactStep; back < kExactUnit && a2.end > a.begin + kExactStep;
         back += kExactStep) {
        shift_cut(data, a2, b2, a2.end - kExactStep);
        if (const double bits = bits_of(a2, b2); bits < best) {
            best = bits;
            best_cut = a2.end;
        }
    }
    a2 = a;
    b2 = b;
    for (size_t on = kExactStep; on < kExactUnit && a2.end + kExactStep < b.end; on += kExactStep) {
        shift_cut(data, a2, b2, a2.end + kExactStep);
        if (const double bits = bits_of(a2, b2); bits < best) {
            best = bits;
            best_cut = a2.end;
        }
    }
    if (best_cut != cut)
        shift_cut(data, a, b, best_cut);
}

// Writes the `count` blocks planned for the input's last piece below a
// MiB, in one stream each, after moving each cut (move_cut) and joining
// neighbours that come out smaller as one block, as written (two stored
// ones, say, where a cut moved to the start of random bytes). `blocks` is
// rewritten.
bool refine_and_write(ByteSink &out, const uint8_t *data, Span *blocks, size_t count,
                      Scratch &scratch, std::string &error, Ending *ending)
{
    if (count == 0)
        return true;
    for (size_t k = 1; k < count; ++k)
        move_cut(data, blocks[k - 1], blocks[k]);
    // The bytes of the last block kept: not the input's last block, while
    // another follows it.
    size_t kept = 1;
    size_t last_bytes = count > 1 ? one_stream_bytes(data, blocks[0], scratch, nullptr) : 0;
    for (size_t k = 1; k < count; ++k) {
        Span &last = blocks[kept - 1];
        Span joined{last.begin, blocks[k].end, last.counts};
        for (int b = 0; b < 256; ++b)
            joined.counts[b] += blocks[k].counts[b];
        const Ending *at_end = k + 1 == count ? ending : nullptr;
        const size_t joined_bytes = one_stream_bytes(data, joined, scratch, at_end);
        const size_t next_bytes = one_stream_bytes(data, blocks[k], scratch, at_end);
        if (joined_bytes < last_bytes + next_bytes) {
            last = joined;
            last_bytes = joined_bytes;
        } else {
            blocks[kept++] = blocks[k];
            last_bytes = next_bytes;
        }
    }
    for (size_t k = 0; k < kept; ++k)
        if (!write_block(out, data, blocks[k], false, scratch, error,
                         k + 1 == kept ? ending : nullptr))
            return false;
    return true;
}

bool write_exactly(ByteSink &out, const uint8_t *data, size_t size, Scratch &scratch,
                   std::string &error, Ending *ending)
{
    const size_t units = (size + kExactUnit - 1) / kExactUnit;
    std::array<Counts, kExactPieces / kExactUnit> counts;
    for (size_t u = 0; u < units; ++u)
        count_bytes(data + u * kExactUnit, std::min(size, (u + 1) * kExactUnit) - u * kExactUnit,
                    counts[u]);
    // least[j]: the fewest bytes for the first j units; from[j]: where the
    // last of their blocks then begins.
    std::array<size_t, kExactPieces / kExactUnit + 1> least, from;
    least[0] = 0;
    for (size_t j = 1; j <= units; ++j) {
        Span block{0, std::min(size, j * kExactUnit), {}};
        least[j] = SIZE_MAX;
        for (size_t i = j; i-- > 0;) {
            block.begin = i * kExactUnit;
            for (int b = 0; b < 256; ++b)
                block.counts[b] += counts[i][b];
            const size_t bytes =
                least[i] + one_stream_bytes(data, block, scratch, j == units ? ending : nullptr);
            if (bytes < least[j]) {
                least[j] = bytes;
                from[j] = i;
            }
        }
    }
    std::array<size_t, kExactPieces / kExactUnit + 1> ends;
    size_t cut_count = 0;
    for (size_t j = units; j > 0; j = from[j])
        ends[cut_count++] = j;
    std::array<Span, kExactPieces / kExactUnit> blocks;
    size_t begin = 0;
    for (size_t k = 0; k < cut_count; ++k) {
        const size_t end = ends[cut_count - 1 - k];
        Span &block = blocks[k];
        block = Span{begin * kExactUnit, std::min(size, end * kExactUnit), {}};
        for (size_t u = begin; u < end; ++u)
            for (int b = 0; b < 256; ++b)
                block.counts[b] += counts[u][b];
        begin = end;
    }
    return refine_and_write(out, data, blocks.data(), cut_count, scratch, error, ending);
}

// Plans one piece into blocks and writes each as soon as it is planned;
// with `ending`, the input's last piece.
bool write_piece(ByteSink &out, const uint8_t *data, size_t size, Scratch &scratch,
                 std::string &error, Ending *ending = nullptr)
{
    const bool for_bytes = for_its_bytes(size, ending);
    if (for_bytes && size <= kExactPieces)
        return write_exactly(out, data, size, scratch, error, ending);
    BlockPlanner planner(size);
    const bool four_streams = size >= kFourStreamPieces;
    // Blocks to refine are kept, at most one a segment, in room kept from
    // piece to piece.
    std::vector<Span> &planned = scratch.blocks;
    planned.clear();
    for (size_t at = 0; at < size; at += kSegment)
        if (const Span *block = planner.add(data, at, std::min(size, at + kSegment))) {
            if (for_bytes)
                planned.push_back(*block);
            else if (!write_block(out, data, *block, four_streams, scratch, error))
                return false;
        }
    const Span *last = planner.finish();
    if (for_bytes) {
        if (last)
            planned.push_back(*last);
        return refine_and_write(out, data, planned.data(), planned.size(), scratch, error, ending);
    }
    return !last || write_block(out, data, *last, four_streams, scratch, error, ending);
}

// Gathers what is written in memory and passes it on some 256 KiB at a time,
// at the end of the write that reaches that much: few writes, and each from
// bytes still in the cache. Gathered a piece (1 MiB) at a time, they had
// left the cache by the time they went out, and pack took 3% longer.
class GatheringSink final : public ByteSink
{
  public:
    explicit GatheringSink(ByteSink &out) : out_(out) {}
    bool write(const void *from, size_t size) override
    {
        const auto *p = static_cast<const uint8_t *>(from);
        gathered_.insert(gathered_.end(), p, p + size);
        return gathered_.size() < kPassOn || flush();
    }
    // Passes on what is gathered; false when the sink fails.
    bool flush()
    {
        const bool ok = gathered_.empty() || out_.write(gathered_.data(), gathered_.size());
        gathered_.clear();
        return ok;
    }

  private:
    static constexpr size_t kPassOn = size_t{256} << 10;
    ByteSink &out_;
    std::vector<uint8_t> gathered_;
};

// One piece of a unit, planned and coded on a worker into memory.
struct PieceJob {
    std::shared_ptr<dctlab::heap_ptr<uint8_t[]>> buffer; // the piece's bytes, unless lent
    const uint8_t *data = nullptr;
    size_t size = 0;
    MemorySink coded;
    std::unique_ptr<Scratch> scratch;
    bool last = false; // the input's last piece
    Ending ending;
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
    bool ended = false; // by a final block, with no end marker
    // Pieces are independent: each is planned alone, then coded block by
    // block. With threads, this thread reads, the workers plan and code the
    // pieces into memory (this thread too, while the oldest is not done),
    // and the pieces are written in order, so the output does not depend on
    // the number of threads. Pieces lie at every MiB of a unit, so a unit of
    // the block size is never planned across.
    std::string failure;
    // Coded bytes, scratch and piece buffers go back here once written, so
    // that the next pieces reuse warm memory instead of fresh pages.
    std::vector<std::vector<uint8_t>> spare_coded;
    std::vector<std::unique_ptr<Scratch>> spare_scratch;
    std::vector<std::shared_ptr<dctlab::heap_ptr<uint8_t[]>>> buffers;
    // A piece a worker and two more waiting, so that none runs dry while
    // this thread reads or writes (a piece takes a worker some 1.5 ms, this
    // thread a tenth of that): at most N + 3 pieces (one of them being read)
    // are in memory. Each piece in flight holds coded bytes of its own,
    // fresh pages at first: with 2N + 2, two threads took a third more page
    // faults than one, and 2-3% more time.
    const unsigned in_flight = threads + 2;
    InOrder<std::shared_ptr<PieceJob>> coding(
        threads, in_flight,
        [&](std::shared_ptr<PieceJob> &job) {
            if (!job->ok) {
                failure = job->error;
                return false;
            }
            if (!out.write(job->coded.bytes.data(), job->coded.bytes.size())) {
                failure = "cannot write the output";
                return false;
            }
            total += job->size;
            ended = job->ending.ended;
            in.release_before(total);
            if (progress)
                progress(total);
            job->coded.bytes.clear();
            spare_coded.push_back(std::move(job->coded.bytes));
            spare_scratch.push_back(std::move(job->scratch));
            job->buffer.reset();
            return true;
        });
    const size_t piece_room = std::min<size_t>(kPiece, block_size);
    // A piece buffer that no job holds any more, or a new one. Only this
    // thread copies the pointers, so a count of one means no job holds it.
    auto piece_buffer = [&]() -> std::shared_ptr<dctlab::heap_ptr<uint8_t[]>> {
        for (auto &buffer : buffers)
            if (buffer.use_count() == 1)
                return buffer;
        auto buffer = std::make_shared<dctlab::heap_ptr<uint8_t[]>>(
            static_cast<uint8_t *>(std::malloc(piece_room)));
        if (!*buffer)
            return nullptr;
        buffers.push_back(buffer);
        return buffer;
    };
    // A piece is read into memory only when the source cannot lend it in
    // place, and the one buffer without threads grows only as far as the
    // input reaches.
    std::vector<uint8_t> piece;
    Scratch scratch;
    GatheringSink gathered(out);
    auto *const in_memory = dynamic_cast<MemorySink *>(&out);
    size_t in_unit = 0; // bytes of the present unit already taken
    uint64_t taken = 0; // bytes of the input read so far
    // Where the source does not know what remains, a byte read past a whole
    // piece to learn whether the input goes on: the next piece's first.
    bool carried = false;
    uint8_t carry = 0;
    for (;;) {
        const size_t room = std::min<size_t>(kPiece, block_size - in_unit);
        const int64_t left = in.remaining();
        const size_t want = left >= 0 ? static_cast<size_t>(std::min<int64_t>(left, room)) : room;
        const uint8_t *data = want > 0 && !carried ? in.borrow(want) : nullptr;
        size_t got = want;
        std::shared_ptr<dctlab::heap_ptr<uint8_t[]>> owned;
        if (!data) {
            const size_t read = want > 0 ? want : room;
            if (threads > 1) {
                owned = piece_buffer();
                if (!owned) {
                    error = "no memory for the input";
                    return false;
                }
                data = owned->get();
            } else {
                piece.resize(read);
                data = piece.data();
            }
            auto *to = const_cast<uint8_t *>(data);
            const size_t first = carried ? 1 : 0;
            to[0] = carry;
            got = first + read_fully(in, to + first, read - first);
            carried = false;
        }
        // Whether the input ends with this piece, whose last block may then
        // end the container.
        bool last = got < room;
        if (!last && got > 0) {
            const int64_t after = in.remaining();
            if (after >= 0)
                last = after == 0;
            else
                carried = !(last = read_fully(in, &carry, 1) == 0);
        }
        if (in.failed()) {
            error = "cannot read the input";
            return false;
        }
        if (got == 0)
            break;
        in_unit = (in_unit + got) % block_size;
        taken += got;
        if (threads <= 1) {
            // Blocks go out gathered, unless the sink is memory itself: six
            // writes a block of some 12 KiB were 2,500 write calls a 16 MiB
            // input through stdio's buffer, a tenth of pack's time.
            Ending ending{taken, false};
            if (!write_piece(in_memory ? static_cast<ByteSink &>(*in_memory) : gathered, data, got,
                             scratch, error, last ? &ending : nullptr))
                return false;
            ended = ending.ended;
            total += got;
            in.release_before(total);
            if (progress)
                progress(total);
        } else {
            auto job = std::make_shared<PieceJob>();
            job->buffer = owned;
            job->data = data;
            job->size = got;
            job->last = last;
            job->ending.total = taken;
            if (!spare_coded.empty()) {
                job->coded.bytes = std::move(spare_coded.back());
                spare_coded.pop_back();
            }
            job->coded.bytes.reserve(got + got / 16 + 4096);
            if (!spare_scratch.empty()) {
                job->scratch = std::move(spare_scratch.back());
                spare_scratch.pop_back();
            } else {
                job->scratch = std::make_unique<Scratch>();
            }
            const bool given = coding.add([job] {
                job->ok = write_piece(job->coded, job->data, job->size, *job->scratch, job->error,
                                      job->last ? &job->ending : nullptr);
                return job;
            });
            if (!given) {
                error = failure;
                return false;
            }
        }
        if (last)
            break;
    }
    if (!coding.drain()) {
        error = failure;
        return false;
    }
    if (!gathered.flush()) {
        error = "cannot write the output";
        return false;
    }
    uint8_t end[1 + kVarint64MostBytes] = {kEndMarker};
    if (!ended && !out.write(end, 1 + put_varint(end + 1, total))) {
        error = "cannot write the output";
        return false;
    }
    return true;
}

} // namespace dctlab::container
