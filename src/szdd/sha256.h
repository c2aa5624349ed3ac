// SHA-256, for the digests of what payloads expand to: the stand-in's hashing and the tool's checks.
#pragma once

#include <cstddef>
#include <cstdint>

enum { Sha256Size = 32 };

struct Sha256 {
    uint32_t state[8];
    uint64_t length;          // bytes hashed so far
    unsigned char block[64];  // the bytes of the block not yet full
};

// Starts a digest; nothing.
void Sha256Start(Sha256 *sha);
// Adds length bytes; nothing.
void Sha256Add(Sha256 *sha, const void *data, size_t length);
// Ends the digest and writes its 32 bytes; the context must be started again before reuse.
void Sha256Finish(Sha256 *sha, unsigned char digest[Sha256Size]);
// The digest of length bytes in one call; nothing.
void Sha256Of(const void *data, size_t length, unsigned char digest[Sha256Size]);
