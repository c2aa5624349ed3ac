// The stand-in's paths: a Windows path in code page 932 resolved as Windows resolves it (drive, current
// directory, "." and "..", trailing dots and spaces, the \\?\ and \\.\ prefixes), then found on the host name by
// name in UTF-8, ASCII letters in any case.
#include "standin.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

enum { FullPathCapacity = 1024, NameCapacity = 256 };

enum RootKind {
    RootDrive,     // "C:\" and names below it
    RootDevice,    // "\\.\": the first name is the device ("C:" for a drive)
    RootVerbatim,  // "\\?\": as the device root, but the names are taken as they are
    RootNetwork    // "\\server\share\...": kept as given, never found
};

// A path as GetFullPathNameA forms it: the root, then the names, each after a '\'.
struct FullPath {
    RootKind kind;
    char text[FullPathCapacity];
    size_t length;
    size_t rootLength;  // what ".." never removes
    size_t nameStarts[NameCapacity];
    size_t names;
};

int IsSeparator(char c)
{
    return c == '\\' || c == '/';
}

int IsDriveLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// The host directory that stands for a drive (WINSTUB_DRIVE_C for 'C'), or NULL when it is not mapped.
const char *DriveRoot(char letter)
{
    char variable[] = "WINSTUB_DRIVE_C";
    variable[sizeof variable - 2] = (char)(letter & ~0x20);
    const char *root = getenv(variable);
    return root != NULL && root[0] != '\0' ? root : NULL;
}

// The path's length in characters, a double-byte character counting once.
size_t CharacterCount(const char *path)
{
    size_t count = 0;
    for (const unsigned char *p = (const unsigned char *)path; *p != '\0'; ++p, ++count) {
        if (Cp932IsLeadByte(*p) && p[1] != '\0')
            ++p;
    }
    return count;
}

// Starts the full path with a root; 1, or 0 when it does not fit.
int SetRoot(FullPath *full, RootKind kind, const char *root, size_t length)
{
    if (length >= sizeof full->text)
        return 0;
    full->kind = kind;
    memcpy(full->text, root, length);
    full->text[length] = '\0';
    full->length = full->rootLength = length;
    full->names = 0;
    return 1;
}

int SetDriveRoot(FullPath *full, char letter)
{
    char root[] = {(char)(letter & ~0x20), ':', '\\'};
    return SetRoot(full, RootDrive, root, sizeof root);
}

// Appends one name; 1, or 0 when it does not fit.
int PushName(FullPath *full, const char *name, size_t length)
{
    size_t separator = full->names > 0 ? 1 : 0;
    if (full->names == NameCapacity || full->length + separator + length >= sizeof full->text)
        return 0;
    if (separator)
        full->text[full->length++] = '\\';
    full->nameStarts[full->names++] = full->length;
    memcpy(full->text + full->length, name, length);
    full->length += length;
    full->text[full->length] = '\0';
    return 1;
}

// Removes the last name, if there is one: ".." stops at the root.
void PopName(FullPath *full)
{
    if (full->names == 0)
        return;
    --full->names;
    full->length = full->names > 0 ? full->nameStarts[full->names] - 1 : full->rootLength;
    full->text[full->length] = '\0';
}

// The current directory: the host's working directory where it lies in a drive's directory, else the root of
// drive C.
void StartAtCurrentDirectory(FullPath *full)
{
    char cwd[HostPathCapacity];
    if (getcwd(cwd, sizeof cwd) != NULL) {
        for (char letter = 'A'; letter <= 'Z'; ++letter) {
            const char *root = DriveRoot(letter);
            char real[PATH_MAX];
            if (root == NULL || realpath(root, real) == NULL)
                continue;
            size_t n = strlen(real);
            if (strncmp(cwd, real, n) != 0 || (cwd[n] != '\0' && cwd[n] != '/'))
                continue;
            SetDriveRoot(full, letter);
            // The host's names are UTF-8; one without a form in the code page leaves the drive's root.
            for (const char *rest = cwd + n; *rest != '\0';) {
                rest += strspn(rest, "/");
                size_t length = strcspn(rest, "/");
                std::string name;
                if (length > 0 && (!Utf8ToCp932(rest, length, &name) || !PushName(full, name.data(), name.size()))) {
                    SetDriveRoot(full, letter);
                    break;
                }
                rest += length;
            }
            return;
        }
    }
    SetDriveRoot(full, 'C');
}

// The length of the name at the start of text: up to a separator or the end, double-byte characters read
// whole (a trail byte may be 0x5C).
size_t NameLength(const char *text, int verbatim)
{
    const unsigned char *p = (const unsigned char *)text;
    while (*p != '\0' && !(*p == '\\' || (!verbatim && *p == '/'))) {
        if (Cp932IsLeadByte(*p) && p[1] != '\0')
            ++p;
        ++p;
    }
    return (size_t)(p - (const unsigned char *)text);
}

// Appends the names of rest as Windows normalizes them: runs of separators are one, "." is dropped, ".." removes
// the name before it, a name followed by a separator loses one trailing dot, and the last name every trailing
// dot and space. A verbatim path ("\\?\") is split on '\' only and keeps its names as they are. 1, or 0 with
// the last error set.
int AppendNames(FullPath *full, const char *rest, int verbatim)
{
    for (;;) {
        while (*rest == '\\' || (!verbatim && *rest == '/'))
            ++rest;
        if (*rest == '\0')
            return 1;
        const char *name = rest;
        size_t length = NameLength(rest, verbatim);
        rest += length;
        if (!verbatim) {
            if (length == 1 && name[0] == '.')
                continue;
            if (length == 2 && name[0] == '.' && name[1] == '.') {
                PopName(full);
                continue;
            }
            if (*rest == '\0') {
                while (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' '))
                    --length;
            } else if (name[length - 1] == '.') {
                --length;
            }
        }
        if (length > 0 && !PushName(full, name, length)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
    }
}

// Resolves a Windows path to its full form; 1, or 0 with the last error set.
int Resolve(const char *path, FullPath *full)
{
    const char *rest = path;
    int fits = 1;
    if (strncmp(path, "\\\\?\\", 4) == 0) {
        SetRoot(full, RootVerbatim, path, 4);
        return AppendNames(full, path + 4, 1);
    }
    if (IsSeparator(path[0]) && IsSeparator(path[1])) {
        if ((path[2] == '.' || path[2] == '?') && IsSeparator(path[3])) {
            char root[] = {'\\', '\\', path[2], '\\'};
            fits = SetRoot(full, RootDevice, root, sizeof root);
            rest = path + 4;
        } else {
            fits = SetRoot(full, RootNetwork, path, strlen(path));
            rest = "";
        }
    } else if (IsDriveLetter(path[0]) && path[1] == ':') {
        // "C:name" is relative to the current directory when that is on drive C, else to its root.
        if (!IsSeparator(path[2]))
            StartAtCurrentDirectory(full);
        if (IsSeparator(path[2]) || full->text[0] != (path[0] & ~0x20))
            fits = SetDriveRoot(full, path[0]);
        rest = path + 2;
    } else {
        StartAtCurrentDirectory(full);
        // A rooted path without a drive is on the current directory's drive.
        if (IsSeparator(path[0]))
            fits = SetDriveRoot(full, full->text[0]);
    }
    if (!fits) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    return AppendNames(full, rest, 0);
}

// Compares two names with only ASCII letters folded, as the host's UTF-8 names are looked up; 1 when equal.
int SameNameNoCase(const char *a, const char *b)
{
    for (;; ++a, ++b) {
        unsigned char x = (unsigned char)*a, y = (unsigned char)*b;
        if (x >= 'a' && x <= 'z')
            x = (unsigned char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = (unsigned char)(y - 'a' + 'A');
        if (x != y)
            return 0;
        if (x == '\0')
            return 1;
    }
}

// Appends a host name (UTF-8) to the host path, in the case of an existing entry that differs only in case; 1,
// or 0 when it does not fit.
int AppendComponent(char *host, size_t capacity, const std::string &name)
{
    size_t used = strlen(host);
    if (used + 1 + name.size() + 1 > capacity)
        return 0;
    if (used == 0 || host[used - 1] != '/')
        host[used++] = '/';
    memcpy(host + used, name.c_str(), name.size() + 1);
    struct stat st;
    if (lstat(host, &st) == 0)
        return 1;
    host[used] = '\0';
    DIR *dir = opendir(used > 0 ? host : ".");
    const char *found = name.c_str();
    struct dirent *entry = NULL;
    if (dir != NULL) {
        while ((entry = readdir(dir)) != NULL) {
            if (SameNameNoCase(entry->d_name, name.c_str())) {
                found = entry->d_name;
                break;
            }
        }
    }
    memcpy(host + used, found, name.size() + 1);
    if (dir != NULL)
        closedir(dir);
    return 1;
}

}  // namespace

int SjisCompareNoCaseN(const char *a, const char *b, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        unsigned char x = (unsigned char)a[i];
        unsigned char y = (unsigned char)b[i];
        // A lead byte and its trail byte compare exactly: a trail byte may look like an ASCII letter.
        if (Cp932IsLeadByte(x)) {
            if (x != y)
                return x < y ? -1 : 1;
            if (i + 1 < length) {
                ++i;
                if (a[i] != b[i])
                    return (unsigned char)a[i] < (unsigned char)b[i] ? -1 : 1;
                if (a[i] == '\0')
                    return 0;
            }
            continue;
        }
        if (x >= 'a' && x <= 'z')
            x = (unsigned char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = (unsigned char)(y - 'a' + 'A');
        if (x != y)
            return x < y ? -1 : 1;
        if (x == '\0')
            return 0;
    }
    return 0;
}

int SjisCompareNoCase(const char *a, const char *b)
{
    return SjisCompareNoCaseN(a, b, (size_t)-1);
}

int FullWindowsPath(const char *windowsPath, char *fullPath, size_t capacity)
{
    FullPath full;
    if (!Resolve(windowsPath, &full))
        return 0;
    if (full.length >= capacity) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    memcpy(fullPath, full.text, full.length + 1);
    return 1;
}

DWORD GetFullPathNameA(LPCSTR fileName, DWORD bufferLength, LPSTR buffer, LPSTR *filePart)
{
    const StandinCall *failed = StandinEnter(CallGetFullPathNameA);
    if (filePart != NULL)
        *filePart = NULL;
    if (failed != NULL)
        return (DWORD)failed->failure;
    char full[HostPathCapacity];
    if (fileName == NULL || !FullWindowsPath(fileName, full, sizeof full))
        return 0;
    size_t length = strlen(full);
    // Too small a buffer gets nothing but the size it would need, its NUL included.
    if (buffer == NULL || length + 1 > bufferLength)
        return (DWORD)(length + 1);
    memcpy(buffer, full, length + 1);
    if (filePart != NULL) {
        const char *name = NULL;
        for (const char *p = buffer; *p != '\0'; ++p) {
            if (*p == '\\')
                name = p + 1;
            else if (Cp932IsLeadByte((unsigned char)*p) && p[1] != '\0')
                ++p;
        }
        *filePart = name != NULL && *name != '\0' ? buffer + (name - buffer) : NULL;
    }
    return (DWORD)length;
}

int HostPath(const char *windowsPath, char *hostPath, size_t capacity)
{
    // The ANSI calls convert a path into a buffer of MAX_PATH characters.
    if (CharacterCount(windowsPath) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    FullPath full;
    if (!Resolve(windowsPath, &full))
        return 0;
    // There is no network here; below "\\?\" and "\\.\" only a drive ("C:") is a place for files.
    size_t first = 0;
    char letter = full.text[0];
    if (full.kind != RootDrive) {
        const char *device = full.names > 0 ? full.text + full.nameStarts[0] : "";
        size_t length = full.names > 1 ? full.nameStarts[1] - 1 - full.nameStarts[0] : strlen(device);
        if (full.kind == RootNetwork ||
            (full.kind == RootVerbatim && length == 3 && SjisCompareNoCaseN(device, "UNC", 3) == 0)) {
            SetLastError(ERROR_BAD_NETPATH);
            return 0;
        }
        if (length != 2 || !IsDriveLetter(device[0]) || device[1] != ':') {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return 0;
        }
        letter = device[0];
        first = 1;
    }
    const char *root = DriveRoot(letter);
    if (root == NULL || strlen(root) + 1 > capacity) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return 0;
    }
    strcpy(hostPath, root);
    for (size_t i = first; i < full.names; ++i) {
        const char *name = full.text + full.nameStarts[i];
        size_t length = (i + 1 < full.names ? full.nameStarts[i + 1] - 1 : full.length) - full.nameStarts[i];
        // What a verbatim path keeps as it is, no name on Windows may be; nor may a byte that is no character.
        std::string hostName;
        if ((length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.') ||
            memchr(name, '/', length) != NULL || !Cp932ToUtf8(name, length, &hostName)) {
            SetLastError(ERROR_INVALID_NAME);
            return 0;
        }
        if (!AppendComponent(hostPath, capacity, hostName)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
    }
    return 1;
}
