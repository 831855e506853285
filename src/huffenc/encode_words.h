/* The encoder's inner loop over memory, for callers that hold a block in a
 * buffer already and want the encoded stream without going through FILE
 * streams. encode is built on the same two functions, so both write the
 * same bytes. */
#ifndef DCTLAB_HUFFENC_ENCODE_WORDS_H
#define DCTLAB_HUFFENC_ENCODE_WORDS_H

#include <cstddef>
#include <cstdint>

#include "huffman_layout.h"
#include "hufftypes.h"

namespace dctlab
{
namespace huffman
{

/* T, the number of code bits that `codes` gives its own weights, or -1 when
 * the table cannot encode soundly: a length outside 0 to 32, a code wider
 * than its length, a negative count, or a byte that occurs but has no code
 * (except a single byte with a count, whose code of length 0 needs no
 * bits). */
int64_t code_bits(const HUFFCODE *codes);

/* Encodes `size` bytes into exactly `words` 32-bit words, stored as 4
 * little-endian bytes each at `out` (which need not be zeroed): the codes in
 * input order, most significant bit first, zero bits after the last code.
 * `codes` must pass code_bits. Returns false, having written no more than
 * `words` words, when the codes of `data` do not fill exactly that many
 * words, that is when its byte counts do not match the weights. */
bool encode_words(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *out,
                  size_t words);

/* Words that encode_short may touch for `size` bytes of codes of at most
 * `longest` bits: those of the stream and two beyond, which it uses as
 * scratch. */
constexpr size_t short_words_bound(size_t size, int longest)
{
    return (size * static_cast<size_t>(longest) + 31) / 32 + 2;
}

/* encode_words for codes of 1 to short_code_bits bits, as the container's
 * fast blocks take them (or one byte of length 0, which writes nothing):
 * writes the same words into `out`, which holds short_words_bound(size, L)
 * words for the table's longest code L, and returns how many. With
 * StreamOrder::bytes the same words are stored with their bytes in the
 * order of the bits (each big-endian). */
size_t encode_short(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *out,
                    StreamOrder order = StreamOrder::words);

/* The four streams of `size` bytes (stream k over the bytes from
 * stream_share(size, k)), each as encode_short writes it, into out[k], which
 * holds short_words_bound of its share. The four are coded side by side, so
 * that their chains of shifts overlap. bits[k] gets the bits of stream k's
 * codes, which fill (bits[k] + 31) / 32 words. */
void encode_four(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *const out[4],
                 uint64_t bits[4], StreamOrder order = StreamOrder::words);

/* The ways encode_four has, each writing the same words: the fastest the
 * processor allows, the written-out rounds (where it has BMI2 and AVX2,
 * else the portable ones) and the portable rounds. The tests hold each to
 * encode's words, whatever processor they run on. */
enum class FourWay { fastest, rounds, portable };
void encode_four_way(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *const out[4],
                     uint64_t bits[4], FourWay way, StreamOrder order = StreamOrder::words);

} // namespace huffman
} // namespace dctlab

#endif
