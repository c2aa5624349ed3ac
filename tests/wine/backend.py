"""The scenario runner's Wine backend: the Windows build of the updater on Wine's implementation of the
Windows API, in the demo's Wine session (demo/wine_session.py) and through its driver.

A scenario's drive C is the prefix's drive C: before each scenario everything a previous one put there
is removed (the prefix's own folders stay), and the product's registry key is deleted and written anew.
The driver holds the scenario's held files open from its own process for the whole run, and the run
lock (or an object squatting its name) when the run asks for it; a run's racers (tests/scenarios/racer.py)
run on the host as Wine's user, from just before the driver to its end.
"""

import contextlib
import os
import re
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "scenarios"))
sys.path.insert(0, os.path.join(HERE, "..", "..", "demo"))
sys.path.insert(0, HERE)
import scenario as sc  # noqa: E402
import resource_patch  # noqa: E402
# The runners take the session from here too.
from wine_session import WineSession, free_display, windows_path_of_host  # noqa: E402,F401

# A crash would start winedbg, which waits for ever: no debugger, so that a crash ends the run.
DLL_OVERRIDES = "mscoree,mshtml=;winedbg.exe=d"
# What the driver keeps of the backend's time for itself: it ends a run that is still going before the
# backend gives up on the driver.
DRIVER_MARGIN_SECONDS = 15


class WineBackend:
    """Runs build/win64/PernaUpdate.exe under Wine through the box-answering driver."""

    name = "wine"

    def __init__(self, session, updater, driver, timeout=120, payloads=None):
        self.session = session
        self.updater = os.path.abspath(updater)
        self.driver = os.path.abspath(driver)
        self.timeout = timeout
        # The payloads the executable carries: the content tokens of files put beside it and of racers.
        self.payloads = payloads

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
        """The driver options that write the scenario's registry: the driver writes its values itself,
        through the view the scenario names, byte for byte (an import with regedit would be one Wine
        process more, and adds a NUL to a string value stored without one)."""
        registry = scenario["registry"]
        if registry is None:
            return []
        path = os.path.join(prepared.sandbox, "registry-values.txt")
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(registry.get("key", sc.APP_PATHS_KEY) + "\n")
            for key, name, kind, data in sc.registry_values(registry):
                f.write("%s\t%s\t%d\t%s\n" % (key, name, kind, data.hex()))
        options = ["--values", windows_path_of_host(path)]
        if registry.get("view"):
            options += ["--view", registry["view"]]
        return options

    def updater_copy(self, scenario, prepared, updater):
        """The executable the run starts: the one given, or, when the scenario changes its resources or puts
        files beside it, a copy in a folder of the sandbox (Z:), with those files beside it."""
        if not scenario["resources"] and not scenario["beside_exe"]:
            return updater
        folder = os.path.join(prepared.sandbox, "program")
        os.makedirs(folder, exist_ok=True)
        copy = os.path.join(folder, "PernaUpdate.exe")
        if scenario["resources"]:
            # Resource overrides: the payload resource changed in place.
            with open(updater, "rb") as f:
                data = resource_patch.patched(f.read(), scenario["resources"])
            with open(copy, "wb") as f:
                f.write(data)
        else:
            shutil.copyfile(updater, copy)
        for relative, token in scenario["beside_exe"].items():
            host = os.path.join(folder, *[p for p in re.split(r"[\\/]", relative) if p])
            os.makedirs(os.path.dirname(host), exist_ok=True)
            data = sc.content_bytes(token, self.payloads)
            with open(host, "wb") as f:
                f.write(data)
            prepared.beside_exe[host] = data
        return copy

    def run(self, scenario, run, prepared, updater=None, extra_env=None):
        """The run's outcome as a RunResult; raises when the driver fails."""
        sandbox = prepared.sandbox
        updater = self.updater_copy(scenario, prepared, updater or self.updater)
        environment = {name: value for name, value in scenario["env"].items() if value is not None}
        answers = ["close"] * 64 if run["answers"] is None else run["answers"]
        clear_keys = [sc.APP_PATHS_KEY]
        registry = scenario["registry"]
        if registry and registry.get("key") and registry["key"].lower() != sc.APP_PATHS_KEY.lower():
            clear_keys.append(registry["key"])
        held = [(self.windows_path(host), shared) for host, shared, _ in prepared.held]
        options = self.registry_options(scenario, prepared)
        # The driver lets go of every hold at once: a timed hold is the scenario's only kind.
        timed = {for_ms for _, _, for_ms in prepared.held}
        if len(timed) > 1:
            raise sc.ScenarioError("%s: the driver holds files either for one given time or for the whole run"
                                   % scenario["name"])
        if timed and None not in timed:
            options += ["--hold-for-ms", str(timed.pop())]
        options += ["--timeout-ms", str((self.timeout - DRIVER_MARGIN_SECONDS) * 1000)]
        if run["run_lock"] == "held":
            options += ["--hold-mutex", sc.RUN_LOCK_NAME]
        elif run["run_lock"] == "squatted":
            options += ["--squat", sc.RUN_LOCK_NAME]
        for name in scenario["pipe_servers"]:
            options += ["--pipe-server", name]
        extra = {"WINEDLLOVERRIDES": DLL_OVERRIDES}
        extra.update(extra_env or {})
        # The racers work as Wine's user, in folders that are already that user's.
        self.session.give(self.session.drive_c())
        self.session.give(sandbox)
        with sc.racing(run, self, prepared, self.payloads, self.session.command, deadline=self.timeout) as report:
            started = time.monotonic()
            exit_code, boxes = self.session.drive(
                self.driver, updater, sandbox, environment, answers, clear_keys=clear_keys,
                options=options, held=held, args=run["args"], tz=scenario["tz"],
                extra=extra, timeout=self.timeout, instances=run["instances"])
            seconds = time.monotonic() - started
        if run["instances"] == 1:
            return sc.RunResult(exit_code, boxes, calls=report, seconds=seconds)
        results = [sc.RunResult(status, shown, seconds=seconds) for status, shown in zip(exit_code, boxes)]
        results[0].calls = report
        results[0].others = results[1:]
        return results[0]
