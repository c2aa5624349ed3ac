// The stand-in's files: kernel32's file calls and the C library's, with Windows' sharing and read-only rules.
#include "platform.h"
#include "stub.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

namespace {

const int64_t TicksPerSecond = 10000000;
// 100 ns ticks from 1601-01-01 to 1970-01-01.
const int64_t UnixEpochTicks = 116444736000000000LL;

FILETIME FileTimeFromTimespec(const struct timespec &t)
{
    int64_t ticks = (int64_t)t.tv_sec * TicksPerSecond + t.tv_nsec / 100 + UnixEpochTicks;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)((uint64_t)ticks & 0xFFFFFFFFu);
    ft.dwHighDateTime = (DWORD)((uint64_t)ticks >> 32);
    return ft;
}

struct timespec TimespecFromFileTime(const FILETIME &ft)
{
    int64_t ticks = (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime) - UnixEpochTicks;
    int64_t seconds = ticks / TicksPerSecond;
    int64_t rest = ticks % TicksPerSecond;
    if (rest < 0) {
        rest += TicksPerSecond;
        --seconds;
    }
    struct timespec t;
    t.tv_sec = (time_t)seconds;
    t.tv_nsec = (long)(rest * 100);
    return t;
}

// The error for a path that does not exist: the file, or a directory on the way to it.
DWORD MissingError(const char *hostPath)
{
    char parent[4096];
    snprintf(parent, sizeof parent, "%s", hostPath);
    char *slash = strrchr(parent, '/');
    if (slash == NULL)
        return ERROR_FILE_NOT_FOUND;
    *slash = '\0';
    struct stat st;
    if (parent[0] != '\0' && (stat(parent, &st) != 0 || !S_ISDIR(st.st_mode)))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

// Opens a host file as Windows would; the descriptor, or -1 with the last error set.
// exclusive: share mode 0 (a lock that no other open may share); otherwise one that only an exclusive
// holder refuses.
int OpenHostFile(const char *hostPath, int write, int create, int truncate, int exclusive)
{
    struct stat st;
    int exists = stat(hostPath, &st) == 0;
    if (!exists && !create) {
        SetLastError(MissingError(hostPath));
        return -1;
    }
    if (exists && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    // Root may write anything; Windows' read-only attribute stops even the administrator.
    if (exists && write && (st.st_mode & S_IWUSR) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return -1;
    }
    int fd = open(hostPath, (write ? O_RDWR : O_RDONLY) | (create ? O_CREAT : 0) | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(errno == ENOENT ? MissingError(hostPath) : ErrorFromErrno(errno));
        return -1;
    }
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        close(fd);
        SetLastError(ERROR_SHARING_VIOLATION);
        return -1;
    }
    // Truncated only once the file is known to be ours to change.
    if (truncate && ftruncate(fd, 0) != 0) {
        SetLastError(ErrorFromErrno(errno));
        close(fd);
        return -1;
    }
    return fd;
}

// Deletes a host file as DeleteFileA does; 1, or 0 with the last error set.
int DeleteHostFile(const char *hostPath)
{
    struct stat st;
    if (lstat(hostPath, &st) != 0) {
        SetLastError(MissingError(hostPath));
        return 0;
    }
    if (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (HostFileHeld(hostPath, 1)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return 0;
    }
    if (unlink(hostPath) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return 0;
    }
    return 1;
}

}  // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD, HANDLE)
{
    if (!WinstubEnter("CreateFileA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    char host[4096];
    if (!HostPath(path, host, sizeof host))
        return INVALID_HANDLE_VALUE;
    int create = 0, truncate = 0;
    struct stat st;
    int exists = stat(host, &st) == 0;
    switch (disposition) {
    case OPEN_EXISTING: break;
    case CREATE_ALWAYS: create = 1; truncate = 1; break;
    case OPEN_ALWAYS: create = 1; break;
    case TRUNCATE_EXISTING: truncate = 1; break;
    case CREATE_NEW:
        if (exists) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        create = 1;
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int write = (access & GENERIC_WRITE) != 0;
    StubHandle *handle = HandleNew(HANDLE_FILE);
    if (handle == NULL) {
        SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return INVALID_HANDLE_VALUE;
    }
    int fd = OpenHostFile(host, write, create, truncate, shareMode == 0);
    if (fd < 0) {
        HandleFree(handle);
        return INVALID_HANDLE_VALUE;
    }
    handle->fd = fd;
    handle->writable = write;
    snprintf(handle->path, sizeof handle->path, "%s", path);
    SetLastError(ERROR_SUCCESS);
    return (HANDLE)HandleValue(handle);
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite)
{
    if (!WinstubEnter("GetFileTime")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    StubHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    struct stat st;
    if (handle == NULL || fstat(handle->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (creation != NULL)
        *creation = FileTimeFromTimespec(st.st_ctim);
    if (lastAccess != NULL)
        *lastAccess = FileTimeFromTimespec(st.st_atim);
    if (lastWrite != NULL)
        *lastWrite = FileTimeFromTimespec(st.st_mtim);
    return TRUE;
}

BOOL SetFileTime(HANDLE file, const FILETIME *, const FILETIME *lastAccess, const FILETIME *lastWrite)
{
    if (!WinstubEnter("SetFileTime")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    StubHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!handle->writable) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // The creation time has no counterpart here; a time left NULL stays as it is.
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (lastAccess != NULL)
        times[0] = TimespecFromFileTime(*lastAccess);
    if (lastWrite != NULL)
        times[1] = TimespecFromFileTime(*lastWrite);
    if (futimens(handle->fd, times) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh)
{
    if (!WinstubEnter("GetFileSize")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_FILE_SIZE;
    }
    StubHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    struct stat st;
    if (handle == NULL || fstat(handle->fd, &st) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = (uint64_t)st.st_size;
    if (sizeHigh != NULL)
        *sizeHigh = (DWORD)(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return (DWORD)(size & 0xFFFFFFFFu);
}

BOOL CloseHandle(HANDLE object)
{
    int faulted = !WinstubEnter("CloseHandle");
    StubHandle *handle = HandleFromValue((uintptr_t)object, HANDLE_FILE);
    if (handle == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    close(handle->fd);
    HandleFree(handle);
    // A failed close still ends the handle's life: the caller can do nothing about it.
    if (faulted) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path)
{
    if (!WinstubEnter("DeleteFileA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    char host[4096];
    if (!HostPath(path, host, sizeof host))
        return FALSE;
    return DeleteHostFile(host) ? TRUE : FALSE;
}

DWORD GetFileAttributesA(LPCSTR path)
{
    if (!WinstubEnter("GetFileAttributesA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_FILE_ATTRIBUTES;
    }
    char host[4096];
    if (!HostPath(path, host, sizeof host))
        return INVALID_FILE_ATTRIBUTES;
    struct stat st;
    if (stat(host, &st) != 0) {
        SetLastError(MissingError(host));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
    if ((st.st_mode & S_IWUSR) == 0)
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL MoveFileExA(LPCSTR existing, LPCSTR replacement, DWORD flags)
{
    if (!WinstubEnter("MoveFileExA")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    char from[4096], to[4096];
    if (!HostPath(existing, from, sizeof from) || !HostPath(replacement, to, sizeof to))
        return FALSE;
    struct stat st;
    if (lstat(from, &st) != 0) {
        SetLastError(MissingError(from));
        return FALSE;
    }
    if (HostFileHeld(from, 1)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (lstat(to, &st) == 0) {
        if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        if (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (HostFileHeld(to, 1)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    if (rename(from, to) != 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    if (flags & MOVEFILE_WRITE_THROUGH) {
        int fd = open(to, O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            fsync(fd);
            close(fd);
        }
    }
    return TRUE;
}

const char *CrtGetEnv(const char *name)
{
    if (!WinstubEnter("getenv"))
        return NULL;
    // Windows' environment matches names without regard to case; the first match wins.
    size_t length = strlen(name);
    for (char **entry = environ; entry != NULL && *entry != NULL; ++entry) {
        if (SjisCompareNoCaseN(*entry, name, length) == 0 && (*entry)[length] == '=')
            return *entry + length + 1;
    }
    return NULL;
}

FILE *CrtOpenForWriting(const char *path)
{
    if (!WinstubEnter("fopen")) {
        errno = EACCES;
        return NULL;
    }
    char host[4096];
    if (!HostPath(path, host, sizeof host)) {
        errno = ENOENT;
        return NULL;
    }
    StubHandle *handle = HandleNew(HANDLE_STREAM);
    if (handle == NULL) {
        errno = EMFILE;
        return NULL;
    }
    // The C runtime opens with sharing for everyone: only an exclusive holder stops it.
    int fd = OpenHostFile(host, 1, 1, 1, 0);
    FILE *stream = fd >= 0 ? fdopen(fd, "wb") : NULL;
    if (stream == NULL) {
        if (fd >= 0)
            close(fd);
        HandleFree(handle);
        errno = EACCES;
        return NULL;
    }
    handle->stream = stream;
    snprintf(handle->path, sizeof handle->path, "%s", path);
    return stream;
}

size_t CrtWrite(const void *data, size_t size, size_t count, FILE *stream)
{
    if (!WinstubEnter("fwrite")) {
        // A full disk: part of the data goes out, then the write stops short.
        size_t part = count / 2;
        size_t written = part > 0 ? fwrite(data, size, part, stream) : 0;
        errno = ENOSPC;
        return written;
    }
    return fwrite(data, size, count, stream);
}

int CrtClose(FILE *stream)
{
    int faulted = !WinstubEnter("fclose");
    StubHandle *handle = HandleFromStream(stream);
    if (handle != NULL)
        HandleFree(handle);
    int closed = fclose(stream);
    // A failed close still releases the stream; what it could not flush is lost.
    return faulted ? EOF : closed;
}

int CrtRemove(const char *path)
{
    if (!WinstubEnter("remove")) {
        errno = EACCES;
        return -1;
    }
    char host[4096];
    if (!HostPath(path, host, sizeof host)) {
        errno = ENOENT;
        return -1;
    }
    if (!DeleteHostFile(host)) {
        errno = GetLastError() == ERROR_FILE_NOT_FOUND ? ENOENT : EACCES;
        return -1;
    }
    return 0;
}
