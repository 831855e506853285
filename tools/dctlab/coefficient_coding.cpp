#include "coefficient_coding.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "encode_words.h"
#include "huffenc.h"
#include "sizemag.h"

namespace dctlab::tool
{

namespace
{

int category(int16_t value, SymbolStreams &out)
{
    char size = 0;
    int16_t magnitude = 0;
    sizemag(value, &size, &magnitude);
    out.magnitude_bits += static_cast<uint64_t>(size);
    return size;
}

} // namespace

void symbolise_plane(const int16_t *coefficients, uint32_t blocks, SymbolStreams &out)
{
    int previous_dc = 0;
    for (uint32_t b = 0; b < blocks; ++b) {
        const int16_t *block = coefficients + 64ull * b;
        // DC values of 8-bit pictures lie within ±2048, so their differences
        // fit in 16 bits; wider ones wrap, as a 16-bit predictor would.
        const auto diff = static_cast<int16_t>(block[0] - previous_dc);
        previous_dc = block[0];
        out.dc.push_back(static_cast<uint8_t>(category(diff, out)));

        int run = 0;
        for (int k = 1; k < 64; ++k) {
            if (block[k] == 0) {
                ++run;
                continue;
            }
            for (; run > 15; run -= 16)
                out.ac.push_back(kSixteenZeros);
            const int size = category(block[k], out);
            out.ac.push_back(static_cast<uint8_t>((run << 4) | (size & 0x0F)));
            run = 0;
        }
        if (run > 0)
            out.ac.push_back(kEndOfBlock);
    }
}

int64_t huffman_coded_bytes(const std::vector<uint8_t> &symbols)
{
    std::array<int32_t, 256> counts{};
    for (uint8_t s : symbols)
        ++counts[s];
    std::array<HUFFCODE, 256> codes{};

    // The table stream as form_tree writes it; the encoded stream is counted
    // from the codes, as the words encode would write for them.
    char *written = nullptr;
    size_t written_size = 0;
    std::FILE *out = open_memstream(&written, &written_size);
    if (!out)
        return -1;
    form_tree(out, counts.data(), 256, codes.data());
    const bool ok = std::ferror(out) == 0;
    std::fclose(out);
    std::free(written);
    const int64_t bits = dctlab::huffman::code_bits(codes.data());
    if (!ok || bits < 0)
        return -1;
    return static_cast<int64_t>(written_size) + 4 * ((bits + 31) / 32);
}

bool coded_size(const DCTDATA &coefficients, CodedSize &out)
{
    SymbolStreams luma, chroma;
    symbolise_plane(coefficients.YdataDCT, coefficients.YBlks, luma);
    symbolise_plane(coefficients.CbDataDCT, coefficients.CBlks, chroma);
    symbolise_plane(coefficients.CrDataDCT, coefficients.CBlks, chroma);
    out = CodedSize{};
    for (const auto *stream : {&luma.dc, &luma.ac, &chroma.dc, &chroma.ac}) {
        const int64_t bytes = huffman_coded_bytes(*stream);
        if (bytes < 0)
            return false;
        out.huffman_bytes += static_cast<uint64_t>(bytes);
    }
    out.magnitude_bits = luma.magnitude_bits + chroma.magnitude_bits;
    return true;
}

double bits_per_pixel(const CodedSize &size, uint32_t w, uint32_t h)
{
    return static_cast<double>(size.total_bits()) / (static_cast<double>(w) * h);
}

} // namespace dctlab::tool
