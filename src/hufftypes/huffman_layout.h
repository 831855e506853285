/* What the Huffman encoder and decoder agree on about their streams: the
 * longest code and the size of the shape field of the table stream. Every
 * integer in the streams is little-endian (little_endian.h).
 */
#ifndef DCTLAB_INTERNAL_HUFFMAN_LAYOUT_H
#define DCTLAB_INTERNAL_HUFFMAN_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace dctlab
{
namespace huffman
{

/* The decoder finds any code with one look-up in a table indexed by the next
 * 22 stream bits: 2^22 entries of 8 bytes, 32 MiB. That is the trade between
 * table size and code length, so 22 bits is also the longest code the
 * encoder may write. */
constexpr int lookup_bits = 22;
constexpr uint32_t lookup_entries = uint32_t{1} << lookup_bits;

/* Byte symbols: at most 256 leaves, so at most 511 nodes in a tree. */
constexpr int max_leaves = 256;
constexpr int max_nodes = 2 * max_leaves - 1;

/* Words of the shape field for a tree of `leaves` leaves: its 2L - 1 bits
 * rounded up to whole words. The division truncates, so an empty tree still
 * gets one (zero) word. */
constexpr int shape_words(int leaves)
{
    return (2 * leaves - 1) / 32 + 1;
}
static_assert(shape_words(0) == 1 && shape_words(1) == 1, "an empty tree keeps one word");
static_assert(shape_words(16) == 1 && shape_words(17) == 2, "31 bits fit one word, 33 do not");
static_assert(shape_words(max_leaves) == 16, "511 shape bits take 16 words");

/* Bytes of a table stream: the 4-byte leaf count, L symbols, the shape words. */
constexpr int table_stream_bytes(int leaves)
{
    return 4 + leaves + 4 * shape_words(leaves);
}
static_assert(table_stream_bytes(1) == 9 && table_stream_bytes(max_leaves) == 324);

/* The short codes of the fast paths: a table indexed by 11 bits (2048
 * entries of 2 bytes, in L1 with room to spare) resolves every one of them
 * with one look-up, and five of them always fit the 56 bits that one
 * unaligned load of a stream offers once its bytes are in the order of its
 * bits. */
constexpr int short_code_bits = 11;

/* A block coded as four streams: stream k holds the codes of the bytes from
 * stream_share(N, k) up to stream_share(N, k + 1), four shares as even as
 * whole bytes allow, the longer ones first. */
constexpr int stream_count = 4;
constexpr size_t stream_share(size_t size, int k)
{
    return size / stream_count * static_cast<size_t>(k) +
           (static_cast<size_t>(k) < size % stream_count ? static_cast<size_t>(k)
                                                         : size % stream_count);
}
static_assert(stream_share(7, 0) == 0 && stream_share(7, 1) == 2 && stream_share(7, 2) == 4 &&
                  stream_share(7, 3) == 6 && stream_share(7, 4) == 7,
              "7 bytes: shares of 2, 2, 2 and 1");
static_assert(stream_share(2, 3) == 2 && stream_share(2, 4) == 2, "2 bytes: the last shares empty");

/* How a stream's bits are stored: as 32-bit words, each little-endian, as
 * encode writes them; or as bytes in the order of the bits (each word
 * big-endian), which a decoder reads where they lie and a stream cut at a
 * byte simply ends. */
enum class StreamOrder { words, bytes };

} // namespace huffman
} // namespace dctlab

#endif
