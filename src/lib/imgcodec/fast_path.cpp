/* The fast kernels, their choice, and the tables they share. */
#include "fast_path.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "colour_formulae.h"
#include "geometry.h"
#include "matr.h"
#include "quant_matrix.h"

namespace dctlab::img::fast
{
namespace
{

/* Fetched while the library is loaded, so that no call of the picture path
 * allocates for it and the basis is the matrix library's own, bit for bit. */
struct LoadedBasis {
    Basis basis{};
    bool ok = false;
    LoadedBasis()
    {
        matriceD *c = prepDCT();
        if (!c)
            return;
        std::memcpy(basis.c, c->ptr, sizeof basis.c);
        matKillD(c);
        for (int r = 0; r < 8; ++r)
            for (int k = 0; k < 8; ++k)
                basis.ct[8 * k + r] = basis.c[8 * r + k];
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
    for (int i = 0; i < 64; ++i) {
        q->divisor[i] = divisors[i];
        q->half[i] = divisors[i] >> 1;
        q->reciprocal[i] = 1.0 / divisors[i];
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define DCTLAB_X86_KERNELS 1
namespace avx512
{
#define KERNEL __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))
#define KERNEL_AVX512BW 1
#define KERNEL_PSHUFB 1
constexpr char kName[] = "avx512";
#include "fast_kernels.inc"
#undef KERNEL_PSHUFB
#undef KERNEL_AVX512BW
#undef KERNEL
} // namespace avx512
namespace avx2
{
#define KERNEL __attribute__((target("avx2")))
#define KERNEL_PSHUFB 1
constexpr char kName[] = "avx2";
#include "fast_kernels.inc"
#undef KERNEL_PSHUFB
#undef KERNEL
} // namespace avx2
#endif
namespace portable
{
#define KERNEL
constexpr char kName[] = "portable";
#include "fast_kernels.inc"
#undef KERNEL
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
            __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
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
