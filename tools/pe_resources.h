// Reading a Windows executable as bytes: headers, imported DLLs, the resource tree and the version resource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A resource type or name: a string, or a number when is_id is set.
struct PeResourceKey {
    bool is_id;
    uint16_t id;
    std::string name;   // UTF-8

    std::string Text() const;   // "BIN", or "#16" for a number
};

struct PeResource {
    PeResourceKey type;
    PeResourceKey name;
    uint16_t language;
    uint32_t code_page;
    uint32_t size;
    size_t file_offset;   // where the data starts in the file
};

struct PeImage {
    uint16_t machine;          // 0x14C i386, 0x8664 x86-64
    bool pe32_plus;            // the 64-bit optional header
    uint16_t subsystem;        // 2 GUI, 3 console
    uint32_t timestamp;        // COFF header TimeDateStamp
    std::vector<std::string> imports;   // DLL names, in directory order
    std::vector<PeResource> resources;  // leaves, in tree order
};

// Parses headers, sections, the import directory and the whole resource tree. Every offset is checked
// against the file; false with a one-line reason in *error when the file is not a well-formed image.
bool ParsePeImage(const std::vector<unsigned char> &file, PeImage *image, std::string *error);

// Fixed part and strings of a VS_VERSIONINFO resource.
struct PeVersionInfo {
    uint32_t file_version_ms, file_version_ls;
    uint32_t product_version_ms, product_version_ls;
    uint32_t flags_mask, flags, os, type, subtype;
    std::string table_key;   // the StringTable's key, e.g. "041104b0"
    std::vector<std::pair<std::string, std::string>> strings;   // key, value (UTF-8), in file order
    std::vector<uint32_t> translations;   // language in the low half, code page in the high half
};

// Parses the resource's bytes; false with a reason when the layout is broken or the fixed part is absent.
bool ParseVersionInfo(const unsigned char *data, size_t size, PeVersionInfo *info, std::string *error);

// "a.b.c.d" from the two halves of a fixed-part version.
std::string VersionText(uint32_t most_significant, uint32_t least_significant);
