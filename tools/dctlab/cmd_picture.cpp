// dctlab picture IN.bmp OUT.bmp [--rate Q]: one picture through the whole
// path, with the library's quality lines and a summary.
#include <cstdio>
#include <memory>

#include "commands.h"
#include "distortion.h"
#include "picture_path.h"

namespace dctlab::tool
{

namespace
{

struct PictureOptions {
    std::string input, output;
    int rate = 10;
};

int run_picture(const PictureOptions &o)
{
    std::string error;
    RgbPtr input = read_picture(o.input, error);
    if (!input)
        return fail(error);
    Reconstruction path;
    if (!run_path(*input, static_cast<uint8_t>(o.rate), path, error))
        return fail(error);
    if (!write_picture(o.output, *path.picture, error))
        return fail(error);

    testPSNRforRGB(input.get(), path.picture.get());
    testPSNROnPlate(path.planes.get(), path.restored.get());

    JpegFile file;
    if (!encode_file(*path.coefficients, o.rate, file, error))
        return fail(error);
    const Distortion d = measure(*input, *path.picture, *path.planes, *path.restored);
    std::printf(
        "summary: rate %d, PSNR R %s dB, G %s dB, B %s dB, Y %s dB, %.4f bits per pixel\n", o.rate,
        format_db(psnr_db(d.peak, d.red)).c_str(), format_db(psnr_db(d.peak, d.green)).c_str(),
        format_db(psnr_db(d.peak, d.blue)).c_str(), format_db(psnr_db(d.peak, d.luma)).c_str(),
        bits_per_pixel(file.size, input->w, input->h));
    return 0;
}

} // namespace

Command add_picture_command(CLI::App &app)
{
    auto options = std::make_shared<PictureOptions>();
    CLI::App *cmd = app.add_subcommand(
        "picture", "Run a BMP picture through the transform path at one quality rate, write the "
                   "reconstruction and print its error and coded size");
    cmd->add_option("IN", options->input, "24-bit BMP picture to read")->required();
    cmd->add_option("OUT", options->output, "BMP file to write the reconstruction to")->required();
    cmd->add_option("--rate,-q", options->rate, "quality rate, 0 (finest) to 255")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    return {cmd, [options] { return run_picture(*options); }};
}

} // namespace dctlab::tool
