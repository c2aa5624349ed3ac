// Shared helpers for the codec tests: sample data, in-memory compress and expand, temporary folders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "szdd.h"

typedef std::vector<unsigned char> Bytes;

struct Sample {
    std::string name;
    Bytes data;
};

// The generated corpus: empty, single bytes, runs, random, Shift-JIS text, sizes around the window.
std::vector<Sample> GeneratedCorpus();

// Windows DLLs from the cross compilers on this machine, at most max_size bytes each, smallest first.
std::vector<std::string> PeFiles(size_t maxSize);

Bytes RandomBytes(size_t size, uint32_t seed);
Bytes ShiftJisText(size_t size);
bool ReadFileBytes(const std::string &path, Bytes *bytes);
bool WriteFileBytes(const std::string &path, const Bytes &bytes);

// Compresses with SzddCompress into memory; fails the test on an error.
Bytes Compress(const Bytes &data);

// Expands a whole stream from memory, the source handing out at most chunk bytes per read.
SzddResult Expand(const Bytes &stream, Bytes *out, uint64_t *written, size_t chunk = SIZE_MAX);

// Builds the 14-byte header, then the given data bytes.
Bytes Stream(uint32_t declared, const Bytes &data);

// A fresh folder under /tmp, removed with its files by the destructor.
struct TempDir {
    TempDir();
    ~TempDir();
    std::string path;
    std::string File(const std::string &name) const
    {
        return path + "/" + name;
    }
    std::vector<std::string> Entries() const;
};
