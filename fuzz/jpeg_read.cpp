// Fuzz target: the JPEG reader on arbitrary bytes, and the writer on what it
// accepts.
//
// decodeJPEG must refuse what it cannot read with an error line and never
// crash, leak or hang. A record it gives back is one the writer can store:
// its rate is at most 2340 and its coefficients are what a file of 8-bit
// samples holds, so encodeJPEG must succeed, and reading that file must give
// the same record and rate again. Writing the record read back must give the
// same bytes, since the writer keeps nothing between calls.
//
// A frame header can ask for up to 2^28 pixels in a few bytes, and the reader
// takes the record's memory before it meets the end of the scan. Inputs whose
// frame is larger than kFramePixels but not so large that the reader refuses
// it outright are skipped, so that the fuzzer spends its time on parsing
// rather than on the allocator; the outright refusals above 2^28 still run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "jfif.h"

namespace
{

constexpr uint64_t kFramePixels = 4u << 20;
constexpr uint64_t kReaderPixels = uint64_t{1} << 28;

uint32_t be16(const uint8_t *p)
{
    return uint32_t{p[0]} << 8 | p[1];
}

// The pixel count of the first frame header before the first scan, or 0
// when there is none. A rough walk over the segments: where it loses its way
// the input merely runs unskipped.
uint64_t frame_pixels(const uint8_t *data, size_t size)
{
    if (size < 2 || data[0] != 0xFF || data[1] != 0xD8)
        return 0;
    size_t at = 2;
    while (at + 4 <= size) {
        if (data[at] != 0xFF)
            return 0;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) { // a fill byte
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            return 0;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 &&
                           marker != 0xC8 && marker != 0xCC;
        if (frame)
            return at + 9 <= size ? uint64_t{be16(data + at + 5)} * be16(data + at + 7) : 0;
        at += 2 + be16(data + at + 2);
    }
    return 0;
}

size_t blocks_bytes(uint32_t blocks)
{
    return size_t{blocks} * 64 * sizeof(int16_t);
}

bool same_record(const DCTDATA &a, const DCTDATA &b)
{
    return a.w == b.w && a.h == b.h && a.YBlks == b.YBlks && a.CBlks == b.CBlks &&
           std::memcmp(a.YdataDCT, b.YdataDCT, blocks_bytes(a.YBlks)) == 0 &&
           std::memcmp(a.CbDataDCT, b.CbDataDCT, blocks_bytes(a.CBlks)) == 0 &&
           std::memcmp(a.CrDataDCT, b.CrDataDCT, blocks_bytes(a.CBlks)) == 0;
}

[[noreturn]] void finding(const char *what)
{
    std::fprintf(stderr, "fuzz_jpeg_read: %s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The library reports every refusal on standard output; the fuzzer's own
    // report goes to standard error.
    if (!std::freopen("/dev/null", "w", stdout))
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const uint64_t pixels = frame_pixels(data, size);
    if (pixels > kFramePixels && pixels <= kReaderPixels)
        return -1;
    uint16_t rate = 0xFFFF;
    DCTDATA *record = decodeJPEG(data, size, &rate);
    if (!record)
        return 0;
    if (rate > 2340)
        finding("the reader gave a rate the writer refuses");
    size_t written_size = 0;
    uint8_t *written = encodeJPEG(record, rate, &written_size);
    if (!written)
        finding("the writer refused a record that the reader gave");
    uint16_t reread_rate = 0xFFFF;
    DCTDATA *reread = decodeJPEG(written, written_size, &reread_rate);
    if (!reread)
        finding("the reader refused the writer's file");
    if (reread_rate != rate || !same_record(*record, *reread))
        finding("the writer's file reads back to another record");
    size_t again_size = 0;
    uint8_t *again = encodeJPEG(reread, reread_rate, &again_size);
    if (!again || again_size != written_size || std::memcmp(again, written, written_size) != 0)
        finding("the same record was written as different files");
    std::free(again);
    freeDCT(reread);
    std::free(written);
    freeDCT(record);
    return 0;
}
