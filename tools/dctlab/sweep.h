// The rate–distortion curve of a picture: for each quality rate, the error of
// its reconstruction and the bits a pixel of its JPEG file takes.
#ifndef DCTLAB_TOOL_SWEEP_H
#define DCTLAB_TOOL_SWEEP_H

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "imgcodec.h"

namespace dctlab::tool
{

struct SweepRow {
    int rate = 0;
    double psnr_y = 0;   // dB; infinite for a perfect match
    double psnr_rgb = 0; // dB over the three channels together
    double bits_per_pixel = 0;
};

struct RateRange {
    int from = 0, to = 100, step = 5;
    std::vector<int> rates() const;
};

// Parses "FROM:TO:STEP" with 0 <= FROM <= TO <= 255 and STEP >= 1.
bool parse_rate_range(const std::string &text, RateRange &out, std::string &error);

// Measures every rate; `progress(done, total)` is called after each one.
// The picture's planes are made once, for every rate. With `processes`
// above 1 the rates are shared out among that many processes, which
// measure them at once; the rows are the same in any case.
bool sweep(const PDRGB &picture, const std::vector<int> &rates, std::vector<SweepRow> &rows,
           std::string &error, const std::function<void(size_t, size_t)> &progress = {},
           unsigned processes = 1);

void print_table(std::ostream &out, const std::vector<SweepRow> &rows);
std::string to_csv(const std::vector<SweepRow> &rows);

} // namespace dctlab::tool

#endif
