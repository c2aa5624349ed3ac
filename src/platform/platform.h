// The one header the updater's logic includes: the Windows operations it calls, and the C library services it uses.
#pragma once

// Windows types, constants and functions: the system's own on Windows, the Linux stand-in's elsewhere.
#include "system.h"

#include <cstddef>
#include <cstdio>

// The C library services the logic uses go through these, so that a stand-in can translate paths and
// inject faults; on Windows they are the C runtime's own functions.

// getenv: the value, or NULL when unset; names are matched without regard to case.
const char *CrtGetEnv(const char *name);
// fopen(path, "wb"): the stream, or NULL.
FILE *CrtOpenForWriting(const char *path);
// fwrite: the number of whole items written.
size_t CrtWrite(const void *data, size_t size, size_t count, FILE *stream);
// fclose: 0, or EOF when the close (with its final flush) failed.
int CrtClose(FILE *stream);
// remove: 0 when the file was deleted.
int CrtRemove(const char *path);
