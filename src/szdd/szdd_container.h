// Payload containers: a fixed 128-byte executable-style prefix followed by an SZDD stream.
#pragma once

#include "szdd.h"

// The prefix: a DOS executable header ("MZ", new-header offset 0x118) and its stub program and text.
extern const unsigned char SzddContainerPrefix[SzddContainerPrefixSize];

// 1 when bytes start with an "MZ" prefix followed by the SZDD magic at offset 128, else 0.
int SzddIsContainer(const unsigned char *bytes, size_t length);

// Writes the prefix, then compresses as SzddCompress; SZDD_OK, SZDD_ERR_WRITE, SZDD_ERR_NO_MEMORY or
// SZDD_ERR_LENGTH (input over 4 GiB - 1).
SzddResult SzddPack(const unsigned char *data, size_t length, SzddWriteFn write, void *sink);

// Reads past the 128-byte prefix; SZDD_OK, SZDD_ERR_NOT_SZDD without "MZ", SZDD_ERR_TRUNCATED when
// shorter, or SZDD_ERR_READ.
SzddResult SzddSkipContainerPrefix(SzddReadFn read, void *source);

// SzddSkipContainerPrefix, then as SzddExpand.
SzddResult SzddUnpack(SzddReadFn read, void *source, SzddWriteFn write, void *sink, uint64_t *written);
