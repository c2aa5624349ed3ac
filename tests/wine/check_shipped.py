#!/usr/bin/env python3
"""Checks the shipping executable as built, without running it: llvm-readobj for the headers, the
imports and the resource tree, `szdd inspect` for the containers and the version fields.

    check_shipped.py EXE --szdd build/native/szdd --bin1 BIN1.bin --bin2 BIN2.bin

Prints the code footprint (file size minus the two payload containers). Exit status 1 on any fault."""

import argparse
import os
import re
import subprocess
import sys

ALLOWED_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "msvcrt.dll"}
# Bound at run time from the system directory, never imported: an import could be served from anywhere.
RUN_TIME_ONLY = {"LZOpenFileA", "LZCopy", "LZClose", "LZInit", "LZRead", "LZSeek", "LZStart", "LZDone",
                 "CopyLZFile", "GetExpandedNameA"}
FOOTPRINT_LIMIT = 32 * 1024
JAPANESE = 1041

VERSION_FIELDS = {
    "FileVersion": "1.0.0.1", "ProductVersion": "6.0.0.1", "FileFlagsMask": "0x3F", "FileFlags": "0x0",
    "FileOS": "0x40004", "FileType": "1", "FileSubtype": "0", "string table": "041104b0",
    "translation": "0x0411, 1200",
}
VERSION_STRINGS = {
    "Comments": "", "CompanyName": None, "FileDescription": "アップデートユーティリティ",
    "FileVersion": "1, 0, 0, 1", "InternalName": None, "LegalCopyright": None, "LegalTrademarks": "",
    "OriginalFilename": "PernaUpdate.exe", "PrivateBuild": "", "ProductName": "カリヨム",
    "ProductVersion": "6, 0, 0, 1", "SpecialBuild": "",
}


def readobj(exe):
    out = subprocess.run(["llvm-readobj", "--file-headers", "--coff-imports", "--coff-resources", exe],
                         check=True, stdout=subprocess.PIPE).stdout.decode("utf-8", "replace")
    return out


def imports(text):
    """{dll: [symbols]} from llvm-readobj's Import blocks."""
    found = {}
    current = None
    for line in text.splitlines():
        m = re.match(r"\s*Name: (\S+\.dll)$", line, re.I)
        if m:
            current = m.group(1)
            found[current] = []
            continue
        m = re.match(r"\s*Symbol: (\w+)", line)
        if m and current:
            found[current].append(m.group(1))
        if line.startswith("}"):
            current = None
    return found


def resources(text):
    """[(type, name, language)] from the resource tree: three nested levels of entries."""
    leaves = []
    stack = []
    for line in text.splitlines():
        m = re.match(r"\s*(Type|Name|Language): (.*?) \[$", line)
        if m:
            level, value = m.group(1), m.group(2)
            value = re.sub(r"^\(ID (\d+)\)$", r"#\1", value)
            value = re.sub(r"^.*\(ID (\d+)\)$", r"#\1", value)
            depth = {"Type": 0, "Name": 1, "Language": 2}[level]
            stack = stack[:depth] + [value]
            if depth == 2:
                leaves.append(tuple(stack))
    return leaves


def inspect_fields(output):
    fields, strings = {}, {}
    section = None
    for line in output.splitlines():
        if line == "version:":
            section = "version"
            continue
        if not line.startswith("  "):
            section = None if line.endswith(":") else section
            continue
        if section != "version":
            continue
        m = re.match(r"  (\w+)\s+\"(.*)\"$", line)
        if m:
            strings[m.group(1)] = m.group(2)
            continue
        m = re.match(r"  (string table|translation|\w+)\s+(.*)$", line)
        if m:
            fields[m.group(1)] = m.group(2).strip()
    return fields, strings


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("exe")
    parser.add_argument("--szdd", required=True, help="the host szdd tool")
    parser.add_argument("--bin1", required=True)
    parser.add_argument("--bin2", required=True)
    args = parser.parse_args()
    faults = []

    text = readobj(args.exe)
    if "Machine: IMAGE_FILE_MACHINE_I386" not in text or "Format: COFF-i386" not in text:
        faults.append("not a PE32 i386 image")
    if "Subsystem: IMAGE_SUBSYSTEM_WINDOWS_GUI" not in text:
        faults.append("not the GUI subsystem")
    if "TimeDateStamp: 1970-01-01 00:00:00 (0x0)" not in text:
        faults.append("the link time is recorded (not reproducible)")
    if "PointerToSymbolTable: 0x0" not in text:
        faults.append("not stripped")
    # Windows then never reads a manifest planted beside the executable, which could redirect its DLL loads.
    if "IMAGE_DLL_CHARACTERISTICS_NO_ISOLATION" not in text:
        faults.append("the image may be isolated: a manifest beside it would be read")
    if re.search(r"Type: (kRT_MANIFEST|\(ID 24\))", text):
        faults.append("the image embeds a manifest")

    dlls = imports(text)
    names = {d.lower() for d in dlls}
    if names != ALLOWED_DLLS:
        faults.append("imports %s, want exactly %s" % (sorted(dlls), sorted(ALLOWED_DLLS)))
    for dll, symbols in dlls.items():
        bound = sorted(RUN_TIME_ONLY.intersection(symbols))
        if bound:
            faults.append("%s imported from %s: LZ32 must be bound at run time from the system directory"
                          % (", ".join(bound), dll))

    leaves = resources(text)
    want = [("BIN", "BIN1", "#%d" % JAPANESE), ("BIN", "BIN2", "#%d" % JAPANESE),
            ("#16", "#1", "#%d" % JAPANESE)]
    if sorted(leaves) != sorted(want):
        faults.append("resources %s, want exactly %s" % (leaves, want))

    proc = subprocess.run([args.szdd, "inspect", args.exe], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out = proc.stdout.decode("utf-8", "replace")
    if proc.returncode != 0:
        faults.append("inspect: " + proc.stderr.decode("utf-8", "replace").strip())
    fields, strings = inspect_fields(out)
    for key, value in VERSION_FIELDS.items():
        if fields.get(key) != value:
            faults.append("version %s is %r, want %r" % (key, fields.get(key), value))
    if sorted(strings) != sorted(VERSION_STRINGS):
        faults.append("version strings %s, want %s" % (sorted(strings), sorted(VERSION_STRINGS)))
    for key, value in VERSION_STRINGS.items():
        if value is None:
            if not strings.get(key):
                faults.append("version string %s is empty" % key)
        elif strings.get(key) != value:
            faults.append("version string %s is %r, want %r" % (key, strings.get(key), value))

    # The resources hold the containers the build made, byte for byte.
    data = open(args.exe, "rb").read()
    containers = 0
    for path in (args.bin1, args.bin2):
        blob = open(path, "rb").read()
        if data.find(blob) < 0:
            faults.append("%s is not carried whole" % os.path.basename(path))
        containers += len(blob)

    footprint = len(data) - containers
    print("PernaUpdate.exe: %d bytes, containers %d bytes, code footprint %d bytes (%.1f KiB, limit %d KiB)"
          % (len(data), containers, footprint, footprint / 1024, FOOTPRINT_LIMIT // 1024))
    if footprint > FOOTPRINT_LIMIT:
        faults.append("code footprint %d bytes is over %d" % (footprint, FOOTPRINT_LIMIT))

    for f in faults:
        print("FAULT " + f)
    print("shipped executable: %s" % ("ok" if not faults else "%d fault(s)" % len(faults)))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
