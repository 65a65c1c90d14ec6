"""The benchmark of vesksort_native, as a package: `python benchmarks/bench.py` (or, from
benchmarks/, `python -m bench`) runs it; `bash tools/bench` builds the package first.

    distributions  the lists sorted: every distribution of values, by id
    paths          what is timed (drop-ins, builtins, prototypes) and how results are checked
    goals          the speed goals, as data, and their judging
    measure        the measurement within one process, and the kernel-only limit
    runner         a fresh process per length and memory mode; the progress display
    small          the small-list section: lists of 0 to 255 items, timed in batches
    report         what is printed, and where the figures come from
    plot           the chart of speed-ups by n (the README's picture) and the detailed plot
    cli            the command line
"""

from .cli import main
from .distributions import DISTRIBUTIONS, RUN_DISTRIBUTIONS, data_rng
from .goals import (FALLBACK_GOALS, RATIO_GOALS, SMALL_FLOOR, SMALL_GOALS, goals, headline,
                    small_goals, small_target)
from .measure import ROOT, measure_size
from .paths import KEY, build_paths, drop_in_available, is_native, strategy_of
from .plot import plot, plot_speedups, speedups
from .report import git_state, print_goals, print_small, print_table, shown
from .runner import (WARM_MEMORY_TUNABLES, Progress, memory_mode, memory_modes, progress_mode,
                     worker_environment)
from .small import SMALL_CALLS, SMALL_SIZES, measure_small, small_batch_lists

__all__ = [
    "DISTRIBUTIONS", "FALLBACK_GOALS", "KEY", "RATIO_GOALS", "ROOT", "RUN_DISTRIBUTIONS",
    "SMALL_CALLS", "SMALL_FLOOR", "SMALL_GOALS", "SMALL_SIZES", "WARM_MEMORY_TUNABLES",
    "Progress", "build_paths", "data_rng", "drop_in_available", "git_state", "goals",
    "headline", "is_native", "main", "measure_size", "measure_small", "memory_mode",
    "memory_modes", "plot", "plot_speedups", "print_goals", "print_small", "print_table",
    "progress_mode", "shown", "small_batch_lists", "small_goals", "small_target", "speedups",
    "strategy_of", "worker_environment",
]
