// Installing one embedded payload: its description, the stage directory, the guard and the installation itself.
#pragma once

#include "message.h"
#include "platform.h"

#include <cstddef>

enum {
    StagedPathCapacity = 300,
    InstallPathCapacity = 260,
    // The room of the LZ library's old file-open record: at most 127 bytes of full path and the NUL. The
    // updater hands the library handles, never names, but keeps every path within that room, so that the
    // folders it accepts stay what they have always been.
    LzPathCapacity = 128,
    // The longest staged or target file name of any payload ("KALENDO.IN_", "KALENDO.INI"). The stage
    // and installation directories must leave room for it within LzPathCapacity for every payload, so
    // that a path length the tool got past can never stop the day-off file after the tool was replaced.
    LongestPayloadName = 11,
    // A SHA-256 digest.
    PayloadDigestSize = 32
};

// One payload the updater installs.
struct PayloadSpec {
    const char *resourceName;     // resource of type "BIN"
    const char *stagedName;       // file name of the staged file in the stage directory
    const char *targetName;       // file name of the installed file in the installation directory
    SYSTEMTIME timestamp;         // local time; the last-write time the installed file ends with
    int guarded;                  // whether CheckInstalledFile decides if the target may be replaced
    const unsigned char *digest;  // SHA-256 of the bytes the payload expands to (PayloadDigestSize)
    const Message *sourceFailed;  // the staged file cannot be opened for the expansion
    const Message *targetFailed;  // the target cannot be prepared or replaced
    const Message *copyFailed;    // the expansion fails
};

// What the guard found of the installed file, and so whether it may be replaced.
enum InstalledFileVerdict {
    InstalledFileReplaceable,  // present, older than the payload and of an accepted size
    InstalledFileMissing,      // cannot be opened: absent, or held open by another process
    InstalledFileCurrent,      // not older than the payload
    InstalledFileForeign       // of a size the table does not accept
};

// Installed sizes the guard accepts (each also one byte smaller or larger), ended by 0.
extern const DWORD AcceptedSizeTable[];

// Installs the payload into the installation folder, whose handle the run opened once for all payloads
// (INVALID_HANDLE_VALUE when it could not be) and whose path installDir is held to the path limits; 1 when the
// target has been written, 0 after one message.
int InstallPayload(const PayloadSpec *row, const char *installDir, HANDLE installFolder);

// The payload's SZDD stream within its resource (after the container's prefix); 1, or 0 when the resource is
// missing or too short.
int PayloadStream(const PayloadSpec *row, const unsigned char **stream, DWORD *length);

// Deletes the staged and the temporary file of the payload that an interrupted run may have left (those
// exact names, nothing else, the temporary one in the installation folder's handle), each only when it is a
// plain file with that one name that holds what the run put there: the payload's stream at the staged name,
// what the LZ library expands it to at the temporary name, or the start of either. Shows nothing; whatever
// else stands there (a link, a second name of another file, a folder, another program's file) stays.
void RemoveLeftovers(const PayloadSpec *row, HANDLE installFolder);

// Deletes the entry name of the folder only when it is a plain file with a single name that the handle
// opened on it names exactly, and holds the stream's first bytes or all of them; 1 when it was deleted, 0 when
// it stays (absent, held, or anything else).
int RemoveOwnLeftover(HANDLE folder, const char *name, const unsigned char *stream, DWORD streamLength);

// Deletes the entry name of the installation folder as RemoveOwnLeftover does, but only when it holds what
// the LZ library expands the payload's stream to, or the start of that: the stream is staged anew in the
// stage folder for the comparison, and deleted again. 1 when it was deleted, 0 when it stays.
int RemoveOwnExpansion(HANDLE installFolder, const char *name, HANDLE stageFolder, const PayloadSpec *row);

// The longest a file or folder that another process holds open is waited for, in milliseconds, each time a
// folder is opened, the guard opens the tool, the expanded file is renamed over a target, a leftover is opened
// or a name still being deleted is created: the waits, from 50 ms doubling to 500 ms, add up to this.
const DWORD HeldFileWaitBound = 3000;

// The waits so far for one file.
struct HeldFileWait {
    DWORD waited;  // milliseconds waited
    DWORD next;    // the next wait
};

// Starts the waits for one file; nothing.
void StartHeldFileWait(HeldFileWait *wait);

// Waits a little more, unless the waits so far reach the bound; 1 when it waited (try again), 0 when not.
int WaitLonger(HeldFileWait *wait);

// After an open or rename of a file failed with status: when it may be another process's hold that ends soon
// (a sharing violation, access denied) and the bound is not reached, waits a little and returns 1 (try
// again); otherwise returns 0 at once.
int WaitForHeldFile(HeldFileWait *wait, LONG status);

// Opens the existing file of that name in the folder with share mode 0, waiting out another process's
// brief hold on it; the NTSTATUS of the last try, with the handle when it succeeded.
LONG OpenExistingUnshared(HANDLE folder, const char *name, DWORD access, HANDLE *file);

// Creates the file of that name in the folder, new and unshared, waiting out a name whose file is still being
// deleted; the NTSTATUS of the last try, with the handle when it succeeded.
LONG CreateNewUnshared(HANDLE folder, const char *name, DWORD access, DWORD options, HANDLE *file);

// Opens the folder at path for reaching names in it, waiting out another process's brief hold on it; 1 with
// its handle, or 0 (handle INVALID_HANDLE_VALUE) when it cannot be opened or is not a folder on a disk volume
// (a pipe, a device, a file).
int OpenCheckedFolder(const char *path, HANDLE *folder);

// Opens the stage folder at path as OpenCheckedFolder does, and keeps it only on a volume of this machine's,
// not one a network redirector serves; 1 with its handle, or 0 (handle INVALID_HANDLE_VALUE).
int OpenStageFolder(const char *path, HANDLE *folder);

// Opens or creates (disposition FILE_OPEN or FILE_CREATE) the file of that ASCII name in the folder, never
// following a link at the name and never a folder, synchronously, at identification level, never waiting on
// another process's oplock (an open that finds one being broken fails as a sharing violation); the NTSTATUS,
// negative on failure, and the handle in *file (INVALID_HANDLE_VALUE on failure).
LONG OpenInFolder(HANDLE folder, const char *name, DWORD access, DWORD share, DWORD disposition, DWORD options,
                  HANDLE *file);

// Whether two handles are open on the same file (volume and file id); 1, or 0 when not or it cannot be told.
int SameFile(HANDLE a, HANDLE b);

// Whether the entry of the folder that bears the name is known to be the file the handle is open on; 1, or 0
// when it is another file, nothing, or cannot be told.
int IsFileAt(HANDLE file, HANDLE folder, const char *name);

// Whether the file is the folder's entry name, not one reached through a link: the system's name for the
// file's handle is its name for the folder's, then name, or, where no name can be had, that entry is this
// file; 1, or 0 when it is not or cannot be told.
int NamesEntry(HANDLE file, HANDLE folder, const char *name);

// Has the system delete the file once its handle is closed (the handle needs DELETE access), its name gone
// then even while other processes still have it open, where the system can; 1, or 0.
int MarkForDeletion(HANDLE file);

// Creates the staged file name in the stage folder and writes the stream to it whole; its handle (deleted when
// closed), or INVALID_HANDLE_VALUE when the folder is INVALID_HANDLE_VALUE, or the file could not be created
// (an entry of that name is already there) or written whole.
HANDLE WriteStagedFile(HANDLE stageFolder, const char *name, const unsigned char *stream, DWORD length);

// Deletes the staged file (its name at once) and closes its handle; nothing.
void DeleteStagedFile(HANDLE staged);

// A second handle on the same open file, for the LZ library to close with its own; 1, or 0.
int DuplicateForLibrary(HANDLE file, HANDLE *duplicate);

// Whether the bytes from the file's current position to its end have the SHA-256 digest given; 1, or 0
// when they differ or cannot be read or hashed.
int FileHasDigest(HANDLE file, const unsigned char *digest);

// Puts the stage directory, ending in '\', into buffer; 1, or 0 when it does not fit in capacity.
int StageDirectory(char *buffer, size_t capacity);

// Judges the installed target, the folder's entry targetName, against the payload's UTC time; the verdict
// (missing when the folder is INVALID_HANDLE_VALUE). Shows nothing, deletes nothing.
InstalledFileVerdict CheckInstalledFile(HANDLE folder, const char *targetName, const FILETIME *payloadTime);

// Whether the path's last character is '\', double-byte characters of the ANSI code page read whole; 1 or 0.
int EndsWithSeparator(const char *path);

// Appends '\' to the directory in buffer unless it already ends with one; 1, or 0 when it would not fit.
int EnsureTrailingSeparator(char *buffer, size_t capacity);

// Appends name to the directory in buffer, adding '\' where needed; 1, or 0 (buffer unchanged) when the
// result would not fit in capacity.
int AppendFileName(char *buffer, size_t capacity, const char *name);

// Whether size is an entry of the zero-ended table, or one byte off one; 1 or 0.
int IsAcceptedSize(const DWORD *table, DWORD size);

// Compares two file times as unsigned 64-bit values; negative, 0 or positive as a is before, at or after b.
int CompareFileTimes(const FILETIME *a, const FILETIME *b);

// Forms installDir\targetName in target, adding '\' where needed; 1, or 0 when it does not fit in capacity.
int FormTargetPath(const char *installDir, const char *targetName, char *target, size_t capacity);

// The name (or path) of the temporary file that the target is expanded into: the target's name (or path) with
// its last two bytes made "$_" ("PERNA.E$_"); 1, or 0 when targetPath is shorter than 2 bytes or does not fit.
int TemporaryPathFor(const char *targetPath, char *buffer, size_t capacity);

// The expanded length declared in the SZDD header of a payload resource of size bytes; 1, or 0 when the
// resource is too short to hold one.
int DeclaredExpandedLength(const unsigned char *payload, DWORD size, DWORD *length);
