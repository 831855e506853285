// The dctlab package: the toolkit's C functions on numpy arrays.
//
// Arrays cross as numpy users expect them: pictures (h, w, 3) uint8, red
// first, top row first; planes (h, w) and (ceil(h/2), ceil(w/2)) int16, top
// row first; coefficients (blocks, 64) int16 in zigzag order, blocks as
// toDCT2 numbers them. The library's records keep a BMP file's order, bottom
// row first and blue first, so rows and colours turn here, at the edge, and
// nowhere in the arithmetic: every result is the C function's on the record
// that getRGBFromFile reads from the BMP file write_bmp writes.
//
// The GIL stays held through every call: QUANT_MAT is the library's shared
// state, so conversions run in parallel in processes, not threads.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "container.h"
#include "huffenc.h"
#include "imgcodec.h"
#include "jfif.h"
#include "quant_matrix.h"
#include "record_handles.h"

namespace py = pybind11;

namespace
{

using dctlab::img::CbcrPtr;
using dctlab::img::DctPtr;
using dctlab::img::RgbPtr;

constexpr long long kMaxInverseRate = 255;

/* The library reports a failure as one "ERROR: ..." line on standard output.
 * For the length of a call the C library's stdout points at a buffer, so
 * that the line becomes the exception's text instead of reaching the
 * terminal. Python writes through its own file objects and is untouched. */
class LibraryOutput
{
  public:
    LibraryOutput()
    {
        std::fflush(stdout);
        saved_ = stdout;
        buffer_ = open_memstream(&text_, &size_);
        if (buffer_)
            stdout = buffer_;
    }
    ~LibraryOutput()
    {
        restore();
        std::free(text_);
    }
    LibraryOutput(const LibraryOutput &) = delete;
    LibraryOutput &operator=(const LibraryOutput &) = delete;

    /* The last line the library printed, or `fallback` when it printed none. */
    std::string line(const std::string &fallback)
    {
        restore();
        std::string text = text_ ? std::string(text_, size_) : std::string();
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        const std::size_t start = text.rfind('\n');
        text = start == std::string::npos ? text : text.substr(start + 1);
        return text.empty() ? fallback : text;
    }

  private:
    void restore()
    {
        if (!buffer_)
            return;
        std::fflush(buffer_);
        stdout = saved_;
        std::fclose(buffer_);
        buffer_ = nullptr;
    }
    std::FILE *saved_ = nullptr, *buffer_ = nullptr;
    char *text_ = nullptr;
    std::size_t size_ = 0;
};

[[noreturn]] void raise_os_error(const std::string &message)
{
    PyErr_SetString(PyExc_OSError, message.c_str());
    throw py::error_already_set();
}

std::string path_of(const py::object &path)
{
    return py::str(py::module_::import("os").attr("fspath")(path));
}

std::string shape_of(const py::array &a)
{
    std::string s = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i)
        s += (i ? ", " : "") + std::to_string(a.shape(i));
    return s + (a.ndim() == 1 ? ",)" : ")");
}

/* `object` as a C-order array of T with `ndim` dimensions: of T's dtype
 * exactly (a silent conversion would hide a caller's mistake), copied when
 * its layout is another. */
template <typename T>
py::array_t<T, py::array::c_style> array_of(const py::object &object, const char *name, int ndim)
{
    py::array a = py::array::ensure(object);
    if (!a)
        throw py::value_error(std::string(name) + " must be a numpy array");
    if (!py::isinstance<py::array_t<T>>(a))
        throw py::value_error(std::string(name) + " must be of dtype " +
                              std::string(py::str(py::dtype::of<T>())) + ", not " +
                              std::string(py::str(a.dtype())));
    if (a.ndim() != ndim)
        throw py::value_error(std::string(name) + " must have " + std::to_string(ndim) +
                              " dimensions, not " + std::to_string(a.ndim()));
    return py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(a);
}

uint32_t side_of(py::ssize_t n, const char *what)
{
    if (n <= 0)
        throw py::value_error(std::string("the picture has no pixels (") + what + " 0)");
    if (static_cast<unsigned long long>(n) > UINT32_MAX)
        throw py::value_error(std::string("the picture is too large (") + what + " " +
                              std::to_string(n) + ")");
    return static_cast<uint32_t>(n);
}

void check_rate(long long rate, long long highest)
{
    if (rate < 0 || rate > highest)
        throw py::value_error("rate " + std::to_string(rate) + " is outside 0 to " +
                              std::to_string(highest));
}

uint32_t half_up(uint32_t n)
{
    return n / 2 + n % 2;
}

template <typename T> T *new_array(std::size_t n)
{
    T *p = static_cast<T *>(std::malloc(n ? n * sizeof(T) : 1));
    if (!p)
        throw std::bad_alloc();
    return p;
}

/* Record row r is the picture's row h - 1 - r. */
RgbPtr record_of_pixels(const py::object &rgb)
{
    const auto a = array_of<uint8_t>(rgb, "rgb", 3);
    if (a.shape(2) != 3)
        throw py::value_error("rgb must have shape (h, w, 3), not " + shape_of(a));
    const uint32_t h = side_of(a.shape(0), "height"), w = side_of(a.shape(1), "width");
    RgbPtr record(static_cast<PDRGB *>(std::calloc(1, sizeof(PDRGB))));
    if (!record)
        throw std::bad_alloc();
    record->data = new_array<BMPPIX8BNA>(std::size_t{w} * h);
    record->w = w;
    record->h = h;
    record->dBytes = static_cast<uint8_t>(w & 3u); // (-3w) mod 4
    const uint8_t *in = a.data();
    for (uint32_t y = 0; y < h; ++y) {
        const uint8_t *row = in + std::size_t{h - 1 - y} * w * 3;
        BMPPIX8BNA *out = record->data + std::size_t{y} * w;
        for (uint32_t x = 0; x < w; ++x)
            out[x] = BMPPIX8BNA{row[3 * x + 2], row[3 * x + 1], row[3 * x]};
    }
    return record;
}

py::array_t<uint8_t> pixels_of(const PDRGB &record)
{
    const uint32_t w = record.w, h = record.h;
    py::array_t<uint8_t> a({py::ssize_t{h}, py::ssize_t{w}, py::ssize_t{3}});
    uint8_t *out = a.mutable_data();
    for (uint32_t y = 0; y < h; ++y) {
        const BMPPIX8BNA *row = record.data + std::size_t{h - 1 - y} * w;
        uint8_t *o = out + std::size_t{y} * w * 3;
        for (uint32_t x = 0; x < w; ++x) {
            o[3 * x] = row[x].R;
            o[3 * x + 1] = row[x].G;
            o[3 * x + 2] = row[x].B;
        }
    }
    return a;
}

/* A plane between numpy's row order and the record's: the same copy both
 * ways, since turning the rows is its own inverse. */
void turn_rows(const int16_t *from, int16_t *to, uint32_t w, uint32_t h)
{
    for (uint32_t y = 0; y < h; ++y)
        std::memcpy(to + std::size_t{y} * w, from + std::size_t{h - 1 - y} * w,
                    std::size_t{w} * sizeof(int16_t));
}

py::array_t<int16_t> plane_of(const int16_t *samples, uint32_t w, uint32_t h)
{
    py::array_t<int16_t> a({py::ssize_t{h}, py::ssize_t{w}});
    turn_rows(samples, a.mutable_data(), w, h);
    return a;
}

py::tuple planes_of(const PDCBCR &p)
{
    const uint32_t cw = half_up(p.w), ch = half_up(p.h);
    return py::make_tuple(plane_of(p.Ydata, p.w, p.h), plane_of(p.CbData, cw, ch),
                          plane_of(p.CrData, cw, ch));
}

CbcrPtr record_of_planes(const py::object &y, const py::object &cb, const py::object &cr)
{
    const auto ya = array_of<int16_t>(y, "y", 2), cba = array_of<int16_t>(cb, "cb", 2),
               cra = array_of<int16_t>(cr, "cr", 2);
    const uint32_t h = side_of(ya.shape(0), "height"), w = side_of(ya.shape(1), "width");
    const uint32_t cw = half_up(w), ch = half_up(h);
    for (const auto *c : {&cba, &cra})
        if (c->shape(0) != py::ssize_t{ch} || c->shape(1) != py::ssize_t{cw})
            throw py::value_error("cb and cr must have shape (" + std::to_string(ch) + ", " +
                                  std::to_string(cw) + ") for a luminance plane of " +
                                  shape_of(ya) + ", not " + shape_of(*c));
    CbcrPtr record(static_cast<PDCBCR *>(std::calloc(1, sizeof(PDCBCR))));
    if (!record)
        throw std::bad_alloc();
    record->w = w;
    record->h = h;
    record->dBytes = static_cast<uint8_t>(w & 3u);
    record->Ydata = new_array<int16_t>(std::size_t{w} * h);
    record->CbData = new_array<int16_t>(std::size_t{cw} * ch);
    record->CrData = new_array<int16_t>(std::size_t{cw} * ch);
    turn_rows(ya.data(), record->Ydata, w, h);
    turn_rows(cba.data(), record->CbData, cw, ch);
    turn_rows(cra.data(), record->CrData, cw, ch);
    return record;
}

py::array_t<int16_t> blocks_of(const int16_t *coefficients, uint32_t blocks)
{
    py::array_t<int16_t> a({py::ssize_t{blocks}, py::ssize_t{64}});
    std::memcpy(a.mutable_data(), coefficients, std::size_t{blocks} * 64 * sizeof(int16_t));
    return a;
}

int16_t *copy_blocks(const py::array_t<int16_t, py::array::c_style> &a)
{
    int16_t *p = new_array<int16_t>(static_cast<std::size_t>(a.size()));
    std::memcpy(p, a.data(), static_cast<std::size_t>(a.size()) * sizeof(int16_t));
    return p;
}

DctPtr record_of_blocks(const py::object &y, const py::object &cb, const py::object &cr,
                        long long width, long long height)
{
    const auto ya = array_of<int16_t>(y, "ycoef", 2), cba = array_of<int16_t>(cb, "cbcoef", 2),
               cra = array_of<int16_t>(cr, "crcoef", 2);
    for (const auto *c : {&ya, &cba, &cra})
        if (c->shape(1) != 64)
            throw py::value_error("coefficient arrays must have shape (blocks, 64), not " +
                                  shape_of(*c));
    if (cba.shape(0) != cra.shape(0))
        throw py::value_error("cbcoef and crcoef must hold as many blocks, not " +
                              std::to_string(cba.shape(0)) + " and " +
                              std::to_string(cra.shape(0)));
    const uint32_t w = side_of(width, "width"), h = side_of(height, "height");
    if (static_cast<unsigned long long>(ya.shape(0)) > UINT32_MAX ||
        static_cast<unsigned long long>(cba.shape(0)) > UINT32_MAX)
        throw py::value_error("too many blocks");
    DctPtr record(static_cast<DCTDATA *>(std::calloc(1, sizeof(DCTDATA))));
    if (!record)
        throw std::bad_alloc();
    record->w = w;
    record->h = h;
    record->YBlks = static_cast<uint32_t>(ya.shape(0));
    record->CBlks = static_cast<uint32_t>(cba.shape(0));
    record->YdataDCT = copy_blocks(ya);
    record->CbDataDCT = copy_blocks(cba);
    record->CrDataDCT = copy_blocks(cra);
    return record;
}

py::tuple coefficients_of(const DCTDATA &d)
{
    return py::make_tuple(blocks_of(d.YdataDCT, d.YBlks), blocks_of(d.CbDataDCT, d.CBlks),
                          blocks_of(d.CrDataDCT, d.CBlks));
}

/* The inverse path from a record: returnFromDCT, then CBCRtoRGB. */
RgbPtr restore(const DCTDATA &coefficients, long long rate, LibraryOutput &out)
{
    CbcrPtr planes(returnFromDCT(&coefficients, static_cast<uint8_t>(rate)));
    if (!planes)
        throw py::value_error(out.line("the inverse transform failed"));
    RgbPtr picture(CBCRtoRGB(planes.get()));
    if (!picture)
        throw py::value_error(out.line("the inverse colour conversion failed"));
    return picture;
}

std::string_view bytes_view(const py::buffer &data)
{
    const py::buffer_info info = data.request();
    if (info.ndim != 1 || info.itemsize != 1 || info.strides[0] != 1)
        throw py::value_error("data must be a contiguous sequence of bytes");
    return {static_cast<const char *>(info.ptr), static_cast<std::size_t>(info.size)};
}

py::bytes run_container(const py::buffer &data, bool packing)
{
    const std::string_view in = bytes_view(data);
    dctlab::container::MemorySource source(reinterpret_cast<const uint8_t *>(in.data()), in.size());
    dctlab::container::MemorySink sink;
    std::string error;
    const bool ok =
        packing ? dctlab::container::pack(source, sink, dctlab::container::kDefaultBlockSize, error)
                : dctlab::container::unpack(source, sink, error);
    if (!ok)
        throw py::value_error(error);
    return py::bytes(reinterpret_cast<const char *>(sink.bytes.data()), sink.bytes.size());
}

double psnr(const py::object &a_object, const py::object &b_object)
{
    const py::array a = py::array::ensure(a_object), b = py::array::ensure(b_object);
    if (!a || !b)
        throw py::value_error("psnr takes two numpy arrays");
    if (a.ndim() != b.ndim() || !std::equal(a.shape(), a.shape() + a.ndim(), b.shape()))
        throw py::value_error("psnr takes two arrays of one shape, not " + shape_of(a) + " and " +
                              shape_of(b));
    if (a.size() == 0)
        throw py::value_error("psnr takes arrays with samples");
    // The program's measure: peak 255 for every sample, the sums exact.
    using Samples = py::array_t<double, py::array::c_style | py::array::forcecast>;
    const Samples x = Samples::ensure(a), y = Samples::ensure(b);
    if (!x || !y)
        throw py::value_error("psnr takes arrays of numbers");
    long double sum = 0;
    for (py::ssize_t i = 0; i < x.size(); ++i) {
        const long double d = static_cast<long double>(x.data()[i]) - y.data()[i];
        sum += d * d;
    }
    if (sum == 0)
        return std::numeric_limits<double>::infinity();
    const long double peak = 255.0L * 255.0L * static_cast<long double>(x.size());
    return static_cast<double>(10.0L * std::log10(peak / sum));
}

} // namespace

PYBIND11_MODULE(dctlab, m)
{
    m.doc() = "The dctlab toolkit on numpy arrays: BMP pictures, colour conversion, the 8x8 "
              "DCT with its quantisation, JPEG files, and the Huffman container.";

    m.def(
        "read_bmp",
        [](const py::object &path) {
            LibraryOutput out;
            const std::string name = path_of(path);
            RgbPtr picture(getRGBFromFile(name.c_str()));
            if (!picture)
                raise_os_error(out.line("cannot read '" + name + "'"));
            return pixels_of(*picture);
        },
        py::arg("path"), "A 24-bit BMP file as an (h, w, 3) uint8 RGB array, top row first.");
    m.def(
        "write_bmp",
        [](const py::object &path, const py::object &rgb) {
            RgbPtr picture = record_of_pixels(rgb);
            LibraryOutput out;
            const std::string name = path_of(path);
            writeToBMP(name.c_str(), picture.get());
            // writeToBMP returns nothing: the whole file must be there.
            const uint64_t expected = 54 + (3ull * picture->w + picture->dBytes) * picture->h;
            std::error_code ec;
            const auto size = std::filesystem::file_size(name, ec);
            if (ec || size != expected)
                raise_os_error(out.line("cannot write '" + name + "'"));
        },
        py::arg("path"), py::arg("rgb"), "Writes an (h, w, 3) uint8 RGB array as a 24-bit BMP.");

    m.def(
        "rgb_to_ycbcr",
        [](const py::object &rgb) {
            RgbPtr picture = record_of_pixels(rgb);
            LibraryOutput out;
            CbcrPtr planes(RGBtoCBCR(picture.get()));
            if (!planes)
                throw py::value_error(out.line("the colour conversion failed"));
            return planes_of(*planes);
        },
        py::arg("rgb"),
        "RGBtoCBCR: (y, cb, cr) int16 planes of shapes (h, w), (ceil(h/2), ceil(w/2)) twice.");
    m.def(
        "ycbcr_to_rgb",
        [](const py::object &y, const py::object &cb, const py::object &cr) {
            CbcrPtr planes = record_of_planes(y, cb, cr);
            LibraryOutput out;
            RgbPtr picture(CBCRtoRGB(planes.get()));
            if (!picture)
                throw py::value_error(out.line("the inverse colour conversion failed"));
            return pixels_of(*picture);
        },
        py::arg("y"), py::arg("cb"), py::arg("cr"), "CBCRtoRGB: the (h, w, 3) uint8 RGB array.");

    m.def(
        "forward",
        [](const py::object &y, const py::object &cb, const py::object &cr, long long rate) {
            check_rate(rate, dctlab::img::kMaxQuantRate);
            CbcrPtr planes = record_of_planes(y, cb, cr);
            LibraryOutput out;
            DctPtr coefficients(toDCT2(planes.get(), static_cast<uint16_t>(rate)));
            if (!coefficients)
                throw py::value_error(out.line("the forward transform failed"));
            return coefficients_of(*coefficients);
        },
        py::arg("y"), py::arg("cb"), py::arg("cr"), py::arg("rate"),
        "toDCT2: (ycoef, cbcoef, crcoef) int16 arrays of shape (blocks, 64), zigzag order.");
    m.def(
        "inverse",
        [](const py::object &y, const py::object &cb, const py::object &cr, long long width,
           long long height, long long rate) {
            check_rate(rate, kMaxInverseRate);
            DctPtr coefficients = record_of_blocks(y, cb, cr, width, height);
            LibraryOutput out;
            CbcrPtr planes(returnFromDCT(coefficients.get(), static_cast<uint8_t>(rate)));
            if (!planes)
                throw py::value_error(out.line("the inverse transform failed"));
            return planes_of(*planes);
        },
        py::arg("ycoef"), py::arg("cbcoef"), py::arg("crcoef"), py::arg("width"), py::arg("height"),
        py::arg("rate"), "returnFromDCT: the (y, cb, cr) int16 planes.");

    m.def("psnr", &psnr, py::arg("a"), py::arg("b"),
          "Peak signal-to-noise ratio in dB over all samples, peak 255; inf for equal arrays.");
    m.def(
        "quant_matrix",
        [](long long rate) {
            check_rate(rate, dctlab::img::kMaxQuantRate);
            dctlab::img::fill_quant_mat(static_cast<uint16_t>(rate));
            py::array_t<int16_t> a({8, 8});
            std::memcpy(a.mutable_data(), QUANT_MAT, sizeof QUANT_MAT);
            return a;
        },
        py::arg("rate"), "The quantisation divisors of a rate, (8, 8) int16 in natural order.");
    m.def(
        "zigzag_order",
        [] {
            py::array_t<uint8_t> a(64);
            std::memcpy(a.mutable_data(), PERM_MAT, sizeof PERM_MAT);
            return a;
        },
        "PERM_MAT: entry k is the row-major position of the k-th coefficient in zigzag order.");

    m.def(
        "encode_jpeg",
        [](const py::object &rgb, long long rate) {
            check_rate(rate, dctlab::img::kMaxQuantRate);
            RgbPtr picture = record_of_pixels(rgb);
            LibraryOutput out;
            CbcrPtr planes(RGBtoCBCR(picture.get()));
            if (!planes)
                throw py::value_error(out.line("the colour conversion failed"));
            DctPtr coefficients(toDCT2(planes.get(), static_cast<uint16_t>(rate)));
            if (!coefficients)
                throw py::value_error(out.line("the forward transform failed"));
            std::size_t size = 0;
            uint8_t *bytes = encodeJPEG(coefficients.get(), static_cast<uint16_t>(rate), &size);
            if (!bytes)
                throw py::value_error(out.line("the JPEG writer refused the coefficients"));
            py::bytes file(reinterpret_cast<const char *>(bytes), size);
            std::free(bytes);
            return file;
        },
        py::arg("rgb"), py::arg("rate"), "The JPEG file that dctlab encode writes, as bytes.");
    m.def(
        "decode_jpeg",
        [](const py::buffer &data) {
            const std::string_view file = bytes_view(data);
            LibraryOutput out;
            uint16_t rate = 0;
            DctPtr coefficients(
                decodeJPEG(reinterpret_cast<const uint8_t *>(file.data()), file.size(), &rate));
            if (!coefficients)
                throw py::value_error(out.line("not a JPEG file of the toolkit's layout"));
            if (rate > kMaxInverseRate)
                throw py::value_error("the file's rate " + std::to_string(rate) +
                                      " is above 255, the largest the inverse transform takes");
            RgbPtr picture = restore(*coefficients, rate, out);
            return py::make_tuple(pixels_of(*picture), rate);
        },
        py::arg("data"), "A JPEG file of the toolkit's layout: (rgb, rate), as dctlab decode.");

    m.def(
        "pack", [](const py::buffer &data) { return run_container(data, true); }, py::arg("data"),
        "The container that dctlab pack writes, as bytes.");
    m.def(
        "unpack", [](const py::buffer &data) { return run_container(data, false); },
        py::arg("data"), "The bytes a container holds; ValueError naming any damage.");

    m.def(
        "huffman_code",
        [](const py::object &counts_object) {
            py::array a = py::array::ensure(counts_object);
            if (!a || a.ndim() != 1 || a.shape(0) != 256 ||
                (a.dtype().kind() != 'i' && a.dtype().kind() != 'u'))
                throw py::value_error("counts must be 256 integers");
            using Counts = py::array_t<int64_t, py::array::c_style | py::array::forcecast>;
            const Counts c = Counts::ensure(a);
            int32_t counts[256];
            int64_t total = 0;
            for (int i = 0; i < 256; ++i) {
                const int64_t n = c.data()[i];
                if (n < 0)
                    throw py::value_error("counts must not be negative");
                total += std::min<int64_t>(n, int64_t{1} << 31); // no overflow in 256 steps
                if (total >= int64_t{1} << 31)
                    throw py::value_error("counts must add up to less than 2^31");
                counts[i] = static_cast<int32_t>(n);
            }
            HUFFCODE codes[256] = {};
            LibraryOutput out;
            char *table = nullptr;
            std::size_t table_size = 0;
            std::FILE *stream = open_memstream(&table, &table_size);
            if (!stream)
                throw std::bad_alloc();
            form_tree(stream, counts, 256, codes);
            std::fclose(stream);
            std::free(table);
            py::array_t<int32_t> lengths(256), values(256);
            for (int i = 0; i < 256; ++i) {
                lengths.mutable_data()[i] = codes[i].length;
                values.mutable_data()[i] = codes[i].code;
            }
            return py::make_tuple(lengths, values);
        },
        py::arg("counts"), "form_tree's code for 256 byte counts: (lengths, codes), int32.");
}
