// The picture path against libjpeg-turbo, in one process on one core.
//
// Times each stage of ours (RGBtoCBCR, toDCT2, returnFromDCT, CBCRtoRGB),
// the forward path (RGBtoCBCR + toDCT2) and the back path (returnFromDCT +
// CBCRtoRGB), and libjpeg-turbo compressing the same picture to memory
// (quality 75, JDCT_ISLOW, 4:2:0) and decompressing it again. Before any
// timing it checks every sample, coefficient and byte of our stages against
// the library's straightforward reference path, and refuses to time wrong
// results. It then prints Mpixel/s for each and the ratio of our paths to
// the peer's.
//
//   picture_bench [--photo=FILE.bmp] [--rate=N] [--size=N] [--reuse-freed]
//                 [benchmark flags]
//
// Without --photo the picture is a generated 4096x4096 photo-like one
// (--size changes the side). --rate is our quality rate, 4 by default: its
// divisors 1 + 4·(r + c) average 29, about those of the quality-75 tables.
//
// Each call of ours returns results of tens of megabytes. The release
// functions keep the last few large blocks for the next results
// (kept_blocks.h), as the peer keeps its buffers from run to run; the
// "fresh memory" rows give every block back after each run instead, so
// that each run takes its results from the kernel, cleared page by page, as
// a program that converts a single picture does. --reuse-freed tells glibc
// (for this program only) to serve every block from its heap and keep what
// is freed; the results are the same either way.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <jpeglib.h> // wants size_t and FILE declared before it
#include <malloc.h>

#include "imgcodec.h"
#include "geometry.h"
#include "kept_blocks.h"
#include "photo_like.h"
#include "record_handles.h"
#include "reference.h"
#include "result_memory.h"

namespace
{

namespace ref = dctlab::img::reference;

using Rgb = dctlab::img::RgbPtr;
using Cbcr = dctlab::img::CbcrPtr;
using Dct = dctlab::img::DctPtr;

struct Picture {
    Rgb rgb;
    Cbcr planes;
    Dct blocks;
    Cbcr back;
    uint8_t rate = 4;
    std::vector<unsigned char> jpeg; // the peer's compressed picture
    double pixels() const { return double(rgb->w) * rgb->h; }
};
Picture picture;

bool same(const void *a, const void *b, std::size_t bytes, const char *what)
{
    if (std::memcmp(a, b, bytes) == 0)
        return true;
    std::fprintf(stderr, "picture_bench: %s differs from the reference\n", what);
    return false;
}

bool same_planes(const PDCBCR *a, const PDCBCR *b, const char *what)
{
    const std::size_t luma = std::size_t{b->w} * b->h;
    const std::size_t chroma = std::size_t{(b->w + 1) / 2} * ((b->h + 1) / 2);
    return a && b && a->w == b->w && a->h == b->h && same(a->Ydata, b->Ydata, 2 * luma, what) &&
           same(a->CbData, b->CbData, 2 * chroma, what) &&
           same(a->CrData, b->CrData, 2 * chroma, what);
}

// Our results against the straightforward path, every byte.
bool check_against_reference()
{
    Picture &p = picture;
    std::fprintf(stderr, "checking against the reference path ...\n");
    p.planes.reset(RGBtoCBCR(p.rgb.get()));
    if (!same_planes(p.planes.get(), Cbcr(ref::RGBtoCBCR(p.rgb.get())).get(), "RGBtoCBCR"))
        return false;
    p.blocks.reset(toDCT2(p.planes.get(), p.rate));
    const Dct want(ref::toDCT2(p.planes.get(), p.rate));
    if (!p.blocks || !want ||
        !same(p.blocks->YdataDCT, want->YdataDCT, 128 * std::size_t{want->YBlks}, "toDCT2") ||
        !same(p.blocks->CbDataDCT, want->CbDataDCT, 128 * std::size_t{want->CBlks}, "toDCT2") ||
        !same(p.blocks->CrDataDCT, want->CrDataDCT, 128 * std::size_t{want->CBlks}, "toDCT2"))
        return false;
    p.back.reset(returnFromDCT(p.blocks.get(), p.rate));
    if (!same_planes(p.back.get(), Cbcr(ref::returnFromDCT(p.blocks.get(), p.rate)).get(),
                     "returnFromDCT"))
        return false;
    const Rgb got(CBCRtoRGB(p.back.get())), expected(ref::CBCRtoRGB(p.back.get()));
    if (!got || !expected ||
        !same(got->data, expected->data, 3 * std::size_t{got->w} * got->h, "CBCRtoRGB"))
        return false;
    std::fprintf(stderr, "all stages identical to the reference\n");
    return true;
}

void count_pixels(benchmark::State &state)
{
    state.counters["Mpixel/s"] =
        benchmark::Counter(picture.pixels() / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_RGBtoCBCR(benchmark::State &state)
{
    for (auto _ : state)
        freeCBCR(RGBtoCBCR(picture.rgb.get()));
    count_pixels(state);
}

void BM_toDCT2(benchmark::State &state)
{
    for (auto _ : state)
        freeDCT(toDCT2(picture.planes.get(), picture.rate));
    count_pixels(state);
}

void BM_returnFromDCT(benchmark::State &state)
{
    for (auto _ : state)
        freeCBCR(returnFromDCT(picture.blocks.get(), picture.rate));
    count_pixels(state);
}

void BM_CBCRtoRGB(benchmark::State &state)
{
    for (auto _ : state)
        freeRGB(CBCRtoRGB(picture.back.get()));
    count_pixels(state);
}

// The two paths as a program runs them; with `fresh`, every block the
// release functions kept is given back after each run.
void forward_path(benchmark::State &state, bool fresh)
{
    for (auto _ : state) {
        PDCBCR *planes = RGBtoCBCR(picture.rgb.get());
        freeDCT(toDCT2(planes, picture.rate));
        freeCBCR(planes);
        if (fresh)
            dctlab::img::drop_kept_blocks();
    }
    count_pixels(state);
}

void back_path(benchmark::State &state, bool fresh)
{
    for (auto _ : state) {
        PDCBCR *planes = returnFromDCT(picture.blocks.get(), picture.rate);
        freeRGB(CBCRtoRGB(planes));
        freeCBCR(planes);
        if (fresh)
            dctlab::img::drop_kept_blocks();
    }
    count_pixels(state);
}

// The least a path does when its results are fresh memory: it gets new
// pages from the system and writes every byte of them once. Here that
// alone, the floor of the fresh-memory rows: the blocks allocated in the
// order the stages allocate them, the way they allocate them, all alive at
// once, and freed last to first as the path frees them.
void write_fresh(std::initializer_list<std::size_t> sizes)
{
    dctlab::img::drop_kept_blocks();
    std::vector<void *> blocks;
    blocks.reserve(sizes.size());
    for (std::size_t bytes : sizes) {
        void *p = dctlab::img::new_written_bytes(bytes);
        if (!p)
            throw std::bad_alloc();
        blocks.push_back(p);
        std::memset(p, 0x5a, bytes);
        benchmark::DoNotOptimize(p);
    }
    benchmark::ClobberMemory();
    for (auto p = blocks.rbegin(); p != blocks.rend(); ++p)
        std::free(*p);
}

std::size_t luma_bytes()
{
    return sizeof(int16_t) * std::size_t{picture.planes->w} * picture.planes->h;
}

std::size_t chroma_bytes()
{
    return sizeof(int16_t) * std::size_t{dctlab::img::chroma_extent(picture.planes->w)} *
           dctlab::img::chroma_extent(picture.planes->h);
}

void BM_forward_results(benchmark::State &state)
{
    const std::size_t luma_blocks = sizeof(int16_t) * 64 * std::size_t{picture.blocks->YBlks};
    const std::size_t chroma_blocks = sizeof(int16_t) * 64 * std::size_t{picture.blocks->CBlks};
    for (auto _ : state)
        write_fresh({luma_bytes(), chroma_bytes(), chroma_bytes(), luma_blocks, chroma_blocks,
                     chroma_blocks});
    count_pixels(state);
}

void BM_back_results(benchmark::State &state)
{
    const std::size_t pixels = 3 * std::size_t{picture.rgb->w} * picture.rgb->h;
    for (auto _ : state)
        write_fresh({luma_bytes(), chroma_bytes(), chroma_bytes(), pixels});
    count_pixels(state);
}

// libjpeg-turbo reads our pixels as they lie (blue, green, red) and writes
// into one buffer that is kept from run to run.
std::size_t jpeg_compress(std::vector<unsigned char> &out)
{
    const PDRGB &in = *picture.rgb;
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *buffer = out.data();
    unsigned long size = out.size();
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = in.w;
    c.image_height = in.h;
    c.input_components = 3;
    c.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 75, TRUE);
    c.dct_method = JDCT_ISLOW;
    c.comp_info[0].h_samp_factor = c.comp_info[0].v_samp_factor = 2; // 4:2:0
    for (int i = 1; i < 3; ++i)
        c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(in.data + std::size_t{c.next_scanline} * in.w);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    if (buffer != out.data()) { // grown by libjpeg: keep what it wrote
        out.assign(buffer, buffer + size);
        std::free(buffer);
    }
    return size;
}

void jpeg_decompress(const unsigned char *data, std::size_t size, unsigned char *pixels)
{
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, data, size);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_BGR;
    d.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&d);
    while (d.output_scanline < d.output_height) {
        JSAMPROW row = pixels + std::size_t{d.output_scanline} * d.output_width * 3;
        jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
}

void BM_jpeg_compress(benchmark::State &state)
{
    std::vector<unsigned char> out(3 * std::size_t{picture.rgb->w} * picture.rgb->h + 65536);
    std::size_t size = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(size = jpeg_compress(out));
    state.counters["bytes"] = double(size);
    count_pixels(state);
}

void BM_jpeg_decompress(benchmark::State &state)
{
    std::vector<unsigned char> pixels(3 * std::size_t{picture.rgb->w} * picture.rgb->h);
    for (auto _ : state) {
        jpeg_decompress(picture.jpeg.data(), picture.jpeg.size(), pixels.data());
        benchmark::ClobberMemory();
    }
    count_pixels(state);
}

// Collects the best time of each benchmark over its repetitions, for the
// table of ratios at the end.
class Collector : public benchmark::ConsoleReporter
{
  public:
    std::map<std::string, double> best; // seconds per iteration
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &r : runs)
            if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
                const double t = r.real_accumulated_time / double(r.iterations);
                const std::string n = r.run_name.function_name;
                if (!best.count(n) || t < best[n])
                    best[n] = t;
            }
        ConsoleReporter::ReportRuns(runs);
    }
};

void print_table(const Collector &c)
{
    auto mpx = [&](const char *n) {
        auto it = c.best.find(n);
        return it == c.best.end() ? 0.0 : picture.pixels() / 1e6 / it->second;
    };
    const double compress = mpx("BM_jpeg_compress"), decompress = mpx("BM_jpeg_decompress");
    std::printf("\n%ux%u picture, our rate %u; best of the repetitions, one core\n\n",
                picture.rgb->w, picture.rgb->h, picture.rate);
    std::printf("| stage | Mpixel/s | ratio to peer |\n|---|---:|---:|\n");
    const struct {
        const char *name, *label;
        double peer;
    } rows[] = {{"BM_RGBtoCBCR", "RGBtoCBCR", compress},
                {"BM_toDCT2", "toDCT2", compress},
                {"BM_forward_path", "forward path (RGBtoCBCR + toDCT2)", compress},
                {"BM_forward_path_fresh", "forward path, fresh memory every run", compress},
                {"BM_forward_results", "floor of the fresh runs: results written once", compress},
                {"BM_jpeg_compress", "libjpeg-turbo compress (q75, ISLOW, 4:2:0)", 0},
                {"BM_returnFromDCT", "returnFromDCT", decompress},
                {"BM_CBCRtoRGB", "CBCRtoRGB", decompress},
                {"BM_back_path", "back path (returnFromDCT + CBCRtoRGB)", decompress},
                {"BM_back_path_fresh", "back path, fresh memory every run", decompress},
                {"BM_back_results", "floor of the fresh runs: results written once", decompress},
                {"BM_jpeg_decompress", "libjpeg-turbo decompress", 0}};
    for (const auto &r : rows) {
        if (r.peer > 0)
            std::printf("| %s | %.0f | %.2f |\n", r.label, mpx(r.name), mpx(r.name) / r.peer);
        else
            std::printf("| %s | %.0f | peer |\n", r.label, mpx(r.name));
    }
}

} // namespace

int main(int argc, char **argv)
{
    std::string photo;
    uint32_t side = 4096;
    std::vector<char *> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--photo=", 0) == 0)
            photo = a.substr(8);
        else if (a.rfind("--rate=", 0) == 0)
            picture.rate = static_cast<uint8_t>(std::atoi(a.c_str() + 7));
        else if (a.rfind("--size=", 0) == 0)
            side = static_cast<uint32_t>(std::atoi(a.c_str() + 7));
        else if (a == "--reuse-freed") {
            mallopt(M_MMAP_MAX, 0);
            mallopt(M_TRIM_THRESHOLD, 1 << 30);
        } else
            rest.push_back(argv[i]);
    }
    int rest_count = static_cast<int>(rest.size());
    benchmark::Initialize(&rest_count, rest.data());

    if (!photo.empty()) {
        picture.rgb.reset(getRGBFromFile(photo.c_str()));
        if (!picture.rgb)
            return 1;
    } else {
        picture.rgb = dctlab::bench::photo_like(side);
    }
    if (!check_against_reference())
        return 1;
    std::vector<unsigned char> jpeg(3 * std::size_t{picture.rgb->w} * picture.rgb->h + 65536);
    jpeg.resize(jpeg_compress(jpeg));
    picture.jpeg = jpeg;

    for (auto *b : {benchmark::RegisterBenchmark("BM_RGBtoCBCR", BM_RGBtoCBCR),
                    benchmark::RegisterBenchmark("BM_toDCT2", BM_toDCT2),
                    benchmark::RegisterBenchmark("BM_forward_path", forward_path, false),
                    benchmark::RegisterBenchmark("BM_forward_path_fresh", forward_path, true),
                    benchmark::RegisterBenchmark("BM_forward_results", BM_forward_results),
                    benchmark::RegisterBenchmark("BM_jpeg_compress", BM_jpeg_compress),
                    benchmark::RegisterBenchmark("BM_returnFromDCT", BM_returnFromDCT),
                    benchmark::RegisterBenchmark("BM_CBCRtoRGB", BM_CBCRtoRGB),
                    benchmark::RegisterBenchmark("BM_back_path", back_path, false),
                    benchmark::RegisterBenchmark("BM_back_path_fresh", back_path, true),
                    benchmark::RegisterBenchmark("BM_back_results", BM_back_results),
                    benchmark::RegisterBenchmark("BM_jpeg_decompress", BM_jpeg_decompress)})
        b->Unit(benchmark::kMillisecond)->MinTime(0.5)->Repetitions(3);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    print_table(collector);
    benchmark::Shutdown();
    return 0;
}
