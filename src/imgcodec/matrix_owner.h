/* Ownership of the matrices the matrix library hands out, so that a
 * transform that stops half-way releases what it holds. */
#ifndef DCTLAB_IMGCODEC_MATRIX_OWNER_H
#define DCTLAB_IMGCODEC_MATRIX_OWNER_H

#include <cstdio>
#include <memory>

#include "matr.h"
#include "messages.h"

namespace dctlab::img
{

struct MatrixKiller {
    void operator()(matriceD *m) const { matKillD(m); }
};
using matrix_ptr = std::unique_ptr<matriceD, MatrixKiller>;

/* Takes a matrix the library returned. The library gives null, silently,
 * only when the allocator is exhausted (the operands here are always 8x8),
 * so a null is reported with the line for that. */
inline matrix_ptr take_matrix(matriceD *m)
{
    if (!m)
        std::puts(kNoMemory);
    return matrix_ptr(m);
}

} // namespace dctlab::img

#endif
