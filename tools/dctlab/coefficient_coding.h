// How many bits an entropy coder would spend on the quantised coefficients.
//
// The blocks are coded the way baseline JPEG codes them, with this toolkit's
// own modules: the DC coefficient (zigzag element 0) as the difference from
// the previous block's DC of the same plane, split by sizemag into a size
// category (the symbol) and magnitude bits; the 63 AC coefficients in zigzag
// order as symbols run·16 + category, where run (0 to 15) counts the zeros
// before a non-zero coefficient, 0x00 ends a block whose remaining
// coefficients are all 0 and 0xF0 stands for a run of 16 zeros. Every
// non-zero coefficient is followed by its category's magnitude bits.
//
// The luminance plane gives one DC and one AC symbol stream, the two
// chrominance planes together another two. Each of the four is Huffman-coded
// with form_tree and encode, and its size is what those calls write (table
// stream plus encoded stream). The coded size is that, plus the magnitude
// bits, plus a fixed header of 32 bytes.
#ifndef DCTLAB_TOOL_COEFFICIENT_CODING_H
#define DCTLAB_TOOL_COEFFICIENT_CODING_H

#include <cstdint>
#include <vector>

#include "imgcodec.h"

namespace dctlab::tool
{

constexpr uint64_t kHeaderBytes = 32;
constexpr uint8_t kEndOfBlock = 0x00;
constexpr uint8_t kSixteenZeros = 0xF0;

struct SymbolStreams {
    std::vector<uint8_t> dc;
    std::vector<uint8_t> ac;
    uint64_t magnitude_bits = 0;
};

// Appends the symbols of `blocks` blocks of 64 zigzag-ordered coefficients.
// The DC prediction starts at 0 for every call, that is for every plane.
void symbolise_plane(const int16_t *coefficients, uint32_t blocks, SymbolStreams &out);

// The bytes that form_tree and encode write for one symbol stream, or -1 when
// a stream could not be opened.
int64_t huffman_coded_bytes(const std::vector<uint8_t> &symbols);

struct CodedSize {
    uint64_t huffman_bytes = 0; // the four table and encoded streams
    uint64_t magnitude_bits = 0;
    uint64_t total_bits() const { return 8 * (kHeaderBytes + huffman_bytes) + magnitude_bits; }
};

// False when a stream could not be coded.
bool coded_size(const DCTDATA &coefficients, CodedSize &out);

double bits_per_pixel(const CodedSize &size, uint32_t w, uint32_t h);

} // namespace dctlab::tool

#endif
