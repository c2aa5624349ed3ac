// Byte sources and sinks for the SZDD codec: memory, growable buffers and stdio files.
#include "szdd_io.h"

#include <climits>
#include <cstdlib>
#include <cstring>

long SzddReadMemory(void *source, unsigned char *buffer, size_t capacity)
{
    SzddMemorySource *m = static_cast<SzddMemorySource *>(source);
    size_t left = m->length - m->offset;
    size_t n = capacity < left ? capacity : left;
    if (n > LONG_MAX)
        n = LONG_MAX;
    if (n)
        memcpy(buffer, m->data + m->offset, n);
    m->offset += n;
    return static_cast<long>(n);
}

int SzddWriteBuffer(void *sink, const unsigned char *buffer, size_t length)
{
    SzddBuffer *b = static_cast<SzddBuffer *>(sink);
    if (length > SIZE_MAX - b->length)
        return 0;
    size_t need = b->length + length;
    if (need > b->capacity) {
        size_t capacity = b->capacity ? b->capacity : 4096;
        while (capacity < need)
            capacity = capacity > SIZE_MAX / 2 ? need : capacity * 2;
        unsigned char *grown = static_cast<unsigned char *>(realloc(b->data, capacity));
        if (!grown)
            return 0;
        b->data = grown;
        b->capacity = capacity;
    }
    if (length)
        memcpy(b->data + b->length, buffer, length);
    b->length = need;
    return 1;
}

void SzddFreeBuffer(SzddBuffer *buffer)
{
    free(buffer->data);
    buffer->data = NULL;
    buffer->length = buffer->capacity = 0;
}

long SzddReadFile(void *file, unsigned char *buffer, size_t capacity)
{
    FILE *f = static_cast<FILE *>(file);
    if (capacity > LONG_MAX)
        capacity = LONG_MAX;
    size_t got = fread(buffer, 1, capacity, f);
    if (got == 0 && ferror(f))
        return -1;
    return static_cast<long>(got);
}

int SzddWriteFile(void *file, const unsigned char *buffer, size_t length)
{
    return fwrite(buffer, 1, length, static_cast<FILE *>(file)) == length ? 1 : 0;
}

int SzddWriteCount(void *total, const unsigned char *, size_t length)
{
    *static_cast<uint64_t *>(total) += length;
    return 1;
}
