// `szdd inspect UPDATER.EXE`: what an updater executable is about to ship, checked.
// Lists the resource section, expands both payload containers, finds what the code holds for each (its
// digest, names and time) and the accepted sizes of an installed PERNA.EXE, and prints the version fields.
// Exit 0 when all is in order, 1 when anything is off (each problem gets a line on stderr).
#include <algorithm>
#include <cstdint>
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

// Where the bytes first stand in the file; SIZE_MAX when nowhere.
size_t FindBytes(const std::vector<unsigned char> &file, const unsigned char *bytes, size_t length)
{
    for (size_t at = 0; at + length <= file.size(); ++at) {
        if (file[at] == bytes[0] && memcmp(&file[at], bytes, length) == 0)
            return at;
    }
    return SIZE_MAX;
}

uint64_t ReadPointer(const unsigned char *p, size_t size)
{
    uint64_t value = 0;
    for (size_t i = size; i-- > 0;)
        value = value << 8 | p[i];
    return value;
}

// The NUL-terminated name of at most 32 printable ASCII characters at an absolute address; false when
// the address is outside the image or no such name stands there.
bool ReadName(const std::vector<unsigned char> &file, const PeImage &image, uint64_t va, std::string *name)
{
    name->clear();
    for (uint32_t i = 0; i <= 32; ++i) {
        size_t at;
        if (!PeAddressToOffset(image, file.size(), va + i, 1, &at))
            return false;
        if (file[at] == 0)
            return !name->empty();
        if (file[at] < 0x20 || file[at] > 0x7E)
            return false;
        name->push_back((char)file[at]);
    }
    return false;
}

// A row of the updater's payload table as it stands in the file: its three names and its SYSTEMTIME.
struct PayloadRowImage {
    std::string staged, target;
    uint16_t time[8];  // year, month, day of week, day, hour, minute, second, milliseconds
};

// Finds the payload table's row of the resource name given through its pointer to the digest, which
// stands at digestOffset. The row's layout, as the compiler lays out PayloadSpec: three name pointers,
// the SYSTEMTIME, the guarded flag (an int), then the digest pointer at the next pointer boundary. The
// row counts as found only when its first name is the resource's.
bool FindPayloadRow(const std::vector<unsigned char> &file, const PeImage &image, size_t digestOffset,
                    const std::string &resource, PayloadRowImage *row)
{
    uint64_t digestVa;
    if (!PeOffsetToAddress(image, digestOffset, &digestVa))
        return false;
    const size_t pointer = image.pe32Plus ? 8 : 4;
    const size_t timeAt = 3 * pointer;
    const size_t digestAt = (timeAt + 16 + 4 + pointer - 1) / pointer * pointer;
    for (size_t at = digestAt; at + pointer <= file.size(); at += pointer) {
        if (ReadPointer(&file[at], pointer) != digestVa)
            continue;
        const unsigned char *start = &file[at - digestAt];
        std::string name;
        if (!ReadName(file, image, ReadPointer(start, pointer), &name) || name != resource ||
            !ReadName(file, image, ReadPointer(start + pointer, pointer), &row->staged) ||
            !ReadName(file, image, ReadPointer(start + 2 * pointer, pointer), &row->target))
            continue;
        for (int i = 0; i < 8; ++i)
            row->time[i] = (uint16_t)ReadPointer(start + timeAt + 2 * i, 2);
        return true;
    }
    return false;
}

// Whether a SYSTEMTIME names a time the updater can set (the day of the week is not looked at).
bool IsValidTime(const uint16_t *t)
{
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return t[0] >= 1980 && t[0] <= 9999 && t[1] >= 1 && t[1] <= 12 && t[3] >= 1 && t[3] <= days[t[1] - 1] &&
           (t[1] != 2 || t[3] < 29 || (t[0] % 4 == 0 && (t[0] % 100 != 0 || t[0] % 400 == 0))) && t[4] < 24 &&
           t[5] < 60 && t[6] < 60 && t[7] < 1000;
}

// A container: 128 prefix bytes, then an SZDD mode A stream that expands to exactly its declared length,
// whose SHA-256 the updater's code holds (it checks its expansion against it), in the payload table's
// row for it, with the names and the time the payload is installed with. Returns the expanded length.
uint64_t CheckContainer(const std::vector<unsigned char> &file, const PeImage &image, const PeResource &r,
                        Report *report)
{
    const unsigned char *bytes = file.data() + r.fileOffset;
    std::string name = r.name.Text();
    if (r.size < SzddContainerPrefixSize + SzddHeaderSize) {
        report->Problem(name + ": " + std::to_string(r.size) + " bytes, too short for a container");
        return 0;
    }
    SzddHeader header;
    SzddResult result = SzddParseHeader(bytes + SzddContainerPrefixSize, r.size - SzddContainerPrefixSize, &header);
    if (result != SZDD_OK) {
        report->Problem(name + ": no SZDD stream after the 128-byte prefix (" + SzddResultText(result) + ")");
        return 0;
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
        return 0;
    }
    unsigned char digest[Sha256Size];
    Sha256Finish(&sha, digest);
    char hex[2 * Sha256Size + 1];
    for (int i = 0; i < Sha256Size; ++i)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    size_t held = FindBytes(file, digest, Sha256Size);
    printf("    sha256 %s: %s\n", hex, held != SIZE_MAX ? "held in the code: ok" : "not in the code");
    if (held == SIZE_MAX) {
        report->Problem(name + ": the code holds no SHA-256 of what it expands to (" + hex + ")");
        return written;
    }
    PayloadRowImage row;
    if (!FindPayloadRow(file, image, held, name, &row)) {
        report->Problem(name + ": the code holds no payload table row for it");
        return written;
    }
    const uint16_t *t = row.time;
    bool valid = IsValidTime(t);
    printf("    installed as %s (staged as %s), last-write time %04u-%02u-%02u %02u:%02u:%02u local: %s\n",
           row.target.c_str(), row.staged.c_str(), t[0], t[1], t[3], t[4], t[5], t[6], valid ? "ok" : "no such time");
    if (!valid)
        report->Problem(name + ": the payload time in the code is no time the updater can set");
    return written;
}

// "610360 to 610362": the installed sizes an entry of the table lets through.
std::string SizeRange(uint32_t entry)
{
    uint64_t low = entry - 1, high = entry == UINT32_MAX ? entry : (uint64_t)entry + 1;
    return std::to_string(low) + " to " + std::to_string(high);
}

// The guard's table of accepted installed sizes, alone in its section: 32-bit sizes up to the first 0. Prints
// them and, in words, what they mean for the copies in the field; toolLength is the length BIN1 expands to.
void CheckAcceptedSizes(const std::vector<unsigned char> &file, const PeImage &image, uint64_t toolLength,
                        Report *report)
{
    const PeSection *section = NULL;
    for (const PeSection &s : image.sections) {
        if (!section && s.name == ACCEPTED_SIZE_SECTION)
            section = &s;
    }
    if (!section) {
        report->Problem("the code holds no table of accepted sizes (no section " ACCEPTED_SIZE_SECTION ")");
        return;
    }
    size_t extent =
        section->virtualSize && section->virtualSize < section->rawSize ? section->virtualSize : section->rawSize;
    size_t start = std::min<size_t>(section->rawOffset, file.size());
    size_t end = start + std::min(extent, file.size() - start);
    std::vector<uint32_t> sizes;
    bool ended = false;
    for (size_t at = start; !ended && at + 4 <= end; at += 4) {
        uint32_t size = (uint32_t)ReadPointer(&file[at], 4);
        ended = size == 0;
        if (!ended)
            sizes.push_back(size);
    }
    std::string listed, ranges;
    for (uint32_t size : sizes) {
        listed += (listed.empty() ? "" : ", ") + std::to_string(size);
        ranges += (ranges.empty() ? "" : ", ") + SizeRange(size);
    }
    printf("accepted sizes of an installed PERNA.EXE: %s (each give or take one byte): %s\n",
           sizes.empty() ? "none" : listed.c_str(),
           !ended          ? "not ended by 0"
           : sizes.empty() ? "empty"
                           : "ok");
    if (!ended) {
        report->Problem("the table of accepted sizes is not ended by 0 within its section");
        return;
    }
    if (sizes.empty()) {
        report->Problem("the table of accepted sizes is empty: the updater would replace no installed PERNA.EXE");
        return;
    }
    // What the engineer must know before shipping: who gets the update, and that everyone else gets an error box
    // and keeps both old files.
    printf("  an installed PERNA.EXE older than the payload is replaced when it has %s bytes;\n", ranges.c_str());
    printf("  one of any other size gets the version-mismatch box, and nothing is replaced, KALENDO.INI neither\n");
    if (sizes.size() == 1 && sizes[0] == toolLength)
        printf("  the table holds only the length BIN1 expands to: a copy of another length, such as the previous\n"
               "  release's, is refused\n");
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
    uint64_t toolLength = 0;
    for (const PeResource *r : {bin1, bin2}) {
        if (!r)
            continue;
        uint64_t length = CheckContainer(file, image, *r, &report);
        if (r == bin1)
            toolLength = length;
        payloadBytes += r->size;
    }
    CheckAcceptedSizes(file, image, toolLength, &report);
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
