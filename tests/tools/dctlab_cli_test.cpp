// The dctlab program end to end, through the built binary.
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "imgcodec.h"
#include "jfif.h"
#include "output_file.h"
#include "synthetic_picture.h"
#include "temp_dir.h"

namespace fs = std::filesystem;

namespace
{

struct Result {
    int status;
    std::string out, err;
};

std::string slurp(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

class DctlabProgram : public testing::Test
{
  protected:
    Result run(const std::string &args)
    {
        const fs::path out = dir_ / "stdout", err = dir_ / "stderr";
        const std::string command = "cd '" + dir_.string() + "' && '" DCTLAB_BINARY "' " + args +
                                    " >'" + out.string() + "' 2>'" + err.string() + "'";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    }

    fs::path write_test_bmp(uint32_t w, uint32_t h, const std::string &name)
    {
        auto picture = dctlab::tool::make_synthetic_picture(w, h, 7);
        const fs::path path = dir_ / name;
        writeToBMP(path.c_str(), picture.get());
        return path;
    }

    TempDir tmp_{"dctlab-cli"};
    const fs::path &dir_ = tmp_.path();
};

// PSNR of each colour channel of two BMP files, read byte by byte here.
std::array<double, 3> channel_psnr(const std::string &a, const std::string &b, uint32_t w,
                                   uint32_t h)
{
    const uint32_t row = (3 * w + 3) / 4 * 4;
    std::array<double, 3> sums{};
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                const size_t at = 54 + static_cast<size_t>(y) * row + 3 * x + c;
                const int d = static_cast<uint8_t>(a[at]) - static_cast<uint8_t>(b[at]);
                sums[c] += d * d;
            }
    std::array<double, 3> psnr{}; // blue, green, red as stored
    for (int c = 0; c < 3; ++c)
        psnr[c] = 10 * std::log10(65025.0 * w * h / sums[c]);
    return psnr;
}

TEST_F(DctlabProgram, PictureWritesTheReconstructionAndAMatchingSummary)
{
    const fs::path in = write_test_bmp(99, 61, "in.bmp");
    const Result r = run("picture in.bmp out.bmp --rate 12");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string before = slurp(in), after = slurp(dir_ / "out.bmp");
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.substr(0, 54), before.substr(0, 54));

    EXPECT_NE(r.out.find("Testing PSNR for R component of image."), std::string::npos);
    EXPECT_NE(r.out.find("Testing PSNR for whole image."), std::string::npos);
    const size_t at = r.out.find("summary: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    int rate = 0;
    double red = 0, green = 0, blue = 0, luma = 0, bpp = 0;
    ASSERT_EQ(std::sscanf(r.out.c_str() + at,
                          "summary: rate %d, PSNR R %lf dB, G %lf dB, B %lf dB, Y %lf dB, %lf bits "
                          "per pixel",
                          &rate, &red, &green, &blue, &luma, &bpp),
              6)
        << r.out.substr(at);
    EXPECT_EQ(rate, 12);
    const auto psnr = channel_psnr(before, after, 99, 61);
    EXPECT_NEAR(red, psnr[2], 0.006);
    EXPECT_NEAR(green, psnr[1], 0.006);
    EXPECT_NEAR(blue, psnr[0], 0.006);
    EXPECT_GT(luma, 20.0);
    EXPECT_GT(bpp, 0.1);
    EXPECT_LT(bpp, 24.0);
}

TEST_F(DctlabProgram, SweepFallsInBitsAndQualityAsTheRateRises)
{
    write_test_bmp(120, 75, "in.bmp");
    const Result r = run("sweep in.bmp --rates 0:80:20 --csv rd.csv --svg rd.svg");
    ASSERT_EQ(r.status, 0) << r.err;

    const auto rows = lines_of(slurp(dir_ / "rd.csv"));
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], "rate,psnr_y_db,psnr_rgb_db,bits_per_pixel");
    double last_bpp = 1e9, last_psnr = 1e9;
    for (size_t i = 1; i < rows.size(); ++i) {
        int rate = -1;
        double y = 0, rgb = 0, bpp = 0;
        ASSERT_EQ(std::sscanf(rows[i].c_str(), "%d,%lf,%lf,%lf", &rate, &y, &rgb, &bpp), 4)
            << rows[i];
        EXPECT_EQ(rate, 20 * static_cast<int>(i - 1));
        EXPECT_LT(bpp, last_bpp);
        EXPECT_LT(y, last_psnr);
        last_bpp = bpp;
        last_psnr = y;
    }
    EXPECT_EQ(lines_of(r.out).size(), 6u); // heading and five rates

    // Well-formed XML: every element closes, in order.
    const std::string svg = slurp(dir_ / "rd.svg");
    std::vector<std::string> open;
    int points = 0;
    for (size_t at = svg.find('<'); at != std::string::npos; at = svg.find('<', at + 1)) {
        const size_t end = svg.find('>', at);
        ASSERT_NE(end, std::string::npos);
        const std::string tag = svg.substr(at + 1, end - at - 1);
        if (tag[0] == '?')
            continue;
        const bool closing = tag[0] == '/', empty = tag.back() == '/';
        const std::string name = tag.substr(closing, tag.find_first_of(" />", 1) - closing);
        if (name == "circle")
            ++points;
        if (closing) {
            ASSERT_FALSE(open.empty());
            ASSERT_EQ(open.back(), name);
            open.pop_back();
        } else if (!empty) {
            open.push_back(name);
        }
    }
    EXPECT_TRUE(open.empty());
    EXPECT_GE(points, 10); // five rates, two series
    EXPECT_NE(svg.find("bits per pixel"), std::string::npos);
}

TEST_F(DctlabProgram, DemoWritesTheFilesItNames)
{
    const Result r = run("demo --out out");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = lines_of(r.out);
    ASSERT_GE(lines.size(), 3u);
    const std::string &wrote = lines[lines.size() - 2];
    ASSERT_EQ(wrote.rfind("wrote ", 0), 0u) << wrote;
    std::istringstream names(wrote.substr(6));
    int count = 0;
    for (std::string name; std::getline(names, name, ',');) {
        name.erase(0, name.find_first_not_of(' '));
        EXPECT_GT(fs::file_size(dir_ / name), 0u) << name;
        ++count;
    }
    EXPECT_EQ(count, 9);
    // The table's bits per pixel are the JPEG files' bytes.
    for (int rate : {10, 40}) {
        char name[32], row[16];
        std::snprintf(name, sizeof name, "out/rate-%02d.jpg", rate);
        std::snprintf(row, sizeof row, "%5d ", rate);
        char bpp[16];
        std::snprintf(bpp, sizeof bpp, "%.4f", 8.0 * fs::file_size(dir_ / name) / (641.0 * 481));
        bool found = false;
        for (const std::string &line : lines)
            if (line.rfind(row, 0) == 0) {
                found = true;
                EXPECT_EQ(line.substr(line.find_last_of(' ') + 1), bpp) << line;
            }
        EXPECT_TRUE(found) << rate;
    }
}

struct BadCall {
    const char *args;
    int status;
};

class DctlabFailures : public DctlabProgram, public testing::WithParamInterface<BadCall>
{
};

TEST_P(DctlabFailures, GiveOneLineOnStandardErrorAndTheStatus)
{
    const Result r = run(GetParam().args);
    EXPECT_EQ(r.status, GetParam().status);
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
    EXPECT_EQ(r.err.rfind("dctlab: ", 0), 0u) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DctlabFailures,
    testing::Values(BadCall{"frobnicate", 2}, BadCall{"picture", 2},
                    BadCall{"picture a.bmp b.bmp --rate 300", 2},
                    BadCall{"sweep a.bmp --rates 9:3:1", 2}, BadCall{"sweep a.bmp --rates x", 2},
                    BadCall{"pack", 2}, BadCall{"pack a b --block-size 0", 2},
                    BadCall{"picture missing.bmp out.bmp", 1}, BadCall{"sweep missing.bmp", 1},
                    BadCall{"pack missing out", 1}, BadCall{"unpack missing out", 1},
                    BadCall{"encode", 2}, BadCall{"encode a.bmp b.jpg --rate 256", 2},
                    BadCall{"decode a.jpg", 2}, BadCall{"encode missing.bmp out.jpg", 1},
                    BadCall{"decode missing.jpg out.bmp", 1}));

TEST_F(DctlabProgram, HelpIsPrintedForTheProgramAndEachSubcommand)
{
    for (const char *args : {"--help", "picture --help", "sweep --help", "demo --help",
                             "pack --help", "unpack --help"}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_NE(r.out.find("Usage"), std::string::npos) << args << r.out;
    }
}

fs::path write_bytes(const fs::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::vector<std::string> leftovers(const fs::path &dir)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.path().filename().string().find(".tmp-") != std::string::npos)
            names.push_back(entry.path().filename().string());
    return names;
}

TEST_F(DctlabProgram, PackAndUnpackRestoreAFileAndStandardStreams)
{
    std::string data;
    for (int i = 0; i < 300000; ++i)
        data += static_cast<char>((static_cast<long>(i) * i) % 251 % (i % 7 + 1) + 'a');
    write_bytes(dir_ / "data", data);
    Result r = run("pack data data.dlhf --block-size 65536");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(fs::file_size(dir_ / "data.dlhf"), data.size());
    r = run("unpack data.dlhf back");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir_ / "back"), data);

    r = run("pack - - < data | '" DCTLAB_BINARY "' unpack - piped");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir_ / "piped"), data);
    // A file is read where it is mapped, a pipe as a stream: the same bytes.
    r = run("pack - streamed.dlhf --block-size 65536 < data");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir_ / "streamed.dlhf"), slurp(dir_ / "data.dlhf"));
    EXPECT_TRUE(leftovers(dir_).empty());
}

TEST_F(DctlabProgram, AMappedInputGivenBackAsPackWritesGivesTheBytesOfAStream)
{
    // Pieces of a MiB past the first 8 MiB, and a part page at the end: pack
    // and unpack map the pages a MiB ahead of what they take and unmap what
    // they have written 8 MiB at a time, while the workers still read what
    // lies between.
    std::string data;
    data.reserve(9700001);
    for (long i = 0; data.size() < 9700001; ++i)
        data += static_cast<char>(i % 4093 < 2000 ? 'a' + i * i % 23 : i * 7 % 256);
    write_bytes(dir_ / "big", data);
    Result r = run("pack - streamed.dlhf --threads 1 < big");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *threads : {"1", "3"}) {
        r = run(std::string("pack big big.dlhf --threads ") + threads);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(slurp(dir_ / "big.dlhf"), slurp(dir_ / "streamed.dlhf")) << threads;
        r = run(std::string("unpack big.dlhf back --threads ") + threads);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(slurp(dir_ / "back"), data) << threads;
    }
    EXPECT_TRUE(leftovers(dir_).empty());
}

TEST_F(DctlabProgram, AnInputThatShrinksWhileMappedGivesItsLineAndLeavesNoTemporaryFile)
{
    // Another program truncating the input under pack: reading past the new
    // end faults, and the program says so and removes its temporary output
    // where it would die of the signal.
    const fs::path input = dir_ / "shrinking", temp = dir_ / ".out.tmp-test";
    write_bytes(input, std::string(3 * 65536, 'x'));
    write_bytes(temp, "partial output");
    EXPECT_EXIT(
        {
            std::FILE *file = std::fopen(input.c_str(), "rb");
            dctlab::tool::MappedInput mapped;
            if (!file || !mapped.map(file, "pack", temp.string()))
                std::_Exit(2);
            if (truncate(input.c_str(), 0) != 0)
                std::_Exit(3);
            volatile uint8_t last = mapped.data()[mapped.size() - 1];
            (void)last;
            std::_Exit(4);
        },
        testing::ExitedWithCode(1), "^dctlab: pack: the input file shrank while it was read\n$");
    EXPECT_FALSE(fs::exists(temp));
}

TEST_F(DctlabProgram, EmptyFilePacksAndUnpacks)
{
    write_bytes(dir_ / "empty", "");
    ASSERT_EQ(run("pack empty e.dlhf").status, 0);
    ASSERT_EQ(run("unpack e.dlhf e.out").status, 0);
    EXPECT_EQ(fs::file_size(dir_ / "e.out"), 0u);
}

TEST_F(DctlabProgram, PackRefusesToOverwriteItsInput)
{
    write_bytes(dir_ / "keep", "precious");
    const Result r = run("pack keep ./keep");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.err).size(), 1u);
    EXPECT_EQ(slurp(dir_ / "keep"), "precious");
}

TEST_F(DctlabProgram, DamagedContainerLeavesNoOutputAndNoTemporaryFile)
{
    write_bytes(dir_ / "text", "a small text, packed and then damaged in many ways");
    ASSERT_EQ(run("pack text c.dlhf").status, 0);
    const std::string container = slurp(dir_ / "c.dlhf");
    write_bytes(dir_ / "existing", "old");
    for (size_t cut : {size_t{0}, size_t{5}, size_t{20}, container.size() - 1}) {
        write_bytes(dir_ / "cut.dlhf", container.substr(0, cut));
        const Result r = run("unpack cut.dlhf out");
        EXPECT_EQ(r.status, 1) << cut;
        EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "out"));
        // An existing output stays untouched.
        EXPECT_EQ(run("unpack cut.dlhf existing").status, 1);
        EXPECT_EQ(slurp(dir_ / "existing"), "old");
    }
    std::string flipped = container;
    flipped[container.size() - 12] ^= 0x10; // inside the encoded words
    write_bytes(dir_ / "flip.dlhf", flipped);
    const Result r = run("unpack flip.dlhf out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out"));
    EXPECT_TRUE(leftovers(dir_).empty());
}

} // namespace

namespace
{

TEST_F(DctlabProgram, FilesOfOneRepeatedByteRoundTripThroughFilesAndPipes)
{
    // Larger runs and every block size go through the container's property
    // test; here the program's own file and pipe paths.
    for (size_t size : {size_t{17}, size_t{18}, size_t{1000}, size_t{5000}, size_t{100000}}) {
        const std::string data(size, size % 2 ? 'a' : '\0');
        write_bytes(dir_ / "rep.bin", data);
        Result r = run("pack rep.bin rep.dl");
        ASSERT_EQ(r.status, 0) << size << r.err;
        r = run("unpack rep.dl rep.out");
        ASSERT_EQ(r.status, 0) << size << r.err;
        EXPECT_EQ(slurp(dir_ / "rep.out"), data) << size;
        r = run("pack - - < rep.bin | '" DCTLAB_BINARY "' unpack - piped");
        ASSERT_EQ(r.status, 0) << size << r.err;
        EXPECT_EQ(slurp(dir_ / "piped"), data) << size;
    }
}

TEST_F(DctlabProgram, NumbersOutsideTheirRangeGiveTheUsageLine)
{
    write_test_bmp(16, 16, "small.bmp");
    write_bytes(dir_ / "data", "some bytes");
    for (const char *args :
         {"sweep small.bmp --rates 200:255:2147483648", "sweep small.bmp --rates 0:4294967297:1",
          "sweep small.bmp --rates 0:256:1", "picture small.bmp out.bmp --rate 256",
          "picture small.bmp out.bmp --rate 4294967306", "picture small.bmp out.bmp --rate -1",
          "picture small.bmp out.bmp --rate 1e1", "pack data out --block-size 4294967297",
          "pack data out --block-size 268435457", "pack data out --block-size -1"}) {
        const Result r = run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(lines_of(r.err).size(), 1u) << args << ": " << r.err;
        EXPECT_FALSE(fs::exists(dir_ / "out.bmp")) << args;
        EXPECT_FALSE(fs::exists(dir_ / "out")) << args;
    }
    const Result r = run("sweep small.bmp --rates 200:255:2147483600");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("200"), std::string::npos);
    EXPECT_EQ(r.out.find("-2147483496"), std::string::npos) << r.out;
}

// An independent XML parser must open the SVG, whatever bytes the picture's
// file name holds.
TEST_F(DctlabProgram, SweepSvgIsWellFormedForEveryFileName)
{
    const fs::path source = write_test_bmp(16, 16, "small.bmp");
    for (const std::string &name :
         {std::string("lat\351.bmp"), std::string("ctl\001.bmp"), std::string("a<&>\".bmp"),
          std::string("cut\342\202.bmp"), std::string("ok-\303\251.bmp")}) {
        fs::copy_file(source, dir_ / name, fs::copy_options::overwrite_existing);
        const Result r = run("sweep '" + name + "' --rates 0:10:5 --svg plot.svg");
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string parse = std::string("'") + DCTLAB_PYTHON +
                                  "' -c \"import sys, xml.etree.ElementTree as E; "
                                  "t = E.parse(sys.argv[1]); print(t.getroot().tag)\" '" +
                                  (dir_ / "plot.svg").string() + "'";
        const int status = std::system(parse.c_str());
        EXPECT_EQ(status, 0) << name;
    }
    const std::string svg = slurp(dir_ / "plot.svg");
    EXPECT_NE(svg.find("ok-\303\251.bmp"), std::string::npos) << "valid UTF-8 stays as it is";
}

} // namespace

namespace
{

struct JpegCase {
    uint32_t w, h;
    int rate;
};

class DctlabJpeg : public DctlabProgram, public testing::WithParamInterface<JpegCase>
{
};

// decode restores exactly what picture writes, and the summary's bits per
// pixel are the bytes of the file that encode writes.
TEST_P(DctlabJpeg, DecodeGivesWhatPictureWritesAndTheSizesAgree)
{
    const JpegCase c = GetParam();
    write_test_bmp(c.w, c.h, "in.bmp");
    const std::string rate = " --rate " + std::to_string(c.rate);
    Result r = run("encode in.bmp in.jpg" + rate);
    ASSERT_EQ(r.status, 0) << r.err;
    r = run("decode in.jpg back.bmp");
    ASSERT_EQ(r.status, 0) << r.err;
    r = run("picture in.bmp picture.bmp" + rate);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string expected = slurp(dir_ / "picture.bmp");
    EXPECT_TRUE(slurp(dir_ / "back.bmp") == expected);
    char bpp[32];
    std::snprintf(bpp, sizeof bpp, ", %.4f bits per pixel",
                  8.0 * fs::file_size(dir_ / "in.jpg") / (double(c.w) * c.h));
    EXPECT_NE(r.out.find(bpp), std::string::npos) << bpp << '\n' << r.out;

    r = run("encode - - " + rate + " < in.bmp | '" DCTLAB_BINARY "' decode - -");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == expected) << "standard output is not the picture";
    EXPECT_TRUE(leftovers(dir_).empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, DctlabJpeg,
                         testing::Values(JpegCase{1, 1, 0}, JpegCase{7, 9, 1}, JpegCase{16, 16, 18},
                                         JpegCase{17, 33, 19}, JpegCase{99, 61, 255},
                                         JpegCase{4097, 35, 2}));

// On a picture of 561 pixels one byte is 0.0143 bits per pixel, so the
// table's four decimals pin the file size to the byte.
TEST_F(DctlabProgram, SweepCountsTheBytesOfTheFileEncodeWrites)
{
    write_test_bmp(17, 33, "in.bmp");
    const Result r = run("sweep in.bmp --rates 0:60:20 --csv rd.csv");
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = lines_of(slurp(dir_ / "rd.csv"));
    ASSERT_EQ(rows.size(), 5u);
    for (size_t i = 1; i < rows.size(); ++i) {
        const int rate = 20 * static_cast<int>(i - 1);
        ASSERT_EQ(run("encode in.bmp r.jpg --rate " + std::to_string(rate)).status, 0);
        char bpp[16];
        std::snprintf(bpp, sizeof bpp, "%.4f", 8.0 * fs::file_size(dir_ / "r.jpg") / 561.0);
        EXPECT_EQ(rows[i].substr(rows[i].find_last_of(',') + 1), bpp) << rows[i];
    }
}

TEST_F(DctlabProgram, DecodeOfADamagedOrForeignFileLeavesNoOutput)
{
    write_test_bmp(40, 24, "in.bmp");
    ASSERT_EQ(run("encode in.bmp in.jpg").status, 0);
    const std::string file = slurp(dir_ / "in.jpg");
    write_bytes(dir_ / "existing.bmp", "old");
    for (size_t cut : {size_t{0}, size_t{2}, size_t{100}, file.size() / 2, file.size() - 1}) {
        write_bytes(dir_ / "cut.jpg", file.substr(0, cut));
        Result r = run("decode cut.jpg out.bmp");
        EXPECT_EQ(r.status, 1) << cut;
        EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.out.rfind("ERROR: ", 0), 0u) << r.out; // the library's own line
        EXPECT_FALSE(fs::exists(dir_ / "out.bmp"));
        EXPECT_EQ(run("decode cut.jpg existing.bmp").status, 1);
        EXPECT_EQ(slurp(dir_ / "existing.bmp"), "old");
    }
    // A rate the inverse transform cannot take.
    PDRGB *picture = getRGBFromFile((dir_ / "in.bmp").c_str());
    PDCBCR *planes = RGBtoCBCR(picture);
    DCTDATA *coefficients = toDCT2(planes, 300);
    ASSERT_EQ(writeJPEG((dir_ / "coarse.jpg").c_str(), coefficients, 300), 1);
    freeDCT(coefficients);
    freeCBCR(planes);
    freeRGB(picture);
    const Result r = run("decode coarse.jpg out.bmp");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("rate 300"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.bmp"));
    EXPECT_EQ(run("encode in.bmp ./in.bmp").status, 1); // refuses its input
    EXPECT_TRUE(leftovers(dir_).empty());
}

} // namespace
