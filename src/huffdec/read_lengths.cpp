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
    // The bits from `at` on at the top of 64, 57 of them or more.
    uint64_t window(uint64_t at) const
    {
        uint64_t bits;
        std::memcpy(&bits, bytes_.data() + at / 8, sizeof bits);
        return __builtin_bswap64(bits) << (at % 8);
    }
    // Takes `width` bits; false when they run past the table.
    bool take(int width, uint32_t &value)
    {
        value = static_cast<uint32_t>(window(at_) >> (64 - width));
        at_ += static_cast<uint64_t>(width);
        return at_ <= bits_;
    }
    void seek(uint64_t at) { at_ = at; }
    uint64_t at() const { return at_; }
    uint64_t size() const { return bits_; }

  private:
    std::array<uint8_t, any_lengths_table_most_bytes + 8> bytes_{};
    uint64_t bits_, at_ = 0;
};

// The length symbols' canonical code as a table of its longest length: the
// next 7 bits give a symbol and its length, or nothing where the code is
// one symbol of one bit and the bit is 1.
class LengthCode
{
  public:
    // The canonical code of the layout's lengths (lengths_layout.h),
    // counted out here: canonical_codes' quarters and tables for 256
    // symbols took a tenth of reading a table.
    LengthCode(const uint8_t *lengths, int symbols)
    {
        std::array<uint32_t, longest_length_code + 1> count{}, next{};
        for (int s = 0; s < symbols; ++s)
            ++count[lengths[s]];
        count[0] = 0; // the symbols without a code take none
        uint32_t code = 0;
        for (int len = 1; len <= longest_length_code; ++len) {
            code = (code + count[len - 1]) << 1;
            next[len] = code;
        }
        for (int s = 0; s < symbols; ++s) {
            const int len = lengths[s];
            if (len == 0)
                continue;
            const uint32_t spread = 1u << (longest_length_code - len);
            const uint32_t at = next[len]++ * spread;
            for (uint32_t e = at; e < at + spread; ++e)
                entry_[e] = Entry{static_cast<uint8_t>(s), static_cast<uint8_t>(len)};
        }
    }
    struct Entry {
        uint8_t symbol = 0, length = 0; // length 0: no code
    };
    // The entry of a window's top bits.
    Entry of(uint64_t window) const { return entry_[window >> (64 - longest_length_code)]; }

  private:
    std::array<Entry, 1u << longest_length_code> entry_{};
};

// What a table's lengths sum to, and where they end.
struct Parsed {
    uint64_t end = 0; // the bit after the last length symbol
    uint32_t sum = 0; // the byte lengths' Kraft sum in units of 2^-longest
    int leaves = 0;
};

// The table's own code and its 256 lengths.
bool parse(Bits &in, LengthsLayout layout, std::array<uint8_t, 256> &lengths, Parsed &parsed,
           std::string &error)
{
    std::array<uint8_t, long_length_symbols> code_lengths;
    uint32_t kraft = 0;
    int used = 0, single = 0;
    for (int s = 0; s < layout.symbols(); ++s) {
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
    const LengthCode code(code_lengths.data(), layout.symbols());
    // The next bits in a register, taken again from the copy before a
    // symbol (at most 7 + 7 bits) could pass the 57 it holds: each symbol
    // then waits on the one before for a look-up and a shift, where a load
    // from the copy at each symbol's bit took three times as long.
    constexpr unsigned kMostSymbolBits = 2 * longest_length_code;
    static_assert(zero_runs[0].extra_bits <= longest_length_code &&
                      zero_runs[1].extra_bits <= longest_length_code,
                  "a symbol and its extra bits take at most kMostSymbolBits");
    uint64_t at = in.at(), window = in.window(at);
    unsigned taken = 0;
    // The byte lengths' Kraft sum in units of 2^-longest, and their leaves,
    // as they come: a pass over the 256 afterwards took a fifth of the time.
    uint32_t sum = 0;
    int leaves = 0;
    // Each length's share of the sum from a table: a shift by a count in a
    // register is three micro-operations on Intel's cores where the build
    // does not assume BMI2, and took a fifth of the time here.
    using KraftOf = std::array<uint32_t, long_code_bits + 1>;
    const auto shares = [](int longest) {
        KraftOf k{};
        for (int len = 1; len <= longest; ++len)
            k[static_cast<size_t>(len)] = 1u << (longest - len);
        return k;
    };
    static constexpr KraftOf short_shares = shares(short_code_bits),
                             long_shares = shares(long_code_bits);
    const KraftOf &kraft_of = layout.longest == long_code_bits ? long_shares : short_shares;
    const int short_run = layout.short_run();
    for (int b = 0; b < max_leaves;) {
        if (at >= in.size()) {
            error = "lengths table ends before its 256 lengths";
            return false;
        }
        if (taken > 57 - kMostSymbolBits) {
            window = in.window(at);
            taken = 0;
        }
        const LengthCode::Entry e = code.of(window);
        if (e.length == 0) {
            error = "lengths table holds bits that are no code";
            return false;
        }
        window <<= e.length;
        unsigned used = e.length;
        uint32_t extra = 0;
        const bool run = e.symbol >= short_run;
        if (run) {
            const int extra_bits = zero_runs[e.symbol - short_run].extra_bits;
            extra = static_cast<uint32_t>(window >> (64 - extra_bits));
            window <<= extra_bits;
            used += static_cast<unsigned>(extra_bits);
        }
        at += used;
        taken += used;
        if (at > in.size()) {
            error = "lengths table ends before its 256 lengths";
            return false;
        }
        if (!run) {
            lengths[static_cast<size_t>(b++)] = e.symbol;
            sum += kraft_of[e.symbol];
            leaves += e.symbol != 0 ? 1 : 0;
            continue;
        }
        const int zeros = zero_runs[e.symbol - short_run].base + static_cast<int>(extra);
        if (b + zeros > max_leaves) {
            error = "lengths table runs past byte value 255";
            return false;
        }
        std::fill_n(lengths.begin() + b, zeros, uint8_t{0});
        b += zeros;
    }
    parsed = Parsed{at, sum, leaves};
    return true;
}

} // namespace

size_t lengths_table_extent(const uint8_t *table, size_t size, std::string &error,
                            LengthsLayout layout)
{
    std::array<uint8_t, 256> lengths;
    Parsed parsed;
    Bits in(table, std::min(size, layout.most_bytes()));
    if (!parse(in, layout, lengths, parsed, error))
        return 0;
    return static_cast<size_t>((parsed.end + 7) / 8);
}

bool read_lengths_table(const uint8_t *table, size_t size, std::array<uint8_t, 256> &lengths,
                        std::string &error, LengthsLayout layout)
{
    if (size > layout.most_bytes()) {
        error = "lengths table is longer than its lengths need";
        return false;
    }
    Bits in(table, size);
    Parsed parsed;
    if (!parse(in, layout, lengths, parsed, error))
        return false;
    const uint32_t sum = parsed.sum;
    const int leaves = parsed.leaves;
    in.seek(parsed.end);
    if ((in.at() + 7) / 8 != size) {
        error = "lengths table is longer than its lengths need";
        return false;
    }
    uint32_t rest = 0;
    if (in.at() < in.size() &&
        !(in.take(static_cast<int>(in.size() - in.at()), rest) && rest == 0)) {
        error = "bits after the lengths are not 0";
        return false;
    }
    if (leaves < 2 || sum != 1u << layout.longest) {
        error = "lengths give no complete code of two or more byte values";
        return false;
    }
    return true;
}

} // namespace huffman
} // namespace dctlab
