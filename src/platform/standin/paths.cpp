// The stand-in's paths: Windows paths on the host's drive directories, names matched without regard to case.
#include "standin.h"

#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>

namespace {

// Appends the component to the host path, in the case of an existing entry that differs only in case; 1,
// or 0 when it does not fit.
int AppendComponent(char *host, size_t capacity, const char *component, size_t length)
{
    size_t used = strlen(host);
    if (used + 1 + length + 1 > capacity)
        return 0;
    char name[1024];
    if (length >= sizeof name)
        return 0;
    memcpy(name, component, length);
    name[length] = '\0';
    if (used == 0 || host[used - 1] != '/')
        host[used++] = '/';
    host[used] = '\0';

    struct stat st;
    memcpy(host + used, name, length + 1);
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || lstat(host, &st) == 0)
        return 1;
    host[used] = '\0';
    DIR *dir = opendir(used > 0 ? host : ".");
    if (dir != NULL) {
        struct dirent *entry;
        while ((entry = readdir(dir)) != NULL) {
            if (strlen(entry->d_name) == length && SjisCompareNoCase(entry->d_name, name) == 0) {
                memcpy(name, entry->d_name, length + 1);
                break;
            }
        }
        closedir(dir);
    }
    memcpy(host + used, name, length + 1);
    return 1;
}

}  // namespace

int SjisCompareNoCaseN(const char *a, const char *b, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        unsigned char x = (unsigned char)a[i];
        unsigned char y = (unsigned char)b[i];
        // A lead byte and its trail byte compare exactly: a trail byte may look like an ASCII letter.
        if ((x >= 0x81 && x <= 0x9F) || (x >= 0xE0 && x <= 0xFC)) {
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

int HostPath(const char *windowsPath, char *hostPath, size_t capacity)
{
    // The ANSI functions refuse paths of MAX_PATH bytes and more.
    if (strlen(windowsPath) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    const char *rest = windowsPath;
    hostPath[0] = '\0';
    char letter = windowsPath[0];
    if (letter != '\0' && windowsPath[1] == ':' &&
        ((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) {
        char variable[] = "WINSTUB_DRIVE_C";
        variable[sizeof variable - 2] = (char)(letter & ~0x20);
        const char *root = getenv(variable);
        if (root == NULL || root[0] == '\0' || strlen(root) + 1 > capacity) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return 0;
        }
        strcpy(hostPath, root);
        rest = windowsPath + 2;
    } else if (windowsPath[0] == '\\' || windowsPath[0] == '/') {
        // A rooted path without a drive is on drive C:.
        const char *root = getenv("WINSTUB_DRIVE_C");
        if (root == NULL || root[0] == '\0' || strlen(root) + 1 > capacity) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return 0;
        }
        strcpy(hostPath, root);
    }
    while (*rest != '\0') {
        while (*rest == '\\' || *rest == '/')
            ++rest;
        size_t length = strcspn(rest, "\\/");
        if (length == 0)
            break;
        if (!AppendComponent(hostPath, capacity, rest, length)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return 0;
        }
        rest += length;
    }
    if (hostPath[0] == '\0')
        strcpy(hostPath, ".");
    return 1;
}
