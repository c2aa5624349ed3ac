// Clearing what an interrupted run left, without ever deleting what someone else put in its place.
#include "install.h"

#include <cstring>

namespace {

// Room for a final path: "\\?\", a path of MAX_PATH, and some.
const DWORD FinalPathCapacity = MAX_PATH + 64;

// Compares code-page text with ASCII letters folded, double-byte characters whole; 1 when equal.
int SameTextIgnoringCase(const char *a, const char *b)
{
    for (;;) {
        unsigned char x = (unsigned char)*a, y = (unsigned char)*b;
        if (x >= 'a' && x <= 'z')
            x = (unsigned char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = (unsigned char)(y - 'a' + 'A');
        if (x != y)
            return 0;
        if (x == '\0')
            return 1;
        // A trail byte is compared as it is, never folded.
        if (IsDBCSLeadByteEx(CP_ACP, x) && a[1] != '\0' && b[1] != '\0') {
            if (a[1] != b[1])
                return 0;
            ++a;
            ++b;
        }
        ++a;
        ++b;
    }
}

// Whether the handle is open on the entry of path's folder that bears path's last nameLength bytes, and not
// on a file reached through a link of that name: the system's name for the handle must be its name for the
// folder, then that file name. 1; 0 when it is not, or cannot be told. A system that cannot name a handle
// (before Vista) does not follow links for an open that asks it not to, and the caller checks for those.
int NamesEntry(HANDLE file, const char *path, size_t nameLength)
{
    char found[FinalPathCapacity];
    DWORD length = GetFinalPathNameByHandleA(file, found, sizeof found, 0);
    if (length == 0)
        return GetLastError() == ERROR_CALL_NOT_IMPLEMENTED;
    if (length >= sizeof found)
        return 0;

    char folder[FinalPathCapacity];
    size_t folderLength = strlen(path) - nameLength;
    if (folderLength >= sizeof folder)
        return 0;
    memcpy(folder, path, folderLength);
    folder[folderLength] = '\0';
    HANDLE directory = CreateFileA(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (directory == INVALID_HANDLE_VALUE)
        return 0;
    char expected[FinalPathCapacity];
    length = GetFinalPathNameByHandleA(directory, expected, sizeof expected, 0);
    CloseHandle(directory);
    if (length == 0 || length >= sizeof expected ||
        !AppendFileName(expected, sizeof expected, path + strlen(path) - nameLength))
        return 0;
    return SameTextIgnoringCase(found, expected);
}

}  // namespace

int RemoveOwnLeftover(const char *path, size_t nameLength)
{
    // Opened without following a link where the system can, and unshared, so that nobody renames it
    // while it is looked at; a leftover that another process holds open stays where it is, as a deletion
    // would only leave its name pending until that process lets go.
    HANDLE file =
        CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, 0, NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    // A second name would make the file someone else's too; a link or a folder is never the run's own.
    BY_HANDLE_FILE_INFORMATION info;
    int removed = GetFileInformationByHandle(file, &info) &&
                  (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                  info.nNumberOfLinks == 1 && NamesEntry(file, path, nameLength) && MarkForDeletion(file);
    CloseHandle(file);
    return removed;
}

void RemoveLeftovers(const PayloadSpec *row, const char *installDir)
{
    char stagedPath[StagedPathCapacity];
    if (StageDirectory(stagedPath, sizeof stagedPath) && AppendFileName(stagedPath, sizeof stagedPath, row->stagedName))
        RemoveOwnLeftover(stagedPath, strlen(row->stagedName));
    char targetPath[InstallPathCapacity];
    char temporaryPath[InstallPathCapacity];
    if (FormTargetPath(installDir, row->targetName, targetPath, sizeof targetPath) &&
        TemporaryPathFor(targetPath, temporaryPath, sizeof temporaryPath))
        RemoveOwnLeftover(temporaryPath, strlen(row->targetName));
}
