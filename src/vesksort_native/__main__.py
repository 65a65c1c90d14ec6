"""python3 -m vesksort_native: the version, the interpreter and a quick speed check.

The check times the drop-ins against the builtins on this machine: random signed 64-bit ints,
random floats, random words, (int, index) pairs ordered by itemgetter(0) and (int, int) tuples
at a few sizes, then lists of 64 ints sorted one after another, best of a few alternated runs.
Its ratios are builtin time / drop-in time: above 1 the drop-in is faster.

``python3 -m vesksort_native run [OPTIONS] script.py [ARGS...]`` (or ``-m module``) runs a
program with sorted() replaced by the drop-in and reports its calls (run.py).
"""

from __future__ import annotations

import argparse
import platform
import random
import string
import sys
import time
from collections.abc import Callable, Sequence
from itertools import accumulate
from operator import itemgetter

import vesksort_native

DEFAULT_SIZES = (1_000, 100_000, 1_000_000)
QUICK_SIZES = (1_000, 100_000)
# Small lists: SMALL_LISTS lists of SMALL_N ints, each sorted by a call of its own, as a program
# that sorts many short lists does; one call is far too quick to time alone.
SMALL_N = 64
SMALL_LISTS = 2_000

# (label, the builtin's call, the drop-in's call)
Case = tuple[str, Callable[[], object], Callable[[], object]]


def _size(text: str) -> int:
    try:
        value = int(float(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"a size cannot be negative: {text!r}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python3 -m vesksort_native",
        description="Print the version of vesksort_native and of the interpreter, then time "
        "the drop-ins against sorted() and list.sort() on this machine.",
        epilog="python3 -m vesksort_native run [OPTIONS] script.py [ARGS...] (or -m module) "
        "runs a program with sorted() replaced by the drop-in and reports its calls; "
        "see python3 -m vesksort_native run --help.",
    )
    parser.add_argument("--version", action="version", version=vesksort_native.__version__)
    parser.add_argument("--quick", action="store_true",
                        help=f"sizes {', '.join(map(str, QUICK_SIZES))} only")
    parser.add_argument("--sizes", type=_size, nargs="+", metavar="N",
                        help="list sizes to time (1e6 and 1000000 alike)")
    parser.add_argument("--runs", type=int, default=3, metavar="R",
                        help="alternated runs of each call; the best is kept (default 3)")
    parser.add_argument("--no-check", action="store_true", help="print the versions only")
    return parser


def _best(call: Callable[[], object], runs: int) -> float:
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def _words(rng: random.Random, n: int) -> list[str]:
    """n random lowercase words of 3 to 12 letters, cut from one random text."""
    lengths = rng.choices(range(3, 13), k=n)
    text = "".join(rng.choices(string.ascii_lowercase, k=sum(lengths)))
    return [text[end - length:end] for length, end in zip(lengths, accumulate(lengths))]


def _each(sort: Callable[[list[int]], list[int]], lists: list[list[int]]) -> Callable[[], object]:
    """A call that sorts every list of the batch, one call each."""
    return lambda: [sort(v) for v in lists]


def _time(n: int, label: str, builtin: Callable[[], object], drop_in: Callable[[], object],
          runs: int) -> None:
    if builtin() != drop_in():
        raise SystemExit(f"n={n:,} {label}: the drop-in's result differs from sorted()")
    builtin_s = _best(builtin, runs)
    drop_in_s = _best(drop_in, runs)
    ratio = builtin_s / drop_in_s if drop_in_s > 0 else float("inf")
    print(f"  n={n:>10,}  {label:<26} sorted() {builtin_s * 1e3:9.2f} ms"
          f"   sort() {drop_in_s * 1e3:9.2f} ms   ratio {ratio:6.2f}", flush=True)


def _check(sizes: Sequence[int], runs: int) -> None:
    rng = random.Random(2026)
    print(f"speed check (best of {runs}; ratio = builtin time / drop-in time)", flush=True)
    started = time.perf_counter()
    key = itemgetter(0)
    for n in sizes:
        ints = [rng.randint(-(2**63), 2**63 - 1) for _ in range(n)]
        floats = [rng.uniform(-1e12, 1e12) for _ in range(n)]
        words = _words(rng, n)
        pairs = [(value, index) for index, value in enumerate(ints)]
        tuples = [(rng.randrange(1000), rng.randrange(10**6)) for _ in range(n)]
        cases: list[Case] = [
            ("int64", lambda: sorted(ints), lambda: vesksort_native.sort(ints)),
            ("float", lambda: sorted(floats), lambda: vesksort_native.sort(floats)),
            ("words", lambda: sorted(words), lambda: vesksort_native.sort(words)),
            ("pairs, key=itemgetter(0)", lambda: sorted(pairs, key=key),
             lambda: vesksort_native.sort(pairs, key=key)),
            ("(int, int) tuples", lambda: sorted(tuples), lambda: vesksort_native.sort(tuples)),
        ]
        for label, builtin, drop_in in cases:
            _time(n, label, builtin, drop_in, runs)
    lists = [[rng.randint(-(2**63), 2**63 - 1) for _ in range(SMALL_N)]
             for _ in range(SMALL_LISTS)]
    _time(SMALL_N, f"int64, {SMALL_LISTS:,} lists", _each(sorted, lists),
          _each(vesksort_native.sort, lists), runs)
    print(f"done in {time.perf_counter() - started:.1f} s")


def main(argv: Sequence[str] | None = None) -> int:
    arguments = sys.argv[1:] if argv is None else list(argv)
    if arguments[:1] == ["run"]:
        from vesksort_native import run  # only when asked: it imports runpy and json

        return run.main(arguments[1:])
    args = _parser().parse_args(arguments)
    if args.runs < 1:
        _parser().error("--runs must be at least 1")
    print(f"vesksort_native {vesksort_native.__version__}")
    print(f"{platform.python_implementation()} {platform.python_version()}"
          f" ({sys.executable})")
    if not args.no_check:
        sizes = args.sizes or (QUICK_SIZES if args.quick else DEFAULT_SIZES)
        _check(sizes, args.runs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
