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
#include "short_decode.h"

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

TEST(HuffmanAllocation, ShortDecoderWithoutRoomDecodesAllOrNothing)
{
    // a = 0 and b = 1, so that any bits decode: four streams of four words,
    // 128 symbols each, copied into room the decoder allocates.
    std::array<HUFFCODE, 256> codes{};
    codes['a'] = HUFFCODE{0, 1, 0};
    codes['b'] = HUFFCODE{1, 1, 0};
    const uint8_t leaves[] = {'a', 'b'};
    std::array<uint8_t, 64> streams;
    for (size_t i = 0; i < streams.size(); ++i)
        streams[i] = static_cast<uint8_t>(37 * i + 11);
    const size_t bytes[4] = {16, 16, 16, 16};
    const long sites = fi::each_allocation_failing(
        [&] {
            dctlab::huffman::ShortDecoder decoder;
            ASSERT_TRUE(decoder.build(codes.data(), leaves, 2));
            std::array<uint8_t, 512> out{};
            std::array<uint64_t, 4> used{};
            decoder.decode_four(streams.data(), bytes, out.data(), out.size(), used.data());
            for (int k = 0; k < 4; ++k) {
                if (used[0] == UINT64_MAX) {
                    EXPECT_EQ(used[k], UINT64_MAX) << k;
                    continue;
                }
                ASSERT_EQ(used[k], 128u) << k;
                for (size_t i = 0; i < 128; ++i) {
                    const uint8_t byte = streams[16 * k + 4 * (i / 32) + 3 - (i % 32) / 8];
                    ASSERT_EQ(out[128 * k + i], (byte >> (7 - i % 8)) & 1 ? 'b' : 'a')
                        << k << " " << i;
                }
            }
        },
        [](long) {});
    EXPECT_GE(sites, 1);
}

} // namespace
