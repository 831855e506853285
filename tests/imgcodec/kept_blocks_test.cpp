// The keeping of large result blocks between calls: which blocks are kept,
// which request takes which, and the bound on what is held.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "kept_blocks.h"

namespace
{

namespace img = dctlab::img;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Untouched, so that even many of them cost no memory.
void *fresh(std::size_t bytes)
{
    void *p = std::aligned_alloc(img::kKeptAlignment, bytes);
    EXPECT_NE(p, nullptr);
    return p;
}

class KeptBlocks : public testing::Test
{
  protected:
    void SetUp() override { img::drop_kept_blocks(); }
    void TearDown() override { img::drop_kept_blocks(); }
};

// The tests of what is kept, for the builds that keep blocks.
#define SKIP_UNLESS_BLOCKS_ARE_KEPT()                                                              \
    if (!img::keeps_blocks())                                                                      \
    GTEST_SKIP() << "this build keeps no blocks (sanitizers): every release reaches the allocator"

TEST_F(KeptBlocks, ARequestTakesOnlyABlockOfAboutItsSize)
{
    SKIP_UNLESS_BLOCKS_ARE_KEPT();
    const struct {
        std::size_t kept, wanted;
        bool taken;
    } cases[] = {
        {4 * kMiB, 4 * kMiB, true},             // the same size
        {4 * kMiB, 4 * kMiB - 4096, true},      // a little smaller
        {4 * kMiB + 4096, 4 * kMiB, true},      // up to an eighth to spare
        {10 * kMiB, 8 * kMiB, false},           // more than an eighth to spare
        {4 * kMiB, 4 * kMiB + 65536, false},    // too small
        {4 * kMiB, img::kKeepFrom - 64, false}, // small requests go to the allocator
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.kept << " kept, " << c.wanted << " wanted");
        void *block = fresh(c.kept);
        img::release_block(block);
        ASSERT_EQ(img::kept_blocks(), 1);
        void *taken = img::take_kept_block(c.wanted);
        EXPECT_EQ(taken, c.taken ? block : nullptr);
        EXPECT_EQ(img::kept_blocks(), c.taken ? 0 : 1);
        std::free(taken);
        img::drop_kept_blocks();
    }
}

TEST_F(KeptBlocks, SmallBlocksGoBackToTheAllocator)
{
    img::release_block(fresh(img::kKeepFrom / 2));
    img::release_block(nullptr);
    EXPECT_EQ(img::kept_blocks(), 0);
    EXPECT_EQ(img::kept_bytes(), 0u);
}

TEST_F(KeptBlocks, TheBestFittingBlockIsTaken)
{
    SKIP_UNLESS_BLOCKS_ARE_KEPT();
    void *larger = fresh(4 * kMiB + 64 * 1024), *closer = fresh(4 * kMiB + 4096);
    img::release_block(larger);
    img::release_block(closer);
    void *taken = img::take_kept_block(4 * kMiB);
    EXPECT_EQ(taken, closer);
    std::free(taken);
}

TEST_F(KeptBlocks, TheOldestGoBackFirstAndTheBoundHolds)
{
    SKIP_UNLESS_BLOCKS_ARE_KEPT();
    std::vector<void *> released;
    for (int i = 0; i < 2 * img::kKeptSlots; ++i) {
        released.push_back(fresh(20 * kMiB));
        img::release_block(released.back());
        EXPECT_LE(img::kept_bytes(), img::kKeepAtMost);
        EXPECT_LE(img::kept_blocks(), img::kKeptSlots);
    }
    const int held = img::kept_blocks();
    EXPECT_EQ(held, 6); // six blocks of a little over 20 MiB fit 128 MiB
    // What is still held is the newest.
    for (int i = 0; i < held; ++i) {
        void *taken = img::take_kept_block(20 * kMiB);
        ASSERT_NE(taken, nullptr);
        bool among_newest = false;
        for (std::size_t n = released.size() - held; n < released.size(); ++n)
            among_newest = among_newest || released[n] == taken;
        EXPECT_TRUE(among_newest);
        std::free(taken);
    }
    EXPECT_EQ(img::take_kept_block(20 * kMiB), nullptr);
}

// A block taken and released again is kept again, once: the slot it left is
// free, and it comes out for one result only. (A block released twice without
// being taken in between is the caller's double free, which release_block
// passes on to the allocator for it or the sanitizer to report; no test
// commits one.)
TEST_F(KeptBlocks, ABlockTakenAndReleasedAgainIsKeptOnce)
{
    SKIP_UNLESS_BLOCKS_ARE_KEPT();
    void *block = fresh(4 * kMiB);
    img::release_block(block);
    ASSERT_EQ(img::take_kept_block(4 * kMiB), block);
    EXPECT_EQ(img::kept_blocks(), 0);
    img::release_block(block);
    EXPECT_EQ(img::kept_blocks(), 1);
    EXPECT_EQ(img::take_kept_block(4 * kMiB), block);
    EXPECT_EQ(img::take_kept_block(4 * kMiB), nullptr);
    std::free(block);
}

// Where nothing is kept, every block goes back to the allocator at once and
// no request is served from the keeping.
TEST_F(KeptBlocks, ABuildThatKeepsNoBlocksHoldsNone)
{
    if (img::keeps_blocks())
        GTEST_SKIP() << "this build keeps blocks";
    for (std::size_t bytes : {img::kKeepFrom / 2, 4 * kMiB, 20 * kMiB})
        img::release_block(fresh(bytes));
    EXPECT_EQ(img::kept_blocks(), 0);
    EXPECT_EQ(img::kept_bytes(), 0u);
    EXPECT_EQ(img::take_kept_block(4 * kMiB), nullptr);
}

} // namespace
