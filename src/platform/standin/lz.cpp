// The stand-in's LZ expansion library over our SZDD codec: open, expand-or-copy, close.
#include "standin.h"

#include "szdd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// LZ handles are small non-negative integers, as the library's are.
const INT LzHandleBase = 0x400;

struct FdSink {
    int fd;
    int error;
};

long ReadFd(void *context, unsigned char *buffer, size_t capacity)
{
    int fd = *(int *)context;
    for (;;) {
        ssize_t n = read(fd, buffer, capacity);
        if (n >= 0)
            return (long)n;
        if (errno != EINTR)
            return -1;
    }
}

int WriteFd(void *context, const unsigned char *buffer, size_t length)
{
    FdSink *sink = (FdSink *)context;
    while (length > 0) {
        ssize_t n = write(sink->fd, buffer, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sink->error = n < 0 ? errno : ENOSPC;
            return 0;
        }
        buffer += n;
        length -= (size_t)n;
    }
    return 1;
}

StandinHandle *FromLzHandle(INT value)
{
    if (value < LzHandleBase)
        return NULL;
    return HandleFromValue((uintptr_t)(value - LzHandleBase), HANDLE_LZ);
}

// The bytes copied so far, as LZCopy's non-negative result.
LONG CopiedCount(uint64_t written)
{
    return written > 0x7FFFFFFF ? 0x7FFFFFFF : (LONG)written;
}

// One attempt of LZOpenFileA on one name; the handle, or a negative LZ error value.
INT OpenLzFile(const char *fileName, LPOFSTRUCT openBuffer, WORD style)
{
    if (openBuffer != NULL) {
        memset(openBuffer, 0, sizeof *openBuffer);
        openBuffer->cBytes = (BYTE)sizeof *openBuffer;
    }
    // The library opens through the old file-open record, which keeps the full path: at most 127 bytes.
    char full[HostPathCapacity];
    if (!FullWindowsPath(fileName, full, sizeof full) || strlen(full) >= OFS_MAXPATHNAME)
        return LZERROR_BADINHANDLE;
    if (openBuffer != NULL)
        memcpy(openBuffer->szPathName, full, strlen(full) + 1);
    char host[HostPathCapacity];
    if (!HostPath(fileName, host, sizeof host))
        return LZERROR_BADINHANDLE;
    int write = (style & (OF_WRITE | OF_READWRITE)) != 0;
    int create = (style & OF_CREATE) != 0;
    int exclusive = (style & 0x70) == OF_SHARE_EXCLUSIVE;

    struct stat st;
    int exists = stat(host, &st) == 0;
    if ((!exists && (!create || !HostDirectoryWritable(host))) || (exists && S_ISDIR(st.st_mode)) ||
        (exists && (write || create) && (st.st_mode & S_IWUSR) == 0))
        return LZERROR_BADINHANDLE;
    StandinHandle *handle = HandleNew(HANDLE_LZ);
    if (handle == NULL)
        return LZERROR_GLOBALLOC;
    int fd = open(host, ((write || create) ? O_RDWR : O_RDONLY) | (create ? O_CREAT : 0) | O_CLOEXEC, 0644);
    if (fd < 0) {
        HandleFree(handle);
        return LZERROR_BADINHANDLE;
    }
    // Sharing as OpenFile grants it: only an exclusive holder (or an exclusive request) conflicts.
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 || (create && ftruncate(fd, 0) != 0)) {
        close(fd);
        HandleFree(handle);
        return LZERROR_BADINHANDLE;
    }
    handle->fd = fd;
    handle->writable = write || create;
    snprintf(handle->path, sizeof handle->path, "%s", full);
    return LzHandleBase + (INT)HandleValue(handle);
}

// The name under which the library looks for a file it could not open: the compressed file's name, the
// last character of the extension replaced by '_' ("A.EXE" -> "A.EX_"), '_' appended to a shorter
// extension, "._" to a name without one. The extension is the one of the last name, after the last real
// separator (a trail byte may be 0x5C). Returns 0 when it does not fit.
int CompressedFileName(const char *fileName, char *buffer, size_t capacity)
{
    size_t length = strlen(fileName);
    if (length + 3 > capacity)
        return 0;
    memcpy(buffer, fileName, length + 1);
    char *name = buffer;
    for (char *p = buffer; *p != '\0'; ++p) {
        if (*p == '\\')
            name = p + 1;
        else if (Cp932IsLeadByte((unsigned char)*p) && p[1] != '\0')
            ++p;
    }
    char *dot = strchr(name, '.');
    if (dot == NULL) {
        memcpy(buffer + length, "._", 3);
    } else if (strlen(dot + 1) < 3) {
        memcpy(buffer + length, "_", 2);
    } else {
        buffer[length - 1] = '_';
    }
    return 1;
}

}  // namespace

INT LZOpenFileA(LPSTR fileName, LPOFSTRUCT openBuffer, WORD style)
{
    const StandinCall *failed = StandinEnter(CallLZOpenFileA);
    if (failed != NULL)
        return (INT)failed->failure;
    INT handle = OpenLzFile(fileName, openBuffer, style);
    // Like the real library, a name that cannot be opened is tried once more as its compressed name, in
    // every mode: creating "X.EX$" that way may create "X.EX_" instead.
    char compressed[MAX_PATH + 3];
    if (handle < 0 && CompressedFileName(fileName, compressed, sizeof compressed))
        handle = OpenLzFile(compressed, openBuffer, style);
    return handle;
}

LONG LZCopy(INT source, INT destination)
{
    const StandinCall *failed = StandinEnter(CallLZCopy);
    if (failed != NULL)
        return (LONG)failed->failure;
    StandinHandle *in = FromLzHandle(source);
    if (in == NULL)
        return LZERROR_BADINHANDLE;
    StandinHandle *out = FromLzHandle(destination);
    if (out == NULL || !out->writable)
        return LZERROR_BADOUTHANDLE;

    unsigned char header[SzddHeaderSize];
    if (lseek(in->fd, 0, SEEK_SET) != 0)
        return LZERROR_READ;
    long got = 0;
    while (got < (long)sizeof header) {
        int fd = in->fd;
        long n = ReadFd(&fd, header + got, sizeof header - (size_t)got);
        if (n < 0)
            return LZERROR_READ;
        if (n == 0)
            break;
        got += n;
    }
    FdSink sink = {out->fd, 0};
    uint64_t written = 0;
    SzddHeader parsed;
    SzddResult parse = SzddParseHeader(header, (size_t)got, &parsed);
    if (parse == SZDD_ERR_MODE)
        return LZERROR_UNKNOWNALG;
    if (parse != SZDD_OK) {
        // Not compressed: the library copies such a file as it is.
        if (!WriteFd(&sink, header, (size_t)got))
            return LZERROR_WRITE;
        written = (uint64_t)got;
        unsigned char buffer[65536];
        for (;;) {
            int fd = in->fd;
            long n = ReadFd(&fd, buffer, sizeof buffer);
            if (n < 0)
                return LZERROR_READ;
            if (n == 0)
                break;
            if (!WriteFd(&sink, buffer, (size_t)n))
                return LZERROR_WRITE;
            written += (uint64_t)n;
        }
    } else {
        int fd = in->fd;
        SzddResult result = SzddExpandData(&parsed, ReadFd, &fd, WriteFd, &sink, &written);
        switch (result) {
        case SZDD_ERR_READ: return LZERROR_READ;
        case SZDD_ERR_WRITE: return LZERROR_WRITE;
        case SZDD_ERR_NO_MEMORY: return LZERROR_GLOBALLOC;
        default:
            // The library does not hold a stream to its declared length: a short one copies what it has.
            break;
        }
    }
    struct stat st;
    if (fstat(in->fd, &st) == 0) {
        struct timespec times[2];
        times[0].tv_nsec = UTIME_OMIT;
        times[1] = st.st_mtim;
        futimens(out->fd, times);
    }
    return CopiedCount(written);
}

VOID LZClose(INT file)
{
    // A close cannot fail here: an injected fault only counts.
    StandinEnter(CallLZClose);
    StandinHandle *handle = FromLzHandle(file);
    if (handle == NULL)
        return;
    close(handle->fd);
    HandleFree(handle);
}
