#!/usr/bin/env python3
"""The updater end to end under Wine on a sample installation: an old PERNA.EXE and KALENDO.INI in
C:\\Karyom, the product's registry entry, the user answering OK. Prints every box as text and what
happened to each file; with --shots, saves the first and the last box as PNG screenshots.
Exit status 0 when both files were replaced by the payloads, 1 otherwise."""

import argparse
import calendar
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from wine_session import WineSession, free_display, windows_path_of_host  # noqa: E402

# Where the updater finds the product's folder.
APP_PATHS_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\KaryomWin.exe"
INSTALL_DIR = "Karyom"
STAGE_DIR = "TEMP"
OLD_INI = "[2010]\r\n1=旧休日0101\r\n".encode("cp932")
BUTTONS = {0: "OK", 1: "OK / キャンセル"}
ICONS = {0x10: "error", 0x20: "question", 0x30: "warning", 0x40: "information"}
ANSWERS = {1: "OK", 2: "キャンセル"}


def describe(style):
    """The box's buttons and icon in words."""
    return "%s, %s icon" % (BUTTONS.get(style & 0xF, "buttons %d" % (style & 0xF)), ICONS.get(style & 0xF0, "no"))


def write_file(path, data, utc):
    """Writes data to path, last written at the UTC time given as (year, month, day)."""
    with open(path, "wb") as f:
        f.write(data)
    stamp = calendar.timegm(utc + (0, 0, 0))
    os.utime(path, (stamp, stamp))


def install_sample(drive_c, workdir, perna_size):
    """An installed product on drive C: an older tool of the payload's size, an old day-off file, the
    stage directory; and its registry entry as a REGEDIT4 file in workdir, whose path it returns."""
    folder = os.path.join(drive_c, INSTALL_DIR)
    os.makedirs(folder)
    os.makedirs(os.path.join(drive_c, STAGE_DIR))
    old_tool = (b"OLD PERNA BUILD " * (perna_size // 16 + 1))[:perna_size]
    write_file(os.path.join(folder, "PERNA.EXE"), old_tool, (2014, 1, 1))
    write_file(os.path.join(folder, "KALENDO.INI"), OLD_INI, (2014, 3, 1))
    registry = os.path.join(workdir, "registry.reg")
    text = 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n"Path"="C:\\\\%s"\r\n' % (APP_PATHS_KEY, INSTALL_DIR)
    with open(registry, "wb") as f:
        f.write(text.encode("cp932"))
    return registry


def file_state(path):
    """(bytes, last-write time as local text) of a file."""
    with open(path, "rb") as f:
        data = f.read()
    return data, time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.stat(path).st_mtime))


class Shooter(threading.Thread):
    """Takes a screenshot of each box as the driver announces it."""

    def __init__(self, folder, display):
        super().__init__(daemon=True)
        self.folder, self.display = folder, display
        self.shots = {}
        self.done = False

    def run(self):
        while not self.done:
            for n in range(1, 10):
                marker = os.path.join(self.folder, "box-%d.shown" % n)
                if n in self.shots or not os.path.exists(marker):
                    continue
                time.sleep(0.4)   # painted by now
                left, top, right, bottom = map(int, open(marker).read().split())
                out = os.path.join(self.folder, "box-%d.png" % n)
                subprocess.run(["import", "-display", self.display, "-window", "root",
                                "-crop", "%dx%d+%d+%d" % (right - left, bottom - top, left, top), "+repage", out],
                               check=False)
                self.shots[n] = out
            time.sleep(0.1)


def run_demo(session, args, workdir):
    """Runs the updater on the sample installation and prints what it did; the list of surprises."""
    payloads = {"PERNA.EXE": file_state(args.perna)[0], "KALENDO.INI": file_state(args.kalendo)[0]}
    registry = install_sample(session.drive_c(), workdir, len(payloads["PERNA.EXE"]))
    folder = os.path.join(session.drive_c(), INSTALL_DIR)
    before = {name: file_state(os.path.join(folder, name)) for name in payloads}

    options = []
    shooter = None
    if args.shots:
        shot_dir = os.path.join(workdir, "shots")
        os.makedirs(shot_dir)
        shooter = Shooter(shot_dir, session.display)
        shooter.start()
        options = ["--shots", windows_path_of_host(shot_dir), "--pause-ms", "2000"]
    try:
        status, boxes = session.drive(args.driver, args.updater, workdir, {"TMP": "C:\\" + STAGE_DIR}, ["ok"],
                                      clear_keys=[APP_PATHS_KEY], registry=registry, options=options)
    finally:
        if shooter:
            shooter.done = True
            shooter.join()

    print("PernaUpdate.exe ran under Wine (exit status %d) and showed:" % status)
    for n, box in enumerate(boxes, 1):
        print("  [%d] %s — %s" % (n, box["caption"], describe(box["style"])))
        for line in box["text"].split("\n"):
            print("        %s" % line)
        print("      answered %s" % ANSWERS.get(box["answer"], box["answer"]))
    print("Files in C:\\%s:" % INSTALL_DIR)
    surprises = [] if status == 0 else ["exit status %d" % status]
    for name, payload in payloads.items():
        data, stamp = before[name]
        after, after_stamp = file_state(os.path.join(folder, name))
        print("  %-12s %s: %d bytes, %s  ->  %d bytes, %s" % (
            name, "replaced" if after != data else "unchanged", len(data), stamp, len(after), after_stamp))
        if after != payload:
            surprises.append("%s is not the payload" % name)

    if shooter and len(shooter.shots) >= 2:
        os.makedirs(args.shots, exist_ok=True)
        shutil.copy(shooter.shots[1], os.path.join(args.shots, "confirm-box.png"))
        shutil.copy(shooter.shots[max(shooter.shots)], os.path.join(args.shots, "final-box.png"))
        print("Screenshots: %s/confirm-box.png, %s/final-box.png" % (args.shots, args.shots))
    return surprises


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--prefix", required=True, help="the Wine prefix (created when absent)")
    parser.add_argument("--updater", required=True, help="build/win64/PernaUpdate.exe")
    parser.add_argument("--driver", required=True, help="build/win64/demo/wine_driver.exe")
    parser.add_argument("--perna", required=True, help="the PERNA.EXE the updater carries")
    parser.add_argument("--kalendo", required=True, help="the KALENDO.INI the updater carries")
    parser.add_argument("--shots", help="folder for confirm-box.png and final-box.png")
    args = parser.parse_args()

    workdir = tempfile.mkdtemp(prefix="updater-demo-")
    try:
        # Run as root, Wine runs as nobody, who may not enter the checkout (one under /root, say): the
        # programs run from the run's own folder, and the prefix moves to the temporary folder if it must.
        args.updater, args.driver = shutil.copy(args.updater, workdir), shutil.copy(args.driver, workdir)
        session = WineSession(args.prefix, free_display())
        if not session.reachable(session.prefix):
            session = WineSession(os.path.join(tempfile.gettempdir(), "updater-demo-prefix"), session.display)
            print("(the checkout is out of reach of Wine's user: the Wine prefix is %s)" % session.prefix)
        session.start(needed=[workdir])
        try:
            session.reset_drive_c()
            surprises = run_demo(session, args, workdir)
        finally:
            session.reset_drive_c()
            session.stop()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    for surprise in surprises:
        print("UNEXPECTED " + surprise)
    return 1 if surprises else 0


if __name__ == "__main__":
    sys.exit(main())
