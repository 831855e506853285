/* Owning pointers to malloc/calloc memory, for working buffers that a
 * function releases on every path out of it. */
#ifndef DCTLAB_INTERNAL_HEAP_PTR_H
#define DCTLAB_INTERNAL_HEAP_PTR_H

#include <cstdlib>
#include <memory>

namespace dctlab
{

struct free_deleter {
    void operator()(void *block) const { std::free(block); }
};

/* heap_ptr<T[]> for an array, heap_ptr<T> for a single record. */
template <typename T> using heap_ptr = std::unique_ptr<T, free_deleter>;

} // namespace dctlab

#endif
