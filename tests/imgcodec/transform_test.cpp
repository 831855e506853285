// The forward and inverse block transform against the direct cosine sums,
// the block geometry of odd and edge sizes, the refusals, and what failing
// allocations leave behind.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "dct_reference.h"
#include "fault_injection.h"
#include "imgcodec.h"

namespace
{

using namespace dctref;

struct Geometry {
    uint32_t w, h;
    uint32_t yblks, cblks;
};

std::ostream &operator<<(std::ostream &os, const Geometry &g)
{
    return os << g.w << "x" << g.h;
}

class Geometries : public testing::TestWithParam<Geometry>
{
};

// At rate 0 every divisor is 1, so each stored coefficient is the exact
// transform of its zero-padded block, rounded.
TEST_P(Geometries, ForwardBlocksAreTheRoundedCosineSumsInZigzagOrder)
{
    const Geometry g = GetParam();
    Planes p = random_planes(g.w, g.h, g.w * 131 + g.h, -2047, 2047);
    const PDCBCR in = p.record();
    DCTDATA *d = toDCT2(&in, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->YBlks, g.yblks);
    EXPECT_EQ(d->CBlks, g.cblks);
    EXPECT_EQ(d->w, g.w);
    EXPECT_EQ(d->h, g.h);

    const struct {
        const std::vector<int16_t> &plane;
        uint32_t width, height, blocks;
        const int16_t *stored;
    } planes[] = {{p.y, g.w, g.h, d->YBlks, d->YdataDCT},
                  {p.cb, p.cw(), p.ch(), d->CBlks, d->CbDataDCT},
                  {p.cr, p.cw(), p.ch(), d->CBlks, d->CrDataDCT}};
    for (const auto &plane : planes)
        for (uint32_t n = 0; n < plane.blocks; ++n) {
            const Block f = forward(block_of(plane.plane, plane.width, plane.height, n));
            for (int k = 0; k < 64; ++k)
                ASSERT_TRUE(rounds_to(f[PERM_MAT[k]], plane.stored[64 * n + k]))
                    << "block " << n << " rank " << k << ": " << f[PERM_MAT[k]] << " stored as "
                    << plane.stored[64 * n + k];
        }
    freeDCT(d);
}

// Coefficients made up at random come back as the direct inverse sums of
// the dequantised blocks, each block placed at its position in its plane.
TEST_P(Geometries, InverseBlocksAreTheRoundedCosineSumsInPlace)
{
    const Geometry g = GetParam();
    for (uint8_t rate : {0, 3}) {
        std::mt19937 gen(g.w * 7 + g.h + rate);
        const int range = rate == 0 ? 200 : 20;
        auto coefficients = [&](uint32_t blocks) {
            std::vector<int16_t> c(64 * std::size_t{blocks});
            for (auto &v : c)
                v = static_cast<int16_t>(static_cast<int>(gen() % (2 * range + 1)) - range);
            return c;
        };
        std::vector<int16_t> y = coefficients(g.yblks), cb = coefficients(g.cblks),
                             cr = coefficients(g.cblks);
        const DCTDATA d{g.yblks, g.cblks, g.w, g.h, y.data(), cb.data(), cr.data()};
        PDCBCR *out = returnFromDCT(&d, rate);
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->w, g.w);
        EXPECT_EQ(out->h, g.h);
        EXPECT_EQ(out->dBytes, g.w % 4);

        const uint32_t cw = (g.w + 1) / 2, ch = (g.h + 1) / 2;
        const struct {
            const std::vector<int16_t> &stored;
            uint32_t width, height;
            const int16_t *plane;
        } planes[] = {
            {y, g.w, g.h, out->Ydata}, {cb, cw, ch, out->CbData}, {cr, cw, ch, out->CrData}};
        for (const auto &plane : planes) {
            const uint32_t per_row = (plane.width + 7) / 8;
            for (uint32_t row = 0; row < plane.height; ++row)
                for (uint32_t col = 0; col < plane.width; ++col) {
                    const uint32_t n = (row / 8) * per_row + col / 8;
                    Block f{};
                    for (int k = 0; k < 64; ++k)
                        f[PERM_MAT[k]] = plane.stored[64 * n + k] *
                                         (rate * (PERM_MAT[k] / 8 + PERM_MAT[k] % 8) + 1);
                    const long double exact = inverse(f)[8 * (row % 8) + col % 8];
                    const int16_t got = plane.plane[std::size_t{row} * plane.width + col];
                    ASSERT_TRUE(rounds_to(exact, got))
                        << "rate " << int{rate} << " sample " << row << "," << col << ": " << exact
                        << " came back as " << got;
                }
        }
        freeCBCR(out);
    }
}

INSTANTIATE_TEST_SUITE_P(Pictures, Geometries,
                         testing::Values(Geometry{17, 9, 6, 2}, Geometry{24, 8, 3, 2},
                                         Geometry{8, 24, 3, 2}, Geometry{16, 16, 4, 1},
                                         Geometry{1, 1, 1, 1}, Geometry{6, 33, 5, 3},
                                         Geometry{40, 17, 15, 6}),
                         testing::PrintToStringParamName());

TEST(Transform, EqualSamplesGiveOnlyTheLowestCoefficientAtAnyRate)
{
    for (int16_t s : {0, 1, 128, 255, -100})
        for (uint16_t rate : {0, 10, 255, 2340}) {
            Planes p;
            p.w = p.h = 16;
            p.y.assign(256, s);
            p.cb.assign(64, static_cast<int16_t>(255 - s));
            p.cr.assign(64, static_cast<int16_t>(s / 2));
            const PDCBCR in = p.record();
            DCTDATA *d = toDCT2(&in, rate);
            ASSERT_NE(d, nullptr);
            auto expect_flat = [&](const int16_t *block, int value) {
                EXPECT_EQ(block[0], 8 * value) << s << " at rate " << rate;
                for (int k = 1; k < 64; ++k)
                    EXPECT_EQ(block[k], 0) << s << " at rate " << rate << ", rank " << k;
            };
            for (uint32_t n = 0; n < 4; ++n)
                expect_flat(d->YdataDCT + 64 * n, s);
            expect_flat(d->CbDataDCT, 255 - s);
            expect_flat(d->CrDataDCT, s / 2);
            freeDCT(d);
        }
}

TEST(Transform, DistinctChromaPlanesStayDistinctAndInPlace)
{
    Planes p = random_planes(17, 9, 5, 0, 255);
    for (std::size_t n = 0; n < p.cb.size(); ++n) {
        p.cb[n] = static_cast<int16_t>(20 + 3 * n);
        p.cr[n] = static_cast<int16_t>(230 - 4 * n);
    }
    const PDCBCR in = p.record();
    DCTDATA *d = toDCT2(&in, 0);
    ASSERT_NE(d, nullptr);
    PDCBCR *out = returnFromDCT(d, 0);
    ASSERT_NE(out, nullptr);
    for (std::size_t n = 0; n < p.cb.size(); ++n) {
        EXPECT_NEAR(out->CbData[n], p.cb[n], 1) << n;
        EXPECT_NEAR(out->CrData[n], p.cr[n], 1) << n;
    }
    for (std::size_t n = 0; n < p.y.size(); ++n)
        EXPECT_NEAR(out->Ydata[n], p.y[n], 2) << n;
    freeCBCR(out);
    freeDCT(d);
}

TEST(GetDCTedBlock, RefusesBadArgumentsBeforeAllocating)
{
    Planes p = random_planes(17, 9, 1, 0, 255);
    const PDCBCR in = p.record();
    PDCBCR no_cr = in;
    no_cr.CrData = nullptr;
    PDCBCR no_y = in;
    no_y.Ydata = nullptr;
    PDCBCR empty = in;
    empty.w = 0;
    PDCBCR huge = in; // 3·w·h beyond 32 bits: no picture of the library
    huge.w = huge.h = 0x10000;
    const struct {
        uint8_t type;
        uint32_t n;
        const PDCBCR *in;
        const std::string &line;
    } cases[] = {{64, 0, nullptr, kNullLine},   {64, 0, &no_cr, kNullLine},
                 {16, 0, &no_y, kNullLine},     {0, 0, &in, kInvalidLine},
                 {63, 0, &in, kInvalidLine},    {64, 6, &in, kInvalidLine},
                 {32, 2, &in, kInvalidLine},    {16, 2, &in, kInvalidLine},
                 {64, 0, &empty, kInvalidLine}, {64, 0, &huge, kInvalidLine}};
    for (const auto &c : cases) {
        fi::reset();
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(getDCTedBlock(c.type, c.n, c.in), nullptr); }), c.line)
            << int{c.type} << " " << c.n;
        EXPECT_EQ(fi::allocations(), 0);
    }
    // The last block of each plane is still there.
    freeDCT(toDCT2(&in, 0));
    for (uint8_t type : {64, 32, 16}) {
        int16_t *b = getDCTedBlock(type, type == 64 ? 5 : 1, &in);
        EXPECT_NE(b, nullptr);
        std::free(b);
    }
}

TEST(GetDCTedBlock, PassesOnTheRefusalOfAnUnfilledMatrix)
{
    Planes p = random_planes(8, 8, 1, 0, 255);
    const PDCBCR in = p.record();
    std::fill(std::begin(QUANT_MAT), std::end(QUANT_MAT), int16_t{0});
    QUANT_MAT[0] = 1;
    int16_t *b = nullptr;
    fi::reset();
    EXPECT_EQ(stdout_of([&] { b = getDCTedBlock(64, 0, &in); }), kInvalidLine);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(fi::live_blocks(), 0);
}

TEST(ToDCT2, RefusesBadArgumentsBeforeAllocatingOrFilling)
{
    Planes p = random_planes(9, 9, 2, 0, 255);
    const PDCBCR in = p.record();
    DCTDATA *d = toDCT2(&in, 7);
    ASSERT_NE(d, nullptr);
    freeDCT(d);
    const std::vector<int16_t> rate7(std::begin(QUANT_MAT), std::end(QUANT_MAT));

    PDCBCR no_cb = in, no_cr = in, narrow = in, low = in;
    no_cb.CbData = nullptr;
    no_cr.CrData = nullptr;
    narrow.w = 0;
    low.h = 0;
    const struct {
        const PDCBCR *in;
        uint16_t rate;
        const std::string &line;
    } cases[] = {{nullptr, 0, kNullLine},   {&no_cb, 0, kNullLine},     {&no_cr, 2341, kNullLine},
                 {&in, 2341, kInvalidLine}, {&in, 65535, kInvalidLine}, {&narrow, 1, kInvalidLine},
                 {&low, 1, kInvalidLine}};
    for (const auto &c : cases) {
        fi::reset();
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(toDCT2(c.in, c.rate), nullptr); }), c.line) << c.rate;
        EXPECT_EQ(fi::allocations(), 0);
        EXPECT_EQ(std::vector<int16_t>(std::begin(QUANT_MAT), std::end(QUANT_MAT)), rate7);
    }
}

TEST(ReturnFromDCT, RefusesRecordsWhoseCountsAndSizesDisagree)
{
    Planes p = random_planes(17, 9, 3, 0, 255);
    const PDCBCR in = p.record();
    DCTDATA *d = toDCT2(&in, 3);
    ASSERT_NE(d, nullptr);
    const std::vector<int16_t> rate3(std::begin(QUANT_MAT), std::end(QUANT_MAT));

    std::vector<DCTDATA> refused;
    auto variant = [&](auto change) {
        DCTDATA v = *d;
        change(v);
        refused.push_back(v);
    };
    variant([](DCTDATA &v) { v.w = 0; });
    variant([](DCTDATA &v) { v.h = 0; });
    variant([](DCTDATA &v) { v.YBlks = 7; });
    variant([](DCTDATA &v) { v.YBlks = 5; });
    variant([](DCTDATA &v) { v.CBlks = 1; });
    variant([](DCTDATA &v) { v.w = 25; }); // 4 blocks per row
    variant([](DCTDATA &v) { v.h = 17; }); // 3 block rows
    variant([](DCTDATA &v) {
        v.w = v.h = 0x10000;
        v.YBlks = v.CBlks = 0x2000000;
    });
    for (const DCTDATA &v : refused) {
        fi::reset();
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(returnFromDCT(&v, 9), nullptr); }), kInvalidLine)
            << v.w << "x" << v.h << " " << v.YBlks << " " << v.CBlks;
        EXPECT_EQ(fi::allocations(), 0);
        EXPECT_EQ(std::vector<int16_t>(std::begin(QUANT_MAT), std::end(QUANT_MAT)), rate3);
    }

    DCTDATA no_cr = *d;
    no_cr.CrDataDCT = nullptr;
    for (const DCTDATA *v :
         {static_cast<const DCTDATA *>(nullptr), static_cast<const DCTDATA *>(&no_cr)}) {
        fi::reset();
        EXPECT_EQ(stdout_of([&] { EXPECT_EQ(returnFromDCT(v, 9), nullptr); }), kNullLine);
        EXPECT_EQ(fi::allocations(), 0);
    }
    freeDCT(d);
}

TEST(FreeDCT, AcceptsNullAndARecordWithoutArrays)
{
    freeDCT(nullptr);
    fi::reset();
    auto *d = static_cast<DCTDATA *>(std::calloc(1, sizeof(DCTDATA)));
    ASSERT_NE(d, nullptr);
    freeDCT(d);
    EXPECT_EQ(fi::live_blocks(), 0);
}

// Runs body with each of its allocations failing in turn: every run prints
// the one line, gives null and leaves nothing allocated.
template <typename Body> long each_failure_is_clean(Body body)
{
    std::string printed;
    bool null = false;
    return fi::each_allocation_failing([&] { printed = stdout_of([&] { null = body(); }); },
                                       [&](long n) {
                                           SCOPED_TRACE(n);
                                           EXPECT_EQ(printed, kMemoryLine);
                                           EXPECT_TRUE(null);
                                           EXPECT_EQ(fi::live_blocks(), 0);
                                       });
}

TEST(Transform, FailingAllocationsPrintTheLineAndLeakNothing)
{
    Planes p = random_planes(9, 9, 4, 0, 255);
    const PDCBCR in = p.record();
    freeDCT(toDCT2(&in, 5)); // fills QUANT_MAT for getDCTedBlock
    // A block takes only its result: the products work in place.
    const long block = each_failure_is_clean([&] {
        int16_t *b = getDCTedBlock(32, 0, &in);
        std::free(b);
        return b == nullptr;
    });
    EXPECT_EQ(block, 1);

    // The record and its three arrays; the blocks allocate nothing.
    const long forward = each_failure_is_clean([&] {
        DCTDATA *d = toDCT2(&in, 5);
        freeDCT(d);
        return d == nullptr;
    });
    EXPECT_EQ(forward, 4);

    DCTDATA *d = toDCT2(&in, 5);
    ASSERT_NE(d, nullptr);
    // The record and its three planes: the blocks are decoded straight into
    // the planes.
    const long inverse = each_failure_is_clean([&] {
        PDCBCR *out = returnFromDCT(d, 5);
        freeCBCR(out);
        return out == nullptr;
    });
    EXPECT_EQ(inverse, 4);
    freeDCT(d);
}

} // namespace
