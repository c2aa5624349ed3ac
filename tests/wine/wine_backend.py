"""The scenario runner's Wine backend: the Windows build of the updater on Wine's implementation of the
Windows API, one prefix and one wineserver for a whole session.

A scenario's drive C is the prefix's drive C: before each scenario everything a previous one put there
is removed (the prefix's own folders stay), and the product's registry key is deleted and written anew.
The driver (driver.c) starts the updater, answers and records its boxes, and holds files open.
"""

import contextlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenarios"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scenario as sc  # noqa: E402
import resource_patch  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
# What wineboot puts on drive C; everything else there belongs to a scenario.
NOBODY = 65534
PREFIX_FOLDERS = {"windows", "users", "program files", "program files (x86)", "programdata"}


def free_display():
    """An X display number that no server holds."""
    for n in range(87, 200):
        if not os.path.exists("/tmp/.X%d-lock" % n) and not os.path.exists("/tmp/.X11-unix/X%d" % n):
            return ":%d" % n
    raise RuntimeError("no free X display")


def windows_path_of_host(path):
    """A host path as Wine sees it through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    """Xvfb, a prefix and a persistent wineserver, set up once and torn down at the end.

    Run as root, Wine runs as nobody: root may write any file whatever its permissions, so under root a
    read-only file (FILE_ATTRIBUTE_READONLY, which Wine keeps as missing write bits) would not be.
    wine is the loader programs are started with, arch the prefix's WINEARCH."""

    def __init__(self, prefix, display=":87", log=None, wine=WINE, arch="win64"):
        self.prefix = os.path.abspath(prefix)
        self.wine_binary = wine
        self.arch = arch
        self.display = display
        self.log = log or open(os.devnull, "w")
        self.xvfb = None
        self.uid = NOBODY if os.geteuid() == 0 else None
        self.home = self.prefix + "-home"

    def command(self, args):
        if self.uid is None:
            return list(args)
        return ["setpriv", "--reuid=%d" % self.uid, "--regid=%d" % self.uid, "--clear-groups"] + list(args)

    def give(self, root):
        """Hands what root created under root to Wine's user."""
        if self.uid is None:
            return
        for dirpath, dirs, files in os.walk(root):
            for name in [dirpath] + [os.path.join(dirpath, n) for n in dirs + files]:
                st = os.lstat(name)
                if st.st_uid != self.uid:
                    os.lchown(name, self.uid, self.uid)

    def environment(self, tz="Asia/Tokyo"):
        env = {k: v for k, v in os.environ.items() if k.upper() not in sc.STAGE_VARIABLES}
        env.update({
            "WINEPREFIX": self.prefix, "WINEARCH": self.arch, "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=", "WINESERVER": WINESERVER,
            "LANG": "ja_JP.UTF-8", "LC_ALL": "ja_JP.UTF-8", "TZ": tz, "DISPLAY": self.display,
        })
        if self.uid is not None:
            env["HOME"] = self.home
        return env

    def wine(self, args, tz="Asia/Tokyo", extra=None, timeout=120, check=True):
        env = self.environment(tz)
        env.update(extra or {})
        # Output goes through files: a Wine service started by this call may keep a pipe open for good.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.run(self.command([self.wine_binary] + list(args)), env=env, stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=err, timeout=timeout)
            out.seek(0)
            err.seek(0)
            proc.stdout, proc.stderr = out.read(), err.read()
        if check and proc.returncode != 0:
            raise RuntimeError("wine %s: status %d: %s" % (args[0], proc.returncode,
                                                          proc.stderr.decode("utf-8", "replace")[-2000:]))
        return proc

    def reachable(self, path):
        """Whether Wine's user can get to path: every folder above it open to others."""
        if self.uid is None:
            return True
        path = os.path.abspath(path)
        parent = os.path.dirname(path)
        while parent != os.path.dirname(parent):
            if not os.stat(parent).st_mode & 0o001:
                return False
            parent = os.path.dirname(parent)
        return True

    def start(self, needed=()):
        for path in (self.prefix,) + tuple(needed):
            if not self.reachable(path):
                raise RuntimeError("%s is out of reach of the user Wine runs as (nobody): run the tests as an "
                                   "ordinary user, or from a checkout that others may enter" % path)
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        time.sleep(0.5)
        fresh = not os.path.isdir(os.path.join(self.prefix, "drive_c", "windows"))
        for d in (self.prefix, self.home):
            os.makedirs(d, exist_ok=True)
            if self.uid is not None:
                os.chown(d, self.uid, self.uid)
        # Persistent: one server for the whole session (an already running one is fine too).
        # It outlives this call: it must not inherit our output, or whoever reads it never sees an end.
        subprocess.run(self.command([WINESERVER, "-p"]), env=self.environment(), check=False,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if fresh:
            self.wine(["wineboot", "-i"], timeout=300, check=False)
        # Without a window manager, Wine waits for one whenever a window is hidden: let it manage none.
        self.wine(["reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N", "/f"])

    def stop(self):
        subprocess.run(self.command([WINESERVER, "-k"]), env=self.environment(), check=False)
        subprocess.run(self.command([WINESERVER, "-w"]), env=self.environment(), check=False, timeout=60)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)
            self.xvfb = None

    def drive_c(self):
        return os.path.join(self.prefix, "drive_c")

    def reset_drive_c(self):
        """Removes what earlier scenarios left on drive C, keeping the prefix's own folders."""
        root = self.drive_c()
        for name in os.listdir(root):
            if name.lower() not in PREFIX_FOLDERS:
                path = os.path.join(root, name)
                if os.path.isdir(path) and not os.path.islink(path):
                    shutil.rmtree(path)
                else:
                    os.remove(path)
        for dirpath, _dirs, files in os.walk(root):
            for name in files:
                if name.upper() in sc.STRAY_NAMES:
                    os.remove(os.path.join(dirpath, name))


class WineBackend:
    """Runs build/win64/PernaUpdate.exe under Wine through the box-answering driver."""

    name = "wine"

    def __init__(self, session, updater, driver, timeout=120):
        self.session = session
        self.updater = os.path.abspath(updater)
        self.driver = os.path.abspath(driver)
        self.timeout = timeout

    def host_path(self, sandbox, winpath):
        m = re.fullmatch(r"([Cc]):(.*)", winpath)
        if not m:
            raise sc.ScenarioError("the Wine backend has only drive C: %r" % winpath)
        path = self.session.drive_c()
        # Wine finds names in any case; so must we, or C:\WINDOWS would become a second folder.
        for part in (p for p in re.split(r"[\\/]", m.group(2)) if p):
            match = None
            if os.path.isdir(path):
                match = next((n for n in os.listdir(path) if n.lower() == part.lower()), None)
            path = os.path.join(path, match or part)
        return path

    def drive_roots(self, sandbox):
        return [self.session.drive_c()]

    @contextlib.contextmanager
    def hold(self, host_path):
        # Held files are held by the driver, a Windows process, for the whole run: see run().
        raise NotImplementedError("the driver holds files")
        yield  # pragma: no cover

    def windows_path(self, host_path):
        drive_c = self.session.drive_c()
        rel = os.path.relpath(host_path, drive_c)
        if rel.startswith(".."):
            return windows_path_of_host(host_path)
        return "C:\\" + rel.replace("/", "\\")

    def registry_options(self, scenario, prepared):
        """The driver options that write the scenario's registry: an import of its REGEDIT4 file."""
        if not prepared.registry_file:
            return []
        return ["--registry", windows_path_of_host(prepared.registry_file)]

    def run(self, scenario, run, prepared, updater=None, extra_env=None, driver_options=()):
        sandbox = prepared.sandbox
        if scenario["resources"]:
            # Resource overrides: a copy of the executable with the payload resource changed in place.
            with open(updater or self.updater, "rb") as f:
                data = resource_patch.patched(f.read(), scenario["resources"])
            updater = os.path.join(sandbox, "PernaUpdate.exe")
            with open(updater, "wb") as f:
                f.write(data)
        self.session.give(self.session.drive_c())
        self.session.give(sandbox)
        env_file = os.path.join(sandbox, "environment.txt")
        with open(env_file, "w", encoding="utf-8", newline="\n") as f:
            for name, value in scenario["env"].items():
                if value is not None:
                    f.write("%s=%s\n" % (name, value))
        transcript = os.path.join(sandbox, "transcript.jsonl")
        if os.path.exists(transcript):
            os.remove(transcript)
        answers = run["answers"]
        answer_text = ",".join(["close"] * 64) if answers is None else ",".join(answers)
        args = [self.driver, "--exe", windows_path_of_host(updater or self.updater),
                "--transcript", windows_path_of_host(transcript), "--env", windows_path_of_host(env_file),
                "--answers", answer_text, "--clear-key", sc.APP_PATHS_KEY,
                # Relative paths (an unexpanded "%SystemDrive%\\...") land on the scenario's drive.
                "--cwd", "C:\\"]
        registry = scenario["registry"]
        if registry and registry.get("key") and registry["key"].lower() != sc.APP_PATHS_KEY.lower():
            args += ["--clear-key", registry["key"]]
        args += self.registry_options(scenario, prepared)
        if run["args"]:
            args += ["--args", " ".join('"%s"' % a if " " in a else a for a in run["args"])]
        for host in prepared.held:
            args += ["--hold", self.windows_path(host)]
        args += list(driver_options)
        proc = self.session.wine(args, tz=scenario["tz"], extra=extra_env, timeout=self.timeout, check=False)
        out = proc.stdout.decode("utf-8", "replace")
        m = re.search(r"exit (\d+)", out)
        if proc.returncode != 0 or not m:
            raise RuntimeError("driver failed (%d): %s %s" % (proc.returncode, out,
                                                             proc.stderr.decode("utf-8", "replace")[-2000:]))
        entries = []
        if os.path.exists(transcript):
            import json
            with open(transcript, encoding="utf-8") as f:
                entries = [json.loads(line) for line in f if line.strip()]
        return sc.RunResult(int(m.group(1)), entries)
