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
INT WINAPI LZRead(INT source, LPSTR buffer, INT length);
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

// The deletion that takes the name away when its handle closes, whoever else still has the file open (Windows
// 10 1709 on, NTFS).
typedef struct _FILE_DISPOSITION_INFORMATION_EX {
    ULONG Flags;
} FILE_DISPOSITION_INFORMATION_EX;

enum { FILE_DISPOSITION_DELETE = 0x1, FILE_DISPOSITION_POSIX_SEMANTICS = 0x2 };

enum { FileRenameInformation = 10, FileDispositionInformation = 13, FileDispositionInformationEx = 64 };

// What kind of device holds a volume, and whether a network redirector serves it.
typedef struct _FILE_FS_DEVICE_INFORMATION {
    ULONG DeviceType;
    ULONG Characteristics;
} FILE_FS_DEVICE_INFORMATION;

enum { FileFsDeviceInformation = 4 };

#ifndef FILE_REMOTE_DEVICE
#define FILE_REMOTE_DEVICE 0x00000010
#endif

extern "C" LONG WINAPI NtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK status, PVOID information, ULONG length,
                                            int informationClass);
extern "C" LONG WINAPI NtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK status, PVOID information,
                                                    ULONG length, int informationClass);

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
// An open that another process's oplock would hold: the break is started and the open completes at once.
#ifndef STATUS_OPLOCK_BREAK_IN_PROGRESS
#define STATUS_OPLOCK_BREAK_IN_PROGRESS ((LONG)0x00000108)
#endif
// A name whose file has been deleted while some process still has it open.
#ifndef STATUS_DELETE_PENDING
#define STATUS_DELETE_PENDING ((LONG)0xC0000056)
#endif
#ifndef STATUS_OBJECT_NAME_NOT_FOUND
#define STATUS_OBJECT_NAME_NOT_FOUND ((LONG)0xC0000034)
#endif
// What a system or file system answers to an information class or flag it does not know.
#ifndef STATUS_NOT_IMPLEMENTED
#define STATUS_NOT_IMPLEMENTED ((LONG)0xC0000002)
#endif
#ifndef STATUS_INVALID_INFO_CLASS
#define STATUS_INVALID_INFO_CLASS ((LONG)0xC0000003)
#endif
// winnt.h has it as a DWORD; an NTSTATUS is signed.
#undef STATUS_INVALID_PARAMETER
#define STATUS_INVALID_PARAMETER ((LONG)0xC000000D)
#ifndef STATUS_NOT_SUPPORTED
#define STATUS_NOT_SUPPORTED ((LONG)0xC00000BB)
#endif

extern "C" LONG WINAPI NtCreateFile(PHANDLE file, ACCESS_MASK access, OBJECT_ATTRIBUTES *attributes,
                                    PIO_STATUS_BLOCK status, PLARGE_INTEGER allocationSize, ULONG fileAttributes,
                                    ULONG shareAccess, ULONG disposition, ULONG options, PVOID extended,
                                    ULONG extendedLength);

// From Vista on: resolved at run time, so that the executable still loads where they are missing (the calls
// then fail with ERROR_CALL_NOT_IMPLEMENTED). The system headers declare them as imports; these names are ours.
#define GetFinalPathNameByHandleW UpdaterGetFinalPathNameByHandleW
extern "C" DWORD WINAPI GetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD capacity, DWORD flags);
#define CompareStringOrdinal UpdaterCompareStringOrdinal
extern "C" int WINAPI CompareStringOrdinal(LPCWSTR a, int aLength, LPCWSTR b, int bLength, BOOL ignoreCase);

// From Vista on, and its FileIdInfo class from Windows 8 on; resolved at run time as above.
#define GetFileInformationByHandleEx UpdaterGetFileInformationByHandleEx
extern "C" BOOL WINAPI GetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS informationClass,
                                                    LPVOID information, DWORD size);
