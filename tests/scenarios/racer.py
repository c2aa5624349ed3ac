#!/usr/bin/env python3
"""The non-elevated user racing a run of the updater from the host: started just before the updater,
stopped (SIGTERM) after it, and ending by itself at --deadline in any case. Host processes ignore Windows
share modes, so nothing the updater holds open keeps it out.

--link NAME TARGET START: puts a symbolic link to TARGET at NAME, again and again (made under a name of
its own beside NAME, then moved over NAME in one rename, so that NAME never goes missing once planted).
START "at-once" plants before the racer reports ready; "on-file" waits until something that is not its
link appears at NAME (the updater's own file) and takes over from then on.

--swap NAME FOREIGN AWAY WHEN READ: whenever a file that is not its own sits at NAME (and, when WHEN is
not "-", carries that last-write time in 100-ns units since 1970; and, when READ is "read", has been read
since it last changed: its access time is later than its change time), renames it into the folder AWAY
and puts a copy of FOREIGN in its place: the updater's file is swapped for foreign bytes under its name,
at the moment its bytes are being checked.

--move NAME AWAY TARGET WHEN WHEN_TIME: once something is at WHEN (carrying that last-write time, unless
WHEN_TIME is "-"), renames the folder NAME to AWAY and puts a symbolic link to TARGET at NAME: the folder a
run has opened is moved away and its path leads elsewhere.

On its way out it removes what it planted that is still in place, and prints what it did. --ready FILE
is created once the at-once links are in place."""

import argparse
import os
import shutil
import signal
import sys
import time


class LinkPlanter:
    def __init__(self, name, target, start):
        self.name = name
        self.target = target
        self.started = start == "at-once"
        self.own = None         # (device, inode) of the link last planted
        self.plants = 0

    def plant(self):
        spare = self.name + ".racer-link"
        try:
            os.unlink(spare)
        except FileNotFoundError:
            pass
        os.symlink(self.target, spare)
        st = os.lstat(spare)
        os.replace(spare, self.name)
        self.own = (st.st_dev, st.st_ino)
        self.plants += 1

    def step(self):
        if not self.started:
            try:
                st = os.lstat(self.name)
            except FileNotFoundError:
                return
            if (st.st_dev, st.st_ino) == self.own:
                return
            self.started = True
        self.plant()

    def tidy(self):
        try:
            st = os.lstat(self.name)
            if (st.st_dev, st.st_ino) == self.own:
                os.unlink(self.name)
        except FileNotFoundError:
            pass
        for spare in (self.name + ".racer-link",):
            if os.path.lexists(spare):
                os.unlink(spare)

    def report(self):
        return "racer: %d links planted at %s" % (self.plants, self.name)


class Swapper:
    def __init__(self, name, foreign, away, when, read):
        self.name = name
        self.foreign = foreign
        self.away = away
        self.when = None if when == "-" else int(when)
        self.read = read == "read"
        self.own = set()        # (device, inode) of the foreign files it put there
        self.swaps = 0
        os.makedirs(away, exist_ok=True)

    def step(self):
        try:
            st = os.lstat(self.name)
        except FileNotFoundError:
            return
        if (st.st_dev, st.st_ino) in self.own:
            return
        if self.when is not None and st.st_mtime_ns // 100 != self.when:
            return
        if self.read and st.st_atime_ns <= st.st_ctime_ns:
            return
        try:
            os.rename(self.name, os.path.join(self.away, "taken-%d" % (self.swaps + 1)))
        except FileNotFoundError:
            return      # it went before we could take it
        spare = self.name + ".racer-file"
        shutil.copyfile(self.foreign, spare)
        put = os.lstat(spare)
        os.replace(spare, self.name)
        self.own.add((put.st_dev, put.st_ino))
        self.swaps += 1

    def tidy(self):
        try:
            st = os.lstat(self.name)
            if (st.st_dev, st.st_ino) in self.own:
                os.unlink(self.name)
        except FileNotFoundError:
            pass

    def report(self):
        return "racer: %d files swapped at %s" % (self.swaps, self.name)


class Mover:
    def __init__(self, name, away, target, when, when_time):
        self.name = name
        self.away = away
        self.target = target
        self.when = when
        self.when_time = None if when_time == "-" else int(when_time)
        self.moved = False

    def step(self):
        if self.moved:
            return
        try:
            st = os.lstat(self.when)
        except FileNotFoundError:
            return
        if self.when_time is not None and st.st_mtime_ns // 100 != self.when_time:
            return
        os.rename(self.name, self.away)
        os.symlink(self.target, self.name)
        self.moved = True

    def tidy(self):
        if self.moved and os.path.islink(self.name):
            os.unlink(self.name)

    def report(self):
        return "racer: %s %s" % (self.name, "moved away and linked" if self.moved else "never moved")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--deadline", type=float, required=True, help="seconds after which it ends by itself")
    parser.add_argument("--link", nargs=3, action="append", default=[], metavar=("NAME", "TARGET", "START"))
    parser.add_argument("--swap", nargs=5, action="append", default=[],
                        metavar=("NAME", "FOREIGN", "AWAY", "WHEN", "READ"))
    parser.add_argument("--move", nargs=5, action="append", default=[],
                        metavar=("NAME", "AWAY", "TARGET", "WHEN", "WHEN_TIME"))
    parser.add_argument("--ready", help="created once the racer is in place")
    args = parser.parse_args()

    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(1))
    signal.signal(signal.SIGINT, lambda *_: stopping.append(1))
    racers = [LinkPlanter(*a) for a in args.link] + [Swapper(*a) for a in args.swap] + [Mover(*a) for a in args.move]
    for r in racers:
        if isinstance(r, LinkPlanter) and r.started:
            r.plant()
    if args.ready:
        open(args.ready, "w").close()
    # The swapper polls without pause (the window it aims at is short); link planting alone can breathe.
    pause = 0 if any(isinstance(r, (Swapper, Mover)) for r in racers) else 0.0002
    end = time.monotonic() + args.deadline
    try:
        while not stopping and time.monotonic() < end:
            for r in racers:
                r.step()
            if pause:
                time.sleep(pause)
    finally:
        for r in racers:
            r.tidy()
    for r in racers:
        print(r.report())
    return 0


if __name__ == "__main__":
    sys.exit(main())
