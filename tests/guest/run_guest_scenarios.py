#!/usr/bin/env python3
"""Runs in the test guest (scripts/guest.sh run): the shipping executable itself under 32-bit Wine.

1. Every scenario the Wine stage runs, on build/win32/PernaUpdate.exe in a 32-bit prefix with the i686
   driver, checked and held to the Linux stand-in exactly as the Wine stage holds the x86-64 build.
   With --jobs N, N 32-bit prefixes run at once (tests/wine/parallel.py), each with its own wineserver,
   registry and drive C; 2 and 3 are tasks among the scenarios.
2. Where LZ32 comes from: a lz32.dll planted beside the updater is never loaded; nor are the DLLs the
   system loads for it on demand, planted beside it; the fallbacks for systems without the DLL search
   flags hold; the field check, as it ships, passes on it (stopping and killing it halfway is the Wine
   stage's: the same source, and a killed check costs a restart of the prefix's Wine).
3. The scenarios for the 64-bit registry views ("backends": ["wow64"]): the same executable in a 64-bit
   prefix, the registry written through the view the scenario names.
Prints how long each part took; exit status 1 if anything failed or differed."""

import argparse
import glob
import hashlib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scenarios"))
sys.path.insert(0, os.path.join(HERE, "..", "wine"))
import scenario as sc  # noqa: E402
from platform_checks import check_lz32_binding, check_old_system_fallbacks, check_planted_dlls, report  # noqa: E402
from run_wine_scenarios import run_cases, scenario_task, skip_reason  # noqa: E402
from backend import WineBackend, WineSession  # noqa: E402
import parallel  # noqa: E402
from platform_checks import check_field_check  # noqa: E402

WINE32 = "/usr/lib/wine/wine"
WINE64 = "/usr/lib/wine/wine64"


class GuestBackend(WineBackend):
    """The Wine backend under another name, with the patience that emulation needs."""

    def __init__(self, session, updater, driver, name, payloads):
        super().__init__(session, updater, driver, timeout=300, payloads=payloads)
        self.name = name


def only_wow64(scenario, backend_name):
    """Why the 64-bit prefix does not run the scenario; None when the scenario names it."""
    return None if backend_name in (scenario["backends"] or ()) else "not a WoW64 scenario"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Prefixes:
    """One worker's sessions: its own 32-bit prefix, started when its first task needs it, and the
    64-bit prefix for the task that needs that; both stopped, drive C emptied, when the worker is done."""

    def __init__(self, prefix32, prefix64, display32, display64, args, payloads):
        self.prefix32, self.prefix64 = prefix32, prefix64
        self.displays = {"win32": display32, "win64": display64}
        self.args = args
        self.payloads = payloads
        self.sessions = {}

    def session(self, arch):
        """(session, backend) of the prefix of that arch, started on first use."""
        if arch not in self.sessions:
            prefix, wine, name = ((self.prefix32, WINE32, "wine") if arch == "win32" else
                                  (self.prefix64, WINE64, "wow64"))
            session = WineSession(prefix, self.displays[arch], stray_names=sc.STRAY_NAMES, wine=wine, arch=arch,
                                  serve_driver=True)
            self.sessions[arch] = (session, None)
            session.start(needed=[self.args.updater, self.args.driver])
            self.sessions[arch] = (session, GuestBackend(session, self.args.updater, self.args.driver, name,
                                                         self.payloads))
        return self.sessions[arch]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for session, _backend in self.sessions.values():
            try:
                session.reset_drive_c()
            finally:
                session.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--updater", required=True, help="build/win32/PernaUpdate.exe")
    parser.add_argument("--driver", required=True, help="build/win32/demo/wine_driver.exe")
    parser.add_argument("--perna", required=True, help="the payload PERNA.EXE the executable carries")
    parser.add_argument("--kalendo", required=True, help="the payload KALENDO.INI the executable carries")
    parser.add_argument("--stand-in", required=True, help="build/native/PernaUpdate")
    parser.add_argument("--stand-in-perna", required=True, help="the stand-in's PERNA.EXE")
    parser.add_argument("--stand-in-kalendo", required=True, help="the stand-in's KALENDO.INI")
    parser.add_argument("--bin1", required=True, help="the stand-in's BIN1 container")
    parser.add_argument("--bin2", required=True, help="the stand-in's BIN2 container")
    parser.add_argument("--fake-lz32", required=True, help="the i686 fake lz32.dll")
    parser.add_argument("--static-probe", required=True, help="the i686 program that imports LZ32 statically")
    parser.add_argument("--planted-dll", required=True, help="the i686 DLL that marks its loading")
    parser.add_argument("--load-probe", required=True, help="the i686 program that loads DLLs by plain name")
    parser.add_argument("--fallback-probe", required=True, help="the i686 program that runs the fallbacks")
    parser.add_argument("--field-check", required=True, help="build/win32/PernaFieldCheck.exe")
    parser.add_argument("--prefixes", default="/var/lib/guest-wine",
                        help="the folder of the two prefixes, prefix32 and prefix64 (the image's; made when absent)")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="32-bit prefixes that run scenarios at once (default: one per CPU); the first is "
                             "prefix32, the others copies of it")
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()

    cases = args.cases or sorted(glob.glob(os.path.join(HERE, "..", "scenarios", "cases", "*.json")))
    wow64_cases = [c for c in cases if only_wow64(sc.load(c), "wow64") is None]
    payloads = sc.Payloads(args.perna, args.kalendo, args.bin1, args.bin2)
    stand_in_payloads = sc.Payloads(args.stand_in_perna, args.stand_in_kalendo, args.bin1, args.bin2)
    stand_in = sc.StandinBackend(os.path.abspath(args.stand_in))
    success = os.path.join(HERE, "..", "scenarios", "cases", "success.json")
    print("updater: %s, sha256 %s" % (args.updater, sha256(args.updater)))

    def scenario(path):
        def run(prefixes):
            session, backend = prefixes.session("win32")
            return run_cases([path], backend, skip_reason, stand_in, payloads, stand_in_payloads)
        return scenario_task(path, run, seconds_a_run=3)

    def platform_checks(prefixes):
        session, backend = prefixes.session("win32")
        failed = report("lz32 binding", check_lz32_binding(session, backend, args.updater, args.fake_lz32,
                                                           args.static_probe, payloads, success))
        failed += report("planted DLLs", check_planted_dlls(session, backend, args.updater, args.planted_dll,
                                                           args.load_probe, payloads, success))
        failed += report("old system", check_old_system_fallbacks(session, args.fallback_probe, args.fake_lz32))
        failed += report("field check", check_field_check(session, args.field_check, args.updater,
                                                             interrupted=False))
        session.reset_drive_c()
        return 4, failed

    def wow64(prefixes):
        session, backend = prefixes.session("win64")
        mark = time.time()
        ran, failed = run_cases(wow64_cases, backend, only_wow64, None, payloads, stand_in_payloads)
        print("time: %d scenarios in the 64-bit prefix: %.0f s" % (ran, time.time() - mark))
        return ran, failed

    # The longest tasks first: the platform checks and the 64-bit prefix (which has to start its own
    # wineserver) take about as long as a run lock's wait.
    tasks = [parallel.Task("LZ32, planted DLLs and the older systems' fallbacks", platform_checks, weight=40)]
    if wow64_cases:
        tasks.append(parallel.Task("the 64-bit prefix's scenarios", wow64, weight=30 + 5 * len(wow64_cases)))
    tasks += [scenario(path) for path in cases]

    started = time.time()
    os.makedirs(args.prefixes, mode=0o755, exist_ok=True)
    jobs = max(1, args.jobs)
    prefix32 = os.path.join(args.prefixes, "prefix32")
    if not os.path.isdir(os.path.join(prefix32, "drive_c")):
        # No made prefix to copy (outside the image): the first session makes it, the others copy that.
        with Prefixes(prefix32, None, parallel.free_displays(1)[0], None, args, payloads) as first:
            first.session("win32")
    prefixes32 = [prefix32] + [prefix32 + "-%d" % (k + 1) for k in range(1, jobs)]
    for copy in prefixes32[1:]:
        parallel.clone_prefix(prefix32, copy)
    print("time: %d 32-bit prefixes ready (%d copied): %.0f s" % (jobs, jobs - 1, time.time() - started))
    displays = parallel.free_displays(2 * jobs)
    prefix64 = os.path.join(args.prefixes, "prefix64")

    def worker(k):
        return Prefixes(prefixes32[k], prefix64, displays[2 * k], displays[2 * k + 1], args, payloads)

    mark = time.time()
    ran, failed, busy = parallel.run_tasks(tasks, jobs, worker)
    print("time: %d checks in %d prefixes at once: %.0f s (each prefix busy %s s)"
          % (ran, jobs, time.time() - mark, ", ".join("%.0f" % b for b in busy)))
    print("%d checks on the shipping executable under 32-bit Wine, %d failed (%.0f s)"
          % (ran, failed, time.time() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
