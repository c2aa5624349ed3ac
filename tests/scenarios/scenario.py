"""Whole runs of the updater, described as data (see FORMAT.md): load, prepare, run, check.

load/prepare/check know nothing of how the updater is run; a backend does that. StandInBackend runs
the Linux build on the stand-in platform; the Wine backend (tests/wine/) runs the Windows build.
"""

import contextlib
import datetime
import fcntl
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zoneinfo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from messages import CAPTION, MESSAGES, message_id  # noqa: E402

APP_PATHS_KEY = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\KaryomWin.exe"
DEFAULT_INSTALL_DIR = "C:\\Karyom"
DEFAULT_DIRS = ["C:\\Karyom", "C:\\TEMP", "C:\\WINDOWS"]
DEFAULT_ENV = {"TMP": "C:\\TEMP"}
DEFAULT_TZ = "Asia/Tokyo"
OLD_TIME = "2010-01-01T00:00:00Z"
# Files that no run may leave behind: the staged payloads and the temporary files beside the targets.
STRAY_NAMES = ("PERNA.EX_", "KALENDO.IN_", "PERNA.E$_", "KALENDO.I$_")
# Local times the payloads carry (row 1, row 2).
PAYLOAD_LOCAL_TIMES = {"payload": (2015, 4, 21, 19, 50, 50), "payload2": (2015, 4, 30, 13, 49, 6)}
OLD_TOOL_SIZE = 610361
OLD_INI = "[2010]\r\n1=旧休日0101\r\n".encode("cp932")
TICK_NS = 100
# Leftover names of TMP and TEMP in other cases are removed from the environment of every run.
STAGE_VARIABLES = ("TMP", "TEMP")


class ScenarioError(Exception):
    pass


class Payloads:
    """Where the built payload files and their containers are."""

    def __init__(self, perna, kalendo, bin1=None, bin2=None):
        self.perna = perna
        self.kalendo = kalendo
        self.containers = {"BIN1": bin1, "BIN2": bin2}


class RunResult:
    def __init__(self, exit_code, transcript, calls=None):
        self.exit_code = exit_code
        self.transcript = transcript
        self.calls = calls or []


def load(path):
    """The scenario in the file, with every default filled in."""
    with open(path, encoding="utf-8") as f:
        s = json.load(f)
    s.setdefault("name", os.path.splitext(os.path.basename(path))[0])
    s.setdefault("description", "")
    s.setdefault("backends", None)
    s.setdefault("tz", DEFAULT_TZ)
    if "registry" not in s:
        s["registry"] = {"values": {"Path": DEFAULT_INSTALL_DIR}}
    s.setdefault("env", dict(DEFAULT_ENV))
    s.setdefault("dirs", list(DEFAULT_DIRS))
    s.setdefault("files", {})
    s.setdefault("resources", {})
    if "runs" not in s:
        s["runs"] = [{"args": s.get("args", []), "answers": s.get("answers", []), "expect": s.get("expect", {})}]
        if "fault" in s:
            s["runs"][0]["fault"] = s["fault"]
    for run in s["runs"]:
        run.setdefault("args", [])
        run.setdefault("answers", [])
        expect = run.setdefault("expect", {})
        expect.setdefault("exit", 0)
        expect.setdefault("files", {})
        expect.setdefault("allow_stray", [])
        if "transcript" not in expect:
            raise ScenarioError("%s: a run without an expected transcript" % s["name"])
        for ident in expect["transcript"]:
            if ident not in MESSAGES:
                raise ScenarioError("%s: unknown message id %s" % (s["name"], ident))
    return s


def runs_on(scenario, backend_name):
    return scenario["backends"] is None or backend_name in scenario["backends"]


# ---- tokens -------------------------------------------------------------------------------------

def content_bytes(token, payloads):
    """The bytes a content token stands for."""
    if token == "new-tool":
        return read_file(payloads.perna)
    if token == "new-ini":
        return read_file(payloads.kalendo)
    if token == "old-ini":
        return OLD_INI
    if token == "empty":
        return b""
    if token.startswith("text:"):
        return token[5:].encode("utf-8")
    if token == "old-tool" or token.startswith("old-tool:"):
        size = int(token.split(":", 1)[1]) if ":" in token else OLD_TOOL_SIZE
        pattern = b"OLD PERNA BUILD \x00\x01\x02\x03"
        return (pattern * (size // len(pattern) + 1))[:size]
    raise ScenarioError("unknown content token %r" % token)


def local_to_utc_ns(parts, tz):
    """A local wall-clock time converted with the zone's offset in force now, as Windows converts it."""
    zone = zoneinfo.ZoneInfo(tz)
    offset = datetime.datetime.now(zone).utcoffset()
    naive = datetime.datetime(*parts)
    utc = naive - offset
    epoch = datetime.datetime(1970, 1, 1)
    delta = utc - epoch
    return (delta.days * 86400 + delta.seconds) * 1_000_000_000 + delta.microseconds * 1000


def time_ns(token, tz):
    """Nanoseconds since 1970 (a multiple of 100) for a time token."""
    m = re.fullmatch(r"(payload2?)([+-]\d+)tick", token)
    if m:
        return local_to_utc_ns(PAYLOAD_LOCAL_TIMES[m.group(1)], tz) + int(m.group(2)) * TICK_NS
    if token in PAYLOAD_LOCAL_TIMES:
        return local_to_utc_ns(PAYLOAD_LOCAL_TIMES[token], tz)
    if token == "old":
        token = OLD_TIME
    m = re.fullmatch(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d{1,7}))?Z", token)
    if not m:
        raise ScenarioError("unknown time token %r" % token)
    whole = datetime.datetime(*(int(m.group(i)) for i in range(1, 7)), tzinfo=datetime.timezone.utc)
    fraction = int((m.group(7) or "0").ljust(7, "0"))
    return int(whole.timestamp()) * 1_000_000_000 + fraction * TICK_NS


def read_file(path):
    with open(path, "rb") as f:
        return f.read()


def file_entry(entry):
    return entry if isinstance(entry, dict) else {"content": entry}


# ---- registry -----------------------------------------------------------------------------------

def _reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _padded_text(value):
    """The text of a {"sz", "pad_to", "fill"} value."""
    text = value["sz"]
    fill = value.get("fill", "A")
    while len(text.encode("cp932")) < value.get("pad_to", 0):
        text += fill
    return text


def registry_text(registry):
    """The REGEDIT4 text (a str) for a scenario's registry, or None for an empty registry."""
    if registry is None:
        return None
    lines = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\%s]" % registry.get("key", APP_PATHS_KEY)]
    for name, value in registry.get("values", {}).items():
        if isinstance(value, str):
            lines.append("%s=%s" % (_reg_string(name), _reg_string(value)))
        elif "sz" in value:
            lines.append("%s=%s" % (_reg_string(name), _reg_string(_padded_text(value))))
        else:
            data = bytes.fromhex(value["hex"])
            kind = value.get("type", 3)
            prefix = "hex" if kind == 3 else "hex(%x)" % kind
            lines.append("%s=%s:%s" % (_reg_string(name), prefix, ",".join("%02x" % b for b in data)))
    return "\r\n".join(lines) + "\r\n"


def registry_values(registry):
    """[(key, name, type, data)] for a scenario's registry ([] for an empty one): the bytes as the REGEDIT4
    file gives them, strings in code page 932 with their NUL, raw values exactly as written."""
    if registry is None:
        return []
    key = registry.get("key", APP_PATHS_KEY)
    values = []
    for name, value in registry.get("values", {}).items():
        if isinstance(value, str):
            values.append((key, name, 1, value.encode("cp932") + b"\0"))
        elif "sz" in value:
            values.append((key, name, 1, _padded_text(value).encode("cp932") + b"\0"))
        else:
            values.append((key, name, value.get("type", 3), bytes.fromhex(value["hex"])))
    return values


# ---- sandbox ------------------------------------------------------------------------------------

class Prepared:
    """A sandbox ready for a run: what was there before, and what stays held during it."""

    def __init__(self, sandbox):
        self.sandbox = sandbox
        self.registry_file = None
        self.before = {}        # Windows path -> (bytes, mtime_ns)
        self.held = []          # host paths to hold during the run
        self.resource_files = {}


def set_time(path, ns):
    os.utime(path, ns=(ns, ns))


def prepare(scenario, backend, sandbox, payloads):
    """Creates the sandbox's directories, files and registry file; returns a Prepared."""
    p = Prepared(sandbox)
    tz = scenario["tz"]
    for d in scenario["dirs"]:
        os.makedirs(backend.host_path(sandbox, d), exist_ok=True)
    for winpath, entry in scenario["files"].items():
        entry = file_entry(entry)
        host = backend.host_path(sandbox, winpath)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        data = content_bytes(entry["content"], payloads)
        with open(host, "wb") as f:
            f.write(data)
        set_time(host, time_ns(entry.get("time", "old"), tz))
        if entry.get("readonly"):
            os.chmod(host, 0o444)
        if entry.get("held"):
            p.held.append(host)
        p.before[winpath] = (data, os.stat(host).st_mtime_ns)
    text = registry_text(scenario["registry"])
    if text is not None:
        p.registry_file = os.path.join(sandbox, "registry.reg")
        with open(p.registry_file, "wb") as f:
            f.write(text.encode("cp932"))
    for name, token in scenario["resources"].items():
        p.resource_files[name] = resource_override(name, token, payloads, sandbox)
    return p


def resource_override(name, token, payloads, sandbox):
    """A file holding a replacement for a payload resource, or "missing"."""
    if token == "missing":
        return "missing"
    data = read_file(payloads.containers[name])
    m = re.fullmatch(r"cut:(\d+)", token)
    if m:
        data = data[:int(m.group(1))]
    else:
        m = re.fullmatch(r"length([+-]\d+)", token)
        if not m:
            raise ScenarioError("unknown resource token %r" % token)
        declared = int.from_bytes(data[138:142], "little") + int(m.group(1))
        data = data[:138] + declared.to_bytes(4, "little") + data[142:]
    path = os.path.join(sandbox, "resource-%s.bin" % name)
    with open(path, "wb") as f:
        f.write(data)
    return path


# ---- checks -------------------------------------------------------------------------------------

def describe_box(entry):
    ident = message_id(entry.get("text"), entry.get("style"))
    if ident is None:
        return "?(text=%r style=%r)" % (entry.get("text"), entry.get("style"))
    if entry.get("caption") != CAPTION:
        return "%s(caption=%r)" % (ident, entry.get("caption"))
    return ident


def check_transcript(expected_ids, transcript):
    shown = [describe_box(e) for e in transcript]
    if shown != list(expected_ids):
        return ["transcript: expected %s, got %s" % (list(expected_ids), shown)]
    return []


def stray_files(backend, sandbox, allowed=()):
    """Staged or temporary files left on the sandbox's drives (host paths)."""
    found = []
    allowed = {a.upper() for a in allowed}
    for root in backend.drive_roots(sandbox):
        for dirpath, _dirs, files in os.walk(root):
            for name in files:
                if name.upper() in STRAY_NAMES and name.upper() not in allowed:
                    found.append(os.path.join(dirpath, name))
    return sorted(found)


def check_files(expected, scenario, backend, prepared, payloads):
    errors = []
    tz = scenario["tz"]
    for winpath, entry in expected.items():
        host = backend.host_path(prepared.sandbox, winpath)
        exists = os.path.isfile(host)
        if entry == "absent":
            if exists:
                errors.append("%s: should be absent" % winpath)
            continue
        if not exists:
            errors.append("%s: missing" % winpath)
            continue
        data = read_file(host)
        mtime = os.stat(host).st_mtime_ns
        if entry == "unchanged":
            before = prepared.before.get(winpath)
            if before is None:
                errors.append("%s: 'unchanged' but it was not there before" % winpath)
            elif data != before[0] or mtime // TICK_NS != before[1] // TICK_NS:
                errors.append("%s: changed (%d bytes, mtime %d)" % (winpath, len(data), mtime))
            continue
        entry = file_entry(entry)
        want = content_bytes(entry["content"], payloads)
        if data != want:
            errors.append("%s: content is not %s (%d bytes, want %d)" % (winpath, entry["content"], len(data), len(want)))
        if "time" in entry:
            want_ns = time_ns(entry["time"], tz)
            if mtime // TICK_NS != want_ns // TICK_NS:
                errors.append("%s: last-write time %d ns, want %d ns (%s)" % (winpath, mtime, want_ns, entry["time"]))
    return errors


def check(scenario, run, backend, prepared, result, payloads):
    """Every way the run's outcome differs from what the scenario expects, as a list of messages."""
    expect = run["expect"]
    errors = []
    if result.exit_code != expect["exit"]:
        errors.append("exit status %s, want %s" % (result.exit_code, expect["exit"]))
    errors += check_transcript(expect["transcript"], result.transcript)
    errors += check_files(expect["files"], scenario, backend, prepared, payloads)
    for path in stray_files(backend, prepared.sandbox, expect["allow_stray"]):
        errors.append("left behind: %s" % path)
    for line in result.calls:
        if line.startswith("LEAK"):
            errors.append("handle left open: %s" % line)
    return errors


# ---- the stand-in -------------------------------------------------------------------------------

class StandInBackend:
    """Runs the Linux build of the updater on the stand-in platform, one drive directory per letter."""

    name = "stand-in"

    def __init__(self, binary, timeout=120):
        self.binary = binary
        self.timeout = timeout

    def host_path(self, sandbox, winpath):
        m = re.fullmatch(r"([A-Za-z]):(.*)", winpath)
        if not m:
            raise ScenarioError("not a drive path: %r" % winpath)
        rest = [part for part in re.split(r"[\\/]", m.group(2)) if part]
        return os.path.join(sandbox, "drive-" + m.group(1).upper(), *rest)

    def drive_roots(self, sandbox):
        return [os.path.join(sandbox, d) for d in sorted(os.listdir(sandbox)) if d.startswith("drive-")]

    @contextlib.contextmanager
    def hold(self, host_path):
        """Holds the file with an exclusive lock from this process, which is not the updater's."""
        with open(host_path, "rb") as f:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(f.fileno(), fcntl.LOCK_UN)

    def environment(self, scenario, run, prepared, extra_env=None):
        env = {k: v for k, v in os.environ.items()
               if k.upper() not in STAGE_VARIABLES and not k.startswith("WINSTUB_")}
        env["TZ"] = scenario["tz"]
        for letter in "CDEFGH":
            root = os.path.join(prepared.sandbox, "drive-" + letter)
            env["WINSTUB_DRIVE_" + letter] = root
        if prepared.registry_file:
            env["WINSTUB_REGISTRY"] = prepared.registry_file
        env["WINSTUB_TRANSCRIPT"] = os.path.join(prepared.sandbox, "transcript.jsonl")
        env["WINSTUB_CALLS"] = os.path.join(prepared.sandbox, "calls.txt")
        if run["answers"] is not None:
            env["WINSTUB_ANSWERS"] = ",".join(run["answers"])
        for name, value in scenario["env"].items():
            if value is not None:
                env[name] = value
        for name, path in prepared.resource_files.items():
            env["WINSTUB_RESOURCE_" + name] = path
        if run.get("fault"):
            env["WINSTUB_FAULT"] = run["fault"]
        env.update(extra_env or {})
        return env

    def run(self, scenario, run, prepared, extra_env=None):
        env = self.environment(scenario, run, prepared, extra_env)
        for path in (env["WINSTUB_TRANSCRIPT"], env["WINSTUB_CALLS"]):
            if os.path.exists(path):
                os.remove(path)
        with contextlib.ExitStack() as stack:
            for host in prepared.held:
                stack.enter_context(self.hold(host))
            # Relative paths (an unexpanded "%SystemDrive%\\...") resolve inside the sandbox.
            proc = subprocess.run([self.binary] + list(run["args"]), env=env, stdin=subprocess.DEVNULL,
                                  cwd=prepared.sandbox,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=self.timeout)
        if proc.stderr:
            sys.stderr.write(proc.stderr.decode("utf-8", "replace"))
        transcript = []
        if os.path.exists(env["WINSTUB_TRANSCRIPT"]):
            with open(env["WINSTUB_TRANSCRIPT"], encoding="utf-8") as f:
                transcript = [json.loads(line) for line in f if line.strip()]
        calls = []
        if os.path.exists(env["WINSTUB_CALLS"]):
            with open(env["WINSTUB_CALLS"], encoding="utf-8", errors="replace") as f:
                calls = [line.rstrip("\n") for line in f]
        return RunResult(proc.returncode, transcript, calls)


# ---- driving ------------------------------------------------------------------------------------

@contextlib.contextmanager
def sandbox_dir(keep=False):
    path = tempfile.mkdtemp(prefix="updater-scenario-")
    try:
        yield path
    finally:
        if not keep:
            shutil.rmtree(path, ignore_errors=True)


def run_scenario(scenario, backend, payloads, keep=False):
    """Prepares a fresh sandbox, runs every run of the scenario, checks each; the list of failures."""
    with sandbox_dir(keep) as sandbox:
        prepared = prepare(scenario, backend, sandbox, payloads)
        errors = []
        for index, run in enumerate(scenario["runs"]):
            result = backend.run(scenario, run, prepared)
            for e in check(scenario, run, backend, prepared, result, payloads):
                errors.append(("run %d: " % (index + 1) if len(scenario["runs"]) > 1 else "") + e)
        if keep:
            errors.append("sandbox kept at %s" % sandbox) if errors else None
        return errors
