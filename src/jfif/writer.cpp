// Writing a DCTDATA as a JFIF file: the headers, then the scan in two passes,
// the first counting the symbols that the Huffman tables are fitted to, the
// second coding them.
#include <array>
#include <cstdio>

#include "block_tokens.h"
#include "byte_sink.h"
#include "huffman_fit.h"
#include "jfif.h"
#include "jpeg_layout.h"
#include "messages.h"
#include "records.h"
#include "heap_ptr.h"

namespace dctlab::jfif
{

namespace
{

using img::kInvalidArgument;
using img::kNoMemory;

/* Which of the two table sets a block of the MCU uses: luminance, or
 * chrominance for both Cb and Cr. */
enum Table { kLuma = 0, kChroma = 1 };

struct Counts {
    std::array<uint32_t, 256> dc{}, ac{};
};

struct Counter {
    static constexpr bool kChecks = true;
    Counts &counts;
    void dc(int category, uint32_t) { ++counts.dc[category]; }
    void ac(uint8_t symbol, int, uint32_t) { ++counts.ac[symbol]; }
};

// Codes the blocks that the Counter's pass accepted.
struct Coder {
    static constexpr bool kChecks = false;
    BitWriter &out;
    const HuffmanCodes &dc_codes, &ac_codes;
    void dc(int category, uint32_t bits)
    {
        out.put(uint32_t{dc_codes.code[category]} << category | bits,
                dc_codes.length[category] + category);
    }
    void ac(uint8_t symbol, int category, uint32_t bits)
    {
        out.put(uint32_t{ac_codes.code[symbol]} << category | bits,
                ac_codes.length[symbol] + category);
    }
};

/* Runs code_block over the whole scan with one sink for each table set. */
template <class MakeSink> bool walk_scan(const DCTDATA &data, MakeSink &&sink_for, ByteSink *room)
{
    const ScanGeometry g(data.w, data.h);
    int dc[3] = {0, 0, 0};
    auto luma = sink_for(kLuma);
    auto chroma = sink_for(kChroma);
    // The most one MCU can take: six blocks of 16 + 11 bits of DC and 63
    // codes of 16 + 10 bits, every byte stuffed.
    constexpr std::size_t kMcuBytes = 6 * 2 * (27 + 63 * 26) / 8 + 16;
    return for_each_mcu(g, [&](const int64_t *y, uint64_t c) {
        if (room && !room->reserve(kMcuBytes))
            return false;
        for (int i = 0; i < 4; ++i)
            if (!code_block(y[i] < 0 ? nullptr : data.YdataDCT + 64 * y[i], dc[0], luma))
                return false;
        return code_block(data.CbDataDCT + 64 * c, dc[1], chroma) &&
               code_block(data.CrDataDCT + 64 * c, dc[2], chroma);
    });
}

void segment_start(ByteSink &out, uint8_t code, std::size_t length)
{
    out.byte(0xFF);
    out.byte(code);
    out.word(static_cast<uint16_t>(length));
}

void write_headers(ByteSink &out, const DCTDATA &data, int rate, const HuffmanTable (&dc)[2],
                   const HuffmanTable (&ac)[2])
{
    out.byte(0xFF);
    out.byte(marker::SOI);

    static const uint8_t kJfif[] = {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    segment_start(out, marker::APP0, 2 + sizeof kJfif);
    out.bytes(kJfif, sizeof kJfif);

    // One entry, orientation 4: the first row is the picture's bottom row.
    static const uint8_t kExif[] = {'E', 'x', 'i', 'f', 0,    0, 'M', 'M', 0, 0x2A, 0, 0, 0, 8,
                                    0,   1,   0x01, 0x12, 0, 3, 0,   0,   0, 1,    0, 4, 0, 0,
                                    0,   0,   0,    0};
    segment_start(out, marker::APP1, 2 + sizeof kExif);
    out.bytes(kExif, sizeof kExif);

    const bool wide = rate > kLargestBaselineRate;
    segment_start(out, marker::DQT, 2 + 1 + 64 * (wide ? 2 : 1));
    out.byte(wide ? 0x10 : 0x00);
    for (int k = 0; k < 64; ++k) {
        if (wide)
            out.word(divisor(rate, k));
        else
            out.byte(static_cast<uint8_t>(divisor(rate, k)));
    }

    segment_start(out, wide ? marker::SOF1 : marker::SOF0, 2 + 6 + 3 * 3);
    out.byte(8);
    out.word(static_cast<uint16_t>(data.h));
    out.word(static_cast<uint16_t>(data.w));
    out.byte(3);
    static const uint8_t kComponents[3][3] = {{1, 0x22, 0}, {2, 0x11, 0}, {3, 0x11, 0}};
    for (const auto &c : kComponents)
        out.bytes(c, 3);

    std::size_t length = 2;
    for (int t = 0; t < 2; ++t)
        length += 2 * 17 + dc[t].symbol_count + ac[t].symbol_count;
    segment_start(out, marker::DHT, length);
    for (int t = 0; t < 2; ++t)
        for (int cls = 0; cls < 2; ++cls) {
            const HuffmanTable &table = cls == 0 ? dc[t] : ac[t];
            out.byte(static_cast<uint8_t>(cls << 4 | t));
            out.bytes(table.counts.data() + 1, kMaxCodeLength);
            out.bytes(table.symbols.data(), table.symbol_count);
        }

    segment_start(out, marker::SOS, 2 + 1 + 3 * 2 + 3);
    static const uint8_t kScan[] = {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
    out.bytes(kScan, sizeof kScan);
}

/* Sizes a file can state: 16 bits each, and frames the reader takes. */
bool storable_size(const DCTDATA &data)
{
    return data.w <= 0xFFFF && data.h <= 0xFFFF &&
           uint64_t{data.w} * data.h <= kMaxFramePixels;
}

} // namespace

} // namespace dctlab::jfif

using namespace dctlab::jfif;

uint8_t *encodeJPEG(const DCTDATA *data, uint16_t qRate, size_t *size)
{
    dctlab::img::PictureBlocks blocks;
    std::size_t luma_samples = 0, chroma_samples = 0;
    if (!size) {
        std::puts(dctlab::img::kNullArgument);
        return nullptr;
    }
    if (!dctlab::img::inverse_arguments(data, &blocks, &luma_samples, &chroma_samples))
        return nullptr;
    if (qRate > kLargestRate || !storable_size(*data)) {
        std::puts(kInvalidArgument);
        return nullptr;
    }

    Counts counts[2];
    if (!walk_scan(*data, [&](int t) { return Counter{counts[t]}; }, nullptr)) {
        std::puts(kInvalidArgument);
        return nullptr;
    }
    HuffmanTable dc[2], ac[2];
    HuffmanCodes dc_codes[2], ac_codes[2];
    for (int t = 0; t < 2; ++t) {
        dc[t] = fit_huffman(counts[t].dc);
        ac[t] = fit_huffman(counts[t].ac);
        dc_codes[t] = canonical_codes(dc[t]);
        ac_codes[t] = canonical_codes(ac[t]);
    }

    ByteSink out;
    constexpr std::size_t kHeaderRoom = 1024; // headers of at most 700 bytes
    if (!out.reserve(kHeaderRoom + (luma_samples + 2 * chroma_samples) / 16)) {
        std::puts(kNoMemory);
        return nullptr;
    }
    write_headers(out, *data, qRate, dc, ac);
    BitWriter bits(out);
    const bool coded = walk_scan(
        *data, [&](int t) { return Coder{bits, dc_codes[t], ac_codes[t]}; }, &out);
    if (!coded || !out.reserve(16)) {
        std::puts(kNoMemory);
        return nullptr;
    }
    bits.finish();
    out.byte(0xFF);
    out.byte(marker::EOI);
    *size = out.size();
    return out.release();
}

int writeJPEG(const char *fName, const DCTDATA *data, uint16_t qRate)
{
    if (!fName) {
        std::puts(dctlab::img::kNullArgument);
        return 0;
    }
    size_t size = 0;
    const dctlab::heap_ptr<uint8_t[]> bytes(encodeJPEG(data, qRate, &size));
    if (!bytes)
        return 0;
    std::FILE *f = std::fopen(fName, "wb");
    if (!f) {
        std::puts(dctlab::img::kCantWrite);
        return 0;
    }
    const bool written = std::fwrite(bytes.get(), 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) {
        std::remove(fName);
        std::puts(dctlab::img::kCantWrite);
        return 0;
    }
    return 1;
}
