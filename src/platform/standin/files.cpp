// The stand-in's files: kernel32's file calls and the C library's, with Windows' sharing and read-only rules.
#include "platform.h"
#include "standin.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

int HostDirectoryWritable(const char *hostPath)
{
    char parent[HostPathCapacity];
    snprintf(parent, sizeof parent, "%s", hostPath);
    char *slash = strrchr(parent, '/');
    if (slash == NULL)
        snprintf(parent, sizeof parent, ".");
    else if (slash == parent)
        parent[1] = '\0';
    else
        *slash = '\0';
    struct stat st;
    return stat(parent, &st) != 0 || (st.st_mode & S_IWUSR) != 0;
}

namespace {

// Windows' error code for a failed host file operation's errno.
DWORD ErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case EEXIST: return ERROR_FILE_EXISTS;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_ACCESS_DENIED;
    }
}

// Whether another open of the host file holds it with a conflicting lock (tries and releases one); 1 when
// held, 0 when free or absent. exclusive: the open asks for exclusive access.
int HostFileHeld(const char *hostPath, int exclusive)
{
    int fd = open(hostPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    int held = flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

// The error for a path that does not exist: the file, or a directory on the way to it.
DWORD MissingError(const char *hostPath)
{
    char parent[HostPathCapacity];
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
    // Root may write anything; Windows' read-only attribute stops even the administrator, and so does a
    // directory in which nobody may create files.
    if ((exists && write && (st.st_mode & S_IWUSR) == 0) || (!exists && !HostDirectoryWritable(hostPath))) {
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

// Whether an open of the file stops its deletion, or its move either way: one of this process's that does
// not share delete, or another process's that shares nothing (an exclusive lock). Another process's open
// that shares takes a shared lock, and stands for one that shares everything, delete included, as the
// holds the tests make do. 1 or 0.
int DeleteBlockedBySharing(const char *hostPath)
{
    struct stat st;
    if (stat(hostPath, &st) != 0)
        return 0;
    for (StandinHandle *h = HandleNextOfKind(NULL, HANDLE_FILE); h != NULL; h = HandleNextOfKind(h, HANDLE_FILE)) {
        struct stat open;
        if (fstat(h->fd, &open) == 0 && open.st_dev == st.st_dev && open.st_ino == st.st_ino &&
            (h->shareMode & FILE_SHARE_DELETE) == 0)
            return 1;
    }
    return HostFileHeld(hostPath, 0);
}

// Whether the host file is open at all, by this process or another: Windows does not let a rename
// replace a file that is open, whatever that open shares. 1 or 0.
int ReplaceBlockedByOpen(const char *hostPath)
{
    struct stat st;
    if (stat(hostPath, &st) != 0)
        return 0;
    for (StandinHandle *h = HandleNextOfKind(NULL, HANDLE_FILE); h != NULL; h = HandleNextOfKind(h, HANDLE_FILE)) {
        struct stat open;
        if (fstat(h->fd, &open) == 0 && open.st_dev == st.st_dev && open.st_ino == st.st_ino)
            return 1;
    }
    return HostFileHeld(hostPath, 1);
}

// Deletes a host file as DeleteFileA does; 1, or 0 with the last error set.
int DeleteHostFile(const char *hostPath)
{
    struct stat st;
    if (lstat(hostPath, &st) != 0) {
        SetLastError(MissingError(hostPath));
        return 0;
    }
    if (S_ISDIR(st.st_mode) || (st.st_mode & S_IWUSR) == 0 || !HostDirectoryWritable(hostPath)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    if (DeleteBlockedBySharing(hostPath)) {
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

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE)
{
    const StandinCall *failed = StandinEnter(CallCreateFileA);
    if (failed != NULL)
        return (HANDLE)failed->failure;
    char host[HostPathCapacity];
    if (!HostPath(path, host, sizeof host))
        return INVALID_HANDLE_VALUE;
    int create = 0, truncate = 0;
    struct stat st;
    int exists = stat(host, &st) == 0;
    switch (disposition) {
    case OPEN_EXISTING: break;
    case CREATE_ALWAYS:
        create = 1;
        truncate = 1;
        break;
    case OPEN_ALWAYS: create = 1; break;
    case TRUNCATE_EXISTING: truncate = 1; break;
    case CREATE_NEW:
        if (exists) {
            SetLastError(ERROR_FILE_EXISTS);
            return INVALID_HANDLE_VALUE;
        }
        create = 1;
        break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    int write = (access & GENERIC_WRITE) != 0;
    StandinHandle *handle = HandleNew(HANDLE_FILE);
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
    handle->timesWritable = write || (access & FILE_WRITE_ATTRIBUTES) != 0;
    handle->shareMode = shareMode;
    snprintf(handle->path, sizeof handle->path, "%s", path);
    SetLastError(ERROR_SUCCESS);
    return (HANDLE)HandleValue(handle);
}

BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME lastAccess, LPFILETIME lastWrite)
{
    const StandinCall *failed = StandinEnter(CallGetFileTime);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
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
    const StandinCall *failed = StandinEnter(CallSetFileTime);
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!handle->timesWritable) {
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
    const StandinCall *failed = StandinEnter(CallGetFileSize);
    if (failed != NULL)
        return (DWORD)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
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
    const StandinCall *failed = StandinEnter(CallCloseHandle);
    StandinHandle *handle = HandleFromValue((uintptr_t)object, HANDLE_FILE);
    if (handle == NULL)
        handle = HandleFromValue((uintptr_t)object, HANDLE_MUTEX);
    if (handle == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A mutex closed while owned is abandoned: its mark stays for the next owner to find.
    if (handle->fd >= 0)
        close(handle->fd);
    HandleFree(handle);
    // A failed close still ends the handle's life: the caller can do nothing about it.
    if (failed != NULL)
        return (BOOL)failed->failure;
    return TRUE;
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED)
{
    const StandinCall *failed = StandinEnter(CallReadFile);
    if (read != NULL)
        *read = 0;
    if (failed != NULL)
        return (BOOL)failed->failure;
    StandinHandle *handle = HandleFromValue((uintptr_t)file, HANDLE_FILE);
    if (handle == NULL || read == NULL) {
        SetLastError(handle == NULL ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ssize_t got;
    do
        got = ::read(handle->fd, buffer, toRead);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        SetLastError(ErrorFromErrno(errno));
        return FALSE;
    }
    *read = (DWORD)got;
    return TRUE;
}

BOOL DeleteFileA(LPCSTR path)
{
    const StandinCall *failed = StandinEnter(CallDeleteFileA);
    if (failed != NULL)
        return (BOOL)failed->failure;
    char host[HostPathCapacity];
    if (!HostPath(path, host, sizeof host))
        return FALSE;
    return DeleteHostFile(host) ? TRUE : FALSE;
}

DWORD GetFileAttributesA(LPCSTR path)
{
    const StandinCall *failed = StandinEnter(CallGetFileAttributesA);
    if (failed != NULL)
        return (DWORD)failed->failure;
    char host[HostPathCapacity];
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
    const StandinCall *failed = StandinEnter(CallMoveFileExA);
    if (failed != NULL)
        return (BOOL)failed->failure;
    char from[HostPathCapacity], to[HostPathCapacity];
    if (!HostPath(existing, from, sizeof from) || !HostPath(replacement, to, sizeof to))
        return FALSE;
    struct stat st;
    if (lstat(from, &st) != 0) {
        SetLastError(MissingError(from));
        return FALSE;
    }
    if (DeleteBlockedBySharing(from)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    if (!HostDirectoryWritable(from) || !HostDirectoryWritable(to)) {
        SetLastError(ERROR_ACCESS_DENIED);
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
        if (DeleteBlockedBySharing(to)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
        if (ReplaceBlockedByOpen(to)) {
            SetLastError(ERROR_ACCESS_DENIED);
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

FILE *CrtOpenForWriting(const char *path)
{
    const StandinCall *failed = StandinEnter(CallFopen);
    if (failed != NULL)
        return (FILE *)failed->failure;
    char host[HostPathCapacity];
    if (!HostPath(path, host, sizeof host)) {
        errno = ENOENT;
        return NULL;
    }
    StandinHandle *handle = HandleNew(HANDLE_STREAM);
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
    const StandinCall *failed = StandinEnter(CallFwrite);
    if (failed != NULL) {
        // A full disk: half the items go out, then the write stops short with the row's error.
        size_t part = count / 2;
        size_t written = part > 0 ? fwrite(data, size, part, stream) : 0;
        errno = failed->errnoValue;
        return written;
    }
    return fwrite(data, size, count, stream);
}

int CrtClose(FILE *stream)
{
    const StandinCall *failed = StandinEnter(CallFclose);
    StandinHandle *handle = HandleFromStream(stream);
    if (handle != NULL)
        HandleFree(handle);
    int closed = fclose(stream);
    // A failed close still releases the stream; what it could not flush is lost.
    return failed != NULL ? (int)failed->failure : closed;
}

int CrtRemove(const char *path)
{
    const StandinCall *failed = StandinEnter(CallRemove);
    if (failed != NULL)
        return (int)failed->failure;
    char host[HostPathCapacity];
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
