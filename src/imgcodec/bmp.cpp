/* BMP picture files, as this library writes them: a 14-byte file header, a
 * 40-byte info header and from byte 54 the pixel rows, h rows of w pixels of
 * three bytes (blue, green, red), each row followed by (-3w) mod 4 zero
 * bytes. All fields are little-endian and the headers are packed; the rows
 * are stored bottom row first, and a record keeps them in file order.
 *
 * The reader accepts only uncompressed 24-bit files, but takes the rows from
 * where the header's offset says they begin, so the longer info headers and
 * palettes that other tools write are stepped over, and it turns rows stored
 * top row first (a negative height) into the usual bottom-up order. A file
 * that ends inside its rows is not refused: the pixels it lacks stay black. */
#include "imgcodec.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "checked_size.h"
#include "geometry.h"
#include "kept_blocks.h"
#include "little_endian.h"
#include "messages.h"
#include "records.h"

static_assert(sizeof(BMPHEADER) == 14 && sizeof(BMPINFOHEADER) == 40);
static_assert(sizeof(BMPPIX8BNA) == 3 && alignof(BMPPIX8BNA) == 1,
              "a row of pixels must be exactly the 3w bytes of the file");

namespace
{

using dctlab::add_u32;
using dctlab::mul_u32;
using namespace dctlab::img;

constexpr uint16_t kSignature = 0x4D42; // the bytes "BM" read as a little-endian field
constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kInfoHeaderBytes = 40;
constexpr uint32_t kHeaderBytes = kFileHeaderBytes + kInfoHeaderBytes;
constexpr uint16_t kBitsPerPixel = 24;
constexpr uint32_t kUncompressed = 0;
constexpr int32_t kPixelsPerMetre = 2834; // 72 dots per inch

/* Where each field stands in the 54 header bytes. The records carry the same
 * layout in memory, which the asserts confirm, but the bytes are never copied
 * into them wholesale: the host's byte order is not the file's. */
namespace at
{
constexpr std::size_t type = 0, size = 2, reserved1 = 6, reserved2 = 8, offset = 10;
constexpr std::size_t info_size = 14, width = 18, height = 22, planes = 26, bits = 28,
                      compression = 30, imagesize = 34, xresolution = 38, yresolution = 42,
                      ncolors = 46, importantcolors = 50;
} // namespace at
static_assert(at::offset == offsetof(BMPHEADER, offset));
static_assert(at::width == kFileHeaderBytes + offsetof(BMPINFOHEADER, width));
static_assert(at::importantcolors == kFileHeaderBytes + offsetof(BMPINFOHEADER, importantcolors));
static_assert(at::importantcolors + 4 == kHeaderBytes);

using HeaderBytes = std::array<uint8_t, kHeaderBytes>;

/* (3w + padding)·h, the bytes of the rows, and that plus the headers, the
 * file size, both within the 32 bits of the fields that carry them. */
bool file_bytes(uint32_t w, uint32_t h, uint8_t padding, uint32_t *rows, uint32_t *file)
{
    uint32_t row = 0;
    return mul_u32(w, 3, &row) && add_u32(row, padding, &row) && mul_u32(row, h, rows) &&
           add_u32(*rows, kHeaderBytes, file);
}

/* What the reader takes from a file's headers. */
struct Layout {
    uint32_t w;
    uint32_t h;
    uint32_t pixel_bytes;
    uint32_t offset; // where the first stored row begins
    bool top_down;   // rows stored top row first
};

/* Decodes the two headers and accepts them only when the rows that follow
 * are what the reader can take: uncompressed 24-bit pixels in a picture of
 * at least one pixel whose sizes fit the 32-bit fields. */
bool parse_headers(const HeaderBytes &raw, Layout *layout)
{
    using dctlab::load_le16;
    using dctlab::load_le32;
    using dctlab::load_le32s;
    const uint8_t *p = raw.data();
    BMPHEADER file{};
    file.type = load_le16(p + at::type);
    file.size = load_le32(p + at::size);
    file.reserved1 = load_le16(p + at::reserved1);
    file.reserved2 = load_le16(p + at::reserved2);
    file.offset = load_le32(p + at::offset);
    BMPINFOHEADER info{};
    info.size = load_le32(p + at::info_size);
    info.width = load_le32s(p + at::width);
    info.height = load_le32s(p + at::height);
    info.planes = load_le16(p + at::planes);
    info.bits = load_le16(p + at::bits);
    info.compression = load_le32(p + at::compression);
    info.imagesize = load_le32(p + at::imagesize);
    info.xresolution = load_le32s(p + at::xresolution);
    info.yresolution = load_le32s(p + at::yresolution);
    info.ncolors = load_le32(p + at::ncolors);
    info.importantcolors = load_le32(p + at::importantcolors);

    if (file.type != kSignature || info.size < kInfoHeaderBytes || info.width <= 0 ||
        info.height == 0 || info.bits != kBitsPerPixel || info.compression != kUncompressed ||
        file.offset < kHeaderBytes)
        return false;
    const auto w = static_cast<uint32_t>(info.width);
    // The magnitude is taken in unsigned arithmetic, where INT32_MIN has one.
    const uint32_t h = info.height > 0 ? static_cast<uint32_t>(info.height)
                                       : 0u - static_cast<uint32_t>(info.height);
    uint32_t pixels = 0, rows = 0, total = 0;
    if (!pixel_bytes_of(w, h, &pixels) || !file_bytes(w, h, row_padding(w), &rows, &total))
        return false;
    *layout = Layout{w, h, pixels, file.offset, info.height < 0};
    return true;
}

HeaderBytes encode_headers(const PDRGB &pic, uint32_t row_bytes, uint32_t file_size)
{
    const BMPHEADER file{kSignature, file_size, 0, 0, kHeaderBytes};
    // The caller has checked the file size, which bounds w below 2^32 / 3 and
    // h below 2^30: both fit the signed fields.
    const BMPINFOHEADER info{kInfoHeaderBytes,
                             static_cast<int32_t>(pic.w),
                             static_cast<int32_t>(pic.h),
                             1,
                             kBitsPerPixel,
                             kUncompressed,
                             row_bytes,
                             kPixelsPerMetre,
                             kPixelsPerMetre,
                             0,
                             0};
    using dctlab::store_le16;
    using dctlab::store_le32;
    HeaderBytes raw{};
    uint8_t *p = raw.data();
    store_le16(p + at::type, file.type);
    store_le32(p + at::size, file.size);
    store_le16(p + at::reserved1, file.reserved1);
    store_le16(p + at::reserved2, file.reserved2);
    store_le32(p + at::offset, file.offset);
    store_le32(p + at::info_size, info.size);
    store_le32(p + at::width, static_cast<uint32_t>(info.width));
    store_le32(p + at::height, static_cast<uint32_t>(info.height));
    store_le16(p + at::planes, info.planes);
    store_le16(p + at::bits, info.bits);
    store_le32(p + at::compression, info.compression);
    store_le32(p + at::imagesize, info.imagesize);
    store_le32(p + at::xresolution, static_cast<uint32_t>(info.xresolution));
    store_le32(p + at::yresolution, static_cast<uint32_t>(info.yresolution));
    store_le32(p + at::ncolors, info.ncolors);
    store_le32(p + at::importantcolors, info.importantcolors);
    return raw;
}

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using ReadFile = std::unique_ptr<std::FILE, FileCloser>;

/* Reads and drops n bytes; false when the file ends first. Reading rather
 * than seeking works on any stream and gives a position past the end the
 * same meaning as a short file. */
bool skip(std::FILE *file, uint32_t n)
{
    std::array<uint8_t, 512> scratch;
    while (n > 0) {
        const std::size_t step = std::min<std::size_t>(n, scratch.size());
        if (std::fread(scratch.data(), 1, step, file) != step)
            return false;
        n -= static_cast<uint32_t>(step);
    }
    return true;
}

/* Fills the zeroed pixel array row by row until the file ends; whatever the
 * file does not supply stays 0. The file stands after the 54 header bytes. */
void read_rows(std::FILE *file, const Layout &layout, BMPPIX8BNA *data)
{
    if (!skip(file, layout.offset - kHeaderBytes))
        return;
    const std::size_t row_bytes = std::size_t{3} * layout.w;
    const uint8_t padding = row_padding(layout.w);
    auto *bytes = reinterpret_cast<uint8_t *>(data);
    for (uint32_t i = 0; i < layout.h; ++i) {
        const uint32_t row = layout.top_down ? layout.h - 1 - i : i;
        if (std::fread(bytes + row * row_bytes, 1, row_bytes, file) != row_bytes ||
            !skip(file, padding))
            return;
    }
}

} // namespace

PDRGB *getRGBFromFile(const char *fName)
{
    if (!fName) {
        std::puts(kNullArgument);
        return nullptr;
    }
    const ReadFile file(std::fopen(fName, "rb"));
    if (!file) {
        std::puts(kCantRead);
        return nullptr;
    }
    HeaderBytes raw{};
    Layout layout{};
    if (std::fread(raw.data(), 1, raw.size(), file.get()) != raw.size() ||
        !parse_headers(raw, &layout)) {
        std::puts(kNotBmp);
        return nullptr;
    }
    auto pic = new_rgb_record();
    if (!pic)
        return nullptr;
    pic->data = static_cast<BMPPIX8BNA *>(std::calloc(layout.pixel_bytes, 1));
    if (!pic->data) {
        std::puts(kNoMemory);
        return nullptr;
    }
    read_rows(file.get(), layout, pic->data);
    pic->w = layout.w;
    pic->h = layout.h;
    pic->dBytes = row_padding(layout.w);
    return pic.release();
}

void writeToBMP(const char *fName, const PDRGB *dataToWrite)
{
    if (!fName || !dataToWrite || !dataToWrite->data) {
        std::puts(kNullArgument);
        return;
    }
    const PDRGB &pic = *dataToWrite;
    // A picture whose sizes wrap in the 32-bit header fields would be stored
    // with headers that misdescribe it.
    uint32_t rows_bytes = 0, file_size = 0;
    if (!file_bytes(pic.w, pic.h, pic.dBytes, &rows_bytes, &file_size)) {
        std::puts(kInvalidArgument);
        return;
    }
    std::FILE *file = std::fopen(fName, "wb");
    if (!file) {
        std::puts(kCantWrite);
        return;
    }
    // Writing stops at the first failure; the file is closed either way and
    // the failure is reported with the line for a file that cannot be written.
    const HeaderBytes raw = encode_headers(pic, rows_bytes, file_size);
    bool ok = std::fwrite(raw.data(), 1, raw.size(), file) == raw.size();
    static constexpr std::array<uint8_t, 256> zeros{};
    const std::size_t row_bytes = std::size_t{3} * pic.w;
    const auto *bytes = reinterpret_cast<const uint8_t *>(pic.data);
    for (uint32_t i = 0; ok && i < pic.h; ++i)
        ok = std::fwrite(bytes + i * row_bytes, 1, row_bytes, file) == row_bytes &&
             std::fwrite(zeros.data(), 1, pic.dBytes, file) == pic.dBytes;
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        std::puts(kCantWrite);
}

void freeRGB(PDRGB *in)
{
    if (!in)
        return;
    release_block(in->data);
    std::free(in);
}
