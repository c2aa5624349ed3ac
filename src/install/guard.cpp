// The guard that keeps the installed tool from being replaced when it is missing, current or foreign.
#include "install.h"

#include <cstdint>

// The expanded length of the shipped tool payload; the build refuses a payload of any other length.
const DWORD AcceptedSizeTable[] = {610361, 0};

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

int CheckInstalledFile(const char *targetPath, const FILETIME *payloadTime, const char *stagedPath)
{
    // Share mode 0: a tool that another process holds open counts as not installed.
    HANDLE file = CreateFileA(targetPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        CrtRemove(stagedPath);
        ShowMessage(&MsgToolMissing);
        return 0;
    }
    FILETIME installed = {0, 0};
    GetFileTime(file, NULL, NULL, &installed);
    DWORD size = GetFileSize(file, NULL);
    CloseHandle(file);

    // The date decides first: a current file of a foreign size is reported as current.
    if (CompareFileTimes(&installed, payloadTime) >= 0) {
        CrtRemove(stagedPath);
        ShowMessage(&MsgAlreadyCurrent);
        return 0;
    }
    if (!IsAcceptedSize(AcceptedSizeTable, size)) {
        CrtRemove(stagedPath);
        ShowMessage(&MsgVersionMismatch);
        return 0;
    }
    return 1;
}
