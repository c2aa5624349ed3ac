// Windows: the system's own headers, plus the functions that the updater binds at run time: LZ32's, ntdll's
// and those newer than the oldest system it runs on.
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
INT WINAPI LZInit(INT source);
LONG WINAPI LZCopy(INT source, INT destination);
VOID WINAPI LZClose(INT file);
}

// ntdll's way to rename a file or mark it for deletion through its handle, on every NT system.
typedef struct _IO_STATUS_BLOCK {
    union {
        LONG Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _FILE_RENAME_INFORMATION {
    BOOLEAN ReplaceIfExists;
    HANDLE RootDirectory;
    ULONG FileNameLength;
    WCHAR FileName[1];
} FILE_RENAME_INFORMATION;

typedef struct _FILE_DISPOSITION_INFORMATION {
    BOOLEAN DeleteFile;
} FILE_DISPOSITION_INFORMATION;

enum { FileRenameInformation = 10, FileDispositionInformation = 13 };

extern "C" LONG WINAPI NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK status, PVOID information, ULONG length,
                                            int informationClass);

// From Vista on: resolved at run time, so that the executable still loads where it is missing (the call
// then fails with ERROR_CALL_NOT_IMPLEMENTED). The system headers declare it as an import; this name is ours.
#define GetFinalPathNameByHandleA UpdaterGetFinalPathNameByHandleA
extern "C" DWORD WINAPI GetFinalPathNameByHandleA(HANDLE file, LPSTR path, DWORD capacity, DWORD flags);
