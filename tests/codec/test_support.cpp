// Shared helpers for the codec tests: sample data, in-memory compress and expand, temporary folders.
#include "test_support.h"

#include <dirent.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "szdd_io.h"

Bytes RandomBytes(size_t size, uint32_t seed)
{
    Bytes out(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out[i] = static_cast<unsigned char>(x >> 24);
    }
    return out;
}

Bytes ShiftJisText(size_t size)
{
    // Lines of a day-off file in Shift-JIS with CR LF: kana and kanji pairs, digits, varying lines.
    static const unsigned char words[][8] = {
        {0x83, 0x4A, 0x83, 0x8A, 0x83, 0x88, 0x83, 0x80},  // katakana
        {0x8B, 0x78, 0x93, 0xFA, 0x81, 0x41, 0x82, 0xA0},  // kanji, comma, hiragana
        {0x90, 0x85, 0x97, 0x6A, 0x93, 0xFA, 0x81, 0x42},  // kanji, full stop
        {0x82, 0xCC, 0x8C, 0x8E, 0x81, 0x40, 0x82, 0x50},  // hiragana, kanji, full-width space, digit
    };
    Bytes out;
    unsigned line = 0;
    while (out.size() < size) {
        char head[32];
        snprintf(head, sizeof head, "%04u=", 2026 + line % 7);
        out.insert(out.end(), head, head + strlen(head));
        for (unsigned w = 0; w < 1 + line % 5; ++w) {
            const unsigned char *word = words[(line * 3 + w) % 4];
            out.insert(out.end(), word, word + 8);
        }
        out.push_back('\r');
        out.push_back('\n');
        ++line;
    }
    out.resize(size);
    return out;
}

std::vector<Sample> GeneratedCorpus()
{
    std::vector<Sample> corpus;
    corpus.push_back({"empty", {}});
    corpus.push_back({"one_byte", {'A'}});
    corpus.push_back({"one_space", {' '}});
    corpus.push_back({"spaces_100", Bytes(100, ' ')});
    corpus.push_back({"spaces_10000", Bytes(10000, ' ')});
    corpus.push_back({"zeros_100000", Bytes(100000, 0)});
    corpus.push_back({"random_1", RandomBytes(1, 1)});
    corpus.push_back({"random_17", RandomBytes(17, 2)});
    corpus.push_back({"random_70000", RandomBytes(70000, 3)});
    corpus.push_back({"shift_jis_9000", ShiftJisText(9000)});
    corpus.push_back({"shift_jis_200000", ShiftJisText(200000)});
    for (size_t size : {4080, 4095, 4096, 4097, 4111, 4112, 4113, 8192}) {
        Bytes mixed = ShiftJisText(size);
        Bytes noise = RandomBytes(size, static_cast<uint32_t>(size));
        for (size_t i = 0; i < size; i += 7)
            mixed[i] = noise[i];
        corpus.push_back({"mixed_" + std::to_string(size), mixed});
    }
    // A short period repeated far: matches that overlap themselves and reach exactly 4096 back.
    Bytes periodic;
    for (size_t i = 0; i < 20000; ++i)
        periodic.push_back(static_cast<unsigned char>("abcab"[i % 5]));
    corpus.push_back({"periodic_20000", periodic});
    Bytes far = RandomBytes(4096, 9);
    Bytes twice = far;
    twice.insert(twice.end(), far.begin(), far.end());
    corpus.push_back({"random_4096_twice", twice});
    return corpus;
}

std::vector<std::string> PeFiles(size_t maxSize)
{
    std::vector<std::pair<size_t, std::string>> found;
    for (const char *pattern : {"/usr/lib/gcc/i686-w64-mingw32/*/*.dll", "/usr/lib/gcc/x86_64-w64-mingw32/*/*.dll"}) {
        glob_t g;
        if (glob(pattern, 0, NULL, &g) == 0) {
            for (size_t i = 0; i < g.gl_pathc; ++i) {
                struct stat st;
                if (stat(g.gl_pathv[i], &st) == 0 && static_cast<size_t>(st.st_size) <= maxSize)
                    found.push_back({static_cast<size_t>(st.st_size), g.gl_pathv[i]});
            }
        }
        globfree(&g);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    size_t lastSize = 0;
    for (auto &f : found) {
        // The posix and win32 thread flavours often hold the same file: keep one of each size.
        if (!paths.empty() && f.first == lastSize)
            continue;
        lastSize = f.first;
        paths.push_back(f.second);
    }
    return paths;
}

bool ReadFileBytes(const std::string &path, Bytes *bytes)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    bytes->clear();
    unsigned char chunk[1 << 16];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0)
        bytes->insert(bytes->end(), chunk, chunk + got);
    fclose(f);
    return true;
}

bool WriteFileBytes(const std::string &path, const Bytes &bytes)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

Bytes Compress(const Bytes &data)
{
    SzddBuffer out = {NULL, 0, 0};
    SzddResult result = SzddCompress(data.data(), data.size(), SzddWriteBuffer, &out);
    EXPECT_EQ(result, SZDD_OK);
    Bytes stream(out.data, out.data + out.length);
    SzddFreeBuffer(&out);
    return stream;
}

namespace {
struct ChunkedSource {
    SzddMemorySource memory;
    size_t chunk;
};
long ReadChunked(void *source, unsigned char *buffer, size_t capacity)
{
    ChunkedSource *s = static_cast<ChunkedSource *>(source);
    return SzddReadMemory(&s->memory, buffer, capacity < s->chunk ? capacity : s->chunk);
}
}  // namespace

SzddResult Expand(const Bytes &stream, Bytes *out, uint64_t *written, size_t chunk)
{
    ChunkedSource source = {{stream.data(), stream.size(), 0}, chunk};
    SzddBuffer buffer = {NULL, 0, 0};
    SzddResult result = SzddExpand(ReadChunked, &source, SzddWriteBuffer, &buffer, written);
    out->assign(buffer.data, buffer.data + buffer.length);
    SzddFreeBuffer(&buffer);
    return result;
}

Bytes Stream(uint32_t declared, const Bytes &data)
{
    Bytes s(SzddMagic, SzddMagic + 8);
    s.push_back(SzddModeA);
    s.push_back(0);
    for (int k = 0; k < 4; ++k)
        s.push_back(static_cast<unsigned char>(declared >> (8 * k)));
    s.insert(s.end(), data.begin(), data.end());
    return s;
}

TempDir::TempDir()
{
    char name[] = "/tmp/szdd-test-XXXXXX";
    if (mkdtemp(name))
        path = name;
}

std::vector<std::string> TempDir::Entries() const
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (!d)
        return names;
    while (dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

TempDir::~TempDir()
{
    if (path.empty())
        return;
    for (const std::string &name : Entries())
        unlink(File(name).c_str());
    rmdir(path.c_str());
}
