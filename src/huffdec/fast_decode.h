/* A whole-stream decoder for the encoded streams that encode writes, built
 * for speed; it returns the same bytes as calling decosymbol symbol after
 * symbol with the 2^22-entry lookup table, and consumes the same bits.
 *
 * Why not the 2^22 table: its 32 MiB are filled once per code and each
 * look-up lands somewhere in them, so nearly every symbol is a cache miss.
 * Here the next 11 bits index a first table of 2048 entries (8 KiB) that
 * holds every code of up to 11 bits directly (two of them: a pair table,
 * whose entries give two symbols where the 11 bits hold two whole codes, and
 * a single table for the last symbols of a block); the rare longer codes share
 * their first 11 bits with few others, and such an entry points to a second
 * table indexed by the next 1 to 11 bits, sized for the longest code under
 * that prefix. Both tables are rebuilt per code in a few microseconds.
 *
 * Bits: the stream's 32-bit words (stored little-endian, each read from its
 * most significant bit down) are first turned into one big-endian byte
 * string, so that any 64 stream bits from any bit position are one unaligned
 * load and a shift. One load serves several symbols: as many as 57 bits hold
 * codes of the block's longest length.
 *
 * Entry layout, 32 bits: the first symbol in bits 0 to 7 and, in a pair
 * entry, the second in bits 8 to 15; bits 16 to 20 the length of the codes
 * together, or for a link the number of bits that index the second table;
 * bits 21 and 22 the number of symbols (1 or 2); bit 23 set for a link,
 * whose bits 0 to 15 are then the second table's offset into the table
 * array (the pair table, the single table, then the second tables).
 */
#ifndef DCTLAB_HUFFDEC_FAST_DECODE_H
#define DCTLAB_HUFFDEC_FAST_DECODE_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hufftypes.h"

namespace dctlab
{
namespace huffman
{

class FastDecoder
{
  public:
    /* Takes the codes of the `leaf_count` bytes in `leaves` from a 256-entry
     * table as dfs_final fills it, as refill would enter them. Returns false,
     * leaving the decoder unusable, unless they form one complete prefix code
     * with lengths of 1 to 22 bits, or there is exactly one leaf, of length 0
     * (a single-leaf tree: its symbols take no bits). */
    bool build(const HUFFCODE *codes, const uint8_t *leaves, int leaf_count);

    /* Decodes `count` symbols from the encoded stream `stream` of `words`
     * words (4 * words bytes, each word little-endian) into `out`. Returns
     * the number of bits the `count` codes take. When the stream holds fewer
     * bits than that, decoding stops soon after its end is passed and the
     * result is greater than 32 * words; `out` is then partly written. Reads
     * nothing outside the stream. */
    uint64_t decode(const uint8_t *stream, size_t words, uint8_t *out, size_t count);

    /* decode for a stream of `bytes` bytes in byte order: the words' bytes
     * from each one's top byte down, so that its bits run in the order of
     * the bytes, cut at any byte. The result is greater than 8 * bytes
     * where the stream ends first. */
    uint64_t decode_bytes(const uint8_t *stream, size_t bytes, uint8_t *out, size_t count);

  private:
    // What decode gives unbuilt (UINT64_MAX), or for a single leaf: its
    // symbols, which take no bits.
    uint64_t without_codes(uint8_t *out, size_t count) const;
    // Decodes from bytes_, which holds the stream's `bytes` bytes in byte
    // order and zero padding after them.
    uint64_t decode_in_order(size_t bytes, uint8_t *out, size_t count);

    std::vector<uint32_t> table_;
    std::vector<uint8_t> bytes_;
    int longest_ = -1; // -1 before a successful build, 0 for a single leaf
    uint8_t single_ = 0;
};

} // namespace huffman
} // namespace dctlab

#endif
