// Reading a Windows executable as bytes: headers, imported DLLs, the resource tree and the version resource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A resource type or name: a string, or a number when is_id is set.
struct PeResourceKey {
    bool isId;
    uint16_t id;
    std::string name;  // UTF-8

    std::string Text() const;  // "BIN", or "#16" for a number
};

struct PeResource {
    PeResourceKey type;
    PeResourceKey name;
    uint16_t language;
    uint32_t codePage;
    uint32_t size;
    size_t fileOffset;  // where the data starts in the file
};

// A section's place in memory and in the file, and its name.
struct PeSection {
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize;
    std::string name;  // up to 8 bytes, as the section table holds it
};

struct PeImage {
    uint16_t machine;                   // 0x14C i386, 0x8664 x86-64
    bool pe32Plus;                      // the 64-bit optional header
    uint64_t imageBase;                 // the preferred load address, which absolute pointers in the file assume
    std::vector<PeSection> sections;    // in table order
    uint16_t subsystem;                 // 2 GUI, 3 console
    uint32_t timestamp;                 // COFF header TimeDateStamp
    std::vector<std::string> imports;   // DLL names, in directory order
    std::vector<PeResource> resources;  // leaves, in tree order
};

// Parses headers, sections, the import directory and the whole resource tree. Every offset is checked
// against the file; false with a one-line reason in *error when the file is not a well-formed image.
bool ParsePeImage(const std::vector<unsigned char> &file, PeImage *image, std::string *error);

// The file offset of [va, va + length), an absolute address in the loaded image, when it lies in one
// section's raw data; false otherwise.
bool PeAddressToOffset(const PeImage &image, size_t fileSize, uint64_t va, uint32_t length, size_t *offset);

// The absolute address at which the byte at a file offset is loaded; false when no section holds it.
bool PeOffsetToAddress(const PeImage &image, size_t offset, uint64_t *va);

// Fixed part and strings of a VS_VERSIONINFO resource.
struct PeVersionInfo {
    uint32_t fileVersionMs, fileVersionLs;
    uint32_t productVersionMs, productVersionLs;
    uint32_t flagsMask, flags, os, type, subtype;
    std::string tableKey;                                      // the StringTable's key, e.g. "041104b0"
    std::vector<std::pair<std::string, std::string>> strings;  // key, value (UTF-8), in file order
    std::vector<uint32_t> translations;                        // language in the low half, code page in the high half
};

// Parses the resource's bytes; false with a reason when the layout is broken or the fixed part is absent.
bool ParseVersionInfo(const unsigned char *data, size_t size, PeVersionInfo *info, std::string *error);

// "a.b.c.d" from the two halves of a fixed-part version.
std::string VersionText(uint32_t mostSignificant, uint32_t leastSignificant);
