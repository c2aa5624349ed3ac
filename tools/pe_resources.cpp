// Windows executable reading for `szdd inspect`: everything is bounds-checked, nothing is trusted.
#include "pe_resources.h"

#include <cstdio>

namespace {

uint16_t Get16(const unsigned char *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}
uint32_t Get32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

void AppendUtf8(std::string *out, uint32_t c)
{
    if (c < 0x80) {
        out->push_back((char)c);
    } else if (c < 0x800) {
        out->push_back((char)(0xC0 | c >> 6));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back((char)(0xE0 | c >> 12));
        out->push_back((char)(0x80 | (c >> 6 & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    } else {
        out->push_back((char)(0xF0 | c >> 18));
        out->push_back((char)(0x80 | (c >> 12 & 0x3F)));
        out->push_back((char)(0x80 | (c >> 6 & 0x3F)));
        out->push_back((char)(0x80 | (c & 0x3F)));
    }
}

// count UTF-16 units at p (already bounds-checked by the caller) as UTF-8; lone surrogates become U+FFFD.
std::string Utf16ToUtf8(const unsigned char *p, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; i++) {
        uint32_t c = Get16(p + 2 * i);
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
            uint32_t low = Get16(p + 2 * (i + 1));
            if (low >= 0xDC00 && low < 0xE000) {
                AppendUtf8(&out, 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
                i++;
                continue;
            }
        }
        if (c >= 0xD800 && c < 0xE000)
            c = 0xFFFD;
        AppendUtf8(&out, c);
    }
    return out;
}

bool MapRva(const std::vector<PeSection> &sections, size_t fileSize, uint32_t rva, uint32_t length, size_t *offset)
{
    for (const PeSection &s : sections) {
        uint32_t extent = s.virtualSize ? s.virtualSize : s.rawSize;
        if (rva < s.virtualAddress || rva - s.virtualAddress >= extent)
            continue;
        uint32_t inside = rva - s.virtualAddress;
        if (inside > s.rawSize || length > s.rawSize - inside)
            return false;
        size_t at = (size_t)s.rawOffset + inside;
        if (at > fileSize || length > fileSize - at)
            return false;
        *offset = at;
        return true;
    }
    return false;
}

class Reader {
public:
    Reader(const std::vector<unsigned char> &file, std::string *error) : file(file), error(error)
    {
    }

    bool Fail(const std::string &why)
    {
        if (error->empty())
            *error = why;
        return false;
    }
    bool Has(size_t offset, size_t length) const
    {
        return offset <= file.size() && length <= file.size() - offset;
    }
    const unsigned char *At(size_t offset) const
    {
        return file.data() + offset;
    }

    // File offset of [rva, rva + length) when it lies inside one section's raw data.
    bool Map(uint32_t rva, uint32_t length, size_t *offset) const
    {
        return MapRva(sections, file.size(), rva, length, offset);
    }

    bool Parse(PeImage *image);

private:
    bool ParseImports(uint32_t rva, uint32_t size, PeImage *image);
    bool ParseResourceDirectory(size_t base, uint32_t baseSize, uint32_t dir, int depth, PeResource *path,
                                PeImage *image);
    bool ReadKey(size_t base, uint32_t baseSize, uint32_t word, PeResourceKey *key);

    const std::vector<unsigned char> &file;
    std::string *error;
    std::vector<PeSection> sections;
    int leavesSeen = 0;
};

bool Reader::Parse(PeImage *image)
{
    if (!Has(0, 0x40) || At(0)[0] != 'M' || At(0)[1] != 'Z')
        return Fail("no MZ header");
    uint32_t pe = Get32(At(0x3C));
    if (!Has(pe, 24) || Get32(At(pe)) != 0x00004550)
        return Fail("no PE signature");
    const unsigned char *coff = At(pe + 4);
    image->machine = Get16(coff);
    uint16_t sectionCount = Get16(coff + 2);
    image->timestamp = Get32(coff + 4);
    uint16_t optionalSize = Get16(coff + 16);
    size_t opt = pe + 24;
    if (!Has(opt, optionalSize) || optionalSize < 2)
        return Fail("optional header cut short");
    uint16_t magic = Get16(At(opt));
    if (magic != 0x10B && magic != 0x20B)
        return Fail("unknown optional header magic");
    image->pe32Plus = magic == 0x20B;
    size_t dirsAt = image->pe32Plus ? 112 : 96;
    if (optionalSize < dirsAt)
        return Fail("optional header cut short");
    image->subsystem = Get16(At(opt + 68));
    image->imageBase =
        image->pe32Plus ? Get32(At(opt + 24)) | (uint64_t)Get32(At(opt + 28)) << 32 : Get32(At(opt + 28));
    uint32_t dirCount = Get32(At(opt + dirsAt - 4));
    if (dirCount > (optionalSize - dirsAt) / 8)
        return Fail("data directories overrun the optional header");

    size_t sec = opt + optionalSize;
    if (!Has(sec, (size_t)sectionCount * 40))
        return Fail("section table cut short");
    for (uint16_t i = 0; i < sectionCount; i++) {
        const unsigned char *s = At(sec + 40 * (size_t)i);
        std::string name((const char *)s, 8);
        sections.push_back(
            {Get32(s + 12), Get32(s + 8), Get32(s + 20), Get32(s + 16), name.substr(0, name.find('\0'))});
    }
    image->sections = sections;

    if (dirCount > 1) {
        uint32_t rva = Get32(At(opt + dirsAt + 8)), size = Get32(At(opt + dirsAt + 12));
        if (rva && !ParseImports(rva, size, image))
            return false;
    }
    if (dirCount > 2) {
        uint32_t rva = Get32(At(opt + dirsAt + 16)), size = Get32(At(opt + dirsAt + 20));
        if (rva) {
            size_t base;
            if (size < 16 || !Map(rva, size, &base))
                return Fail("resource directory outside the sections");
            PeResource path{};
            if (!ParseResourceDirectory(base, size, 0, 0, &path, image))
                return false;
        }
    }
    return true;
}

bool Reader::ParseImports(uint32_t rva, uint32_t size, PeImage *image)
{
    (void)size;
    for (uint32_t entry = rva;; entry += 20) {
        size_t at;
        if (!Map(entry, 20, &at))
            return Fail("import directory outside the sections");
        const unsigned char *d = At(at);
        uint32_t nameRva = Get32(d + 12);
        if (nameRva == 0 && Get32(d) == 0 && Get32(d + 16) == 0)
            return true;
        size_t nameAt;
        if (!Map(nameRva, 1, &nameAt))
            return Fail("import name outside the sections");
        std::string name;
        while (nameAt < file.size() && file[nameAt] != 0 && name.size() < 256)
            name.push_back((char)file[nameAt++]);
        image->imports.push_back(name);
        if (image->imports.size() > 4096)
            return Fail("import directory does not end");
    }
}

bool Reader::ReadKey(size_t base, uint32_t baseSize, uint32_t word, PeResourceKey *key)
{
    if (!(word & 0x80000000u)) {
        key->isId = true;
        key->id = (uint16_t)word;
        key->name.clear();
        return true;
    }
    uint32_t off = word & 0x7FFFFFFFu;
    if (off > baseSize || baseSize - off < 2)
        return Fail("resource name outside the resource directory");
    uint16_t count = Get16(At(base + off));
    if ((size_t)count * 2 > baseSize - off - 2)
        return Fail("resource name outside the resource directory");
    key->isId = false;
    key->id = 0;
    key->name = Utf16ToUtf8(At(base + off + 2), count);
    return true;
}

bool Reader::ParseResourceDirectory(size_t base, uint32_t baseSize, uint32_t dir, int depth, PeResource *path,
                                    PeImage *image)
{
    if (depth > 2)
        return Fail("resource tree deeper than type, name and language");
    if (dir > baseSize || baseSize - dir < 16)
        return Fail("resource directory cut short");
    const unsigned char *d = At(base + dir);
    uint32_t count = (uint32_t)Get16(d + 12) + Get16(d + 14);
    if ((size_t)count * 8 > baseSize - dir - 16)
        return Fail("resource entries cut short");
    for (uint32_t i = 0; i < count; i++) {
        const unsigned char *e = At(base + dir + 16 + 8 * (size_t)i);
        uint32_t nameWord = Get32(e), target = Get32(e + 4);
        PeResourceKey key;
        if (!ReadKey(base, baseSize, nameWord, &key))
            return false;
        if (depth == 0)
            path->type = key;
        else if (depth == 1)
            path->name = key;
        else
            path->language = key.isId ? key.id : 0xFFFF;
        if (target & 0x80000000u) {
            if (!ParseResourceDirectory(base, baseSize, target & 0x7FFFFFFFu, depth + 1, path, image))
                return false;
            continue;
        }
        if (depth != 2)
            return Fail("resource data above the language level");
        if (target > baseSize || baseSize - target < 16)
            return Fail("resource data entry cut short");
        if (++leavesSeen > 65536)
            return Fail("too many resources");
        const unsigned char *leaf = At(base + target);
        PeResource r = *path;
        r.size = Get32(leaf + 4);
        r.codePage = Get32(leaf + 8);
        if (!Map(Get32(leaf), r.size, &r.fileOffset)) {
            return Fail("data of resource " + r.type.Text() + "/" + r.name.Text() + " outside the sections");
        }
        image->resources.push_back(r);
    }
    return true;
}

// One node of a version resource: wLength, wValueLength, wType, key, value, children.
struct VersionNode {
    size_t start, end;  // the node, within the resource
    std::string key;
    size_t valueAt, valueBytes;
    bool text;
    size_t childrenAt;  // first child (end when none)
};

size_t Align4(size_t n)
{
    return (n + 3) & ~(size_t)3;
}

bool ReadVersionNode(const unsigned char *data, size_t limit, size_t at, VersionNode *node)
{
    if (at + 6 > limit)
        return false;
    size_t length = Get16(data + at);
    if (length < 6 || length > limit - at)
        return false;
    node->start = at;
    node->end = at + length;
    size_t valueLength = Get16(data + at + 2);
    node->text = Get16(data + at + 4) == 1;
    size_t p = at + 6, keyStart = p;
    while (p + 2 <= node->end && Get16(data + p) != 0)
        p += 2;
    if (p + 2 > node->end)
        return false;
    node->key = Utf16ToUtf8(data + keyStart, (p - keyStart) / 2);
    node->valueAt = Align4(p + 2);
    node->valueBytes = node->text ? valueLength * 2 : valueLength;
    if (node->valueAt > node->end)
        node->valueAt = node->end;
    if (node->valueBytes > node->end - node->valueAt)
        return false;
    node->childrenAt = Align4(node->valueAt + node->valueBytes);
    if (node->childrenAt > node->end)
        node->childrenAt = node->end;
    return true;
}

}  // namespace

std::string PeResourceKey::Text() const
{
    if (!isId)
        return name;
    char buffer[16];
    snprintf(buffer, sizeof buffer, "#%u", (unsigned)id);
    return buffer;
}

bool ParsePeImage(const std::vector<unsigned char> &file, PeImage *image, std::string *error)
{
    *image = PeImage{};
    error->clear();
    Reader reader(file, error);
    return reader.Parse(image);
}

bool PeAddressToOffset(const PeImage &image, size_t fileSize, uint64_t va, uint32_t length, size_t *offset)
{
    if (va < image.imageBase || va - image.imageBase > UINT32_MAX)
        return false;
    return MapRva(image.sections, fileSize, (uint32_t)(va - image.imageBase), length, offset);
}

bool PeOffsetToAddress(const PeImage &image, size_t offset, uint64_t *va)
{
    for (const PeSection &s : image.sections) {
        if (offset < s.rawOffset || offset - s.rawOffset >= s.rawSize)
            continue;
        uint64_t inside = offset - s.rawOffset;
        if (s.virtualSize && inside >= s.virtualSize)
            return false;
        *va = image.imageBase + s.virtualAddress + inside;
        return true;
    }
    return false;
}

bool ParseVersionInfo(const unsigned char *data, size_t size, PeVersionInfo *info, std::string *error)
{
    *info = PeVersionInfo{};
    VersionNode root;
    if (!ReadVersionNode(data, size, 0, &root) || root.key != "VS_VERSION_INFO") {
        *error = "not a VS_VERSION_INFO block";
        return false;
    }
    if (root.valueBytes < 52 || Get32(data + root.valueAt) != 0xFEEF04BDu) {
        *error = "fixed file information missing";
        return false;
    }
    const unsigned char *f = data + root.valueAt;
    info->fileVersionMs = Get32(f + 8);
    info->fileVersionLs = Get32(f + 12);
    info->productVersionMs = Get32(f + 16);
    info->productVersionLs = Get32(f + 20);
    info->flagsMask = Get32(f + 24);
    info->flags = Get32(f + 28);
    info->os = Get32(f + 32);
    info->type = Get32(f + 36);
    info->subtype = Get32(f + 40);

    for (size_t at = root.childrenAt; at < root.end;) {
        VersionNode block;
        if (!ReadVersionNode(data, root.end, at, &block)) {
            *error = "broken block inside VS_VERSION_INFO";
            return false;
        }
        if (block.key == "StringFileInfo") {
            for (size_t t = block.childrenAt; t < block.end;) {
                VersionNode table;
                if (!ReadVersionNode(data, block.end, t, &table)) {
                    *error = "broken string table";
                    return false;
                }
                if (info->tableKey.empty())
                    info->tableKey = table.key;
                for (size_t s = table.childrenAt; s < table.end;) {
                    VersionNode str;
                    if (!ReadVersionNode(data, table.end, s, &str)) {
                        *error = "broken string in the string table";
                        return false;
                    }
                    size_t units = str.valueBytes / 2;
                    while (units > 0 && Get16(data + str.valueAt + 2 * (units - 1)) == 0)
                        units--;
                    info->strings.emplace_back(str.key, Utf16ToUtf8(data + str.valueAt, units));
                    s = Align4(str.end);
                }
                t = Align4(table.end);
            }
        } else if (block.key == "VarFileInfo") {
            for (size_t v = block.childrenAt; v < block.end;) {
                VersionNode var;
                if (!ReadVersionNode(data, block.end, v, &var)) {
                    *error = "broken VarFileInfo";
                    return false;
                }
                if (var.key == "Translation") {
                    for (size_t i = 0; i + 4 <= var.valueBytes; i += 4)
                        info->translations.push_back(Get32(data + var.valueAt + i));
                }
                v = Align4(var.end);
            }
        }
        at = Align4(block.end);
    }
    return true;
}

std::string VersionText(uint32_t mostSignificant, uint32_t leastSignificant)
{
    char buffer[48];
    snprintf(buffer, sizeof buffer, "%u.%u.%u.%u", (unsigned)(mostSignificant >> 16),
             (unsigned)(mostSignificant & 0xFFFF), (unsigned)(leastSignificant >> 16),
             (unsigned)(leastSignificant & 0xFFFF));
    return buffer;
}
