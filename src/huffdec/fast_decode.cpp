#include "fast_decode.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "huffman_layout.h"
#include "little_endian.h"

namespace dctlab
{
namespace huffman
{

namespace
{

constexpr int kFirstBits = 11;
constexpr uint32_t kFirstEntries = uint32_t{1} << kFirstBits;
constexpr uint32_t kLink = uint32_t{1} << 13;
constexpr int kOffsetShift = 14;
constexpr uint32_t kMaxOffset = (uint32_t{1} << (32 - kOffsetShift)) - 1;
// One 64-bit load at any bit position holds at least 64 - 7 stream bits.
constexpr int kBitsPerLoad = 57;
static_assert(2 * lookup_bits <= kBitsPerLoad, "every load serves at least two codes");
static_assert(lookup_bits - kFirstBits <= kFirstBits, "a second table is indexed by 1 to 11 bits");

uint32_t leaf_entry(uint8_t symbol, int length)
{
    return symbol | (static_cast<uint32_t>(length) << 8);
}

inline uint64_t load_be64(const uint8_t *p)
{
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
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

} // namespace

bool FastDecoder::build(const HUFFCODE *codes, const uint8_t *leaves, int leaf_count)
{
    longest_ = -1;
    if (!codes || !leaves || leaf_count < 1 || leaf_count > max_leaves)
        return false;
    if (leaf_count == 1) {
        if (codes[leaves[0]].length != 0)
            return false;
        single_ = leaves[0];
        longest_ = 0;
        return true;
    }

    // Check the lengths and the Kraft sum first: a complete code's entries
    // add up to exactly 2^22 of the 22-bit index space.
    uint64_t kraft = 0;
    int longest = 0;
    std::array<int, kFirstEntries> second_bits{};
    for (int i = 0; i < leaf_count; ++i) {
        const HUFFCODE &c = codes[leaves[i]];
        if (c.length < 1 || c.length > lookup_bits || c.code < 0 ||
            (static_cast<uint32_t>(c.code) >> c.length) != 0)
            return false;
        kraft += uint64_t{1} << (lookup_bits - c.length);
        longest = std::max(longest, c.length);
        if (c.length > kFirstBits) {
            int &bits = second_bits[static_cast<uint32_t>(c.code) >> (c.length - kFirstBits)];
            bits = std::max(bits, c.length - kFirstBits);
        }
    }
    if (kraft != lookup_entries)
        return false;

    size_t size = kFirstEntries;
    for (uint32_t prefix = 0; prefix < kFirstEntries; ++prefix)
        if (second_bits[prefix] > 0)
            size += size_t{1} << second_bits[prefix];
    if (size > kMaxOffset)
        return false;
    table_.assign(size, 0);
    size_t next = kFirstEntries;
    for (uint32_t prefix = 0; prefix < kFirstEntries; ++prefix)
        if (second_bits[prefix] > 0) {
            table_[prefix] = kLink | (static_cast<uint32_t>(second_bits[prefix]) << 8) |
                             (static_cast<uint32_t>(next) << kOffsetShift);
            next += size_t{1} << second_bits[prefix];
        }

    for (int i = 0; i < leaf_count; ++i) {
        const uint8_t symbol = leaves[i];
        const int length = codes[symbol].length;
        const uint32_t code = static_cast<uint32_t>(codes[symbol].code);
        const uint32_t entry = leaf_entry(symbol, length);
        bool fresh;
        if (length <= kFirstBits) {
            const int spread = kFirstBits - length;
            fresh = claim(table_, size_t{code} << spread, size_t{1} << spread, entry);
        } else {
            const int tail = length - kFirstBits;
            const uint32_t link = table_[code >> tail];
            const int bits = static_cast<int>((link >> 8) & 31u);
            const int spread = bits - tail;
            const size_t at =
                (link >> kOffsetShift) + ((size_t{code} & ((1u << tail) - 1u)) << spread);
            fresh = claim(table_, at, size_t{1} << spread, entry);
        }
        if (!fresh)
            return false;
    }
    // No overlaps and a full Kraft sum: every entry of both levels is set.
    longest_ = longest;
    return true;
}

template <int PerLoad>
size_t FastDecoder::decode_run(const uint8_t *bits, uint64_t limit, uint64_t &at, uint8_t *out,
                               size_t count) const
{
    const uint32_t *table = table_.data();
    size_t done = 0;
    uint64_t position = at;
    // A load at a position up to the end of the stream stays inside the
    // byte string and its 8 bytes of zero padding.
    while (count - done >= PerLoad && position <= limit) {
        uint64_t window = load_be64(bits + (position >> 3)) << (position & 7);
        for (int k = 0; k < PerLoad; ++k) {
            uint32_t entry = table[window >> (64 - kFirstBits)];
            if (entry & kLink)
                entry = table[(entry >> kOffsetShift) +
                              ((window << kFirstBits) >> (64 - ((entry >> 8) & 31u)))];
            const unsigned length = (entry >> 8) & 31u;
            out[done++] = static_cast<uint8_t>(entry);
            window <<= length;
            position += length;
        }
    }
    at = position;
    return done;
}

uint64_t FastDecoder::decode(const uint8_t *stream, size_t words, uint8_t *out, size_t count)
{
    if (longest_ < 0)
        return UINT64_MAX;
    if (longest_ == 0) {
        std::memset(out, single_, count);
        return 0;
    }
    bytes_.resize(4 * words + 8);
    uint8_t *bits = bytes_.data();
    for (size_t i = 0; i < words; ++i) {
        const uint32_t word = load_le32(stream + 4 * i);
        bits[4 * i] = static_cast<uint8_t>(word >> 24);
        bits[4 * i + 1] = static_cast<uint8_t>(word >> 16);
        bits[4 * i + 2] = static_cast<uint8_t>(word >> 8);
        bits[4 * i + 3] = static_cast<uint8_t>(word);
    }
    std::memset(bits + 4 * words, 0, 8);

    const uint64_t limit = 32 * static_cast<uint64_t>(words);
    uint64_t at = 0;
    size_t done = 0;
    const int per_load = std::min(kBitsPerLoad / longest_, 5);
    if (per_load >= 5)
        done = decode_run<5>(bits, limit, at, out, count);
    else if (per_load == 4)
        done = decode_run<4>(bits, limit, at, out, count);
    else if (per_load == 3)
        done = decode_run<3>(bits, limit, at, out, count);
    else
        done = decode_run<2>(bits, limit, at, out, count);
    done += decode_run<1>(bits, limit, at, out + done, count - done);
    // decode_run<1> stops short of `count` only past the end of the stream.
    return at;
}

} // namespace huffman
} // namespace dctlab
