#include <cstdio>
#include <fstream>

#include "commands.h"

namespace dctlab::tool
{

int fail(const std::string &message)
{
    std::fflush(stdout); // keep the library's lines before ours
    std::fprintf(stderr, "dctlab: %s\n", message.c_str());
    return 1;
}

bool write_text_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    return !out.fail();
}

} // namespace dctlab::tool
