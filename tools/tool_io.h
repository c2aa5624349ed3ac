// File helpers for the szdd tool: whole-file reads, outputs that appear only on success, messages.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Prints "szdd: NAME: PROBLEM" to stderr; always returns SZDD_EXIT_FAILURE.
int ToolFail(const char *name, const char *problem);

// Reads a whole file; 0 on success, else an errno value.
int ReadWholeFile(const char *path, std::vector<unsigned char> *bytes);

// An output written under a temporary name beside its final one, renamed into place on success.
struct PendingOutput {
    std::string path;
    std::string tempPath;
    FILE *file;
};

// Creates the temporary file; 0 on success, else an errno value (nothing is left behind).
int BeginOutput(const char *path, PendingOutput *out);

// Flushes, closes and renames into place; 0 on success, else an errno value (the temporary is removed).
int FinishOutput(PendingOutput *out);

// Closes and removes the temporary file; always succeeds.
void AbandonOutput(PendingOutput *out);
