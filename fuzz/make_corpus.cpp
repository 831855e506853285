// Writes the seed corpus of the fuzz targets into FOLDER/<target>/:
//   fuzz_make_corpus FOLDER
// The seeds are small inputs that reach deep: BMP files as the writer makes
// them and as other tools write them (longer info headers, top-down rows, a
// palette) with the refusals beside them; containers that the packer made,
// among them one whose plain Huffman tree is too deep; byte strings for the
// Huffman round trip, among them the same deep one; JPEG files as the writer
// makes them and as libjpeg rewrites them losslessly (restart intervals,
// tables of its own), with edits that the reader takes and refusals beside
// them. The committed corpus was
// made by this program; run it again when a format changes. The v1-* to
// v8-* containers were made by the packers of container versions 1 to 8,
// which the reader still reads; this program leaves them alone.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <jpeglib.h> // wants size_t and FILE declared before it

#include "container.h"
#include "imgcodec.h"
#include "jfif.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace
{

fs::path root;

void save(const std::string &target, const std::string &name, const Bytes &bytes)
{
    const fs::path dir = root / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", (dir / name).c_str());
        std::exit(1);
    }
}

Bytes read_file(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put16(Bytes &b, size_t at, uint16_t v)
{
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void put32(Bytes &b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

// A w x h picture with a smooth pattern and some saturated colours, so that
// every stage of the path has work to do; its pixels are the caller's to
// free.
PDRGB pattern(uint32_t w, uint32_t h)
{
    PDRGB pic{w, h, static_cast<BMPPIX8BNA *>(std::calloc(size_t{w} * h, sizeof(BMPPIX8BNA))),
              static_cast<uint8_t>(w % 4)};
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            BMPPIX8BNA &p = pic.data[size_t{y} * w + x];
            p.B = static_cast<uint8_t>(x * 255 / (w > 1 ? w - 1 : 1));
            p.G = static_cast<uint8_t>(y * 255 / (h > 1 ? h - 1 : 1));
            p.R = static_cast<uint8_t>((x + y) % 3 == 0 ? 255 : 40 * ((x * y) % 7));
        }
    return pic;
}

// The pattern as writeToBMP writes it.
Bytes bmp_of(uint32_t w, uint32_t h)
{
    PDRGB pic = pattern(w, h);
    const fs::path tmp = fs::temp_directory_path() / "dctlab-make-corpus.bmp";
    if (!std::freopen("/dev/null", "w", stdout))
        std::exit(1);
    writeToBMP(tmp.c_str(), &pic);
    std::free(pic.data);
    Bytes bytes = read_file(tmp);
    fs::remove(tmp);
    return bytes;
}

// The same picture with an info header of `info` bytes (40, 108 or 124) and
// `gap` bytes between the headers and the rows.
Bytes with_longer_header(const Bytes &bmp, uint32_t info, uint32_t gap)
{
    Bytes out(bmp.begin(), bmp.begin() + 54);
    out.resize(14 + info + gap, 0x5A);
    std::fill(out.begin() + 54, out.begin() + 14 + info, 0);
    out.insert(out.end(), bmp.begin() + 54, bmp.end());
    put32(out, 10, 14 + info + gap);
    put32(out, 14, info);
    put32(out, 2, static_cast<uint32_t>(out.size()));
    return out;
}

void picture_seeds()
{
    const std::string t = "fuzz_picture_path";
    const std::array<std::array<uint32_t, 2>, 12> sizes{{{1, 1},
                                                         {2, 3},
                                                         {3, 2},
                                                         {4, 1},
                                                         {5, 4},
                                                         {8, 8},
                                                         {9, 7},
                                                         {16, 16},
                                                         {17, 9},
                                                         {24, 8},
                                                         {8, 24},
                                                         {33, 17}}};
    // Rates in the ignored reserved1 field: the round trip at several
    // strengths, the largest rate toDCT2 takes and the first it refuses.
    const std::array<uint16_t, 12> rates{0, 1, 2, 10, 50, 255, 100, 7, 2340, 2341, 30, 128};
    for (size_t i = 0; i < sizes.size(); ++i) {
        Bytes b = bmp_of(sizes[i][0], sizes[i][1]);
        put16(b, 6, rates[i]);
        save(t, "plain-" + std::to_string(sizes[i][0]) + "x" + std::to_string(sizes[i][1]) + ".bmp",
             b);
    }
    const Bytes base = bmp_of(7, 5);
    save(t, "info108.bmp", with_longer_header(base, 108, 0));
    save(t, "info124.bmp", with_longer_header(base, 124, 0));
    save(t, "palette-gap.bmp", with_longer_header(base, 40, 1024));
    Bytes top_down = base;
    put32(top_down, 22, static_cast<uint32_t>(-5));
    save(t, "top-down.bmp", top_down);
    Bytes truncated(base.begin(), base.begin() + 70);
    save(t, "truncated-rows.bmp", truncated);
    Bytes claims_more = base;
    put32(claims_more, 18, 300);
    put32(claims_more, 22, 200);
    save(t, "claims-larger.bmp", claims_more);
    save(t, "truncated-header.bmp", Bytes(base.begin(), base.begin() + 30));
    Bytes bits8 = base, bits32 = base, rle = base, signature = base, offset = base, info = base,
          zero = base;
    put16(bits8, 28, 8);
    put16(bits32, 28, 32);
    put32(rle, 30, 1);
    signature[1] = 'A';
    put32(offset, 10, 40);
    put32(info, 14, 12);
    put32(zero, 18, 0);
    save(t, "refused-8bit.bmp", bits8);
    save(t, "refused-32bit.bmp", bits32);
    save(t, "refused-compressed.bmp", rle);
    save(t, "refused-signature.bmp", signature);
    save(t, "refused-offset.bmp", offset);
    save(t, "refused-info-size.bmp", info);
    save(t, "refused-width.bmp", zero);
}

// Bytes whose plain Huffman tree is 23 levels deep: symbol i occurs as often
// as the (i + 1)-th Fibonacci number.
Bytes deep_tree_bytes()
{
    Bytes out;
    uint32_t a = 1, b = 1;
    for (int s = 0; s < 24; ++s) {
        out.insert(out.end(), a, static_cast<uint8_t>('A' + s));
        const uint32_t next = a + b;
        a = b;
        b = next;
    }
    // Mixed evenly, so that the packer sees the same statistics throughout
    // and keeps one block with the deep tree.
    std::shuffle(out.begin(), out.end(), std::mt19937(23));
    return out;
}

std::vector<std::pair<std::string, Bytes>> byte_strings()
{
    std::mt19937 rng(8);
    std::vector<std::pair<std::string, Bytes>> out;
    auto text = [](const std::string &s) { return Bytes(s.begin(), s.end()); };
    out.push_back({"empty", {}});
    out.push_back({"one-byte", {0x41}});
    out.push_back({"repeated", Bytes(300, 0x7F)});
    out.push_back({"abracadabra", text("abracadabra")});
    out.push_back({"two-symbols", text("xxxyyy")});
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    out.push_back({"all-values", all});
    out.push_back({"text", text("The quick brown fox jumps over the lazy dog; "
                                "pack my box with five dozen liquor jugs.\n")});
    Bytes random(2000);
    for (auto &b : random)
        b = static_cast<uint8_t>(rng());
    out.push_back({"random", random});
    Bytes skewed(3000);
    std::geometric_distribution<int> geo(0.3);
    for (auto &b : skewed)
        b = static_cast<uint8_t>(geo(rng));
    out.push_back({"skewed", skewed});
    Bytes counts;
    for (int i = 1; i <= 40; ++i)
        counts.insert(counts.end(), static_cast<size_t>(i * i), static_cast<uint8_t>(i * 5));
    out.push_back({"square-counts", counts});
    // Eleven common byte values and 120 rare ones: the packer's block takes
    // codes of up to 15 bits (a long final block).
    Bytes rare;
    const int common[] = {3000, 1500, 800, 400, 200, 100, 50, 25, 12, 6, 3};
    for (int i = 0; i < 11; ++i)
        rare.insert(rare.end(), static_cast<size_t>(common[i]), static_cast<uint8_t>(i));
    for (int i = 100; i < 220; ++i)
        rare.push_back(static_cast<uint8_t>(i));
    std::shuffle(rare.begin(), rare.end(), rng);
    out.push_back({"rare-bytes", rare});
    return out;
}

Bytes packed(const Bytes &data, uint32_t block_size)
{
    dctlab::container::MemorySource in(data.data(), data.size());
    dctlab::container::MemorySink out;
    std::string error;
    if (!dctlab::container::pack(in, out, block_size, error)) {
        std::fprintf(stderr, "pack: %s\n", error.c_str());
        std::exit(1);
    }
    return out.bytes;
}

void huffman_and_container_seeds()
{
    for (const auto &[name, bytes] : byte_strings()) {
        save("fuzz_huffman_roundtrip", name, bytes);
        save("fuzz_unpack", name + ".dlhf", packed(bytes, dctlab::container::kDefaultBlockSize));
        // The first byte chooses the block size: 1 MiB, and 17 bytes.
        for (const uint8_t choice : {7, 2}) {
            Bytes seed{choice};
            seed.insert(seed.end(), bytes.begin(), bytes.end());
            save("fuzz_pack_roundtrip", name + "-" + std::to_string(choice), seed);
        }
    }
    const Bytes deep = deep_tree_bytes();
    save("fuzz_huffman_roundtrip", "deep-tree", deep);
    save("fuzz_unpack", "deep-tree.dlhf", packed(deep, dctlab::container::kDefaultBlockSize));

    // Statistics that change after 64 KiB: the packer cuts a block there.
    Bytes mixed = deep_tree_bytes();
    mixed.resize(64u << 10);
    for (size_t i = 0; i < (64u << 10); ++i)
        mixed.push_back(static_cast<uint8_t>("text after the skewed part "[i % 27]));
    save("fuzz_unpack", "mixed.dlhf", packed(mixed, dctlab::container::kDefaultBlockSize));

    // A one-stream block (an input below 64 KiB) and four-stream blocks (a
    // piece of 64 KiB and more), with shares of unequal length; damage
    // inside their streams, a stream one byte longer than its codes, and a
    // flipped bit in a lengths table.
    auto prose = [](size_t size) {
        Bytes text;
        std::mt19937 words(29);
        while (text.size() < size) {
            static const char *list[] = {"four ", "streams ", "of ", "short ", "codes ", "side ",
                                         "by ", "side", ". ", "\n"};
            const char *w = list[words() % 10];
            text.insert(text.end(), w, w + std::strlen(w));
        }
        text.resize(size);
        return text;
    };
    for (const auto &[name, size] : {std::pair<const char *, size_t>{"one-stream", 5003},
                                     std::pair<const char *, size_t>{"four-streams", 65539}}) {
        const Bytes good = packed(prose(size), dctlab::container::kDefaultBlockSize);
        save("fuzz_unpack", std::string(name) + ".dlhf", good);
        Bytes flipped = good;
        flipped[good.size() / 2] ^= 0x04;
        save("fuzz_unpack", std::string(name) + "-flipped.dlhf", flipped);
        // The header's varints: N (the total in a final block), T, then
        // the streams' lengths; a final block leaves out all but the first.
        size_t field = 5 + 1;
        for (int skip = 0; skip < (good[5] == 6 ? 1 : 2); ++skip)
            while (good[field++] & 0x80) {
            }
        const size_t first_length = field;
        const int lengths = good[5] == 4 ? 4 : good[5] == 6 ? 0 : 1;
        for (int skip = 0; skip < lengths; ++skip)
            while (good[field++] & 0x80) {
            }
        const size_t table_at = field + 4;
        Bytes longer = good;
        if (lengths > 0)
            longer[first_length] += 1; // the first stream one byte longer
        else
            longer.push_back(0); // a final block's stream is the rest
        save("fuzz_unpack", std::string(name) + "-longer.dlhf", longer);
        if (good[5] == 6) {
            Bytes total = good;
            total[6] ^= 0x01; // the total, and so the block's length
            save("fuzz_unpack", std::string(name) + "-total.dlhf", total);
        }
        Bytes table_flipped = good;
        table_flipped[table_at + 3] ^= 0x20;
        save("fuzz_unpack", std::string(name) + "-table-flipped.dlhf", table_flipped);
    }

    // Several blocks, each with its own code, and a short last one.
    Bytes text;
    for (int i = 0; i < 40; ++i)
        text.push_back(static_cast<uint8_t>("several blocks of text "[i % 23]));
    save("fuzz_unpack", "blocks.dlhf", packed(text, 16));
    // Damage that the reader must name: a cut, a flipped encoded bit, a bad
    // CRC, a wrong end total.
    const Bytes good = packed(text, 16);
    save("fuzz_unpack", "cut.dlhf", Bytes(good.begin(), good.begin() + 30));
    Bytes flipped = good;
    flipped[good.size() - 20] ^= 0x10;
    save("fuzz_unpack", "flipped.dlhf", flipped);
    // The first block's CRC, after its type and three varints of a byte
    // each (a one-stream block), or its type and length (a stored one).
    Bytes crc = good;
    crc[5 + (good[5] == 2 ? 5 : 4)] ^= 1;
    save("fuzz_unpack", "crc.dlhf", crc);
    // The end marker's total (its last byte) after four-stream blocks,
    // which need the marker where a last stored or one-stream block ends
    // the container itself.
    Bytes total = packed(prose(65539), dctlab::container::kDefaultBlockSize);
    total.back() ^= 1;
    save("fuzz_unpack", "total.dlhf", total);

    // A long one-stream block and a long final block (codes of up to 15
    // bits, their lengths in long tables); the same with a flipped bit in
    // the first one's table and in the second one's stream, and with a byte
    // appended.
    Bytes rare_twice = byte_strings().back().second;
    const size_t rare_size = rare_twice.size();
    rare_twice.insert(rare_twice.end(), rare_twice.begin(), rare_twice.end());
    const Bytes long_blocks = packed(rare_twice, static_cast<uint32_t>(rare_size));
    save("fuzz_unpack", "long-blocks.dlhf", long_blocks);
    Bytes long_table_flipped = long_blocks;
    long_table_flipped[5 + 12] ^= 0x10; // a type, three varints, the CRC, then the table
    save("fuzz_unpack", "long-table-flipped.dlhf", long_table_flipped);
    Bytes long_flipped = long_blocks;
    long_flipped[long_blocks.size() - 50] ^= 0x02;
    save("fuzz_unpack", "long-flipped.dlhf", long_flipped);
    Bytes long_longer = long_blocks;
    long_longer.push_back(0);
    save("fuzz_unpack", "long-longer.dlhf", long_longer);

    // A final stored block (bytes that do not compress, its bytes the rest
    // of the container) after a block of text; the same with a flipped bit,
    // cut right after its CRC, and with a byte appended.
    Bytes text_then_noise = prose(9000);
    std::mt19937 noise(31);
    for (int i = 0; i < 3000; ++i)
        text_then_noise.push_back(static_cast<uint8_t>(noise()));
    const Bytes stored = packed(text_then_noise, 9000);
    save("fuzz_unpack", "final-stored.dlhf", stored);
    Bytes stored_flipped = stored;
    stored_flipped[stored.size() - 100] ^= 0x08;
    save("fuzz_unpack", "final-stored-flipped.dlhf", stored_flipped);
    save("fuzz_unpack", "final-stored-cut.dlhf", Bytes(stored.begin(), stored.end() - 3000));
    Bytes stored_longer = stored;
    stored_longer.push_back(0);
    save("fuzz_unpack", "final-stored-longer.dlhf", stored_longer);
}

// A file of the pattern as our writer makes it, at `rate`.
Bytes jpeg_of(uint32_t w, uint32_t h, uint16_t rate)
{
    PDRGB pic = pattern(w, h);
    PDCBCR *planes = RGBtoCBCR(&pic);
    DCTDATA *blocks = planes ? toDCT2(planes, rate) : nullptr;
    size_t size = 0;
    uint8_t *file = blocks ? encodeJPEG(blocks, rate, &size) : nullptr;
    if (!file) {
        std::fprintf(stderr, "cannot write the %ux%u picture at rate %u\n", w, h, rate);
        std::exit(1);
    }
    Bytes out(file, file + size);
    std::free(file);
    freeDCT(blocks);
    freeCBCR(planes);
    std::free(pic.data);
    return out;
}

struct Rewrite {
    unsigned restart_mcus = 0;
    bool optimize = false;
    bool progressive = false;
    bool arithmetic = false;
};

// `file` rewritten by libjpeg from its coefficients, as jpegtran does it: its
// own Huffman tables, its own markers, restart markers every so many MCUs.
Bytes rewritten(const Bytes &file, const Rewrite &how)
{
    jpeg_decompress_struct in{};
    jpeg_compress_struct out{};
    jpeg_error_mgr in_err{}, out_err{};
    in.err = jpeg_std_error(&in_err);
    out.err = jpeg_std_error(&out_err);
    jpeg_create_decompress(&in);
    jpeg_create_compress(&out);
    jpeg_mem_src(&in, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&in, TRUE);
    jvirt_barray_ptr *coefficients = jpeg_read_coefficients(&in);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&out, &buffer, &size);
    jpeg_copy_critical_parameters(&in, &out);
    out.restart_interval = how.restart_mcus;
    out.optimize_coding = how.optimize ? TRUE : FALSE;
    out.arith_code = how.arithmetic ? TRUE : FALSE;
    if (how.progressive)
        jpeg_simple_progression(&out);
    jpeg_write_coefficients(&out, coefficients);
    jpeg_finish_compress(&out);
    jpeg_destroy_compress(&out);
    jpeg_finish_decompress(&in);
    jpeg_destroy_decompress(&in);
    Bytes result(buffer, buffer + size);
    std::free(buffer);
    return result;
}

// The pattern compressed by libjpeg itself at quality 75 and 4:2:0: its
// tables are no rate's matrix.
Bytes libjpeg_q75(uint32_t w, uint32_t h)
{
    PDRGB pic = pattern(w, h);
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = w;
    c.image_height = h;
    c.input_components = 3;
    c.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 75, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(pic.data + size_t{c.next_scanline} * w);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes result(buffer, buffer + size);
    std::free(buffer);
    std::free(pic.data);
    return result;
}

// Where the segment with `marker` starts (its 0xFF), or stops the program.
size_t segment_at(const Bytes &file, uint8_t marker)
{
    size_t at = 2;
    while (at + 4 <= file.size() && file[at] == 0xFF && file[at + 1] != marker &&
           file[at + 1] != 0xDA)
        at += 2 + (size_t{file[at + 2]} << 8 | file[at + 3]);
    if (at + 4 > file.size() || file[at] != 0xFF || file[at + 1] != marker) {
        std::fprintf(stderr, "no segment 0x%02X before the scan\n", marker);
        std::exit(1);
    }
    return at;
}

size_t frame_at(const Bytes &file)
{
    for (const uint8_t sof : {0xC0, 0xC1}) {
        size_t at = 2;
        while (at + 4 <= file.size() && file[at] == 0xFF && file[at + 1] != 0xDA) {
            if (file[at + 1] == sof)
                return at;
            at += 2 + (size_t{file[at + 2]} << 8 | file[at + 3]);
        }
    }
    std::fprintf(stderr, "no frame header\n");
    std::exit(1);
}

Bytes without_segment(const Bytes &file, uint8_t marker)
{
    const size_t at = segment_at(file, marker);
    const size_t length = 2 + (size_t{file[at + 2]} << 8 | file[at + 3]);
    Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(at));
    out.insert(out.end(), file.begin() + static_cast<std::ptrdiff_t>(at + length), file.end());
    return out;
}

void jpeg_seeds()
{
    const std::string t = "fuzz_jpeg_read";
    // Our writer: odd and even block columns and rows (padding blocks in the
    // MCUs), 8-bit tables up to rate 18 and 16-bit ones from 19, divisor 1
    // everywhere at rate 0 and the largest rate.
    struct Plain {
        uint32_t w, h;
        uint16_t rate;
    };
    const Plain plain[] = {{1, 1, 0},   {2, 3, 255},  {8, 8, 10},   {9, 7, 19},  {16, 16, 0},
                           {16, 24, 255}, {17, 9, 2340}, {17, 33, 10}, {17, 33, 19}};
    for (const Plain &p : plain)
        save(t,
             "writer-" + std::to_string(p.w) + "x" + std::to_string(p.h) + "-r" +
                 std::to_string(p.rate) + ".jpg",
             jpeg_of(p.w, p.h, p.rate));

    // Lossless rewrites that the reader takes: jpegtran -restart 1 -optimize
    // and the like, on baseline and extended files.
    const Bytes r10 = jpeg_of(17, 33, 10), r19 = jpeg_of(9, 7, 19), r0 = jpeg_of(16, 16, 0),
                r255 = jpeg_of(17, 33, 255);
    save(t, "rewritten-17x33-r10-restart1-optimized.jpg", rewritten(r10, {1, true}));
    save(t, "rewritten-9x7-r19-restart1-optimized.jpg", rewritten(r19, {1, true}));
    save(t, "rewritten-16x16-r0-restart1-optimized.jpg", rewritten(r0, {1, true}));
    save(t, "rewritten-17x33-r255-restart2-standard-tables.jpg", rewritten(r255, {2, false}));

    // Segments the reader skips or does without: no JFIF segment; a comment
    // and fill bytes before the frame header.
    save(t, "edited-no-jfif.jpg", without_segment(r10, 0xE0));
    Bytes comment = r10;
    const char text[] = "\xFF\xFE\x00\x0B" "a comment";
    comment.insert(comment.begin() + 2, text, text + sizeof text - 1);
    const size_t frame = frame_at(comment);
    comment.insert(comment.begin() + static_cast<std::ptrdiff_t>(frame), 3, 0xFF);
    save(t, "edited-comment-fill.jpg", comment);

    // Refusals: another coding process, tables of no rate, another layout,
    // a frame too large to allocate, damage.
    save(t, "refused-progressive.jpg", rewritten(r10, {0, true, true}));
    save(t, "refused-arithmetic.jpg", rewritten(r10, {0, false, false, true}));
    save(t, "refused-libjpeg-q75.jpg", libjpeg_q75(17, 33));
    const size_t sof = frame_at(r10);
    Bytes sampling = r10;
    sampling[sof + 11] = 0x11; // Y sampled 1x1 like the chrominance
    save(t, "refused-sampling-1x1.jpg", sampling);
    Bytes precision = r10;
    precision[sof + 4] = 12;
    save(t, "refused-precision-12.jpg", precision);
    Bytes huge = jpeg_of(1, 1, 0);
    const size_t huge_sof = frame_at(huge);
    for (size_t i = 5; i < 9; ++i)
        huge[huge_sof + i] = 0xFF; // 65535 x 65535, above 2^28 pixels
    save(t, "refused-frame-too-large.jpg", huge);
    Bytes table = r10;
    const size_t dqt = segment_at(table, 0xDB);
    table[dqt + 5 + 63] ^= 1; // the last element of an 8-bit table
    save(t, "refused-table-not-a-rate.jpg", table);
    save(t, "refused-cut-scan.jpg", Bytes(r10.begin(), r10.begin() + static_cast<std::ptrdiff_t>(
                                                                  segment_at(r10, 0xDA) + 30)));
    save(t, "refused-truncated-header.jpg", Bytes(r10.begin(), r10.begin() + 40));
    save(t, "refused-no-end-marker.jpg", Bytes(r10.begin(), r10.end() - 2));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    root = argv[1];
    picture_seeds();
    huffman_and_container_seeds();
    jpeg_seeds();
    return 0;
}
