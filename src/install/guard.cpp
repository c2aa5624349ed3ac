// The guard that keeps the installed tool from being replaced when it is missing, current or foreign.
#include "install.h"

#include "accepted_sizes.h"
#include "szdd_format.h"

#include <cstdint>

// Alone in a section of its own, so that what reads the image finds the sizes without knowing them.
__attribute__((section(ACCEPTED_SIZE_SECTION))) const DWORD AcceptedSizeTable[] = {ACCEPTED_SIZE_ENTRIES, 0};

int IsAcceptedSize(const DWORD *table, DWORD size)
{
    for (const DWORD *entry = table; *entry != 0; ++entry) {
        uint64_t e = *entry;
        uint64_t s = size;
        if (s + 1 == e || s == e || s == e + 1)
            return 1;
    }
    return 0;
}

int CompareFileTimes(const FILETIME *a, const FILETIME *b)
{
    if (a->dwHighDateTime != b->dwHighDateTime)
        return a->dwHighDateTime < b->dwHighDateTime ? -1 : 1;
    if (a->dwLowDateTime != b->dwLowDateTime)
        return a->dwLowDateTime < b->dwLowDateTime ? -1 : 1;
    return 0;
}

InstalledFileVerdict CheckInstalledFile(HANDLE folder, const char *targetName, const FILETIME *payloadTime)
{
    // Share mode 0: a tool that another process holds open counts as not installed, once it has been held
    // for longer than a scanner holds a file.
    HANDLE file = INVALID_HANDLE_VALUE;
    if (folder == INVALID_HANDLE_VALUE)
        return InstalledFileMissing;
    if (OpenExistingUnshared(folder, targetName, GENERIC_READ, &file) < 0)
        return InstalledFileMissing;
    FILETIME installed = {0, 0};
    GetFileTime(file, NULL, NULL, &installed);
    DWORD size = GetFileSize(file, NULL);
    CloseHandle(file);

    // The date decides first: a current file of a foreign size is reported as current.
    if (CompareFileTimes(&installed, payloadTime) >= 0)
        return InstalledFileCurrent;
    if (!IsAcceptedSize(AcceptedSizeTable, size))
        return InstalledFileForeign;
    return InstalledFileReplaceable;
}
