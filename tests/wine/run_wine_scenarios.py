#!/usr/bin/env python3
"""Runs the scenario files under Wine and on the Linux stand-in, checks each against its expectations,
and holds the two to each other: the same boxes (caption, text, style, answer) and the same files
(bytes and last-write time) after every run. Exit status 1 if anything failed or differed."""

import argparse
import concurrent.futures
import glob
import hashlib
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scenarios"))
sys.path.insert(0, HERE)
import scenario as sc  # noqa: E402
from platform_checks import (check_field_check, check_lz32_binding, check_old_system_fallbacks,  # noqa: E402
                             check_planted_dlls, report)
from backend import WineBackend, WineSession, free_display  # noqa: E402
import parallel  # noqa: E402


def file_state(host):
    if os.path.islink(host):
        return "link", os.readlink(host)
    if not os.path.isfile(host):
        return None
    with open(host, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:16]
    return digest, os.stat(host).st_mtime_ns // sc.TICK_NS


def snapshot(scenario, backend, sandbox):
    """Every file the scenario can have touched: Windows path (upper case) -> (digest, time) or None."""
    paths = set(scenario["files"])
    for run in scenario["runs"]:
        paths.update(run["expect"]["files"])
    state = {p.upper(): file_state(backend.host_path(sandbox, p)) for p in paths}
    for d in scenario["dirs"]:
        if d.rstrip("\\").upper() == "C:\\WINDOWS":
            continue   # the real one under Wine: only the named files count there
        root = backend.host_path(sandbox, d)
        for dirpath, _dirs, files in os.walk(root):
            for name in files:
                rel = os.path.relpath(os.path.join(dirpath, name), root).replace("/", "\\")
                winpath = (d.rstrip("\\") + "\\" + rel).upper()
                state[winpath] = file_state(os.path.join(dirpath, name))
    return state


def run_on(backend, scenario, payloads, before_each=None):
    """Runs every run of the scenario on one backend: [(errors, transcript, snapshot)] per run."""
    outcomes = []
    with sc.sandbox_dir() as sandbox:
        if before_each:
            before_each()
        prepared = sc.prepare(scenario, backend, sandbox, payloads)
        try:
            for run in scenario["runs"]:
                result = backend.run(scenario, run, prepared)
                errors = sc.check(scenario, run, backend, prepared, result, payloads)
                # Updaters started together are compared as a set: which of them came first is chance.
                shown = sorted(json.dumps(r.transcript, sort_keys=True) for r in [result] + result.others)
                outcomes.append((errors, shown, snapshot(scenario, backend, sandbox)))
        finally:
            sc.release(prepared)
    return outcomes


def differences(wine, stand_in):
    found = []
    for index, (w, s) in enumerate(zip(wine, stand_in)):
        label = "run %d: " % (index + 1) if len(wine) > 1 else ""
        if w[1] != s[1]:
            found.append(label + "boxes differ: wine %s / stand-in %s" % (w[1], s[1]))
        for path in sorted(set(w[2]) | set(s[2])):
            if w[2].get(path) != s[2].get(path):
                found.append(label + "%s differs: wine %s / stand-in %s" % (path, w[2].get(path), s[2].get(path)))
    return found


def skip_reason(scenario, backend_name="wine"):
    """Why a Wine backend does not run the scenario; None when it does."""
    if any(run.get("fault") for run in scenario["runs"]):
        return "an injected fault: stand-in only"
    if not sc.runs_on(scenario, backend_name):
        return "%s only" % " and ".join(scenario["backends"])
    return None


def run_cases(cases, backend, skip, stand_in, payloads, stand_in_payloads):
    """Runs each scenario file that skip(scenario, backend.name) lets through on the backend, checks it,
    and holds it to the stand-in where the stand-in runs it too; one line each. (ran, failed)."""
    failed = ran = 0
    for path in cases:
        scenario = sc.load(path)
        reason = skip(scenario, backend.name)
        if reason:
            print("skip %s (%s)" % (scenario["name"], reason))
            continue
        ran += 1
        problems = []
        compared = stand_in and sc.runs_on(scenario, stand_in.name)
        # The stand-in's side runs meanwhile, in a sandbox of its own: its waits (a held run lock, a held file)
        # then pass while Wine's do.
        with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
            stand_in_side = pool.submit(run_on, stand_in, scenario, stand_in_payloads) if compared else None
            try:
                outcome = run_on(backend, scenario, payloads, backend.session.reset_drive_c)
            except Exception as e:  # a driver failure is this scenario's failure, not the session's
                print("FAIL %s: %s" % (scenario["name"], e))
                failed += 1
                continue
            stand_in_outcome = stand_in_side.result() if compared else None
        for errors, _t, _s in outcome:
            problems += ["%s: %s" % (backend.name, e) for e in errors]
        if compared:
            problems += ["stand-in: " + e for errs, _t, _s in stand_in_outcome for e in errs]
            problems += ["differ: " + d for d in differences(outcome, stand_in_outcome)]
        if problems:
            failed += 1
            print("FAIL %s: %s" % (scenario["name"], scenario["description"]))
            for p in problems:
                print("     " + p)
        else:
            print("ok   %s%s" % (scenario["name"], " (same on the stand-in)" if compared else ""))
        sys.stdout.flush()
    return ran, failed


def scenario_task(path, run, seconds_a_run=1):
    """The scenario file as a task for parallel.run_tasks, run(worker) doing it. Its weight is roughly how
    long it takes: a run that meets the run lock waits out its 30-second bound, any other run takes
    seconds_a_run. A scenario that holds a run to a bound under a minute runs alone, as other runs' load
    could take its margin; a longer bound (a held run lock's 30-second wait, within 75) leaves room for it."""
    runs = sc.load(path)["runs"]
    weight = sum(30 if r["run_lock"] in ("held", "squatted") else seconds_a_run for r in runs)
    tight = any(r["expect"].get("within_seconds", 60) < 60 for r in runs)
    return parallel.Task(os.path.basename(path), run, weight=weight, alone=tight)


class Worker:
    """A worker's own prefix, its session started on its first task and stopped after its last."""

    def __init__(self, prefix, display, args, payloads):
        self.session = WineSession(prefix, display, stray_names=sc.STRAY_NAMES, serve_driver=True)
        self.backend = WineBackend(self.session, args.updater, args.driver, payloads=payloads)
        self.needed = [args.updater, args.driver]
        self.started = False

    def start(self):
        if not self.started:
            self.started = True
            self.session.start(needed=self.needed)
        return self.session, self.backend

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.started:
            try:
                self.session.reset_drive_c()
            finally:
                self.session.stop()


def platform_checks(args, session, wine, payloads, success):
    """The checks the options ask for beside the scenarios: where LZ32 is loaded from, DLLs planted beside the
    updater, the older systems' fallbacks, the field check. (ran, failed)."""
    ran = failed = 0
    if args.fake_lz32:
        ran += 1
        failed += report("lz32 binding", check_lz32_binding(session, wine, args.updater, args.fake_lz32,
                                                            args.static_probe, payloads, success))
    if args.planted_dll:
        ran += 1
        failed += report("planted DLLs", check_planted_dlls(session, wine, args.updater, args.planted_dll,
                                                            args.load_probe, payloads, success))
    if args.fallback_probe:
        ran += 1
        failed += report("old system", check_old_system_fallbacks(session, args.fallback_probe, args.fake_lz32))
    if args.field_check:
        ran += 1
        failed += report("field check", check_field_check(session, args.field_check, args.updater,
                                                          interrupted=not args.field_check_only))
    return ran, failed


def run_at_once(args, cases, stand_in, payloads, stand_in_payloads):
    """The scenarios and the platform checks in args.jobs prefixes at once: --prefix and copies of it
    beside it (PREFIX-2, ...), made anew from it for each run. (ran, failed)."""
    success = os.path.join(HERE, "..", "scenarios", "cases", "success.json")

    def scenario(path):
        def run(worker):
            return run_cases([path], worker.start()[1], skip_reason, stand_in, payloads, stand_in_payloads)
        return scenario_task(path, run)

    def checks(worker):
        session, wine = worker.start()
        ran, failed = platform_checks(args, session, wine, payloads, success)
        session.reset_drive_c()
        return ran, failed

    tasks = [scenario(path) for path in cases]
    if args.fake_lz32 or args.planted_dll or args.fallback_probe or args.field_check:
        tasks.append(parallel.Task("the platform checks", checks, weight=10))
    # The first prefix is made (wineboot) or brought up to date once, then copied while nothing runs in it.
    with Worker(args.prefix, free_display(), args, payloads) as first:
        first.start()
    prefixes = [args.prefix] + ["%s-%d" % (os.path.abspath(args.prefix), k) for k in range(2, args.jobs + 1)]
    for copy in prefixes[1:]:
        parallel.clone_prefix(os.path.abspath(args.prefix), copy)
    displays = parallel.free_displays(args.jobs)
    ran, failed, busy = parallel.run_tasks(
        tasks, args.jobs, lambda k: Worker(prefixes[k], displays[k], args, payloads))
    print("%d prefixes at once, each busy %s s" % (args.jobs, ", ".join("%.0f" % b for b in busy)))
    return ran, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--prefix", required=True, help="the Wine prefix (created when absent)")
    parser.add_argument("--updater", required=True, help="build/win64/PernaUpdate.exe")
    parser.add_argument("--driver", required=True, help="build/win64/demo/wine_driver.exe")
    parser.add_argument("--perna", required=True, help="the payload PERNA.EXE the Windows build carries")
    parser.add_argument("--kalendo", required=True, help="the payload KALENDO.INI the Windows build carries")
    parser.add_argument("--stand-in", help="build/native/PernaUpdate; without it, no comparison")
    parser.add_argument("--stand-in-perna", help="the stand-in's PERNA.EXE (default: --perna)")
    parser.add_argument("--stand-in-kalendo", help="the stand-in's KALENDO.INI (default: --kalendo)")
    parser.add_argument("--bin1", help="the stand-in's BIN1 container, for its resource overrides")
    parser.add_argument("--bin2", help="the stand-in's BIN2 container")
    parser.add_argument("--fake-lz32", help="the fake lz32.dll: also check where LZ32 is loaded from")
    parser.add_argument("--static-probe", help="the program that imports LZ32 statically (the control)")
    parser.add_argument("--planted-dll", help="the DLL that marks its loading: also plant it beside the updater")
    parser.add_argument("--load-probe", help="the program that loads DLLs by plain name (that check's control)")
    parser.add_argument("--fallback-probe", help="the platform's fallbacks for older systems, run (needs --fake-lz32)")
    parser.add_argument("--field-check", help="the field check (PernaFieldCheck.exe): also run it on the updater")
    parser.add_argument("--field-check-only", action="store_true",
                        help="no scenarios: only the field check, once in full (neither stopped nor killed)")
    parser.add_argument("--display", default=None, help="the X display for Xvfb (default: a free one)")
    parser.add_argument("--keep-session", action="store_true", help="leave the wineserver and Xvfb running")
    parser.add_argument("--jobs", type=int, default=1,
                        help="prefixes that run scenarios at once (default 1): --prefix and copies of it beside it")
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()

    cases = args.cases or sorted(glob.glob(os.path.join(HERE, "..", "scenarios", "cases", "*.json")))
    if args.field_check_only:
        if not args.field_check or args.cases or args.jobs > 1:
            parser.error("--field-check-only needs --field-check, and takes no scenarios and one prefix")
        cases = []
    # The containers only feed the stand-in's resource files; under Wine the executable is patched.
    payloads = sc.Payloads(args.perna, args.kalendo, args.bin1, args.bin2)
    stand_in_payloads = sc.Payloads(args.stand_in_perna or args.perna, args.stand_in_kalendo or args.kalendo,
                                    args.bin1, args.bin2)
    session = WineSession(args.prefix, args.display or free_display(), stray_names=sc.STRAY_NAMES, serve_driver=True)
    wine = WineBackend(session, args.updater, args.driver, payloads=payloads)
    stand_in = sc.StandinBackend(os.path.abspath(args.stand_in)) if args.stand_in else None

    failed = ran = 0
    started = time.time()
    if args.jobs > 1:
        if args.keep_session or args.display:
            parser.error("--keep-session and --display are for one prefix (--jobs 1)")
        ran, failed = run_at_once(args, cases, stand_in, payloads, stand_in_payloads)
        print("%d scenarios under Wine, %d failed (%.0f s)" % (ran, failed, time.time() - started))
        return 1 if failed else 0
    session.start(needed=[args.updater, args.driver])
    try:
        ran, failed = run_cases(cases, wine, skip_reason, stand_in, payloads, stand_in_payloads)
        success = os.path.join(HERE, "..", "scenarios", "cases", "success.json")
        checked, check_failed = platform_checks(args, session, wine, payloads, success)
        ran += checked
        failed += check_failed
    finally:
        session.reset_drive_c()
        if not args.keep_session:
            session.stop()
    print("%d scenarios under Wine, %d failed (%.0f s)" % (ran, failed, time.time() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
