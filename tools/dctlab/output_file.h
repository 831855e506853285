// An output that appears whole or not at all: the bytes go to a temporary
// file in the destination's folder, which is renamed over the destination
// only after every write succeeded. "-" stands for standard output, which is
// written directly.
#ifndef DCTLAB_TOOL_OUTPUT_FILE_H
#define DCTLAB_TOOL_OUTPUT_FILE_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "byte_io.h"

namespace dctlab::tool
{

class OutputFile
{
  public:
    OutputFile() = default;
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;
    ~OutputFile(); // removes the temporary file unless committed

    bool open(const std::string &path, std::string &error);
    std::FILE *file() const { return file_; }
    // The temporary file, for writers that take a name: written by name, it
    // is still flushed, closed and renamed into place by commit. Empty for
    // standard output.
    const std::string &temp_path() const { return temp_; }
    // Flushes, closes and renames into place.
    bool commit(std::string &error);

  private:
    std::string path_, temp_;
    std::FILE *file_ = nullptr;
    bool is_stdout_ = false;
};

// A file of the program's own in the temporary folder, for the library
// functions that read and write only by name; removed when it goes.
class ScratchFile
{
  public:
    ScratchFile() = default;
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    ~ScratchFile();

    bool create(std::string &error);
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// Copies what is left of `from` to `to`; false on a read or write error.
bool copy_stream(std::FILE *from, std::FILE *to);

// An input that open_input opened, closed when it goes; standard input stays
// open.
struct InputFile {
    std::FILE *file = nullptr;
    InputFile() = default;
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;
    ~InputFile()
    {
        if (file && file != stdin)
            std::fclose(file);
    }
};

// Opens IN for reading, "-" standing for standard input; null with `error`
// set when it cannot.
std::FILE *open_input(const std::string &path, std::string &error);

// A regular input file mapped into memory, so that pack and unpack take its
// bytes where they lie instead of copying them in: a twentieth of the time
// of pack. Should the file shrink while it is mapped (another program
// truncating it), reading past its new end raises SIGBUS; the program then
// says so, removes the temporary output it names and exits with status 1,
// where it would otherwise die of the signal. One at a time.
class MappedInput
{
  public:
    MappedInput() = default;
    MappedInput(const MappedInput &) = delete;
    MappedInput &operator=(const MappedInput &) = delete;
    ~MappedInput();

    // Maps `file` when it is a regular file of one byte or more; false when
    // it is not, or cannot be mapped, and the file is to be read as a
    // stream. `verb` begins the line the program gives if the file shrinks,
    // and `temp_output` (empty for none) is the file it then removes.
    bool map(std::FILE *file, const char *verb, const std::string &temp_output);
    const uint8_t *data() const { return static_cast<const uint8_t *>(bytes_); }
    size_t size() const { return size_; }
    // Unmaps the whole pages before `offset`, which are read no more, once
    // they come to 8 MiB or more: each unmapping interrupts every other core
    // that runs one of the program's threads, to forget the pages.
    void release_before(size_t offset);
    // Maps the pages up to `offset` and a MiB beyond it, if not yet done, in
    // one call for the MiB rather than a page fault every few pages.
    void populate_through(size_t offset);

  private:
    void *bytes_ = nullptr;
    size_t size_ = 0;
    size_t released_ = 0;  // bytes unmapped from the start, whole pages
    size_t populated_ = 0; // bytes mapped in advance from the start
};

// A mapped input as the container's source, which gives back the pages
// that pack or unpack is done with as they go: unmapping them at the end
// (2 ms for 64 MiB) kept every core but one waiting.
class MappedSource final : public container::MemorySource
{
  public:
    explicit MappedSource(MappedInput &mapped)
        : MemorySource(mapped.data(), mapped.size()), mapped_(mapped)
    {
    }
    void release_before(uint64_t offset) override
    {
        mapped_.release_before(static_cast<size_t>(std::min<uint64_t>(offset, mapped_.size())));
    }
    const uint8_t *borrow(size_t size) override
    {
        const uint8_t *at = MemorySource::borrow(size);
        if (at)
            mapped_.populate_through(static_cast<size_t>(at - mapped_.data()) + size);
        return at;
    }

  private:
    MappedInput &mapped_;
};

} // namespace dctlab::tool

#endif
