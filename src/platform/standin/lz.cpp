// The stand-in's LZ expansion library over our SZDD codec: take a file's handle, expand-or-copy or read, close.
#include "standin.h"

#include "szdd.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

// Collects what the expander writes in a growing buffer of the heap.
struct MemorySink {
    unsigned char *bytes;
    size_t length;
    size_t capacity;
};

int WriteMemory(void *context, const unsigned char *buffer, size_t length)
{
    MemorySink *sink = (MemorySink *)context;
    if (sink->length + length > sink->capacity) {
        size_t capacity = sink->capacity * 2 > sink->length + length ? sink->capacity * 2 : sink->length + length;
        unsigned char *grown = (unsigned char *)realloc(sink->bytes, capacity);
        if (grown == NULL)
            return 0;
        sink->bytes = grown;
        sink->capacity = capacity;
    }
    memcpy(sink->bytes + sink->length, buffer, length);
    sink->length += length;
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

}  // namespace

INT LZInit(INT source)
{
    const StandinCall *failed = StandinEnter(CallLZInit);
    if (failed != NULL)
        return (INT)failed->failure;
    StandinHandle *file = HandleFromValue((uintptr_t)source, HANDLE_FILE);
    if (file == NULL || file->directory)
        return LZERROR_BADINHANDLE;
    // A file that does not start with a whole SZDD header is no compressed file: the library hands back the
    // file's own handle, at its start, to be copied as it is and closed with LZClose.
    unsigned char header[SzddHeaderSize];
    if (lseek(file->fd, 0, SEEK_SET) != 0)
        return LZERROR_BADINHANDLE;
    size_t got = 0;
    while (got < sizeof header) {
        int fd = file->fd;
        long n = ReadFd(&fd, header + got, sizeof header - got);
        if (n < 0)
            return LZERROR_READ;
        if (n == 0)
            break;
        got += (size_t)n;
    }
    SzddHeader parsed;
    int compressed = got == sizeof header && SzddParseHeader(header, got, &parsed) != SZDD_ERR_NOT_SZDD;
    if (lseek(file->fd, 0, SEEK_SET) != 0)
        return LZERROR_BADINHANDLE;
    if (!compressed)
        return source;
    StandinHandle *handle = HandleNew(HANDLE_LZ);
    if (handle == NULL)
        return LZERROR_GLOBALLOC;
    // The library reads through the file's handle and closes it with its own.
    handle->fd = file->fd;
    handle->underlying = (uintptr_t)source;
    snprintf(handle->path, sizeof handle->path, "%s", file->path);
    return LzHandleBase + (INT)HandleValue(handle);
}

LONG LZCopy(INT source, INT destination)
{
    const StandinCall *failed = StandinEnter(CallLZCopy);
    if (failed != NULL)
        return (LONG)failed->failure;
    // The source is a handle LZInit gave: an LZ file's, or a plain file's own.
    StandinHandle *in = FromLzHandle(source);
    if (in == NULL)
        in = HandleFromValue((uintptr_t)source, HANDLE_FILE);
    if (in == NULL || in->directory)
        return LZERROR_BADINHANDLE;
    // The destination is a file's handle, as the library takes it.
    StandinHandle *out = HandleFromValue((uintptr_t)destination, HANDLE_FILE);
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

INT LZRead(INT source, LPSTR buffer, INT length)
{
    const StandinCall *failed = StandinEnter(CallLZRead);
    if (failed != NULL)
        return (INT)failed->failure;
    if (buffer == NULL || length < 0)
        return LZERROR_BADVALUE;
    StandinHandle *in = FromLzHandle(source);
    if (in == NULL) {
        // A plain file's handle that LZInit handed back is read as it is.
        StandinHandle *plain = HandleFromValue((uintptr_t)source, HANDLE_FILE);
        if (plain == NULL || plain->directory)
            return LZERROR_BADINHANDLE;
        int fd = plain->fd;
        long got = ReadFd(&fd, (unsigned char *)buffer, (size_t)length);
        return got < 0 ? LZERROR_READ : (INT)got;
    }
    // The whole stream is expanded on the first read, and handed out from then on in the order asked for.
    if (in->expanded == NULL) {
        MemorySink sink = {NULL, 0, 0};
        uint64_t written = 0;
        int fd = in->fd;
        if (lseek(in->fd, 0, SEEK_SET) != 0)
            return LZERROR_READ;
        SzddResult result = SzddExpand(ReadFd, &fd, WriteMemory, &sink, &written);
        if (result == SZDD_ERR_READ || result == SZDD_ERR_WRITE || result == SZDD_ERR_NO_MEMORY) {
            free(sink.bytes);
            return result == SZDD_ERR_READ ? LZERROR_READ : LZERROR_GLOBALLOC;
        }
        // Even an empty expansion gets a buffer, so that it is expanded only once.
        in->expanded = sink.bytes != NULL ? sink.bytes : (unsigned char *)malloc(1);
        in->expandedLength = sink.length;
        if (in->expanded == NULL)
            return LZERROR_GLOBALLOC;
    }
    size_t left = in->expandedLength - in->expandedAt;
    size_t given = (size_t)length < left ? (size_t)length : left;
    memcpy(buffer, in->expanded + in->expandedAt, given);
    in->expandedAt += given;
    return (INT)given;
}

VOID LZClose(INT file)
{
    // A close cannot fail here: an injected fault only counts.
    StandinEnter(CallLZClose);
    StandinHandle *handle = FromLzHandle(file);
    if (handle == NULL) {
        // A plain file's handle that LZInit handed back is closed as a file.
        StandinHandle *plain = HandleFromValue((uintptr_t)file, HANDLE_FILE);
        if (plain != NULL)
            CloseFileSlot(plain);
        return;
    }
    StandinHandle *underlying = HandleFromValue(handle->underlying, HANDLE_FILE);
    free(handle->expanded);
    HandleFree(handle);
    if (underlying != NULL)
        CloseFileSlot(underlying);
}
