// dctlab sweep IN.bmp [--rates FROM:TO:STEP] [--csv FILE] [--svg FILE]
// [--processes N]: the rate–distortion curve of one picture.
#include <iostream>
#include <memory>

#include "commands.h"
#include "picture_path.h"
#include "progress.h"
#include "svg_plot.h"
#include "sweep.h"

namespace dctlab::tool
{

namespace
{

struct SweepOptions {
    std::string input, rates = "0:100:5", csv, svg;
    unsigned processes = cores();
};

int run_sweep(const SweepOptions &o)
{
    RateRange range;
    std::string error;
    if (!parse_rate_range(o.rates, range, error)) {
        std::cerr << "dctlab: " << error << " (see dctlab sweep --help)\n";
        return 2;
    }
    RgbPtr picture = read_picture(o.input, error);
    if (!picture)
        return fail(error);
    std::vector<SweepRow> rows;
    {
        ProgressBar bar("sweep");
        if (!sweep(
                *picture, range.rates(), rows, error,
                [&](size_t done, size_t total) { bar.update(done, total); }, o.processes))
            return fail(error);
    }
    print_table(std::cout, rows);
    std::cout.flush();
    if (!o.csv.empty() && !write_text_file(o.csv, to_csv(rows)))
        return fail("cannot write '" + o.csv + "'");
    if (!o.svg.empty() && !write_text_file(o.svg, to_svg(rows, "Rate-distortion: " + o.input)))
        return fail("cannot write '" + o.svg + "'");
    return 0;
}

} // namespace

Command add_sweep_command(CLI::App &app)
{
    auto options = std::make_shared<SweepOptions>();
    CLI::App *cmd = app.add_subcommand(
        "sweep", "Measure PSNR and coded bits per pixel of a BMP picture over a range of rates");
    cmd->add_option("IN", options->input, "24-bit BMP picture to read")->required();
    cmd->add_option("--rates", options->rates, "rates as FROM:TO:STEP, within 0 to 255")
        ->capture_default_str();
    cmd->add_option("--csv", options->csv, "also write the table as CSV to this file");
    cmd->add_option("--svg", options->svg, "also draw PSNR against bits per pixel as SVG");
    cmd->add_option("--processes", options->processes,
                    "rates measured at once, each process taking its share (default: the number "
                    "of cores); the table is the same for any number")
        ->check(CLI::Range(1u, 256u))
        ->capture_default_str();
    return {cmd, [options] { return run_sweep(*options); }};
}

} // namespace dctlab::tool
