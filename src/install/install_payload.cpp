// Installing one payload: stage its SZDD stream, stamp it, guard the target, expand it and put it in place.
#include "install.h"

#include "szdd_format.h"

#include <cstddef>
#include <cstring>

namespace {

// Creates the staged file and writes the stream to it whole; its handle, or INVALID_HANDLE_VALUE when it
// could not be created (an entry of that name is already there) or written whole.
HANDLE WriteStagedFile(const char *stagedPath, const unsigned char *stream, DWORD length)
{
    // The stage directory belongs to the user: the file is made new, never opened over whatever someone put
    // at its name, and from then on used only through this handle, which no other open may share. It is
    // deleted when the handle is closed, however the run ends.
    HANDLE file = CreateFileA(stagedPath, GENERIC_READ | GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return file;
    // One call, straight from the resource: the payload is never copied in memory. A partial stream would
    // expand into a partial tool.
    DWORD written = 0;
    if (!WriteFile(file, stream, length, &written, NULL) || written != length) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

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

// Renames the expanded file over the target through its own handle, never by its name; 1, or 0 when it
// stays where it was.
int RenameOverTarget(HANDLE expanded, const char *targetPath, const char *targetName)
{
    // The new name is given within the target's folder: the target's path without its name.
    char folder[InstallPathCapacity];
    size_t folderLength = strlen(targetPath) - strlen(targetName);
    memcpy(folder, targetPath, folderLength);
    folder[folderLength] = '\0';
    HANDLE directory = CreateFileA(folder, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (directory == INVALID_HANDLE_VALUE)
        return 0;
    union {
        FILE_RENAME_INFORMATION info;
        unsigned char bytes[sizeof(FILE_RENAME_INFORMATION) + LongestPayloadName * sizeof(WCHAR)];
    } rename;
    memset(&rename, 0, sizeof rename);
    rename.info.ReplaceIfExists = TRUE;
    rename.info.RootDirectory = directory;
    // The name is ASCII ("PERNA.EXE"): each byte is its UTF-16 character.
    size_t nameLength = strlen(targetName);
    unsigned char *name = rename.bytes + offsetof(FILE_RENAME_INFORMATION, FileName);
    for (size_t i = 0; i < nameLength; ++i) {
        WCHAR character = (WCHAR)(unsigned char)targetName[i];
        memcpy(name + i * sizeof character, &character, sizeof character);
    }
    rename.info.FileNameLength = (ULONG)(nameLength * sizeof(WCHAR));
    IO_STATUS_BLOCK status;
    LONG result = NtSetInformationFile(expanded, &status, &rename, sizeof rename, FileRenameInformation);
    CloseHandle(directory);
    return result == 0;
}

// Whether what stands at path is known to be another file than the one the handle is open on, or nothing;
// 1, or 0 when it is that file or cannot be told (the rename was made through the handle, and where the
// system keeps to that, the file is in place).
int AnotherFileAt(HANDLE file, const char *path)
{
    // Asking for attributes alone meets no sharing: a holder of the target cannot hide what it is.
    HANDLE there = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (there == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    BY_HANDLE_FILE_INFORMATION found, own;
    int other = GetFileInformationByHandle(there, &found) && GetFileInformationByHandle(file, &own) &&
                (found.dwVolumeSerialNumber != own.dwVolumeSerialNumber || found.nFileIndexHigh != own.nFileIndexHigh ||
                 found.nFileIndexLow != own.nFileIndexLow);
    CloseHandle(there);
    return other;
}

// The message that tells the user why the guard refused, by its verdict.
const Message *const RefusalMessages[] = {NULL, &MsgToolMissing, &MsgAlreadyCurrent, &MsgVersionMismatch};

// Closes the staged file (which deletes it) and deletes and closes the expanded one, each when given, then
// shows the message; always 0, the caller's result.
int Fail(HANDLE staged, HANDLE expanded, const Message *message)
{
    if (staged != INVALID_HANDLE_VALUE)
        CloseHandle(staged);
    if (expanded != INVALID_HANDLE_VALUE) {
        MarkForDeletion(expanded);
        CloseHandle(expanded);
    }
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
    FILE_DISPOSITION_INFORMATION disposition;
    disposition.DeleteFile = TRUE;
    IO_STATUS_BLOCK status;
    return NtSetInformationFile(file, &status, &disposition, sizeof disposition, FileDispositionInformation) == 0;
}

int InstallPayload(const PayloadSpec *row, const char *installDir)
{
    const HANDLE none = INVALID_HANDLE_VALUE;
    HRSRC resource = FindResourceA(NULL, row->resourceName, "BIN");
    HGLOBAL loaded = resource != NULL ? LoadResource(NULL, resource) : NULL;
    const unsigned char *payload = loaded != NULL ? (const unsigned char *)LockResource(loaded) : NULL;
    DWORD size = resource != NULL ? SizeofResource(NULL, resource) : 0;
    if (payload == NULL || size < SzddContainerPrefixSize)
        return Fail(none, none, row->sourceFailed);

    char stagedPath[StagedPathCapacity];
    if (!StageDirectory(stagedPath, sizeof stagedPath) ||
        !AppendFileName(stagedPath, sizeof stagedPath, row->stagedName) ||
        !LeavesRoomForEveryPayload(stagedPath, strlen(row->stagedName)))
        return Fail(none, none, row->sourceFailed);

    // A payload that could not be staged fails once the guard has spoken, as one whose expansion cannot start.
    HANDLE staged = WriteStagedFile(stagedPath, payload + SzddContainerPrefixSize, size - SzddContainerPrefixSize);
    FILETIME payloadTime = {0, 0};
    if (!StampStagedFile(staged, &row->timestamp, &payloadTime))
        return Fail(staged, none, row->sourceFailed);

    char targetPath[InstallPathCapacity];
    char temporaryPath[InstallPathCapacity];
    if (!FormTargetPath(installDir, row->targetName, targetPath, sizeof targetPath) ||
        !LeavesRoomForEveryPayload(targetPath, strlen(row->targetName)) ||
        !TemporaryPathFor(targetPath, temporaryPath, sizeof temporaryPath))
        return Fail(staged, none, row->targetFailed);

    if (row->guarded) {
        InstalledFileVerdict verdict = CheckInstalledFile(targetPath, &payloadTime);
        if (verdict != InstalledFileReplaceable)
            return Fail(staged, none, RefusalMessages[verdict]);
    }

    // The library reads the stream through the staged file's own handle, never by its name, and closes that
    // handle with its own.
    if (staged == none || SetFilePointer(staged, 0, NULL, FILE_BEGIN) != 0)
        return Fail(staged, none, row->sourceFailed);
    INT source = LZInit((INT)(INT_PTR)staged);
    if (source < 0)
        return Fail(staged, none, row->sourceFailed);

    // A read-only target cannot be replaced; said now, before any work, as opening it for writing would.
    DWORD attributes = GetFileAttributesA(targetPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        LZClose(source);
        return Fail(none, none, row->targetFailed);
    }

    // The target is expanded beside itself and then moved over it, so that it is never left truncated. The
    // expanded file too is made new and held unshared from its first byte to the move: nobody else can
    // write, rename or replace it between the check of its bytes and its installation.
    HANDLE expanded = CreateFileA(temporaryPath, GENERIC_READ | GENERIC_WRITE | DELETE, 0, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
    if (expanded == none) {
        LZClose(source);
        return Fail(none, none, row->targetFailed);
    }
    LONG copied = LZCopy(source, (INT)(INT_PTR)expanded);
    LZClose(source);
    // A stream that ends early still copies without an error: only its declared length tells.
    DWORD declared = 0;
    if (copied < 0 || !DeclaredExpandedLength(payload, size, &declared) || (DWORD)copied != declared)
        return Fail(none, expanded, row->copyFailed);

    // The installed file ends with the payload's bytes and time, or the payload fails: a file stamped with
    // another time would be judged against every later payload by that time. Its bytes reach the disk
    // before its name does.
    if (SetFilePointer(expanded, 0, NULL, FILE_BEGIN) != 0 || !FileHasDigest(expanded, row->digest) ||
        !SetFileTime(expanded, NULL, NULL, &payloadTime) || !FlushFileBuffers(expanded))
        return Fail(none, expanded, row->copyFailed);
    if (!RenameOverTarget(expanded, targetPath, row->targetName))
        return Fail(none, expanded, row->targetFailed);
    // A system that carries out a rename by the file's name rather than through its handle (Wine does)
    // would have moved whatever another process put at that name: what counts is what the target is now.
    // Whatever it is, it is not deleted.
    int replaced = AnotherFileAt(expanded, targetPath);
    CloseHandle(expanded);
    if (replaced)
        return Fail(none, none, row->targetFailed);
    return 1;
}
