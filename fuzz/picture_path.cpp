// Fuzz target: the whole picture path on an arbitrary file.
//
// The input is written to a file and read with getRGBFromFile; a picture it
// accepts goes through RGBtoCBCR, toDCT2 at the rate held in the file
// header's reserved1 field (which the reader ignores), returnFromDCT at the
// same rate cut to 8 bits, CBCRtoRGB and writeToBMP, and every record is
// released. A rate above 2340 exercises toDCT2's refusal.
//
// The reader keeps a picture whose file ends inside its rows, so a tiny input
// can ask for a huge one. Headers that ask for more than 16 megapixels are
// skipped, so that the fuzzer spends its time on parsing rather than on the
// allocator; pictures above kPathPixels are read but not transformed, since
// the block transform costs several allocations per 8x8 block and large
// pictures would slow the fuzzer to a crawl without reaching new code.
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

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    const char *dir = std::getenv("TMPDIR");
    const std::string base = std::string(dir && *dir ? dir : "/tmp") + "/dctlab-fuzz-picture-" +
                             std::to_string(getpid());
    in_path = base + "-in.bmp";
    out_path = base + "-out.bmp";
    std::atexit(remove_files);
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
        if (!planes)
            std::abort();
        DCTDATA *blocks = toDCT2(planes, rate);
        if ((blocks == nullptr) != (rate > 2340))
            std::abort();
        if (blocks) {
            PDCBCR *back = returnFromDCT(blocks, static_cast<uint8_t>(rate));
            if (!back || back->w != rgb->w || back->h != rgb->h)
                std::abort();
            PDRGB *again = CBCRtoRGB(back);
            if (!again || again->w != rgb->w || again->h != rgb->h || again->dBytes != rgb->dBytes)
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
