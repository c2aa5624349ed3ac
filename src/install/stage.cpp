// Where and how payloads are staged, and the path arithmetic on fixed-size buffers that every path goes through.
#include "install.h"

#include <cstring>

namespace {

// Copies value into buffer; 1, or 0 (buffer untouched) when it does not fit.
int CopyIfFits(char *buffer, size_t capacity, const char *value)
{
    size_t length = strlen(value);
    if (length >= capacity)
        return 0;
    memcpy(buffer, value, length + 1);
    return 1;
}

const char FallbackStageDirectory[] = "C:\\";

}  // namespace

int EndsWithSeparator(const char *path)
{
    // From the start: a trail byte may be 0x5C ("表" is 0x95 0x5C in code page 932), and only the walk
    // knows whether the last byte is one.
    int separator = 0;
    for (const unsigned char *p = (const unsigned char *)path; *p != '\0'; ++p) {
        separator = *p == '\\';
        if (p[1] != '\0' && IsDBCSLeadByteEx(CP_ACP, *p))
            ++p;
    }
    return separator;
}

int EnsureTrailingSeparator(char *buffer, size_t capacity)
{
    size_t length = strlen(buffer);
    if (EndsWithSeparator(buffer))
        return 1;
    if (length + 2 > capacity)
        return 0;
    buffer[length] = '\\';
    buffer[length + 1] = '\0';
    return 1;
}

int AppendFileName(char *buffer, size_t capacity, const char *name)
{
    size_t length = strlen(buffer);
    size_t separator = EndsWithSeparator(buffer) ? 0 : 1;
    size_t nameLength = strlen(name);
    if (length + separator + nameLength + 1 > capacity)
        return 0;
    if (separator)
        buffer[length++] = '\\';
    memcpy(buffer + length, name, nameLength + 1);
    return 1;
}

int StageDirectory(char *buffer, size_t capacity)
{
    int fits = 1;
    buffer[0] = '\0';
    // TMP is read after TEMP so that it wins; a variable set to the empty value still counts as set.
    const char *temp = CrtGetEnv("TEMP");
    if (temp != NULL)
        fits = CopyIfFits(buffer, capacity, temp);
    const char *tmp = CrtGetEnv("TMP");
    if (tmp != NULL)
        fits = CopyIfFits(buffer, capacity, tmp);
    if (temp == NULL && tmp == NULL) {
        UINT length = GetWindowsDirectoryA(buffer, (UINT)capacity);
        // 0 is a failure; a length that does not fit is the size the call wanted, and nothing was written.
        if (length == 0 || length >= capacity)
            buffer[0] = '\0';
    }
    if (!fits) {
        buffer[0] = '\0';
        return 0;
    }
    if (buffer[0] == '\0')
        return CopyIfFits(buffer, capacity, FallbackStageDirectory);
    return EnsureTrailingSeparator(buffer, capacity);
}

int FormTargetPath(const char *installDir, const char *targetName, char *target, size_t capacity)
{
    size_t length = strlen(installDir);
    if (length >= capacity)
        return 0;
    memcpy(target, installDir, length + 1);
    return AppendFileName(target, capacity, targetName);
}

int TemporaryPathFor(const char *targetPath, char *buffer, size_t capacity)
{
    size_t length = strlen(targetPath);
    if (length < 2 || length >= capacity)
        return 0;
    memcpy(buffer, targetPath, length + 1);
    // A fixed name beside the target, as long as the target's path (whose fixed name is ASCII, so its
    // last two bytes are two characters of their own): a crashed run leaves at most this one file per
    // payload, which the next run that gets past the confirmation deletes. The '$' keeps it apart from a
    // staged file of the same directory ("PERNA.EX_").
    buffer[length - 2] = '$';
    buffer[length - 1] = '_';
    return 1;
}

HANDLE WriteStagedFile(HANDLE stageFolder, const char *name, const unsigned char *stream, DWORD length)
{
    // The stage folder belongs to the user: the file is made new, never opened over whatever someone put at
    // its name, and from then on used only through this handle, which no other open may share. It is deleted
    // when the handle is closed, however the run ends.
    HANDLE file;
    if (stageFolder == INVALID_HANDLE_VALUE ||
        CreateNewUnshared(stageFolder, name, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_DELETE_ON_CLOSE, &file) < 0)
        return INVALID_HANDLE_VALUE;
    // One call, straight from the resource: the payload is never copied in memory. A partial stream would
    // expand into a partial tool.
    DWORD written = 0;
    if (!WriteFile(file, stream, length, &written, NULL) || written != length) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

void DeleteStagedFile(HANDLE staged)
{
    // Deletion on close alone would leave the name pending while a scanner (which opens files past their
    // sharing) still has the file, and the next creation of the name would fail.
    MarkForDeletion(staged);
    CloseHandle(staged);
}

int DuplicateForLibrary(HANDLE file, HANDLE *duplicate)
{
    return DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS);
}
