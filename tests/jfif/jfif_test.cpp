// The JPEG files of the picture path's records, checked on their own (round
// trips, Huffman tables, damaged and reshaped files, refused records and
// arguments) and against libjpeg-turbo, an implementation of its own: it
// reads our coefficients and pictures, rewrites our files losslessly for us
// to read back, and writes the files we must refuse.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio> // before jpeglib.h, which needs FILE
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <jpeglib.h>

#include <gtest/gtest.h>

#include "capture.h"
#include "fault_injection.h"
#include "imgcodec.h"
#include "jfif.h"
#include "temp_dir.h"

namespace
{

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const std::string kNullLine = "ERROR: NULL given instead of argument!\n";
const std::string kInvalidLine = "ERROR: Invalid argument given!\n";
const std::string kMemoryLine = "ERROR: No free memory left!\n";

struct DctFree {
    void operator()(DCTDATA *d) const { freeDCT(d); }
};
using Dct = std::unique_ptr<DCTDATA, DctFree>;

uint32_t blocks(uint32_t w, uint32_t h)
{
    return ((w + 7) / 8) * ((h + 7) / 8);
}

// One size at one rate, printed by name (not by its bytes, padding included).
struct Case {
    uint32_t w, h;
    uint16_t rate;
    std::string name() const
    {
        return std::to_string(w) + "x" + std::to_string(h) + "_" + std::to_string(rate);
    }
    friend std::ostream &operator<<(std::ostream &out, const Case &c) { return out << c.name(); }
};
const auto case_name = [](const testing::TestParamInfo<Case> &info) { return info.param.name(); };
std::vector<Case> all_cases()
{
    std::vector<Case> cases;
    using Sizes = std::vector<std::pair<uint32_t, uint32_t>>;
    for (auto [w, h] : Sizes{{1, 1}, {7, 9}, {8, 8}, {16, 16}, {17, 33}, {641, 481}})
        for (uint16_t rate : {0, 1, 2, 10, 18, 19, 100, 255, 2340})
            cases.push_back({w, h, rate});
    return cases;
}

// A sky that darkens upwards, a lit blob, a hard-edged box, ripples and
// noise: long runs of zeros and large coefficients in one picture.
std::vector<BMPPIX8BNA> picture(uint32_t w, uint32_t h)
{
    std::mt19937 gen(7);
    std::vector<BMPPIX8BNA> px(std::size_t{w} * h);
    auto clamp8 = [](double v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : std::lround(v)); };
    for (uint32_t y = 0; y < h; ++y) {
        const double fy = double(y) / h, blob_y = 150 * std::exp(-std::pow(fy - .6, 2) * 18);
        for (uint32_t x = 0; x < w; ++x) {
            const double blob = blob_y * std::exp(-std::pow(double(x) / w - .3, 2) * 18);
            const double ripple = 14 * std::sin(x * .9) * std::cos(y * .7) + double(gen() % 9) - 4;
            const bool box = x > w / 2 && x < w / 2 + 17 && y > h / 5 && y < h / 5 + 13;
            px[std::size_t{y} * w + x] = {clamp8(box ? 250 : 210 - 90 * fy + blob / 8 + ripple),
                                          clamp8(box ? 20 : 90 + 80 * fy + blob / 3 - ripple),
                                          clamp8(box ? 20 : 60 + 120 * fy + blob + ripple)};
        }
    }
    return px;
}

// The picture path's record of that picture at that rate, made once and kept
// in vectors, out of sight of the allocation counts.
DCTDATA blocks_of(uint32_t w, uint32_t h, uint16_t rate)
{
    static std::map<std::tuple<uint32_t, uint32_t, uint16_t>, std::vector<int16_t>> kept[3];
    const auto key = std::tuple{w, h, rate};
    if (!kept[0].count(key)) {
        std::vector<BMPPIX8BNA> px = picture(w, h);
        const PDRGB rgb{w, h, px.data(), static_cast<uint8_t>(w % 4)};
        PDCBCR *planes = RGBtoCBCR(&rgb);
        Dct d(planes ? toDCT2(planes, rate) : nullptr);
        freeCBCR(planes);
        if (!d)
            return DCTDATA{};
        const int16_t *from[] = {d->YdataDCT, d->CbDataDCT, d->CrDataDCT};
        for (int c = 0; c < 3; ++c)
            kept[c][key].assign(from[c], from[c] + 64 * std::size_t{c ? d->CBlks : d->YBlks});
    }
    auto data = [&](int c) { return kept[c][key].data(); };
    return {blocks(w, h), blocks((w + 1) / 2, (h + 1) / 2), w, h, data(0), data(1), data(2)};
}

Bytes encode(const DCTDATA *d, uint16_t rate, std::string *printed = nullptr)
{
    Bytes out;
    const std::string text = stdout_of([&] {
        size_t size = 0;
        uint8_t *p = encodeJPEG(d, rate, &size);
        if (p)
            out.assign(p, p + size);
        std::free(p);
    });
    if (printed)
        *printed = text;
    return out;
}

struct Decoded {
    Dct dct;
    uint16_t rate = 0xFFFF;
    std::string printed;
};
Decoded decode(const Bytes &file)
{
    Decoded r;
    r.printed = stdout_of([&] { r.dct.reset(decodeJPEG(file.data(), file.size(), &r.rate)); });
    return r;
}

bool one_error_line(const std::string &s)
{
    return s.rfind("ERROR: ", 0) == 0 && s.find('\n') == s.size() - 1;
}

testing::AssertionResult same_blocks(const DCTDATA &a, const DCTDATA &b)
{
    if (a.w != b.w || a.h != b.h || a.YBlks != b.YBlks || a.CBlks != b.CBlks)
        return testing::AssertionFailure() << a.w << "x" << a.h << " in " << a.YBlks << "/"
                                           << a.CBlks << " blocks, not " << b.w << "x" << b.h;
    const int16_t *pa[] = {a.YdataDCT, a.CbDataDCT, a.CrDataDCT};
    const int16_t *pb[] = {b.YdataDCT, b.CbDataDCT, b.CrDataDCT};
    for (int c = 0; c < 3; ++c)
        for (std::size_t n = 0; n < std::size_t{64} * (c ? a.CBlks : a.YBlks); ++n)
            if (pa[c][n] != pb[c][n])
                return testing::AssertionFailure()
                       << "component " << c << " block " << n / 64 << " element " << n % 64 << ": "
                       << pa[c][n] << " vs " << pb[c][n];
    return testing::AssertionSuccess();
}

// The segments from SOI up to and including SOS: the marker, the offset of
// its 0xFF and that of the next segment (or of the scan's data).
struct Segment {
    uint8_t marker;
    std::size_t pos, end;
};
std::vector<Segment> segments(const Bytes &f)
{
    std::vector<Segment> out;
    for (std::size_t i = 2; i + 4 <= f.size() && f[i] == 0xFF;) {
        while (i + 4 < f.size() && f[i + 1] == 0xFF)
            ++i; // fill bytes
        out.push_back({f[i + 1], i, i + 2 + (std::size_t{f[i + 2]} << 8 | f[i + 3])});
        if (f[i + 1] == 0xDA)
            break;
        i = out.back().end;
    }
    return out;
}
const Segment *find_segment(const std::vector<Segment> &s, uint8_t marker)
{
    for (const Segment &seg : s)
        if (seg.marker == marker)
            return &seg;
    return nullptr;
}
std::size_t scan_start(const Bytes &f)
{
    const std::vector<Segment> s = segments(f);
    return s.empty() || s.back().marker != 0xDA ? f.size() : s.back().end;
}

struct Table {
    std::size_t pos; // of the byte of class and number
    int cls, counts[17];
    std::vector<uint8_t> symbols;
};
std::vector<Table> huffman_tables(const Bytes &f)
{
    std::vector<Table> out;
    for (const Segment &s : segments(f))
        for (std::size_t i = s.pos + 4, n = 0; s.marker == 0xC4 && i + 17 <= s.end; i += 17 + n) {
            Table t{i, f[i] >> 4, {0}, {}};
            n = 0;
            for (int l = 1; l <= 16; ++l)
                n += t.counts[l] = f[i + l];
            if (i + 17 + n > s.end)
                break;
            t.symbols.assign(f.begin() + i + 17, f.begin() + i + 17 + n);
            out.push_back(t);
        }
    return out;
}

// Two DC and two AC tables, each a prefix code of lengths up to 16 that
// leaves the all-ones code unused, over distinct symbols of sequential coding.
void check_huffman_tables(const Bytes &file)
{
    const std::vector<Table> tables = huffman_tables(file);
    ASSERT_EQ(tables.size(), 4u);
    int dc = 0;
    for (const Table &t : tables) {
        dc += t.cls == 0;
        long kraft = 0;
        for (int l = 1; l <= 16; ++l)
            kraft += long{t.counts[l]} << (16 - l);
        EXPECT_LT(kraft, 1L << 16) << "class " << t.cls;
        EXPECT_EQ(std::set<uint8_t>(t.symbols.begin(), t.symbols.end()).size(), t.symbols.size());
        for (uint8_t s : t.symbols)
            EXPECT_TRUE(t.cls == 0 ? s <= 11 : ((s & 15) && (s & 15) <= 10) || s == 0 || s == 0xF0)
                << t.cls << ": " << int{s};
    }
    EXPECT_EQ(dc, 2);
}

class RoundTrip : public testing::TestWithParam<Case>
{
};

TEST_P(RoundTrip, TheFileGivesBackEveryCoefficientAndTheRate)
{
    const Case c = GetParam();
    const DCTDATA d = blocks_of(c.w, c.h, c.rate);
    ASSERT_NE(d.YdataDCT, nullptr);
    std::string printed;
    const Bytes file = encode(&d, c.rate, &printed);
    ASSERT_FALSE(file.empty()) << printed;
    EXPECT_EQ(printed, "");
    // The same bytes again, whatever QUANT_MAT holds, and QUANT_MAT untouched.
    std::fill(std::begin(QUANT_MAT), std::end(QUANT_MAT), int16_t{7});
    EXPECT_EQ(encode(&d, c.rate), file);
    Decoded back = decode(file);
    EXPECT_EQ(std::count(std::begin(QUANT_MAT), std::end(QUANT_MAT), 7), 64);
    ASSERT_NE(back.dct, nullptr) << back.printed;
    EXPECT_EQ(back.printed, "");
    EXPECT_EQ(back.rate, c.rate);
    EXPECT_TRUE(same_blocks(*back.dct, d));
    check_huffman_tables(file);

    // Through a file: the same bytes, the same record.
    TempDir dir("dctlab-jfif");
    const std::string path = dir / "picture.jpg";
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(writeJPEG(path.c_str(), &d, c.rate), 1); }), "");
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), file);
    uint16_t rate = 0xFFFF;
    Dct from_file;
    EXPECT_EQ(stdout_of([&] { from_file.reset(readJPEG(path.c_str(), &rate)); }), "");
    ASSERT_NE(from_file, nullptr);
    EXPECT_EQ(rate, c.rate);
    EXPECT_TRUE(same_blocks(*from_file, d));
}

INSTANTIATE_TEST_SUITE_P(Pictures, RoundTrip, testing::ValuesIn(all_cases()), case_name);

Bytes inserted(Bytes f, std::size_t at, const Bytes &what)
{
    f.insert(f.begin() + at, what.begin(), what.end());
    return f;
}

class SmallFile : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_NE(d.YdataDCT, nullptr);
        ASSERT_TRUE(file.size() > 100 && !segs.empty() && segs.back().marker == 0xDA);
    }
    const DCTDATA d = blocks_of(17, 33, 10);
    const Bytes file = encode(&d, 10);
    const std::vector<Segment> segs = segments(file);
};

TEST_F(SmallFile, EveryTruncationIsRefused)
{
    for (std::size_t n = 0; n < file.size(); ++n) {
        Decoded back = decode(Bytes(file.begin(), file.begin() + n));
        ASSERT_EQ(back.dct, nullptr) << n;
        ASSERT_TRUE(one_error_line(back.printed)) << n << ": " << back.printed;
    }
}

TEST_F(SmallFile, EveryBitOfTheHeadersFlippedGivesARecordOrOneLine)
{
    for (std::size_t i = 0; i < segs.back().end; ++i)
        for (int bit = 0; bit < 8; ++bit) {
            Bytes f = file;
            f[i] ^= uint8_t(1 << bit);
            Decoded back = decode(f);
            const DCTDATA *r = back.dct.get();
            const bool fine = r ? back.printed.empty() && r->YBlks == blocks(r->w, r->h) &&
                                      r->CBlks == blocks((r->w + 1) / 2, (r->h + 1) / 2)
                                : one_error_line(back.printed);
            ASSERT_TRUE(fine) << "byte " << i << " bit " << bit << ": " << back.printed;
        }
}

// The contract says nothing of bytes after EOI: either way, one line or the
// file's own record.
TEST_F(SmallFile, BytesAfterTheEndGiveTheRecordOrOneLine)
{
    for (const Bytes &tail :
         {Bytes{0}, Bytes{0xFF}, Bytes{0xFF, 0xD9}, Bytes{0xFF, 0xD8, 0xFF}, Bytes(300, 0xA5)}) {
        Decoded back = decode(inserted(file, file.size(), tail));
        EXPECT_TRUE(back.dct ? bool(same_blocks(*back.dct, d)) : one_error_line(back.printed))
            << tail.size() << ": " << back.printed;
    }
}

// A record of w x h whose every block is flat grey (file DC 0), to edit.
struct Record {
    uint32_t w, h;
    std::vector<int16_t> c[3];
    DCTDATA d{};
    Record(uint32_t w_, uint32_t h_) : w(w_), h(h_)
    {
        for (int k = 0; k < 3; ++k) {
            c[k].assign(64 * std::size_t{k ? blocks((w + 1) / 2, (h + 1) / 2) : blocks(w, h)}, 0);
            for (std::size_t n = 0; n < c[k].size(); n += 64)
                c[k][n] = 1024;
        }
    }
    DCTDATA *get()
    {
        const uint32_t luma = uint32_t(c[0].size() / 64), chroma = uint32_t(c[1].size() / 64);
        d = {luma, chroma, w, h, c[0].data(), c[1].data(), c[2].data()};
        return &d;
    }
};

// Refused: the line, no buffer, and no file from writeJPEG.
void expect_refused(DCTDATA *d, uint16_t rate, const std::string &path)
{
    std::string printed;
    EXPECT_TRUE(encode(d, rate, &printed).empty());
    EXPECT_EQ(printed, kInvalidLine);
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(writeJPEG(path.c_str(), d, rate), 0); }), kInvalidLine);
    EXPECT_FALSE(fs::exists(path));
}

// Each edit sets one coefficient: component, index, value.
TEST(JfifWriter, StoresWhatSequentialCodingCanHoldAndRefusesTheRest)
{
    using Edits = std::vector<std::tuple<int, int, int>>;
    const std::tuple<const char *, uint32_t, uint32_t, Edits, bool> rows[] = {
        {"DC step +2047", 8, 8, {{0, 0, 1024 + 2047}}, true},
        {"DC step -2047", 8, 8, {{0, 0, 1024 - 2047}}, true},
        {"DC step +2048", 8, 8, {{0, 0, 1024 + 2048}}, false},
        {"DC step -2048", 8, 8, {{0, 0, 1024 - 2048}}, false},
        {"DC step between blocks", 16, 8, {{0, 0, 1024 + 1100}, {0, 64, 1024 - 1100}}, false},
        {"Cb and Cr predicted apart", 8, 8, {{1, 0, 1024 + 1500}, {2, 0, 1024 - 1500}}, true},
        {"Cr DC step", 32, 16, {{2, 0, 1024 + 1500}, {2, 64, 1024 - 1500}}, false},
        // 32x16: the luminance blocks go 0 1 4 5, 2 3 6 7.
        {"MCU order, near", 32, 16, {{0, 64, 1024 + 1500}, {0, 128, 1024 - 1500}}, true},
        {"MCU order, too far", 32, 16, {{0, 320, 1024 + 1500}, {0, 128, 1024 - 1500}}, false},
        {"AC 1023", 8, 8, {{0, 1, 1023}, {1, 63, -1023}}, true},
        {"AC 1024", 8, 8, {{0, 1, 1024}}, false},
        {"AC -1024 last", 9, 9, {{2, 63, -1024}}, false},
        {"AC -32768", 8, 8, {{0, 5, -32768}}, false},
    };
    TempDir dir("dctlab-jfif");
    for (const auto &[name, w, h, edits, storable] : rows) {
        SCOPED_TRACE(name);
        Record r(w, h);
        for (auto [component, index, value] : edits)
            r.c[component][index] = int16_t(value);
        if (!storable) {
            expect_refused(r.get(), 0, dir / "record.jpg");
            continue;
        }
        Decoded back = decode(encode(r.get(), 0));
        ASSERT_NE(back.dct, nullptr) << back.printed;
        EXPECT_TRUE(same_blocks(*back.dct, *r.get()));
    }
}

TEST(JfifWriter, RefusesRatesAndArraysThatDoNotFit)
{
    TempDir dir("dctlab-jfif");
    Record r(16, 16), big(64, 64); // big's arrays hold more than any row reads
    EXPECT_FALSE(encode(r.get(), 2340).empty());
    for (uint16_t rate : {2341, 65535})
        expect_refused(r.get(), rate, dir / "record.jpg");
    for (auto [w, h, yb, cb] : std::vector<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>>{
             {16, 16, 3, 1}, {16, 16, 4, 2}, {17, 16, 4, 2}, {16, 17, 6, 1}, {1, 1, 0, 0}}) {
        DCTDATA d = *big.get();
        d.w = w, d.h = h, d.YBlks = yb, d.CBlks = cb;
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        expect_refused(&d, 0, dir / "record.jpg");
    }
}

TEST(JfifArguments, NullsAndMissingFilesGiveOneLine)
{
    TempDir dir("dctlab-jfif");
    const std::string path = dir / "record.jpg", real = dir / "real.jpg", none = dir / "none/x";
    Record r(8, 8);
    const Bytes file = encode(r.get(), 0);
    ASSERT_EQ(writeJPEG(real.c_str(), r.get(), 0), 1);
    size_t size = 0;
    uint16_t rate = 0;
    DCTDATA no_cr = *r.get();
    no_cr.CrDataDCT = nullptr;
    // Each call is true when it failed.
    const std::tuple<const char *, std::function<bool()>, std::string> rows[] = {
        {"encode, no record", [&] { return !encodeJPEG(nullptr, 0, &size); }, kNullLine},
        {"encode, no size", [&] { return !encodeJPEG(r.get(), 0, nullptr); }, kNullLine},
        {"encode, no Cr array", [&] { return !encodeJPEG(&no_cr, 0, &size); }, kNullLine},
        {"write, no name", [&] { return !writeJPEG(nullptr, r.get(), 0); }, kNullLine},
        {"write, no record", [&] { return !writeJPEG(path.c_str(), nullptr, 0); }, kNullLine},
        {"decode, no bytes", [&] { return !decodeJPEG(nullptr, 10, &rate); }, kNullLine},
        {"decode, no rate", [&] { return !decodeJPEG(file.data(), file.size(), nullptr); },
         kNullLine},
        {"read, no name", [&] { return !readJPEG(nullptr, &rate); }, kNullLine},
        {"read, no rate", [&] { return !readJPEG(real.c_str(), nullptr); }, kNullLine},
        {"write, missing folder", [&] { return !writeJPEG(none.c_str(), r.get(), 0); }, ""},
        {"read, missing file", [&] { return !readJPEG(none.c_str(), &rate); }, ""},
    };
    for (const auto &[name, call, line] : rows) {
        bool failed = false;
        const std::string printed = stdout_of([&, &call = call] { failed = call(); });
        EXPECT_TRUE(failed) << name;
        EXPECT_TRUE(line.empty() ? one_error_line(printed) : printed == line)
            << name << ": " << printed;
        EXPECT_FALSE(fs::exists(path) || fs::exists(dir / "none")) << name;
    }
}

TEST(JfifAllocation, EveryFailureGivesTheMemoryLineAndLeavesNothing)
{
    const DCTDATA d = blocks_of(17, 33, 10);
    const Bytes file = encode(&d, 10);
    TempDir dir("dctlab-jfif");
    const std::string source = dir / "source.jpg", target = dir / "target.jpg";
    ASSERT_EQ(writeJPEG(source.c_str(), &d, 10), 1);
    uint16_t rate = 0;
    size_t size = 0;
    // Each call is true when it succeeded.
    const std::pair<const char *, std::function<bool()>> rows[] = {
        {"encode",
         [&] {
             uint8_t *bytes = encodeJPEG(&d, 10, &size);
             const bool made = bytes != nullptr;
             std::free(bytes);
             return made;
         }},
        {"write", [&] { return writeJPEG(target.c_str(), &d, 10) == 1; }},
        {"decode", [&] { return Dct(decodeJPEG(file.data(), file.size(), &rate)) != nullptr; }},
        {"read", [&] { return Dct(readJPEG(source.c_str(), &rate)) != nullptr; }},
    };
    for (const auto &[name, call] : rows) {
        bool ok = false;
        std::string printed;
        const long sites = fi::each_allocation_failing(
            [&, &call = call] {
                fs::remove(target);
                printed = stdout_of([&] { ok = call(); });
            },
            [&, &name = name](long n) {
                EXPECT_TRUE(!ok && printed == kMemoryLine) << name << " " << n << ": " << printed;
                EXPECT_EQ(fi::live_blocks() + fi::open_files(), 0) << name << " " << n;
                EXPECT_FALSE(fs::exists(target)) << name << " " << n;
            });
        EXPECT_GT(sites, 0) << name;
        EXPECT_TRUE(ok) << name; // the last run, which no failure reached
    }
}

// libjpeg's failures jump back to `guarded`, which returns false; the bodies
// hold nothing that needs destroying while they call libjpeg.
struct Failure {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};
jpeg_error_mgr *catching(Failure &f)
{
    jpeg_std_error(&f.mgr);
    f.mgr.error_exit = [](j_common_ptr c) {
        std::longjmp(reinterpret_cast<Failure *>(c->err)->jump, 1);
    };
    f.mgr.output_message = [](j_common_ptr) {};
    return &f.mgr;
}
template <typename Body> bool guarded(Failure &f, const Body &body)
{
    if (setjmp(f.jump))
        return false;
    body();
    return true;
}
struct Reader {
    Failure fail;
    jpeg_decompress_struct c{};
    explicit Reader(const Bytes &f)
    {
        c.err = catching(fail);
        jpeg_create_decompress(&c);
        jpeg_mem_src(&c, f.data(), f.size());
    }
    ~Reader() { jpeg_destroy_decompress(&c); }
};
struct Writer {
    jpeg_compress_struct c{};
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    explicit Writer(Failure &fail)
    {
        c.err = catching(fail);
        jpeg_create_compress(&c);
        jpeg_mem_dest(&c, &buffer, &size);
    }
    ~Writer()
    {
        jpeg_destroy_compress(&c);
        std::free(buffer);
    }
};

// What jpeg_read_coefficients gives, in our layout: zigzag order, DC plus
// 1024, the picture's blocks only.
struct Coefficients {
    std::string layout; // the size, then each component's sampling and blocks
    std::vector<int16_t> blocks[3];
    std::vector<int> quant; // each component's table, in natural order
    long warnings = -1;
};
bool lj_coefficients(const Bytes &f, Coefficients &out)
{
    Reader r(f);
    return guarded(r.fail, [&] {
        jpeg_read_header(&r.c, TRUE);
        jvirt_barray_ptr *arrays = jpeg_read_coefficients(&r.c);
        out.layout = std::to_string(r.c.image_width) + "x" + std::to_string(r.c.image_height);
        for (int c = 0; c < r.c.num_components; ++c) {
            const jpeg_component_info &comp = r.c.comp_info[c];
            for (unsigned v : {comp.h_samp_factor, comp.v_samp_factor, int(comp.width_in_blocks),
                               int(comp.height_in_blocks)})
                out.layout += " " + std::to_string(v);
            for (JDIMENSION row = 0; row < comp.height_in_blocks && c < 3; ++row) {
                JBLOCKARRAY line = r.c.mem->access_virt_barray(reinterpret_cast<j_common_ptr>(&r.c),
                                                               arrays[c], row, 1, FALSE);
                for (JDIMENSION col = 0; col < comp.width_in_blocks; ++col)
                    for (int k = 0; k < 64; ++k)
                        out.blocks[c].push_back(
                            int16_t(k ? line[0][col][PERM_MAT[k]] : line[0][col][0] + 1024));
            }
            const UINT16 *q = comp.quant_table->quantval;
            out.quant.insert(out.quant.end(), q, q + 64);
        }
        jpeg_finish_decompress(&r.c);
        out.warnings = r.fail.mgr.num_warnings;
    });
}
testing::AssertionResult same_layout(const Coefficients &lj, const DCTDATA &d)
{
    const std::string cw = std::to_string((d.w + 15) / 16), ch = std::to_string((d.h + 15) / 16);
    const std::string layout = std::to_string(d.w) + "x" + std::to_string(d.h) + " 2 2 " +
                               std::to_string((d.w + 7) / 8) + " " + std::to_string((d.h + 7) / 8) +
                               " 1 1 " + cw + " " + ch + " 1 1 " + cw + " " + ch;
    if (lj.layout != layout)
        return testing::AssertionFailure() << lj.layout << ", not " << layout;
    Record lj_record(d.w, d.h);
    std::copy(lj.blocks, lj.blocks + 3, lj_record.c);
    return same_blocks(*lj_record.get(), d);
}

// The picture as libjpeg decodes it with box-filtered chrominance: RGB rows.
bool lj_pixels(const Bytes &f, std::vector<uint8_t> &rgb, long &warnings)
{
    Reader r(f);
    return guarded(r.fail, [&] {
        jpeg_read_header(&r.c, TRUE);
        r.c.out_color_space = JCS_RGB;
        r.c.do_fancy_upsampling = FALSE;
        r.c.dct_method = JDCT_ISLOW;
        jpeg_start_decompress(&r.c);
        rgb.resize(std::size_t{r.c.output_width} * r.c.output_height * 3);
        while (r.c.output_scanline < r.c.output_height) {
            JSAMPROW row = &rgb[std::size_t{r.c.output_scanline} * r.c.output_width * 3];
            jpeg_read_scanlines(&r.c, &row, 1);
        }
        jpeg_finish_decompress(&r.c);
        warnings = r.fail.mgr.num_warnings;
    });
}

// libjpeg's lossless rewriting with what `setup` chooses; empty on failure.
using RewriteSetup = std::function<void(jpeg_decompress_struct &, jpeg_compress_struct &)>;
Bytes lj_rewrite(const Bytes &f, const RewriteSetup &setup)
{
    Reader r(f);
    Writer w(r.fail);
    const bool ok = guarded(r.fail, [&] {
        jpeg_read_header(&r.c, TRUE);
        jvirt_barray_ptr *arrays = jpeg_read_coefficients(&r.c);
        jpeg_copy_critical_parameters(&r.c, &w.c);
        setup(r.c, w.c);
        jpeg_write_coefficients(&w.c, arrays);
        jpeg_finish_compress(&w.c);
        jpeg_finish_decompress(&r.c);
    });
    return ok ? Bytes(w.buffer, w.buffer + w.size) : Bytes{};
}
RewriteSetup coding(bool optimise, unsigned restarts)
{
    return [=](jpeg_decompress_struct &, jpeg_compress_struct &c) {
        c.optimize_coding = optimise, c.restart_interval = restarts;
    };
}
void our_tables(jpeg_decompress_struct &src, jpeg_compress_struct &dst)
{
    dst.optimize_coding = FALSE;
    for (int i = 0; i < NUM_HUFF_TBLS; ++i)
        for (auto [from, to] : {std::pair{src.dc_huff_tbl_ptrs[i], &dst.dc_huff_tbl_ptrs[i]},
                                std::pair{src.ac_huff_tbl_ptrs[i], &dst.ac_huff_tbl_ptrs[i]}})
            if (from) {
                if (!*to)
                    *to = jpeg_alloc_huff_table(reinterpret_cast<j_common_ptr>(&dst));
                **to = *from;
                (*to)->sent_table = FALSE;
            }
    for (int c = 0; c < src.num_components; ++c)
        dst.comp_info[c].dc_tbl_no = src.comp_info[c].dc_tbl_no,
        dst.comp_info[c].ac_tbl_no = src.comp_info[c].ac_tbl_no;
}

// libjpeg's compressor on our picture, set up by `setup` after the defaults;
// empty on failure.
Bytes lj_compress(uint32_t w, uint32_t h, bool grey,
                  const std::function<void(jpeg_compress_struct &)> &setup)
{
    const std::vector<BMPPIX8BNA> px = picture(w, h);
    std::vector<JSAMPLE> row(std::size_t{w} * 3);
    Failure fail;
    Writer out(fail);
    const bool ok = guarded(fail, [&] {
        out.c.image_width = w, out.c.image_height = h;
        out.c.input_components = grey ? 1 : 3;
        out.c.in_color_space = grey ? JCS_GRAYSCALE : JCS_RGB;
        jpeg_set_defaults(&out.c);
        out.c.optimize_coding = TRUE;
        setup(out.c);
        jpeg_start_compress(&out.c, TRUE);
        for (JSAMPROW rows = row.data(); out.c.next_scanline < h;
             jpeg_write_scanlines(&out.c, &rows, 1))
            for (uint32_t x = 0; x < w; ++x) {
                const BMPPIX8BNA p = px[std::size_t{out.c.next_scanline} * w + x];
                if (grey)
                    row[x] = JSAMPLE((p.R + p.G + p.B) / 3);
                else
                    row[3 * x] = p.R, row[3 * x + 1] = p.G, row[3 * x + 2] = p.B;
            }
        jpeg_finish_compress(&out.c);
    });
    return ok ? Bytes(out.buffer, out.buffer + out.size) : Bytes{};
}
// Tables of one rate (or two) in slots 0 and 1, and the luminance sampling.
std::function<void(jpeg_compress_struct &)> rate_tables(unsigned luma, unsigned chroma, int h = 2,
                                                        int v = 2)
{
    return [=](jpeg_compress_struct &c) {
        for (int t = 0; t < 2; ++t) {
            unsigned table[64];
            for (int i = 0; i < 64; ++i)
                table[i] = (t ? chroma : luma) * (i / 8 + i % 8) + 1;
            jpeg_add_quant_table(&c, t, table, 100, FALSE);
        }
        c.comp_info[0].h_samp_factor = h, c.comp_info[0].v_samp_factor = v;
    };
}

// The orientation in the Exif segment's first directory, which must hold
// just that entry; -1 when it does not.
int exif_orientation(const Bytes &f)
{
    const std::vector<Segment> segs = segments(f);
    const Segment *app1 = find_segment(segs, 0xE1);
    if (!app1 || app1->end - app1->pos < 30 ||
        !std::equal(f.begin() + app1->pos + 4, f.begin() + app1->pos + 10, "Exif\0\0"))
        return -1;
    const std::size_t tiff = app1->pos + 10;
    const bool big = f[tiff] == 'M';
    auto at16 = [&](std::size_t i) { return big ? f[i] << 8 | f[i + 1] : f[i + 1] << 8 | f[i]; };
    auto at32 = [&](std::size_t i) {
        return big ? at16(i) << 16 | at16(i + 2) : at16(i + 2) << 16 | at16(i);
    };
    const std::size_t ifd = tiff + std::size_t(at32(tiff + 4));
    if (at16(tiff + 2) != 42 || ifd + 14 > app1->end || at16(ifd) != 1 || at16(ifd + 2) != 0x0112 ||
        at16(ifd + 4) != 3 || at32(ifd + 6) != 1)
        return -1;
    return at16(ifd + 10);
}

// The peak signal-to-noise ratio of libjpeg's picture to our reconstruction.
double psnr_to_ours(const DCTDATA &d, uint8_t rate, const std::vector<uint8_t> &rgb)
{
    PDCBCR *planes = returnFromDCT(&d, rate);
    PDRGB *ours = planes ? CBCRtoRGB(planes) : nullptr;
    freeCBCR(planes);
    double squares = 0;
    for (std::size_t n = 0; ours && n < std::size_t{d.w} * d.h; ++n) {
        const BMPPIX8BNA p = ours->data[n];
        for (int e : {p.R - rgb[3 * n], p.G - rgb[3 * n + 1], p.B - rgb[3 * n + 2]})
            squares += double(e) * e;
    }
    const bool made = ours != nullptr;
    freeRGB(ours);
    return !made ? 0 : 10 * std::log10(255.0 * 255 * 3 * d.w * d.h / std::max(squares, 1e-9));
}

std::size_t unstuffed_scan_bytes(const Bytes &f)
{
    std::size_t n = 0;
    for (std::size_t i = scan_start(f); i + 2 < f.size(); ++i)
        n += !(f[i - 1] == 0xFF && f[i] == 0);
    return n;
}

class Libjpeg : public testing::TestWithParam<Case>
{
  protected:
    void SetUp() override { ASSERT_FALSE(file.empty()); }
    const Case c = GetParam();
    const DCTDATA d = blocks_of(c.w, c.h, c.rate);
    const Bytes file = encode(&d, c.rate);
};

TEST_P(Libjpeg, ReadsOurCoefficientsHeadersAndPicture)
{
    Coefficients lj;
    ASSERT_TRUE(lj_coefficients(file, lj));
    EXPECT_EQ(lj.warnings, 0);
    EXPECT_TRUE(same_layout(lj, d));
    for (std::size_t i = 0; i < lj.quant.size(); ++i)
        ASSERT_EQ(lj.quant[i], c.rate * (i % 64 / 8 + i % 8) + 1) << i;

    const std::vector<Segment> segs = segments(file);
    EXPECT_NE(find_segment(segs, c.rate > 18 ? 0xC1 : 0xC0), nullptr);
    EXPECT_EQ(find_segment(segs, c.rate > 18 ? 0xC0 : 0xC1), nullptr);
    EXPECT_EQ(exif_orientation(file), 4);

    if (c.rate > 255)
        return; // beyond the inverse transform's rates
    std::vector<uint8_t> rgb;
    long warnings = -1;
    ASSERT_TRUE(lj_pixels(file, rgb, warnings));
    EXPECT_EQ(warnings, 0);
    ASSERT_EQ(rgb.size(), std::size_t{c.w} * c.h * 3);
    EXPECT_GE(psnr_to_ours(d, uint8_t(c.rate), rgb), 40.0);
}

TEST_P(Libjpeg, RewritesLosslesslyForUsToReadBack)
{
    // With our own tables libjpeg's scan is ours byte for byte: the same
    // blocks in the same order, padding blocks and final bits included.
    const Bytes same = lj_rewrite(file, our_tables);
    ASSERT_FALSE(same.empty());
    EXPECT_TRUE(std::equal(file.begin() + scan_start(file), file.end(),
                           same.begin() + scan_start(same), same.end()));

    const std::pair<const char *, RewriteSetup> ways[] = {
        {"optimised", coding(true, 0)},
        {"optimised, a restart every MCU", coding(true, 1)},
        {"standard tables, a restart every 3 MCUs", coding(false, 3)},
    };
    for (const auto &[name, setup] : ways) {
        const Bytes rewritten = lj_rewrite(file, setup);
        Decoded back = decode(rewritten);
        ASSERT_NE(back.dct, nullptr) << name << ": " << back.printed;
        EXPECT_EQ(back.printed, "") << name;
        EXPECT_EQ(back.rate, c.rate) << name;
        EXPECT_TRUE(same_blocks(*back.dct, d)) << name;
    }
    // Our code lengths are optimal: libjpeg's fitting is no better.
    EXPECT_LE(unstuffed_scan_bytes(file), unstuffed_scan_bytes(lj_rewrite(file, coding(true, 0))));
}

INSTANTIATE_TEST_SUITE_P(Pictures, Libjpeg, testing::ValuesIn(all_cases()), case_name);

// Files other tools make of ours without touching the coefficients, and
// libjpeg's own with tables of one rate: read as libjpeg reads them.
TEST(LibjpegFiles, OfTheLayoutInAllItsFreedomsAreRead)
{
    const DCTDATA d = blocks_of(17, 33, 10);
    const Bytes file = encode(&d, 10);
    const std::vector<Segment> segs = segments(file);
    ASSERT_TRUE(file.size() > 100 && !segs.empty() && segs.back().marker == 0xDA);
    const std::size_t sos = segs.back().pos;
    Bytes filled = inserted(file, file.size() - 2, {0xFF, 0xFF}), renumbered = file, no_jfif = file;
    for (auto s = segs.rbegin(); s != segs.rend(); ++s)
        filled = inserted(filled, s->pos, {0xFF});
    for (const Table &t : huffman_tables(file))
        renumbered[t.pos] ^= 1;
    for (int c = 0; c < 3; ++c)
        renumbered[sos + 6 + 2 * c] ^= 0x11; // the DC and AC table of each component
    no_jfif.erase(no_jfif.begin() + 2, no_jfif.begin() + segs[0].end);
    const std::tuple<const char *, Bytes, unsigned> rows[] = {
        {"a comment", inserted(file, 2, {0xFF, 0xFE, 0, 5, 'h', 'i', '!'}), 10},
        {"no JFIF segment", no_jfif, 10},
        {"APP2 before the scan", inserted(file, sos, {0xFF, 0xE2, 0, 3, 9}), 10},
        {"restarts switched off", inserted(file, sos, {0xFF, 0xDD, 0, 4, 0, 0}), 10},
        {"fill bytes before every marker", filled, 10},
        {"Huffman tables renumbered", renumbered, 10},
        {"libjpeg's, rate 0", lj_compress(50, 31, false, rate_tables(0, 0)), 0},
        {"libjpeg's, rate 7", lj_compress(50, 31, false, rate_tables(7, 7)), 7},
        {"libjpeg's, rate 40", lj_compress(50, 31, false, rate_tables(40, 40)), 40},
    };
    for (const auto &[name, bytes, rate] : rows) {
        Coefficients lj;
        ASSERT_TRUE(lj_coefficients(bytes, lj)) << name;
        Decoded back = decode(bytes);
        ASSERT_NE(back.dct, nullptr) << name << ": " << back.printed;
        EXPECT_EQ(back.printed, "") << name;
        EXPECT_EQ(back.rate, rate) << name;
        EXPECT_TRUE(same_layout(lj, *back.dct)) << name;
    }
}

// Files the reader does not take, each differing from a readable one in
// that alone where it can; the line names what the file has.
TEST(LibjpegFiles, OfOtherKindsAreRefusedByName)
{
    const DCTDATA d10 = blocks_of(40, 24, 10), d19 = blocks_of(40, 24, 19);
    const Bytes file10 = encode(&d10, 10), file19 = encode(&d19, 19);
    // Our file with its frame header's precision, height and width edited.
    auto framed = [](Bytes f, std::vector<int> v) {
        const std::vector<Segment> segs = segments(f);
        auto sof =
            std::find_if(segs.begin(), segs.end(), [](auto &s) { return (s.marker | 1) == 0xC1; });
        const uint8_t fields[] = {uint8_t(v[0]), uint8_t(v[1] >> 8), uint8_t(v[1]),
                                  uint8_t(v[2] >> 8), uint8_t(v[2])};
        if (sof != segs.end())
            std::copy(fields, fields + 5, f.begin() + sof->pos + 4);
        return f;
    };
    auto scans = [](jpeg_decompress_struct &, jpeg_compress_struct &c) {
        static jpeg_scan_info each[3] = {
            {1, {0}, 0, 63, 0, 0}, {1, {1}, 0, 63, 0, 0}, {1, {2}, 0, 63, 0, 0}};
        c.scan_info = each, c.num_scans = 3;
    };
    const std::pair<Bytes, const char *> rows[] = {
        {lj_compress(40, 24, false, [](auto &c) { jpeg_set_quality(&c, 75, TRUE); }), "rate"},
        {lj_compress(40, 24, false, rate_tables(5, 6)), "rate"},
        {lj_compress(40, 24, false, rate_tables(5, 5, 1, 1)), "sampling"},
        {lj_compress(40, 24, false, rate_tables(5, 5, 2, 1)), "sampling"},
        {lj_compress(40, 24, true, rate_tables(5, 5, 1, 1)), "component"},
        {lj_rewrite(file10, [](auto &, auto &c) { jpeg_simple_progression(&c); }), "progressive"},
        // libjpeg gathers no statistics for arithmetic coding
        {lj_rewrite(file10, [](auto &, auto &c) { c.arith_code = TRUE, c.optimize_coding = 0; }),
         "arithmetic"},
        {lj_rewrite(file10, scans), "scan"},
        {framed(file19, {12, 24, 40}), "12-bit"},
        {framed(file10, {8, 0xFFFF, 0xFFFF}), "pixels"},
        {framed(file10, {8, 16385, 16384}), "pixels"}, // just over 2^28
        {framed(file10, {8, 0, 40}), "height"},
        {framed(file10, {8, 24, 0}), "width"},
    };
    for (const auto &[file, word] : rows) {
        ASSERT_GT(file.size(), 100u) << word;
        Decoded back = decode(file);
        EXPECT_EQ(back.dct, nullptr) << word;
        EXPECT_TRUE(one_error_line(back.printed)) << back.printed;
        std::string line = back.printed;
        std::transform(line.begin(), line.end(), line.begin(),
                       [](unsigned char ch) { return char(std::tolower(ch)); });
        EXPECT_NE(line.find(word), std::string::npos) << back.printed;
    }
}

} // namespace
