#include "write_lengths.h"

#include "big_endian.h"
#include "length_limit.h"

#include <algorithm>

namespace dctlab
{
namespace huffman
{

namespace
{

// Bits into bytes, most significant first: the waiting bits at the top of
// 64, stored 8 bytes at a time and moved past the whole ones, with no
// branch a field (a test a bit, and then a loop a byte, on fields as good as
// random, cost mispredicted branches). Stores reach 8 bytes past the last.
class BitWriter
{
  public:
    explicit BitWriter(uint8_t *bytes) : at_(bytes), start_(bytes) {}
    // `value` has no bits above `width`, which is 1 to 24.
    void put(uint32_t value, int width)
    {
        waiting_ |= uint64_t{value} << (64 - count_ - width);
        count_ += width;
        store_be64(at_, waiting_);
        at_ += count_ >> 3;
        waiting_ <<= count_ & ~7;
        count_ &= 7;
    }
    // The bits that wait, with zeros to the end of their byte; the bytes.
    size_t finish()
    {
        store_be64(at_, waiting_);
        return static_cast<size_t>(at_ - start_) + (count_ > 0 ? 1 : 0);
    }

  private:
    uint8_t *at_, *start_;
    uint64_t waiting_ = 0; // the top count_ bits wait for a whole byte
    int count_ = 0;
};

struct Item {
    uint8_t symbol, extra; // the run's extra bits hold `extra`
};

// The lengths as length symbols, and the code of those symbols.
struct LengthSymbols {
    std::array<Item, max_leaves> items;
    int count = 0;
    std::array<int32_t, long_length_symbols> counts{};
    std::array<uint8_t, long_length_symbols> own;
};

void length_symbols(const uint8_t *lengths, LengthsLayout layout, LengthSymbols &table)
{
    std::array<Item, max_leaves> &items = table.items;
    int &count = table.count;
    // The lengths as length symbols: runs of three or more zeros in one.
    for (int b = 0; b < max_leaves;) {
        int run = 0;
        while (b + run < max_leaves && lengths[b + run] == 0)
            ++run;
        if (run < zero_runs[0].base) {
            items[count++] = Item{lengths[b], 0};
            ++b;
            continue;
        }
        b += run;
        constexpr int longest_run = zero_runs[1].base + (1 << zero_runs[1].extra_bits) - 1;
        while (run >= zero_runs[1].base) {
            const int take = std::min(run, longest_run);
            items[count++] = Item{static_cast<uint8_t>(layout.long_run()),
                                  static_cast<uint8_t>(take - zero_runs[1].base)};
            run -= take;
        }
        if (run >= zero_runs[0].base)
            items[count++] = Item{static_cast<uint8_t>(layout.short_run()),
                                  static_cast<uint8_t>(run - zero_runs[0].base)};
        else
            for (; run > 0; --run)
                items[count++] = Item{0, 0};
    }
    const int symbols = layout.symbols();
    std::array<int32_t, long_length_symbols> &counts = table.counts;
    for (int i = 0; i < count; ++i)
        ++counts[items[i].symbol];
    std::array<uint8_t, long_length_symbols> &own = table.own;
    code_lengths(counts.data(), symbols, longest_length_code, own.data());
    int used = 0;
    for (int s = 0; s < symbols; ++s)
        used += counts[s] != 0 ? 1 : 0;
    // One symbol alone gets the one-bit code 0.
    if (used == 1)
        for (int s = 0; s < symbols; ++s)
            own[s] = counts[s] != 0 ? 1 : 0;
}

} // namespace

size_t lengths_table_size(const uint8_t *lengths, LengthsLayout layout)
{
    LengthSymbols table;
    length_symbols(lengths, layout, table);
    uint64_t bits = static_cast<uint64_t>(layout.symbols()) * length_field_bits;
    for (int s = 0; s < layout.symbols(); ++s)
        bits += static_cast<uint64_t>(table.counts[s]) *
                (table.own[s] +
                 (s >= layout.short_run() ? zero_runs[s - layout.short_run()].extra_bits : 0));
    return static_cast<size_t>((bits + 7) / 8);
}

void write_lengths_table(const uint8_t *lengths, LengthsTable &table, LengthsLayout layout)
{
    LengthSymbols symbols_of;
    length_symbols(lengths, layout, symbols_of);
    const int symbols = layout.symbols();
    const std::array<Item, max_leaves> &items = symbols_of.items;
    const int count = symbols_of.count;
    const std::array<uint8_t, long_length_symbols> &own = symbols_of.own;
    std::array<HUFFCODE, long_length_symbols> codes;
    std::array<uint8_t, long_length_symbols> order;
    canonical_codes(own.data(), symbols, codes.data(), order.data());

    BitWriter out(table.bytes.data());
    for (int s = 0; s < symbols; ++s)
        out.put(own[s], length_field_bits);
    for (int i = 0; i < count; ++i) {
        const HUFFCODE &c = codes[items[i].symbol];
        out.put(static_cast<uint32_t>(c.code), c.length);
        if (items[i].symbol >= layout.short_run())
            out.put(items[i].extra, zero_runs[items[i].symbol - layout.short_run()].extra_bits);
    }
    table.size = out.finish();
}

} // namespace huffman
} // namespace dctlab
