#include "distortion.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace dctlab::tool
{

Distortion measure(const PDRGB &before, const PDRGB &after, const PDCBCR &planes_before,
                   const PDCBCR &planes_after)
{
    Distortion d;
    const uint64_t pixels = static_cast<uint64_t>(before.w) * before.h;
    d.peak = pixels * 65025u;
    auto square = [](int a, int b) { return static_cast<uint64_t>((a - b) * (a - b)); };
    for (uint64_t i = 0; i < pixels; ++i) {
        d.red += square(before.data[i].R, after.data[i].R);
        d.green += square(before.data[i].G, after.data[i].G);
        d.blue += square(before.data[i].B, after.data[i].B);
        d.luma += square(planes_before.Ydata[i], planes_after.Ydata[i]);
    }
    return d;
}

double psnr_db(uint64_t peak, uint64_t sum)
{
    if (sum == 0)
        return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(static_cast<double>(peak) / static_cast<double>(sum));
}

double rgb_psnr_db(const Distortion &d)
{
    return psnr_db(3 * d.peak, d.red + d.green + d.blue);
}

std::string format_db(double db)
{
    if (std::isinf(db))
        return "inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", db);
    return text;
}

std::string fixed(double v, int digits)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", digits, v);
    return text;
}

} // namespace dctlab::tool
