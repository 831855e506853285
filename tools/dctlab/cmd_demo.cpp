// dctlab demo [--out DIR], also what dctlab does without a subcommand: a
// built-in picture, its reconstructions at three rates (as BMP and JPEG
// files) and its rate–distortion curve, all written to DIR.
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>

#include "commands.h"
#include "picture_path.h"
#include "progress.h"
#include "svg_plot.h"
#include "sweep.h"
#include "synthetic_picture.h"

namespace dctlab::tool
{

namespace
{

struct DemoOptions {
    std::string dir = "dctlab-demo";
};

int run_demo(const DemoOptions &o)
{
    std::error_code ec;
    std::filesystem::create_directories(o.dir, ec);
    if (ec)
        return fail("cannot create '" + o.dir + "': " + ec.message());
    const std::filesystem::path dir(o.dir);
    std::vector<std::string> written;
    std::string error;

    RgbPtr picture = make_synthetic_picture(kDemoWidth, kDemoHeight);
    if (!picture)
        return fail("no memory for the test picture");
    const std::string original = (dir / "original.bmp").string();
    if (!write_picture(original, *picture, error))
        return fail(error);
    written.push_back(original);

    for (int rate : {2, 10, 40}) {
        Reconstruction path;
        if (!run_path(*picture, static_cast<uint8_t>(rate), path, error))
            return fail(error);
        char name[32];
        std::snprintf(name, sizeof name, "rate-%02d.bmp", rate);
        const std::string file = (dir / name).string();
        if (!write_picture(file, *path.picture, error))
            return fail(error);
        written.push_back(file);
        JpegFile jpeg;
        std::snprintf(name, sizeof name, "rate-%02d.jpg", rate);
        const std::string jpeg_name = (dir / name).string();
        if (!encode_file(*path.coefficients, rate, jpeg, error))
            return fail(error);
        if (!write_bytes_file(jpeg_name, jpeg.bytes.get(), jpeg.size))
            return fail("cannot write '" + jpeg_name + "'");
        written.push_back(jpeg_name);
    }

    std::vector<SweepRow> rows;
    {
        ProgressBar bar("sweep");
        if (!sweep(
                *picture, RateRange{}.rates(), rows, error,
                [&](size_t done, size_t total) { bar.update(done, total); }, cores()))
            return fail(error);
    }
    std::cout << "Built-in test picture, " << kDemoWidth << "x" << kDemoHeight << " pixels:\n";
    print_table(std::cout, rows);
    const std::string csv = (dir / "sweep.csv").string(), svg = (dir / "sweep.svg").string();
    if (!write_text_file(csv, to_csv(rows)))
        return fail("cannot write '" + csv + "'");
    if (!write_text_file(svg, to_svg(rows, "Rate-distortion of the built-in test picture")))
        return fail("cannot write '" + svg + "'");
    written.push_back(csv);
    written.push_back(svg);

    std::cout << "wrote";
    for (size_t i = 0; i < written.size(); ++i)
        std::cout << (i ? ", " : " ") << written[i];
    std::cout << "\nopen " << svg << " in a browser to see the curve\n";
    return 0;
}

} // namespace

Command add_demo_command(CLI::App &app)
{
    auto options = std::make_shared<DemoOptions>();
    CLI::App *cmd = app.add_subcommand(
        "demo", "Write a built-in test picture, its reconstructions at rates 2, 10 and 40 (BMP and "
                "JPEG), and its rate-distortion table and plot");
    cmd->add_option("--out,-o", options->dir, "folder to write into")->capture_default_str();
    return {cmd, [options] { return run_demo(*options); }};
}

} // namespace dctlab::tool
