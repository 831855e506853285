// The road of a picture through the image library, for the dctlab program:
// owning handles for the library's records, and the forward and back path at
// one quality rate.
#ifndef DCTLAB_TOOL_PICTURE_PATH_H
#define DCTLAB_TOOL_PICTURE_PATH_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "heap_ptr.h"
#include "imgcodec.h"
#include "record_handles.h"

namespace dctlab::tool
{

using img::CbcrPtr;
using img::DctPtr;
using img::RgbPtr;

// Every record the path builds from one picture at one rate.
struct Reconstruction {
    CbcrPtr planes;      // RGBtoCBCR of the input
    DctPtr coefficients; // toDCT2 of those planes
    CbcrPtr restored;    // returnFromDCT of the coefficients
    RgbPtr picture;      // CBCRtoRGB of the restored planes
};

// Runs RGBtoCBCR, toDCT2, returnFromDCT and CBCRtoRGB. On failure returns
// false and names the step in `error`; the library has printed its own line.
bool run_path(const PDRGB &input, uint8_t rate, Reconstruction &out, std::string &error);

// RGBtoCBCR and toDCT2 of `input`, and returnFromDCT and CBCRtoRGB of
// `coefficients`: what run_path's first and last two steps make, without
// the whole picture's planes, a strip of rows at a time. On failure they
// return null and name the step in `error`.
DctPtr transform_picture(const PDRGB &input, uint16_t rate, std::string &error);
RgbPtr restore_picture(const DCTDATA &coefficients, uint8_t rate, std::string &error);

// returnFromDCT and CBCRtoRGB of `coefficients` a strip of rows at a time,
// as restore_picture makes them, each strip's planes and pixels (its rows
// from `top` on) handed to `each` instead of kept.
using StripVisitor = std::function<void(uint32_t top, const PDCBCR &planes, const PDRGB &pixels)>;
bool restore_strips(const DCTDATA &coefficients, uint8_t rate, const StripVisitor &each,
                    std::string &error);

// The JPEG file of the coefficients at `rate`, as dctlab encode writes it;
// null with `error` set when the writer refuses (after its own line).
struct JpegFile {
    heap_ptr<uint8_t[]> bytes;
    size_t size = 0;
};
bool encode_file(const DCTDATA &coefficients, int rate, JpegFile &out, std::string &error);

// What a file of `bytes` bytes spends on each of the picture's w x h pixels.
double bits_per_pixel(uint64_t bytes, uint32_t w, uint32_t h);

// Reads a picture; on failure returns null and sets `error`.
RgbPtr read_picture(const std::string &path, std::string &error);

// Writes a picture and checks that the whole file arrived: writeToBMP
// returns nothing, and reports its failures only as a line on standard
// output.
bool write_picture(const std::string &path, const PDRGB &picture, std::string &error);

} // namespace dctlab::tool

#endif
