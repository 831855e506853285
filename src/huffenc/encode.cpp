#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "encode_words.h"
#include "heap_ptr.h"
#include "huffenc.h"
#include "little_endian.h"

namespace dctlab
{
namespace huffman
{

int64_t code_bits(const HUFFCODE *codes)
{
    int64_t bits = 0;
    int counted = 0, uncoded = 0;
    for (int b = 0; b < 256; ++b) {
        const HUFFCODE &c = codes[b];
        if (c.length < 0 || c.length > 32 || c.weight < 0)
            return -1;
        if (c.length < 32 && (static_cast<uint32_t>(c.code) >> c.length) != 0)
            return -1;
        if (c.weight > 0) {
            ++counted;
            uncoded += c.length == 0 ? 1 : 0;
        }
        bits += static_cast<int64_t>(c.weight) * c.length;
    }
    if (uncoded > 0 && counted > 1)
        return -1;
    return bits;
}

namespace
{

inline void store_be64(uint8_t *p, uint64_t v)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
    std::memcpy(p, &v, sizeof v);
#else
    std::memcpy(p, &v, sizeof v);
#endif
}

// Any table: codes enter a 64-bit accumulator from the right, and whenever
// 32 or more bits wait the oldest 32 leave as one word. Fewer than 32 bits
// wait before a code of at most 32 bits is added, so nothing falls off the
// top unwritten; the stale bits above `waiting` never reach a word.
bool encode_by_words(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *out,
                     size_t words)
{
    uint64_t pending = 0;
    unsigned waiting = 0;
    size_t written = 0;
    for (size_t i = 0; i < size; ++i) {
        const HUFFCODE &c = codes[data[i]];
        const unsigned length = static_cast<unsigned>(c.length);
        pending = (pending << length) | static_cast<uint32_t>(c.code);
        waiting += length;
        if (waiting >= 32) {
            waiting -= 32;
            if (written == words)
                return false;
            store_le32(out + 4 * written++, static_cast<uint32_t>(pending >> waiting));
        }
    }
    if (waiting > 0) {
        if (written == words)
            return false;
        store_le32(out + 4 * written++, static_cast<uint32_t>(pending << (32 - waiting)));
    }
    return written == words;
}

} // namespace

bool encode_words(const uint8_t *data, size_t size, const HUFFCODE *codes, uint8_t *out,
                  size_t words)
{
    int longest = 0;
    bool empty_code = false;
    for (int b = 0; b < 256; ++b) {
        longest = std::max(longest, static_cast<int>(codes[b].length));
        empty_code |= codes[b].length == 0 && codes[b].weight > 0;
    }
    if (longest > 22 || empty_code)
        return encode_by_words(data, size, codes, out, words);

    // Codes of 1 to 22 bits, as form_tree makes them: the stream is built
    // as big-endian bytes with no branch per code. The top `count` bits of
    // `pending` wait; a flush stores all 64 and moves on by the whole bytes
    // among them, leaving 0 to 7 bits, so two codes always fit before the
    // next flush. Each word's bytes are then reversed into little-endian.
    const size_t bytes = 4 * words;
    const uint8_t *const end = out + bytes;
    uint8_t *at = out;
    uint64_t pending = 0;
    unsigned count = 0;
    size_t i = 0;
    const auto put = [&](const HUFFCODE &c) {
        const unsigned length = static_cast<unsigned>(c.length);
        pending |= static_cast<uint64_t>(static_cast<uint32_t>(c.code)) << (64 - count - length);
        count += length;
    };
    for (; i + 2 <= size && at + 8 <= end; i += 2) {
        put(codes[data[i]]);
        put(codes[data[i + 1]]);
        store_be64(at, pending);
        at += count >> 3;
        pending <<= count & ~7u; // at most 7 + 2 * 22 bits wait: below 64
        count &= 7;
    }
    // The rest a byte at a time, never past the end of the words.
    for (; i < size; ++i) {
        put(codes[data[i]]);
        for (; count >= 8; count -= 8, pending <<= 8) {
            if (at == end)
                return false;
            *at++ = static_cast<uint8_t>(pending >> 56);
        }
    }
    if (count > 0) {
        if (at == end)
            return false;
        *at++ = static_cast<uint8_t>(pending >> 56);
    }
    if (static_cast<size_t>(end - at) >= 4)
        return false;
    std::memset(at, 0, static_cast<size_t>(end - at));
    for (uint8_t *word = out; word < end; word += 4) {
        std::swap(word[0], word[3]);
        std::swap(word[1], word[2]);
    }
    return true;
}

} // namespace huffman
} // namespace dctlab

namespace
{

using dctlab::huffman::code_bits;

/* Reads the whole of `in` from offset 0 with one read and leaves it at 0. */
bool read_all(std::FILE *in, dctlab::heap_ptr<uint8_t[]> &data, size_t &size)
{
    if (std::fseek(in, 0, SEEK_END) != 0)
        return false;
    const long end = std::ftell(in);
    if (end < 0 || static_cast<unsigned long>(end) > SIZE_MAX || std::fseek(in, 0, SEEK_SET) != 0)
        return false;
    size = static_cast<size_t>(end);
    if (size == 0)
        return true;
    data.reset(static_cast<uint8_t *>(std::malloc(size)));
    if (!data)
        return false;
    return std::fread(data.get(), 1, size, in) == size && std::fseek(in, 0, SEEK_SET) == 0;
}

/* The buffer is sized from the weights; an input with other byte counts
 * would overrun it or lose bytes, so it is refused. */
bool matches_weights(const uint8_t *data, size_t size, const HUFFCODE *codes)
{
    std::array<uint64_t, 256> seen{};
    for (size_t i = 0; i < size; ++i)
        ++seen[data[i]];
    for (int b = 0; b < 256; ++b)
        if (seen[b] != static_cast<uint64_t>(codes[b].weight))
            return false;
    return true;
}

bool encode_into(std::FILE *in, const HUFFCODE *codes, std::FILE *out)
{
    const int64_t bits = code_bits(codes);
    if (bits < 0)
        return false;
    const uint64_t words = (static_cast<uint64_t>(bits) + 31) / 32;
    if (words > SIZE_MAX / sizeof(uint32_t))
        return false;

    dctlab::heap_ptr<uint8_t[]> data;
    size_t size = 0;
    if (!read_all(in, data, size) || !matches_weights(data.get(), size, codes))
        return false;
    if (words == 0)
        return true;

    dctlab::heap_ptr<uint8_t[]> packed(
        static_cast<uint8_t *>(std::calloc(static_cast<size_t>(words), sizeof(uint32_t))));
    if (!packed)
        return false;
    // The counts were matched above, so the codes fill the words exactly.
    if (!dctlab::huffman::encode_words(data.get(), size, codes, packed.get(),
                                       static_cast<size_t>(words)))
        return false;
    return std::fwrite(packed.get(), sizeof(uint32_t), static_cast<size_t>(words), out) == words;
}

} // namespace

int encode(FILE *in, const HUFFCODE *codes, FILE *out)
{
    if (!out)
        return 0;
    const bool encoded = in && codes && encode_into(in, codes, out);
    // Closing flushes, so a full disk may only show here.
    const bool closed = std::fclose(out) == 0;
    return encoded && closed ? 1 : 0;
}
