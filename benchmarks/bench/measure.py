"""Measurement within one process: every path of every distribution at one length, over
alternated rounds, beside the kernel-only limit of the native steps.

Every path runs once per round, in an order shuffled afresh every round, and the best of the
rounds is kept, so that a ratio is not skewed by which side ran while the machine was busy; the
minor page faults of every call are counted as well. The kernel-only limit comes from a C++
program (benchmarks/nucleos_bench.cpp, built here from the repository's own kernels) that runs
the native steps over the same values with no interpreter.
"""

import array
import gc
import hashlib
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc
from pathlib import Path

from .distributions import DISTRIBUTIONS, data_rng
from .paths import KEY, build_paths, check_result, gives, is_native, strategy_of

ROOT = Path(__file__).resolve().parents[2]  # the repository
REFERENCE_N = 10**6


def build_kernel_bench(build_dir):
    """Compiles the kernel-only benchmark with the module's release flags; None without a
    compiler. The binary is named after a hash of its sources, so it is rebuilt on a change."""
    sources = [ROOT / "benchmarks" / "nucleos_bench.cpp",
               ROOT / "src" / "vesksort_native" / "nucleo_radix.cpp",
               ROOT / "src" / "vesksort_native" / "nucleo_contagem.cpp"]
    headers = [ROOT / "src" / "vesksort_native" / name for name in ("vesksort.h", "recursos.h")]
    digest = hashlib.sha1(b"".join(p.read_bytes() for p in sources + headers)).hexdigest()[:12]
    binary = build_dir / f"nucleos_bench-{digest}"
    if binary.exists():
        return binary
    build_dir.mkdir(parents=True, exist_ok=True)
    compiler = os.environ.get("CXX", "g++")
    command = [compiler, "-O3", "-DNDEBUG", "-std=c++20", "-Wall", "-Wextra", "-Wpedantic",
               "-fno-exceptions", "-fno-rtti", f"-I{ROOT / 'src' / 'vesksort_native'}",
               f"-I{sysconfig.get_paths()['include']}", *map(str, sources), "-o", str(binary)]
    try:
        subprocess.run(command, check=True, capture_output=True, text=True)
    except (OSError, subprocess.CalledProcessError) as error:
        detail = getattr(error, "stderr", "") or error
        print(f"kernel-only benchmark not built ({compiler}): {detail}", file=sys.stderr)
        return None
    return binary


class KernelLimit:
    """Runs the kernel-only benchmark over one list of values; keeps the best of each step."""

    def __init__(self, binary, values, mode, work_dir):
        self.binary, self.mode = binary, mode
        handle, self.file = tempfile.mkstemp(suffix=".i64", dir=work_dir)
        # The rank of each object's address among the distinct objects: the stand-ins of the
        # C++ program are laid out as the ints themselves lie in memory.
        ranks = {address: rank for rank, address in enumerate(sorted({id(v) for v in values}))}
        with os.fdopen(handle, "wb") as output:
            array.array("q", values).tofile(output)
            array.array("q", (ranks[id(v)] for v in values)).tofile(output)
        self.best = {}
        self.info = {}

    def run(self, repeats):
        output = subprocess.run([str(self.binary), self.file, self.mode, str(repeats)],
                                check=True, capture_output=True, text=True).stdout
        figures = json.loads(output)
        self.info = {k: figures[k] for k in ("algorithm", "passes")}
        for piece in ("copy", "scan", "order", "write_back", "touch"):
            self.best[piece] = min(self.best.get(piece, float("inf")), figures[piece])

    def close(self):
        os.unlink(self.file)


MAX_ROUNDS = 30
GROUP_BUDGET_S = 1.0


def rounds_for(n, rounds):
    """Short runs get more rounds: their best time is otherwise at the mercy of the noise."""
    return max(rounds, min(MAX_ROUNDS, rounds * REFERENCE_N // max(n, 1)))


def _minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def time_group(paths, data, rounds, expected, kernels, show):
    """Wall times and minor page faults of every path over alternated rounds; results are
    checked against `expected` in the first round. A group whose rounds are quick gets more of
    them, until GROUP_BUDGET_S is spent or MAX_ROUNDS are done: a run of a few milliseconds is
    at the mercy of a page fault or a timer tick."""
    times = {path.name: [] for path in paths}
    faults = {path.name: [] for path in paths}
    spent = 0.0
    round_index = 0
    while round_index < rounds or (spent < GROUP_BUDGET_S and round_index < MAX_ROUNDS):
        # A fresh order every round: a path that always ran after the same one would inherit
        # that one's traces in the caches and the allocator on every round.
        order = list(paths)
        random.Random(round_index).shuffle(order)
        for path in order:
            # Every timed call starts from the same state of the allocator: a list of this
            # length has just been made and freed, so whichever list the call makes next lands
            # in the same memory, however large a list the previous path left behind.
            scratch = list(data)
            del scratch
            argument = data if path.prepare is None else path.prepare(data)
            faults_before = _minor_faults()
            start = time.perf_counter()
            result = path.function(argument)
            elapsed = time.perf_counter() - start
            faults[path.name].append(_minor_faults() - faults_before)
            if round_index == 0 and path.name != "key calls":
                check_result(path, argument, result, expected)
            del result, argument
            times[path.name].append(elapsed)
            spent += elapsed
        for kernel in kernels:
            kernel.run(max(2, min(50, 2 * REFERENCE_N // max(len(data), 1))))
        show(f"round {round_index + 1}/{max(rounds, round_index + 1)}")
        round_index += 1
    return times, faults


# From this length on, one more call of every native drop-in row runs under tracemalloc.
TRACED_FROM_N = 10**6


def traced_bytes(path, data):
    """The peak of what one call allocates through the interpreter's allocators (its scratch,
    its result, the objects its key calls make): the memory that it may have to map afresh."""
    argument = data if path.prepare is None else path.prepare(data)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = path.function(argument)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    del result, argument
    return peak - before


def measure(distribution, n, rng, paths, rounds, kernel_binary, work_dir, show):
    """All rows for one distribution and length."""
    ident, label, generate, all_ints = distribution
    values = generate(rng, n)
    pairs = [(value, index) for index, value in enumerate(values)]
    rows = []
    for group, data in (("unkeyed", values), ("keyed", pairs)):
        expected = {reverse: sorted(data, key=KEY if group == "keyed" else None, reverse=reverse)
                    for reverse in (False, True)}
        for key in {p.key for p in paths if p.group == group and p.key
                    and isinstance(data[0], p.key_takes) and (not p.only or ident in p.only)}:
            try:
                expected[key] = sorted(data, key=key)
            except TypeError:  # swapped columns that do not compare (a str and an int, dicts)
                pass
        group_paths = [p for p in paths if p.group == group and (all_ints or not p.ints_only)
                       and (p.key is None or p.key in expected)
                       and not (p.where_exact and not gives(p, data, expected[False]))]
        strategies = {p.name: strategy_of(p, values, pairs) for p in group_paths if p.baseline}
        native = any(is_native(s) for s in strategies.values())
        kernel = None
        if native and all_ints and kernel_binary is not None:  # the C++ program reads int64
            kernel = KernelLimit(kernel_binary, values, group, work_dir)
        gc.collect()
        times, faults = time_group(
            group_paths, data, rounds_for(n, rounds), expected, [kernel] if kernel else [],
            lambda text: show(f"{label}, n={n:,}, {group}: {text}"))
        pieces = {}
        if kernel is not None:
            kernel.close()
            pieces = dict(kernel.best)
            if group == "keyed":
                pieces["keyed scan"] = pieces.pop("scan")
                pieces["keyed order"] = pieces.pop("order")
                pieces["key calls"] = min(times["key calls"]) * 1e9 / n
        for path in group_paths:
            mine = times[path.name]
            best = min(mine)
            row = {
                "distribution": ident, "label": label, "n": n, "group": group,
                "path": path.name, "drop_in": path.drop_in,
                "strategy": strategies.get(path.name, ""),
                "best_s": best, "median_s": statistics.median(mine),
                "runs": len(mine), "ns_per_element": best * 1e9 / n,
                "spread": statistics.median(mine) / best - 1 if best else 0.0,
                "faults": statistics.median(faults[path.name]),
                "faults_best_round": faults[path.name][mine.index(best)],
            }
            if path.baseline:
                base = times[path.baseline]
                row["baseline"] = path.baseline
                row["ratio"] = min(base) / best
                row["median_ratio"] = statistics.median(base) / statistics.median(mine)
                # Both ran in every round, close together: the median of the rounds' own ratios
                # cancels the slow swings of a busy machine that the best times do not.
                row["paired_ratio"] = statistics.median(b / t for b, t in zip(base, mine))
            if path.drop_in and n >= TRACED_FROM_N and is_native(row["strategy"]):
                row["bytes_per_element"] = traced_bytes(path, data) / n
            if path.limit and kernel is not None and is_native(row["strategy"]):
                parts = {p: pieces[p] for p in path.limit}
                row["limit_ns_per_element"] = sum(parts.values())
                row["limit_parts"] = parts
                row["kernel"] = dict(kernel.info)
                row["to_limit"] = row["ns_per_element"] / row["limit_ns_per_element"]
            rows.append(row)
    return rows


def measure_size(config, report):
    """Every distribution at one length, in this process; `report` receives progress events.
    config["memory"] names the allocator settings that the process runs with."""
    paths = build_paths(config["drop_in"])
    kernel_binary = Path(config["kernel"]) if config["kernel"] else None
    distributions = [d for d in DISTRIBUTIONS if d[0] in config["distributions"]]
    n, memory = config["n"], config["memory"]
    rows = []
    was_enabled = gc.isenabled()
    gc.disable()  # the timed calls make no cycles; a collection would land in a random run
    try:
        for distribution in distributions:
            rng = data_rng(config["seed"], distribution[0], n)
            found = measure(distribution, n, rng, paths, config["rounds"], kernel_binary,
                            config["work_dir"], lambda text: report({"round": text}))
            for row in found:
                row["memory"] = memory
            rows += found
            report({"done": f"{distribution[1]}, n={n:,}, {memory} memory"})
            gc.collect()
    finally:
        if was_enabled:
            gc.enable()
    return rows
