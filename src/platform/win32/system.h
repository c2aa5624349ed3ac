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

// ntdll's open of a name relative to a folder's handle: the one way to reach a fixed name in a checked
// folder without the system parsing a path anybody else could re-point.
typedef struct _UPDATER_UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING;

typedef struct _UPDATER_OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    UNICODE_STRING *ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES;

// The dispositions and options (FILE_OPEN, FILE_OPEN_REPARSE_POINT, ...) come with winnt.h.
#ifndef STATUS_OBJECT_NAME_INVALID
#define STATUS_OBJECT_NAME_INVALID ((LONG)0xC0000033)
#endif
// What another process's open of a file makes an open or a rename of it fail with.
#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((LONG)0xC0000043)
#endif
#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((LONG)0xC0000022)
#endif
#ifndef OBJ_CASE_INSENSITIVE
#define OBJ_CASE_INSENSITIVE 0x00000040
#endif

extern "C" LONG WINAPI NtCreateFile(PHANDLE file, ACCESS_MASK access, OBJECT_ATTRIBUTES *attributes,
                                    PIO_STATUS_BLOCK status, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                                    ULONG shareAccess, ULONG disposition, ULONG options, PVOID extended,
                                    ULONG extendedLength);

// From Vista on: resolved at run time, so that the executable still loads where it is missing (the call
// then fails with ERROR_CALL_NOT_IMPLEMENTED). The system headers declare it as an import; this name is ours.
#define GetFinalPathNameByHandleA UpdaterGetFinalPathNameByHandleA
extern "C" DWORD WINAPI GetFinalPathNameByHandleA(HANDLE file, LPSTR path, DWORD capacity, DWORD flags);

// From Vista on, and its FileIdInfo class from Windows 8 on; resolved at run time as above.
#define GetFileInformationByHandleEx UpdaterGetFileInformationByHandleEx
extern "C" BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS informationClass,
                                                    LPVOID information, DWORD size);
