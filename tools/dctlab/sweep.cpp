#include "sweep.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "distortion.h"
#include "picture_path.h"
#include "requantise.h"

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

namespace
{

// One rate from the picture's planes and their coefficients at rate 0,
// neither of which depends on the rate: the rate only divides those
// coefficients, into `coefficients`, whose stores every rate of a process
// takes again. The way back runs strip by strip and is measured as it goes,
// so that whole planes and pixels are never made.
bool measure_rate(const PDRGB &picture, const PDCBCR &planes, const DCTDATA &rounded, int rate,
                  DctPtr &coefficients, SweepRow &row, std::string &error)
{
    const uint8_t r = static_cast<uint8_t>(rate);
    if (!img::requantise(rounded, r, coefficients)) {
        error = "quantisation failed";
        return false;
    }
    JpegFile file;
    if (!encode_file(*coefficients, rate, file, error))
        return false;
    Distortion d;
    d.peak = uint64_t{picture.w} * picture.h * 65025u;
    const bool restored = restore_strips(
        *coefficients, r,
        [&](uint32_t top, const PDCBCR &strip_planes, const PDRGB &pixels) {
            const size_t first = size_t{top} * picture.w;
            add_overall(d, picture.data + first, pixels.data, planes.Ydata + first,
                        strip_planes.Ydata, uint64_t{pixels.w} * pixels.h);
        },
        error);
    if (!restored)
        return false;
    row = {rate, psnr_db(d.peak, d.luma), rgb_psnr_db(d),
           bits_per_pixel(file.size, picture.w, picture.h)};
    return true;
}

// What a process sends back for one rate: its index, and the row or the
// error, field by field (a struct's padding would go out unset).
struct Report {
    uint32_t index = 0;
    uint32_t ok = 0;
    SweepRow row;
    uint32_t error_size = 0;
};
constexpr size_t kReportBytes = 4 + 4 + 4 + 3 * sizeof(double) + 4;

template <typename T> void put(char *&at, const T &value)
{
    std::memcpy(at, &value, sizeof value);
    at += sizeof value;
}

template <typename T> void get(const char *&at, T &value)
{
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
}

bool write_all(int fd, const void *data, size_t size)
{
    const char *at = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool read_all(int fd, void *data, size_t size)
{
    char *at = static_cast<char *>(data);
    while (size > 0) {
        const ssize_t n = ::read(fd, at, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Rates measured in a process of their own, each taken from `tasks` as the
// process comes free and reported through `fd`: the rates cost unlike
// amounts (the lowest most), so a fixed share would leave one process
// waiting for the other. The quantisation matrix of the library is one for
// the whole process, which is why rates run in processes, not threads.
[[noreturn]] void measure_share(const PDRGB &picture, const PDCBCR &planes, const DCTDATA &rounded,
                                const std::vector<int> &rates, int tasks, int fd)
{
    DctPtr coefficients;
    uint32_t i = 0;
    while (read_all(tasks, &i, sizeof i) && i < rates.size()) {
        Report report;
        report.index = i;
        std::string error;
        report.ok =
            measure_rate(picture, planes, rounded, rates[i], coefficients, report.row, error) ? 1
                                                                                              : 0;
        report.error_size = static_cast<uint32_t>(error.size());
        char bytes[kReportBytes];
        char *at = bytes;
        put(at, report.index);
        put(at, report.ok);
        put(at, static_cast<int32_t>(report.row.rate));
        put(at, report.row.psnr_y);
        put(at, report.row.psnr_rgb);
        put(at, report.row.bits_per_pixel);
        put(at, report.error_size);
        if (!write_all(fd, bytes, sizeof bytes) || !write_all(fd, error.data(), error.size()))
            _exit(1);
        if (!report.ok)
            break;
    }
    std::fflush(stdout);
    _exit(0);
}

} // namespace

bool sweep(const PDRGB &picture, const std::vector<int> &rates, std::vector<SweepRow> &rows,
           std::string &error, const std::function<void(size_t, size_t)> &progress,
           unsigned processes)
{
    rows.clear();
    CbcrPtr planes(RGBtoCBCR(&picture));
    if (!planes) {
        error = "colour conversion failed";
        return false;
    }
    constexpr size_t kMaxTasks = 1024;
    const size_t count =
        rates.size() > kMaxTasks ? 1 : std::min<size_t>(std::max(1u, processes), rates.size());
    DctPtr rounded(img::rounded_coefficients(*planes, processes));
    if (!rounded) {
        error = "forward transform failed";
        return false;
    }
    if (count <= 1) {
        DctPtr coefficients;
        for (size_t i = 0; i < rates.size(); ++i) {
            SweepRow row;
            if (!measure_rate(picture, *planes, *rounded, rates[i], coefficients, row, error))
                return false;
            rows.push_back(row);
            if (progress)
                progress(i + 1, rates.size());
        }
        return true;
    }

    // The lines that the library prints must not be printed twice.
    std::fflush(stdout);
    std::fflush(stderr);
    // Every index is in the task pipe before the first process starts, in
    // the order of the rates, so that a rate is taken only after every
    // lower one: the first that fails is then known when all have ended.
    // Each read of four bytes takes a whole index, as all are there (up to
    // kMaxTasks, which fill no more than the smallest pipe holds).
    int tasks[2];
    if (::pipe(tasks) != 0) {
        error = "cannot start the sweep's processes";
        return false;
    }
    for (uint32_t i = 0; i < rates.size(); ++i)
        if (!write_all(tasks[1], &i, sizeof i)) {
            ::close(tasks[0]);
            ::close(tasks[1]);
            error = "cannot start the sweep's processes";
            return false;
        }
    ::close(tasks[1]);
    std::vector<pid_t> children;
    std::vector<int> pipes;
    for (size_t k = 0; k < count; ++k) {
        int fds[2];
        if (::pipe(fds) != 0) {
            error = "cannot start the sweep's processes";
            break;
        }
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            for (int fd : pipes)
                ::close(fd);
            measure_share(picture, *planes, *rounded, rates, tasks[0], fds[1]);
        }
        ::close(fds[1]);
        if (pid < 0) {
            ::close(fds[0]);
            error = "cannot start the sweep's processes";
            break;
        }
        children.push_back(pid);
        pipes.push_back(fds[0]);
    }
    ::close(tasks[0]);

    // The reports in any order; the rows in the order of the rates, and the
    // error of the first rate that failed.
    std::vector<SweepRow> by_index(rates.size());
    std::vector<char> have(rates.size(), 0);
    size_t done = 0, failed_at = SIZE_MAX;
    std::string failure;
    std::vector<pollfd> open;
    for (int fd : pipes)
        open.push_back({fd, POLLIN, 0});
    while (!open.empty()) {
        if (::poll(open.data(), open.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t j = 0; j < open.size();) {
            if (open[j].revents == 0) {
                ++j;
                continue;
            }
            Report report;
            std::string text;
            char bytes[kReportBytes];
            bool got = read_all(open[j].fd, bytes, sizeof bytes);
            if (got) {
                const char *at = bytes;
                int32_t rate = 0;
                get(at, report.index);
                get(at, report.ok);
                get(at, rate);
                get(at, report.row.psnr_y);
                get(at, report.row.psnr_rgb);
                get(at, report.row.bits_per_pixel);
                get(at, report.error_size);
                report.row.rate = rate;
                got = report.index < rates.size() && report.error_size < 4096;
            }
            if (got) {
                text.resize(report.error_size);
                got = read_all(open[j].fd, text.data(), text.size());
            }
            if (!got) {
                ::close(open[j].fd);
                open.erase(open.begin() + static_cast<long>(j));
                continue;
            }
            if (report.ok) {
                by_index[report.index] = report.row;
                have[report.index] = 1;
                ++done;
                if (progress)
                    progress(done, rates.size());
            } else if (report.index < failed_at) {
                failed_at = report.index;
                failure = text;
            }
            open[j].revents = 0;
        }
    }
    bool all_ended = true;
    for (pid_t pid : children) {
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        all_ended = all_ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (!error.empty())
        return false;
    if (failed_at != SIZE_MAX) {
        error = failure;
        return false;
    }
    if (!all_ended || done != rates.size()) {
        error = "a process of the sweep ended before its rates";
        return false;
    }
    rows = std::move(by_index);
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
