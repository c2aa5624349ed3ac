// The release engineer's szdd tool: finds the subcommand in the table and runs it.
#include <cstdio>
#include <cstring>

#include "szdd_commands.h"

namespace {

// One row per subcommand; a new one needs only its Run function and a row here.
const SzddCommand Commands[] = {
    {"compress", "IN OUT", "compress IN into the SZDD stream OUT (mode A, smallest size)", 2, RunCompress},
    {"expand", "IN OUT", "expand the SZDD stream IN into OUT", 2, RunExpand},
    {"info", "FILE", "show the header of an SZDD stream or payload container and check its length", 1, RunInfo},
    {"pack", "IN OUT", "compress IN into a payload container OUT (128-byte prefix + stream)", 2, RunPack},
    {"unpack", "CONTAINER OUT", "expand the payload container CONTAINER into OUT", 2, RunUnpack},
    {"inspect", "UPDATER.EXE", "check what an updater executable ships: resources, containers, version", 1, RunInspect},
};

void PrintHelp(FILE *to)
{
    fprintf(to, "usage: szdd COMMAND OPERANDS...\n\n");
    for (const SzddCommand &c : Commands)
        fprintf(to, "  szdd %s %s\n      %s\n", c.name, c.operands, c.summary);
    fprintf(to, "\nExit status: 0 success, 1 bad input or I/O failure, 2 wrong usage.\n"
                "Outputs are written under a temporary name and appear only when complete.\n");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        PrintHelp(stderr);
        return SZDD_EXIT_USAGE;
    }
    if (!strcmp(argv[1], "--help") || !strcmp(argv[1], "-h") || !strcmp(argv[1], "help")) {
        PrintHelp(stdout);
        return SZDD_EXIT_OK;
    }
    for (const SzddCommand &c : Commands) {
        if (strcmp(argv[1], c.name) != 0)
            continue;
        if (argc - 2 != c.operandCount) {
            fprintf(stderr, "usage: szdd %s %s\n", c.name, c.operands);
            return SZDD_EXIT_USAGE;
        }
        return c.run(argv + 2);
    }
    fprintf(stderr, "szdd: unknown command '%s' (try szdd --help)\n", argv[1]);
    return SZDD_EXIT_USAGE;
}
