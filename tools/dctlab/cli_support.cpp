#include <cstdio>
#include <fstream>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

#include "commands.h"

namespace dctlab::tool
{

int fail(const std::string &message)
{
    std::fflush(stdout); // keep the library's lines before ours
    std::fprintf(stderr, "dctlab: %s\n", message.c_str());
    return 1;
}

// Under taskset or a container's cpuset the process may run on fewer cores
// than the machine has: as many threads as those cores are each kept on one
// of their own, more would share them.
unsigned cores()
{
#if defined(__linux__)
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_COUNT(&allowed) > 0)
        return static_cast<unsigned>(CPU_COUNT(&allowed));
#endif
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1 : count;
}

bool write_text_file(const std::string &path, const std::string &text)
{
    return write_bytes_file(path, text.data(), text.size());
}

bool write_bytes_file(const std::string &path, const void *bytes, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(bytes), static_cast<std::streamsize>(size));
    out.close();
    return !out.fail();
}

} // namespace dctlab::tool
