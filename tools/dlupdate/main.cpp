// dlupdate: runs update sessions of the storage-update module on a
// simulated machine, and makes and checks update media.
#include <CLI/CLI.hpp>

#include <cstdio>

int main(int argc, char **argv)
{
    CLI::App app{"dlupdate: run the storage-update module on a simulated machine"};
    app.require_subcommand(1);
    auto *run = app.add_subcommand("run", "run update sessions (not built yet)");
    run->allow_extras();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        int rc = app.exit(e);
        return rc == 0 ? 0 : 64;
    }
    std::fprintf(stderr, "dlupdate: this command is not built yet\n");
    return 64;
}
