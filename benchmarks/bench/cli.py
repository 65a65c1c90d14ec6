"""Benchmark of vesksort_native beside sorted(), NumPy and the kernel-only limit.

Every list length is measured in a fresh process of its own, which makes the data and reports
its figures as JSON lines on its standard output. The headline figures come from a process with
the allocator's own settings, as a user's program runs; a second process per length may keep
freed memory instead (GLIBC_TUNABLES), as a process that sorts again and again does.

Within a process, every implementation runs once per round, in an order shuffled afresh every
round, and the best of the rounds is kept, so that a ratio is not skewed by which side ran while
the machine was busy; the minor page faults of every call are counted as well. The kernel-only
limit comes from a C++ program (benchmarks/nucleos_bench.cpp, built here from the repository's
own kernels) that runs the native steps over the same values with no interpreter.

A small-list section times the drop-ins against the builtins at n = 0, 1, 2, 5, 10, 16, 64, 100
and 255 (int64, floats, words, tuples, datetimes, and (int64, index) pairs by itemgetter(0)),
over batches of lists, both sides in the same loop shape, alternated round by round (--no-small
leaves it out).

Prints a table at one reference length (1,000,000 when measured), the growth of ns per element
with n, the small-list speed-ups and the speed goals; writes every figure to a JSON file and,
when matplotlib imports, a chart of the speed-up over sorted() by n for each kind of value
(--plot) and a plot of ns per element against n (grouped bars of the speed-up over the builtin
when a single length is measured).
"""

import argparse
import json
import os
import platform
import sys
import tempfile
from pathlib import Path

import vesksort_native

from .distributions import DISTRIBUTIONS
from .goals import goals, headline, small_goals
from .measure import REFERENCE_N, ROOT, build_kernel_bench, measure_size
from .paths import drop_in_available, numpy
from .plot import matplotlib_available, plot, plot_speedups, plot_title
from .report import (cpu_model, git_state, growth, noise, print_goals, print_growth, print_small,
                     print_table, reference_size, shown)
from .runner import (WARM_MEMORY_TUNABLES, Progress, memory_mode, memory_modes, progress_mode,
                     run_size, worker_main)
from .small import SMALL_CALLS, SMALL_SIZES, measure_small

QUICK_SIZES = [10**3, 10**4, 10**5, 10**6]
FULL_SIZES = QUICK_SIZES + [10**7]


def parse_sizes(text):
    return [int(float(s)) for s in text.split(",")]


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["--worker"]:  # a fresh process of the run's, measuring one length
        worker_main(argv[1])
        return
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--full", action="store_true",
                        help="sweep n up to 10^7 (default: up to 10^6)")
    parser.add_argument("--sizes", help="comma-separated list lengths, instead of the sweep "
                        "(1e5 and 100000 both work)")
    parser.add_argument("--dist", help="comma-separated distribution ids: "
                        + ", ".join(d[0] for d in DISTRIBUTIONS))
    parser.add_argument("--rounds", type=int, default=5,
                        help="alternated rounds at 10^6 and above; shorter lists get more (5)")
    parser.add_argument("--memory", choices=("default", "warm", "both"), default="both",
                        help="default: every length in a fresh process with the allocator's "
                        "own settings (the headline, which the goals judge); warm: in a fresh "
                        "process whose allocator keeps freed memory (GLIBC_TUNABLES); both "
                        "(the default): the two side by side")
    parser.add_argument("--in-process", action="store_true",
                        help="measure every length in this process, with its own allocator "
                        "settings (a debugging aid: the lengths then share one heap)")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--out", default=str(ROOT / "bench-results"),
                        help="folder of bench.json, bench.png and speed.png "
                        "(bench-results/)")
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument("--plot", metavar="PNG",
                        help="where the chart of speed-ups by n goes instead of OUT/speed.png "
                        "(the README's picture is docs/speed.png); the detailed plot stays "
                        "OUT/bench.png")
    parser.add_argument("--no-kernel", action="store_true", help="leave out the kernel-only limit")
    parser.add_argument("--quiet", action="store_true", help="no progress display")
    parser.add_argument("--no-small", action="store_true",
                        help="leave out the small-list section (n = 0 to 255: builtin time / "
                        "drop-in time over batches of lists)")
    arguments = parser.parse_args(argv)

    sizes = (parse_sizes(arguments.sizes) if arguments.sizes
             else FULL_SIZES if arguments.full or os.environ.get("VESKSORT_BENCH_FULL")
             else QUICK_SIZES)
    wanted = arguments.dist.split(",") if arguments.dist else [d[0] for d in DISTRIBUTIONS]
    unknown = set(wanted) - {d[0] for d in DISTRIBUTIONS}
    if unknown:
        parser.error(f"unknown distributions: {', '.join(sorted(unknown))}")
    distributions = [d for d in DISTRIBUTIONS if d[0] in wanted]
    modes = ([memory_mode()] if arguments.in_process else memory_modes(arguments.memory))
    out = Path(arguments.out)
    out.mkdir(parents=True, exist_ok=True)

    with_drop_in = drop_in_available()
    if not with_drop_in:
        print("vesksort_native.sort does not take key= and reverse=: no drop-in rows",
              file=sys.stderr)
    kernel_binary = None if arguments.no_kernel else build_kernel_bench(ROOT / "build" / "bench")
    load_before = os.getloadavg()
    mode = progress_mode(arguments.quiet)
    progress = Progress(len(sizes) * len(modes) * len(distributions), mode)
    rows = []
    try:
        with tempfile.TemporaryDirectory(dir=out) as work_dir:
            for n in sizes:
                config = {"n": n, "distributions": [d[0] for d in distributions],
                          "rounds": arguments.rounds, "seed": arguments.seed,
                          "drop_in": with_drop_in, "work_dir": work_dir,
                          "kernel": str(kernel_binary) if kernel_binary else None}
                # Both memory modes of a length run one after the other, under the same load.
                for memory in modes:
                    if arguments.in_process:
                        rows += measure_size(dict(config, memory=memory), lambda event: (
                            progress.show(event["round"]) if "round" in event
                            else progress.step(event["done"])))
                    else:
                        rows += run_size(config, memory, progress)
    finally:
        progress.finish()
    small = None
    if not arguments.no_small:
        calls = sum(with_drop_in or not c.needs_drop_in for c in SMALL_CALLS)
        small_progress = Progress(len(SMALL_SIZES) * calls, mode)
        try:
            small = measure_small(with_drop_in, seed=arguments.seed, progress=small_progress)
        finally:
            small_progress.finish()
    load_after = os.getloadavg()

    reference = reference_size(sizes)
    growth_entries = growth(rows)
    checks = goals(rows) + small_goals(small)
    machine_noise = noise(headline(rows) or rows)
    if reference != REFERENCE_N:
        print(f"\n10^6 is not among the lengths measured: the table is at n = {reference:,}, "
              f"and goals at lengths not measured are listed as not measured")
    print_table(rows, reference, modes)
    print_growth(growth_entries)
    print_small(small)
    print_goals(checks)
    print(f"\nNoise: the median of (median run / best run - 1) is "
          f"{machine_noise['median_spread']:.1%} (largest {machine_noise['max_spread']:.1%}); "
          f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after, on "
          f"{os.cpu_count()} CPUs")
    explained = {"default": "the allocator's own settings, GLIBC_TUNABLES unset",
                 "warm": f"freed memory kept in the process, GLIBC_TUNABLES={WARM_MEMORY_TUNABLES}"}
    print("Memory: " + "; ".join(f"{m} = {explained[m]}" for m in modes)
          + ("; all lengths in this process" if arguments.in_process
             else "; every length in a fresh process"))

    report = {
        "machine": {"python": sys.version, "platform": platform.platform(), "cpu": cpu_model(),
                    "cpus": os.cpu_count(), "load_before": load_before,
                    "load_after": load_after, "numpy": numpy.__version__ if numpy else None},
        "version": {"package": vesksort_native.__version__, **git_state()},
        "config": {"sizes": sizes, "distributions": [d[0] for d in distributions],
                   "rounds": arguments.rounds, "seed": arguments.seed,
                   "drop_in": with_drop_in, "kernel_limit": kernel_binary is not None,
                   "memory": modes, "warm_tunables": WARM_MEMORY_TUNABLES,
                   "fresh_process_per_size": not arguments.in_process,
                   "reference_n": reference},
        "noise": machine_noise, "results": rows, "growth": growth_entries, "small": small,
        "goals": checks,
    }
    (out / "bench.json").write_text(json.dumps(report, indent=1))
    print(f"figures: {shown(out / 'bench.json')}")
    if arguments.no_plot:
        return
    if not matplotlib_available():
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return
    title = plot_title(report)
    if rows and plot(rows, out / "bench.png", title):
        print(f"plot:    {shown(out / 'bench.png')}")
    chart = Path(arguments.plot) if arguments.plot else out / "speed.png"
    if plot_speedups(rows, small, chart, title):
        print(f"chart:   {shown(chart)}")
    else:
        print("no drop-in speed-ups of the chart's kinds were measured: no chart",
              file=sys.stderr)
