"""Wine for the demo and the tests: Xvfb, a prefix and one persistent wineserver for a whole session, and
runs of a Windows build of the updater through the box-answering driver (driver.c), which starts it with
an explicit environment, answers its boxes and records each as a JSON line.
"""

import json
import os
import re
import select
import shutil
import socket
import subprocess
import tempfile
import time

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
NOBODY = 65534
# What wineboot puts on drive C; everything else there belongs to a run.
PREFIX_FOLDERS = {"windows", "users", "program files", "program files (x86)", "programdata"}
# The host's own would reach every Windows process; the stage directory is each run's to choose.
STAGE_VARIABLES = ("TMP", "TEMP")
# Wine runs in this locale: code page 932 for its ANSI calls, and UTF-8 for the host's file names, which it can
# convert only when the locale exists (else every Japanese name fails). The session compiles it beside the
# prefix, from Debian's `locales` package, and points Wine at it with LOCPATH.
LOCALE = "ja_JP.UTF-8"


def listening(socket_path):
    """Whether a server accepts connections on the Unix socket."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as probe:
        try:
            probe.connect(socket_path)
            return True
        except OSError:
            return False


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
    wine is the loader programs are started with, arch the prefix's WINEARCH. With serve_driver, one driver
    process (driver.exe --serve) does every run of the session: each Wine process started costs seconds
    under emulation."""

    def __init__(self, prefix, display=":87", log=None, stray_names=(), wine=WINE, arch="win64",
                 serve_driver=False):
        self.prefix = os.path.abspath(prefix)
        self.wine_binary = wine
        self.arch = arch
        self.display = display
        self.log = log or open(os.devnull, "w")
        self.xvfb = None
        self.uid = NOBODY if os.geteuid() == 0 else None
        self.home = self.prefix + "-home"
        self.locales = self.prefix + "-locale"
        # Files a run may leave anywhere on drive C, even among the prefix's folders: removed between runs.
        self.stray_names = {name.upper() for name in stray_names}
        self.serve_driver = serve_driver
        # The serving driver: (its process, the file of its error output, the time zone and variables it was
        # started with), once started.
        self.server = None

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
                # A racer may be replacing names meanwhile; a link is given, never what it points to.
                try:
                    st = os.lstat(name)
                    if st.st_uid != self.uid:
                        os.lchown(name, self.uid, self.uid)
                except FileNotFoundError:
                    pass

    def environment(self, tz="Asia/Tokyo"):
        env = {k: v for k, v in os.environ.items() if k.upper() not in STAGE_VARIABLES}
        env.update({
            "WINEPREFIX": self.prefix, "WINEARCH": self.arch, "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=", "WINESERVER": WINESERVER,
            "LANG": LOCALE, "LC_ALL": LOCALE, "TZ": tz, "DISPLAY": self.display,
        })
        if self.locales:
            env["LOCPATH"] = self.locales
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

    def make_locale(self):
        """Makes sure the locale Wine runs in exists: the system's when it has one (a machine made for the
        tests), else compiled once where Wine's user can read it."""
        listed = subprocess.run(["locale", "-a"], stdin=subprocess.DEVNULL, capture_output=True, text=True).stdout
        if LOCALE.lower().replace("-", "") in listed.lower().split():
            self.locales = None
            return
        target = os.path.join(self.locales, LOCALE)
        if not os.path.isfile(os.path.join(target, "LC_CTYPE")):
            os.makedirs(self.locales, exist_ok=True)
            # Its status is 1 for mere warnings: the compiled files tell.
            proc = subprocess.run(["localedef", "-i", "ja_JP", "-f", "UTF-8", target], stdin=subprocess.DEVNULL,
                                  capture_output=True)
            if not os.path.isfile(os.path.join(target, "LC_CTYPE")):
                raise RuntimeError("localedef could not make %s (is the locales package installed?): %s"
                                   % (LOCALE, proc.stderr.decode("utf-8", "replace")[-500:]))
        self.give(self.locales)

    def start(self, needed=()):
        for path in (self.prefix,) + tuple(needed):
            if not self.reachable(path):
                raise RuntimeError("%s is out of reach of the user Wine runs as (nobody): run the tests as an "
                                   "ordinary user, or from a checkout that others may enter" % path)
        self.make_locale()
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                     stdin=subprocess.DEVNULL, stdout=self.log, stderr=self.log)
        self.wait_for_display()
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

    def wait_for_display(self, seconds=60):
        """Returns once Xvfb listens on its socket: a Wine process that finds no display runs without one
        for good, and its message boxes fail (under emulation Xvfb can take seconds to come up)."""
        socket_path = "/tmp/.X11-unix/X" + self.display.lstrip(":")
        deadline = time.monotonic() + seconds
        while not listening(socket_path):
            if self.xvfb.poll() is not None:
                raise RuntimeError("Xvfb %s ended (status %d) before it listened" % (self.display, self.xvfb.returncode))
            if time.monotonic() > deadline:
                raise RuntimeError("Xvfb %s did not listen within %d s" % (self.display, seconds))
            time.sleep(0.05)

    def stop_server(self):
        """Ends the serving driver, if there is one."""
        if self.server:
            proc, errors, _started_with = self.server
            self.server = None
            proc.stdin.close()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            proc.stdout.close()
            errors.close()

    def served(self, driver, command, tz, extra, timeout):
        """Has the serving driver do one run: its status, what it printed and its error output. Raises when it
        does not answer within timeout seconds, and then ends it. The updater takes its time zone and Wine's
        variables from the driver's own environment (Wine builds a process's host environment from its
        parent's, not from the block it is given), so a driver started with other ones, or ended meanwhile
        (a test stops the session's wineserver), is replaced."""
        wanted = (tz, tuple(sorted((extra or {}).items())))
        if self.server and (self.server[2] != wanted or self.server[0].poll() is not None):
            self.stop_server()
        if self.server is None:
            errors = tempfile.TemporaryFile()
            env = self.environment(tz)
            env.update(extra or {})
            proc = subprocess.Popen(self.command([self.wine_binary, driver, "--serve"]), env=env,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors)
            self.server = (proc, errors, wanted)
        proc, errors, _started_with = self.server
        errors_from = errors.tell()
        out = b""
        try:
            proc.stdin.write(("\t".join(command) + "\n").encode("utf-8"))
            proc.stdin.flush()
            deadline = time.monotonic() + timeout
            # Its output is text, lines ended by CR LF.
            while not re.search(rb"(^|\n)done -?\d+\r?\n", out):
                ready, _, _ = select.select([proc.stdout], [], [], max(0, deadline - time.monotonic()))
                if not ready:
                    raise RuntimeError("the serving driver did not answer within %d s" % timeout)
                chunk = os.read(proc.stdout.fileno(), 65536)
                if not chunk:
                    raise RuntimeError("the serving driver ended (status %s)" % proc.wait())
                out += chunk
        except (RuntimeError, OSError) as e:
            errors.seek(errors_from)
            message = errors.read().decode("utf-8", "replace")[-2000:]
            self.stop_server()
            raise RuntimeError("%s: %s %s" % (e, out.decode("utf-8", "replace"), message))
        status = int(re.search(rb"done (-?\d+)\r?\n", out).group(1))
        errors.seek(errors_from)
        message = errors.read()
        errors.seek(0, os.SEEK_END)
        return status, out[:out.rindex(b"done ")], message

    def stop(self):
        self.stop_server()
        subprocess.run(self.command([WINESERVER, "-k"]), env=self.environment(), check=False)
        subprocess.run(self.command([WINESERVER, "-w"]), env=self.environment(), check=False, timeout=60)
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(timeout=10)
            self.xvfb = None

    def drive_c(self):
        return os.path.join(self.prefix, "drive_c")

    def reset_drive_c(self):
        """Removes what earlier runs left on drive C, keeping the prefix's own folders. A symbolic link is
        removed itself, never what it points to (which may lie outside drive C), and never followed."""
        root = self.drive_c()
        for name in os.listdir(root):
            if name.lower() not in PREFIX_FOLDERS:
                path = os.path.join(root, name)
                if os.path.isdir(path) and not os.path.islink(path):
                    # rmtree removes links inside as links.
                    shutil.rmtree(path)
                else:
                    os.unlink(path)
        for dirpath, _dirs, files in os.walk(root):
            for name in files:
                if name.upper() in self.stray_names:
                    os.unlink(os.path.join(dirpath, name))

    def drive(self, driver, updater, workdir, environment, answers, clear_keys=(), registry=None, held=(),
              args=(), options=(), tz="Asia/Tokyo", extra=None, timeout=120, instances=1):
        """Runs the updater through the driver: (its exit status, its boxes as dicts); raises if the driver fails.
        With instances > 1, that many updaters start at once: ([exit statuses], [boxes of each]).

        environment: the run's own variables (the host's TMP and TEMP never reach it); answers: ok, cancel
        or close for the boxes in order, then OK, for each updater; clear_keys are deleted under
        HKEY_LOCAL_MACHINE before the registry file (host path) is imported; held: Windows paths kept open
        with share mode 0, or (path, shared) pairs, shared ones sharing read, write and delete; the
        driver's files go to workdir, which Wine's user is given, as is drive C."""
        env_file = os.path.join(workdir, "environment.txt")
        with open(env_file, "w", encoding="utf-8", newline="\n") as f:
            for name, value in environment.items():
                f.write("%s=%s\n" % (name, value))
        transcript = os.path.join(workdir, "transcript.jsonl")
        transcripts = [transcript] + ["%s.%d" % (transcript, k) for k in range(2, instances + 1)]
        for path in transcripts:
            if os.path.exists(path):
                os.remove(path)
        command = [driver, "--exe", windows_path_of_host(updater), "--transcript", windows_path_of_host(transcript),
                   "--env", windows_path_of_host(env_file), "--answers", ",".join(answers),
                   # Relative paths (an unexpanded "%SystemDrive%\\...") land on drive C.
                   "--cwd", "C:\\", "--instances", str(instances)]
        for key in clear_keys:
            command += ["--clear-key", key]
        if registry:
            command += ["--registry", windows_path_of_host(registry)]
        if args:
            command += ["--args", " ".join('"%s"' % a if " " in a else a for a in args)]
        for entry in held:
            path, shared = entry if isinstance(entry, tuple) else (entry, False)
            command += ["--hold-shared" if shared else "--hold", path]
        command += list(options)
        self.give(self.drive_c())
        self.give(workdir)
        if self.serve_driver:
            returncode, stdout, stderr = self.served(windows_path_of_host(driver), command[1:], tz, extra, timeout)
        else:
            proc = self.wine(command, tz=tz, extra=extra, timeout=timeout, check=False)
            returncode, stdout, stderr = proc.returncode, proc.stdout, proc.stderr
        out = stdout.decode("utf-8", "replace")
        status = re.search(r"exit((?: \d+)+)", out)
        if returncode != 0 or not status:
            raise RuntimeError("driver failed (%d): %s %s" % (returncode, out, stderr.decode("utf-8", "replace")[-2000:]))
        statuses = [int(n) for n in status.group(1).split()]
        boxes = []
        for path in transcripts:
            boxes.append([])
            if os.path.exists(path):
                with open(path, encoding="utf-8") as f:
                    boxes[-1] = [json.loads(line) for line in f if line.strip()]
        if instances == 1:
            return statuses[0], boxes[0]
        return statuses, boxes
