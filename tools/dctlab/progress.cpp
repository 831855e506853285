#include "progress.h"

#include <cstdio>
#include <unistd.h>

namespace dctlab::tool
{

ProgressBar::ProgressBar(std::string label)
    : label_(std::move(label)), enabled_(isatty(STDERR_FILENO) == 1)
{
}

ProgressBar::~ProgressBar()
{
    if (drawn_)
        std::fputs("\n", stderr);
}

void ProgressBar::update(size_t done, size_t total)
{
    if (!enabled_ || total == 0)
        return;
    const int percent = static_cast<int>(100.0 * static_cast<double>(done) / total);
    if (percent == last_percent_)
        return;
    last_percent_ = percent;
    constexpr int width = 30;
    const int filled = percent * width / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_.c_str(), filled,
                 "##############################", width - filled, "", percent);
    std::fflush(stderr);
    drawn_ = true;
}

} // namespace dctlab::tool
