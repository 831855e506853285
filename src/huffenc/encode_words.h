/* The encoder's inner loop over memory, for callers that hold a block in a
 * buffer already and want the encoded stream without going through FILE
 * streams. encode is built on the same two functions, so both write the
 * same bytes. */
#ifndef DCTLAB_HUFFENC_ENCODE_WORDS_H
#define DCTLAB_HUFFENC_ENCODE_WORDS_H

#include <cstddef>
#include <cstdint>

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

} // namespace huffman
} // namespace dctlab

#endif
