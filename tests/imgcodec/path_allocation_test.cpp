// Every allocation of the picture path, file to file, failing in turn: the
// stage that meets the failure prints the one memory line and gives null,
// the stages after it are not reached, and once the caller has released the
// records of the stages before it nothing is left allocated and no file open.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "fault_injection.h"
#include "imgcodec.h"

namespace
{

const std::string kMemoryLine = "ERROR: No free memory left!\n";

enum Stage { kRead, kToPlanes, kForward, kInverse, kToRgb, kDone };

struct PathRun {
    Stage stopped = kDone;
    std::string printed;
};

// getRGBFromFile, RGBtoCBCR, toDCT2, returnFromDCT, CBCRtoRGB, writeToBMP,
// releasing every record as a caller does.
PathRun run_path(const std::string &source, const std::string &result, uint8_t rate)
{
    PathRun run;
    run.printed = stdout_of([&] {
        PDRGB *in = getRGBFromFile(source.c_str());
        PDCBCR *planes = in ? RGBtoCBCR(in) : nullptr;
        DCTDATA *blocks = planes ? toDCT2(planes, rate) : nullptr;
        PDCBCR *back = blocks ? returnFromDCT(blocks, rate) : nullptr;
        PDRGB *out = back ? CBCRtoRGB(back) : nullptr;
        if (out)
            writeToBMP(result.c_str(), out);
        run.stopped = !in       ? kRead
                      : !planes ? kToPlanes
                      : !blocks ? kForward
                      : !back   ? kInverse
                      : !out    ? kToRgb
                                : kDone;
        freeRGB(out);
        freeCBCR(back);
        freeDCT(blocks);
        freeCBCR(planes);
        freeRGB(in);
    });
    return run;
}

TEST(PicturePathAllocation, EveryFailureStopsItsStageCleanly)
{
    const uint32_t w = 11, h = 9;
    std::vector<BMPPIX8BNA> pixels(w * h);
    for (uint32_t n = 0; n < w * h; ++n)
        pixels[n] = {static_cast<uint8_t>(n * 7), static_cast<uint8_t>(n * 3),
                     static_cast<uint8_t>(255 - n)};
    const PDRGB picture{w, h, pixels.data(), static_cast<uint8_t>(w % 4)};
    const std::string source = testing::TempDir() + "dctlab_path_allocation_source.bmp";
    const std::string result = testing::TempDir() + "dctlab_path_allocation_result.bmp";
    writeToBMP(source.c_str(), &picture);

    const PathRun whole = run_path(source, result, 12);
    ASSERT_EQ(whole.stopped, kDone);
    ASSERT_EQ(whole.printed, "");

    std::vector<int> failures_per_stage(kDone, 0);
    PathRun run;
    const long sites = fi::each_allocation_failing([&] { run = run_path(source, result, 12); },
                                                   [&](long n) {
                                                       SCOPED_TRACE(n);
                                                       ASSERT_NE(run.stopped, kDone);
                                                       EXPECT_EQ(run.printed, kMemoryLine);
                                                       EXPECT_EQ(fi::live_blocks(), 0);
                                                       EXPECT_EQ(fi::open_files(), 0);
                                                       ++failures_per_stage[run.stopped];
                                                   });
    EXPECT_GT(sites, 0);
    // Each stage owns allocations of its own, and the failures reach the
    // stages in path order.
    for (int stage = kRead; stage < kDone; ++stage)
        EXPECT_GT(failures_per_stage[stage], 0) << "stage " << stage;

    // A failure leaves nothing behind that changes a later run.
    const PathRun after = run_path(source, result, 12);
    EXPECT_EQ(after.stopped, kDone);
    EXPECT_EQ(after.printed, "");
    std::remove(source.c_str());
    std::remove(result.c_str());
}

} // namespace
