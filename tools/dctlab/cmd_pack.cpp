// dctlab pack IN OUT and dctlab unpack IN OUT: any file through the
// toolkit's Huffman coder and back, "-" standing for standard input or
// output.
#include <filesystem>
#include <memory>
#include <system_error>

#include "commands.h"
#include "container.h"
#include "output_file.h"
#include "progress.h"

namespace dctlab::tool
{

namespace
{

using container::ByteSink;
using container::ByteSource;
using container::FileSink;
using container::FileSource;
using container::kDefaultBlockSize;
using container::kMaxBlockSize;
using container::Progress;

struct FilesOptions {
    std::string input, output;
    uint32_t block_size = kDefaultBlockSize;
    unsigned threads = cores(); // the output is the same for any number
};

void add_threads_option(CLI::App *cmd, FilesOptions &options)
{
    cmd->add_option("--threads", options.threads,
                    "blocks coded at once (default: the number of cores); the output is the "
                    "same for any number")
        ->check(CLI::Range(1u, 256u))
        ->capture_default_str();
}

// Inputs smaller than this finish before a bar would be worth drawing.
constexpr int64_t kProgressThreshold = 4 << 20;

template <typename Run> int run_files(const FilesOptions &o, const char *verb, Run run)
{
    std::string error;
    std::error_code ec;
    if (o.input != "-" && o.output != "-" && std::filesystem::exists(o.output, ec) &&
        std::filesystem::equivalent(o.input, o.output, ec))
        return fail(std::string(verb) + ": refusing to overwrite the input '" + o.input + "'");
    InputFile in;
    in.file = open_input(o.input, error);
    if (!in.file)
        return fail(std::string(verb) + ": " + error);
    OutputFile out;
    if (!out.open(o.output, error))
        return fail(std::string(verb) + ": " + error);

    // A regular file is read where it lies, anything else as a stream.
    MappedInput mapped;
    FileSource stream(in.file);
    std::unique_ptr<MappedSource> memory;
    if (mapped.map(in.file, verb, out.temp_path()))
        memory = std::make_unique<MappedSource>(mapped);
    ByteSource &source = memory ? static_cast<ByteSource &>(*memory) : stream;
    FileSink sink(out.file());
    const int64_t size = source.remaining();
    std::unique_ptr<ProgressBar> bar;
    if (size > kProgressThreshold)
        bar = std::make_unique<ProgressBar>(verb);
    auto progress = [&](uint64_t) {
        if (bar)
            bar->update(static_cast<size_t>(size - source.remaining()), static_cast<size_t>(size));
    };
    const bool ok = run(source, sink, error, progress);
    bar.reset();
    if (!ok || !out.commit(error))
        return fail(std::string(verb) + ": " + error);
    return 0;
}

} // namespace

Command add_pack_command(CLI::App &app)
{
    auto options = std::make_shared<FilesOptions>();
    CLI::App *cmd = app.add_subcommand("pack", "Compress a file with the Huffman coder");
    cmd->add_option("IN", options->input, "file to compress, - for standard input")->required();
    cmd->add_option("OUT", options->output, "container to write, - for standard output")
        ->required();
    cmd->add_option(
           "--block-size", options->block_size,
           "most bytes per block (at most 268435456); blocks are also cut where the data changes")
        ->check(CLI::Range(uint32_t{1}, kMaxBlockSize))
        ->capture_default_str();
    add_threads_option(cmd, *options);
    return {cmd, [options] {
                return run_files(*options, "pack",
                                 [&](ByteSource &in, ByteSink &out, std::string &error,
                                     const Progress &progress) {
                                     return container::pack(in, out, options->block_size, error,
                                                            progress, options->threads);
                                 });
            }};
}

Command add_unpack_command(CLI::App &app)
{
    auto options = std::make_shared<FilesOptions>();
    CLI::App *cmd = app.add_subcommand("unpack", "Restore a file that dctlab pack wrote");
    cmd->add_option("IN", options->input, "container to read, - for standard input")->required();
    cmd->add_option("OUT", options->output, "file to write, - for standard output")->required();
    add_threads_option(cmd, *options);
    return {cmd, [options] {
                return run_files(*options, "unpack",
                                 [options](ByteSource &in, ByteSink &out, std::string &error,
                                           const Progress &progress) {
                                     return container::unpack(in, out, error, kMaxBlockSize,
                                                              progress, options->threads);
                                 });
            }};
}

} // namespace dctlab::tool
