#!/usr/bin/env python3
"""Runs scenario files on the Linux stand-in and reports each one's failures; exit status 1 if any failed."""

import argparse
import glob
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario as sc  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--binary", required=True, help="the stand-in build of PernaUpdate")
    parser.add_argument("--perna", required=True, help="the tool payload file (PERNA.EXE)")
    parser.add_argument("--kalendo", required=True, help="the day-off payload file (KALENDO.INI)")
    parser.add_argument("--bin1", help="the BIN1 container, for resource overrides")
    parser.add_argument("--bin2", help="the BIN2 container, for resource overrides")
    parser.add_argument("--keep", action="store_true", help="keep the sandbox of a failed scenario")
    parser.add_argument("cases", nargs="*", help="scenario files (default: every one in cases/)")
    args = parser.parse_args()

    cases = args.cases or sorted(glob.glob(os.path.join(os.path.dirname(os.path.abspath(__file__)), "cases", "*.json")))
    payloads = sc.Payloads(args.perna, args.kalendo, args.bin1, args.bin2)
    backend = sc.StandinBackend(os.path.abspath(args.binary))
    failed = 0
    ran = 0
    for path in cases:
        scenario = sc.load(path)
        if not sc.runs_on(scenario, backend.name):
            print("skip %s (not for %s)" % (scenario["name"], backend.name))
            continue
        ran += 1
        errors = sc.run_scenario(scenario, backend, payloads, keep=args.keep)
        if errors:
            failed += 1
            print("FAIL %s: %s" % (scenario["name"], scenario["description"]))
            for e in errors:
                print("     " + e)
        else:
            print("ok   %s" % scenario["name"])
    print("%d scenarios, %d failed" % (ran, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
