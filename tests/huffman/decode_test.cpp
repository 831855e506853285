// Rebuilding the tree, filling the lookup table and decoding symbol by
// symbol, and the rebuild's behaviour on corrupt shapes.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "caller.h"
#include "fault_injection.h"

namespace
{

constexpr uint32_t entries = uint32_t{1} << 22;

struct Rebuilt {
    HUFFNODE *root = nullptr;
    int shape_pos = 0;
    int symbol_pos = 0;
    CodeTable codes{};
};

Rebuilt rebuild(const std::string &shape, const std::string &symbols)
{
    Rebuilt r;
    const Bytes leaves(symbols.begin(), symbols.end());
    r.root = dfr(shape.c_str(), &r.shape_pos, leaves.empty() ? nullptr : leaves.data(),
                 &r.symbol_pos, nullptr);
    EXPECT_EQ(dfs_final(r.root, 0, 0, r.codes.data()), 1);
    return r;
}

bool entries_are(const HUFFLOOKUP *table, uint32_t from, uint32_t to, uint8_t symbol, int length)
{
    return std::all_of(table + from, table + to, [&](const HUFFLOOKUP &e) {
        return e.symbol == symbol && e.length == length;
    });
}

TEST(Decode, AbracadabraRebuildsFillsAndDecodes)
{
    HUFFLOOKUP *table = lookup_table(); // allocated once, outside the counts
    ASSERT_NE(table, nullptr);
    fi::reset();
    Rebuilt r = rebuild("101100100", "acdbr");
    ASSERT_NE(r.root, nullptr);
    EXPECT_EQ(r.shape_pos, 9);
    EXPECT_EQ(r.symbol_pos, 5);
    EXPECT_EQ(r.root->parent, nullptr);
    EXPECT_EQ(r.root->weight, -1);
    EXPECT_EQ(r.root->child0->symbol, 'a');
    EXPECT_EQ(r.root->child0->weight, 0);
    EXPECT_EQ(r.root->child0->parent, r.root);
    EXPECT_EQ(r.root->child1->child1->child0->parent, r.root->child1->child1);
    const std::pair<char, HUFFCODE> want[] = {
        {'a', {0, 1, 0}}, {'c', {4, 3, 0}}, {'d', {5, 3, 0}}, {'b', {6, 3, 0}}, {'r', {7, 3, 0}}};
    for (const auto &[symbol, code] : want) {
        EXPECT_EQ(r.codes[symbol].code, code.code) << symbol;
        EXPECT_EQ(r.codes[symbol].length, code.length) << symbol;
    }

    for (char s : std::string("acdbr"))
        EXPECT_EQ(refill(s, r.codes[s].code, r.codes[s].length, table), 1);
    EXPECT_TRUE(entries_are(table, 0, 1u << 21, 'a', 1));
    EXPECT_TRUE(entries_are(table, 4u << 19, 5u << 19, 'c', 3));
    EXPECT_TRUE(entries_are(table, 7u << 19, entries, 'r', 3));

    const uint32_t words[] = {0x6E8ADC00u, 0};
    uint32_t window = words[0];
    int index = 1, free_bits = 32;
    HUFFLOOKUP entry{};
    std::string decoded;
    for (int i = 0; i < 11; ++i)
        decoded += static_cast<char>(decosymbol(table, words, &window, &entry, &index, &free_bits));
    EXPECT_EQ(decoded, "abracadabra");
    EXPECT_EQ(entry.symbol, 'a');
    EXPECT_EQ(entry.length, 1);
    EXPECT_EQ(index, 1);
    EXPECT_EQ(free_bits, 9);

    EXPECT_EQ(free_tree(r.root), 0);
    EXPECT_EQ(fi::live_blocks(), 0);
}

TEST(Decode, SingleLeafFillsTheTableAndConsumesNothing)
{
    Rebuilt r = rebuild("0", "Q");
    ASSERT_NE(r.root, nullptr);
    EXPECT_EQ(r.codes['Q'].length, 0);
    HUFFLOOKUP *table = lookup_table();
    refill('Q', 0, 0, table);
    EXPECT_TRUE(entries_are(table, 0, entries, 'Q', 0));
    const uint32_t words[] = {0xFFFFFFFFu, 0};
    uint32_t window = words[0];
    int index = 1, free_bits = 32;
    HUFFLOOKUP entry{};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(decosymbol(table, words, &window, &entry, &index, &free_bits), 'Q');
    EXPECT_EQ(index, 1);
    EXPECT_EQ(free_bits, 32);
    EXPECT_EQ(window, 0xFFFFFFFFu);
    free_tree(r.root);
}

TEST(Decode, CorruptShapesAreWalkedAndReleasedSafely)
{
    struct Case {
        std::string shape;
        int nodes;          // built before the shape ran out; 0: no tree
        std::string leaves; // bytes that get codes
    };
    const std::vector<Case> cases{
        {"", 0, ""},
        {"x101", 0, ""},
        {"1", 1, ""},                           // root only
        {"10", 2, "a"},                         // child1 missing
        {"110", 3, "a"},                        // child1 missing at two levels
        {"11010", 5, "ab"},                     // the root's child1 missing
        {"1x00", 1, ""},                        // a stray character ends the shape
        {std::string(100000, '1'), 100000, ""}, // deeper than any stack
    };
    for (const Case &c : cases) {
        const std::string name = c.shape.substr(0, 8);
        fi::reset();
        Rebuilt r = rebuild(c.shape, "abc");
        EXPECT_EQ(r.root != nullptr, c.nodes > 0) << name;
        EXPECT_EQ(r.shape_pos, c.nodes) << name;
        EXPECT_EQ(fi::live_blocks(), c.nodes) << name;
        int coded = 0;
        for (const HUFFCODE &code : r.codes)
            coded += code.length > 0 ? 1 : 0;
        EXPECT_EQ(coded, static_cast<int>(c.leaves.size())) << name;
        for (char s : c.leaves)
            EXPECT_GT(r.codes[s].length, 0) << name << " " << s;
        EXPECT_EQ(free_tree(r.root), 0);
        EXPECT_EQ(fi::live_blocks(), 0) << name;
    }
}

TEST(Decode, RefillIgnoresCodesTheTableCannotHold)
{
    HUFFLOOKUP *table = lookup_table();
    const struct {
        int code, length;
    } bad[] = {{0, 23}, {0, -1}, {0, 40}, {4, 2}, {-1, 5}, {1 << 22, 22}};
    for (const auto &b : bad)
        EXPECT_EQ(refill('z', b.code, b.length, table), 1);
    EXPECT_TRUE(entries_are(table, 0, entries, 0, 0));
    refill(0x1FF, (1 << 22) - 1, 22, table); // the last entry, symbol's low 8 bits
    EXPECT_TRUE(entries_are(table, entries - 1, entries, 0xFF, 22));
}

TEST(Decode, RebuildAllocationFailureReleasesThePartialTree)
{
    HUFFNODE *root = nullptr;
    const Bytes leaves = bytes_of("acdbr");
    const long sites = fi::each_allocation_failing(
        [&] {
            int shape_pos = 0, symbol_pos = 0;
            root = dfr("101100100", &shape_pos, leaves.data(), &symbol_pos, nullptr);
        },
        [&](long n) {
            EXPECT_EQ(root, nullptr) << "allocation " << n;
            EXPECT_EQ(fi::live_blocks(), 0) << "allocation " << n;
        });
    EXPECT_EQ(sites, 9);
    free_tree(root);
}

} // namespace
