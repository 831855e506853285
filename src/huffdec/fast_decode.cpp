#include "fast_decode.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "big_endian.h"
#include "huffman_layout.h"
#include "little_endian.h"
#include "table_check.h"

namespace dctlab
{
namespace huffman
{

namespace
{

constexpr int kFirstBits = 11;
constexpr uint32_t kFirstEntries = uint32_t{1} << kFirstBits;
// The table array: the pair table, the single table, then the second tables.
constexpr uint32_t kSingles = kFirstEntries;
constexpr uint32_t kSeconds = 2 * kFirstEntries;
constexpr uint32_t kLink = uint32_t{1} << 23;
constexpr int kLengthShift = 16;
constexpr int kCountShift = 21;
// Zero bytes after the stream, for the loads that run up to 16 bytes ahead
// of the last bit consumed.
constexpr size_t kPadding = 16;
// After a refill the bit buffer holds 56 to 63 bits.
constexpr int kBitsPerRefill = 56;
static_assert(2 * lookup_bits <= kBitsPerRefill, "every refill serves at least two codes");
static_assert(lookup_bits - kFirstBits <= kFirstBits, "a second table is indexed by 1 to 11 bits");

uint32_t single_entry(uint8_t symbol, int length)
{
    return symbol | (static_cast<uint32_t>(length) << kLengthShift) | (1u << kCountShift);
}

unsigned length_of(uint32_t entry)
{
    return (entry >> kLengthShift) & 31u;
}

// Writes `count` copies of `entry` from `at`, refusing to overwrite: two
// codes that claim the same entry are no prefix code.
bool claim(std::vector<uint32_t> &table, size_t at, size_t count, uint32_t entry)
{
    for (size_t i = at; i < at + count; ++i) {
        if (table[i] != 0)
            return false;
        table[i] = entry;
    }
    return true;
}

// The bit buffer: the next stream bits from the top down, `count` of them
// valid, and `next` the first byte not yet in it. A refill tops it up to 56
// or more bits with one unaligned load, without a branch.
struct Bits {
    uint64_t buffer = 0;
    unsigned count = 0;
    const uint8_t *next;

    void refill()
    {
        buffer |= load_be64(next) >> count;
        next += (63 - count) >> 3;
        count |= 56;
    }
    void consume(unsigned n)
    {
        buffer <<= n;
        count -= n;
    }
    uint64_t consumed(const uint8_t *start) const
    {
        return 8 * static_cast<uint64_t>(next - start) - count;
    }
};

} // namespace

bool FastDecoder::build(const HUFFCODE *codes, const uint8_t *leaves, int leaf_count)
{
    // Lengths of 1 to 22 bits whose entries add up to exactly 2^22 of the
    // 22-bit index space, or a single leaf.
    longest_ = -1;
    const int longest = complete_code_length(codes, leaves, leaf_count, lookup_bits, single_);
    if (longest < 0)
        return false;
    if (longest == 0) { // a single leaf: its symbols take no bits
        longest_ = 0;
        return true;
    }
    std::array<int, kFirstEntries> second_bits{};
    for (int i = 0; i < leaf_count; ++i) {
        const HUFFCODE &c = codes[leaves[i]];
        if (c.length > kFirstBits) {
            int &bits = second_bits[static_cast<uint32_t>(c.code) >> (c.length - kFirstBits)];
            bits = std::max(bits, c.length - kFirstBits);
        }
    }

    // A prefix with second-table bits e has at least e + 1 leaves under it,
    // so 256 leaves need at most 21 tables of 2^11 and one of 2^3 entries:
    // offsets stay below 2^16.
    size_t size = kSeconds;
    for (uint32_t prefix = 0; prefix < kFirstEntries; ++prefix)
        if (second_bits[prefix] > 0)
            size += size_t{1} << second_bits[prefix];
    if (size > 0xFFFF)
        return false;
    table_.assign(size, 0);
    size_t next = kSeconds;
    for (uint32_t prefix = 0; prefix < kFirstEntries; ++prefix)
        if (second_bits[prefix] > 0) {
            table_[kSingles + prefix] =
                kLink | (static_cast<uint32_t>(second_bits[prefix]) << kLengthShift) |
                static_cast<uint32_t>(next);
            next += size_t{1} << second_bits[prefix];
        }

    for (int i = 0; i < leaf_count; ++i) {
        const uint8_t symbol = leaves[i];
        const int length = codes[symbol].length;
        const uint32_t code = static_cast<uint32_t>(codes[symbol].code);
        const uint32_t entry = single_entry(symbol, length);
        bool fresh;
        if (length <= kFirstBits) {
            const int spread = kFirstBits - length;
            fresh = claim(table_, kSingles + (size_t{code} << spread), size_t{1} << spread, entry);
        } else {
            const int tail = length - kFirstBits;
            const uint32_t link = table_[kSingles + (code >> tail)];
            const int spread = static_cast<int>(length_of(link)) - tail;
            const size_t at = (link & 0xFFFFu) + ((size_t{code} & ((1u << tail) - 1u)) << spread);
            fresh = claim(table_, at, size_t{1} << spread, entry);
        }
        if (!fresh)
            return false;
    }
    // No overlaps and a full Kraft sum: every entry of both levels is set.

    // The pair table: where the 11 bits hold a whole second code after the
    // first, the entry gives both symbols and their summed length.
    for (uint32_t index = 0; index < kFirstEntries; ++index) {
        const uint32_t first = table_[kSingles + index];
        uint32_t entry = first;
        const unsigned used = length_of(first);
        if (!(first & kLink) && used < kFirstBits) {
            const uint32_t second = table_[kSingles + ((index << used) & (kFirstEntries - 1))];
            if (!(second & kLink) && used + length_of(second) <= kFirstBits)
                entry = (first & 0xFFu) | ((second & 0xFFu) << 8) |
                        ((used + length_of(second)) << kLengthShift) | (2u << kCountShift);
        }
        table_[index] = entry;
    }
    longest_ = longest;
    return true;
}

uint64_t FastDecoder::without_codes(uint8_t *out, size_t count) const
{
    if (longest_ < 0)
        return UINT64_MAX;
    std::memset(out, single_, count);
    return 0;
}

uint64_t FastDecoder::decode(const uint8_t *stream, size_t words, uint8_t *out, size_t count)
{
    if (longest_ <= 0)
        return without_codes(out, count);
    // The stream's bits in order as bytes, then the zero padding.
    bytes_.resize(4 * words + kPadding);
    reverse_word_bytes(stream, words, bytes_.data());
    std::memset(bytes_.data() + 4 * words, 0, kPadding);
    return decode_in_order(4 * words, out, count);
}

uint64_t FastDecoder::decode_bytes(const uint8_t *stream, size_t bytes, uint8_t *out, size_t count)
{
    if (longest_ <= 0)
        return without_codes(out, count);
    bytes_.resize(bytes + kPadding);
    if (bytes > 0)
        std::memcpy(bytes_.data(), stream, bytes);
    std::memset(bytes_.data() + bytes, 0, kPadding);
    return decode_in_order(bytes, out, count);
}

uint64_t FastDecoder::decode_in_order(size_t bytes, uint8_t *out, size_t count)
{
    const uint8_t *start = bytes_.data();
    const uint32_t *table = table_.data();
    const uint64_t limit = 8 * static_cast<uint64_t>(bytes);
    // Each step takes one entry: up to two symbols, at most the longest code
    // or the 11 bits of a pair, so one refill serves `steps` of them.
    const unsigned steps = static_cast<unsigned>(kBitsPerRefill / std::max(longest_, kFirstBits));
    Bits bits;
    bits.next = start;
    size_t done = 0;
    // While the consumed bits are inside the stream, a refill loads at most
    // 8 bytes from 8 bytes past them: inside the padding.
    while (count - done >= 2 * size_t{steps} && bits.consumed(start) <= limit) {
        bits.refill();
        for (unsigned k = 0; k < steps; ++k) {
            uint32_t entry = table[bits.buffer >> (64 - kFirstBits)];
            if (entry & kLink)
                entry = table[(entry & 0xFFFFu) +
                              ((bits.buffer << kFirstBits) >> (64 - length_of(entry)))];
            out[done] = static_cast<uint8_t>(entry);
            out[done + 1] = static_cast<uint8_t>(entry >> 8);
            done += (entry >> kCountShift) & 3u;
            bits.consume(length_of(entry));
        }
    }
    // The last symbols one at a time, with the single table.
    while (done < count && bits.consumed(start) <= limit) {
        bits.refill();
        uint32_t entry = table[kSingles + (bits.buffer >> (64 - kFirstBits))];
        if (entry & kLink)
            entry =
                table[(entry & 0xFFFFu) + ((bits.buffer << kFirstBits) >> (64 - length_of(entry)))];
        out[done++] = static_cast<uint8_t>(entry);
        bits.consume(length_of(entry));
    }
    // Short of `count` only past the end of the stream.
    return bits.consumed(start);
}

} // namespace huffman
} // namespace dctlab
