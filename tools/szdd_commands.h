// The szdd tool's subcommands: each takes its operands and returns the process exit code.
#pragma once

enum {
    SZDD_EXIT_OK = 0,
    SZDD_EXIT_FAILURE = 1,  // bad input or an I/O failure
    SZDD_EXIT_USAGE = 2
};

struct SzddCommand {
    const char *name;
    const char *operands;  // for the usage line, e.g. "IN OUT"
    const char *summary;   // one line for --help
    int operandCount;
    int (*run)(char **operands);
};

int RunCompress(char **operands);
int RunExpand(char **operands);
int RunInfo(char **operands);
int RunPack(char **operands);
int RunUnpack(char **operands);
int RunInspect(char **operands);
