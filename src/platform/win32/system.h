// Windows: the system's own headers, plus the LZ expansion functions that the updater binds at run time.
#pragma once

// Lean keeps <lzexpand.h> out: the LZ functions are declared here and defined in lz_binding.cpp.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// Lean keeps it out too; the digests of expanded payloads are made with it.
#include <wincrypt.h>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

enum {
    LZERROR_BADINHANDLE = -1,
    LZERROR_BADOUTHANDLE = -2,
    LZERROR_READ = -3,
    LZERROR_WRITE = -4,
    LZERROR_GLOBALLOC = -5,
    LZERROR_BADVALUE = -7,
    LZERROR_UNKNOWNALG = -8
};

extern "C" {
INT WINAPI LZOpenFileA(LPSTR fileName, LPOFSTRUCT openBuffer, WORD style);
LONG WINAPI LZCopy(INT source, INT destination);
VOID WINAPI LZClose(INT file);
}
