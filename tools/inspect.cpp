// `szdd inspect UPDATER.EXE`: what an updater executable is about to ship, checked.
// Lists the resource section, expands both payload containers and prints the version fields.
// Exit 0 when all is in order, 1 when anything is off (each problem gets a line on stderr).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pe_resources.h"
#include "sha256.h"
#include "szdd.h"
#include "szdd_commands.h"
#include "szdd_io.h"
#include "tool_io.h"

namespace {

const uint16_t Japanese = 0x0411;
const uint16_t VersionType = 16;

struct Report {
    const char *file;
    int problems = 0;

    void Problem(const std::string &what)
    {
        fprintf(stderr, "szdd: %s: %s\n", file, what.c_str());
        problems++;
    }
};

bool IsPayload(const PeResource &r, const char *name)
{
    return !r.type.isId && r.type.name == "BIN" && !r.name.isId && r.name.name == name;
}
bool IsVersion(const PeResource &r)
{
    return r.type.isId && r.type.id == VersionType && r.name.isId && r.name.id == 1;
}

// SzddWriteFn that digests what it is given: the sink is a Sha256; always returns 1.
int WriteDigest(void *sha, const unsigned char *buffer, size_t length)
{
    Sha256Add((Sha256 *)sha, buffer, length);
    return 1;
}

// Whether the 32 bytes of the digest stand anywhere in the file; 1 or 0.
int FileHolds(const std::vector<unsigned char> &file, const unsigned char digest[Sha256Size])
{
    for (size_t at = 0; at + Sha256Size <= file.size(); ++at) {
        if (file[at] == digest[0] && memcmp(&file[at], digest, Sha256Size) == 0)
            return 1;
    }
    return 0;
}

// A container: 128 prefix bytes, then an SZDD mode A stream that expands to exactly its declared length,
// whose SHA-256 the updater's code holds (it checks its expansion against it).
void CheckContainer(const std::vector<unsigned char> &file, const PeResource &r, Report *report)
{
    const unsigned char *bytes = file.data() + r.fileOffset;
    std::string name = r.name.Text();
    if (r.size < SzddContainerPrefixSize + SzddHeaderSize) {
        report->Problem(name + ": " + std::to_string(r.size) + " bytes, too short for a container");
        return;
    }
    SzddHeader header;
    SzddResult result = SzddParseHeader(bytes + SzddContainerPrefixSize, r.size - SzddContainerPrefixSize, &header);
    if (result != SZDD_OK) {
        report->Problem(name + ": no SZDD stream after the 128-byte prefix (" + SzddResultText(result) + ")");
        return;
    }
    SzddMemorySource source = {bytes + SzddContainerPrefixSize, (size_t)r.size - SzddContainerPrefixSize, 0};
    uint64_t written = 0;
    Sha256 sha;
    Sha256Start(&sha);
    result = SzddExpand(SzddReadMemory, &source, WriteDigest, &sha, &written);
    printf("  %s: prefix 128 bytes%s, stream %u bytes, mode %c, declares %u bytes, expands to %llu: %s\n", name.c_str(),
           bytes[0] == 'M' && bytes[1] == 'Z' ? " (MZ)" : "", (unsigned)(r.size - SzddContainerPrefixSize), header.mode,
           (unsigned)header.expandedLength, (unsigned long long)written,
           result == SZDD_OK ? "ok" : SzddResultText(result));
    if (result != SZDD_OK) {
        report->Problem(name + ": stream does not expand cleanly: " + SzddResultText(result));
        return;
    }
    unsigned char digest[Sha256Size];
    Sha256Finish(&sha, digest);
    char hex[2 * Sha256Size + 1];
    for (int i = 0; i < Sha256Size; ++i)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    int held = FileHolds(file, digest);
    printf("    sha256 %s: %s\n", hex, held ? "held in the code: ok" : "not in the code");
    if (!held)
        report->Problem(name + ": the code holds no SHA-256 of what it expands to (" + hex + ")");
}

// "1, 0, 0, 1" for the fixed-part version 1.0.0.1.
std::string CommaVersion(uint32_t ms, uint32_t ls)
{
    char buffer[48];
    snprintf(buffer, sizeof buffer, "%u, %u, %u, %u", (unsigned)(ms >> 16), (unsigned)(ms & 0xFFFF),
             (unsigned)(ls >> 16), (unsigned)(ls & 0xFFFF));
    return buffer;
}

void CheckVersion(const std::vector<unsigned char> &file, const PeResource &r, Report *report)
{
    PeVersionInfo v;
    std::string error;
    if (!ParseVersionInfo(file.data() + r.fileOffset, r.size, &v, &error)) {
        report->Problem("version resource: " + error);
        return;
    }
    printf("version:\n");
    printf("  FileVersion      %s\n", VersionText(v.fileVersionMs, v.fileVersionLs).c_str());
    printf("  ProductVersion   %s\n", VersionText(v.productVersionMs, v.productVersionLs).c_str());
    printf("  FileFlagsMask    0x%X\n  FileFlags        0x%X\n", (unsigned)v.flagsMask, (unsigned)v.flags);
    printf("  FileOS           0x%X\n  FileType         %u\n  FileSubtype      %u\n", (unsigned)v.os, (unsigned)v.type,
           (unsigned)v.subtype);
    printf("  string table     %s\n", v.tableKey.c_str());
    for (uint32_t t : v.translations)
        printf("  translation      0x%04X, %u\n", (unsigned)(t & 0xFFFF), (unsigned)(t >> 16));
    for (const auto &s : v.strings)
        printf("  %-16s \"%s\"\n", s.first.c_str(), s.second.c_str());

    if (v.tableKey.empty())
        report->Problem("version resource: no string table");
    if (v.translations.empty()) {
        report->Problem("version resource: no translation");
    } else {
        char key[16];
        snprintf(key, sizeof key, "%04x%04x", (unsigned)(v.translations[0] & 0xFFFF),
                 (unsigned)(v.translations[0] >> 16));
        if (v.tableKey != key)
            report->Problem("version resource: string table " + v.tableKey + " is not the translation " + key);
    }
    // The strings a user sees in the file's properties must agree with the fixed part.
    struct {
        const char *key;
        std::string fixed;
    } pairs[] = {
        {"FileVersion", CommaVersion(v.fileVersionMs, v.fileVersionLs)},
        {"ProductVersion", CommaVersion(v.productVersionMs, v.productVersionLs)},
    };
    for (const auto &p : pairs) {
        const std::string *text = NULL;
        for (const auto &s : v.strings) {
            if (s.first == p.key)
                text = &s.second;
        }
        if (!text)
            report->Problem(std::string("version resource: no ") + p.key + " string");
        else if (*text != p.fixed)
            report->Problem(std::string("version resource: ") + p.key + " string \"" + *text + "\" disagrees with " +
                            p.fixed);
    }
}

}  // namespace

int RunInspect(char **operands)
{
    const char *path = operands[0];
    std::vector<unsigned char> file;
    int err = ReadWholeFile(path, &file);
    if (err)
        return ToolFail(path, strerror(err));
    PeImage image;
    std::string error;
    if (!ParsePeImage(file, &image, &error))
        return ToolFail(path, ("not a Windows executable: " + error).c_str());

    Report report{path};
    const char *machine = image.machine == 0x14C ? "i386" : image.machine == 0x8664 ? "x86-64" : "unknown machine";
    const char *subsystem = image.subsystem == 2 ? "GUI" : image.subsystem == 3 ? "console" : "other";
    printf("%s: %s %s, %s subsystem, %zu bytes\n", path, image.pe32Plus ? "PE32+" : "PE32", machine, subsystem,
           file.size());
    printf("imports:");
    for (const std::string &dll : image.imports)
        printf(" %s", dll.c_str());
    printf("\nresources:\n");
    for (const PeResource &r : image.resources) {
        printf("  %-6s %-6s language 0x%04X  %u bytes\n", r.type.Text().c_str(), r.name.Text().c_str(),
               (unsigned)r.language, (unsigned)r.size);
    }

    const PeResource *bin1 = NULL, *bin2 = NULL, *version = NULL;
    for (const PeResource &r : image.resources) {
        const PeResource **slot = IsPayload(r, "BIN1")   ? &bin1
                                  : IsPayload(r, "BIN2") ? &bin2
                                  : IsVersion(r)         ? &version
                                                         : NULL;
        std::string what = r.type.Text() + "/" + r.name.Text();
        if (!slot) {
            report.Problem("unexpected resource " + what);
            continue;
        }
        if (*slot)
            report.Problem("resource " + what + " present in more than one language");
        *slot = &r;
        if (r.language != Japanese) {
            char language[8];
            snprintf(language, sizeof language, "0x%04X", (unsigned)r.language);
            report.Problem("resource " + what + " has language " + language + ", not 0x0411");
        }
    }

    printf("containers:\n");
    uint64_t payloadBytes = 0;
    for (const PeResource *r : {bin1, bin2}) {
        if (!r)
            continue;
        CheckContainer(file, *r, &report);
        payloadBytes += r->size;
    }
    if (!bin1)
        report.Problem("no resource BIN/BIN1");
    if (!bin2)
        report.Problem("no resource BIN/BIN2");
    if (version)
        CheckVersion(file, *version, &report);
    else
        report.Problem("no version resource");

    printf("code footprint: %llu bytes (file minus the payload containers)\n",
           (unsigned long long)(file.size() - payloadBytes));
    if (report.problems) {
        printf("%d problem(s)\n", report.problems);
        return SZDD_EXIT_FAILURE;
    }
    printf("ok\n");
    return SZDD_EXIT_OK;
}
