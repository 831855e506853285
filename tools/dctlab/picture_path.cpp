#include "picture_path.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "block_geometry.h"
#include "jfif.h"
#include "records.h"
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
 * its own, and of about kStripPixels pixels, so that a strip's planes stay
 * in the cache from one step to the next. */
constexpr uint32_t kStripPixels = uint32_t{1} << 16;

/* A strip of rows: where its blocks start in the whole record's arrays, and
 * its own block counts. A strip's blocks are a run of the whole record's, as
 * both are numbered row by row. */
struct Strip {
    uint32_t top, height;
    std::size_t luma, chroma; // the first sample of the strip's blocks
    uint32_t luma_blocks, chroma_blocks;
};

/* The strips of a w x h picture whose layout is `whole`, or none when one
 * strip would hold it all. */
std::vector<Strip> strips_of(uint32_t w, uint32_t h, const img::PictureBlocks &whole)
{
    const uint32_t rows = std::max<uint32_t>(16, kStripPixels / w / 16 * 16);
    std::vector<Strip> strips;
    if (h <= rows)
        return strips;
    for (uint32_t top = 0; top < h; top += rows) {
        Strip s{top, std::min(rows, h - top), 0, 0, 0, 0};
        img::PictureBlocks part{};
        (void)img::picture_blocks(w, s.height, &part); // a part of a valid whole
        s.luma = std::size_t{top / 8} * whole.luma.per_row * img::kBlockSamples;
        s.chroma = std::size_t{top / 16} * whole.chroma.per_row * img::kBlockSamples;
        s.luma_blocks = part.luma.count;
        s.chroma_blocks = part.chroma.count;
        strips.push_back(s);
    }
    return strips;
}

/* The strips of a coefficient record, or none when one strip would hold it
 * all or when the record is not one that picture_blocks lays out (which
 * returnFromDCT then refuses with its own line). */
std::vector<Strip> strips_of(const DCTDATA &c)
{
    img::PictureBlocks whole{};
    const bool valid = c.YdataDCT && c.CbDataDCT && c.CrDataDCT &&
                       img::picture_blocks(c.w, c.h, &whole) && whole.luma.count == c.YBlks &&
                       whole.chroma.count == c.CBlks;
    return valid ? strips_of(c.w, c.h, whole) : std::vector<Strip>{};
}

} // namespace

/* The steps work block by block and pixel by pixel, each pixel with the
 * chrominance of its own 2x2 group, so a strip's results are the whole
 * picture's, byte for byte. Making the whole planes instead costs a third
 * more fresh memory, which on a virtual machine is paid page by page, and a
 * trip through main memory between the steps. */
DctPtr transform_picture(const PDRGB &input, uint16_t rate, std::string &error)
{
    img::PictureBlocks whole{};
    const bool valid = input.data && img::picture_blocks(input.w, input.h, &whole);
    const std::vector<Strip> strips =
        valid ? strips_of(input.w, input.h, whole) : std::vector<Strip>{};
    if (strips.empty()) {
        // One strip, or a record that the library refuses with its own line.
        CbcrPtr planes(RGBtoCBCR(&input));
        DctPtr coefficients(planes ? toDCT2(planes.get(), rate) : nullptr);
        if (!coefficients)
            error = planes ? "forward transform failed" : "colour conversion failed";
        return coefficients;
    }
    std::size_t luma = 0, chroma = 0;
    (void)img::block_store_samples(whole.luma.count, &luma); // within 3·w·h, as checked
    (void)img::block_store_samples(whole.chroma.count, &chroma);
    DctPtr c = img::new_dct_record();
    if (c) {
        c->YdataDCT = img::new_written_samples(luma);
        c->CbDataDCT = c->YdataDCT ? img::new_written_samples(chroma) : nullptr;
        c->CrDataDCT = c->CbDataDCT ? img::new_written_samples(chroma) : nullptr;
    }
    if (!c || !c->CrDataDCT) {
        error = "not enough memory for the coefficients";
        return nullptr;
    }
    c->w = input.w;
    c->h = input.h;
    c->YBlks = whole.luma.count;
    c->CBlks = whole.chroma.count;
    for (const Strip &s : strips) {
        const PDRGB rows{input.w, s.height, input.data + std::size_t{s.top} * input.w,
                         input.dBytes};
        CbcrPtr planes(RGBtoCBCR(&rows));
        if (!planes) {
            error = "colour conversion failed";
            return nullptr;
        }
        DctPtr part(toDCT2(planes.get(), rate));
        if (!part) {
            error = "forward transform failed";
            return nullptr;
        }
        const std::size_t luma_bytes = std::size_t{s.luma_blocks} * img::kBlockSamples * 2;
        const std::size_t chroma_bytes = std::size_t{s.chroma_blocks} * img::kBlockSamples * 2;
        std::memcpy(c->YdataDCT + s.luma, part->YdataDCT, luma_bytes);
        std::memcpy(c->CbDataDCT + s.chroma, part->CbDataDCT, chroma_bytes);
        std::memcpy(c->CrDataDCT + s.chroma, part->CrDataDCT, chroma_bytes);
    }
    return c;
}

bool restore_strips(const DCTDATA &c, uint8_t rate, const StripVisitor &each, std::string &error)
{
    std::vector<Strip> strips = strips_of(c);
    if (strips.empty()) // one strip, or a record that returnFromDCT refuses with its own line
        strips.push_back(Strip{0, c.h, 0, 0, c.YBlks, c.CBlks});
    for (const Strip &s : strips) {
        DCTDATA part{
            s.luma_blocks,          s.chroma_blocks,       c.w, s.height, c.YdataDCT + s.luma,
            c.CbDataDCT + s.chroma, c.CrDataDCT + s.chroma};
        CbcrPtr planes(returnFromDCT(&part, rate));
        if (!planes) {
            error = "inverse transform failed";
            return false;
        }
        RgbPtr pixels(CBCRtoRGB(planes.get()));
        if (!pixels) {
            error = "inverse colour conversion failed";
            return false;
        }
        each(s.top, *planes, *pixels);
    }
    return true;
}

RgbPtr restore_picture(const DCTDATA &c, uint8_t rate, std::string &error)
{
    if (strips_of(c).empty()) {
        // One strip, or a record that returnFromDCT refuses with its own line.
        CbcrPtr planes(returnFromDCT(&c, rate));
        RgbPtr picture(planes ? CBCRtoRGB(planes.get()) : nullptr);
        if (!picture)
            error = planes ? "inverse colour conversion failed" : "inverse transform failed";
        return picture;
    }
    // 3·w·h fits 32 bits, as picture_blocks has checked.
    const std::size_t row_bytes = std::size_t{3} * c.w;
    RgbPtr picture = img::new_rgb_record();
    if (picture)
        picture->data = static_cast<BMPPIX8BNA *>(img::new_written_bytes(row_bytes * c.h));
    if (!picture || !picture->data) {
        error = "not enough memory for the picture";
        return nullptr;
    }
    picture->w = c.w;
    picture->h = c.h;
    const bool restored =
        restore_strips(c, rate, [&](uint32_t top, const PDCBCR &, const PDRGB &pixels) {
            picture->dBytes = pixels.dBytes;
            std::memcpy(picture->data + std::size_t{top} * c.w, pixels.data, row_bytes * pixels.h);
        }, error);
    return restored ? std::move(picture) : nullptr;
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
