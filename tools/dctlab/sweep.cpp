#include "sweep.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "distortion.h"
#include "picture_path.h"

namespace dctlab::tool
{

std::vector<int> RateRange::rates() const
{
    std::vector<int> out;
    // Counted, not stepped past `to`: a step near INT_MAX must not wrap.
    if (from > to || step < 1)
        return out;
    const int64_t count = (int64_t{to} - from) / step + 1;
    for (int64_t i = 0; i < count; ++i)
        out.push_back(static_cast<int>(from + i * step));
    return out;
}

namespace
{

// A whole decimal number up to INT_MAX, nothing else: sscanf's %d would
// take "4294967297" as 1 and "+5" or " 5" as 5.
bool parse_count(const std::string &text, int &out)
{
    if (text.empty() || text.size() > 18)
        return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = 10 * value + (c - '0');
    }
    if (value > INT32_MAX)
        return false;
    out = static_cast<int>(value);
    return true;
}

} // namespace

bool parse_rate_range(const std::string &text, RateRange &out, std::string &error)
{
    int from = 0, to = 0, step = 0;
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos || !parse_count(text.substr(0, first), from) ||
        !parse_count(text.substr(first + 1, second - first - 1), to) ||
        !parse_count(text.substr(second + 1), step)) {
        error = "--rates takes FROM:TO:STEP, for example 0:100:5";
        return false;
    }
    if (from < 0 || to > 255 || from > to || step < 1) {
        error = "--rates needs 0 <= FROM <= TO <= 255 and STEP >= 1";
        return false;
    }
    out = RateRange{from, to, step};
    return true;
}

bool sweep(const PDRGB &picture, const std::vector<int> &rates, std::vector<SweepRow> &rows,
           std::string &error, const std::function<void(size_t, size_t)> &progress)
{
    rows.clear();
    for (size_t i = 0; i < rates.size(); ++i) {
        Reconstruction path;
        if (!run_path(picture, static_cast<uint8_t>(rates[i]), path, error))
            return false;
        JpegFile file;
        if (!encode_file(*path.coefficients, rates[i], file, error))
            return false;
        const Distortion d = measure(picture, *path.picture, *path.planes, *path.restored);
        rows.push_back({rates[i], psnr_db(d.peak, d.luma), rgb_psnr_db(d),
                        bits_per_pixel(file.size, picture.w, picture.h)});
        if (progress)
            progress(i + 1, rates.size());
    }
    return true;
}

void print_table(std::ostream &out, const std::vector<SweepRow> &rows)
{
    char line[96];
    std::snprintf(line, sizeof line, "%5s %10s %12s %11s\n", "rate", "PSNR-Y dB", "PSNR-RGB dB",
                  "bits/pixel");
    out << line;
    for (const SweepRow &r : rows) {
        std::snprintf(line, sizeof line, "%5d %10s %12s %11.4f\n", r.rate,
                      format_db(r.psnr_y).c_str(), format_db(r.psnr_rgb).c_str(), r.bits_per_pixel);
        out << line;
    }
}

std::string to_csv(const std::vector<SweepRow> &rows)
{
    std::string csv = "rate,psnr_y_db,psnr_rgb_db,bits_per_pixel\n";
    for (const SweepRow &r : rows)
        csv += std::to_string(r.rate) + "," + format_db(r.psnr_y) + "," + format_db(r.psnr_rgb) +
               "," + fixed(r.bits_per_pixel, 4) + "\n";
    return csv;
}

} // namespace dctlab::tool
