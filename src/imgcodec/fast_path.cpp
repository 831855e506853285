/* The fast kernels, their choice, and the tables they share. */
#include "fast_path.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernel_entries.h"
#include "matr.h"

namespace dctlab::img::fast
{
namespace
{

/* The fast forward transform, and why its quantised results are exact.
 *
 * It computes F = S·B·Sᵀ with the even/odd butterfly, where S is the basis
 * with its mirror symmetries imposed (S[r][7 - j] = ±S[r][j]; rows 0 and 4
 * of one magnitude, rows 2 and 6 of two), its constants taken from C. The
 * matrix library computes F_ref = fl((C·B)·Cᵀ), which quantum then rounds and
 * divides. With u = 2^-53, γn = nu/(1 - nu), M = max |B| <= 2000 (blocks
 * with larger samples take the library's products) and ‖·‖ the largest row
 * sum of absolute values:
 *
 * - Both computations use only sums and products by constants, and every
 *   sample reaches every coefficient by one path, whose weight is
 *   S[r][j]·S[c][i] (C[r][j]·C[c][i]). So the rounding errors of a path
 *   multiply its term by at most (1 + u)^n, n the roundings along it, and
 *   an output is off by at most γn·M·‖S‖² (Higham, linear algorithms). The
 *   butterfly rounds at most five times a pass (the odd rows of the second
 *   pass: a difference, a product and three sums, fewer where a sum is
 *   fused with its product; the first pass forms its sums and differences
 *   of whole samples exactly, in integers), the library eight times (a
 *   product and seven sums): n = 10 and 16.
 * - The exact values differ by S·B·Sᵀ - C·B·Cᵀ = Δ·B·Sᵀ + C·B·Δᵀ with
 *   Δ = S - C, at most M·‖Δ‖·(‖S‖ + ‖C‖).
 *
 * Together, |F_fast - F_ref| <= E = M·(γ10·‖S‖² + γ16·‖C‖² + ‖Δ‖·(‖S‖ +
 * ‖C‖)), about 5e-11 for the library's basis; the fast transform is used
 * only while E <= 2^-31.
 *
 * quantum's result for x = F_ref with |x| < 16384 is sign(x)·⌊τ⌋ with τ =
 * (|x| + e)/d + 1/2, e = 1/2 for an even divisor d and 0 for an odd one:
 * for odd d = 2m + 1, ⌊(roun(|x|) + m)/d⌋ = k exactly when |x| lies in
 * [(k - 1/2)d, (k + 1/2)d); for even d = 2m the interval starts half a unit
 * lower. The kernel computes t = fl(fl(|x̂|·fl(1/d)) + fl(e/d + 1/2)) from
 * its own x̂ (or, fused, the same with the product unrounded), within E/d +
 * 2^-37 of τ (|x̂|/d < 2^14, so the rounded reciprocal, product and sum add
 * under 2^-38 + 2^-39 + 2^-52). Wherever t lies further than 2^-30 from an
 * integer, ⌊t⌋ = ⌊τ⌋ and the result is exact; the coefficients closer than
 * that are recomputed the library's way. They are few but for the DC
 * coefficient, a multiple of 1/8 but for rounding, which lies on a boundary
 * in up to one block of eight. The kernels that take eight or four blocks
 * at once, one a lane, leave the butterfly's products by a0 and a4 (rows
 * and columns 0 and 4) out, one rounding fewer, and multiply by them in the
 * step instead:
 * t = fl(x̂'·s ± fl(e/d + 1/2)) with s = fl(fl(fl(1/d)·k_r)·k_c) within 3u·s
 * of k_r·k_c/d, which moves t by under 3u·2^14 < 2^-37 more, so the margin
 * of 2^-30 still holds. (Where x̂ and x differ in sign, |x| <= E and both
 * give 0.)
 *
 * The way back, B = Sᵀ·D·S against the library's (Cᵀ·D)·C, is bounded the
 * same way with column sums in place of row sums and M = 2^15, the largest
 * dequantised magnitude: E' = M·(γ10·‖Sᵀ‖² + γ16·‖Cᵀ‖² + ‖Δᵀ‖·(‖Sᵀ‖ +
 * ‖Cᵀ‖)), about 8e-10, used while E' <= 2^-29. dblToshrt turns only at the
 * half-integers; a sample computed further than 2^-28 from every one rounds
 * as the library's does, and a block with any sample closer is computed the
 * library's way. */
constexpr double kFastErrorLimit = 0x1p-31;
constexpr double kFastInverseErrorLimit = 0x1p-29;

/* The largest sum of absolute values along a row (or a column) of m. */
double row_sum_norm(const double (&m)[64], bool columns = false)
{
    double norm = 0;
    for (int r = 0; r < 8; ++r) {
        double sum = 0;
        for (int j = 0; j < 8; ++j)
            sum += std::fabs(columns ? m[8 * j + r] : m[8 * r + j]);
        norm = std::max(norm, sum);
    }
    return norm;
}

/* The butterfly's basis S, from the constants kept in b. */
void symmetric_basis(const Basis &b, double (&s)[64])
{
    const double even[4][4] = {{b.a0, b.a0, b.a0, b.a0},
                               {b.c2, b.c6, -b.c6, -b.c2},
                               {b.a4, -b.a4, -b.a4, b.a4},
                               {b.c6, -b.c2, b.c2, -b.c6}};
    for (int r = 0; r < 8; ++r)
        for (int j = 0; j < 4; ++j) {
            const double left = r % 2 == 0 ? even[r / 2][j] : b.odd[4 * (r / 2) + j];
            s[8 * r + j] = left;
            s[8 * r + 7 - j] = r % 2 == 0 ? left : -left;
        }
}

/* Whether E (inverse: E') stays within its limit for the basis in b. */
bool fast_bound_holds(const Basis &b, bool inverse)
{
    double s[64], delta[64];
    symmetric_basis(b, s);
    for (int i = 0; i < 64; ++i)
        delta[i] = s[i] - b.c[i];
    const auto gamma = [](double n) { return n * 0x1p-53 / (1 - n * 0x1p-53); };
    const double ns = row_sum_norm(s, inverse), nc = row_sum_norm(b.c, inverse),
                 nd = row_sum_norm(delta, inverse);
    const double m = inverse ? 32768.0 : kFastSampleLimit;
    const double e = m * (gamma(10) * ns * ns + gamma(16) * nc * nc + nd * (ns + nc));
    // A margin for the rounding of this very estimate.
    return e * 1.01 <= (inverse ? kFastInverseErrorLimit : kFastErrorLimit);
}

/* Fetched while the library is loaded, so that no call of the picture path
 * allocates for it and the basis is the matrix library's own, bit for bit. */
struct LoadedBasis {
    Basis basis{};
    bool ok = false;
    LoadedBasis()
    {
        if (std::memcmp(kZigzag.rank, REV_PERM_MAT, sizeof kZigzag.rank) != 0)
            return;
        matriceD *c = prepDCT();
        if (!c)
            return;
        std::memcpy(basis.c, c->ptr, sizeof basis.c);
        matKillD(c);
        for (int r = 0; r < 8; ++r)
            for (int k = 0; k < 8; ++k)
                basis.ct[8 * k + r] = basis.c[8 * r + k];
        basis.a0 = basis.c[0];
        basis.a4 = basis.c[8 * 4];
        basis.c2 = basis.c[8 * 2];
        basis.c6 = basis.c[8 * 2 + 1];
        for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j)
                basis.odd[4 * i + j] = basis.c[8 * (2 * i + 1) + j];
        basis.fast = fast_bound_holds(basis, false);
        basis.fast_inverse = fast_bound_holds(basis, true);
        for (int k = 0; k < 64; ++k) {
            basis.zigzag_by_columns[k] =
                static_cast<uint8_t>(8 * (PERM_MAT[k] % 8) + PERM_MAT[k] / 8);
            basis.ranks_by_columns[k] = REV_PERM_MAT[8 * (k % 8) + k / 8];
            const int r = PERM_MAT[k] / 8, c = PERM_MAT[k] % 8;
            basis.zigzag_packed[k] = static_cast<uint8_t>(32 * (c / 4) + 16 * (c % 4 / 2) +
                                                          8 * (r / 4) + 4 * (c % 2) + r % 4);
        }
        ok = true;
    }
};
const LoadedBasis loaded;

} // namespace

const Basis *basis()
{
    return loaded.ok ? &loaded.basis : nullptr;
}

void make_quantiser(const int16_t *divisors, Quantiser *q)
{
    const auto factor = [](int k) {
        return k == 0 ? loaded.basis.a0 : k == 4 ? loaded.basis.a4 : 1.0;
    };
    for (int i = 0; i < 64; ++i) {
        q->divisor[i] = divisors[i];
        q->half[i] = divisors[i] >> 1;
        q->reciprocal[i] = 1.0 / divisors[i];
        const double d = divisors[i];
        const int by_columns = 8 * (i % 8) + i / 8;
        q->step_by_columns[by_columns] = 1.0 / d;
        q->bias_by_columns[by_columns] = (divisors[i] % 2 == 0 ? 0.5 / d : 0.0) + 0.5;
        q->scaled_step[i] = (1.0 / d) * factor(i / 8) * factor(i % 8);
    }
}

// The kernel sets, each compiled from the kernel sources for its
// instruction set (kernel_set.h); the build makes the x86 ones only where it
// can, and says so with DCTLAB_X86_KERNELS.
#ifdef DCTLAB_X86_KERNELS
namespace avx512
{
constexpr char kName[] = "avx512";
const Kernels table = {kName,         forward_blocks, inverse_plane, requantise_blocks,
                       rgb_to_planes, planes_to_rgb};
} // namespace avx512
namespace avx2
{
constexpr char kName[] = "avx2";
const Kernels table = {kName,         forward_blocks, inverse_plane, requantise_blocks,
                       rgb_to_planes, planes_to_rgb};
} // namespace avx2
#endif
namespace portable
{
constexpr char kName[] = "portable";
const Kernels table = {kName,         forward_blocks, inverse_plane, requantise_blocks,
                       rgb_to_planes, planes_to_rgb};
} // namespace portable

namespace
{

struct Available {
    const Kernels *list[3] = {};
    std::size_t count = 0;
    const Kernels *chosen = nullptr;
    Available()
    {
#ifdef DCTLAB_X86_KERNELS
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
            __builtin_cpu_supports("avx512vbmi"))
            list[count++] = &avx512::table;
        if (__builtin_cpu_supports("avx2"))
            list[count++] = &avx2::table;
#endif
        list[count++] = &portable::table;
        chosen = list[0];
    }
};

Available &available()
{
    static Available a;
    return a;
}

} // namespace

const Kernels &kernels()
{
    return *available().chosen;
}

std::size_t kernel_count()
{
    return available().count;
}

const Kernels &kernel(std::size_t i)
{
    return *available().list[i < available().count ? i : 0];
}

void choose_kernel(std::size_t i)
{
    available().chosen = &kernel(i);
}

} // namespace dctlab::img::fast
