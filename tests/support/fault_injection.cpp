#include "fault_injection.h"

#include <cstddef>
#include <cstdio>
#include <mutex>
#include <unordered_set>

extern "C" {
void *__real_malloc(std::size_t size);
void *__real_calloc(std::size_t count, std::size_t size);
void *__real_realloc(void *block, std::size_t size);
void *__real_aligned_alloc(std::size_t alignment, std::size_t size);
void __real_free(void *block);
std::FILE *__real_fopen(const char *path, const char *mode);
int __real_fclose(std::FILE *file);
}

namespace
{

long calls = 0;
long fail_at = 0;
// Programs with threads (the container's) allocate from several at once.
std::mutex guard;
// The sets allocate through operator new, which libstdc++ resolves to the
// unwrapped allocator, so tracking never recurses into the wrappers.
std::unordered_set<void *> &blocks()
{
    static std::unordered_set<void *> set;
    return set;
}
std::unordered_set<std::FILE *> &files()
{
    static std::unordered_set<std::FILE *> set;
    return set;
}

bool next_fails()
{
    ++calls;
    return fail_at != 0 && calls == fail_at;
}

void *track(void *block)
{
    if (block)
        blocks().insert(block);
    return block;
}

} // namespace

namespace fi
{
void reset()
{
    std::lock_guard<std::mutex> hold(guard);
    calls = 0;
    fail_at = 0;
    blocks().clear();
    files().clear();
}
void fail_nth(long n)
{
    std::lock_guard<std::mutex> hold(guard);
    fail_at = n == 0 ? 0 : calls + n;
}
long allocations()
{
    std::lock_guard<std::mutex> hold(guard);
    return calls;
}
long live_blocks()
{
    std::lock_guard<std::mutex> hold(guard);
    return static_cast<long>(blocks().size());
}
long open_files()
{
    std::lock_guard<std::mutex> hold(guard);
    return static_cast<long>(files().size());
}
} // namespace fi

extern "C" {

void *__wrap_malloc(std::size_t size)
{
    std::lock_guard<std::mutex> hold(guard);
    if (next_fails())
        return nullptr;
    return track(__real_malloc(size));
}

void *__wrap_calloc(std::size_t count, std::size_t size)
{
    std::lock_guard<std::mutex> hold(guard);
    if (next_fails())
        return nullptr;
    return track(__real_calloc(count, size));
}

void *__wrap_realloc(void *block, std::size_t size)
{
    std::lock_guard<std::mutex> hold(guard);
    if (next_fails())
        return nullptr;
    void *moved = __real_realloc(block, size);
    if (moved) {
        blocks().erase(block);
        track(moved);
    }
    return moved;
}

void *__wrap_aligned_alloc(std::size_t alignment, std::size_t size)
{
    std::lock_guard<std::mutex> hold(guard);
    if (next_fails())
        return nullptr;
    return track(__real_aligned_alloc(alignment, size));
}

void __wrap_free(void *block)
{
    std::lock_guard<std::mutex> hold(guard);
    if (block)
        blocks().erase(block);
    __real_free(block);
}

std::FILE *__wrap_fopen(const char *path, const char *mode)
{
    std::lock_guard<std::mutex> hold(guard);
    std::FILE *file = __real_fopen(path, mode);
    if (file)
        files().insert(file);
    return file;
}

int __wrap_fclose(std::FILE *file)
{
    std::lock_guard<std::mutex> hold(guard);
    files().erase(file);
    return __real_fclose(file);
}
}
