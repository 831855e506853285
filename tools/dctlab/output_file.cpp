#include "output_file.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dctlab::tool
{

namespace
{

std::string describe(const std::string &what, const std::string &path)
{
    return what + " '" + path + "': " + std::strerror(errno);
}

} // namespace

OutputFile::~OutputFile()
{
    if (file_ && !is_stdout_) {
        std::fclose(file_);
        std::remove(temp_.c_str());
    }
}

bool OutputFile::open(const std::string &path, std::string &error)
{
    path_ = path;
    if (path == "-") {
        is_stdout_ = true;
        file_ = stdout;
        return true;
    }
    const std::filesystem::path target(path);
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    std::string pattern = (folder / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        error = describe("cannot create a temporary file beside", path);
        return false;
    }
    temp_ = pattern;
    file_ = fdopen(fd, "wb");
    if (!file_) {
        error = describe("cannot write", temp_);
        close(fd);
        std::remove(temp_.c_str());
        return false;
    }
    return true;
}

bool OutputFile::commit(std::string &error)
{
    if (is_stdout_) {
        if (std::fflush(stdout) != 0) {
            error = describe("cannot write", "standard output");
            return false;
        }
        return true;
    }
    // mkstemp makes the file private; give it the permissions a new file gets.
    const mode_t mask = umask(0);
    umask(mask);
    const bool written = std::fflush(file_) == 0 && fchmod(fileno(file_), 0666 & ~mask) == 0 &&
                         fsync(fileno(file_)) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!written || !closed || std::rename(temp_.c_str(), path_.c_str()) != 0) {
        error = describe("cannot write", path_);
        std::remove(temp_.c_str());
        return false;
    }
    return true;
}

ScratchFile::~ScratchFile()
{
    if (!path_.empty())
        std::remove(path_.c_str());
}

bool ScratchFile::create(std::string &error)
{
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::temp_directory_path(ec);
    if (ec)
        folder = "/tmp";
    std::string pattern = (folder / "dctlab-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        error = describe("cannot create a temporary file in", folder.string());
        return false;
    }
    close(fd);
    path_ = pattern;
    return true;
}

bool copy_stream(std::FILE *from, std::FILE *to)
{
    char piece[1 << 16];
    std::size_t n = 0;
    while ((n = std::fread(piece, 1, sizeof piece, from)) > 0)
        if (std::fwrite(piece, 1, n, to) != n)
            return false;
    return std::ferror(from) == 0;
}

std::FILE *open_input(const std::string &path, std::string &error)
{
    if (path == "-")
        return stdin;
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file)
        error = describe("cannot open", path);
    return file;
}

namespace
{

// What the SIGBUS handler says and removes, and the mapping it speaks for:
// fixed before the mapping, read only by the handler, which may call
// nothing but write, unlink, sigaction and _exit.
char shrank_line[256];
size_t shrank_length = 0;
char shrank_removes[4096];
const volatile char *mapped_from = nullptr;
size_t mapped_size = 0;
struct sigaction previous_bus;

extern "C" void on_bus_error(int signal, siginfo_t *info, void *)
{
    const auto *at = static_cast<const volatile char *>(info->si_addr);
    if (mapped_from == nullptr || at < mapped_from || at >= mapped_from + mapped_size) {
        // Not the input's: what would have happened without this handler
        // happens when the access faults again.
        sigaction(signal, &previous_bus, nullptr);
        return;
    }
    ssize_t ignored = write(STDERR_FILENO, shrank_line, shrank_length);
    (void)ignored;
    if (shrank_removes[0] != '\0')
        unlink(shrank_removes);
    _exit(1);
}

} // namespace

bool MappedInput::map(std::FILE *file, const char *verb, const std::string &temp_output)
{
    struct stat st = {};
    const int fd = fileno(file);
    if (bytes_ || mapped_from || fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size <= 0 || temp_output.size() >= sizeof shrank_removes)
        return false;
    const int length = std::snprintf(shrank_line, sizeof shrank_line,
                                     "dctlab: %s: the input file shrank while it was read\n", verb);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof shrank_line)
        return false;
    shrank_length = static_cast<size_t>(length);
    std::memcpy(shrank_removes, temp_output.c_str(), temp_output.size() + 1);
    const auto size = static_cast<size_t>(st.st_size);
    void *bytes = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (bytes == MAP_FAILED)
        return false;
    mapped_from = static_cast<const char *>(bytes);
    mapped_size = size;
    struct sigaction on_bus = {};
    on_bus.sa_sigaction = on_bus_error;
    on_bus.sa_flags = SA_SIGINFO;
    sigemptyset(&on_bus.sa_mask);
    if (sigaction(SIGBUS, &on_bus, &previous_bus) != 0) {
        munmap(bytes, size);
        mapped_from = nullptr;
        return false;
    }
    // Read once from the start to the end: the kernel may read ahead and drop behind.
    madvise(bytes, size, MADV_SEQUENTIAL);
    bytes_ = bytes;
    size_ = size;
    return true;
}

void MappedInput::release_before(size_t offset)
{
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    // Each unmapping stops every other core that runs one of the threads
    // until it has forgotten the pages: in a virtual machine (an Intel Xeon)
    // some 40 us of the unmapping thread's time for each. Unmapped every
    // 8 MiB rather than every MiB, two threads packed 64 MiB 2 to 4% faster
    // and unpacked it 3% faster; 4 and 16 MiB did as well, and all of it at
    // the end was slower again (the last unmapping holding up the exit).
    constexpr size_t kAtLeast = size_t{8} << 20;
    const size_t end = std::min(offset, size_) / page * page;
    if (!bytes_ || end < released_ + kAtLeast)
        return;
    if (munmap(static_cast<char *>(bytes_) + released_, end - released_) == 0)
        released_ = end;
}

void MappedInput::populate_through(size_t offset)
{
#ifdef MADV_POPULATE_READ
    constexpr size_t kAhead = size_t{1} << 20;
    if (!bytes_ || offset <= populated_ || populated_ >= size_)
        return;
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t from = std::max(populated_, released_) / page * page;
    const size_t to = std::min(size_, offset + kAhead);
    // Where the kernel has no such advice (before Linux 5.14) the pages
    // come in by faults as before.
    if (madvise(static_cast<char *>(bytes_) + from, to - from, MADV_POPULATE_READ) != 0)
        populated_ = size_;
    else
        populated_ = to;
#else
    (void)offset;
#endif
}

MappedInput::~MappedInput()
{
    if (bytes_) {
        sigaction(SIGBUS, &previous_bus, nullptr);
        mapped_from = nullptr;
        if (released_ < size_)
            munmap(static_cast<char *>(bytes_) + released_, size_ - released_);
    }
}

} // namespace dctlab::tool
