// dctlab: experiments with the toolkit's picture path and entropy coders.
#include <cstdio>
#include <vector>

#include "commands.h"

int main(int argc, char **argv)
{
    using namespace dctlab::tool;
    CLI::App app{"dctlab: experiments in DCT picture coding and Huffman coding.\n"
                 "With no subcommand it runs the demo.",
                 "dctlab"};
    app.require_subcommand(0, 1);
    const Command demo = add_demo_command(app);
    const std::vector<Command> commands = {add_picture_command(app), add_sweep_command(app), demo,
                                           add_encode_command(app), add_decode_command(app),
                                           add_pack_command(app), add_unpack_command(app)};

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0)
            return app.exit(e); // --help
        std::fprintf(stderr, "dctlab: %s (see dctlab --help)\n", e.what());
        return 2;
    }
    for (const Command &command : commands)
        if (command.app->parsed())
            return command.run();
    return demo.run();
}
