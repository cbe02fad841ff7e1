#include "tools/dlupdate/Command.h"

namespace dlcli {

const std::vector<Command> &commands()
{
    static const std::vector<Command> table = {
        {"demo", "make sample media and a fresh machine, run one full session",
         "Exit status: that of the session (as dlupdate run); 64 when DIR is a file or holds\n"
         "files that no demo made, which are then left as they were.",
         defineDemo},
        {"mkmedia", "build update media from a manifest",
         "Beside the media goes DIR/SHA256SUMS, the SHA-256 of every file written: check a\n"
         "stick with 'cd DIR && sha256sum -c SHA256SUMS', sign it with 'gpg --detach-sign SHA256SUMS'.\n"
         "Exit status: 0 written, 5 an input or the output folder cannot be used,\n"
         "64 bad usage or a manifest the module would misread.",
         defineMkMedia},
        {"inspect", "read and check update media without updating anything",
         "When DIR holds SHA256SUMS, every file it lists is checked against it, and every other file\n"
         "of DIR and DIR/fwstore is a problem too (signatures not verified: gpg --verify).\n"
         "Exit status: 0 no problems, 1 problems found, 5 DIR cannot be read,\n"
         "7 the JSON could not be written (in place of 0), 64 bad usage.",
         defineInspect},
        {"machine", "create a machine folder, show its state or verify it against media",
         "Exit status: that of the command run; 64 bad usage or no command.", nullptr},
        {"machine init", "create a new machine in DIR (missing or empty)",
         "Exit status: 0 made, 5 DIR cannot be used, 64 bad usage.", defineMachineInit},
        {"machine show", "show the state of the machine in DIR",
         "Exit status: 0 shown, 5 DIR is not a usable machine folder, 7 the JSON could not be\n"
         "written (in place of 0), 64 bad usage.",
         defineMachineShow},
        {"machine verify", "compare a machine with what update media carry (exit 0 only when all match)",
         "Exit status: 0 everything on the media matches, 1 a target differs, is\n"
         "missing or is damaged on the media, a rewrite flag is set, or the media carry\n"
         "nothing to verify, 5 the machine or media cannot be used, 7 the JSON could\n"
         "not be written (in place of 0), 64 bad usage.",
         defineMachineVerify},
        {"run", "run update sessions of the module on a machine",
         "Exit status: 0 returned 0, 1 exit(1), 2 returned -1, 3 exit(0), 4 stalled,\n"
         "5 unusable machine or media folder, 6 ended from the keyboard,\n"
         "7 an output could not be written (in place of 0), 9 power cut, 64 bad usage,\n"
         "128 + N interrupted by signal N (143 SIGTERM, 130 SIGINT), the outputs written.\n"
         "Fault names and power-cut events: README.md, \"Faults and power cuts\",\n"
         "or one a line from dlupdate faults; the names are checked before anything runs.",
         defineRun},
        {"sweep",
         "cut the power at every event of a session on the media, then boot again; or, with --damage, run "
         "damaged copies of the media",
         "Exit status: 0 every row passed (undetectable damage included), 1 a row failed or\n"
         "nothing could be swept, 5 the media folder is missing or holds no update file,\n"
         "7 every row passed but --json or --junit could not be written, 64 bad usage,\n"
         "128 + N interrupted by signal N (the rows finished written).",
         defineSweep},
        {"faults", "list every fault name, aimed form and power-cut event, one a line",
         "Exit status: 0 listed, 7 the JSON could not be written, 64 bad usage.", defineFaults},
        {"completion", "print the completion script of bash, zsh or fish",
         "Load it in bash with 'source <(dlupdate completion bash)'; 'cmake --install' puts all\n"
         "three where each shell looks.\n"
         "Exit status: 0 printed, 64 bad usage or an unknown shell.",
         defineCompletion},
        {"version", "the version and the commit it was built from (as -V, --version)",
         "Exit status: 0 shown, 64 bad usage.", defineVersion},
        {"help", "show the options of every command, or of one",
         "Exit status: 0 shown, 64 an unknown command or bad usage.", defineHelp},
        // Hidden: the build writes the man page with it.
        {"man", "", "", defineMan},
    };
    return table;
}

} // namespace dlcli
