#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capture.h"
#include "fault_injection.h"
#include "matr.h"

extern "C" double matr_c_orthonormality_error(void);

namespace
{

using Block = std::array<double, 64>;
using Owned = std::unique_ptr<matriceD, void (*)(matriceD *)>;

Owned own(matriceD *m)
{
    return Owned(m, matKillD);
}

matriceD view(Block &b)
{
    return matriceD{8, 8, b.data()};
}

Block copy_of(const matriceD *m)
{
    Block b{};
    std::copy(m->ptr, m->ptr + 64, b.begin());
    return b;
}

// Elements spread over several orders of magnitude, so that the rounding of a
// sum depends on the order in which its products are added.
Block random_block(unsigned seed, double range)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> value(-range, range);
    std::uniform_int_distribution<int> exponent(-8, 8);
    Block b{};
    for (double &e : b)
        e = std::ldexp(value(gen), exponent(gen));
    return b;
}

double max_deviation(const matriceD *m, const Block &expected)
{
    double worst = 0.0;
    for (int i = 0; i < 64; ++i)
        worst = std::max(worst, std::fabs(m->ptr[i] - expected[i]));
    return worst;
}

Block identity()
{
    Block b{};
    for (int i = 0; i < 8; ++i)
        b[9 * i] = 1.0;
    return b;
}

TEST(Basis, HoldsTheScaledCosines)
{
    const Owned c = own(prepDCT());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->x, 8);
    EXPECT_EQ(c->y, 8);
    const long double pi = 3.141592653589793238462643383279502884L;
    for (int u = 0; u < 8; ++u)
        for (int n = 0; n < 8; ++n) {
            const long double a = u == 0 ? std::sqrt(0.125L) : 0.5L;
            const long double want = a * std::cos((2 * n + 1) * u * pi / 16);
            EXPECT_NEAR(c->ptr[8 * u + n], static_cast<double>(want), 1e-15) << u << "," << n;
        }
}

TEST(Basis, IsOrthonormalOnBothSides)
{
    const Owned c = own(prepDCT());
    const Owned ct = own(matTranspondD(c.get()));
    const Owned left = own(matMultD(c.get(), ct.get()));
    const Owned right = own(matMultD(ct.get(), c.get()));
    EXPECT_LE(max_deviation(left.get(), identity()), 1e-15);
    EXPECT_LE(max_deviation(right.get(), identity()), 1e-15);
}

TEST(Basis, IsTheSameForACallerInC)
{
    const double err = matr_c_orthonormality_error();
    EXPECT_GE(err, 0.0);
    EXPECT_LE(err, 1e-15);
}

TEST(Basis, EveryCallGivesItsOwnCopy)
{
    const Owned first = own(prepDCT());
    const Block original = copy_of(first.get());
    first->ptr[0] = 99.0;
    const Owned second = own(prepDCT());
    EXPECT_NE(first->ptr, second->ptr);
    EXPECT_EQ(copy_of(second.get()), original);
}

// (C*B)*C^T, the way the block transforms call the library.
Owned forward(const matriceD *b)
{
    const Owned c = own(prepDCT());
    const Owned ct = own(matTranspondD(c.get()));
    const Owned half = own(matMultD(c.get(), b));
    return own(matMultD(half.get(), ct.get()));
}

Owned inverse(const matriceD *f)
{
    const Owned c = own(prepDCT());
    const Owned ct = own(matTranspondD(c.get()));
    const Owned half = own(matMultD(ct.get(), f));
    return own(matMultD(half.get(), c.get()));
}

class ConstantBlock : public testing::TestWithParam<double>
{
};

TEST_P(ConstantBlock, TransformsToEightTimesTheValueAtTheOrigin)
{
    const double s = GetParam();
    Block b{};
    b.fill(s);
    matriceD in = view(b);
    const Owned f = forward(&in);
    Block expected{};
    expected[0] = 8 * s;
    EXPECT_LE(max_deviation(f.get(), expected), 1e-14 * (1 + std::fabs(s)));
    EXPECT_EQ(copy_of(&in), b);
}

INSTANTIATE_TEST_SUITE_P(Values, ConstantBlock, testing::Values(0.0, 1.0, -128.0, 127.5, 255.0));

TEST(Transform, InverseUndoesForward)
{
    for (unsigned seed = 1; seed <= 20; ++seed) {
        Block b = random_block(seed, 4.0);
        matriceD in = view(b);
        const Owned back = inverse(forward(&in).get());
        EXPECT_LE(max_deviation(back.get(), b), 1e-11) << "seed " << seed;
    }
}

TEST(Product, EqualsTheDirectSumInIncreasingK)
{
    int order_sensitive = 0;
    for (unsigned seed = 1; seed <= 20; ++seed) {
        Block a = random_block(seed, 1.0);
        Block b = random_block(seed + 1000, 1.0);
        matriceD ma = view(a);
        matriceD mb = view(b);
        const Owned p = own(matMultD(&ma, &mb));
        ASSERT_NE(p, nullptr);
        for (int r = 0; r < 8; ++r)
            for (int c = 0; c < 8; ++c) {
                double sum = 0.0;
                double reversed = 0.0;
                for (int k = 0; k < 8; ++k) {
                    sum += a[8 * r + k] * b[8 * k + c];
                    reversed += a[8 * r + 7 - k] * b[8 * (7 - k) + c];
                }
                ASSERT_EQ(p->ptr[8 * r + c], sum) << "seed " << seed << " at " << r << "," << c;
                order_sensitive += sum != reversed;
            }
        EXPECT_EQ(copy_of(&ma), a);
        EXPECT_EQ(copy_of(&mb), b);
    }
    // The data must be able to tell one summation order from another.
    EXPECT_GT(order_sensitive, 0);
}

TEST(Transpose, SwapsRowsAndColumns)
{
    Block m = random_block(7, 100.0);
    matriceD in = view(m);
    const Owned t = own(matTranspondD(&in));
    ASSERT_NE(t, nullptr);
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c)
            ASSERT_EQ(t->ptr[8 * c + r], m[8 * r + c]);
    EXPECT_EQ(copy_of(&in), m);
}

TEST(Display, PrintsEightRowsInAFixedFormat)
{
    Block b{};
    b[0] = 1.0;
    b[1] = -2.5;
    b[7] = 3.14159265;
    b[8 * 3 + 4] = 123456.5;
    b[8 * 7 + 0] = -0.00004;
    b[63] = 350.0;
    const matriceD m = view(b);
    const std::string zeros = "    0.0000     0.0000     0.0000     0.0000     0.0000     0.0000"
                              "     0.0000     0.0000\n";
    const std::string expected =
        "    1.0000    -2.5000     0.0000     0.0000     0.0000     0.0000     0.0000     "
        "3.1416\n" +
        zeros + zeros +
        "    0.0000     0.0000     0.0000     0.0000 123456.5000     0.0000     0.0000     "
        "0.0000\n" +
        zeros + zeros + zeros +
        "   -0.0000     0.0000     0.0000     0.0000     0.0000     0.0000     0.0000   350.0000\n";
    EXPECT_EQ(stdout_of([&] { matDispD(&m); }), expected);
}

TEST(Display, PrintsNothingForWhatIsNotAnEightByEightMatrix)
{
    Block b{};
    const matriceD narrow{8, 4, b.data()};
    const matriceD empty{8, 8, nullptr};
    EXPECT_EQ(stdout_of([] { matDispD(nullptr); }), "");
    EXPECT_EQ(stdout_of([&] { matDispD(&narrow); }), "");
    EXPECT_EQ(stdout_of([&] { matDispD(&empty); }), "");
}

class OtherSize : public testing::TestWithParam<std::pair<int, int>>
{
};

TEST_P(OtherSize, IsNotMade)
{
    fi::reset();
    EXPECT_EQ(matMakeD(GetParam().first, GetParam().second), nullptr);
    EXPECT_EQ(fi::allocations(), 0);
}

INSTANTIATE_TEST_SUITE_P(Dimensions, OtherSize,
                         testing::Values(std::pair{0, 0}, std::pair{8, 7}, std::pair{7, 8},
                                         std::pair{16, 16}, std::pair{-8, -8}, std::pair{1, 64},
                                         std::pair{64, 1}, std::pair{8, 65544}));

TEST(Operands, NullOrMisshapenGiveNullWithoutAllocating)
{
    Block b = identity();
    const matriceD good = view(b);
    const matriceD narrow{8, 4, b.data()};
    const matriceD flat{4, 8, b.data()};
    const matriceD tall{16, 4, b.data()};
    const matriceD empty{8, 8, nullptr};
    const matriceD *none = nullptr;
    for (const matriceD *bad : {none, &narrow, &flat, &tall, &empty}) {
        fi::reset();
        EXPECT_EQ(matMultD(bad, &good), nullptr);
        EXPECT_EQ(matMultD(&good, bad), nullptr);
        EXPECT_EQ(matTranspondD(bad), nullptr);
        EXPECT_EQ(fi::allocations(), 0);
    }
    matKillD(nullptr);
}

TEST(Allocation, FailureAtEverySiteGivesNullAndLeaksNothing)
{
    const Owned c = own(prepDCT());
    const std::vector<std::pair<const char *, std::function<matriceD *()>>> operations = {
        {"matMakeD", [] { return matMakeD(8, 8); }},
        {"prepDCT", [] { return prepDCT(); }},
        {"matMultD", [&] { return matMultD(c.get(), c.get()); }},
        {"matTranspondD", [&] { return matTranspondD(c.get()); }},
    };
    // Named apart, since lambdas may not capture structured bindings
    // before C++20 (clang refuses them).
    for (const auto &entry : operations) {
        const char *const name = entry.first;
        const std::function<matriceD *()> &operation = entry.second;
        matriceD *result = nullptr;
        long sites = 0;
        const std::string printed = stdout_of([&] {
            sites = fi::each_allocation_failing([&] { result = operation(); },
                                                [&](long n) {
                                                    EXPECT_EQ(result, nullptr) << name << " " << n;
                                                    EXPECT_EQ(fi::live_blocks(), 0)
                                                        << name << " " << n;
                                                });
        });
        EXPECT_EQ(sites, 2) << name;
        EXPECT_EQ(printed, "") << name;
        // The run that no failure reached made a whole matrix; releasing it
        // gives back both blocks.
        ASSERT_NE(result, nullptr) << name;
        EXPECT_EQ(fi::live_blocks(), 2) << name;
        matKillD(result);
        EXPECT_EQ(fi::live_blocks(), 0) << name;
    }
}

} // namespace
