// Clearing what an interrupted run left, without ever deleting what someone else put in its place.
#include "install.h"

#include "szdd_format.h"

#include <cstring>

namespace {

// Read this many bytes at a time when comparing a leftover with what it may be part of.
const DWORD CompareReadSize = 4096;

// Opens the entry name of the folder unshared, so that nobody renames or writes it while it is looked at,
// when it is what a run of this program could have left there: a plain file (no link, no folder) with one
// name, which the handle opened on it names exactly. Its handle with delete and read access, or
// INVALID_HANDLE_VALUE. A leftover that another process holds open for longer than a scanner would stays
// where it is, as a deletion would only leave its name pending until that process lets go.
HANDLE OpenLeftover(HANDLE folder, const char *name)
{
    HANDLE file;
    if (OpenExistingUnshared(folder, name, DELETE | FILE_READ_ATTRIBUTES | GENERIC_READ, &file) < 0)
        return INVALID_HANDLE_VALUE;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) &&
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        info.nNumberOfLinks == 1 && NamesEntry(file, folder, name))
        return file;
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
}

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

// Whether the file, from its start, holds what the LZ source gives, or a part of it from its first byte; 1,
// or 0 when it holds anything else or cannot be read. The source is read only as far as the file goes.
int HoldsStartOfExpansion(HANDLE file, INT source)
{
    if (SetFilePointer(file, 0, NULL, FILE_BEGIN) != 0)
        return 0;
    unsigned char held[CompareReadSize];
    char expanded[CompareReadSize];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, held, sizeof held, &got, NULL))
            return 0;
        if (got == 0)
            return 1;
        if (LZRead(source, expanded, (INT)got) != (INT)got || memcmp(held, expanded, got) != 0)
            return 0;
    }
}

}  // namespace

int RemoveOwnLeftover(HANDLE folder, const char *name, const unsigned char *stream, DWORD streamLength)
{
    // At a staged name another program's compressed file of the same conventional name is not the run's.
    HANDLE file = OpenLeftover(folder, name);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    int removed = HoldsStartOf(file, stream, streamLength) && MarkForDeletion(file);
    CloseHandle(file);
    return removed;
}

int RemoveOwnExpansion(HANDLE installFolder, const char *name, HANDLE stageFolder, const PayloadSpec *row)
{
    const unsigned char *stream;
    DWORD streamLength, declared, sizeHigh = 0;
    if (!PayloadStream(row, &stream, &streamLength) ||
        !DeclaredExpandedLength(stream - SzddContainerPrefixSize, streamLength + SzddContainerPrefixSize, &declared))
        return 0;
    HANDLE file = OpenLeftover(installFolder, name);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    // No longer than the expansion, which the library that made it makes again here, from the stream staged
    // for the moment: the comparison reads no more than the leftover holds, and holds no more in memory than a
    // buffer's worth.
    DWORD size = GetFileSize(file, &sizeHigh);
    int removed = 0;
    HANDLE staged = INVALID_HANDLE_VALUE, reader;
    if (size != INVALID_FILE_SIZE && sizeHigh == 0 && size <= declared)
        staged = WriteStagedFile(stageFolder, row->stagedName, stream, streamLength);
    if (staged != INVALID_HANDLE_VALUE && SetFilePointer(staged, 0, NULL, FILE_BEGIN) == 0 &&
        DuplicateForLibrary(staged, &reader)) {
        INT source = LZInit((INT)(INT_PTR)reader);
        if (source >= 0) {
            removed = HoldsStartOfExpansion(file, source) && MarkForDeletion(file);
            LZClose(source);
        } else {
            CloseHandle(reader);
        }
    }
    if (staged != INVALID_HANDLE_VALUE)
        DeleteStagedFile(staged);
    CloseHandle(file);
    return removed;
}

void RemoveLeftovers(const PayloadSpec *row, HANDLE installFolder)
{
    HANDLE stageFolder;
    const unsigned char *stream;
    DWORD streamLength;
    char stageDir[StagedPathCapacity];
    if (!PayloadStream(row, &stream, &streamLength) || !StageDirectory(stageDir, sizeof stageDir) ||
        !OpenStageFolder(stageDir, &stageFolder))
        return;
    // The staged name first: the comparison at the temporary name stages the stream there anew.
    RemoveOwnLeftover(stageFolder, row->stagedName, stream, streamLength);
    char temporaryName[LongestPayloadName + 1];
    if (installFolder != INVALID_HANDLE_VALUE && TemporaryPathFor(row->targetName, temporaryName, sizeof temporaryName))
        RemoveOwnExpansion(installFolder, temporaryName, stageFolder, row);
    CloseHandle(stageFolder);
}
