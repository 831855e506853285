/* The passes of the even/odd butterfly, forward and back, for any of the
 * kernels' vectors of doubles (rows of eight lanes, or one block a lane);
 * fast_path.cpp bounds their error against the library's products. */
#ifndef DCTLAB_IMGCODEC_BUTTERFLY_PASSES_H
#define DCTLAB_IMGCODEC_BUTTERFLY_PASSES_H

#include "fast_path.h"
#include "kernel_set.h"
#include "kernel_vectors.h"

namespace dctlab::img::fast::DCTLAB_KERNEL_SET
{

/* The products of a butterfly pass, from the sums and differences of its
 * mirrored inputs: v[0], v[4] from e0 ± e1, v[2], v[6] from e3, e2 and
 * the odd rows from d. */
template <bool kScaled = true, typename V>
INLINE void butterfly_products(const Basis &bs, const V &sum, const V &difference, const V &e2,
                               const V &e3, const V (&d)[4], V (&v)[8])
{
    // Unscaled, rows 0 and 4 are left without their factors a0 and a4,
    // which the quantiser's scaled steps then supply.
    v[0] = kScaled ? bs.a0 * sum : sum;
    v[4] = kScaled ? bs.a4 * difference : difference;
    v[2] = bs.c6 * e2;
    add_product(v[2], bs.c2, e3);
    v[6] = -bs.c2 * e2;
    add_product(v[6], bs.c6, e3);
    UNROLL
    for (int i = 0; i < 4; ++i) {
        const double *o = bs.odd + 4 * i;
        V &odd = v[2 * i + 1];
        odd = o[0] * d[0];
        add_product(odd, o[1], d[1]);
        add_product(odd, o[2], d[2]);
        add_product(odd, o[3], d[3]);
    }
}

/* One pass of the butterfly over eight vectors, in place: v[r] becomes
 * Σj S[r][j]·v[j]. */
template <bool kScaled = true, typename V> INLINE void butterfly8(const Basis &bs, V (&v)[8])
{
    const V s0 = v[0] + v[7], s1 = v[1] + v[6], s2 = v[2] + v[5], s3 = v[3] + v[4];
    const V d[4] = {v[0] - v[7], v[1] - v[6], v[2] - v[5], v[3] - v[4]};
    const V e0 = s0 + s3, e1 = s1 + s2;
    butterfly_products<kScaled>(bs, e0 + e1, e0 - e1, s1 - s2, s0 - s3, d, v);
}

/* One pass of the transposed butterfly over eight vectors, in place: v[j]
 * becomes Σr S[r][j]·v[r]. */
template <typename V> INLINE void butterfly8_back(const Basis &bs, V (&v)[8])
{
    const V dc = bs.a0 * v[0], four = bs.a4 * v[4];
    const V p = dc + four, m = dc - four;
    V u = bs.c6 * v[6], w = -bs.c2 * v[6];
    add_product(u, bs.c2, v[2]);
    add_product(w, bs.c6, v[2]);
    const V e[4] = {p + u, m + w, m - w, p - u};
    V o[4];
    UNROLL
    for (int j = 0; j < 4; ++j) {
        o[j] = bs.odd[j] * v[1];
        add_product(o[j], bs.odd[4 + j], v[3]);
        add_product(o[j], bs.odd[8 + j], v[5]);
        add_product(o[j], bs.odd[12 + j], v[7]);
    }
    UNROLL
    for (int j = 0; j < 4; ++j) {
        v[j] = e[j] + o[j];
        v[7 - j] = e[j] - o[j];
    }
}

} // namespace dctlab::img::fast::DCTLAB_KERNEL_SET

#endif
