// Clearing what an interrupted run left, without ever deleting what someone else put in its place.
#include "install.h"

#include <cstring>

namespace {

// Read this many bytes at a time when comparing a leftover with the stream it may be part of.
const DWORD CompareReadSize = 4096;

// Whether the file, from its start, holds the stream or a part of it from its first byte (what a run that
// was stopped while writing it leaves); 1, or 0 when it holds anything else or cannot be read.
int HoldsStartOf(HANDLE file, const unsigned char *stream, DWORD length)
{
    if (SetFilePointer(file, 0, NULL, FILE_BEGIN) != 0)
        return 0;
    unsigned char buffer[CompareReadSize];
    DWORD offset = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, sizeof buffer, &got, NULL))
            return 0;
        if (got == 0)
            return 1;
        if (got > length - offset || memcmp(buffer, stream + offset, got) != 0)
            return 0;
        offset += got;
    }
}

}  // namespace

int RemoveOwnLeftover(HANDLE folder, const char *name, const unsigned char *stream, DWORD streamLength)
{
    // Unshared, so that nobody renames or writes it while it is looked at; a leftover that another process
    // holds open for longer than a scanner would stays where it is, as a deletion would only leave its name
    // pending until that process lets go.
    HANDLE file;
    DWORD access = DELETE | FILE_READ_ATTRIBUTES | (stream != NULL ? GENERIC_READ : 0);
    if (OpenExistingUnshared(folder, name, access, &file) < 0)
        return 0;
    // A second name would make the file someone else's too; a link or a folder is never the run's own, and
    // at a staged name another program's compressed file of the same conventional name is not either.
    BY_HANDLE_FILE_INFORMATION info;
    int removed = GetFileInformationByHandle(file, &info) &&
                  (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
                  info.nNumberOfLinks == 1 && NamesEntry(file, folder, name) &&
                  (stream == NULL || HoldsStartOf(file, stream, streamLength)) && MarkForDeletion(file);
    CloseHandle(file);
    return removed;
}

void RemoveLeftovers(const PayloadSpec *row, const char *installDir)
{
    HANDLE folder;
    const unsigned char *stream;
    DWORD streamLength;
    char stageDir[StagedPathCapacity];
    if (PayloadStream(row, &stream, &streamLength) && StageDirectory(stageDir, sizeof stageDir) &&
        OpenCheckedFolder(stageDir, &folder)) {
        RemoveOwnLeftover(folder, row->stagedName, stream, streamLength);
        CloseHandle(folder);
    }
    char temporaryName[LongestPayloadName + 1];
    if (TemporaryPathFor(row->targetName, temporaryName, sizeof temporaryName) &&
        OpenCheckedFolder(installDir, &folder)) {
        RemoveOwnLeftover(folder, temporaryName, NULL, 0);
        CloseHandle(folder);
    }
}
