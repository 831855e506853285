// Fuzz target: the whole picture path on an arbitrary file.
//
// The input is written to a file and read with getRGBFromFile; a picture it
// accepts goes through RGBtoCBCR, toDCT2 at the rate held in the file
// header's reserved1 field (which the reader ignores), returnFromDCT at the
// same rate cut to 8 bits, CBCRtoRGB and writeToBMP, and every record is
// released. A rate above 2340 exercises toDCT2's refusal. Both colour
// conversions are checked sample by sample against their definition.
//
// The reader keeps a picture whose file ends inside its rows, so a tiny input
// can ask for a huge one. Headers that ask for more than 16 megapixels are
// skipped, so that the fuzzer spends its time on parsing rather than on the
// allocator; pictures above kPathPixels are read but not transformed, since
// the block transform costs several allocations per 8x8 block and large
// pictures would slow the fuzzer to a crawl without reaching new code.
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "imgcodec.h"

namespace
{

constexpr uint64_t kReadPixels = 16u << 20;
constexpr uint64_t kPathPixels = 16u << 10;

std::string in_path, out_path;

void remove_files()
{
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
}

uint32_t le32(const uint8_t *p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The pixel count that the header asks for, or 0 when the input is too short
// to say.
uint64_t pixels_asked(const uint8_t *data, size_t size)
{
    if (size < 26)
        return 0;
    const auto w = static_cast<int32_t>(le32(data + 18));
    const auto h = static_cast<int32_t>(le32(data + 22));
    const uint64_t aw = w < 0 ? 0u - static_cast<uint64_t>(w) : static_cast<uint64_t>(w);
    const uint64_t ah = h < 0 ? 0u - static_cast<uint64_t>(h) : static_cast<uint64_t>(h);
    return aw * ah;
}

bool write_file(const uint8_t *data, size_t size)
{
    std::FILE *f = std::fopen(in_path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// The colour conversions straight from their definition, one pixel at a
// time in long double, to hold the library's faster road to them on
// arbitrary pixels and samples.
bool extended_precision = false;

int16_t round_half_away(double num)
{
    return static_cast<int16_t>(static_cast<int16_t>(2.0 * num) - static_cast<int16_t>(num));
}

long double luma_of(const BMPPIX8BNA &p)
{
    return (p.R * 0.299L + p.G * 0.587L) + p.B * 0.114L;
}

uint8_t clip(long double x)
{
    return x >= 255.0L ? 255 : x < 0.0L ? 0 : static_cast<uint8_t>(static_cast<int>(x));
}

struct Group {
    uint32_t y[4], x[4]; // P1 .. P4; repeated at an odd right or bottom edge
};

Group group_at(uint32_t i, uint32_t j, uint32_t w, uint32_t h)
{
    const uint32_t dy = i + 1 < h ? 1 : 0, dx = j + 1 < w ? 1 : 0;
    return Group{{i, i, i + dy, i + dy}, {j, j + dx, j, j + dx}};
}

bool planes_match(const PDRGB &rgb, const PDCBCR &ycc)
{
    const uint32_t w = rgb.w, h = rgb.h, cw = (w + w % 2) / 2;
    for (uint32_t i = 0; i < h; i += 2)
        for (uint32_t j = 0; j < w; j += 2) {
            const Group g = group_at(i, j, w, h);
            long double u[4], v[4];
            for (int k = 0; k < 4; ++k) {
                const BMPPIX8BNA &p = rgb.data[size_t{g.y[k]} * w + g.x[k]];
                u[k] = (p.B - luma_of(p)) * 0.5643L;
                v[k] = (p.R - luma_of(p)) * 0.7132L;
            }
            const size_t c = size_t{i / 2} * cw + j / 2;
            const auto cb = static_cast<double>(((((u[0] + u[1]) + u[2]) + u[3]) + 512) / 4);
            const auto cr = static_cast<double>(((((v[0] + v[1]) + v[2]) + v[3]) + 512) / 4);
            if (ycc.CbData[c] != round_half_away(cb) || ycc.CrData[c] != round_half_away(cr))
                return false;
        }
    for (size_t n = 0; n < size_t{w} * h; ++n)
        if (ycc.Ydata[n] != round_half_away(static_cast<double>(luma_of(rgb.data[n]))))
            return false;
    return true;
}

bool pixels_match(const PDCBCR &ycc, const PDRGB &rgb)
{
    const uint32_t w = ycc.w, h = ycc.h, cw = (w + w % 2) / 2;
    for (uint32_t i = 0; i < h; i += 2)
        for (uint32_t j = 0; j < w; j += 2) {
            const Group g = group_at(i, j, w, h);
            const size_t c = size_t{i / 2} * cw + j / 2;
            const int dcb = ycc.CbData[c] - 128, dcr = ycc.CrData[c] - 128;
            for (int k = 0; k < 4; ++k) {
                const size_t n = size_t{g.y[k]} * w + g.x[k];
                const long double y = ycc.Ydata[n];
                const BMPPIX8BNA &p = rgb.data[n];
                if (p.G != clip((y + dcr * -0.714L) + dcb * -0.334L) ||
                    p.R != clip(y + dcr * 1.402L) || p.B != clip(y + dcb * 1.772L))
                    return false;
            }
        }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *dir = std::getenv("TMPDIR");
    const std::string base = std::string(dir && *dir ? dir : "/tmp") + "/dctlab-fuzz-picture-" +
                             std::to_string(getpid());
    in_path = base + "-in.bmp";
    out_path = base + "-out.bmp";
    std::atexit(remove_files);
    // Under valgrind long double has only double's precision, and the
    // definition's exact ties cannot be held to.
    volatile long double one = 1.0L;
    extended_precision = one + LDBL_EPSILON != one;
    // The library reports every refusal on standard output; the fuzzer's own
    // report goes to standard error.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint64_t pixels = pixels_asked(data, size);
    if (pixels > kReadPixels)
        return -1;
    if (!write_file(data, size))
        std::abort();
    PDRGB *rgb = getRGBFromFile(in_path.c_str());
    if (!rgb)
        return 0;
    if (uint64_t{rgb->w} * rgb->h != pixels || rgb->data == nullptr)
        std::abort(); // accepted a picture of another size than its header's
    const uint16_t rate = static_cast<uint16_t>(data[6] | data[7] << 8);
    if (pixels <= kPathPixels) {
        // What the writer writes, the reader reads back unchanged.
        writeToBMP(out_path.c_str(), rgb);
        PDRGB *reread = getRGBFromFile(out_path.c_str());
        if (!reread || reread->w != rgb->w || reread->h != rgb->h ||
            std::memcmp(reread->data, rgb->data, size_t{3} * pixels) != 0)
            std::abort();
        freeRGB(reread);

        PDCBCR *planes = RGBtoCBCR(rgb);
        if (!planes || (extended_precision && !planes_match(*rgb, *planes)))
            std::abort();
        DCTDATA *blocks = toDCT2(planes, rate);
        if ((blocks == nullptr) != (rate > 2340))
            std::abort();
        if (blocks) {
            PDCBCR *back = returnFromDCT(blocks, static_cast<uint8_t>(rate));
            if (!back || back->w != rgb->w || back->h != rgb->h)
                std::abort();
            PDRGB *again = CBCRtoRGB(back);
            if (!again || again->w != rgb->w || again->h != rgb->h ||
                again->dBytes != rgb->dBytes ||
                (extended_precision && !pixels_match(*back, *again)))
                std::abort();
            writeToBMP(out_path.c_str(), again);
            freeRGB(again);
            freeCBCR(back);
            freeDCT(blocks);
        }
        freeCBCR(planes);
    }
    freeRGB(rgb);
    return 0;
}
