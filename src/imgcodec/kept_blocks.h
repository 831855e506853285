/* Large result blocks kept from one call for the next.
 *
 * A picture's planes, coefficient arrays and pixels are blocks of megabytes.
 * The allocator maps blocks that large afresh for every request and unmaps
 * them when freed, so each call of the picture path would take its results
 * from the kernel page by page, cleared — on a virtual machine that costs as
 * much as the conversion that fills them. The release functions therefore
 * keep the last few large blocks they are given, and the next result of a
 * fitting size takes one of them instead of fresh memory. A program that
 * converts many pictures of one size then moves its pixels and nothing
 * else; one that converts a single picture pays what it paid before.
 *
 * What is kept stays an ordinary block of the heap allocator: whoever takes
 * it may free it with free. At most kKeepAtMost bytes in kKeptSlots blocks
 * are held, the oldest given back first, and all of it at the program's
 * end. A block released twice is not kept twice but freed twice, so that the
 * allocator sees the double free; and a build under the address sanitizer
 * keeps nothing, so that the sanitizer sees every release. */
#ifndef DCTLAB_IMGCODEC_KEPT_BLOCKS_H
#define DCTLAB_IMGCODEC_KEPT_BLOCKS_H

#include <cstddef>

namespace dctlab::img
{

/* Blocks smaller than this go straight back to the allocator, whose own
 * heap keeps them well. */
constexpr std::size_t kKeepFrom = std::size_t{1} << 20;
constexpr std::size_t kKeepAtMost = std::size_t{128} << 20;
constexpr int kKeptSlots = 8;
/* Only blocks this aligned are kept, so that a taken block is as aligned as
 * a fresh result. */
constexpr std::size_t kKeptAlignment = 64;

/* A kept block of at least `bytes` bytes and not much more (at most an
 * eighth), taken out of the keeping; null when none fits. Its content is
 * whatever the last owner left in it. */
void *take_kept_block(std::size_t bytes) noexcept;

/* What the release functions do with each member: keep it when it is large
 * and aligned enough and there is room, after giving back the oldest blocks
 * as needed, else free it. Null is allowed. */
void release_block(void *block) noexcept;

/* Gives every kept block back to the allocator. */
void drop_kept_blocks() noexcept;

/* Whether this build keeps blocks at all: not under the address sanitizer,
 * nor where the allocator cannot tell a block's size. */
bool keeps_blocks() noexcept;

/* The bytes and blocks kept now. */
std::size_t kept_bytes() noexcept;
int kept_blocks() noexcept;

} // namespace dctlab::img

#endif
