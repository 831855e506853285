/* Where the picture path's results live: sample arrays and pixel blocks,
 * zeroed or to be written in full, aligned, with large pages asked for
 * behind large ones and the blocks that earlier results left behind
 * (kept_blocks.h) taken again. Each failure prints the memory line. */
#ifndef DCTLAB_IMGCODEC_RESULT_MEMORY_H
#define DCTLAB_IMGCODEC_RESULT_MEMORY_H

#include <cstddef>
#include <cstdint>

namespace dctlab::img
{

/* n zero samples, or null after the line. */
int16_t *new_samples(std::size_t n);

/* Room for a result that the caller then writes in full, or null after the
 * line; 64-byte aligned, so that no vector of a row straddles two cache
 * lines. A large result takes a block that an earlier result of about its
 * size left behind (kept_blocks.h), or else a fresh one with large pages
 * asked for behind it. */
void *new_written_bytes(std::size_t bytes);

/* n samples for a result whose every sample the caller then writes: their
 * content is then what zero-filled ones would hold after the writing, and
 * the allocator need not clear them first. Null after the line. */
int16_t *new_written_samples(std::size_t n);

} // namespace dctlab::img

#endif
