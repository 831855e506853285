#include "picture_path.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "block_geometry.h"
#include "jfif.h"
#include "result_memory.h"

namespace dctlab::tool
{

bool run_path(const PDRGB &input, uint8_t rate, Reconstruction &out, std::string &error)
{
    out.planes.reset(RGBtoCBCR(&input));
    if (!out.planes) {
        error = "colour conversion failed";
        return false;
    }
    out.coefficients.reset(toDCT2(out.planes.get(), rate));
    if (!out.coefficients) {
        error = "forward transform failed";
        return false;
    }
    out.restored.reset(returnFromDCT(out.coefficients.get(), rate));
    if (!out.restored) {
        error = "inverse transform failed";
        return false;
    }
    out.picture.reset(CBCRtoRGB(out.restored.get()));
    if (!out.picture) {
        error = "inverse colour conversion failed";
        return false;
    }
    return true;
}

namespace
{

/* Strips of a multiple of 16 rows, so that a strip's chrominance rows are
 * its own, and of about kStripPixels pixels, so that a strip's planes are
 * still in the cache when CBCRtoRGB reads them. */
constexpr uint32_t kStripPixels = uint32_t{1} << 16;

uint32_t strip_rows(uint32_t w)
{
    return std::max<uint32_t>(16, kStripPixels / w / 16 * 16);
}

} // namespace

/* A strip's blocks are a run of the whole record's blocks, as they are
 * numbered row by row, so each strip is a record of its own in place. The
 * inverse transform works block by block and the colour conversion pixel by
 * pixel, with each pixel's chrominance from its own 2x2 group, so a strip's
 * pixels are the whole picture's rows byte for byte. Making the whole planes
 * instead costs a third more fresh memory, which on a virtual machine is
 * paid page by page, and a trip through main memory between the steps. */
RgbPtr restore_picture(const DCTDATA &c, uint8_t rate, std::string &error)
{
    img::PictureBlocks whole{};
    const uint32_t rows = strip_rows(c.w);
    const bool strips = c.w != 0 && c.h > rows && img::picture_blocks(c.w, c.h, &whole) &&
                        whole.luma.count == c.YBlks && whole.chroma.count == c.CBlks &&
                        c.YdataDCT && c.CbDataDCT && c.CrDataDCT;
    if (!strips) {
        // One strip, or a record that returnFromDCT refuses with its own line.
        CbcrPtr planes(returnFromDCT(&c, rate));
        RgbPtr picture(planes ? CBCRtoRGB(planes.get()) : nullptr);
        if (!picture)
            error = planes ? "inverse colour conversion failed" : "inverse transform failed";
        return picture;
    }
    // 3·w·h fits 32 bits, as picture_blocks has checked.
    const std::size_t row_bytes = std::size_t{3} * c.w;
    RgbPtr picture(static_cast<PDRGB *>(std::calloc(1, sizeof(PDRGB))));
    if (picture)
        picture->data = static_cast<BMPPIX8BNA *>(img::new_written_bytes(row_bytes * c.h));
    if (!picture || !picture->data) {
        error = "not enough memory for the picture";
        return nullptr;
    }
    picture->w = c.w;
    picture->h = c.h;
    for (uint32_t top = 0; top < c.h; top += rows) {
        img::PictureBlocks part{};
        const uint32_t height = std::min(rows, c.h - top);
        (void)img::picture_blocks(c.w, height, &part); // a part of a valid whole
        const std::size_t luma = std::size_t{top / 8} * whole.luma.per_row * img::kBlockSamples;
        const std::size_t chroma =
            std::size_t{top / 16} * whole.chroma.per_row * img::kBlockSamples;
        DCTDATA strip{part.luma.count,      part.chroma.count,   c.w, height, c.YdataDCT + luma,
                      c.CbDataDCT + chroma, c.CrDataDCT + chroma};
        CbcrPtr planes(returnFromDCT(&strip, rate));
        if (!planes) {
            error = "inverse transform failed";
            return nullptr;
        }
        RgbPtr pixels(CBCRtoRGB(planes.get()));
        if (!pixels) {
            error = "inverse colour conversion failed";
            return nullptr;
        }
        picture->dBytes = pixels->dBytes;
        std::memcpy(picture->data + std::size_t{top} * c.w, pixels->data, row_bytes * height);
    }
    return picture;
}

bool encode_file(const DCTDATA &coefficients, int rate, JpegFile &out, std::string &error)
{
    out.bytes.reset(encodeJPEG(&coefficients, static_cast<uint16_t>(rate), &out.size));
    if (!out.bytes) {
        error = "the JPEG writer refused the coefficients";
        return false;
    }
    return true;
}

double bits_per_pixel(uint64_t bytes, uint32_t w, uint32_t h)
{
    return 8.0 * static_cast<double>(bytes) / (static_cast<double>(w) * h);
}

RgbPtr read_picture(const std::string &path, std::string &error)
{
    RgbPtr picture(getRGBFromFile(path.c_str()));
    if (!picture)
        error = "cannot read a 24-bit BMP picture from '" + path + "'";
    return picture;
}

bool write_picture(const std::string &path, const PDRGB &picture, std::string &error)
{
    writeToBMP(path.c_str(), &picture);
    const uint64_t row = 3ull * picture.w + picture.dBytes;
    // The file header and the info header the writer puts before the rows.
    constexpr uint64_t kHeaders = sizeof(BMPHEADER) + sizeof(BMPINFOHEADER);
    static_assert(kHeaders == 54);
    const uint64_t expected = kHeaders + row * picture.h;
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (ec || size != expected) {
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

} // namespace dctlab::tool
