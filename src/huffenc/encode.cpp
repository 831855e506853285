#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "big_endian.h"
#include "encode_words.h"
#include "heap_ptr.h"
#include "huffenc.h"
#include "huffman_layout.h"
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

// Codes come left-aligned in 64 bits, so each one is a shift, an or and an
// add. The top `count` bits of `pending` wait to be stored at `at`; a flush
// stores all 64 and moves on by the whole bytes among them, leaving 0 to 7
// bits, so K codes fit before the next one when none is longer than 56 / K
// bits: two of form_tree's codes always, three or four of the short codes
// of typical data.
struct Packer {
    uint8_t *at;
    const uint8_t *end;
    uint64_t pending = 0;
    unsigned count = 0;
};

template <int K> constexpr int longest_in_group = 56 / K;

template <int K>
__attribute__((always_inline)) inline size_t pack_groups(const uint8_t *data, size_t size,
                                                         const uint64_t *aligned,
                                                         const uint8_t *lengths, Packer &p)
{
    // Below 64 bits wait after the last code, so no shift reaches 64.
    static_assert(7 + K * longest_in_group<K> < 64);
    uint8_t *at = p.at;
    uint64_t pending = p.pending;
    unsigned count = p.count;
    size_t i = 0;
    for (; i + K <= size && at + 8 <= p.end; i += K) {
        for (int k = 0; k < K; ++k) {
            const uint8_t b = data[i + k];
            pending |= aligned[b] >> count;
            count += lengths[b];
        }
        store_be64(at, pending);
        at += count >> 3;
        pending <<= count & ~7u;
        count &= 7;
    }
    p.at = at;
    p.pending = pending;
    p.count = count;
    return i;
}

// Codes in groups as long as they allow, then in pairs; returns how many
// bytes were coded.
__attribute__((always_inline)) inline size_t pack_all(const uint8_t *data, size_t size,
                                                      const uint64_t *aligned,
                                                      const uint8_t *lengths, int longest,
                                                      Packer &p)
{
    size_t i = 0;
    static_assert(longest_in_group<2> >= 22);
    if (longest <= longest_in_group<4>)
        i = pack_groups<4>(data, size, aligned, lengths, p);
    else if (longest <= longest_in_group<3>)
        i = pack_groups<3>(data, size, aligned, lengths, p);
    return i + pack_groups<2>(data + i, size - i, aligned, lengths, p);
}

size_t pack_codes(const uint8_t *data, size_t size, const uint64_t *aligned, const uint8_t *lengths,
                  int longest, Packer &p)
{
    return pack_all(data, size, aligned, lengths, longest, p);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DCTLAB_ENCODE_BMI2 1
// The same with shifts by a register that need not be cl.
__attribute__((target("bmi2"))) size_t pack_codes_bmi2(const uint8_t *data, size_t size,
                                                       const uint64_t *aligned,
                                                       const uint8_t *lengths, int longest,
                                                       Packer &p)
{
    return pack_all(data, size, aligned, lengths, longest, p);
}
#endif

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
    if (longest > lookup_bits || empty_code)
        return encode_by_words(data, size, codes, out, words);

    // Codes of 1 to 22 bits, as form_tree makes them: the stream is built
    // as big-endian bytes with no branch per code.
    const size_t bytes = 4 * words;
    const uint8_t *const end = out + bytes;
    Packer packer{out, end};
    std::array<uint64_t, 256> aligned;
    std::array<uint8_t, 256> lengths;
    for (int b = 0; b < 256; ++b) {
        lengths[b] = static_cast<uint8_t>(codes[b].length);
        aligned[b] = codes[b].length == 0
                         ? 0
                         : static_cast<uint64_t>(static_cast<uint32_t>(codes[b].code))
                               << (64 - codes[b].length);
    }
    size_t i = 0;
#ifdef DCTLAB_ENCODE_BMI2
    static const bool bmi2 = __builtin_cpu_supports("bmi2");
    if (bmi2)
        i = pack_codes_bmi2(data, size, aligned.data(), lengths.data(), longest, packer);
    else
#endif
        i = pack_codes(data, size, aligned.data(), lengths.data(), longest, packer);
    // The rest a byte at a time, never past the end of the words.
    uint8_t *&at = packer.at;
    for (; i < size; ++i) {
        packer.pending |= aligned[data[i]] >> packer.count;
        packer.count += lengths[data[i]];
        for (; packer.count >= 8; packer.count -= 8, packer.pending <<= 8) {
            if (at == end)
                return false;
            *at++ = static_cast<uint8_t>(packer.pending >> 56);
        }
    }
    if (packer.count > 0) {
        if (at == end)
            return false;
        *at++ = static_cast<uint8_t>(packer.pending >> 56);
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
