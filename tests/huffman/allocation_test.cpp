// Allocation failures of the encoder as a caller meets them with real files:
// form_tree writes nothing and leaves its stream open for the caller; encode
// writes nothing, returns 0 and still closes its output, so no file stays
// open and nothing stays allocated.
#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "fault_injection.h"
#include "huffenc.h"

namespace
{

const char kText[] = "abracadabra, the table and its words";

std::string temp_path(const char *name)
{
    return testing::TempDir() + "dctlab_huffman_allocation_" + name;
}

long file_size(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (!f)
        return -1;
    std::fseek(f, 0, SEEK_END);
    const long size = std::ftell(f);
    std::fclose(f);
    return size;
}

std::array<int32_t, 256> counts_of(const std::string &text)
{
    std::array<int32_t, 256> counts{};
    for (unsigned char c : text)
        ++counts[c];
    return counts;
}

TEST(HuffmanAllocation, FormTreeWritesNothingAndLeavesTheStreamToTheCaller)
{
    const std::string out_path = temp_path("tree");
    const auto counts = counts_of(kText);
    std::array<HUFFCODE, 256> codes{};
    long open_after = -1;
    const long sites = fi::each_allocation_failing(
        [&] {
            std::FILE *out = std::fopen(out_path.c_str(), "wb");
            ASSERT_NE(out, nullptr);
            form_tree(out, counts.data(), 256, codes.data());
            open_after = fi::open_files();
            std::fclose(out);
        },
        [&](long n) {
            EXPECT_EQ(open_after, 1) << "allocation " << n;
            EXPECT_EQ(file_size(out_path), 0) << "allocation " << n;
            EXPECT_EQ(fi::live_blocks(), 0) << "allocation " << n;
        });
    EXPECT_GT(sites, 0);
    std::remove(out_path.c_str());
}

TEST(HuffmanAllocation, EncodeClosesItsOutputOnEveryFailure)
{
    const std::string in_path = temp_path("input"), out_path = temp_path("encoded");
    {
        std::FILE *in = std::fopen(in_path.c_str(), "wb");
        ASSERT_NE(in, nullptr);
        std::fputs(kText, in);
        std::fclose(in);
    }
    std::array<HUFFCODE, 256> codes{};
    {
        std::FILE *table = std::tmpfile();
        ASSERT_NE(table, nullptr);
        const auto counts = counts_of(kText);
        form_tree(table, counts.data(), 256, codes.data());
        std::fclose(table);
    }
    int result = -1;
    const long sites = fi::each_allocation_failing(
        [&] {
            std::FILE *in = std::fopen(in_path.c_str(), "rb");
            std::FILE *out = std::fopen(out_path.c_str(), "wb");
            ASSERT_TRUE(in && out);
            result = encode(in, codes.data(), out); // closes out
            std::fclose(in);
        },
        [&](long n) {
            EXPECT_EQ(result, 0) << "allocation " << n;
            EXPECT_EQ(fi::open_files(), 0) << "allocation " << n;
            EXPECT_EQ(fi::live_blocks(), 0) << "allocation " << n;
            EXPECT_EQ(file_size(out_path), 0) << "allocation " << n;
        });
    EXPECT_GT(sites, 0);
    EXPECT_EQ(result, 1) << "the run without a failure encodes";
    EXPECT_GT(file_size(out_path), 0);
    std::remove(in_path.c_str());
    std::remove(out_path.c_str());
}

} // namespace
