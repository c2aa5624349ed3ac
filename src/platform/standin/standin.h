// What the stand-in's parts offer one another: the call table and its faults, handles, paths, file times.
//
// The parts, one file each: faults.cpp (the call table, faults, the call log, the last error), handles.cpp,
// paths.cpp, files.cpp (kernel32's file calls, and ntdll's NtCreateFile, NtSetInformationFile and
// NtQueryVolumeInformationFile), registry.cpp, lz.cpp, boxes.cpp (MessageBoxA), environment.cpp (getenv, the
// executable's path, the Windows directory, time conversions), resources.cpp, token.cpp (the process token),
// codepage.cpp (the ANSI code page: its lead bytes, and its conversions to and from the host's UTF-8 and the
// system's UTF-16; CompareStringOrdinal), crypto.cpp (CryptoAPI's SHA-256) and objects.cpp (mutexes). The calls
// themselves are declared in system.h and platform.h.
#pragma once

#include "system.h"

#include "sha256.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

// ---- Calls, faults and the call log (faults.cpp) -----------------------------------------------

// Every call of the stand-in, in the order of the rows of StandinCalls.
enum StandinCallId {
    CallRegOpenKeyExA,
    CallRegQueryValueExA,
    CallRegCloseKey,
    CallFindResourceA,
    CallLoadResource,
    CallLockResource,
    CallSizeofResource,
    CallMessageBoxA,
    CallGetenv,
    CallGetWindowsDirectoryA,
    CallSystemTimeToFileTime,
    CallLocalFileTimeToFileTime,
    CallCreateFileA,
    CallGetFileTime,
    CallSetFileTime,
    CallGetFileSize,
    CallCloseHandle,
    CallGetFileAttributesA,
    CallWriteFile,
    CallSetFilePointer,
    CallFlushFileBuffers,
    CallGetFileInformationByHandle,
    CallGetFinalPathNameByHandleW,
    CallNtSetInformationFile,
    CallLZInit,
    CallLZCopy,
    CallLZClose,
    CallReadFile,
    CallCryptAcquireContextA,
    CallCryptCreateHash,
    CallCryptHashData,
    CallCryptGetHashParam,
    CallCryptDestroyHash,
    CallCryptReleaseContext,
    CallCreateMutexA,
    CallWaitForSingleObject,
    CallReleaseMutex,
    CallGetFullPathNameA,
    CallNtCreateFile,
    CallGetFileType,
    CallGetFileInformationByHandleEx,
    CallDuplicateHandle,
    CallOpenProcessToken,
    CallGetTokenInformation,
    CallSetTokenInformation,
    CallSleep,
    CallCompareStringOrdinal,
    CallNtQueryVolumeInformationFile,
    CallLZRead,
    CallGetModuleFileNameW,
    CallGetFileAttributesW,
    StandinCallCount
};

// How one call fails when a fault strikes it.
struct StandinCall {
    const char *name;  // as the call log writes it and as WINSTUB_FAULT names it
    intptr_t failure;  // what the call returns
    DWORD lastError;   // the last error it sets; 0: none
    int errnoValue;    // the errno it sets (the C library's calls); 0: none
};

// The one list of the stand-in's calls, indexed by StandinCallId.
extern const StandinCall StandinCalls[StandinCallCount];

// Enters a call: logs and counts it, and applies an injected fault. NULL to go on; the call's row when it
// is to fail, the row's error already set; an "exit" fault ends the process instead.
const StandinCall *StandinEnter(StandinCallId id);

// Appends one line to the call log (WINSTUB_CALLS), if there is one.
void CallLogWrite(const char *line);

// ---- Handles (handles.cpp) ---------------------------------------------------------------------

enum { HostPathCapacity = 4096 };

enum HandleKind {
    HANDLE_FREE = 0,
    HANDLE_FILE,
    HANDLE_KEY,
    HANDLE_LZ,
    HANDLE_CRYPT,
    HANDLE_HASH,
    HANDLE_MUTEX,
    HANDLE_TOKEN
};

struct StandinHandle {
    HandleKind kind;
    int fd;                               // files and LZ handles
    int writable;                         // opened for writing
    int timesWritable;                    // its times may be set (opened for writing, or for its attributes)
    int deleteAccess;                     // files: opened with DELETE access (may be renamed or deleted through it)
    int deleteOnClose;                    // files: deleted when closed (FILE_FLAG_DELETE_ON_CLOSE, or a disposition)
    int directory;                        // files: a directory, opened with FILE_FLAG_BACKUP_SEMANTICS
    uintptr_t underlying;                 // LZ handles: the file handle the library closes with its own
    unsigned char *expanded;              // LZ handles: what LZRead hands out, expanded on its first call (malloc)
    size_t expandedLength;                // LZ handles: its length
    size_t expandedAt;                    // LZ handles: how much of it LZRead has handed out
    unsigned long object;                 // files: the open file it is a handle on, shared by its duplicates
    int pipe;                             // files: a named pipe's (a device, not a file on a disk)
    DWORD shareMode;                      // files: the sharing it grants other opens
    Sha256 sha;                           // hashes: the digest so far
    int hashFinished;                     // hashes: the value has been taken; no more data
    unsigned char hashValue[Sha256Size];  // hashes: the value, once taken
    int owned;                            // mutexes: how often this process has taken it
    char path[HostPathCapacity];          // the Windows path (files, LZ) or the key path (registry)
};

// A new slot of the given kind, or NULL when the table is full.
StandinHandle *HandleNew(HandleKind kind);
// The slot behind a handle value of the given kind, or NULL.
StandinHandle *HandleFromValue(uintptr_t value, HandleKind kind);
// The handle value that stands for a slot.
uintptr_t HandleValue(const StandinHandle *handle);
// Returns the slot to the table; nothing.
void HandleFree(StandinHandle *handle);
// The next slot of that kind after previous (the first one when previous is NULL), or NULL.
StandinHandle *HandleNextOfKind(const StandinHandle *previous, HandleKind kind);
// Logs "LEAK <kind> <path>" for every handle still open (run at a normal exit); nothing.
void ReportOpenHandles();
// Closes a file handle's slot as CloseHandle does, deleting the file if it is to be deleted on close; nothing.
void CloseFileSlot(StandinHandle *handle);
// What the system does for a process that ends with handles open: files to be deleted on close are deleted.
void CloseFilesAtExit();

// ---- Paths and names (paths.cpp) ---------------------------------------------------------------

// Translates a Windows path to the host's: resolved as Windows resolves it, each name in UTF-8 and in the case
// of an existing entry that differs only in the case of ASCII letters; 1, or 0 with the last error set (an
// unmapped drive, a network path, too long, a name that is not one).
int HostPath(const char *windowsPath, char *hostPath, size_t capacity);
// The full Windows path, as GetFullPathNameA forms it; 1, or 0 with the last error set.
int FullWindowsPath(const char *windowsPath, char *fullPath, size_t capacity);
// Compares Shift-JIS strings with only single-byte ASCII letters folded; negative, 0 or positive.
int SjisCompareNoCase(const char *a, const char *b);
// The same over at most length bytes; negative, 0 or positive.
int SjisCompareNoCaseN(const char *a, const char *b, size_t length);

// ---- Files (files.cpp) -------------------------------------------------------------------------

// Whether files may be created, deleted or renamed in the directory that holds the host file: not when the
// directory lacks the owner write bit, as a read-only file does, even for root; 1 or 0.
int HostDirectoryWritable(const char *hostPath);

// ---- The process token (token.cpp) -------------------------------------------------------------

// Whether the process token has file virtualization enabled (WINSTUB_VIRTUALIZED, until the run turns it
// off); 1 or 0.
int TokenVirtualized();

// ---- The ANSI code page (codepage.cpp) ---------------------------------------------------------

// Whether the byte opens a double-byte character of code page 932 (0x81-0x9F, 0xE0-0xFC); 1 or 0.
int Cp932IsLeadByte(unsigned char byte);
// Converts length bytes of code page 932 to UTF-8; 1, or 0 when a byte sequence is no character.
int Cp932ToUtf8(const char *text, size_t length, std::string *utf8);
// Converts length bytes of UTF-8 to code page 932; 1, or 0 when a character has no form there.
int Utf8ToCp932(const char *text, size_t length, std::string *cp932);
// The same, as Windows converts with WC_NO_BEST_FIT_CHARS: 1, or 0 also when a character would come back as
// another one (a best fit); 1 or 0.
int Utf8ToCp932Exact(const char *text, size_t length, std::string *cp932);
// Converts length bytes of UTF-8 to the system's wide characters (UTF-16); 1, or 0 when it is no UTF-8.
int Utf8ToWide(const char *text, size_t length, std::vector<WCHAR> *wide);
// Converts length wide characters (UTF-16) to UTF-8; 1, or 0 when they are no UTF-16.
int WideToUtf8(const WCHAR *text, size_t length, std::string *utf8);
// Text of code page 932 in UTF-8 for people to read: each byte that is no character becomes U+FFFD.
std::string Cp932ToUtf8Shown(const char *text);
// UTF-8 text as a Windows program's ANSI view of it: each character without a form in code page 932, and each
// byte that is no UTF-8, becomes '?'.
std::string Utf8ToCp932Ansi(const char *text);

// ---- Time (environment.cpp) --------------------------------------------------------------------

// The file time (100 ns ticks since 1601, UTC) of a host time.
FILETIME FileTimeFromTimespec(const struct timespec &t);
// The host time of a file time.
struct timespec TimespecFromFileTime(const FILETIME &ft);
