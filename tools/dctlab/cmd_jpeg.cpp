// dctlab encode IN.bmp OUT.jpg [--rate Q] and dctlab decode IN.jpg OUT.bmp:
// a picture through the forward path into a JPEG file, and a JPEG file back
// through the inverse path, "-" standing for standard input or output.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "commands.h"
#include "jfif.h"
#include "output_file.h"
#include "picture_path.h"

namespace dctlab::tool
{

namespace
{

struct JpegOptions {
    std::string input, output;
    int rate = 10;
};

bool same_file(const std::string &input, const std::string &output)
{
    std::error_code ec;
    return input != "-" && output != "-" && std::filesystem::exists(output, ec) &&
           std::filesystem::equivalent(input, output, ec);
}

// The library reads pictures by name, so standard input goes through a
// scratch file first.
RgbPtr read_input_picture(const std::string &path, std::string &error)
{
    if (path != "-")
        return read_picture(path, error);
    ScratchFile scratch;
    if (!scratch.create(error))
        return nullptr;
    std::FILE *f = std::fopen(scratch.path().c_str(), "wb");
    const bool copied = f && copy_stream(stdin, f);
    if (!f || std::fclose(f) != 0 || !copied) {
        error = "cannot read the picture from standard input";
        return nullptr;
    }
    RgbPtr picture(getRGBFromFile(scratch.path().c_str()));
    if (!picture)
        error = "cannot read a 24-bit BMP picture from standard input";
    return picture;
}

int run_encode(const JpegOptions &o)
{
    std::string error;
    if (same_file(o.input, o.output))
        return fail("encode: refusing to overwrite the input '" + o.input + "'");
    RgbPtr input = read_input_picture(o.input, error);
    if (!input)
        return fail("encode: " + error);
    DctPtr coefficients(transform_picture(*input, static_cast<uint16_t>(o.rate), error));
    if (!coefficients)
        return fail("encode: " + error);
    input.reset();
    JpegFile file;
    if (!encode_file(*coefficients, o.rate, file, error))
        return fail("encode: " + error);
    coefficients.reset();
    OutputFile out;
    if (!out.open(o.output, error))
        return fail("encode: " + error);
    if (std::fwrite(file.bytes.get(), 1, file.size, out.file()) != file.size || !out.commit(error))
        return fail("encode: " + (error.empty() ? "cannot write '" + o.output + "'" : error));
    return 0;
}

int run_decode(const JpegOptions &o)
{
    std::string error;
    if (same_file(o.input, o.output))
        return fail("decode: refusing to overwrite the input '" + o.input + "'");
    InputFile in;
    in.file = open_input(o.input, error);
    if (!in.file)
        return fail("decode: " + error);
    std::string bytes;
    {
        char piece[1 << 16];
        std::size_t n = 0;
        while ((n = std::fread(piece, 1, sizeof piece, in.file)) > 0)
            bytes.append(piece, n);
        if (std::ferror(in.file))
            return fail("decode: cannot read '" + o.input + "'");
    }
    uint16_t rate = 0;
    DctPtr coefficients(
        decodeJPEG(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size(), &rate));
    if (!coefficients)
        return fail("decode: cannot read a JPEG file of the toolkit's layout from '" + o.input +
                    "'");
    if (rate > 255)
        return fail("decode: the file's rate " + std::to_string(rate) +
                    " is above 255, the largest the inverse transform takes");
    RgbPtr picture(restore_picture(*coefficients, static_cast<uint8_t>(rate), error));
    if (!picture)
        return fail("decode: " + error);
    coefficients.reset();

    // writeToBMP writes by name: into the output's temporary file, or for
    // standard output into a scratch file that is then copied.
    OutputFile out;
    if (!out.open(o.output, error))
        return fail("decode: " + error);
    if (o.output != "-") {
        if (!write_picture(out.temp_path(), *picture, error) || !out.commit(error))
            return fail("decode: " + error);
        return 0;
    }
    ScratchFile scratch;
    if (!scratch.create(error) || !write_picture(scratch.path(), *picture, error))
        return fail("decode: " + error);
    std::FILE *f = std::fopen(scratch.path().c_str(), "rb");
    const bool copied = f && copy_stream(f, stdout);
    if (f)
        std::fclose(f);
    if (!copied || !out.commit(error))
        return fail("decode: cannot write standard output");
    return 0;
}

} // namespace

Command add_encode_command(CLI::App &app)
{
    auto options = std::make_shared<JpegOptions>();
    CLI::App *cmd = app.add_subcommand(
        "encode", "Write a BMP picture as a standard JPEG file of its quantised coefficients");
    cmd->add_option("IN", options->input, "24-bit BMP picture to read, - for standard input")
        ->required();
    cmd->add_option("OUT", options->output, "JPEG file to write, - for standard output")
        ->required();
    cmd->add_option("--rate,-q", options->rate, "quality rate, 0 (finest) to 255")
        ->check(CLI::Range(0, 255))
        ->capture_default_str();
    return {cmd, [options] { return run_encode(*options); }};
}

Command add_decode_command(CLI::App &app)
{
    auto options = std::make_shared<JpegOptions>();
    CLI::App *cmd = app.add_subcommand(
        "decode", "Restore a BMP picture from a JPEG file of the toolkit's layout (as encode "
                  "writes it, or losslessly rewritten)");
    cmd->add_option("IN", options->input, "JPEG file to read, - for standard input")->required();
    cmd->add_option("OUT", options->output, "BMP file to write, - for standard output")->required();
    return {cmd, [options] { return run_decode(*options); }};
}

} // namespace dctlab::tool
