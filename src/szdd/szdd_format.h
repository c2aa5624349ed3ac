// The SZDD stream and payload container layout, and where the updater's image keeps its accepted sizes: the one
// statement of them, shared by the codec, the updater and the tools.
#pragma once

enum {
    // A stream opens with the magic, the compression mode, the last character of the original name that
    // the compressed name dropped, and the expanded length (4 bytes, little-endian); the data follows.
    SzddMagicSize = 8,
    SzddModeOffset = 8,
    SzddMissingCharOffset = 9,
    SzddLengthOffset = 10,
    SzddHeaderSize = 14,
    SzddModeA = 0x41,
    // Mode A's sliding window: 4096 bytes, at first all spaces.
    SzddWindowSize = 4096,
    // A payload container is a fixed executable-style prefix followed by a stream.
    SzddContainerPrefixSize = 128,
    // Where a container's stream declares the expanded length.
    SzddContainerLengthOffset = SzddContainerPrefixSize + SzddLengthOffset
};

// "SZDD" and 88 F0 27 33.
const unsigned char SzddMagic[SzddMagicSize] = {0x53, 0x5A, 0x44, 0x44, 0x88, 0xF0, 0x27, 0x33};

// The section of the updater's image that holds the guard's table of accepted installed sizes and nothing else:
// 32-bit little-endian sizes ended by 0. Tools that read the image (szdd inspect, the field check) find there
// what the updater accepts, whatever sizes it was built with.
#define ACCEPTED_SIZE_SECTION ".sizes"
