// Where the container's reader and writer take their bytes from and put
// them: memory, or a stdio stream (a file, a pipe).
#ifndef DCTLAB_CONTAINER_BYTE_IO_H
#define DCTLAB_CONTAINER_BYTE_IO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace dctlab::container
{

// Where a reader takes its bytes from.
class ByteSource
{
  public:
    virtual ~ByteSource() = default;
    // Reads up to `size` bytes; returns how many (0 at the end or on error).
    virtual size_t read(void *into, size_t size) = 0;
    // How many bytes are left, when the source knows; -1 when it does not.
    virtual int64_t remaining() const = 0;
    virtual bool failed() const { return false; }
    // The next `size` bytes where the source holds them in memory already,
    // valid until the source is destroyed, and moves past them; null, having
    // consumed nothing, when it cannot. Saves a copy of every block.
    virtual const uint8_t *borrow(size_t size)
    {
        (void)size;
        return nullptr;
    }
    // Whether borrow can lend: the source holds all its bytes in memory.
    virtual bool lends() const { return false; }
    // Told by pack and unpack that they need none of the bytes before
    // `offset` (counted from where they began taking) any more, lent ones
    // included: a source over a mapped file can give their pages back as the
    // work goes on, beside the threads, instead of all of them at the end.
    virtual void release_before(uint64_t offset) { (void)offset; }
};

class ByteSink
{
  public:
    virtual ~ByteSink() = default;
    virtual bool write(const void *from, size_t size) = 0;
    // Whether write_at works: a file written at any place. A writer then
    // uses write_at alone, from any thread, and on failure the sink may
    // hold any part of what was to come.
    virtual bool positional() const { return false; }
    // Writes `size` bytes at `offset` from where the sink began.
    virtual bool write_at(uint64_t offset, const void *from, size_t size)
    {
        (void)offset;
        (void)from;
        (void)size;
        return false;
    }
    // Whether the bytes written last can be taken back: a reader may then
    // write a block while it checks it, and take it back if it fails.
    virtual bool takes_back() const { return false; }
    // Takes back the last `size` bytes written, where takes_back.
    virtual void take_back(size_t size) { (void)size; }
    // The sink's own memory for its next `size` bytes, where it keeps them
    // in memory it need not clear first: they count as written from then
    // on, and the caller fills them before it writes anything else. A
    // reader so decodes straight into the sink, with no copy of every byte.
    // Null where the sink has no such memory, or not that much; a sink
    // that gives room takes bytes back.
    virtual uint8_t *room(size_t size)
    {
        (void)size;
        return nullptr;
    }
};

class MemorySource : public ByteSource
{
  public:
    MemorySource(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    size_t read(void *into, size_t size) override;
    int64_t remaining() const override { return static_cast<int64_t>(size_ - at_); }
    const uint8_t *borrow(size_t size) override;
    bool lends() const override { return true; }

  private:
    const uint8_t *data_;
    size_t size_, at_ = 0;
};

class FileSource : public ByteSource
{
  public:
    explicit FileSource(std::FILE *file); // knows its remaining bytes for regular files
    size_t read(void *into, size_t size) override;
    int64_t remaining() const override;
    bool failed() const override { return std::ferror(file_) != 0; }

  private:
    std::FILE *file_;
    int64_t remaining_ = -1;
};

class MemorySink : public ByteSink
{
  public:
    bool write(const void *from, size_t size) override;
    bool takes_back() const override { return true; }
    void take_back(size_t size) override { bytes.resize(bytes.size() - size); }
    std::vector<uint8_t> bytes;
};

// A buffer of the caller's, of a fixed size: for an output whose size is
// known beforehand, as zlib's uncompress takes one, unpacked into on one
// thread with no copy (with threads, blocks are copied in). A write that
// would pass its end fails and writes nothing. After a failed unpack the
// first size() bytes are checked output; the bytes past them may hold
// anything, a damaged block among them.
class BufferSink : public ByteSink
{
  public:
    BufferSink(uint8_t *data, size_t capacity) : data_(data), capacity_(capacity) {}
    bool write(const void *from, size_t size) override;
    bool takes_back() const override { return true; }
    void take_back(size_t size) override { size_ -= size; }
    uint8_t *room(size_t size) override;
    // The bytes written, from the start of the buffer.
    size_t size() const { return size_; }

  private:
    uint8_t *data_;
    size_t capacity_;
    size_t size_ = 0;
};

class FileSink : public ByteSink
{
  public:
    explicit FileSink(std::FILE *file); // positional for a regular file
    bool write(const void *from, size_t size) override;
    bool positional() const override { return positional_; }
    bool write_at(uint64_t offset, const void *from, size_t size) override;

  private:
    std::FILE *file_;
    bool positional_ = false;
    uint64_t start_ = 0; // where the file stood when the sink began
};

// Reads until `size` bytes are in or the source ends; returns how many.
size_t read_fully(ByteSource &in, uint8_t *into, size_t size);

} // namespace dctlab::container

#endif
