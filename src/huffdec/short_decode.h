/* The decoder of the container's fast blocks, whose codes are at most
 * short_code_bits (11) long. It returns the same bytes as calling decosymbol
 * symbol after symbol and consumes the same bits, as FastDecoder does for
 * any code; what it gains is that every code is one look-up in a table of at
 * most 2048 two-byte entries (the length, and the symbol above it), indexed
 * by 8 bits where no code is longer, else by 11, and that one unaligned load
 * of a stream serves five codes (seven where none is longer than 8 bits).
 *
 * Four streams of one block are decoded side by side: each code waits on the
 * one before it in its own stream, and the processor overlaps the four
 * chains. Streams of little-endian words are first copied with each word's
 * bytes reversed, which puts their bits in the order of the bytes, so that 8
 * bytes loaded at any byte hold 57 bits or more from the top down; streams
 * stored in that order already are read where they lie. */
#ifndef DCTLAB_HUFFDEC_SHORT_DECODE_H
#define DCTLAB_HUFFDEC_SHORT_DECODE_H

#include <array>
#include <cstddef>
#include <cstdint>

#include "heap_ptr.h"
#include "huffman_layout.h"
#include "hufftypes.h"

namespace dctlab
{
namespace huffman
{

class ShortDecoder
{
  public:
    /* Takes the codes of the `leaf_count` bytes in `leaves` from a 256-entry
     * table as dfs_final fills it. Returns false, leaving the decoder
     * unusable, unless they form one complete prefix code with lengths of 1
     * to short_code_bits, or there is exactly one leaf, of length 0. */
    bool build(const HUFFCODE *codes, const uint8_t *leaves, int leaf_count);

    /* Takes the canonical code (lengths_layout.h) of the 256 byte lengths.
     * Returns false as build does. */
    bool build_canonical(const uint8_t *lengths);

    /* Room to copy streams of `bytes` bytes in all, which decode and
     * decode_four need; false when there is no memory for it. */
    bool make_room(size_t bytes);

    /* The longest code: 0 for a single leaf, -1 when not built. */
    int longest() const { return bits_; }

    /* Decodes `count` symbols from the stream of `words` words (each
     * little-endian) into `out` and returns the bits their codes take; when
     * the stream holds fewer, decoding stops soon after its end and the
     * result is greater than 32 * words, `out` partly written. Reads
     * nothing outside the stream. UINT64_MAX, and nothing written, when
     * the decoder is not built or has no room for the stream (make_room). */
    uint64_t decode(const uint8_t *stream, size_t words, uint8_t *out, size_t count)
    {
        return decode_bytes(stream, 4 * words, out, count);
    }

    /* decode for a stream of `bytes` bytes: where that is not a multiple of
     * 4, the last word's top bytes alone, its zero bytes below them left
     * out; the result is greater than 8 * bytes where the stream ends
     * first. With StreamOrder::bytes the stream is the words' bytes in the
     * order of their bits, cut at any byte, and needs no room. With
     * two_symbols, as for decode_four. */
    uint64_t decode_bytes(const uint8_t *stream, size_t bytes, uint8_t *out, size_t count,
                          StreamOrder order = StreamOrder::words, bool two_symbols = false);

    /* Decodes a block of `size` bytes from its four streams, which lie one
     * after another at `streams`: stream k, of bytes[k] bytes (as
     * decode_bytes takes a stream), gives the bytes from
     * stream_share(size, k) on, and used[k] is what decode_bytes would
     * return for it alone (UINT64_MAX each, as there; in byte order, where
     * a stream runs out, its lane reads the streams after it, so used[k]
     * is then past its end too, but not always the same value). Reads
     * nothing outside the streams. With two_symbols, a
     * table whose entries give the symbols of one or two codes is made first
     * and serves most symbols: the same bytes and bits either way. */
    void decode_four(const uint8_t *streams, const size_t bytes[stream_count], uint8_t *out,
                     size_t size, uint64_t used[stream_count], bool two_symbols = false,
                     StreamOrder order = StreamOrder::words);

    /* Whether decode_four is expected to be faster with two_symbols for
     * `size` symbols in `bits` bits: where the codes are short enough that
     * two often fit the table's width, which pays for the table of pairs. */
    static bool two_symbols_pay(uint64_t bits, size_t size);

  private:
    // The streams with their words' bytes reversed, and zero bytes after
    // each: room made as needed, or null.
    uint8_t *swapped(size_t bytes);

    // Entries: the code's length in the low byte, the symbol above it;
    // build_canonical deals them out kDealt at a time, and may write as
    // many past the end.
    static constexpr size_t kDealt = 8;
    std::array<uint16_t, (size_t{1} << short_code_bits) + kDealt> table_;
    // Entries for one or two symbols a look-up, and room for what second
    // codes add to them.
    std::array<uint32_t, size_t{2} << short_code_bits> pairs_;
    heap_ptr<uint8_t[]> swapped_;
    size_t swapped_size_ = 0;
    // Where build_canonical's entries of each length end in table_, which
    // then lie in order of length (in_order_).
    std::array<uint16_t, short_code_bits + 1> ends_{};
    bool in_order_ = false;
    int bits_ = -1;
    int width_ = 0; // the bits that index table_: 8, or 11 for longer codes
    uint8_t single_ = 0;
};

} // namespace huffman
} // namespace dctlab

#endif
