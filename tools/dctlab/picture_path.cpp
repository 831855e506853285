#include "picture_path.h"

#include <filesystem>
#include <system_error>

#include "jfif.h"

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
