// Installing one payload: stage its SZDD stream, stamp it, guard the target, expand it and put it in place.
#include "install.h"

#include "szdd_format.h"

#include <cstddef>
#include <cstring>

namespace {

// What a payload's installation holds open, each INVALID_HANDLE_VALUE until it is.
struct OpenHandles {
    HANDLE staged;    // the staged file, deleted when closed
    HANDLE expanded;  // the expanded file, until it is the target
};

// Gives the staged file (when there is one) the payload's last-write time, which it stores in payloadTime
// as UTC; 1, or 0 when the payload's time cannot be converted.
int StampStagedFile(HANDLE staged, const SYSTEMTIME *timestamp, FILETIME *payloadTime)
{
    // The time is converted even without a staged file: the guard needs it.
    int converted = SystemTimeToFileTime(timestamp, payloadTime) && LocalFileTimeToFileTime(payloadTime, payloadTime);
    if (staged != INVALID_HANDLE_VALUE && converted)
        SetFileTime(staged, NULL, NULL, payloadTime);
    return converted;
}

// Whether the directory of a path that ends in a file name of nameLength bytes leaves room for every
// payload's file name in a path of LzPathCapacity. Measured as the system resolves it: the current
// directory in front of a relative path, "." and ".." gone. 1, or 0 (also when the path cannot be resolved).
int LeavesRoomForEveryPayload(const char *path, size_t nameLength)
{
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path, sizeof full, full, NULL);
    if (length == 0 || length >= sizeof full || length < nameLength)
        return 0;
    return length - nameLength + LongestPayloadName < LzPathCapacity;
}

// Renames the expanded file over the target through its own handle, within the installation folder's
// handle, never by a name or a path; the NTSTATUS, negative when it stays where it was.
LONG RenameOverTarget(HANDLE expanded, HANDLE folder, const char *targetName)
{
    union {
        FILE_RENAME_INFORMATION info;
        unsigned char bytes[sizeof(FILE_RENAME_INFORMATION) + LongestPayloadName * sizeof(WCHAR)];
    } rename;
    memset(&rename, 0, sizeof rename);
    rename.info.ReplaceIfExists = TRUE;
    rename.info.RootDirectory = folder;
    // The name is ASCII ("PERNA.EXE"): each byte is its UTF-16 character.
    size_t nameLength = strlen(targetName);
    unsigned char *name = rename.bytes + offsetof(FILE_RENAME_INFORMATION, FileName);
    for (size_t i = 0; i < nameLength; ++i) {
        WCHAR character = (WCHAR)(unsigned char)targetName[i];
        memcpy(name + i * sizeof character, &character, sizeof character);
    }
    rename.info.FileNameLength = (ULONG)(nameLength * sizeof(WCHAR));
    IO_STATUS_BLOCK status;
    return NtSetInformationFile(expanded, &status, &rename, sizeof rename, FileRenameInformation);
}

// Whether the entry of the folder that bears the name is a read-only file; 1, or 0 (also when there is none).
int IsReadOnlyAt(HANDLE folder, const char *name)
{
    HANDLE there;
    if (OpenInFolder(folder, name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     FILE_OPEN, 0, &there) < 0)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int readOnly = GetFileInformationByHandle(there, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    CloseHandle(there);
    return readOnly;
}

// Whether no other process has the folder's entry name open, so that no oplock of its can be on it either:
// an unshared open of it goes through, or there is none; 0, or the NTSTATUS of the open that met a hold.
LONG NobodyElseHas(HANDLE folder, const char *name)
{
    HANDLE probe;
    LONG opened = OpenInFolder(folder, name, DELETE, 0, FILE_OPEN, 0, &probe);
    if (opened >= 0)
        CloseHandle(probe);
    return opened >= 0 || opened == STATUS_OBJECT_NAME_NOT_FOUND ? 0 : opened;
}

// The message that tells the user why the guard refused, by its verdict.
const Message *const RefusalMessages[] = {NULL, &MsgToolMissing, &MsgAlreadyCurrent, &MsgVersionMismatch};

// Deletes and closes the staged and the expanded file, each when open, then shows the message; always 0, the
// caller's result.
int Fail(OpenHandles *open, const Message *message)
{
    if (open->staged != INVALID_HANDLE_VALUE)
        DeleteStagedFile(open->staged);
    if (open->expanded != INVALID_HANDLE_VALUE) {
        MarkForDeletion(open->expanded);
        CloseHandle(open->expanded);
    }
    open->staged = open->expanded = INVALID_HANDLE_VALUE;
    ShowMessage(message);
    return 0;
}

}  // namespace

int DeclaredExpandedLength(const unsigned char *payload, DWORD size, DWORD *length)
{
    if (size < SzddContainerLengthOffset + 4)
        return 0;
    const unsigned char *p = payload + SzddContainerLengthOffset;
    // Byte by byte: the resource has no alignment and the value is little-endian on every host.
    *length = (DWORD)p[0] | (DWORD)p[1] << 8 | (DWORD)p[2] << 16 | (DWORD)p[3] << 24;
    return 1;
}

int MarkForDeletion(HANDLE file)
{
    // POSIX semantics: the name goes when this handle closes, even while a scanner still has the file open,
    // so that no later creation of the name meets a deletion still pending.
    FILE_DISPOSITION_INFORMATION_EX posix;
    posix.Flags = FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS;
    IO_STATUS_BLOCK status;
    LONG marked = NtSetInformationFile(file, &status, &posix, sizeof posix, FileDispositionInformationEx);
    // Systems before Windows 10 1709 know neither the class nor the flag, FAT has no such semantics, Wine
    // implements no such class: the name then stays until the last handle closes.
    if (marked == STATUS_INVALID_INFO_CLASS || marked == STATUS_NOT_SUPPORTED || marked == STATUS_INVALID_PARAMETER ||
        marked == STATUS_NOT_IMPLEMENTED) {
        FILE_DISPOSITION_INFORMATION disposition;
        disposition.DeleteFile = TRUE;
        marked = NtSetInformationFile(file, &status, &disposition, sizeof disposition, FileDispositionInformation);
    }
    return marked == 0;
}

int PayloadStream(const PayloadSpec *row, const unsigned char **stream, DWORD *length)
{
    HRSRC resource = FindResourceA(NULL, row->resourceName, "BIN");
    HGLOBAL loaded = resource != NULL ? LoadResource(NULL, resource) : NULL;
    const unsigned char *payload = loaded != NULL ? (const unsigned char *)LockResource(loaded) : NULL;
    DWORD size = resource != NULL ? SizeofResource(NULL, resource) : 0;
    if (payload == NULL || size < SzddContainerPrefixSize)
        return 0;
    *stream = payload + SzddContainerPrefixSize;
    *length = size - SzddContainerPrefixSize;
    return 1;
}

int InstallPayload(const PayloadSpec *row, const char *installDir, HANDLE installFolder)
{
    const HANDLE none = INVALID_HANDLE_VALUE;
    OpenHandles open = {none, none};
    const unsigned char *stream;
    DWORD streamLength;
    if (!PayloadStream(row, &stream, &streamLength))
        return Fail(&open, row->sourceFailed);

    char stageDir[StagedPathCapacity];
    char stagedPath[StagedPathCapacity];
    if (!StageDirectory(stageDir, sizeof stageDir) || strlen(stageDir) >= sizeof stagedPath)
        return Fail(&open, row->sourceFailed);
    memcpy(stagedPath, stageDir, strlen(stageDir) + 1);
    if (!AppendFileName(stagedPath, sizeof stagedPath, row->stagedName) ||
        !LeavesRoomForEveryPayload(stagedPath, strlen(row->stagedName)))
        return Fail(&open, row->sourceFailed);

    // A payload that could not be staged fails once the guard has spoken, as one whose expansion cannot start.
    HANDLE stageFolder;
    OpenStageFolder(stageDir, &stageFolder);
    open.staged = WriteStagedFile(stageFolder, row->stagedName, stream, streamLength);
    if (stageFolder != none)
        CloseHandle(stageFolder);
    FILETIME payloadTime = {0, 0};
    if (!StampStagedFile(open.staged, &row->timestamp, &payloadTime))
        return Fail(&open, row->sourceFailed);

    char targetPath[InstallPathCapacity];
    char temporaryName[LongestPayloadName + 1];
    if (!FormTargetPath(installDir, row->targetName, targetPath, sizeof targetPath) ||
        !LeavesRoomForEveryPayload(targetPath, strlen(row->targetName)) ||
        !TemporaryPathFor(row->targetName, temporaryName, sizeof temporaryName))
        return Fail(&open, row->targetFailed);

    // The guard, the expanded file, the rename and the check of what stands at the target afterwards all go
    // through the run's one handle on the installation folder.
    if (row->guarded) {
        InstalledFileVerdict verdict = CheckInstalledFile(installFolder, row->targetName, &payloadTime);
        if (verdict != InstalledFileReplaceable)
            return Fail(&open, RefusalMessages[verdict]);
    }

    // The library reads the stream through a second handle on the staged file, which it closes with its own;
    // the run keeps the first, whose closing deletes the file.
    HANDLE reader;
    if (open.staged == none || SetFilePointer(open.staged, 0, NULL, FILE_BEGIN) != 0 ||
        !DuplicateForLibrary(open.staged, &reader))
        return Fail(&open, row->sourceFailed);
    INT source = LZInit((INT)(INT_PTR)reader);
    if (source < 0) {
        CloseHandle(reader);
        return Fail(&open, row->sourceFailed);
    }

    // A read-only target cannot be replaced; said now, before any work, as opening it for writing would.
    if (installFolder == none || IsReadOnlyAt(installFolder, row->targetName)) {
        LZClose(source);
        return Fail(&open, row->targetFailed);
    }

    // The target is expanded beside itself and then moved over it, so that it is never left truncated. The
    // expanded file too is made new and held unshared from its first byte to the move: nobody else can
    // write, rename or replace it between the check of its bytes and its installation. The library writes
    // through a second handle that it opens for itself with LZInit and closes with its own.
    HANDLE writer;
    if (CreateNewUnshared(installFolder, temporaryName, GENERIC_READ | GENERIC_WRITE | DELETE, 0, &open.expanded) < 0) {
        LZClose(source);
        return Fail(&open, row->targetFailed);
    }
    // A system that keeps a file's name rather than the file behind its handle (Wine resolves the name it
    // just created, links and all) would carry out the rename on whatever another process put at that name
    // in the meantime: such a handle is never renamed through. Its deletion stays safe: the system deletes
    // through a handle only the file that handle is open on.
    if (!NamesEntry(open.expanded, installFolder, temporaryName)) {
        LZClose(source);
        return Fail(&open, row->targetFailed);
    }
    if (!DuplicateForLibrary(open.expanded, &writer)) {
        LZClose(source);
        return Fail(&open, row->targetFailed);
    }
    INT destination = LZInit((INT)(INT_PTR)writer);
    if (destination < 0) {
        CloseHandle(writer);
        LZClose(source);
        return Fail(&open, row->targetFailed);
    }
    LONG copied = LZCopy(source, destination);
    LZClose(source);
    LZClose(destination);
    DeleteStagedFile(open.staged);
    open.staged = none;
    // A stream that ends early still copies without an error: only its declared length tells.
    DWORD declared = 0;
    if (copied < 0 ||
        !DeclaredExpandedLength(stream - SzddContainerPrefixSize, streamLength + SzddContainerPrefixSize, &declared) ||
        (DWORD)copied != declared)
        return Fail(&open, row->copyFailed);

    // The installed file ends with the payload's bytes and time, or the payload fails: a file stamped with
    // another time would be judged against every later payload by that time. Its bytes reach the disk
    // before its name does.
    if (SetFilePointer(open.expanded, 0, NULL, FILE_BEGIN) != 0 || !FileHasDigest(open.expanded, row->digest) ||
        !SetFileTime(open.expanded, NULL, NULL, &payloadTime) || !FlushFileBuffers(open.expanded))
        return Fail(&open, row->copyFailed);
    // A target that any process has open cannot be replaced; a scanner's open ends within a moment. The
    // rename itself would wait, without any bound, for an oplock on the target to be given up: it is tried
    // only right after nobody else had the target open, and so nobody an oplock on it.
    HeldFileWait wait;
    StartHeldFileWait(&wait);
    LONG renamed;
    do {
        renamed = NobodyElseHas(installFolder, row->targetName);
        if (renamed >= 0)
            renamed = RenameOverTarget(open.expanded, installFolder, row->targetName);
    } while (renamed < 0 && WaitForHeldFile(&wait, renamed));
    if (renamed < 0)
        return Fail(&open, row->targetFailed);
    // Success only on a positive match: a system that carries out a rename by the file's name rather than
    // through its handle (Wine does) would have moved whatever another process put at that name, and a
    // target that cannot be looked at is not known to be the payload. Whatever stands there is not deleted.
    int placed = IsFileAt(open.expanded, installFolder, row->targetName);
    CloseHandle(open.expanded);
    open.expanded = none;
    if (!placed)
        return Fail(&open, row->targetFailed);
    return 1;
}
