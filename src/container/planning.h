// Where the packer cuts a unit of input into blocks: at segment boundaries,
// wherever a code of its own, table included, is expected to come out
// smaller than joining the block before.
#ifndef DCTLAB_CONTAINER_PLANNING_H
#define DCTLAB_CONTAINER_PLANNING_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dctlab::container
{

// Where the packer may cut. Measured on text and executables, 8 KiB segments
// beat zlib's Huffman-only size where 32 and 64 KiB did not.
constexpr size_t kSegment = size_t{8} << 10;

using Counts = std::array<uint32_t, 256>;

// The counts of every byte value in `size` bytes.
void count_bytes(const uint8_t *data, size_t size, Counts &counts);

struct Span {
    size_t begin, end;
    Counts counts;
};

// Cuts `size` bytes into blocks with the counts of each.
void plan_blocks(const uint8_t *data, size_t size, std::vector<Span> &blocks);

} // namespace dctlab::container

#endif
