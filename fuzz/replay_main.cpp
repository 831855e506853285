// A plain main for the fuzz targets: runs LLVMFuzzerTestOneInput once on
// every file named on the command line, or in a folder named there, in name
// order. It turns a seed corpus, or a crash a fuzzer found, into an ordinary
// test that any compiler builds; a finding aborts the process as it would
// under the fuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv) __attribute__((weak));

namespace fs = std::filesystem;

namespace
{

bool run_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                     std::istreambuf_iterator<char>()};
    // A copy of exactly the input's size, so that ASan sees a read past its end.
    std::vector<uint8_t> exact(bytes);
    exact.shrink_to_fit();
    LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_FOLDER...\n", argv[0]);
        return 2;
    }
    long runs = 0;
    for (int i = 1; i < argc; ++i) {
        std::vector<fs::path> files;
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            for (const auto &entry : fs::directory_iterator(argv[i], ec))
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            if (files.empty()) {
                std::fprintf(stderr, "no inputs in %s\n", argv[i]);
                return 1;
            }
        } else {
            files.emplace_back(argv[i]);
        }
        for (const auto &file : files) {
            if (!run_file(file))
                return 1;
            ++runs;
        }
    }
    std::fprintf(stderr, "replayed %ld inputs without a finding\n", runs);
    return 0;
}
