"""A copy of the updater with one payload resource changed in place, for the scenarios' resource
overrides: "missing" renames the resource, "cut:N" shortens its recorded size, "length+D"/"length-D"
changes the expanded length its container declares, "flip-literal" changes the first literal byte of its
stream (same length, other bytes). The resource directory keeps its sort order."""

import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenarios"))
from facts import CONTAINER_LENGTH_OFFSET  # noqa: E402
from scenario import first_literal_offset  # noqa: E402


def _u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def _u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def payload_resources(data):
    """{name: {"entry": data entry offset, "data": data offset, "size": n, "name_at": UTF-16 name offset}}
    for the resources of type "BIN"."""
    pe = _u32(data, 0x3C)
    sections, optional_size = _u16(data, pe + 6), _u16(data, pe + 20)
    opt = pe + 24
    directories = opt + (112 if _u16(data, opt) == 0x20B else 96)
    rsrc_rva = _u32(data, directories + 16)
    table = []
    for i in range(sections):
        s = opt + optional_size + 40 * i
        table.append((_u32(data, s + 12), max(_u32(data, s + 8), _u32(data, s + 16)), _u32(data, s + 20)))

    def offset(rva):
        for va, extent, raw in table:
            if va <= rva < va + extent:
                return raw + rva - va
        raise ValueError("RVA 0x%x outside the sections" % rva)

    base = offset(rsrc_rva)

    def name(word):
        if not word & 0x80000000:
            return "#%d" % word, None
        at = base + (word & 0x7FFFFFFF)
        return data[at + 2:at + 2 + 2 * _u16(data, at)].decode("utf-16-le"), at + 2

    found = {}

    def walk(directory, path):
        count = _u16(data, directory + 12) + _u16(data, directory + 14)
        for i in range(count):
            entry = directory + 16 + 8 * i
            label, name_at = name(_u32(data, entry))
            target = _u32(data, entry + 4)
            here = path + [(label, name_at)]
            if target & 0x80000000:
                walk(base + (target & 0x7FFFFFFF), here)
            elif here[0][0] == "BIN":
                leaf = base + target
                found[here[1][0]] = {"entry": leaf, "data": offset(_u32(data, leaf)), "size": _u32(data, leaf + 4),
                                     "name_at": here[1][1]}

    walk(base, [])
    return found


def patched(data, overrides):
    """The executable's bytes with each override of {"BIN1": token, ...} applied."""
    data = bytearray(data)
    resources = payload_resources(data)
    for name, token in overrides.items():
        r = resources[name]
        if token == "missing":
            # BIN1 -> BIN0, BIN2 -> BIN3: no longer found, and still in order for the binary search.
            digit = "0" if name == "BIN1" else "3"
            data[r["name_at"] + 6:r["name_at"] + 8] = digit.encode("utf-16-le")
            continue
        m = re.fullmatch(r"cut:(\d+)", token)
        if m:
            struct.pack_into("<I", data, r["entry"] + 4, min(int(m.group(1)), r["size"]))
            continue
        if token == "flip-literal":
            at = r["data"] + first_literal_offset(bytes(data[r["data"]:r["data"] + r["size"]]))
            data[at] ^= 1
            continue
        m = re.fullmatch(r"length([+-]\d+)", token)
        if not m:
            raise ValueError("unknown resource token %r" % token)
        at = r["data"] + CONTAINER_LENGTH_OFFSET
        struct.pack_into("<I", data, at, _u32(data, at) + int(m.group(1)))
    return bytes(data)
