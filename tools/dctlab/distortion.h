// Error measures between a picture and its reconstruction, in decibels.
#ifndef DCTLAB_TOOL_DISTORTION_H
#define DCTLAB_TOOL_DISTORTION_H

#include <cstdint>
#include <string>

#include "imgcodec.h"

namespace dctlab::tool
{

struct Distortion {
    uint64_t peak = 0; // w·h·255², the energy of a full-scale picture
    uint64_t red = 0, green = 0, blue = 0, luma = 0; // sums of squared differences
    uint64_t rgb = 0;                                // red + green + blue
};

// Both pictures and both plane records must have the same size.
Distortion measure(const PDRGB &before, const PDRGB &after, const PDCBCR &planes_before,
                   const PDCBCR &planes_after);
// Adds to `d.rgb` and `d.luma` (not to the channels one by one) the squared
// differences of `pixels` pixels and luminance samples: what the sweep
// takes, a strip of rows at a time, in vector code.
void add_overall(Distortion &d, const BMPPIX8BNA *before, const BMPPIX8BNA *after,
                 const int16_t *luma_before, const int16_t *luma_after, uint64_t pixels);

// 10·log10(peak / sum); infinite for a perfect match.
double psnr_db(uint64_t peak, uint64_t sum);
// The three colour channels taken together.
double rgb_psnr_db(const Distortion &d);

// Two decimals, or "inf".
std::string format_db(double db);
// `digits` decimals.
std::string fixed(double v, int digits);

} // namespace dctlab::tool

#endif
