#include "read_lengths.h"

#include "lengths_layout.h"

namespace dctlab
{
namespace huffman
{

namespace
{

// Bits from bytes, most significant first, knowing where they end.
class BitReader
{
  public:
    BitReader(const uint8_t *bytes, size_t size) : bytes_(bytes), bits_(8 * uint64_t{size}) {}
    bool get(int width, uint32_t &value)
    {
        if (at_ + static_cast<uint64_t>(width) > bits_)
            return false;
        value = 0;
        for (int i = 0; i < width; ++i, ++at_)
            value = value << 1 | ((bytes_[at_ / 8] >> (7 - at_ % 8)) & 1u);
        return true;
    }
    uint64_t at() const { return at_; }
    uint64_t size() const { return bits_; }

  private:
    const uint8_t *bytes_;
    uint64_t bits_, at_ = 0;
};

// The canonical code of the length symbols, decoded a bit at a time: at
// each length the codes of that length are the `count` values from `first`.
class LengthCode
{
  public:
    explicit LengthCode(const uint8_t *lengths)
    {
        std::array<HUFFCODE, length_symbols> codes;
        used_ = canonical_codes(lengths, length_symbols, codes.data(), order_.data());
        for (int s = 0; s < length_symbols; ++s)
            ++count_[lengths[s]];
    }
    // -1 for bits that are no code, -2 for a code cut by the table's end.
    int next(BitReader &in) const
    {
        uint32_t code = 0, first = 0;
        int index = 0;
        for (int len = 1; len <= longest_length_code; ++len) {
            uint32_t bit;
            if (!in.get(1, bit))
                return -2;
            code |= bit;
            const uint32_t count = static_cast<uint32_t>(count_[len]);
            if (code - first < count)
                return order_[static_cast<size_t>(index) + (code - first)];
            index += count_[len];
            if (index == used_)
                return -1; // no code is longer
            first = (first + count) << 1;
            code <<= 1;
        }
        return -1;
    }

  private:
    std::array<uint8_t, length_symbols> order_{};
    std::array<int, longest_length_code + 1> count_{};
    int used_ = 0;
};

} // namespace

bool read_lengths_table(const uint8_t *table, size_t size, std::array<uint8_t, 256> &lengths,
                        std::string &error)
{
    BitReader in(table, size);
    std::array<uint8_t, length_symbols> code_lengths;
    uint32_t kraft = 0;
    int used = 0, single = 0;
    for (int s = 0; s < length_symbols; ++s) {
        uint32_t len;
        if (!in.get(length_field_bits, len)) {
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
        const int symbol = code.next(in);
        if (symbol == -2) {
            error = "lengths table ends before its 256 lengths";
            return false;
        }
        if (symbol < 0) {
            error = "lengths table holds bits that are no code";
            return false;
        }
        if (symbol < short_zero_run) {
            lengths[static_cast<size_t>(b++)] = static_cast<uint8_t>(symbol);
            continue;
        }
        const ZeroRun run = zero_runs[symbol - short_zero_run];
        uint32_t extra;
        if (!in.get(run.extra_bits, extra)) {
            error = "lengths table ends before its 256 lengths";
            return false;
        }
        const int zeros = run.base + static_cast<int>(extra);
        if (b + zeros > max_leaves) {
            error = "lengths table runs past byte value 255";
            return false;
        }
        for (int i = 0; i < zeros; ++i)
            lengths[static_cast<size_t>(b++)] = 0;
    }
    if ((in.at() + 7) / 8 != size) {
        error = "lengths table is longer than its lengths need";
        return false;
    }
    uint32_t rest;
    if (!in.get(static_cast<int>(in.size() - in.at()), rest) || rest != 0) {
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
