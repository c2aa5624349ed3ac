"""Whole runs of the updater, described as data (see FORMAT.md): load, prepare, run, check.

load/prepare/check know nothing of how the updater is run; a backend does that. StandinBackend runs
the Linux build on the stand-in platform; the Wine backend (tests/wine/) runs the Windows build.
"""

import contextlib
import datetime
import fcntl
import functools
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zoneinfo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from facts import (APP_PATHS_KEY, CAPTION, CONTAINER_LENGTH_OFFSET, CONTAINER_PREFIX_SIZE, MESSAGES,  # noqa: E402
                   PAYLOAD_LOCAL_TIMES, RUN_LOCK_NAME, STRAY_NAMES, SZDD_HEADER_SIZE, message_id)

DEFAULT_INSTALL_DIR = "C:\\Karyom"
DEFAULT_DIRS = ["C:\\Karyom", "C:\\TEMP", "C:\\WINDOWS"]
DEFAULT_ENV = {"TMP": "C:\\TEMP"}
DEFAULT_TZ = "Asia/Tokyo"
OLD_TIME = "2010-01-01T00:00:00Z"
OLD_INI = "[2010]\r\n1=旧休日0101\r\n".encode("cp932")
TICK_NS = 100
# Leftover names of TMP and TEMP in other cases are removed from the environment of every run.
STAGE_VARIABLES = ("TMP", "TEMP")
RACER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "racer.py")
# What a run may have on its machine besides files: the run lock held by another process, or its name
# taken by an object of another kind.
RUN_LOCK_STATES = ("held", "squatted")


class ScenarioError(Exception):
    pass


class Payloads:
    """Where the built payload files and their containers are."""

    def __init__(self, perna, kalendo, bin1=None, bin2=None):
        self.perna = perna
        self.kalendo = kalendo
        self.containers = {"BIN1": bin1, "BIN2": bin2}


class RunResult:
    def __init__(self, exit_code, transcript, calls=None, box_states=None, others=(), seconds=None):
        self.exit_code = exit_code
        self.transcript = transcript
        self.calls = calls or []
        # How long the run took, from its start to the end of its last updater.
        self.seconds = seconds
        # What each box found as it appeared (the stand-in's record), or None where nobody recorded it.
        self.box_states = box_states
        # The other instances of a run that starts several at once, each a RunResult.
        self.others = list(others)


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
    # A directory is a path, or {"path": ..., "readonly": true}: the runners see paths, and the read-only ones.
    s["readonly_dirs"] = [d["path"] for d in s["dirs"] if isinstance(d, dict) and d.get("readonly")]
    s["held_dirs"] = {d["path"]: d["held"] for d in s["dirs"] if isinstance(d, dict) and d.get("held")}
    s["dirs"] = [d["path"] if isinstance(d, dict) else d for d in s["dirs"]]
    s.setdefault("files", {})
    s.setdefault("links", {})
    s.setdefault("beside_exe", {})
    s.setdefault("drive_letters", True)
    s.setdefault("virtualized", False)
    s.setdefault("final_paths", True)
    s.setdefault("remote_drives", [])
    s.setdefault("pipe_servers", [])
    s.setdefault("resources", {})
    for winpath, link in s["links"].items():
        if not isinstance(link, dict) or len(link) != 1 or next(iter(link)) not in ("symbolic", "hard"):
            raise ScenarioError("%s: link %s: want {\"symbolic\": PATH} or {\"hard\": PATH}" % (s["name"], winpath))
    if "runs" not in s:
        s["runs"] = [{"args": s.get("args", []), "answers": s.get("answers", []), "expect": s.get("expect", {})}]
        for key in ("fault", "racers", "run_lock"):
            if key in s:
                s["runs"][0][key] = s[key]
    for run in s["runs"]:
        run.setdefault("args", [])
        run.setdefault("answers", [])
        run.setdefault("instances", 1)
        run.setdefault("racers", [])
        run.setdefault("run_lock", None)
        if run["run_lock"] not in (None,) + RUN_LOCK_STATES:
            raise ScenarioError("%s: run_lock %r: want one of %s" % (s["name"], run["run_lock"], RUN_LOCK_STATES))
        for racer in run["racers"]:
            if not (("links" in racer or "move" in racer) and "to" in racer) and "swap" not in racer:
                raise ScenarioError("%s: a racer wants \"links\" or \"move\" and \"to\", or \"swap\"" % s["name"])
        expect = run.setdefault("expect", {})
        expect.setdefault("exit", 0)
        expect.setdefault("files", {})
        expect.setdefault("allow_stray", [])
        # One updater: its transcript, or one of several outcomes. Several at once: one transcript each, in any order.
        if run["instances"] > 1:
            if len(expect.get("transcripts", [])) != run["instances"]:
                raise ScenarioError("%s: %d instances want as many expected transcripts" % (s["name"], run["instances"]))
            expect["transcript"] = expect["transcripts"][0]
        elif "outcomes" in expect:
            if "transcript" in expect or len(expect["outcomes"]) < 2:
                raise ScenarioError("%s: outcomes replace the transcript, and want at least two" % s["name"])
            for outcome in expect["outcomes"]:
                outcome.setdefault("files", {})
                outcome.setdefault("allow_stray", [])
        elif "transcript" not in expect:
            raise ScenarioError("%s: a run without an expected transcript" % s["name"])
        transcripts = expect.get("transcripts") or [o["transcript"] for o in expect.get("outcomes", [])] or \
            [expect["transcript"]]
        for transcript in transcripts:
            for ident in transcript:
                if ident not in MESSAGES:
                    raise ScenarioError("%s: unknown message id %s" % (s["name"], ident))
    # What only a Windows backend can set up: refused rather than run half-made on the stand-in.
    wine_only = [key for key in ("links", "pipe_servers") if s[key]]
    wine_only += ["racers" for run in s["runs"] if run["racers"]][:1]
    wine_only += ["run_lock squatted" for run in s["runs"] if run["run_lock"] == "squatted"][:1]
    if wine_only and runs_on(s, "stand-in"):
        raise ScenarioError('%s: the stand-in cannot set up %s: give "backends": ["wine"]' % (s["name"], ", ".join(wine_only)))
    # Wine runs every process elevated as far as the updater can tell: nothing virtualizes its writes.
    # What only the stand-in models: a virtualized token, names that cannot be had, network drives, oplocks,
    # names still being deleted.
    modelled = [key for key in ("virtualized", "remote_drives") if s[key]]
    if not s["final_paths"]:
        modelled.append("final_paths")
    for entry in s["files"].values():
        if isinstance(entry, dict) and entry.get("delete_pending"):
            modelled.append("delete_pending")
        if isinstance(entry, dict) and entry.get("held") == "oplock":
            modelled.append("an oplock")
    if modelled and s["backends"] != ["stand-in"]:
        raise ScenarioError('%s: only the stand-in models %s: give "backends": ["stand-in"]' % (s["name"], modelled[0]))
    return s


def runs_on(scenario, backend_name):
    return scenario["backends"] is None or backend_name in scenario["backends"]


# ---- tokens -------------------------------------------------------------------------------------

def content_bytes(token, payloads):
    """The bytes a content token stands for."""
    return _content_bytes(token, payloads.perna, payloads.kalendo, payloads.containers["BIN1"],
                          payloads.containers["BIN2"])


@functools.lru_cache(maxsize=64)
def _content_bytes(token, perna, kalendo, bin1, bin2):
    """content_bytes, made once for each token and set of payload files: a fault sweep asks thousands of times."""
    payloads = Payloads(perna, kalendo, bin1, bin2)
    m = re.fullmatch(r"new-(tool|ini)(?::(\d+))?", token)
    if m:
        # The payload, or its first N bytes: what a run stopped while expanding it leaves.
        data = read_file(payloads.perna if m.group(1) == "tool" else payloads.kalendo)
        return data if m.group(2) is None else data[:int(m.group(2))]
    if token == "old-ini":
        return OLD_INI
    if token == "empty":
        return b""
    if token.startswith("text:"):
        return token[5:].encode("utf-8")
    m = re.fullmatch(r"staged-(tool|ini)(?::(\d+))?", token)
    if m:
        # The payload's SZDD stream as the run stages it (its container less the prefix), or its first N bytes:
        # what a run stopped while staging leaves.
        stream = read_file(payloads.containers["BIN1" if m.group(1) == "tool" else "BIN2"])[128:]
        return stream if m.group(2) is None else stream[:int(m.group(2))]
    if token == "old-tool" or token.startswith("old-tool:"):
        # By default as long as the new tool: an older build of an accepted size.
        size = int(token.split(":", 1)[1]) if ":" in token else os.path.getsize(payloads.perna)
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
        self.held = []          # (host path, shared, milliseconds or None for the whole run) of the files to hold
        self.readonly_dirs = []  # host paths of directories made read-only
        self.resource_files = {}
        self.links = {}         # Windows path -> ("symbolic" or "hard", host path of the target)
        self.planted_inodes = set()  # (device, inode) of the targets of hard links
        self.beside_exe = {}    # host path -> bytes of the files a backend put beside the executable
        self.oplocked = []      # host paths of files whose holder keeps an oplock it never gives up
        self.delete_pending = []  # host paths of files deleted while held: gone once their hold ends


def held_time(winpath, held):
    """How long a hold lasts: None for the whole run (true, "shared", "oplock"), or {"for_ms": N}'s N."""
    timed = held.get("for_ms") if isinstance(held, dict) else None
    if held not in (True, "shared", "oplock") and (not isinstance(timed, int) or timed <= 0 or set(held) != {"for_ms"}):
        raise ScenarioError("%s: held %r: want true, \"shared\", \"oplock\" or {\"for_ms\": N}" % (winpath, held))
    return timed


def set_time(path, ns):
    os.utime(path, ns=(ns, ns))


def prepare(scenario, backend, sandbox, payloads):
    """Creates the sandbox's directories, files and registry file; returns a Prepared."""
    p = Prepared(sandbox)
    p.payloads = payloads
    tz = p.tz = scenario["tz"]
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
        held = entry.get("held")
        if entry.get("delete_pending"):
            # Deleted while a scanner (sharing everything) has it open for N milliseconds: gone after that.
            held = {"for_ms": entry["delete_pending"].get("for_ms")}
            p.delete_pending.append(host)
        if held:
            p.held.append((host, held in ("shared", "oplock") or host in p.delete_pending, held_time(winpath, held)))
            if held == "oplock":
                p.oplocked.append(host)
        p.before[winpath] = (data, os.stat(host).st_mtime_ns)
    # Links after the files, whose names they may take and to which they may point.
    for winpath, link in scenario["links"].items():
        kind, target_winpath = next(iter(link.items()))
        host = backend.host_path(sandbox, winpath)
        target = backend.host_path(sandbox, target_winpath)
        os.makedirs(os.path.dirname(host), exist_ok=True)
        if kind == "symbolic":
            os.symlink(target, host)
        else:
            os.link(target, host)
            st = os.stat(host)
            p.planted_inodes.add((st.st_dev, st.st_ino))
            p.before[winpath] = (read_file(host), st.st_mtime_ns)
        p.links[winpath] = (kind, target)
    # Held folders, with exclusive access.
    for d, held in scenario["held_dirs"].items():
        p.held.append((backend.host_path(sandbox, d), False, held_time(d, held)))
    # Last, so that the files above could be put in them.
    for d in scenario["readonly_dirs"]:
        host = backend.host_path(sandbox, d)
        os.chmod(host, 0o555)
        p.readonly_dirs.append(host)
    text = registry_text(scenario["registry"])
    if text is not None:
        p.registry_file = os.path.join(sandbox, "registry.reg")
        with open(p.registry_file, "wb") as f:
            f.write(text.encode("cp932"))
    for name, token in scenario["resources"].items():
        p.resource_files[name] = resource_override(name, token, payloads, sandbox)
    return p


def release(prepared):
    """Gives the read-only directories back their write bits, so that the sandbox can be removed."""
    for host in prepared.readonly_dirs:
        os.chmod(host, 0o755)


def first_literal_offset(container):
    """Where the container's stream holds its first literal byte (mode A: a control byte whose bits, from
    the lowest, mark eight items as a literal byte (1) or a two-byte match (0))."""
    at = CONTAINER_PREFIX_SIZE + SZDD_HEADER_SIZE
    while at < len(container):
        control = container[at]
        at += 1
        for bit in range(8):
            if control >> bit & 1:
                return at
            at += 2
    raise ScenarioError("no literal byte in the container")


def resource_override(name, token, payloads, sandbox):
    """A file holding a replacement for a payload resource, or "missing"."""
    if token == "missing":
        return "missing"
    data = read_file(payloads.containers[name])
    m = re.fullmatch(r"cut:(\d+)", token)
    if m:
        data = data[:int(m.group(1))]
    elif token == "flip-literal":
        at = first_literal_offset(data)
        data = data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]
    else:
        m = re.fullmatch(r"length([+-]\d+)", token)
        if not m:
            raise ScenarioError("unknown resource token %r" % token)
        at = CONTAINER_LENGTH_OFFSET
        declared = int.from_bytes(data[at:at + 4], "little") + int(m.group(1))
        data = data[:at] + declared.to_bytes(4, "little") + data[at + 4:]
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


def planted(path, planted_inodes=()):
    """Whether what is at path was put there by the scenario, not by the updater: a symbolic link (the
    updater makes none), or another name of a file that a hard link was planted to."""
    if os.path.islink(path):
        return True
    st = os.lstat(path)
    return (st.st_dev, st.st_ino) in planted_inodes


def stray_files(backend, sandbox, allowed=(), planted_inodes=()):
    """Staged or temporary files left on the sandbox's drives (host paths); what the scenario planted
    under those names is not the run's. Links are never followed."""
    found = []
    allowed = {a.upper() for a in allowed}
    for root in backend.drive_roots(sandbox):
        for dirpath, _dirs, files in os.walk(root):
            for name in files:
                path = os.path.join(dirpath, name)
                if name.upper() in STRAY_NAMES and name.upper() not in allowed and not planted(path, planted_inodes):
                    found.append(path)
    return sorted(found)


def check_files(expected, scenario, backend, prepared, payloads):
    errors = []
    tz = scenario["tz"]
    for winpath, entry in expected.items():
        host = backend.host_path(prepared.sandbox, winpath)
        link = os.readlink(host) if os.path.islink(host) else None
        exists = link is not None or os.path.isfile(host)
        planted_link = prepared.links.get(winpath, (None, None))
        if entry == "unchanged" and planted_link[0] == "symbolic":
            entry = {"symlink": planted_link[1]}
        if entry == "absent":
            # Nothing at all: a folder left behind (an empty tree in a user's store, say) is something.
            if os.path.lexists(host):
                errors.append("%s: should be absent" % winpath)
            continue
        if not exists:
            errors.append("%s: missing" % winpath)
            continue
        if isinstance(entry, dict) and "symlink" in entry:
            target = entry["symlink"]
            target = target if target.startswith("/") else backend.host_path(prepared.sandbox, target)
            if link != target:
                errors.append("%s: should be a symbolic link to %s, is %s" % (winpath, entry["symlink"], link or "a file"))
            continue
        # Anything else is a plain file: bytes read through a link are no file's bytes at that name.
        if link is not None:
            errors.append("%s: a symbolic link to %s, not a file" % (winpath, link))
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


def box_state_errors(result, allowed=()):
    """What the boxes of a run found that they should not have: a handle still open but the installation
    folder's (one folder handle, which the run holds from the confirmation to its end, sharing everything),
    or (but at the confirmation, before which an earlier run's leftovers may lie) a staged or temporary
    file. A failure is told after the clean-up, never before it."""
    errors = []
    allowed = {a.upper() for a in allowed}
    for entry, state in zip(result.transcript, result.box_states or []):
        ident = describe_box(entry)
        folders = [h for h in state["open"] if h.startswith("folder ")]
        for handle in [h for h in state["open"] if h not in folders[:1]]:
            errors.append("%s shown with a handle open: %s" % (ident, handle))
        if ident in ("MsgConfirm", "MsgProductMissing"):
            continue
        for path in state["files"]:
            name = re.split(r"[\\/]", path)[-1].upper()
            if name in STRAY_NAMES and name not in allowed:
                errors.append("%s shown while %s is there" % (ident, path))
    return errors


def check_end_state(transcript, files, allow_stray, scenario, backend, prepared, result, payloads):
    """How the boxes, the files and the strays differ from one expected end of the run."""
    errors = [] if transcript is None else check_transcript(transcript, result.transcript)
    errors += check_files(files, scenario, backend, prepared, payloads)
    for path in stray_files(backend, prepared.sandbox, allow_stray, prepared.planted_inodes):
        errors.append("left behind: %s" % path)
    return errors


def check(scenario, run, backend, prepared, result, payloads):
    """Every way the run's outcome differs from what the scenario expects, as a list of messages."""
    expect = run["expect"]
    errors = []
    results = [result] + result.others
    for r in results:
        if r.exit_code != expect["exit"]:
            errors.append("exit status %s, want %s" % (r.exit_code, expect["exit"]))
    if "within_seconds" in expect and (result.seconds is None or result.seconds > expect["within_seconds"]):
        errors.append("the run took %s s, want at most %s" % (result.seconds, expect["within_seconds"]))
    # A run that nothing holds up ends at once: a wait where no hold is (a status waited out that no time
    # changes) costs it seconds.
    bound = getattr(backend, "plain_run_seconds", None)
    plain = not (prepared.held or prepared.readonly_dirs or run["run_lock"] or run.get("fault") or
                 "within_seconds" in expect)
    if bound and plain and result.seconds is not None and result.seconds > bound:
        errors.append("the run took %.1f s, where nothing holds it up: want at most %s" % (result.seconds, bound))
    allowed = expect["allow_stray"]
    if run["instances"] > 1:
        shown = sorted([describe_box(e) for e in r.transcript] for r in results)
        if shown != sorted(expect["transcripts"]):
            errors.append("transcripts: expected %s in any order, got %s" % (expect["transcripts"], shown))
    if "outcomes" in expect:
        # A race decides which: exactly one must hold in full, on top of what every outcome shares (with the
        # strays the one that holds allows).
        held = []
        misses = []
        for index, outcome in enumerate(expect["outcomes"]):
            own = check_end_state(outcome["transcript"], outcome["files"], allowed + outcome["allow_stray"],
                                  scenario, backend, prepared, result, payloads)
            if own:
                misses.append("outcome %d: %s" % (index + 1, "; ".join(own)))
            else:
                held.append(index)
                allowed = allowed + outcome["allow_stray"]
        if not held:
            errors.append("no outcome holds: " + " | ".join(misses))
        elif len(held) > 1:
            errors.append("outcomes %s all hold: the scenario cannot tell them apart" % [i + 1 for i in held])
        errors += check_end_state(None, expect["files"], allowed, scenario, backend, prepared, result, payloads)
    else:
        transcript = None if run["instances"] > 1 else expect["transcript"]
        errors += check_end_state(transcript, expect["files"], allowed, scenario, backend, prepared, result, payloads)
    # Files beside the executable are the user's decoys: read by nobody, written by nobody.
    for host, data in prepared.beside_exe.items():
        if os.path.islink(host) or not os.path.isfile(host) or read_file(host) != data:
            errors.append("beside the executable: %s changed" % host)
    for r in results:
        for line in r.calls:
            if line.startswith("LEAK"):
                errors.append("handle left open: %s" % line)
        errors += box_state_errors(r, allowed)
    return errors


# ---- what runs beside the updater ---------------------------------------------------------------

def racer_arguments(run, backend, prepared, payloads, deadline):
    """The racer's command line (tests/scenarios/racer.py) for the run's racers, or None when it has none."""
    if not run["racers"]:
        return None
    sandbox = prepared.sandbox
    args = [sys.executable, RACER, "--deadline", str(deadline), "--ready", os.path.join(sandbox, "racer.ready")]
    for index, racer in enumerate(run["racers"]):
        if "links" in racer:
            target = backend.host_path(sandbox, racer["to"])
            for winpath in racer["links"]:
                args += ["--link", backend.host_path(sandbox, winpath), target, racer.get("start", "at-once")]
        elif "move" in racer:
            args += ["--move"] + [backend.host_path(sandbox, racer[key]) for key in ("move", "away", "to", "when")]
            args.append("-" if "when_time" not in racer else str(time_ns(racer["when_time"], prepared.tz) // TICK_NS))
        else:
            foreign = os.path.join(sandbox, "racer-foreign-%d" % index)
            with open(foreign, "wb") as f:
                f.write(content_bytes(racer.get("content", "text:foreign"), payloads))
            when = "-" if "when_time" not in racer else str(time_ns(racer["when_time"], prepared.tz) // TICK_NS)
            away = backend.host_path(sandbox, racer.get("away", "C:\\Racer"))
            read = "read" if racer.get("when_read") else "-"
            args += ["--swap", backend.host_path(sandbox, racer["swap"]), foreign, away, when, read]
    return args


@contextlib.contextmanager
def racing(run, backend, prepared, payloads, command=lambda args: args, deadline=120):
    """Runs the run's racers for as long as the context is active: started, and in place, on entry;
    stopped on exit. Yields the list that receives the racer's report lines."""
    args = racer_arguments(run, backend, prepared, payloads, deadline)
    report = []
    if args is None:
        yield report
        return
    ready = args[args.index("--ready") + 1]
    if os.path.exists(ready):
        os.remove(ready)
    proc = subprocess.Popen(command(args), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        started = time.monotonic()
        while not os.path.exists(ready):
            if proc.poll() is not None or time.monotonic() - started > 30:
                raise ScenarioError("the racer did not start: %s" % proc.stdout.read().decode("utf-8", "replace"))
            time.sleep(0.01)
        yield report
    finally:
        proc.terminate()
        out, _ = proc.communicate(timeout=30)
        report += out.decode("utf-8", "replace").splitlines()


# ---- the stand-in -------------------------------------------------------------------------------

class StandinBackend:
    """Runs the Linux build of the updater on the stand-in platform, one drive directory per letter."""

    name = "stand-in"
    # How long a run may take that nothing holds up (no held file or folder, no read-only folder, no run
    # lock, no fault): it takes a few hundredths of a second.
    plain_run_seconds = 2.5
    # Where the executable runs from when the scenario puts files beside it.
    executable = "C:\\Downloads\\PernaUpdate.exe"

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
    def hold(self, host_path, shared=False, for_ms=None, deleted=False):
        """Holds the file or folder from this process, which is not the updater's: with an exclusive lock, or
        with a shared one, which the stand-in takes for an open that shares everything; for_ms: let go after
        that many milliseconds (a timer thread), else at the end; deleted: the file goes when let go, as a
        file deleted while held does."""
        fd = os.open(host_path, os.O_RDONLY)
        released = []

        def release():
            if not released:
                released.append(1)
                fcntl.flock(fd, fcntl.LOCK_UN)
                if deleted:
                    os.unlink(host_path)
        try:
            fcntl.flock(fd, fcntl.LOCK_SH if shared else fcntl.LOCK_EX)
            timer = threading.Timer(for_ms / 1000.0, release) if for_ms else None
            if timer:
                timer.start()
            try:
                yield
            finally:
                if timer:
                    timer.cancel()
                    timer.join()
                release()
        finally:
            os.close(fd)

    @contextlib.contextmanager
    def hold_run_lock(self, prepared):
        """Holds the run lock from this process, as the stand-in's owner of a named mutex holds it: its
        file in the machine's directory locked. Not marked as owned, so that it is not abandoned when let go."""
        path = os.path.join(prepared.sandbox, "mutex-" + RUN_LOCK_NAME.encode("ascii").hex())
        with open(path, "ab") as f:
            fcntl.flock(f.fileno(), fcntl.LOCK_EX)
            try:
                yield
            finally:
                fcntl.flock(f.fileno(), fcntl.LOCK_UN)

    def environment(self, scenario, run, prepared, extra_env=None):
        env = {k: v for k, v in os.environ.items()
               if k.upper() not in STAGE_VARIABLES and not k.startswith("WINSTUB_")}
        env["TZ"] = scenario["tz"]
        if not scenario["drive_letters"]:
            env["WINSTUB_NO_DRIVE_LETTERS"] = "1"
        if scenario["virtualized"]:
            env["WINSTUB_VIRTUALIZED"] = "1"
        if not scenario["final_paths"]:
            env["WINSTUB_NO_FINAL_PATHS"] = "1"
        env["WINSTUB_REMOTE_DRIVES"] = "".join(scenario["remote_drives"])
        env["WINSTUB_OPLOCKED"] = "\n".join(prepared.oplocked)
        env["WINSTUB_DELETE_PENDING"] = "\n".join(prepared.delete_pending)
        if scenario["beside_exe"]:
            env["WINSTUB_EXECUTABLE"] = self.executable
        for letter in "CDEFGH":
            root = os.path.join(prepared.sandbox, "drive-" + letter)
            env["WINSTUB_DRIVE_" + letter] = root
        if prepared.registry_file:
            env["WINSTUB_REGISTRY"] = prepared.registry_file
        env["WINSTUB_TRANSCRIPT"] = os.path.join(prepared.sandbox, "transcript.jsonl")
        env["WINSTUB_CALLS"] = os.path.join(prepared.sandbox, "calls.txt")
        env["WINSTUB_BOX_STATE"] = os.path.join(prepared.sandbox, "box-state.jsonl")
        # The sandbox is one machine: runs on it share its named objects (the updater's run lock).
        env["WINSTUB_MACHINE"] = prepared.sandbox
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

    def put_beside_executable(self, scenario, prepared):
        """The scenario's files beside the executable (in its folder on drive C), once."""
        folder = self.host_path(prepared.sandbox, self.executable.rsplit("\\", 1)[0])
        for relative, token in scenario["beside_exe"].items():
            host = os.path.join(folder, *[part for part in re.split(r"[\\/]", relative) if part])
            if host not in prepared.beside_exe:
                os.makedirs(os.path.dirname(host), exist_ok=True)
                data = content_bytes(token, prepared.payloads)
                with open(host, "wb") as f:
                    f.write(data)
                prepared.beside_exe[host] = data

    def run(self, scenario, run, prepared, extra_env=None, quiet=False):
        env = self.environment(scenario, run, prepared, extra_env)
        # Several instances at once each get their own records; they share the machine and its run lock.
        instances = []
        for k in range(run["instances"]):
            own = dict(env)
            if k > 0:
                for name in ("WINSTUB_TRANSCRIPT", "WINSTUB_CALLS", "WINSTUB_BOX_STATE"):
                    own[name] = "%s.%d" % (env[name], k + 1)
            for name in ("WINSTUB_TRANSCRIPT", "WINSTUB_CALLS", "WINSTUB_BOX_STATE"):
                if os.path.exists(own[name]):
                    os.remove(own[name])
            instances.append(own)
        if run["racers"] or run["run_lock"] not in (None, "held"):
            raise ScenarioError("the stand-in runs no racers and squats no names")
        self.put_beside_executable(scenario, prepared)
        with contextlib.ExitStack() as stack:
            for host, shared, for_ms in prepared.held:
                stack.enter_context(self.hold(host, shared, for_ms, host in prepared.delete_pending))
            if run["run_lock"] == "held":
                stack.enter_context(self.hold_run_lock(prepared))
            # Started in the root of drive C, where the Wine driver starts the updater: relative paths (an
            # unexpanded "%SystemDrive%\\...") resolve there on both.
            drive_c = os.path.join(prepared.sandbox, "drive-C")
            os.makedirs(drive_c, exist_ok=True)
            started = time.monotonic()
            procs = [subprocess.Popen([self.binary] + list(run["args"]), env=own, stdin=subprocess.DEVNULL, cwd=drive_c,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE) for own in instances]
            outputs = []
            for proc in procs:
                try:
                    outputs.append(proc.communicate(timeout=max(1, self.timeout - (time.monotonic() - started))))
                except subprocess.TimeoutExpired:
                    # One that never ends (waiting for ever, say) is ended here and reported by its status.
                    proc.kill()
                    out, err = proc.communicate()
                    outputs.append((out, err + b"stand-in: the updater did not finish; killed\n"))
            seconds = time.monotonic() - started
        results = []
        for proc, (_out, err), own in zip(procs, outputs, instances):
            if err and not quiet:
                sys.stderr.write(err.decode("utf-8", "replace"))
            results.append(RunResult(proc.returncode, read_json_lines(own["WINSTUB_TRANSCRIPT"]),
                                     read_lines(own["WINSTUB_CALLS"]), read_json_lines(own["WINSTUB_BOX_STATE"]),
                                     seconds=seconds))
        first = results[0]
        first.others = results[1:]
        return first


def read_json_lines(path):
    """The JSON values of a JSON Lines file, or [] when there is none."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8", errors="replace") as f:
        return [line.rstrip("\n") for line in f]


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
        try:
            for index, run in enumerate(scenario["runs"]):
                result = backend.run(scenario, run, prepared)
                for e in check(scenario, run, backend, prepared, result, payloads):
                    errors.append(("run %d: " % (index + 1) if len(scenario["runs"]) > 1 else "") + e)
        finally:
            release(prepared)
        if keep:
            errors.append("sandbox kept at %s" % sandbox) if errors else None
        return errors
