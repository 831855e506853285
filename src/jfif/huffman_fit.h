/* The Huffman tables of a JPEG file: fitting code lengths to a picture's own
 * symbol counts, and the canonical codes that follow from the lengths. */
#ifndef DCTLAB_JFIF_HUFFMAN_FIT_H
#define DCTLAB_JFIF_HUFFMAN_FIT_H

#include <array>
#include <cstdint>

namespace dctlab::jfif
{

constexpr int kMaxCodeLength = 16;

/* A table as a DHT segment carries it: how many codes of each length 1 to 16
 * (counts[0] unused), and the symbols in order of their codes. */
struct HuffmanTable {
    std::array<uint8_t, kMaxCodeLength + 1> counts{};
    std::array<uint8_t, 256> symbols{};
    int symbol_count = 0;
};

/* The lengths that minimise the coded size of `frequency` under the file
 * format's two limits: no code longer than 16 bits, and no code of all ones
 * (a decoder reads such a run as the start of a marker). Symbols of count 0
 * get no code. At least one symbol must have a count. The symbols are
 * listed by length, and within a length by falling count (ties in symbol
 * order), which gives the frequent ones the codes with fewer ones. */
HuffmanTable fit_huffman(const std::array<uint32_t, 256> &frequency);

/* The codes of a table, canonical: within a length in the table's order, each
 * length's first code one more than the previous length's last, doubled.
 * A symbol without a code has length 0. */
struct HuffmanCodes {
    std::array<uint16_t, 256> code{};
    std::array<uint8_t, 256> length{};
};
HuffmanCodes canonical_codes(const HuffmanTable &table);

} // namespace dctlab::jfif

#endif
