#include "read_lengths.h"

#include <algorithm>
#include <cstring>

#include "lengths_layout.h"

namespace dctlab
{
namespace huffman
{

namespace
{

// The table's bits, most significant first, read through a window of 57 or
// more: the bytes copied with zeros after them, so that a window never
// reads past the copy, and a position beyond the table's own bits shows
// that it was cut short.
class Bits
{
  public:
    Bits(const uint8_t *bytes, size_t size) : bits_(8 * uint64_t{size})
    {
        std::memcpy(bytes_.data(), bytes, size);
    }
    uint32_t peek(int width) const
    {
        uint64_t window;
        std::memcpy(&window, bytes_.data() + at_ / 8, sizeof window);
        window = __builtin_bswap64(window) << (at_ % 8);
        return static_cast<uint32_t>(window >> (64 - width));
    }
    // Takes `width` bits; false when they run past the table.
    bool take(int width, uint32_t &value)
    {
        value = peek(width);
        at_ += static_cast<uint64_t>(width);
        return at_ <= bits_;
    }
    void skip(int width) { at_ += static_cast<uint64_t>(width); }
    uint64_t at() const { return at_; }
    uint64_t size() const { return bits_; }

  private:
    std::array<uint8_t, lengths_table_most_bytes + 8> bytes_{};
    uint64_t bits_, at_ = 0;
};

// The length symbols' canonical code as a table of its longest length: the
// next 7 bits give a symbol and its length, or nothing where the code is
// one symbol of one bit and the bit is 1.
class LengthCode
{
  public:
    explicit LengthCode(const uint8_t *lengths)
    {
        std::array<HUFFCODE, length_symbols> codes;
        std::array<uint8_t, length_symbols> order;
        canonical_codes(lengths, length_symbols, codes.data(), order.data());
        for (int s = 0; s < length_symbols; ++s) {
            const int len = codes[s].length;
            if (len == 0)
                continue;
            const uint32_t spread = 1u << (longest_length_code - len);
            const uint32_t at = static_cast<uint32_t>(codes[s].code) * spread;
            for (uint32_t e = at; e < at + spread; ++e)
                entry_[e] = Entry{static_cast<uint8_t>(s), static_cast<uint8_t>(len)};
        }
    }
    struct Entry {
        uint8_t symbol = 0, length = 0; // length 0: no code
    };
    Entry next(const Bits &in) const { return entry_[in.peek(longest_length_code)]; }

  private:
    std::array<Entry, 1u << longest_length_code> entry_{};
};

} // namespace

bool read_lengths_table(const uint8_t *table, size_t size, std::array<uint8_t, 256> &lengths,
                        std::string &error)
{
    if (size > lengths_table_most_bytes) {
        error = "lengths table is longer than its lengths need";
        return false;
    }
    Bits in(table, size);
    std::array<uint8_t, length_symbols> code_lengths;
    uint32_t kraft = 0;
    int used = 0, single = 0;
    for (int s = 0; s < length_symbols; ++s) {
        uint32_t len;
        if (!in.take(length_field_bits, len)) {
            error = "lengths table ends before its code";
            return false;
        }
        code_lengths[s] = static_cast<uint8_t>(len);
        if (len != 0) {
            kraft += 1u << (longest_length_code - len);
            ++used;
            single = static_cast<int>(len);
        }
    }
    if (kraft != 1u << longest_length_code && !(used == 1 && single == 1)) {
        error = "lengths table's own code is not complete";
        return false;
    }
    const LengthCode code(code_lengths.data());
    for (int b = 0; b < max_leaves;) {
        if (in.at() >= in.size()) {
            error = "lengths table ends before its 256 lengths";
            return false;
        }
        const LengthCode::Entry e = code.next(in);
        if (e.length == 0) {
            error = "lengths table holds bits that are no code";
            return false;
        }
        in.skip(e.length);
        uint32_t extra = 0;
        const bool run = e.symbol >= short_zero_run;
        if (in.at() > in.size() ||
            (run && !in.take(zero_runs[e.symbol - short_zero_run].extra_bits, extra))) {
            error = "lengths table ends before its 256 lengths";
            return false;
        }
        if (!run) {
            lengths[static_cast<size_t>(b++)] = e.symbol;
            continue;
        }
        const int zeros = zero_runs[e.symbol - short_zero_run].base + static_cast<int>(extra);
        if (b + zeros > max_leaves) {
            error = "lengths table runs past byte value 255";
            return false;
        }
        std::fill_n(lengths.begin() + b, zeros, uint8_t{0});
        b += zeros;
    }
    if ((in.at() + 7) / 8 != size) {
        error = "lengths table is longer than its lengths need";
        return false;
    }
    uint32_t rest = 0;
    if (in.at() < in.size() && !(in.take(static_cast<int>(in.size() - in.at()), rest) && rest == 0)) {
        error = "bits after the lengths are not 0";
        return false;
    }
    uint32_t sum = 0;
    int leaves = 0;
    for (uint8_t len : lengths)
        if (len != 0) {
            sum += 1u << (short_code_bits - len);
            ++leaves;
        }
    if (leaves < 2 || sum != 1u << short_code_bits) {
        error = "lengths give no complete code of two or more byte values";
        return false;
    }
    return true;
}

} // namespace huffman
} // namespace dctlab
