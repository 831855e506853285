// A one-line progress bar on standard error, drawn only when standard error
// is a terminal, so that logs and pipes stay clean.
#ifndef DCTLAB_TOOL_PROGRESS_H
#define DCTLAB_TOOL_PROGRESS_H

#include <cstddef>
#include <string>

namespace dctlab::tool
{

class ProgressBar
{
  public:
    explicit ProgressBar(std::string label);
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;
    ~ProgressBar();
    void update(size_t done, size_t total);

  private:
    std::string label_;
    bool enabled_;
    bool drawn_ = false;
    int last_percent_ = -1;
};

} // namespace dctlab::tool

#endif
