// `pe_inspect UPDATER.EXE`: the szdd tool's inspect subcommand on its own, for the Windows stage.
#include <cstdio>

#include "szdd_commands.h"

int RunInspect(char **operands);

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: pe_inspect UPDATER.EXE\n");
        return SZDD_EXIT_USAGE;
    }
    return RunInspect(argv + 1);
}
