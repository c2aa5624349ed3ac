// Installing one payload: stage its SZDD stream, stamp it, guard the target, expand it and put it in place.
#include "install.h"

#include "szdd_format.h"

#include <cstdio>
#include <cstring>

namespace {

// Writes the stream to the staged file whole; 1, or 0 after removing whatever part of it was written.
int WriteStagedFile(const char *stagedPath, const unsigned char *stream, size_t length)
{
    FILE *file = CrtOpenForWriting(stagedPath);
    if (file == NULL)
        return 0;
    // One call, straight from the resource: the payload is never copied in memory.
    size_t written = CrtWrite(stream, 1, length, file);
    int closed = CrtClose(file);
    if (written == length && closed == 0)
        return 1;
    // A partial stream would expand into a partial tool.
    CrtRemove(stagedPath);
    return 0;
}

// Gives the staged file (when it was written) the payload's last-write time, which it stores in
// payloadTime as UTC; 1, or 0 when the payload's time cannot be converted.
int StampStagedFile(const char *stagedPath, int staged, const SYSTEMTIME *timestamp, FILETIME *payloadTime)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    if (staged)
        file =
            CreateFileA(stagedPath, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    // The time is converted even when the file could not be opened: the guard needs it.
    int converted = SystemTimeToFileTime(timestamp, payloadTime) && LocalFileTimeToFileTime(payloadTime, payloadTime);
    if (file != INVALID_HANDLE_VALUE) {
        if (converted)
            SetFileTime(file, NULL, NULL, payloadTime);
        CloseHandle(file);
    }
    return converted;
}

// Forms installDir\targetName in target; 1, or 0 when it does not fit.
int FormTargetPath(const char *installDir, const char *targetName, char *target, size_t capacity)
{
    size_t length = strlen(installDir);
    if (length >= capacity)
        return 0;
    memcpy(target, installDir, length + 1);
    return AppendFileName(target, capacity, targetName);
}

// Whether the directory of a path that ends in a file name of nameLength bytes leaves room for every
// payload's file name in a path that LZOpenFileA can open. Measured as the system resolves it, for that
// is what the LZ library holds: the current directory in front of a relative path, "." and ".." gone.
// 1, or 0 (also when the path cannot be resolved).
int LeavesRoomForEveryPayload(const char *path, size_t nameLength)
{
    char full[MAX_PATH];
    DWORD length = GetFullPathNameA(path, sizeof full, full, NULL);
    if (length == 0 || length >= sizeof full || length < nameLength)
        return 0;
    return length - nameLength + LongestPayloadName < LzPathCapacity;
}

// The message that tells the user why the guard refused, by its verdict.
const Message *const RefusalMessages[] = {NULL, &MsgToolMissing, &MsgAlreadyCurrent, &MsgVersionMismatch};

// Deletes the staged and the temporary file (those given), then shows the message; always 0, the caller's result.
int Fail(const char *stagedPath, const char *temporaryPath, const Message *message)
{
    if (stagedPath != NULL)
        CrtRemove(stagedPath);
    if (temporaryPath != NULL)
        DeleteFileA(temporaryPath);
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

int InstallPayload(const PayloadSpec *row, const char *installDir)
{
    HRSRC resource = FindResourceA(NULL, row->resourceName, "BIN");
    HGLOBAL loaded = resource != NULL ? LoadResource(NULL, resource) : NULL;
    const unsigned char *payload = loaded != NULL ? (const unsigned char *)LockResource(loaded) : NULL;
    DWORD size = resource != NULL ? SizeofResource(NULL, resource) : 0;
    if (payload == NULL || size < SzddContainerPrefixSize)
        return Fail(NULL, NULL, row->sourceFailed);

    char stagedPath[StagedPathCapacity];
    if (!StageDirectory(stagedPath, sizeof stagedPath) ||
        !AppendFileName(stagedPath, sizeof stagedPath, row->stagedName) ||
        !LeavesRoomForEveryPayload(stagedPath, strlen(row->stagedName)))
        return Fail(NULL, NULL, row->sourceFailed);

    int staged = WriteStagedFile(stagedPath, payload + SzddContainerPrefixSize, size - SzddContainerPrefixSize);
    FILETIME payloadTime = {0, 0};
    if (!StampStagedFile(stagedPath, staged, &row->timestamp, &payloadTime))
        return Fail(stagedPath, NULL, row->sourceFailed);

    char targetPath[InstallPathCapacity];
    char temporaryPath[InstallPathCapacity];
    if (!FormTargetPath(installDir, row->targetName, targetPath, sizeof targetPath) ||
        !LeavesRoomForEveryPayload(targetPath, strlen(row->targetName)) ||
        !TemporaryPathFor(targetPath, temporaryPath, sizeof temporaryPath))
        return Fail(stagedPath, NULL, row->targetFailed);

    if (row->guarded) {
        InstalledFileVerdict verdict = CheckInstalledFile(targetPath, &payloadTime);
        if (verdict != InstalledFileReplaceable)
            return Fail(stagedPath, NULL, RefusalMessages[verdict]);
    }

    // A staged file that was not written whole fails here, exactly as one that could not be opened.
    OFSTRUCT sourceInfo;
    INT source = staged ? LZOpenFileA(stagedPath, &sourceInfo, OF_READ | OF_SHARE_DENY_NONE) : LZERROR_BADINHANDLE;
    if (source < 0)
        return Fail(stagedPath, NULL, row->sourceFailed);

    // A read-only target cannot be replaced; said now, before any work, as opening it for writing would.
    // (Not every platform refuses to move a file over a read-only one.)
    DWORD attributes = GetFileAttributesA(targetPath);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        LZClose(source);
        return Fail(stagedPath, NULL, row->targetFailed);
    }

    // The target is expanded beside itself and then moved over it, so that it is never left truncated.
    OFSTRUCT targetInfo;
    INT target = LZOpenFileA(temporaryPath, &targetInfo, OF_CREATE | OF_WRITE);
    if (target < 0) {
        LZClose(source);
        return Fail(stagedPath, temporaryPath, row->targetFailed);
    }

    LONG copied = LZCopy(source, target);
    LZClose(source);
    LZClose(target);
    // A stream that ends early still copies without an error: only its declared length tells.
    DWORD declared = 0;
    if (copied < 0 || !DeclaredExpandedLength(payload, size, &declared) || (DWORD)copied != declared)
        return Fail(stagedPath, temporaryPath, row->copyFailed);

    // What is checked is what is installed: from the check of its bytes to the move, the expanded file is
    // held with writers denied (the staged file it came from sits where other processes may write).
    // Delete sharing lets the move rename it while it is held.
    HANDLE expanded =
        CreateFileA(temporaryPath, GENERIC_READ | FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (expanded == INVALID_HANDLE_VALUE)
        return Fail(stagedPath, temporaryPath, row->copyFailed);
    // The installed file ends with the payload's bytes and time, or the payload fails: a file stamped
    // with another time would be judged against every later payload by that time.
    if (!FileHasDigest(expanded, row->digest) || !SetFileTime(expanded, NULL, NULL, &payloadTime)) {
        CloseHandle(expanded);
        return Fail(stagedPath, temporaryPath, row->copyFailed);
    }
    BOOL moved = MoveFileExA(temporaryPath, targetPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    CloseHandle(expanded);
    if (!moved)
        return Fail(stagedPath, temporaryPath, row->targetFailed);

    CrtRemove(stagedPath);
    return 1;
}

void RemoveLeftovers(const PayloadSpec *row, const char *installDir)
{
    char stagedPath[StagedPathCapacity];
    if (StageDirectory(stagedPath, sizeof stagedPath) && AppendFileName(stagedPath, sizeof stagedPath, row->stagedName))
        CrtRemove(stagedPath);
    char targetPath[InstallPathCapacity];
    char temporaryPath[InstallPathCapacity];
    if (FormTargetPath(installDir, row->targetName, targetPath, sizeof targetPath) &&
        TemporaryPathFor(targetPath, temporaryPath, sizeof temporaryPath))
        DeleteFileA(temporaryPath);
}
