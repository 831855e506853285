// The subcommands of the dctlab program. Each adds itself to the command line
// and returns what runs it once the line is parsed; a run returns the exit
// status: 0 done, 1 a failed operation (one line on standard error).
#ifndef DCTLAB_TOOL_COMMANDS_H
#define DCTLAB_TOOL_COMMANDS_H

#include <functional>
#include <string>

#include <CLI/CLI.hpp>

namespace dctlab::tool
{

using Run = std::function<int()>;

struct Command {
    CLI::App *app;
    Run run;
};

Command add_picture_command(CLI::App &app);
Command add_sweep_command(CLI::App &app);
Command add_demo_command(CLI::App &app);
Command add_pack_command(CLI::App &app);
Command add_unpack_command(CLI::App &app);
Command add_encode_command(CLI::App &app);
Command add_decode_command(CLI::App &app);

// Prints "dctlab: MESSAGE" on standard error and returns 1.
int fail(const std::string &message);

// The number of cores this process may run on, at least 1: how many blocks
// pack and unpack code at once and how many processes a sweep measures rates
// in, by default.
unsigned cores();

// Writes a whole text file or block of bytes; false when it cannot.
bool write_text_file(const std::string &path, const std::string &text);
bool write_bytes_file(const std::string &path, const void *bytes, size_t size);

} // namespace dctlab::tool

#endif
