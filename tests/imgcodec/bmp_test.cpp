// BMP reading and writing against files built byte by byte here, so that
// neither side of a round trip can hide a fault of the other.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "fault_injection.h"
#include "imgcodec.h"
#include "temp_dir.h"

namespace
{

using Bytes = std::vector<uint8_t>;

const std::string kNullLine = "ERROR: NULL given instead of argument!\n";
const std::string kMemoryLine = "ERROR: No free memory left!\n";
const std::string kReadLine = "ERROR: Can't open file for reading!\n";
const std::string kNotBmpLine = "ERROR: This is not a BMP file, son!\n";
const std::string kWriteLine = "ERROR: Can't open file for writing!\n";
const std::string kInvalidLine = "ERROR: Invalid argument given!\n";

void put16(Bytes &out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes &out, uint32_t v)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(v >> shift));
}

// The header fields of a file to build; the defaults are those the writer
// uses, except the sizes, which the reader ignores.
struct Headers {
    uint32_t type = 0x4D42;
    uint32_t size = 0;
    uint32_t offset = 54;
    uint32_t info_size = 40;
    int32_t width = 1;
    int32_t height = 1;
    uint32_t planes = 1;
    uint32_t bits = 24;
    uint32_t compression = 0;
    uint32_t imagesize = 0;
    uint32_t resolution = 2834;
    uint32_t ncolors = 0;
};

// The file header and info header; an info header longer than 40 bytes gets
// its extra fields (colour masks, colour space) as non-zero filler.
Bytes header_bytes(const Headers &h)
{
    Bytes out;
    put16(out, h.type);
    put32(out, h.size);
    put32(out, 0); // both reserved fields
    put32(out, h.offset);
    put32(out, h.info_size);
    put32(out, static_cast<uint32_t>(h.width));
    put32(out, static_cast<uint32_t>(h.height));
    put16(out, h.planes);
    put16(out, h.bits);
    put32(out, h.compression);
    put32(out, h.imagesize);
    put32(out, h.resolution);
    put32(out, h.resolution);
    put32(out, h.ncolors);
    put32(out, 0);
    for (uint32_t n = 40; n < h.info_size; ++n)
        out.push_back(static_cast<uint8_t>(0xA0 + n % 16));
    return out;
}

// A test picture whose every byte differs from its neighbours; y counts
// rows from the bottom of the picture, as an ordinary file stores them.
BMPPIX8BNA pixel(uint32_t x, uint32_t y)
{
    return BMPPIX8BNA{static_cast<uint8_t>(7 * x + 3 * y + 1),
                      static_cast<uint8_t>(100 + x + 11 * y),
                      static_cast<uint8_t>(250 - 5 * x - y)};
}

uint32_t padding_of(uint32_t w)
{
    return (4 - (3 * w) % 4) % 4;
}

// The rows as a file stores them: bottom row first unless top_down, each
// padded with pad_byte up to a multiple of four bytes.
Bytes row_bytes(uint32_t w, uint32_t h, bool top_down = false, uint8_t pad_byte = 0)
{
    Bytes out;
    for (uint32_t i = 0; i < h; ++i) {
        const uint32_t y = top_down ? h - 1 - i : i;
        for (uint32_t x = 0; x < w; ++x) {
            const BMPPIX8BNA p = pixel(x, y);
            out.insert(out.end(), {p.B, p.G, p.R});
        }
        out.insert(out.end(), padding_of(w), pad_byte);
    }
    return out;
}

// The file that the writer must produce for the test picture.
Bytes written_file(uint32_t w, uint32_t h)
{
    Headers hd;
    hd.width = static_cast<int32_t>(w);
    hd.height = static_cast<int32_t>(h);
    hd.imagesize = (3 * w + padding_of(w)) * h;
    hd.size = hd.imagesize + 54;
    Bytes out = header_bytes(hd);
    const Bytes rows = row_bytes(w, h);
    out.insert(out.end(), rows.begin(), rows.end());
    return out;
}

Bytes operator+(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A record of the test picture, built in memory.
struct Picture {
    explicit Picture(uint32_t w, uint32_t h) : pixels(std::size_t{w} * h)
    {
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x)
                pixels[std::size_t{y} * w + x] = pixel(x, y);
        record = PDRGB{w, h, pixels.data(), static_cast<uint8_t>(padding_of(w))};
    }
    std::vector<BMPPIX8BNA> pixels;
    PDRGB record{};
};

bool same_pixel(const BMPPIX8BNA &a, const BMPPIX8BNA &b)
{
    return a.B == b.B && a.G == b.G && a.R == b.R;
}

// Checks that pic holds the test picture, rows bottom row first.
void expect_test_picture(const PDRGB *pic, uint32_t w, uint32_t h)
{
    ASSERT_NE(pic, nullptr);
    EXPECT_EQ(pic->w, w);
    EXPECT_EQ(pic->h, h);
    EXPECT_EQ(pic->dBytes, padding_of(w));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            ASSERT_TRUE(same_pixel(pic->data[std::size_t{y} * w + x], pixel(x, y)))
                << "pixel " << x << "," << y;
}

class BmpFiles : public testing::Test
{
  protected:
    std::string path(const std::string &name) const { return dir_ / name; }
    std::string file_with(const Bytes &bytes, const std::string &name = "in.bmp") const
    {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return path(name);
    }
    Bytes contents(const std::string &file) const
    {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool exists(const std::string &file) const { return access(file.c_str(), F_OK) == 0; }

    // Reads a file, expecting no line printed.
    PDRGB *read_quietly(const std::string &file)
    {
        PDRGB *pic = nullptr;
        EXPECT_EQ(stdout_of([&] { pic = getRGBFromFile(file.c_str()); }), "");
        return pic;
    }

    TempDir dir_{"imgcodec-bmp"};
};

class BmpRoundTrip : public BmpFiles, public testing::WithParamInterface<uint32_t>
{
};

TEST_P(BmpRoundTrip, WritesTheTableHeadersAndReadsBackTheSamePixels)
{
    const uint32_t w = GetParam();
    for (uint32_t h : {1u, 2u, 3u, 4u, 7u}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        Picture picture(w, h);
        const std::string out = path("out.bmp");
        EXPECT_EQ(stdout_of([&] { writeToBMP(out.c_str(), &picture.record); }), "");
        const Bytes file = contents(out);
        ASSERT_EQ(file, written_file(w, h));
        EXPECT_EQ(file.size(), 54 + h * (3 * w + padding_of(w)));

        PDRGB *back = read_quietly(out);
        expect_test_picture(back, w, h);
        freeRGB(back);
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, BmpRoundTrip, testing::Range(1u, 10u));

TEST_F(BmpFiles, PaddingFollowsTheWidth)
{
    // Width 1 to 5: rows of 4, 8, 12, 12 and 16 bytes.
    const uint8_t expected[] = {1, 2, 3, 0, 1};
    for (uint32_t w = 1; w <= 5; ++w) {
        PDRGB *pic = read_quietly(file_with(written_file(w, 2)));
        ASSERT_NE(pic, nullptr);
        EXPECT_EQ(pic->dBytes, expected[w - 1]) << w;
        freeRGB(pic);
    }
}

// Files other tools write: the rows begin at the offset, wherever that is.
struct Variant {
    const char *name;
    uint32_t info_size;
    uint32_t palette_bytes;
    bool top_down;
};

void PrintTo(const Variant &v, std::ostream *os)
{
    *os << v.name;
}

class BmpVariants : public BmpFiles, public testing::WithParamInterface<Variant>
{
};

TEST_P(BmpVariants, ReadsTheRowsFromTheOffsetBottomRowFirst)
{
    const Variant v = GetParam();
    const uint32_t w = 5, h = 3;
    Headers hd;
    hd.info_size = v.info_size;
    hd.width = w;
    hd.height = v.top_down ? -static_cast<int32_t>(h) : static_cast<int32_t>(h);
    hd.ncolors = v.palette_bytes / 4;
    hd.offset = 14 + v.info_size + v.palette_bytes;
    const Bytes palette(v.palette_bytes, 0x5C);
    const Bytes file = header_bytes(hd) + palette + row_bytes(w, h, v.top_down, 0xEE);

    PDRGB *pic = read_quietly(file_with(file));
    expect_test_picture(pic, w, h);

    // Written again, it is the file this library writes for the picture.
    const std::string out = path("out.bmp");
    writeToBMP(out.c_str(), pic);
    EXPECT_EQ(contents(out), written_file(w, h));
    freeRGB(pic);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, BmpVariants,
    testing::Values(Variant{"plain", 40, 0, false}, Variant{"info108", 108, 0, false},
                    Variant{"info124", 124, 0, false}, Variant{"palette", 40, 16, false},
                    Variant{"top_down", 40, 0, true}, Variant{"info124_top_down", 124, 0, true},
                    Variant{"info108_palette_top_down", 108, 1024, true}));

struct Rejected {
    const char *name;
    Bytes file;
};

void PrintTo(const Rejected &r, std::ostream *os)
{
    *os << r.name;
}

Bytes valid_file()
{
    return written_file(3, 2);
}

Bytes with(const std::function<void(Headers &)> &change)
{
    Headers hd;
    hd.width = 3;
    hd.height = 2;
    change(hd);
    return header_bytes(hd) + row_bytes(3, 2);
}

Bytes first_bytes(std::size_t n)
{
    Bytes file = valid_file();
    file.resize(n);
    return file;
}

std::vector<Rejected> rejected_files()
{
    return {
        {"empty", {}},
        {"one_byte", first_bytes(1)},
        {"file_header_only", first_bytes(14)},
        {"one_byte_short_of_headers", first_bytes(53)},
        {"signature_BA", with([](Headers &h) { h.type = 0x4142; })},
        {"signature_swapped", with([](Headers &h) { h.type = 0x424D; })},
        {"core_info_header_12", with([](Headers &h) { h.info_size = 12; })},
        {"info_header_39", with([](Headers &h) { h.info_size = 39; })},
        {"width_0", with([](Headers &h) { h.width = 0; })},
        {"width_negative", with([](Headers &h) { h.width = -3; })},
        {"width_min", with([](Headers &h) { h.width = INT32_MIN; })},
        {"height_0", with([](Headers &h) { h.height = 0; })},
        {"bits_8", with([](Headers &h) { h.bits = 8; })},
        {"bits_32", with([](Headers &h) { h.bits = 32; })},
        {"bits_16", with([](Headers &h) { h.bits = 16; })},
        {"rle8", with([](Headers &h) { h.compression = 1; })},
        {"bitfields", with([](Headers &h) { h.compression = 3; })},
        {"offset_53", with([](Headers &h) { h.offset = 53; })},
        {"offset_0", with([](Headers &h) { h.offset = 0; })},
        // 3·65536·65536 needs 34 bits.
        {"pixels_overflow", with([](Headers &h) { h.width = h.height = 65536; })},
        {"pixels_overflow_top_down", with([](Headers &h) {
             h.width = 65536;
             h.height = -65536;
         })},
        // 2^31 rows: its magnitude exists only unsigned, and 3·2^31 overflows.
        {"height_min", with([](Headers &h) {
             h.width = 1;
             h.height = INT32_MIN;
         })},
        // 3·1·1431655765 = 2^32 - 1 still fits, but the padded rows do not.
        {"file_size_overflow", with([](Headers &h) {
             h.width = 1;
             h.height = 1431655765;
         })},
    };
}

class BmpRejects : public BmpFiles, public testing::WithParamInterface<Rejected>
{
};

TEST_P(BmpRejects, WithTheNotBmpLineHoldingNothing)
{
    const std::string file = file_with(GetParam().file);
    fi::reset();
    PDRGB *pic = reinterpret_cast<PDRGB *>(1);
    EXPECT_EQ(stdout_of([&] { pic = getRGBFromFile(file.c_str()); }), kNotBmpLine);
    EXPECT_EQ(pic, nullptr);
    EXPECT_EQ(fi::allocations(), 0);
    EXPECT_EQ(fi::open_files(), 0);
}

INSTANTIATE_TEST_SUITE_P(Files, BmpRejects, testing::ValuesIn(rejected_files()),
                         [](const testing::TestParamInfo<Rejected> &info) {
                             return std::string(info.param.name);
                         });

TEST_F(BmpFiles, AcceptsTheLargestPictureWhoseFileSizeFits)
{
    // 1073741810 rows of 4 bytes and the headers make 2^32 - 2 bytes. The
    // file holds one row; the rest of the 3-GiB array stays zero.
    Headers hd;
    hd.width = 1;
    hd.height = 1073741810;
    const std::string file = file_with(header_bytes(hd) + Bytes{9, 8, 7, 0});
    PDRGB *pic = read_quietly(file);
    ASSERT_NE(pic, nullptr);
    EXPECT_EQ(pic->h, 1073741810u);
    EXPECT_EQ(pic->data[0].B, 9);
    EXPECT_EQ(pic->data[0].R, 7);
    EXPECT_EQ(pic->data[pic->h - 1].G, 0);
    freeRGB(pic);
}

TEST_F(BmpFiles, ReadsATruncatedFileWithTheMissingBytesZero)
{
    const uint32_t w = 3, h = 2;
    Bytes file = written_file(w, h);
    // Row 0 (12 bytes) whole, then pixel 0 of row 1 and one byte of pixel 1.
    file.resize(54 + 12 + 3 + 1);
    PDRGB *pic = read_quietly(file_with(file));
    ASSERT_NE(pic, nullptr);
    for (uint32_t x = 0; x < w; ++x)
        EXPECT_TRUE(same_pixel(pic->data[x], pixel(x, 0)));
    EXPECT_TRUE(same_pixel(pic->data[3], pixel(0, 1)));
    EXPECT_EQ(pic->data[4].B, pixel(1, 1).B);
    EXPECT_EQ(pic->data[4].G, 0);
    EXPECT_EQ(pic->data[4].R, 0);
    EXPECT_TRUE(same_pixel(pic->data[5], BMPPIX8BNA{0, 0, 0}));
    freeRGB(pic);
}

TEST_F(BmpFiles, ReadsRowsMissingFromTheTopOfATopDownFileAsBlack)
{
    Headers hd;
    hd.width = 2;
    hd.height = -2;
    Bytes rows = row_bytes(2, 2, true);
    rows.resize(8); // the top row only
    PDRGB *pic = read_quietly(file_with(header_bytes(hd) + rows));
    ASSERT_NE(pic, nullptr);
    EXPECT_TRUE(same_pixel(pic->data[2], pixel(0, 1)));
    EXPECT_TRUE(same_pixel(pic->data[3], pixel(1, 1)));
    EXPECT_TRUE(same_pixel(pic->data[0], BMPPIX8BNA{0, 0, 0}));
    EXPECT_TRUE(same_pixel(pic->data[1], BMPPIX8BNA{0, 0, 0}));
    freeRGB(pic);
}

TEST_F(BmpFiles, ReadsAnOffsetBeyondTheEndAsABlackPicture)
{
    Headers hd;
    hd.width = 2;
    hd.height = 2;
    hd.offset = 4000;
    PDRGB *pic = read_quietly(file_with(header_bytes(hd) + row_bytes(2, 2)));
    ASSERT_NE(pic, nullptr);
    for (int n = 0; n < 4; ++n)
        EXPECT_TRUE(same_pixel(pic->data[n], BMPPIX8BNA{0, 0, 0}));
    freeRGB(pic);
}

TEST_F(BmpFiles, ReportsANullNameAndAFileItCannotOpen)
{
    fi::reset();
    PDRGB *pic = nullptr;
    EXPECT_EQ(stdout_of([&] { pic = getRGBFromFile(nullptr); }), kNullLine);
    EXPECT_EQ(pic, nullptr);
    const std::string missing = path("missing.bmp");
    EXPECT_EQ(stdout_of([&] { pic = getRGBFromFile(missing.c_str()); }), kReadLine);
    EXPECT_EQ(pic, nullptr);
    EXPECT_EQ(fi::allocations(), 0);
}

TEST_F(BmpFiles, ReleasesEverythingWhenAnAllocationFails)
{
    const std::string file = file_with(written_file(4, 3));
    std::string printed;
    bool returned_null = false;
    const long sites = fi::each_allocation_failing(
        [&] {
            PDRGB *pic = nullptr;
            printed = stdout_of([&] { pic = getRGBFromFile(file.c_str()); });
            returned_null = pic == nullptr;
            freeRGB(pic);
        },
        [&](long n) {
            SCOPED_TRACE(n);
            EXPECT_EQ(printed, kMemoryLine);
            EXPECT_TRUE(returned_null);
            EXPECT_EQ(fi::live_blocks(), 0);
            EXPECT_EQ(fi::open_files(), 0);
        });
    EXPECT_EQ(sites, 2); // the record, then its pixels
}

TEST_F(BmpFiles, WriteRefusesNullArgumentsAndTouchesNoFile)
{
    Picture picture(2, 2);
    PDRGB no_pixels = picture.record;
    no_pixels.data = nullptr;
    const std::string out = path("out.bmp");
    EXPECT_EQ(stdout_of([&] { writeToBMP(nullptr, &picture.record); }), kNullLine);
    EXPECT_EQ(stdout_of([&] { writeToBMP(out.c_str(), nullptr); }), kNullLine);
    EXPECT_EQ(stdout_of([&] { writeToBMP(out.c_str(), &no_pixels); }), kNullLine);
    EXPECT_FALSE(exists(out));
}

TEST_F(BmpFiles, WriteRefusesAPictureItsHeadersCannotDescribe)
{
    // 3·65536·65536 bytes of rows do not fit the 32-bit size fields; the
    // pixels are never looked at.
    BMPPIX8BNA one{};
    const PDRGB huge{65536, 65536, &one, 0};
    const std::string out = path("out.bmp");
    EXPECT_EQ(stdout_of([&] { writeToBMP(out.c_str(), &huge); }), kInvalidLine);
    EXPECT_FALSE(exists(out));
}

TEST_F(BmpFiles, WriteReportsAFileItCannotOpen)
{
    Picture picture(2, 2);
    ASSERT_EQ(mkdir(path("dir").c_str(), 0700), 0);
    EXPECT_EQ(stdout_of([&] { writeToBMP(path("dir").c_str(), &picture.record); }), kWriteLine);
}

TEST_F(BmpFiles, WriteReportsAFullDiskAndClosesTheFile)
{
    if (!exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    for (uint32_t side : {2u, 700u}) { // failing at the close, and mid-rows
        Picture picture(side, side);
        fi::reset();
        EXPECT_EQ(stdout_of([&] { writeToBMP("/dev/full", &picture.record); }), kWriteLine);
        EXPECT_EQ(fi::open_files(), 0);
    }
}

TEST_F(BmpFiles, WriteOverwritesAnExistingFile)
{
    const std::string out = file_with(Bytes(5000, 0x77), "out.bmp");
    Picture picture(3, 3);
    writeToBMP(out.c_str(), &picture.record);
    EXPECT_EQ(contents(out), written_file(3, 3));
}

TEST(FreeRGB, AcceptsNullAndARecordWithoutPixels)
{
    freeRGB(nullptr);
    fi::reset();
    auto *pic = static_cast<PDRGB *>(std::calloc(1, sizeof(PDRGB)));
    ASSERT_NE(pic, nullptr);
    freeRGB(pic);
    EXPECT_EQ(fi::live_blocks(), 0);
}

} // namespace
