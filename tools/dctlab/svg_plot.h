// The rate-distortion plot of a sweep: PSNR against bits per pixel, one
// labelled point per rate, as a standalone SVG document.
#ifndef DCTLAB_TOOL_SVG_PLOT_H
#define DCTLAB_TOOL_SVG_PLOT_H

#include <string>
#include <vector>

#include "sweep.h"

namespace dctlab::tool
{

// `title` may hold any bytes (a file name): what XML does not allow is
// replaced.
std::string to_svg(const std::vector<SweepRow> &rows, const std::string &title);

} // namespace dctlab::tool

#endif
