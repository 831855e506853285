// The fast picture path against the straightforward one, kept in the library
// as the reference: every kernel this processor runs, on random and
// photo-like pictures of many sizes, odd ones included, and on the samples
// that lie on rounding boundaries, compared sample by sample, coefficient by
// coefficient and byte by byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "every_kernel.h"
#include "fast_path.h"
#include "imgcodec.h"
#include "kept_blocks.h"
#include "record_handles.h"
#include "reference.h"

namespace
{

namespace ref = dctlab::img::reference;
namespace fast = dctlab::img::fast;

using Rgb = dctlab::img::RgbPtr;
using Cbcr = dctlab::img::CbcrPtr;
using Dct = dctlab::img::DctPtr;

struct Size {
    uint32_t w, h;
};

// Sizes with every remainder modulo 2 and 16 that matters: single pixels,
// single rows and columns, partial blocks and partial groups.
const Size kSizes[] = {{1, 1},  {2, 1},    {1, 2},   {3, 3},    {7, 5},   {8, 8},
                       {9, 17}, {17, 9},   {16, 16}, {31, 33},  {64, 48}, {1, 40},
                       {40, 1}, {127, 65}, {130, 7}, {257, 19}, {600, 18}};

std::string name(Size s)
{
    return std::to_string(s.w) + "x" + std::to_string(s.h);
}

// Pixels of two kinds: uniform noise, and smooth shading with edges, as in a
// photograph, which gives the sparse blocks the inverse transform skips over.
std::vector<BMPPIX8BNA> pixels(Size s, unsigned seed, bool photo)
{
    std::mt19937 gen(seed);
    std::vector<BMPPIX8BNA> px(std::size_t{s.w} * s.h);
    for (uint32_t y = 0; y < s.h; ++y)
        for (uint32_t x = 0; x < s.w; ++x) {
            BMPPIX8BNA &p = px[std::size_t{y} * s.w + x];
            if (!photo) {
                const uint32_t v = gen();
                p = BMPPIX8BNA{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)};
                continue;
            }
            const int base = (x * 3 + y * 2) % 200 + (x > s.w / 2 ? 40 : 0);
            const int noise = static_cast<int>(gen() % 5) - 2;
            auto c = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
            p = BMPPIX8BNA{c(base + noise), c(255 - base), c(base / 2 + 30 + noise)};
        }
    return px;
}

void expect_same_planes(const PDCBCR *got, const PDCBCR *want)
{
    ASSERT_NE(got, nullptr);
    ASSERT_NE(want, nullptr);
    ASSERT_EQ(got->w, want->w);
    ASSERT_EQ(got->h, want->h);
    EXPECT_EQ(got->dBytes, want->dBytes);
    const std::size_t luma = std::size_t{want->w} * want->h;
    const std::size_t chroma = std::size_t{(want->w + 1) / 2} * ((want->h + 1) / 2);
    for (std::size_t n = 0; n < luma; ++n)
        ASSERT_EQ(got->Ydata[n], want->Ydata[n]) << "Y sample " << n;
    for (std::size_t n = 0; n < chroma; ++n) {
        ASSERT_EQ(got->CbData[n], want->CbData[n]) << "Cb sample " << n;
        ASSERT_EQ(got->CrData[n], want->CrData[n]) << "Cr sample " << n;
    }
}

// The way back of a picture of across x down luminance blocks with the
// given coefficients and chrominance blocks of zeros, at each rate.
void expect_same_way_back(std::vector<int16_t> &luma, uint32_t across, uint32_t down,
                          std::initializer_list<uint8_t> rates)
{
    std::vector<int16_t> cb(std::size_t{64} * (across / 2) * (down / 2), 0), cr(cb);
    const DCTDATA data{across * down, static_cast<uint32_t>(cb.size() / 64),
                       8 * across,    8 * down,
                       luma.data(),   cb.data(),
                       cr.data()};
    for (uint8_t rate : rates) {
        SCOPED_TRACE(int{rate});
        expect_same_planes(Cbcr(returnFromDCT(&data, rate)).get(),
                           Cbcr(ref::returnFromDCT(&data, rate)).get());
    }
}

void expect_same_blocks(const DCTDATA *got, const DCTDATA *want)
{
    ASSERT_NE(got, nullptr);
    ASSERT_NE(want, nullptr);
    ASSERT_EQ(got->YBlks, want->YBlks);
    ASSERT_EQ(got->CBlks, want->CBlks);
    EXPECT_EQ(got->w, want->w);
    EXPECT_EQ(got->h, want->h);
    const struct {
        const int16_t *got, *want;
        uint32_t blocks;
    } arrays[] = {{got->YdataDCT, want->YdataDCT, want->YBlks},
                  {got->CbDataDCT, want->CbDataDCT, want->CBlks},
                  {got->CrDataDCT, want->CrDataDCT, want->CBlks}};
    for (const auto &a : arrays)
        for (std::size_t n = 0; n < 64 * std::size_t{a.blocks}; ++n)
            ASSERT_EQ(a.got[n], a.want[n]) << "block " << n / 64 << " rank " << n % 64;
}

void expect_same_pixels(const PDRGB *got, const PDRGB *want)
{
    ASSERT_NE(got, nullptr);
    ASSERT_NE(want, nullptr);
    ASSERT_EQ(got->w, want->w);
    ASSERT_EQ(got->h, want->h);
    EXPECT_EQ(got->dBytes, want->dBytes);
    for (std::size_t n = 0; n < std::size_t{want->w} * want->h; ++n)
        ASSERT_EQ(0, std::memcmp(&got->data[n], &want->data[n], 3)) << "pixel " << n;
}

TEST_P(EveryKernel, WholePathMatchesTheReferenceAtEverySize)
{
    for (const Size s : kSizes)
        for (bool photo : {false, true}) {
            SCOPED_TRACE(name(s) + (photo ? " photo" : " noise"));
            std::vector<BMPPIX8BNA> px = pixels(s, s.w * 977 + s.h, photo);
            const PDRGB in{s.w, s.h, px.data(), static_cast<uint8_t>(s.w % 4)};
            const Cbcr planes(RGBtoCBCR(&in));
            expect_same_planes(planes.get(), Cbcr(ref::RGBtoCBCR(&in)).get());
            for (uint16_t rate : {0, 1, 4, 37, 255}) {
                SCOPED_TRACE(rate);
                const Dct blocks(toDCT2(planes.get(), rate));
                expect_same_blocks(blocks.get(), Dct(ref::toDCT2(planes.get(), rate)).get());
                const auto back_rate = static_cast<uint8_t>(rate);
                const Cbcr back(returnFromDCT(blocks.get(), back_rate));
                expect_same_planes(back.get(),
                                   Cbcr(ref::returnFromDCT(blocks.get(), back_rate)).get());
                expect_same_pixels(Rgb(CBCRtoRGB(back.get())).get(),
                                   Rgb(ref::CBCRtoRGB(back.get())).get());
            }
        }
}

TEST_P(EveryKernel, SingleBlocksMatchTheReference)
{
    for (const Size s : {Size{17, 9}, Size{31, 33}, Size{64, 48}}) {
        std::vector<BMPPIX8BNA> px = pixels(s, s.w + s.h, true);
        const PDRGB in{s.w, s.h, px.data(), static_cast<uint8_t>(s.w % 4)};
        const Cbcr planes(RGBtoCBCR(&in));
        ASSERT_NE(planes, nullptr);
        for (uint16_t rate : {0, 3, 2340}) {
            freeDCT(toDCT2(planes.get(), rate)); // fills QUANT_MAT
            const Dct all(toDCT2(planes.get(), rate));
            for (uint8_t type : {64, 32, 16}) {
                const uint32_t count = type == 64 ? all->YBlks : all->CBlks;
                for (uint32_t n = 0; n < count; ++n) {
                    int16_t *got = getDCTedBlock(type, n, planes.get());
                    int16_t *want = ref::getDCTedBlock(type, n, planes.get());
                    ASSERT_NE(got, nullptr);
                    ASSERT_NE(want, nullptr);
                    EXPECT_EQ(0, std::memcmp(got, want, 64 * sizeof(int16_t)))
                        << name(s) << " type " << int{type} << " block " << n << " rate " << rate;
                    std::free(got);
                    std::free(want);
                }
            }
        }
    }
}

// Samples far outside the colour range drive coefficients and samples past
// 16384, where rounding saturates, and the inverse conversion past 16 bits.
TEST_P(EveryKernel, ExtremeSamplesMatchTheReference)
{
    for (const Size s : {Size{9, 9}, Size{40, 17}, Size{64, 64}}) {
        std::mt19937 gen(s.w * 31 + s.h);
        const std::size_t luma = std::size_t{s.w} * s.h;
        const std::size_t chroma = std::size_t{(s.w + 1) / 2} * ((s.h + 1) / 2);
        std::vector<int16_t> y(luma), cb(chroma), cr(chroma);
        for (auto *plane : {&y, &cb, &cr})
            for (std::size_t n = 0; n < plane->size(); ++n) {
                // Runs of one extreme, and noise over the whole 16-bit range.
                const uint32_t v = gen();
                (*plane)[n] = static_cast<int16_t>(n % 64 < 32 ? (v % 2 ? 32767 : -32768) : v);
            }
        PDCBCR in{s.w, s.h, static_cast<uint8_t>(s.w % 4), y.data(), cb.data(), cr.data()};
        for (uint16_t rate : {0, 1, 2340}) {
            const Dct blocks(toDCT2(&in, rate));
            expect_same_blocks(blocks.get(), Dct(ref::toDCT2(&in, rate)).get());
        }
        expect_same_pixels(Rgb(CBCRtoRGB(&in)).get(), Rgb(ref::CBCRtoRGB(&in)).get());

        // Coefficients of every size, dequantised past 16 bits at rate 255.
        std::vector<int16_t> cy(64 * ((s.w + 7) / 8) * ((s.h + 7) / 8));
        std::vector<int16_t> cc(64 * (((s.w + 1) / 2 + 7) / 8) * (((s.h + 1) / 2 + 7) / 8));
        std::vector<int16_t> cc2(cc.size());
        for (auto *c : {&cy, &cc, &cc2})
            for (auto &v : *c)
                v = static_cast<int16_t>(gen() % 8 == 0 ? gen() : gen() % 41 - 20);
        const DCTDATA d{static_cast<uint32_t>(cy.size() / 64),
                        static_cast<uint32_t>(cc.size() / 64),
                        s.w,
                        s.h,
                        cy.data(),
                        cc.data(),
                        cc2.data()};
        for (uint8_t rate : {0, 7, 255})
            expect_same_planes(Cbcr(returnFromDCT(&d, rate)).get(),
                               Cbcr(ref::returnFromDCT(&d, rate)).get());
    }
}

// A uniform block of value v has the DC coefficient 8v: values around 4096
// put it on either side of the 16-bit range, where rounding saturates, and
// around 2048 on either side of 16384, where the fast kernels hand a block
// to the element by element quantisation. Each block is one value.
TEST_P(EveryKernel, CoefficientsAtTheEdgeOfTheFastRangeMatchTheReference)
{
    const int16_t values[] = {2047, 2048, -2048, -2049, 4095, 4096, -4096, -4097, 0, 1};
    constexpr uint32_t kBlocks = sizeof values / sizeof values[0];
    const uint32_t w = 8 * kBlocks, h = 8;
    std::vector<int16_t> y(std::size_t{w} * h), cb(std::size_t{w / 2} * (h / 2), 0),
        cr(cb.size(), 0);
    for (uint32_t row = 0; row < h; ++row)
        for (uint32_t x = 0; x < w; ++x)
            y[std::size_t{row} * w + x] = values[x / 8];
    PDCBCR in{w, h, 0, y.data(), cb.data(), cr.data()};
    for (uint16_t rate : {0, 1, 3, 2340}) {
        const Dct blocks(toDCT2(&in, rate));
        expect_same_blocks(blocks.get(), Dct(ref::toDCT2(&in, rate)).get());
    }
}

// Blocks of small integers, sums and products of a row and a column pattern
// and plain noise, whose coefficients are often exact multiples of a small
// fraction and so lie on the points where rounding and quantisation turn;
// and blocks with one sample on either side of the limit of the fast
// transform, positive or negative, or half their rows far beyond it, among
// ordinary samples.
TEST_P(EveryKernel, CoefficientsOnQuantisationBoundariesMatchTheReference)
{
    constexpr uint32_t kAcross = 64, kDown = 32;
    const uint32_t w = 8 * kAcross, h = 8 * kDown;
    std::mt19937 gen(8128);
    std::vector<int16_t> y(std::size_t{w} * h);
    for (uint32_t n = 0; n < kAcross * kDown; ++n) {
        int16_t u[8], v[8];
        for (int i = 0; i < 8; ++i) {
            u[i] = static_cast<int16_t>(gen() % 4);
            v[i] = static_cast<int16_t>(gen() % 4);
        }
        // Eight neighbours share a kind, so that the kernels that take
        // several blocks at once meet every kind too.
        const uint32_t kind = n / 8 % 6;
        for (uint32_t j = 0; j < 8; ++j)
            for (uint32_t i = 0; i < 8; ++i) {
                int16_t s = kind == 0   ? u[j] + v[i]
                            : kind == 1 ? u[j] * v[i]
                            : kind == 2 ? static_cast<int16_t>(gen() % 4)
                            : kind == 5 ? static_cast<int16_t>(gen() % 4001) - 2000
                                        : static_cast<int16_t>(gen() % 256);
                if (kind == 3 && j == n % 8 && i == n / 8 % 8) {
                    const int16_t limits[] = {2000, 2001, -2000, -2001};
                    s = limits[n / 64 % 4];
                }
                if (kind == 4 && j < 4) // half the block far beyond, one sign
                    s = n / 64 % 2 ? 20000 : -20000;
                y[std::size_t{8 * (n / kAcross) + j} * w + 8 * (n % kAcross) + i] = s;
            }
        // Noise whose sum is 4 mod 8: its DC coefficient is a half-integer,
        // where only the library's own roundings decide.
        if (kind == 5) {
            int16_t *first = &y[std::size_t{8 * (n / kAcross)} * w + 8 * (n % kAcross)];
            int sum = 0;
            for (uint32_t j = 0; j < 8; ++j)
                for (uint32_t i = 0; i < 8; ++i)
                    sum += first[j * w + i];
            *first = static_cast<int16_t>(*first + (4 - sum % 8 + 8) % 8);
        }
    }
    std::vector<int16_t> cb(std::size_t{w / 2} * (h / 2), 128), cr(cb.size(), 128);
    PDCBCR in{w, h, 0, y.data(), cb.data(), cr.data()};
    for (uint16_t rate : {0, 1, 2, 5}) {
        SCOPED_TRACE(rate);
        const Dct blocks(toDCT2(&in, rate));
        expect_same_blocks(blocks.get(), Dct(ref::toDCT2(&in, rate)).get());
    }
}

// Coefficient blocks whose samples are exact multiples of 1/8, so that many
// lie on the half-integers where dblToshrt turns: a diagonal constant on
// the rows {0}, {4}, {2, 6} and the odd rows, a rotation in rows and
// columns 2 and 6, and any values at (0, 4) and (4, 0). Each of those parts
// is a rational matrix once transformed back; together they make enough
// coefficients for the butterfly.
TEST_P(EveryKernel, SamplesOnHalfIntegersMatchTheReference)
{
    constexpr uint32_t kAcross = 32, kDown = 16;
    std::mt19937 gen(496);
    std::vector<int16_t> y(std::size_t{64} * kAcross * kDown);
    const auto small = [&] { return static_cast<int16_t>(static_cast<int>(gen() % 9) - 4); };
    for (uint32_t n = 0; n < kAcross * kDown; ++n) {
        int16_t d[64] = {};
        const int16_t odd = small(), even = small(), b = small();
        d[0] = small();
        d[8 * 4 + 4] = small();
        for (int r : {1, 3, 5, 7})
            d[8 * r + r] = odd;
        d[8 * 2 + 2] = d[8 * 6 + 6] = even;
        d[8 * 2 + 6] = b;
        d[8 * 6 + 2] = static_cast<int16_t>(-b);
        d[4] = small();
        d[8 * 4] = small();
        for (int p = 0; p < 64; ++p)
            y[64 * n + REV_PERM_MAT[p]] = d[p];
    }
    expect_same_way_back(y, kAcross, kDown, {0, 1});
}

// Blocks whose coefficients all sit in the top left 2x2, 3x3 or 4x4 corner,
// with values around the limits up to which their samples need no range
// check, and far beyond, where rounding saturates; dequantised at rates that
// keep them and that wrap them in 16 bits.
TEST_P(EveryKernel, CornerBlocksOfAnySizeMatchTheReference)
{
    constexpr uint32_t kAcross = 24, kDown = 12;
    std::mt19937 gen(1729);
    const int16_t values[] = {1,     -1,    3999,   4001,  -4001,  6999,  7001,  -7001,
                              16383, 16385, -16385, 32767, -32768, 20000, -9000, 0};
    std::vector<int16_t> y(std::size_t{64} * kAcross * kDown);
    for (uint32_t n = 0; n < kAcross * kDown; ++n) {
        const int e = 2 + static_cast<int>(n % 3);
        for (int r = 0; r < e; ++r)
            for (int c = 0; c < e; ++c)
                if (gen() % 2)
                    y[64 * n + REV_PERM_MAT[8 * r + c]] = values[gen() % 16];
    }
    expect_same_way_back(y, kAcross, kDown, {0, 1, 255});
}

// Every colour whose exact luminance is a tie k + 0.5, where only the last
// bits of the long double arithmetic decide, beside a neighbour of each.
TEST_P(EveryKernel, LuminanceTiesMatchTheReference)
{
    std::vector<BMPPIX8BNA> px;
    for (int r = 0; r < 256; ++r)
        for (int g = 0; g < 256; ++g)
            for (int b = 0; b < 256; ++b)
                if ((299 * r + 587 * g + 114 * b) % 1000 == 500) {
                    px.push_back(BMPPIX8BNA{uint8_t(b), uint8_t(g), uint8_t(r)});
                    px.push_back(BMPPIX8BNA{uint8_t(b ^ 1), uint8_t(g), uint8_t(r)});
                }
    const uint32_t w = 1000, h = static_cast<uint32_t>(px.size() / w);
    const PDRGB in{w, h, px.data(), 0};
    expect_same_planes(Cbcr(RGBtoCBCR(&in)).get(), Cbcr(ref::RGBtoCBCR(&in)).get());
}

// Every pair of colour differences from -278 to 278 around each of a few
// luminances, and the multiples of 250 and 500 where the exact result is an
// integer that the long double arithmetic may miss by its last bit.
TEST_P(EveryKernel, InverseConversionMatchesTheReferenceOverAGrid)
{
    std::vector<int16_t> cbs, crs;
    for (int v = -150; v <= 406; ++v)
        cbs.push_back(static_cast<int16_t>(v));
    for (int m = -32000; m <= 32000; m += 250)
        cbs.push_back(static_cast<int16_t>(128 + m));
    crs = cbs;
    const uint32_t cw = static_cast<uint32_t>(cbs.size()), ch = static_cast<uint32_t>(crs.size());
    const uint32_t w = 2 * cw - 1, h = 2 * ch - 1; // odd: short groups too
    std::vector<int16_t> cb(std::size_t{cw} * ch), cr(cb.size()), y(std::size_t{w} * h);
    for (uint32_t r = 0; r < ch; ++r)
        for (uint32_t c = 0; c < cw; ++c) {
            cb[std::size_t{r} * cw + c] = cbs[c];
            cr[std::size_t{r} * cw + c] = crs[r];
        }
    std::mt19937 gen(7);
    for (auto &v : y)
        v = static_cast<int16_t>(gen() % 4 == 0 ? gen() : gen() % 400 - 70);
    PDCBCR in{w, h, static_cast<uint8_t>(w % 4), y.data(), cb.data(), cr.data()};
    expect_same_pixels(Rgb(CBCRtoRGB(&in)).get(), Rgb(ref::CBCRtoRGB(&in)).get());
}

// Large results take the blocks that earlier results left behind: nothing
// of what those held may show through. A slightly smaller photo-like
// picture goes the whole way in the blocks of a noisy one, and every result
// is compared with the same result computed in fresh memory.
TEST(KeptBlocks, ResultsInKeptBlocksEqualThoseInFreshMemory)
{
    if (!dctlab::img::keeps_blocks())
        GTEST_SKIP() << "this build keeps no blocks (sanitizers): every result is fresh memory";
    const Size big{1600, 1500}, small{1583, 1473}; // chroma planes above 1 MiB
    std::vector<BMPPIX8BNA> noise = pixels(big, 5, false), photo = pixels(small, 6, true);
    const PDRGB first{big.w, big.h, noise.data(), 0}, second{small.w, small.h, photo.data(), 3};
    const uint8_t rate = 2;
    dctlab::img::drop_kept_blocks();
    const Cbcr planes(RGBtoCBCR(&second));
    const Dct blocks(toDCT2(planes.get(), rate));
    const Cbcr back(returnFromDCT(blocks.get(), rate));
    const Rgb rgb(CBCRtoRGB(back.get()));

    std::vector<const void *> left;
    {
        Cbcr noisy_planes(RGBtoCBCR(&first));
        Dct noisy_blocks(toDCT2(noisy_planes.get(), rate));
        Cbcr noisy_back(returnFromDCT(noisy_blocks.get(), rate));
        Rgb noisy_rgb(CBCRtoRGB(noisy_back.get()));
        for (const PDCBCR *p : {noisy_planes.get(), noisy_back.get()})
            left.insert(left.end(), {p->Ydata, p->CbData, p->CrData});
        left.insert(left.end(), {noisy_blocks->YdataDCT, noisy_blocks->CbDataDCT,
                                 noisy_blocks->CrDataDCT, noisy_rgb->data});
        // The order in which the eight that can be kept leave every stage some.
        noisy_back.reset();
        noisy_planes.reset();
        noisy_blocks.reset();
        noisy_rgb.reset();
    }
    auto reused = [&](std::initializer_list<const void *> members) {
        for (const void *m : members)
            for (const void *l : left)
                if (m == l)
                    return true;
        return false;
    };

    const Cbcr planes_again(RGBtoCBCR(&second));
    expect_same_planes(planes_again.get(), planes.get());
    const Dct blocks_again(toDCT2(planes_again.get(), rate));
    expect_same_blocks(blocks_again.get(), blocks.get());
    const Cbcr back_again(returnFromDCT(blocks_again.get(), rate));
    expect_same_planes(back_again.get(), back.get());
    const Rgb rgb_again(CBCRtoRGB(back_again.get()));
    expect_same_pixels(rgb_again.get(), rgb.get());
    EXPECT_TRUE(reused({planes_again->Ydata, planes_again->CbData, planes_again->CrData}));
    EXPECT_TRUE(reused({blocks_again->YdataDCT, blocks_again->CbDataDCT, blocks_again->CrDataDCT}));
    EXPECT_TRUE(reused({back_again->Ydata, back_again->CbData, back_again->CrData}));
    EXPECT_TRUE(reused({rgb_again->data}));
}

DCTLAB_FOR_EVERY_KERNEL(EveryKernel);

} // namespace
