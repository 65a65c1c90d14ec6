"""A fresh process per length and memory mode, and the progress display of the whole run.

Every list length is measured in a fresh process of its own (this command with --worker), which
makes the data and reports its figures as JSON lines on its standard output. The headline
figures come from a process with the allocator's own settings, as a user's program runs; a
second process per length may keep freed memory instead (GLIBC_TUNABLES), as a process that
sorts again and again does.
"""

import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

from .measure import measure_size

# What a fresh process runs: the command's own script, which finds this package beside it.
ENTRY = Path(__file__).resolve().parent.parent / "bench.py"

# The C library's allocator keeps every freed block for reuse instead of handing it back to the
# system. A page that a process gives back and maps again costs a fault on every run, and on a
# virtual machine that hands freed pages to its host such a fault can cost more than sorting
# the page's elements: the "warm" figures show what is left without them.
WARM_MEMORY_TUNABLES = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736"
MEMORY_MODES = ("default", "warm")  # the headline first


def memory_mode(environ=os.environ):
    return "warm" if WARM_MEMORY_TUNABLES in environ.get("GLIBC_TUNABLES", "") else "default"


def memory_modes(choice, libc=None):
    """The memory modes to measure, the headline first; warm needs glibc's tunables."""
    modes = list(MEMORY_MODES) if choice == "both" else [choice]
    if (libc or platform.libc_ver()[0]) != "glibc" and "warm" in modes:
        print("the C library is not glibc: no warm-memory figures", file=sys.stderr)
        modes.remove("warm")
    return modes


def worker_environment(memory, environ=os.environ):
    """The environment of a fresh process per size. The tunables apply from a process's start;
    the default process gets none at all, as a user's program."""
    environment = {k: v for k, v in environ.items() if k != "GLIBC_TUNABLES"}
    if memory == "warm":
        environment["GLIBC_TUNABLES"] = WARM_MEMORY_TUNABLES
    return environment


def progress_mode(quiet, stream=sys.stderr):
    """A line redrawn in place on a terminal; elsewhere (a log, CI) one line per step done."""
    if quiet:
        return None
    return "terminal" if stream.isatty() else "lines"


class Progress:
    def __init__(self, total, mode, stream=sys.stderr):
        self.total, self.done, self.mode, self.stream = total, 0, mode, stream
        self.start = time.perf_counter()

    def _prefix(self):
        return f"[{self.done}/{self.total} {time.perf_counter() - self.start:6.0f}s]"

    def show(self, text):
        if self.mode == "terminal":
            self.stream.write(f"\r{self._prefix()} {text:60.60}")
            self.stream.flush()

    def step(self, text):
        self.done += 1
        if self.mode == "lines":
            self.stream.write(f"{self._prefix()} {text}\n")
            self.stream.flush()

    def finish(self):
        if self.mode == "terminal":
            self.stream.write("\r" + " " * 80 + "\r")


def worker_main(config_text):
    """The body of a fresh process: figures as one JSON object per line on the original
    standard output, which nothing else may write to."""
    channel = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)

    def report(event):
        channel.write(json.dumps(event) + "\n")

    report({"rows": measure_size(json.loads(config_text), report)})
    channel.close()


def run_size(config, memory, progress):
    """Measures one length in a fresh process of the given memory mode."""
    command = [sys.executable, str(ENTRY), "--worker", json.dumps(dict(config, memory=memory))]
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True,
                          env=worker_environment(memory)) as process:
        rows = None
        for line in process.stdout:
            event = json.loads(line)
            if "round" in event:
                progress.show(f"{memory}: {event['round']}")
            elif "done" in event:
                progress.step(event["done"])
            else:
                rows = event["rows"]
    if process.returncode != 0 or rows is None:
        progress.finish()
        raise SystemExit(f"the process measuring n={config['n']:,} with {memory} memory "
                         f"failed (exit status {process.returncode})")
    return rows

