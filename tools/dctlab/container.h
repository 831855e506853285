// The dctlab container: a file compressed with the toolkit's Huffman coder.
//
// Layout, every integer little-endian:
//
//   file header   8 bytes   "DLHF", format version (1 byte, now 2), 3 zero bytes
//   blocks        one after another, each one of:
//     Huffman     1 byte    block type 1
//                 4 bytes   N, the block's original length (1 to 2^28)
//                 4 bytes   A, the length of the table stream
//                 4 bytes   E, the length of the encoded stream (a multiple of 4)
//                 4 bytes   CRC-32 (zlib's) of the block's N original bytes
//                 A bytes   the table stream that form_tree wrote for the block
//                 E bytes   the encoded stream that encode writes for it
//     stored      1 byte    block type 2
//                 4 bytes   N, the block's length (1 to 2^28)
//                 4 bytes   CRC-32 of its N bytes
//                 N bytes   the bytes themselves
//   end marker    1 byte    block type 0
//                 8 bytes   the total original length, the sum of every N
//
// and nothing after the end marker. An empty input is the header and the end
// marker.
//
// Blocks. The packer reads its input in units of at most the block size
// (16 MiB by default, so that counts stay far below 2^31 and memory stays
// bounded for inputs of any size) and cuts each unit where the statistics of
// the bytes change: it counts the bytes of every 8 KiB segment and joins a
// segment to the block before it unless a code of its own, table included,
// comes out smaller. Each block so carries a code fitted to its own bytes. A
// block that Huffman coding would not make smaller (random or already
// compressed bytes) is stored instead, in pieces of at most 4 MiB.
//
// Version 1 is version 2 without stored blocks; this reader still reads it,
// and refuses a stored block in it as an unknown block type.
//
// The reader trusts nothing: it checks every length against what the input
// still holds, that the table stream is exactly 4 + L + 4·W bytes for a leaf
// count L of 1 to 256 with distinct symbols, that the shape bits make exactly
// one complete tree of L leaves with no code longer than 22 bits and that
// the bits after the shape are 0, that the encoded stream holds exactly the
// words that N symbols need with zero bits after the last code, the CRC, and
// the end marker's total. No block reaches the output before its CRC checked.
#ifndef DCTLAB_TOOL_CONTAINER_H
#define DCTLAB_TOOL_CONTAINER_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace dctlab::tool
{

constexpr uint8_t kContainerVersion = 2;
constexpr uint8_t kOldestReadableVersion = kContainerVersion - 1;
constexpr uint32_t kDefaultBlockSize = 16u << 20;
constexpr uint32_t kMaxBlockSize = 1u << 28;

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
};

class ByteSink
{
  public:
    virtual ~ByteSink() = default;
    virtual bool write(const void *from, size_t size) = 0;
};

class MemorySource : public ByteSource
{
  public:
    MemorySource(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    size_t read(void *into, size_t size) override;
    int64_t remaining() const override { return static_cast<int64_t>(size_ - at_); }
    const uint8_t *borrow(size_t size) override;

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
    std::vector<uint8_t> bytes;
};

class FileSink : public ByteSink
{
  public:
    explicit FileSink(std::FILE *file) : file_(file) {}
    bool write(const void *from, size_t size) override;

  private:
    std::FILE *file_;
};

using Progress = std::function<void(uint64_t bytes_done)>;

// Packs all of `in` into `out`. False with `error` set on failure.
bool pack(ByteSource &in, ByteSink &out, uint32_t block_size, std::string &error,
          const Progress &progress = {});

// Unpacks `in` into `out`, writing each block only after its CRC checked.
// Blocks longer than `max_block` are refused. False with `error` set, naming
// what is wrong, on any damage.
bool unpack(ByteSource &in, ByteSink &out, std::string &error, uint32_t max_block = kMaxBlockSize,
            const Progress &progress = {});

} // namespace dctlab::tool

#endif
