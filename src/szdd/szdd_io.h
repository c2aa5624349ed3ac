// Byte sources and sinks for the SZDD codec: memory, growable buffers and stdio files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "szdd.h"

struct SzddMemorySource {
    const unsigned char *data;
    size_t length;
    size_t offset;  // bytes already handed out
};

// SzddReadFn over a SzddMemorySource; returns the bytes copied, 0 once all were handed out.
long SzddReadMemory(void *source, unsigned char *buffer, size_t capacity);

// Growable output buffer; start it zeroed, release it with SzddFreeBuffer.
struct SzddBuffer {
    unsigned char *data;
    size_t length;
    size_t capacity;
};

// SzddWriteFn appending to a SzddBuffer; returns 1, or 0 when memory runs out.
int SzddWriteBuffer(void *sink, const unsigned char *buffer, size_t length);

// Releases a SzddBuffer's memory and zeroes it; always succeeds.
void SzddFreeBuffer(SzddBuffer *buffer);

// SzddReadFn over a FILE * opened for reading; returns the bytes read, 0 at the end, -1 on an error.
long SzddReadFile(void *file, unsigned char *buffer, size_t capacity);

// SzddWriteFn over a FILE * opened for writing; returns 1, or 0 on an error.
int SzddWriteFile(void *file, const unsigned char *buffer, size_t length);

// SzddWriteFn that only counts: the sink is a uint64_t total; always returns 1.
int SzddWriteCount(void *total, const unsigned char *buffer, size_t length);

// Reads the 14-byte header from a source and parses it; as SzddParseHeader, or SZDD_ERR_READ.
SzddResult SzddReadHeader(SzddReadFn read, void *source, SzddHeader *header);
