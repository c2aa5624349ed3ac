#!/usr/bin/env python3
"""Injected faults on a successful run of the stand-in build: every platform call in turn fails once,
fails from then on, or ends the process abruptly, or every pair of calls fails once each; the run must
still end in a state the user was told about truthfully, with nothing half-installed and nothing left
open. The "fail" sweep also makes sure that a fault the stand-in does not understand is refused.
"""

import argparse
import concurrent.futures
import itertools
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario as sc  # noqa: E402
from facts import ROW1_REFUSALS, ROW_FAILURES  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
BASE_CASE = os.path.join(HERE, "cases", "success.json")
TOOL = "C:\\Karyom\\PERNA.EXE"
DAYOFF = "C:\\Karyom\\KALENDO.INI"
# Status of a process ended by an "exit" fault, and of one given a fault it does not understand.
ABRUPT_EXIT_STATUS = 86
BAD_FAULT_STATUS = 85
# Calls whose failure may leave a staged or temporary file: the expanded file is deleted through
# NtSetInformationFile (the staged one goes with its handle, which a failed close still closes).
DELETING_CALLS = ("NtSetInformationFile",)
# Faults that must be refused, not silently ignored.
MALFORMED_FAULTS = ("fail:MoveFileEx", "fial:12", "fail:-3", "exit:0", "fail:WriteFile#0", "fail:", "fail:1,",
                    "fail:1,,fail:2", "fail:#3", "fail:12x")

ROW1_OUTCOMES = set(ROW1_REFUSALS) | set(ROW_FAILURES[1])
ROW2_FAILURES = set(ROW_FAILURES[2])


def version_of(backend, sandbox, winpath, old, new):
    """'old', 'new', 'absent' or 'other' for a file of the sandbox."""
    host = backend.host_path(sandbox, winpath)
    if not os.path.isfile(host):
        return "absent"
    data = sc.read_file(host)
    return "old" if data == old else "new" if data == new else "other"


def templates_for(tool, dayoff, check_failed):
    """The boxes a run must have tried to show for the end state it left: message ids, or sets of ids
    (any one of them); None when the end state itself is wrong. check_failed: a call of a check of what
    stands at a target after its rename failed, so that the payload is in place but not known to be, which
    the run reports as that payload's failure."""
    if tool == "old" and dayoff == "old":
        # The run lock not had; no installation directory; no consent (a confirmation that could not be
        # shown); a tool refused.
        return [["MsgCannotStart"], [{"MsgProductMissing"}], ["MsgConfirm"], ["MsgConfirm", ROW1_OUTCOMES]]
    day_off_failed = ["MsgConfirm", ROW2_FAILURES, "MsgToolUpdated", "MsgDayOffFailed"]
    if tool == "new" and dayoff == "old":
        return [day_off_failed] + ([["MsgConfirm", set(ROW_FAILURES[1])]] if check_failed else [])
    if tool == "new" and dayoff == "new":
        return [["MsgConfirm", "MsgToolUpdated"]] + ([day_off_failed] if check_failed else [])
    return None


def placement_checks(calls):
    """The numbers of the calls that check what stands at a target after its rename: from the open that
    follows the rename (NtSetInformationFile, then NtCreateFile) up to the next box or folder open."""
    numbers = set()
    for i in range(len(calls) - 1):
        if calls[i] == "NtSetInformationFile" and calls[i + 1] == "NtCreateFile":
            j = i + 1
            while j < len(calls) and calls[j] not in ("MessageBoxA", "CreateFileA"):
                numbers.add(j + 1)
                j += 1
    return numbers


def box_matches(want, shown):
    return shown in want if isinstance(want, set) else shown == want


def loop_middles(calls):
    """The numbers (from 1) of the calls in the middle steps of a loop of two-call steps (read, hash; read,
    hash; ...): every step but the first two and the last. A fault there takes the path a fault in the second
    step takes, so the pair sweep leaves them out; the single sweeps keep every call."""
    middles = set()
    k = 0
    while k + 1 < len(calls):
        step = calls[k:k + 2]
        steps = 1
        while calls[k + 2 * steps:k + 2 * steps + 2] == step:
            steps += 1
        if steps > 3:
            middles |= set(range(k + 5, k + 2 * (steps - 1) + 1))
        k += 2 * steps if steps > 1 else 1
    return middles


def faulted_numbers(faults, total):
    numbers = set()
    for mode, n in faults:
        numbers |= {n} if mode == "fail" else set(range(n, total + 1))
    return numbers


def run_failure(scenario, backend, payloads, faults, old_tool, old_dayoff, new_tool, new_dayoff):
    """Runs with the calls of faults ([(mode, number)]) failed; the list of what went wrong."""
    errors = []
    run = scenario["runs"][0]
    with sc.sandbox_dir() as sandbox:
        prepared = sc.prepare(scenario, backend, sandbox, payloads)
        injected = ",".join("%s:%d" % fault for fault in faults)
        result = backend.run(scenario, run, prepared, {"WINSTUB_FAULT": injected})
        calls = [c for c in result.calls if not c.startswith("LEAK")]
        faulted = faulted_numbers(faults, len(calls)) & set(range(1, len(calls) + 1))
        faulted_names = {calls[i - 1] for i in faulted}
        if result.exit_code != 0:
            errors.append("exit status %s" % result.exit_code)
        errors += ["handle left open: " + c for c in result.calls if c.startswith("LEAK")]

        tool = version_of(backend, sandbox, TOOL, old_tool, new_tool)
        dayoff = version_of(backend, sandbox, DAYOFF, old_dayoff, new_dayoff)
        templates = templates_for(tool, dayoff, bool(faulted & placement_checks(calls)))
        if templates is None:
            errors.append("end state: tool %s, day-off file %s" % (tool, dayoff))
        else:
            attempts = [number for number, name in enumerate(calls, 1) if name == "MessageBoxA"]
            shown = [sc.describe_box(e) for e in result.transcript]
            ok = False
            for template in templates:
                if len(template) != len(attempts):
                    continue
                expected = [want for want, number in zip(template, attempts) if number not in faulted]
                if len(expected) == len(shown) and all(box_matches(w, s) for w, s in zip(expected, shown)):
                    ok = True
            if not ok:
                errors.append("boxes %s for tool %s, day-off file %s (box calls %s, failed calls %s)"
                              % (shown, tool, dayoff, attempts, sorted(faulted)[:3]))

        allowed = sc.STRAY_NAMES if faulted_names & set(DELETING_CALLS) else ()
        for path in sc.stray_files(backend, sandbox, allowed):
            errors.append("left behind: %s" % path)
        errors += sc.box_state_errors(result, allowed)
    return errors


def run_crash(scenario, backend, payloads, n, old_tool, old_dayoff, new_tool, new_dayoff):
    errors = []
    run = scenario["runs"][0]
    with sc.sandbox_dir() as sandbox:
        prepared = sc.prepare(scenario, backend, sandbox, payloads)
        result = backend.run(scenario, run, prepared, {"WINSTUB_FAULT": "exit:%d" % n})
        if result.exit_code != ABRUPT_EXIT_STATUS:
            errors.append("the process did not end at call %d (status %s)" % (n, result.exit_code))
        tool = version_of(backend, sandbox, TOOL, old_tool, new_tool)
        dayoff = version_of(backend, sandbox, DAYOFF, old_dayoff, new_dayoff)
        if tool not in ("old", "new") or dayoff not in ("old", "new"):
            errors.append("after the crash: tool %s, day-off file %s" % (tool, dayoff))

        # The next run starts from whatever the crash left, stray files included.
        again = backend.run(scenario, run, prepared)
        shown = [sc.describe_box(e) for e in again.transcript]
        want = ["MsgConfirm", "MsgAlreadyCurrent"] if tool == "new" else ["MsgConfirm", "MsgToolUpdated"]
        if again.exit_code != 0:
            errors.append("re-run exit status %s" % again.exit_code)
        if shown != want:
            errors.append("re-run boxes %s, want %s (tool was %s)" % (shown, want, tool))
        errors += ["re-run left a handle open: " + c for c in again.calls if c.startswith("LEAK")]
        tool_after = version_of(backend, sandbox, TOOL, old_tool, new_tool)
        dayoff_after = version_of(backend, sandbox, DAYOFF, old_dayoff, new_dayoff)
        if tool_after != "new" or dayoff_after not in ("old", "new"):
            errors.append("after the re-run: tool %s, day-off file %s" % (tool_after, dayoff_after))
        if tool == "old" and dayoff_after != "new":
            errors.append("the re-run did not install the day-off file")
        # The re-run clears what the crash left, even when it stops at the guard.
        for path in sc.stray_files(backend, sandbox):
            errors.append("left behind after the re-run: %s" % path)
    return errors


def refused_faults(scenario, backend, payloads):
    """Faults the stand-in does not understand must end the run at once, untouched; what went wrong."""
    errors = []
    for malformed in MALFORMED_FAULTS:
        with sc.sandbox_dir() as sandbox:
            prepared = sc.prepare(scenario, backend, sandbox, payloads)
            result = backend.run(scenario, scenario["runs"][0], prepared, {"WINSTUB_FAULT": malformed}, quiet=True)
            if result.exit_code != BAD_FAULT_STATUS or result.transcript or result.calls:
                errors.append("WINSTUB_FAULT=%s: status %s, %d boxes, %d calls" % (
                    malformed, result.exit_code, len(result.transcript), len(result.calls)))
    return errors


def sweep(runs, worker, label):
    """Runs worker over runs ([(label, faults)]) on every core; the number that failed."""
    failed = 0
    with concurrent.futures.ProcessPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
        for (name, _faults), errors in zip(runs, pool.map(worker, [faults for _name, faults in runs], chunksize=8)):
            if errors:
                failed += 1
                print("FAIL %s (%s)" % (name, label))
                for e in errors:
                    print("     " + e)
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--perna", required=True)
    parser.add_argument("--kalendo", required=True)
    parser.add_argument("--bin1")
    parser.add_argument("--bin2")
    parser.add_argument("--mode", choices=("fail", "fail-from", "exit", "pairs"), required=True)
    parser.add_argument("--case", default=BASE_CASE, help="a scenario whose run succeeds")
    args = parser.parse_args()

    payloads = sc.Payloads(args.perna, args.kalendo, args.bin1, args.bin2)
    backend = sc.StandinBackend(os.path.abspath(args.binary))
    scenario = sc.load(args.case)
    entry = scenario["files"]
    old_tool = sc.content_bytes(sc.file_entry(entry[TOOL])["content"], payloads)
    old_dayoff = sc.content_bytes(sc.file_entry(entry[DAYOFF])["content"], payloads)
    new_tool = sc.read_file(args.perna)
    new_dayoff = sc.read_file(args.kalendo)

    # The calls of an undisturbed run, which must itself succeed.
    with sc.sandbox_dir() as sandbox:
        prepared = sc.prepare(scenario, backend, sandbox, payloads)
        base = backend.run(scenario, scenario["runs"][0], prepared)
        errors = sc.check(scenario, scenario["runs"][0], backend, prepared, base, payloads)
    if errors:
        print("the undisturbed run fails:\n  " + "\n  ".join(errors))
        return 1
    calls = [c for c in base.calls if not c.startswith("LEAK")]

    started = time.time()
    failed = 0
    global WORK
    WORK = (scenario, backend, payloads, old_tool, old_dayoff, new_tool, new_dayoff)
    if args.mode == "fail":
        for e in refused_faults(scenario, backend, payloads):
            failed += 1
            print("FAIL " + e)
    if args.mode == "exit":
        runs = [("exit:%d %s" % (n, name), n) for n, name in enumerate(calls, 1)]
        failed += sweep(runs, crash_worker, args.mode)
    elif args.mode == "pairs":
        # A second fault numbered past the last call of the run with the first fault alone never strikes:
        # that pair is the single fault again, which the "fail" sweep runs.
        with concurrent.futures.ProcessPoolExecutor(max_workers=os.cpu_count() or 1) as pool:
            reach = dict(zip(range(1, len(calls) + 1), pool.map(calls_worker, range(1, len(calls) + 1))))
        middles = loop_middles(calls)
        runs = [("fail:%d %s, fail:%d %s" % (i, calls[i - 1], j, calls[j - 1]), [("fail", i), ("fail", j)])
                for i, j in itertools.combinations(range(1, len(calls) + 1), 2)
                if j <= reach[i] and i not in middles and j not in middles]
        print("%d of %d pairs can strike twice" % (len(runs), len(calls) * (len(calls) - 1) // 2))
        failed += sweep(runs, failure_worker, args.mode)
    else:
        runs = [("%s:%d %s" % (args.mode, n, name), [(args.mode, n)]) for n, name in enumerate(calls, 1)]
        failed += sweep(runs, failure_worker, args.mode)
    print("%d runs with injected faults (%s) on a run of %d calls, %d failed (%.0f s)"
          % (len(runs), args.mode, len(calls), failed, time.time() - started))
    return 1 if failed else 0


# What the workers share, set before they fork.
WORK = None


def failure_worker(faults):
    scenario, backend, payloads, old_tool, old_dayoff, new_tool, new_dayoff = WORK
    return run_failure(scenario, backend, payloads, faults, old_tool, old_dayoff, new_tool, new_dayoff)


def calls_worker(n):
    """How many calls the run makes with its n-th call failed."""
    scenario, backend, payloads = WORK[:3]
    with sc.sandbox_dir() as sandbox:
        prepared = sc.prepare(scenario, backend, sandbox, payloads)
        result = backend.run(scenario, scenario["runs"][0], prepared, {"WINSTUB_FAULT": "fail:%d" % n})
    return len([c for c in result.calls if not c.startswith("LEAK")])


def crash_worker(n):
    scenario, backend, payloads, old_tool, old_dayoff, new_tool, new_dayoff = WORK
    return run_crash(scenario, backend, payloads, n, old_tool, old_dayoff, new_tool, new_dayoff)


if __name__ == "__main__":
    sys.exit(main())
