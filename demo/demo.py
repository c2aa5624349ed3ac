#!/usr/bin/env python3
"""The updater end to end under Wine on a sample installation: an old PERNA.EXE and KALENDO.INI in
C:\\Karyom, the product's registry entry, the user answering OK. Prints every box as text and what
happened to each file; with --shots, saves the first and the last box as PNG screenshots."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scenarios"))
sys.path.insert(0, HERE)
import scenario as sc  # noqa: E402
from wine_backend import WineBackend, WineSession, free_display, windows_path_of_host  # noqa: E402

SAMPLE = {
    "description": "a sample installation, updated",
    "files": {
        "C:\\Karyom\\PERNA.EXE": {"content": "old-tool", "time": "2014-01-01T00:00:00Z"},
        "C:\\Karyom\\KALENDO.INI": {"content": "old-ini", "time": "2014-03-01T00:00:00Z"},
    },
    "answers": ["ok"],
    "expect": {"transcript": ["MsgConfirm", "MsgToolUpdated"]},
}
BUTTONS = {0: "OK", 1: "OK / キャンセル"}
ICONS = {0x10: "error", 0x20: "question", 0x30: "warning", 0x40: "information"}


def describe(style):
    return "%s, %s icon" % (BUTTONS.get(style & 0xF, "buttons %d" % (style & 0xF)), ICONS.get(style & 0xF0, "no"))


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


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--updater", required=True)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--perna", required=True)
    parser.add_argument("--kalendo", required=True)
    parser.add_argument("--shots", help="folder for confirm-box.png and final-box.png")
    args = parser.parse_args()

    payloads = sc.Payloads(args.perna, args.kalendo)
    session = WineSession(args.prefix, free_display())
    backend = WineBackend(session, args.updater, args.driver)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "sample.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump(SAMPLE, f)
        scenario = sc.load(path)
        session.start(needed=[args.updater, args.driver])
        try:
            session.reset_drive_c()
            with sc.sandbox_dir() as sandbox:
                prepared = sc.prepare(scenario, backend, sandbox, payloads)
                options = []
                shooter = None
                if args.shots:
                    shot_dir = os.path.join(sandbox, "shots")
                    os.makedirs(shot_dir)
                    shooter = Shooter(shot_dir, session.display)
                    shooter.start()
                    options = ["--shots", windows_path_of_host(shot_dir), "--pause-ms", "2000"]
                result = backend.run(scenario, scenario["runs"][0], prepared, driver_options=options)
                if shooter:
                    shooter.done = True
                    shooter.join()

                print("PernaUpdate.exe ran under Wine (exit status %d) and showed:" % result.exit_code)
                for n, box in enumerate(result.transcript, 1):
                    print("  [%d] %s — %s" % (n, box["caption"], describe(box["style"])))
                    for line in box["text"].split("\n"):
                        print("        %s" % line)
                    print("      answered %s" % {1: "OK", 2: "キャンセル"}.get(box["answer"], box["answer"]))
                print("Files in C:\\Karyom:")
                for winpath, (data, mtime) in prepared.before.items():
                    host = backend.host_path(sandbox, winpath)
                    after = open(host, "rb").read()
                    print("  %-12s %s: %d bytes, %s  ->  %d bytes, %s" % (
                        os.path.basename(host), "replaced" if after != data else "unchanged", len(data),
                        time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(mtime / 1e9)), len(after),
                        time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(os.stat(host).st_mtime))))
                errors = sc.check(scenario, scenario["runs"][0], backend, prepared, result, payloads)
                for e in errors:
                    print("UNEXPECTED " + e)
                if shooter and len(shooter.shots) >= 2:
                    os.makedirs(args.shots, exist_ok=True)
                    shutil.copy(shooter.shots[1], os.path.join(args.shots, "confirm-box.png"))
                    shutil.copy(shooter.shots[max(shooter.shots)], os.path.join(args.shots, "final-box.png"))
                    print("Screenshots: %s/confirm-box.png, %s/final-box.png" % (args.shots, args.shots))
        finally:
            session.reset_drive_c()
            session.stop()
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
