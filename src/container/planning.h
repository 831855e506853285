// Where the packer cuts a unit of input into blocks: at segment boundaries,
// wherever a code of its own, table included, is expected to come out
// smaller than joining the block before.
#ifndef DCTLAB_CONTAINER_PLANNING_H
#define DCTLAB_CONTAINER_PLANNING_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace dctlab::container
{

// Where the packer may cut. Measured on text and executables, 8 KiB segments
// beat zlib's Huffman-only size where 32 and 64 KiB did not.
constexpr size_t kSegment = size_t{8} << 10;

// A unit is planned in pieces of 1 MiB, each alone: a piece is planned and
// coded on whichever thread takes it, so every pass over the bytes runs in
// parallel, and the output is the same for any number of threads. A block
// so ends at least every MiB, which costs a header and table (about 0.015%)
// where one block would have gone on. Measured with two threads on 64 MiB,
// pieces of 1 MiB gave 1.8 times the speed of one thread, 2 MiB 1.7 and 4
// MiB 1.6, as the last pieces kept one worker waiting for the other. A
// stored block is at most a piece long, which costs the reader nothing:
// its check and copy run at the same speed for 1 and 4 MiB.
constexpr size_t kPiece = size_t{1} << 20;

using Counts = std::array<uint32_t, 256>;

// The counts of every byte value in `size` bytes.
void count_bytes(const uint8_t *data, size_t size, Counts &counts);

// What a lengths block of these counts is expected to cost, in bits.
double expected_bits(const Counts &counts);

// Counts bytes span after span, with no clearing of its tables between
// them: those were 8 KiB a segment of 8 KiB, and counting without clearing
// them ran 1.5 to 2% faster (measured on an Intel Xeon). What a span adds
// is taken as the difference from the sums taken before, which stay right
// while no count passes 2^32 (a piece is at most 1 MiB).
class Tally
{
  public:
    void add(const uint8_t *data, size_t size);
    // The counts added since the last take.
    void take(Counts &counts);

  private:
    static constexpr size_t kTables = 8;
    alignas(64) std::array<std::array<uint32_t, 256>, kTables> part_{};
    Counts taken_{};
};

struct Span {
    size_t begin, end;
    Counts counts;
};

// Cuts a unit of input into blocks at segment boundaries, segment by
// segment: a segment joins the block before it unless coding the two apart
// is expected to be smaller; in a piece below a MiB, unless cutting the
// block before its last 1, 3 or 7 segments (a block of 2, 4 or 8 segments
// with this one) is expected to be smaller still. A block is known as soon
// as a later segment starts one of its own, so that it can be coded while
// its bytes are still in the cache from being counted: coded after the
// whole piece (1 MiB) was planned, pack took 1 to 2% longer.
class BlockPlanner
{
  public:
    // Plans a piece of `piece` bytes: pieces of kPiece and more take the
    // whole bias against splitting, smaller ones their share of it, down to
    // a least bias.
    explicit BlockPlanner(size_t piece);

    // Takes the segment of `data` from `at` to `end`, which follows the one
    // before; returns the block it closes, if any, valid until the next call.
    const Span *add(const uint8_t *data, size_t at, size_t end);
    // The last block, or null where there was no segment; then starts anew.
    const Span *finish();

  private:
    void start_block(size_t at, size_t end, const Counts &counts, double bits);
    // Where cutting the block before its last few segments is expected to
    // come out smaller than joining this one or cutting at it: the block
    // before them, closed; else null.
    const Span *cut_behind(size_t at, size_t end, double joined_bits, double segment_bits);

    // The block's last segments: where each begins, its counts, and the
    // expected bits of the block before it (negative where that is not a
    // place to cut).
    struct Recent {
        size_t begin;
        Counts counts;
        double bits_before;
    };
    static constexpr int kRecent = 8;
    static constexpr int kWindows[] = {2, 4, 8};
    static_assert(kWindows[2] <= kRecent, "a window's segments are at hand");

    bool looks_back_;
    Span block_{0, 0, {}}, closed_{0, 0, {}};
    double split_gain_;
    double block_bits_ = 0;
    bool started_ = false;
    Counts segment_{};
    Tally tally_;
    std::array<Recent, kRecent> recent_{};
    int recent_count_ = 0; // the block's segments, the last kRecent of them in recent_
};

} // namespace dctlab::container

#endif
