"""What only the real platform shows: where the updater's DLLs come from.

The updater binds LZ32 at run time from the system directory, so a lz32.dll planted beside it must not
load, even when Wine is told to prefer native DLLs over its own (lz32=n,b). The control: a program that
imports LZ32 statically does load the plant under the same override, so the plant itself works.
And the other way round: a fake lz32.dll put in the system directory itself is what the updater loads,
which shows that it uses LZ32 at all (and not the same functions from some other DLL).
The fake DLL leaves lz32-planted-loaded.txt beside itself when it loads.

The DLLs the system loads for it on demand once it runs (CryptoAPI's for the digests, the theme library
for the boxes) must not come from beside it either: it narrows the DLL search to the system directory
first thing."""

import os
import shutil
import signal
import subprocess
import sys

import scenario as sc

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "demo"))
from wine_session import WINESERVER, windows_path_of_host  # noqa: E402

MARKER = "lz32-planted-loaded.txt"
PREFER_PLANT = "mscoree,mshtml=;lz32=n,b"


def plant(session, folder, program, fake_dll):
    """C:\\<folder> with the program and the fake lz32.dll; the program's host path."""
    host = os.path.join(session.drive_c(), folder)
    os.makedirs(host, exist_ok=True)
    shutil.copy(program, host)
    shutil.copy(fake_dll, os.path.join(host, "lz32.dll"))
    session.give(host)
    return os.path.join(host, os.path.basename(program))


def check_lz32_binding(session, backend, updater, fake_dll, probe, payloads, success_case):
    """The list of faults (empty when the binding holds)."""
    faults = []
    session.reset_drive_c()
    planted_probe = plant(session, "plant-control", probe, fake_dll)
    session.wine([planted_probe], extra={"WINEDLLOVERRIDES": PREFER_PLANT}, check=False)
    if not os.path.exists(os.path.join(os.path.dirname(planted_probe), MARKER)):
        faults.append("control: a static import of LZ32 did not load the planted DLL, so the check shows nothing")
    else:
        print("ok   control: a static LZ32 import loads a DLL planted beside the program")

    session.reset_drive_c()
    scenario = sc.load(success_case)
    planted = plant(session, "plant", updater, fake_dll)
    with sc.sandbox_dir() as sandbox:
        prepared = sc.prepare(scenario, backend, sandbox, payloads)
        run = scenario["runs"][0]
        result = backend.run(scenario, run, prepared, updater=planted, extra_env={"WINEDLLOVERRIDES": PREFER_PLANT})
        errors = sc.check(scenario, run, backend, prepared, result, payloads)
    if os.path.exists(os.path.join(os.path.dirname(planted), MARKER)):
        faults.append("the updater loaded the lz32.dll planted beside it")
    faults += ["planted run: " + e for e in errors]
    if not faults:
        print("ok   a planted lz32.dll is not loaded by the updater, which installs with the system's")

    # The system directory's own lz32.dll swapped for the fake for one run.
    session.reset_drive_c()
    system_dll = os.path.join(session.drive_c(), "windows", "system32", "lz32.dll")
    system_marker = os.path.join(os.path.dirname(system_dll), MARKER)
    saved = system_dll + ".saved"
    shutil.copy2(system_dll, saved)
    try:
        shutil.copy(fake_dll, system_dll)
        with sc.sandbox_dir() as sandbox:
            prepared = sc.prepare(scenario, backend, sandbox, payloads)
            backend.run(scenario, scenario["runs"][0], prepared, extra_env={"WINEDLLOVERRIDES": PREFER_PLANT})
        if os.path.exists(system_marker):
            print("ok   the updater loads lz32.dll from the system directory")
        else:
            faults.append("the updater did not load lz32.dll from the system directory (LZ functions from elsewhere?)")
    finally:
        shutil.move(saved, system_dll)
        if os.path.exists(system_marker):
            os.remove(system_marker)
        session.reset_drive_c()
    return faults


# What a successful run loads after start-up that is no KnownDLL on Windows (WINEDEBUG=+loaddll), each of
# which Wine takes from the updater's folder under NAME=n,b where the search is not narrowed. Wine loads
# rsaenh.dll, the CryptoAPI provider, by full path; Windows loads the one the registry names, which may be
# a bare name.
PLANTED_NAMES = ("bcrypt.dll", "crypt32.dll", "rsaenh.dll", "uxtheme.dll")
# A plant that loads may crash the run: without winedbg.exe disabled, the debugger would hold it for good.
PREFER_PLANTS = "mscoree,mshtml=;winedbg.exe=d;%s=n,b" % ",".join(n[:-len(".dll")] for n in PLANTED_NAMES)


def plant_all(session, folder, program, planted_dll):
    """C:\\<folder> with the program and a copy of the planted DLL under each name; the program's host path."""
    host = os.path.join(session.drive_c(), folder)
    os.makedirs(host, exist_ok=True)
    shutil.copy(program, host)
    for name in PLANTED_NAMES:
        shutil.copy(planted_dll, os.path.join(host, name))
    session.give(host)
    return os.path.join(host, os.path.basename(program))


def loaded_plants(folder):
    return [n for n in PLANTED_NAMES if os.path.exists(os.path.join(folder, n + "-planted-loaded.txt"))]


def check_planted_dlls(session, backend, updater, planted_dll, probe, payloads, success_case):
    """The list of faults (empty when no DLL planted beside the updater is loaded and the run installs)."""
    faults = []
    session.reset_drive_c()
    planted_probe = plant_all(session, "plant-control", probe, planted_dll)
    session.wine([planted_probe] + list(PLANTED_NAMES), extra={"WINEDLLOVERRIDES": PREFER_PLANTS}, check=False)
    missed = sorted(set(PLANTED_NAMES) - set(loaded_plants(os.path.dirname(planted_probe))))
    if missed:
        faults.append("control: plain LoadLibraryA did not load the planted %s, so the check shows nothing"
                      % ", ".join(missed))
    else:
        print("ok   control: plain LoadLibraryA loads each DLL planted beside the program")

    session.reset_drive_c()
    scenario = sc.load(success_case)
    planted = plant_all(session, "plant", updater, planted_dll)
    with sc.sandbox_dir() as sandbox:
        prepared = sc.prepare(scenario, backend, sandbox, payloads)
        run = scenario["runs"][0]
        try:
            result = backend.run(scenario, run, prepared, updater=planted,
                                 extra_env={"WINEDLLOVERRIDES": PREFER_PLANTS})
            errors = sc.check(scenario, run, backend, prepared, result, payloads)
        except RuntimeError as e:  # the driver gave up on a run that a plant broke
            errors = [str(e)]
    loaded = loaded_plants(os.path.dirname(planted))
    if loaded:
        faults.append("the updater loaded %s planted beside it" % ", ".join(loaded))
    faults += ["planted run: " + e for e in errors]
    if not faults:
        print("ok   %s planted beside the updater: none loaded, and it installs" % ", ".join(PLANTED_NAMES))
    session.reset_drive_c()
    return faults


def check_old_system_fallbacks(session, probe, fake_lz32):
    """The list of faults (empty when both fallbacks hold): the probe, built with the platform sources as
    systems without the DLL search flags see them, checks them itself, beside a fake lz32.dll preferred
    over Wine's (lz32=n,b)."""
    session.reset_drive_c()
    host = os.path.join(session.drive_c(), "old-system")
    os.makedirs(host)
    shutil.copy(probe, host)
    shutil.copy(fake_lz32, os.path.join(host, "lz32.dll"))
    session.give(host)
    proc = session.wine([os.path.join(host, os.path.basename(probe))],
                        extra={"WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d;lz32=n,b"}, check=False)
    session.reset_drive_c()
    lines = proc.stdout.decode("utf-8", "replace").splitlines()
    for line in lines:
        if line.startswith("ok"):
            print("ok   old system: " + line[4:].strip())
    faults = [line[4:].strip() for line in lines if line.startswith("FAIL")]
    faults += [line.strip() for line in lines if line.startswith("     ")]
    if proc.returncode != 0 and not faults or not lines:
        faults.append("the probe stopped with status %d: %s"
                      % (proc.returncode, proc.stderr.decode("utf-8", "replace")[-500:]))
    return faults


def report(what, faults):
    """Prints each fault of a check under its name; 1 when there were any, else 0 (a count of failed checks)."""
    for f in faults:
        print("FAIL %s: %s" % (what, f))
    return 1 if faults else 0


# The field check (fieldcheck/): what it must report under Wine. Wine enforces no file permissions and makes
# no junctions, so those two cases can only be skipped here; everything else must pass.
FIELD_PASSES = {"update", "cancel", "already-current", "other-size", "held", "held-briefly", "pipe-tmp"}
FIELD_SKIPS = {"not-elevated", "junction-tmp"}
PRODUCT_KEY = r"HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\KaryomWin.exe"
NO_DEBUGGER = {"WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d"}
VICTIM_TEXT = "not the field check's\n"


def field_check_leftovers(session):
    """What the field check may have left: its folders anywhere on drive C, and the product's key."""
    left = [os.path.join(d, n) for d, dirs, files in os.walk(session.drive_c())
            for n in dirs + files if n.lower().startswith("pernafieldcheck-")]
    if session.wine(["reg", "query", PRODUCT_KEY], check=False).returncode == 0:
        left.append(PRODUCT_KEY)
    return left


def start_field_check(session, field_check, updater):
    env = session.environment()
    env.update(NO_DEBUGGER)
    return subprocess.Popen(session.command([session.wine_binary, field_check, windows_path_of_host(updater)]),
                            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def stop_field_check_after(session, field_check, updater, cases, sig):
    """Starts the field check, sends it sig once that many cases are through; its exit status and output."""
    proc = start_field_check(session, field_check, updater)
    for line in proc.stdout:
        cases -= line.startswith((b"PASS", b"FAIL", b"SKIP"))
        if not cases:
            proc.send_signal(sig)
            break
    proc.wait(timeout=120)
    if sig == signal.SIGKILL:
        # The updater it had started lives on, holding the check's output open: end every Windows process.
        subprocess.run(session.command([WINESERVER, "-k"]), env=session.environment(), check=False)
    out, err = proc.communicate(timeout=120)
    return proc.returncode, (out + err).decode("utf-8", "replace")


def check_field_check(session, field_check, updater, interrupted=True):
    """The list of faults: the field check must refuse a machine with the product on it, leave nothing behind when
    stopped (Ctrl+C) or killed halfway (the next run clears it), and give its verdicts on the updater. With
    interrupted False it is neither stopped nor killed: its cleaning up is one source for every architecture, and
    killing it costs a restart of the prefix's Wine, which is minutes under emulation."""
    faults = []
    field_check = os.path.abspath(field_check)
    session.reset_drive_c()
    # What an earlier stage run that failed may have left, marked or not.
    for path in field_check_leftovers(session):
        if os.path.isdir(path):
            shutil.rmtree(path)
    session.wine(["reg", "delete", PRODUCT_KEY, "/f"], check=False)
    session.wine(["reg", "add", PRODUCT_KEY, "/v", "Path", "/d", "C:\\Karyom", "/f"])
    proc = session.wine([field_check, windows_path_of_host(updater)], extra=NO_DEBUGGER, check=False, timeout=120)
    if proc.returncode != 2 or session.wine(["reg", "query", PRODUCT_KEY, "/v", "Path"], check=False).returncode:
        faults.append("with the product installed it did not refuse (status %d), or touched its key" % proc.returncode)
    session.wine(["reg", "delete", PRODUCT_KEY, "/f"])

    victim = None
    if interrupted:
        # Stopped as the fourth case starts, while it holds the sample tool open.
        status, out = stop_field_check_after(session, field_check, updater, 3, signal.SIGINT)
        left = field_check_leftovers(session)
        if status != 3 or left:
            faults.append("stopped with Ctrl+C: status %d, left %s: %s" % (status, left, out[-300:]))

        stop_field_check_after(session, field_check, updater, 1, signal.SIGKILL)
        folders = [path for path in field_check_leftovers(session) if os.path.isdir(path)]
        if not folders:
            faults.append("killed halfway, it left nothing, so the next run's clearing is not shown")
        else:
            # A read-only file of someone else's with a second name among the leftovers: the next run removes
            # that name, and leaves the file's bytes and its read-only mark (which all its names share).
            victim = os.path.join(session.drive_c(), "victim.txt")
            with open(victim, "w") as f:
                f.write(VICTIM_TEXT)
            os.link(victim, os.path.join(folders[0], "second-name.txt"))
            session.give(folders[0])
            os.chmod(victim, 0o444)
    proc = session.wine([field_check, windows_path_of_host(updater)], extra=NO_DEBUGGER, check=False, timeout=600)
    out = proc.stdout.decode("utf-8", "replace")
    lines = [line for line in out.splitlines() if line[:4] in ("PASS", "FAIL", "SKIP")]
    results = {line[5:].split(":")[0]: line[:4] for line in lines}
    expected = {name: "PASS" for name in FIELD_PASSES}
    expected.update({name: "SKIP" for name in FIELD_SKIPS})
    summary = "%d passed, 0 failed, %d skipped" % (len(FIELD_PASSES), len(FIELD_SKIPS))
    if results != expected or summary not in out or proc.returncode != 0:
        faults.append("%s, status %d:\n%s%s" % ("after a killed run" if interrupted else "a full run",
                                                proc.returncode, out, proc.stderr.decode()[-300:]))
    left = field_check_leftovers(session)
    if left:
        faults.append("a full run left %s" % left)
    if victim:
        with open(victim) as f:
            if f.read() != VICTIM_TEXT or os.stat(victim).st_mode & 0o222:
                faults.append("clearing the killed run's folder changed a file that a second name there led to")
    if not faults:
        print("ok   the field check: refuses an installed product, %sgives"
              % ("cleans up when stopped or killed, and " if interrupted else ""))
        for line in out.splitlines():
            print("       " + line)
    session.reset_drive_c()
    return faults
