// SZDD streams (the compress/expand format, mode "A"): header, streaming expansion, optimal compression.
#pragma once

#include "szdd_format.h"

#include <cstddef>
#include <cstdint>

enum SzddResult {
    SZDD_OK = 0,
    SZDD_ERR_NOT_SZDD,   // the 8-byte magic is absent
    SZDD_ERR_MODE,       // the compression mode is not 'A'
    SZDD_ERR_TRUNCATED,  // the header, or a match inside the data, is cut short
    SZDD_ERR_LENGTH,     // the data expands to a length other than the declared one
    SZDD_ERR_READ,       // the byte source failed
    SZDD_ERR_WRITE,      // the byte sink failed
    SZDD_ERR_NO_MEMORY
};

struct SzddHeader {
    unsigned char mode;
    unsigned char missingChar;  // last character of the original name, 0 when none was recorded
    uint32_t expandedLength;
};

// Byte source: fills up to capacity bytes; returns how many (0 at the end of input), or -1 on a read error.
typedef long (*SzddReadFn)(void *context, unsigned char *buffer, size_t capacity);
// Byte sink: takes all length bytes; returns 1 on success, 0 on a write error.
typedef int (*SzddWriteFn)(void *context, const unsigned char *buffer, size_t length);

// Short English text for a result, for messages ("stream truncated", ...); never NULL.
const char *SzddResultText(SzddResult result);

// Decodes the first length bytes of a stream; SZDD_OK, SZDD_ERR_NOT_SZDD, SZDD_ERR_MODE or SZDD_ERR_TRUNCATED.
SzddResult SzddParseHeader(const unsigned char *bytes, size_t length, SzddHeader *header);

// Expands the data after an already parsed header until the source ends, writing all it decodes;
// SZDD_OK when exactly header->expandedLength bytes came out. *written gets the count in every case.
SzddResult SzddExpandData(const SzddHeader *header, SzddReadFn read, void *source, SzddWriteFn write, void *sink,
                          uint64_t *written);

// Reads the header from the source, then as SzddExpandData.
SzddResult SzddExpand(SzddReadFn read, void *source, SzddWriteFn write, void *sink, uint64_t *written);

// Compresses length bytes into a mode "A" stream (missing character 0) of the smallest size the format
// allows, handed to the sink in pieces; SZDD_OK, SZDD_ERR_WRITE, SZDD_ERR_NO_MEMORY, or SZDD_ERR_LENGTH for
// inputs of 4 GiB or more, whose length the header cannot hold. Deterministic.
SzddResult SzddCompress(const unsigned char *data, size_t length, SzddWriteFn write, void *sink);
