// Internals shared by the stand-in's parts: the counting place, handles, path translation, error codes.
#pragma once

#include "system.h"

#include <cstddef>
#include <cstdio>

// Every platform call enters here first: it is logged and counted, and an injected fault decides its
// fate. Returns 1 to go on, 0 when this call is to fail (the caller then fails it as Windows would);
// for an "exit" fault it does not return.
int WinstubEnter(const char *name);

enum HandleKind { HANDLE_FREE = 0, HANDLE_FILE, HANDLE_KEY, HANDLE_LZ, HANDLE_STREAM };

struct StubHandle {
    HandleKind kind;
    int fd;            // files and LZ handles
    int writable;      // opened for writing
    FILE *stream;      // streams of the C library
    char path[4096];   // host path (files, LZ) or key path (registry)
};

// A new slot of the given kind, or NULL when the table is full.
StubHandle *HandleNew(HandleKind kind);
// The slot behind a handle value of the given kind, or NULL.
StubHandle *HandleFromValue(uintptr_t value, HandleKind kind);
// The handle value that stands for a slot.
uintptr_t HandleValue(const StubHandle *handle);
void HandleFree(StubHandle *handle);
// The slot of a C library stream, or NULL.
StubHandle *HandleFromStream(FILE *stream);

// Translates a Windows path to the host's; 1, or 0 with the last error set (an unmapped drive, too long).
int HostPath(const char *windowsPath, char *hostPath, size_t capacity);

// Windows' error code for a failed host file operation's errno.
DWORD ErrorFromErrno(int error);

// Whether another open of the host file holds it with a conflicting lock (tries and releases one).
// exclusive: the open asks for exclusive access. 1 when held, 0 when free or absent.
int HostFileHeld(const char *hostPath, int exclusive);

// Whether the host file lacks its owner write bit, Windows' read-only attribute. 1 or 0.
int HostFileReadOnly(const char *hostPath);

// Case-insensitive comparison of 8-bit Shift-JIS strings: only single-byte ASCII letters fold.
int SjisCompareNoCase(const char *a, const char *b);
int SjisCompareNoCaseN(const char *a, const char *b, size_t length);
