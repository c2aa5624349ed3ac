#!/usr/bin/env python3
"""`szdd inspect` on a good updater and on damaged copies of it: the good one passes, each damage is
found (exit status 1, and the problem named on stderr).

    check_inspect.py SZDD EXE PERNA   (SZDD: the host szdd tool; PERNA: the PERNA.EXE that EXE carries)"""

import hashlib
import os
import random
import re
import struct
import subprocess
import sys
import tempfile

SZDD_MAGIC = b"SZDD\x88\xf0\x27\x33"


def utf16(text):
    return text.encode("utf-16-le")


def damages(good, perna, times):
    """(what, bytes, expected stderr fragment) for each damaged copy; perna: the payload BIN1 carries;
    times: each payload's SYSTEMTIME fields, as the good copy's inspect report shows them."""
    first = good.find(SZDD_MAGIC)
    second = good.find(SZDD_MAGIC, first + 1)
    assert first > 0 and second > first, "two containers expected"
    out = []

    # A bit flipped in the middle of BIN1's compressed data: it no longer expands to its length.
    data = bytearray(good)
    middle = first + (second - first) // 2
    for offset in range(middle, middle + 64):
        data[offset] ^= 0xFF
    out.append(("BIN1 stream damaged", bytes(data), "BIN1"))

    # The declared length of BIN2 raised by one.
    data = bytearray(good)
    declared = int.from_bytes(data[second + 10:second + 14], "little") + 1
    data[second + 10:second + 14] = declared.to_bytes(4, "little")
    out.append(("BIN2 declared length off by one", bytes(data), "BIN2"))

    # BIN1's SZDD magic destroyed: no stream after the prefix.
    data = bytearray(good)
    data[first:first + 4] = b"XXXX"
    out.append(("BIN1 magic gone", bytes(data), "no SZDD stream"))

    # The resource named BIN2 renamed: the payload is missing, an unexpected resource is present.
    name = good.find(utf16("BIN2"))
    assert name > 0
    data = bytearray(good)
    data[name:name + 8] = utf16("BINX")
    out.append(("BIN2 missing", bytes(data), "no resource BIN/BIN2"))

    # The version string disagreeing with the fixed version.
    data = bytearray(good)
    at = good.find(utf16("1, 0, 0, 1"))
    assert at > 0
    data[at:at + 20] = utf16("1, 0, 0, 2")
    out.append(("FileVersion string wrong", bytes(data), "disagrees"))

    # The digest of BIN1's payload changed in the code: the updater would refuse its own payload.
    digest = hashlib.sha256(perna).digest()
    at = good.find(digest)
    assert at > 0, "the code holds no digest of BIN1's payload"
    data = bytearray(good)
    data[at] ^= 0x01
    out.append(("BIN1 digest in the code changed", bytes(data), "holds no SHA-256"))

    # The tool's time in the code made impossible (month 13); the table of accepted sizes emptied (the updater
    # would update nobody), and its section renamed (it has none).
    at = good.find(struct.pack("<8H", *times[0]))
    assert at > 0, "the code holds no SYSTEMTIME of BIN1's time"
    out.append(("BIN1 time in the code impossible", good[:at + 2] + b"\x0d" + good[at + 3:], "no time the updater"))
    at = good.find(struct.pack("<2I", len(perna), 0))
    assert at > 0, "the code holds no accepted size of BIN1's length"
    out.append(("accepted sizes emptied", good[:at] + bytes(4) + good[at + 4:], "accepted sizes is empty"))
    at = good.find(b".sizes\0\0")
    out.append(("no section of accepted sizes", good[:at] + b".sizez" + good[at + 6:], "no table of accepted sizes"))

    # Cut short inside the resource section.
    out.append(("file cut short", good[:len(good) // 2], "not a Windows executable"))
    # Not an executable at all.
    out.append(("not a PE file", b"hello" * 100, "not a Windows executable"))
    return out


def scrambled(good, count=150):
    """Copies with a few bytes changed in the headers or the resource directory: the inspector must
    answer each with 0 or 1, never crash or hang."""
    rng = random.Random(20150421)
    rsrc = good.find(b".rsrc\x00\x00\x00")
    raw = int.from_bytes(good[rsrc + 20:rsrc + 24], "little") if rsrc > 0 else 1024
    regions = [(0, 1024), (raw, raw + 512)]
    for _ in range(count):
        data = bytearray(good)
        for _ in range(rng.randint(1, 8)):
            lo, hi = rng.choice(regions)
            data[rng.randrange(lo, min(hi, len(data)))] = rng.randrange(256)
        yield bytes(data)


def run(szdd, path):
    proc = subprocess.run([szdd, "inspect", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")


def main():
    szdd, exe = sys.argv[1], sys.argv[2]
    good = open(exe, "rb").read()
    perna = open(sys.argv[3], "rb").read()
    failures = 0
    code, out, err = run(szdd, exe)
    if code != 0 or not out.rstrip().endswith("ok"):
        print("FAIL the shipped executable does not pass: %s %s" % (out, err))
        failures += 1
    else:
        print("ok   the shipped executable passes")
    times = [(int(y), int(mo), 0, int(d), int(h), int(mi), int(s), 0)
             for y, mo, d, h, mi, s in re.findall(r"time (\d+)-(\d+)-(\d+) (\d+):(\d+):(\d+) local: ok", out)]
    with tempfile.TemporaryDirectory() as tmp:
        for what, data, fragment in damages(good, perna, times):
            path = os.path.join(tmp, "damaged.exe")
            with open(path, "wb") as f:
                f.write(data)
            code, out, err = run(szdd, path)
            if code != 1 or fragment not in err:
                print("FAIL %s: exit %d, stderr %r" % (what, code, err))
                failures += 1
            else:
                print("ok   %s: found" % what)
        crashes = 0
        for data in scrambled(good):
            path = os.path.join(tmp, "scrambled.exe")
            with open(path, "wb") as f:
                f.write(data)
            try:
                code = subprocess.run([szdd, "inspect", path], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                      timeout=20).returncode
            except subprocess.TimeoutExpired:
                code = "timeout"
            if code not in (0, 1):
                crashes += 1
                if crashes <= 3:
                    keep = os.path.join(os.getcwd(), "inspect-crash-%d.exe" % crashes)
                    with open(keep, "wb") as f:
                        f.write(data)
                    print("FAIL scrambled headers: status %s (kept as %s)" % (code, keep))
        if crashes:
            failures += 1
        else:
            print("ok   150 copies with scrambled headers and resource directory: no crash")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
