"""Scenarios in several Wine prefixes at once.

A Wine run spends much of its time waiting: on the run lock's 30-second bound, on Wine starting a
process, on the stand-in. Several prefixes side by side keep the machine's CPUs busy meanwhile. Each
prefix has its own wineserver (the server belongs to the prefix's folder), so its named objects (the
run lock), its registry and its drive C are its own, and scenarios in different prefixes cannot see
each other. The stand-in's runs happen in sandboxes of their own anyway.

run_tasks() hands a list of tasks to forked worker processes, one per prefix; a worker takes the next
task when it has finished one, and prints each task's lines in one piece when the task is done, so
that the output reads as if the tasks had run one after another (in the order they finished).

A task whose run is held to a time (a scenario's within_seconds) is run alone: the others would slow
it down, and then it would measure them. Those tasks come last, in the first prefix, once every other
prefix has stopped.
"""

import contextlib
import io
import multiprocessing
import os
import queue
import shutil
import subprocess
import sys
import time
import traceback


def free_displays(count, first=87):
    """count X display numbers that no server holds, to be given one each to sessions started at once
    (free_display() alone would hand two of them the same one)."""
    found = []
    for n in range(first, 400):
        if not os.path.exists("/tmp/.X%d-lock" % n) and not os.path.exists("/tmp/.X11-unix/X%d" % n):
            found.append(":%d" % n)
            if len(found) == count:
                return found
    raise RuntimeError("fewer than %d free X displays" % count)


def clone_prefix(source, target):
    """A copy of the made prefix source (and the home and locale folders beside it) at target, owners and
    links kept: a prefix of its own without another wineboot. Nothing may be running in source meanwhile."""
    for suffix in ("", "-home", "-locale"):
        if not os.path.isdir(source + suffix):
            continue
        if os.path.lexists(target + suffix):
            shutil.rmtree(target + suffix)
        subprocess.run(["cp", "-a", source + suffix, target + suffix], check=True, stdin=subprocess.DEVNULL)


class Task:
    """One unit of work: run(worker) does it with the worker's state, prints its lines and returns
    (checks ran, checks failed). weight orders the queue: heavier tasks are handed out first, so that a
    long one does not start last while the other prefixes sit idle."""

    def __init__(self, name, run, weight=0, alone=False):
        self.name = name
        self.run = run
        self.weight = weight
        self.alone = alone


def _work(index, tasks, make_worker, todo, alone, done):
    try:
        with make_worker(index) as worker:
            queues = [todo, alone] if index == 0 else [todo]
            while queues:
                number = queues[0].get()
                if number is None:
                    queues.pop(0)
                    continue
                out = io.StringIO()
                started = time.monotonic()
                try:
                    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(out):
                        ran, failed = tasks[number].run(worker)
                except Exception:  # the task's failure, not the worker's
                    out.write("FAIL %s: %s" % (tasks[number].name, traceback.format_exc()))
                    ran, failed = 1, 1
                done.put(("task", index, number, out.getvalue(), ran, failed, time.monotonic() - started))
    except Exception:
        done.put(("worker", index, None, traceback.format_exc(), 0, 0, 0.0))
    finally:
        done.put(("end", index, None, "", 0, 0, 0.0))


def run_tasks(tasks, jobs, make_worker):
    """Runs the tasks in jobs worker processes; make_worker(index) is a context manager giving that
    worker's state (its sessions), entered in the worker before its first task and left after its last.
    A task that no worker could run counts as failed. (ran, failed, busy seconds of each worker)."""
    order = sorted(range(len(tasks)), key=lambda n: -tasks[n].weight)  # stable: equal weights keep their order
    context = multiprocessing.get_context("fork")
    todo, alone, done = context.Queue(), context.Queue(), context.Queue()
    for number in order:
        if not tasks[number].alone:
            todo.put(number)
    for _ in range(jobs):
        todo.put(None)
    sys.stdout.flush()
    sys.stderr.flush()
    workers = [context.Process(target=_work, args=(k, tasks, make_worker, todo, alone, done), daemon=True)
               for k in range(jobs)]
    for w in workers:
        w.start()
    ran = failed = 0
    busy = [0.0] * jobs
    finished = set()
    ended = set()
    alone_given = False
    took = []
    while len(ended) < jobs:
        if not alone_given and ended >= set(range(1, jobs)):
            # Every other prefix has stopped: the first one has the machine to itself.
            for number in order:
                if tasks[number].alone:
                    alone.put(number)
            alone.put(None)
            alone_given = True
        try:
            kind, index, number, text, n, bad, seconds = done.get(timeout=5)
        except queue.Empty:
            if done.empty():
                # A worker that died without a word (killed) has ended; what it held is counted below.
                ended |= {k for k, w in enumerate(workers) if not w.is_alive()}
            continue
        if kind == "end":
            ended.add(index)
            continue
        if kind == "worker":
            print("FAIL prefix %d could not run its tasks:\n%s" % (index + 1, text.rstrip()))
            failed += 1
            continue
        finished.add(number)
        sys.stdout.write(text)
        sys.stdout.flush()
        ran, failed, busy[index] = ran + n, failed + bad, busy[index] + seconds
        took.append((seconds, tasks[number].name))
    for w in workers:
        w.join(timeout=60)
    for number in order:
        if number not in finished:
            print("FAIL %s: not run (no prefix was left to run it)" % tasks[number].name)
            ran, failed = ran + 1, failed + 1
    # Where the time went, for whoever has to make the run shorter.
    for seconds, name in sorted(took, reverse=True)[:8]:
        print("time: %.0f s: %s" % (seconds, name.split(":")[0]))
    return ran, failed, busy
