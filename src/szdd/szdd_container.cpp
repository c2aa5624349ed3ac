// Payload containers: a fixed 128-byte executable-style prefix followed by an SZDD stream.
#include "szdd_container.h"

#include <cstring>

const unsigned char SzddContainerPrefix[SzddContainerPrefixSize] = {
    // 0x00: DOS header: signature, 0x90 bytes in the last page, 3 pages, no relocations, 4 header
    // paragraphs, maximum extra memory, SS:SP = 0000:00B8, CS:IP = 0000:0000, relocations at 0x40.
    'M', 'Z', 0x90, 0x00, 0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xB8, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    // 0x3C: offset of the new header.
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x18, 0x01, 0x00, 0x00,
    // 0x40: stub: push cs; pop ds; mov dx, 0x0E; mov ah, 9; int 21h; mov ax, 0x4C01; int 21h.
    0x0E, 0x1F, 0xBA, 0x0E, 0x00, 0xB4, 0x09, 0xCD, 0x21, 0xB8, 0x01, 0x4C, 0xCD, 0x21,
    // 0x4E: the text the stub prints, ended by '$'.
    'T', 'h', 'i', 's', ' ', 'p', 'r', 'o', 'g', 'r', 'a', 'm', ' ', 'c', 'a', 'n', 'n', 'o', 't', ' ', 'b', 'e', ' ',
    'r', 'u', 'n', ' ', 'i', 'n', ' ', 'D', 'O', 'S', ' ', 'm', 'o', 'd', 'e', '.', '\r', '\r', '\n', '$',
    // 0x79: padding to 128 bytes.
    0, 0, 0, 0, 0, 0, 0};

int SzddIsContainer(const unsigned char *bytes, size_t length)
{
    if (length < SzddContainerPrefixSize + sizeof SzddMagic)
        return 0;
    if (bytes[0] != 'M' || bytes[1] != 'Z')
        return 0;
    return memcmp(bytes + SzddContainerPrefixSize, SzddMagic, sizeof SzddMagic) == 0;
}

SzddResult SzddPack(const unsigned char *data, size_t length, SzddWriteFn write, void *sink)
{
    if (length > 0xFFFFFFFFu)
        return SZDD_ERR_LENGTH;
    if (!write(sink, SzddContainerPrefix, SzddContainerPrefixSize))
        return SZDD_ERR_WRITE;
    return SzddCompress(data, length, write, sink);
}

SzddResult SzddSkipContainerPrefix(SzddReadFn read, void *source)
{
    unsigned char prefix[SzddContainerPrefixSize];
    size_t have = 0;
    while (have < sizeof prefix) {
        long got = read(source, prefix + have, sizeof prefix - have);
        if (got < 0 || static_cast<size_t>(got) > sizeof prefix - have)
            return SZDD_ERR_READ;
        if (got == 0)
            break;
        have += static_cast<size_t>(got);
    }
    if ((have >= 1 && prefix[0] != 'M') || (have >= 2 && prefix[1] != 'Z'))
        return SZDD_ERR_NOT_SZDD;
    return have < sizeof prefix ? SZDD_ERR_TRUNCATED : SZDD_OK;
}

SzddResult SzddUnpack(SzddReadFn read, void *source, SzddWriteFn write, void *sink, uint64_t *written)
{
    *written = 0;
    SzddResult result = SzddSkipContainerPrefix(read, source);
    if (result != SZDD_OK)
        return result;
    return SzddExpand(read, source, write, sink, written);
}
