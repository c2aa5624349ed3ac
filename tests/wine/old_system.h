// Forced into the fallback probe's build of the platform sources only: a system without the DLL search
// flags, as Windows XP and Vista or 7 without KB2533623 are. Its windows.h comes first, so the names
// below change only the calls the platform sources make.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

extern "C" HMODULE WINAPI OldSystemLoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags);
extern "C" FARPROC WINAPI OldSystemGetProcAddress(HMODULE module, LPCSTR name);

#define LoadLibraryExA OldSystemLoadLibraryExA
#define GetProcAddress OldSystemGetProcAddress
