#!/usr/bin/env python3
"""Copies a file and pads it to an exact size with deterministic filler, so sizes match the updater's table."""
import sys


def main(source, target, size):
    data = open(source, "rb").read()
    if len(data) > size:
        sys.exit(f"pad_file: {source} is {len(data)} bytes, over {size}")
    # Filler that compresses about as well as program code does: a fixed pseudo-random walk over few symbols.
    state = 0x2015_0421
    filler = bytearray()
    while len(data) + len(filler) < size:
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        filler.append(b"\x00\x00\x00\xffPERNA.8B\x89\x45\x8b\x4d\xe8\xc3"[(state >> 16) % 16])
    with open(target, "wb") as out:
        out.write(data + bytes(filler))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], int(sys.argv[3]))
