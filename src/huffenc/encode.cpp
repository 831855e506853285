#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "heap_ptr.h"
#include "huffenc.h"
#include "little_endian.h"

namespace
{

/* Code bits for the table, or -1 when the table cannot encode anything
 * soundly: a length the bit writer cannot take, a code wider than its
 * length, a negative count, or a byte that occurs but has no code. The one
 * exception is a single byte with a count, which has length 0 and needs no
 * bits (the decoder's single-leaf tree gives it back). */
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

    dctlab::heap_ptr<uint32_t[]> packed(
        static_cast<uint32_t *>(std::calloc(static_cast<size_t>(words), sizeof(uint32_t))));
    if (!packed)
        return false;
    int index = 0, free_bits = 32;
    for (size_t i = 0; i < size; ++i) {
        const HUFFCODE &c = codes[data[i]];
        add(&free_bits, c.length, static_cast<uint32_t>(c.code), packed.get(), &index);
    }
    // In place: each word becomes its own four little-endian bytes.
    for (size_t i = 0; i < words; ++i)
        dctlab::store_le32(reinterpret_cast<uint8_t *>(&packed[i]), packed[i]);
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
