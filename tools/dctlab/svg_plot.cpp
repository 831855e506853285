#include "svg_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <sstream>

#include "distortion.h"

namespace dctlab::tool
{

namespace
{

// A tick step of 1, 2 or 5 times a power of ten that gives about `count` ticks.
double tick_step(double span, int count)
{
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0})
        if (raw <= m * power)
            return m * power;
    return 10 * power;
}

// Where an axis starts and ends, its ticks, and where a value falls on it.
struct Scale {
    double low, high;
    bool logarithmic;
    std::vector<double> ticks;
    double fraction(double v) const
    {
        if (logarithmic)
            return (std::log10(v) - std::log10(low)) / (std::log10(high) - std::log10(low));
        return (v - low) / (high - low);
    }
};

Scale linear_scale(double low, double high)
{
    if (high - low < 1e-9) {
        low -= 1;
        high += 1;
    }
    const double step = tick_step(high - low, 6);
    Scale s{std::floor(low / step) * step, std::ceil(high / step) * step, false, {}};
    for (int i = 0; s.low + i * step <= s.high + step / 2; ++i)
        s.ticks.push_back(s.low + i * step);
    return s;
}

// Ticks at 1, 2 and 5 times the powers of ten, the axis ending on ticks.
Scale log_scale(double low, double high)
{
    std::vector<double> nice;
    for (int e = static_cast<int>(std::floor(std::log10(low))) - 1;
         e <= static_cast<int>(std::ceil(std::log10(high))); ++e)
        for (double m : {1.0, 2.0, 5.0})
            nice.push_back(m * std::pow(10.0, e));
    Scale s{nice.front(), nice.back(), true, {}};
    for (double v : nice) {
        if (v <= low * (1 + 1e-9))
            s.low = v;
        if (v >= high * (1 - 1e-9) && s.high == nice.back())
            s.high = v;
    }
    for (double v : nice)
        if (v >= s.low && v <= s.high)
            s.ticks.push_back(v);
    return s;
}

std::string tick_label(double v, const Scale &s)
{
    char text[32];
    if (s.logarithmic) {
        std::snprintf(text, sizeof text, "%g", v);
        return text;
    }
    const double step = s.ticks.size() > 1 ? s.ticks[1] - s.ticks[0] : 1;
    return fixed(v, step < 0.1 ? 2 : step < 1 ? 1 : 0);
}

// Text for an XML document in UTF-8: the markup characters escaped, and
// whatever is not well-formed UTF-8 or not allowed in XML 1.0 (control
// characters, surrogates, U+FFFE and U+FFFF) replaced by U+FFFD, so that a
// file name in Latin-1 or with a control byte still gives a document that
// parsers open.
std::string escape(const std::string &text)
{
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // Length and smallest value of the sequence this lead byte opens.
            const int length = c >= 0xF0 && c <= 0xF4  ? 4
                               : c >= 0xE0             ? 3
                               : c >= 0xC2 && c < 0xE0 ? 2
                                                       : 0;
            uint32_t code = length == 4 ? c & 0x07u : length == 3 ? c & 0x0Fu : c & 0x1Fu;
            int taken = 1;
            while (length > 0 && taken < length && i + taken < text.size() &&
                   (static_cast<unsigned char>(text[i + taken]) & 0xC0) == 0x80)
                code = (code << 6) | (static_cast<unsigned char>(text[i + taken++]) & 0x3Fu);
            const uint32_t least = length == 4 ? 0x10000 : length == 3 ? 0x800 : 0x80;
            const bool valid = length > 0 && taken == length && code >= least && code <= 0x10FFFF &&
                               !(code >= 0xD800 && code <= 0xDFFF) && code != 0xFFFE &&
                               code != 0xFFFF;
            if (valid)
                out.append(text, i, static_cast<size_t>(length));
            else
                out += kReplacement;
            i += valid ? static_cast<size_t>(length) : 1;
            continue;
        }
        ++i;
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            out += kReplacement;
            continue;
        }
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += static_cast<char>(c);
        }
    }
    return out;
}

} // namespace

std::string to_svg(const std::vector<SweepRow> &rows, const std::string &title)
{
    constexpr double width = 800, height = 520, left = 80, right = 30, top = 50, bottom = 70;
    constexpr double plot_w = width - left - right, plot_h = height - top - bottom;

    // Infinite PSNR (a perfect match) cannot be placed on the axis.
    std::vector<const SweepRow *> finite;
    for (const SweepRow &r : rows)
        if (std::isfinite(r.psnr_y) && std::isfinite(r.psnr_rgb))
            finite.push_back(&r);
    double x_low = 0, x_high = 1, y_low = 20, y_high = 50;
    if (!finite.empty()) {
        x_low = y_low = INFINITY;
        x_high = y_high = -INFINITY;
        for (const SweepRow *r : finite) {
            x_low = std::min(x_low, r->bits_per_pixel);
            x_high = std::max(x_high, r->bits_per_pixel);
            y_low = std::min({y_low, r->psnr_y, r->psnr_rgb});
            y_high = std::max({y_high, r->psnr_y, r->psnr_rgb});
        }
    }
    // The finest rates cost many times the bits of the coarse ones; a
    // logarithmic axis keeps the coarse rates apart when they do.
    const Scale sx = x_low > 0 && x_high / x_low > 8 ? log_scale(x_low, x_high)
                                                     : linear_scale(std::max(0.0, x_low), x_high);
    const Scale sy = linear_scale(y_low, y_high);
    auto px = [&](double v) { return left + sx.fraction(v) * plot_w; };
    auto py = [&](double v) { return top + plot_h - sy.fraction(v) * plot_h; };

    std::ostringstream svg;
    svg.precision(6);
    svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
        << "\" viewBox=\"0 0 " << width << ' ' << height
        << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"" << width / 2 << "\" y=\"28\" text-anchor=\"middle\" font-size=\"16\">"
        << escape(title) << "</text>\n";

    // Grid, ticks and tick labels.
    for (double v : sx.ticks) {
        const double x = px(v);
        svg << "<line x1=\"" << x << "\" y1=\"" << top << "\" x2=\"" << x << "\" y2=\""
            << top + plot_h << "\" stroke=\"#e4e4e4\"/>\n"
            << "<line x1=\"" << x << "\" y1=\"" << top + plot_h << "\" x2=\"" << x << "\" y2=\""
            << top + plot_h + 6 << "\" stroke=\"black\"/>\n"
            << "<text x=\"" << x << "\" y=\"" << top + plot_h + 22 << "\" text-anchor=\"middle\">"
            << tick_label(v, sx) << "</text>\n";
    }
    for (double v : sy.ticks) {
        const double y = py(v);
        svg << "<line x1=\"" << left << "\" y1=\"" << y << "\" x2=\"" << left + plot_w << "\" y2=\""
            << y << "\" stroke=\"#e4e4e4\"/>\n"
            << "<line x1=\"" << left - 6 << "\" y1=\"" << y << "\" x2=\"" << left << "\" y2=\"" << y
            << "\" stroke=\"black\"/>\n"
            << "<text x=\"" << left - 10 << "\" y=\"" << y + 4 << "\" text-anchor=\"end\">"
            << tick_label(v, sy) << "</text>\n";
    }
    svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << plot_w << "\" height=\""
        << plot_h << "\" fill=\"none\" stroke=\"black\"/>\n"
        << "<text x=\"" << left + plot_w / 2 << "\" y=\"" << height - 20
        << "\" text-anchor=\"middle\">bits per pixel" << (sx.logarithmic ? " (logarithmic)" : "")
        << "</text>\n"
        << "<text transform=\"translate(22 " << top + plot_h / 2
        << ") rotate(-90)\" text-anchor=\"middle\">PSNR (dB)</text>\n";

    // One polyline and one point per rate for each series; the luminance
    // points carry the rate.
    struct Series {
        const char *name, *colour;
        double SweepRow::*value;
    };
    const Series series[] = {{"Y", "#1f5fbf", &SweepRow::psnr_y},
                             {"RGB", "#d9731a", &SweepRow::psnr_rgb}};
    for (const Series &s : series) {
        double last_x = -1e9, last_y = -1e9; // the last rate label, kept apart from the next
        svg << "<polyline fill=\"none\" stroke=\"" << s.colour
            << "\" stroke-width=\"1.5\" points=\"";
        for (const SweepRow *r : finite)
            svg << px(r->bits_per_pixel) << ',' << py(r->*s.value) << ' ';
        svg << "\"/>\n";
        for (const SweepRow *r : finite) {
            svg << "<circle cx=\"" << px(r->bits_per_pixel) << "\" cy=\"" << py(r->*s.value)
                << "\" r=\"3.5\" fill=\"" << s.colour << "\"><title>rate " << r->rate << ": "
                << s.name << ' ' << format_db(r->*s.value) << " dB, " << fixed(r->bits_per_pixel, 3)
                << " bits/pixel</title></circle>\n";
            // Above and to the left: the curve rises to the right, so that
            // side stays clear.
            const double x = px(r->bits_per_pixel) - 5, y = py(r->*s.value) - 5;
            if (s.value == &SweepRow::psnr_y && std::hypot(x - last_x, y - last_y) >= 16) {
                svg << "<text x=\"" << x << "\" y=\"" << y
                    << "\" text-anchor=\"end\" font-size=\"10\" fill=\"" << s.colour << "\">"
                    << r->rate << "</text>\n";
                last_x = x;
                last_y = y;
            }
        }
    }
    // Legend.
    double ly = top + plot_h - 50;
    for (const Series &s : series) {
        svg << "<circle cx=\"" << left + plot_w - 110 << "\" cy=\"" << ly - 4
            << "\" r=\"4\" fill=\"" << s.colour << "\"/>\n<text x=\"" << left + plot_w - 100
            << "\" y=\"" << ly << "\">PSNR " << s.name << "</text>\n";
        ly += 18;
    }
    svg << "<text x=\"" << left + plot_w - 110 << "\" y=\"" << ly
        << "\" font-size=\"10\">labels: quality rate</text>\n</svg>\n";
    return svg.str();
}

} // namespace dctlab::tool
