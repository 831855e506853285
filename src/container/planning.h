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
// is expected to be smaller. A block is known as soon as the segment after
// it starts one of its own, so that it can be coded while its bytes are
// still in the cache from being counted: coded after the whole piece (1 MiB)
// was planned, pack took 1 to 2% longer.
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
    Span block_{0, 0, {}}, closed_{0, 0, {}};
    double split_gain_;
    double block_bits_ = 0;
    bool started_ = false;
    Counts segment_{};
    Tally tally_;
};

} // namespace dctlab::container

#endif
