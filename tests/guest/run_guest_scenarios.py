#!/usr/bin/env python3
"""Runs in the test guest (scripts/guest.sh run): the shipping executable itself under 32-bit Wine.

1. Every scenario the Wine stage runs, on build/win32/PernaUpdate.exe in a 32-bit prefix with the i686
   driver, checked and held to the Linux stand-in exactly as the Wine stage holds the x86-64 build.
2. Where LZ32 comes from: a lz32.dll planted beside the updater is never loaded; nor are the DLLs the
   system loads for it on demand, planted beside it; the fallbacks for systems without the DLL search
   flags hold; the field check, as it ships, passes on it.
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
from platform_checks import check_field_check  # noqa: E402
from run_wine_scenarios import run_cases, skip_reason  # noqa: E402
from backend import WineBackend, WineSession, free_display  # noqa: E402

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


def field_check(session, args, timings):
    """The field check, i686 as it ships, on the shipping executable in the 32-bit prefix; 1 if it failed."""
    mark = time.time()
    bad = report("field check", check_field_check(session, args.field_check, args.updater))
    timings.append(("the field check", time.time() - mark))
    return bad


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


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
    parser.add_argument("cases", nargs="*")
    args = parser.parse_args()

    cases = args.cases or sorted(glob.glob(os.path.join(HERE, "..", "scenarios", "cases", "*.json")))
    wow64_cases = [c for c in cases if only_wow64(sc.load(c), "wow64") is None]
    payloads = sc.Payloads(args.perna, args.kalendo, args.bin1, args.bin2)
    stand_in_payloads = sc.Payloads(args.stand_in_perna, args.stand_in_kalendo, args.bin1, args.bin2)
    stand_in = sc.StandinBackend(os.path.abspath(args.stand_in))
    print("updater: %s, sha256 %s" % (args.updater, sha256(args.updater)))

    os.makedirs(args.prefixes, mode=0o755, exist_ok=True)
    failed = ran = 0
    timings = []
    started = time.time()
    session = WineSession(os.path.join(args.prefixes, "prefix32"), free_display(), stray_names=sc.STRAY_NAMES,
                          wine=WINE32, arch="win32")
    session.start(needed=[args.updater, args.driver])
    timings.append(("32-bit prefix", time.time() - started))
    try:
        mark = time.time()
        backend = GuestBackend(session, args.updater, args.driver, "wine", payloads)
        n, bad = run_cases(cases, backend, skip_reason, stand_in, payloads, stand_in_payloads)
        ran, failed = ran + n, failed + bad
        timings.append(("%d scenarios in the 32-bit prefix" % n, time.time() - mark))
        mark = time.time()
        success = os.path.join(HERE, "..", "scenarios", "cases", "success.json")
        failed += report("lz32 binding", check_lz32_binding(session, backend, args.updater, args.fake_lz32,
                                                            args.static_probe, payloads, success))
        ran += 1
        timings.append(("lz32 binding", time.time() - mark))
        mark = time.time()
        failed += report("planted DLLs", check_planted_dlls(session, backend, args.updater, args.planted_dll,
                                                            args.load_probe, payloads, success))
        failed += report("old system", check_old_system_fallbacks(session, args.fallback_probe, args.fake_lz32))
        ran += 2
        timings.append(("planted DLLs and the older systems' fallbacks", time.time() - mark))
        failed += field_check(session, args, timings)
        ran += 1
    finally:
        session.reset_drive_c()
        session.stop()

    if wow64_cases:
        mark = time.time()
        session = WineSession(os.path.join(args.prefixes, "prefix64"), free_display(), stray_names=sc.STRAY_NAMES,
                              wine=WINE64, arch="win64")
        session.start(needed=[args.updater, args.driver])
        timings.append(("64-bit prefix", time.time() - mark))
        try:
            mark = time.time()
            backend = GuestBackend(session, args.updater, args.driver, "wow64", payloads)
            n, bad = run_cases(wow64_cases, backend, only_wow64, None, payloads, stand_in_payloads)
            ran, failed = ran + n, failed + bad
            timings.append(("%d scenarios in the 64-bit prefix" % n, time.time() - mark))
        finally:
            session.reset_drive_c()
            session.stop()

    for what, seconds in timings:
        print("time: %s: %.0f s" % (what, seconds))
    print("%d checks on the shipping executable under 32-bit Wine, %d failed (%.0f s)"
          % (ran, failed, time.time() - started))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
