#include "byte_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace dctlab::container
{

size_t read_fully(ByteSource &in, uint8_t *into, size_t size)
{
    size_t got = 0;
    while (got < size) {
        const size_t n = in.read(into + got, size - size_t{got});
        if (n == 0)
            break;
        got += n;
    }
    return got;
}

size_t MemorySource::read(void *into, size_t size)
{
    const size_t n = std::min(size, size_ - at_);
    if (n > 0)
        std::memcpy(into, data_ + at_, n);
    at_ += n;
    return n;
}

FileSource::FileSource(std::FILE *file) : file_(file)
{
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
        const long at = std::ftell(file);
        remaining_ = static_cast<int64_t>(info.st_size) - (at > 0 ? at : 0);
    }
}

const uint8_t *MemorySource::borrow(size_t size)
{
    if (size > size_ - at_)
        return nullptr;
    const uint8_t *at = data_ + at_;
    at_ += size;
    return at;
}

size_t FileSource::read(void *into, size_t size)
{
    const size_t n = std::fread(into, 1, size, file_);
    if (remaining_ >= 0)
        remaining_ -= static_cast<int64_t>(n);
    return n;
}

int64_t FileSource::remaining() const
{
    return remaining_ >= 0 ? remaining_ : -1;
}

bool MemorySink::write(const void *from, size_t size)
{
    const auto *p = static_cast<const uint8_t *>(from);
    bytes.insert(bytes.end(), p, p + size);
    return true;
}

bool BufferSink::write(const void *from, size_t size)
{
    if (size == 0)
        return true;
    uint8_t *to = room(size);
    if (to)
        std::memcpy(to, from, size);
    return to != nullptr;
}

uint8_t *BufferSink::room(size_t size)
{
    if (size > capacity_ - size_)
        return nullptr;
    size_ += size;
    return data_ + (size_ - size);
}

FileSink::FileSink(std::FILE *file) : file_(file)
{
    struct stat info;
    // Bytes the stream holds unwritten would land after the ones written at
    // their places.
    if (std::fflush(file) == 0 && fstat(fileno(file), &info) == 0 && S_ISREG(info.st_mode)) {
        const off_t at = ftello(file);
        positional_ = at >= 0;
        start_ = at >= 0 ? static_cast<uint64_t>(at) : 0;
    }
}

bool FileSink::write(const void *from, size_t size)
{
    return size == 0 || std::fwrite(from, 1, size, file_) == size;
}

bool FileSink::write_at(uint64_t offset, const void *from, size_t size)
{
    const auto *p = static_cast<const uint8_t *>(from);
    while (size > 0) {
        if (offset > static_cast<uint64_t>(INT64_MAX) - start_)
            return false;
        const ssize_t n = ::pwrite(fileno(file_), p, size, static_cast<off_t>(start_ + offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace dctlab::container
