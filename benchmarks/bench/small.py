"""The small-list section: the drop-ins beside the builtins on lists of 0 to 255 items.

A call on a few items takes well under a microsecond, far below what one timing can tell apart,
so each call is timed over a batch of many lists, both sides in the same loop shape, alternated
round by round. Its ratios are speed-ups, as everywhere in the report: builtin time / drop-in
time.
"""

import gc
import statistics
import time
from dataclasses import dataclass

import vesksort_native

from .distributions import DISTRIBUTIONS, data_rng
from .paths import KEY

SMALL_SIZES = (0, 1, 2, 5, 10, 16, 64, 100, 255)
SMALL_ELEMENTS = 200_000  # elements per timed batch
SMALL_ROUNDS = 21
# Every call and n gets at least SMALL_MIN_ROUNDS rounds, and more up to SMALL_ROUNDS while its
# rounds have taken under SMALL_BUDGET_S: a slow drop-in would otherwise stretch the section.
SMALL_MIN_ROUNDS = 7
SMALL_BUDGET_S = 1.0
# The values of the small lists, drawn as the sweep draws the distribution of the same id, so
# that the chart of speed-ups carries each kind on from small lists to large ones.
SMALL_KINDS = {"rand64": "int64", "floats": "floats", "words": "words",
               "pairs-narrow": "tuples", "datetimes": "datetimes"}


# One loop per call shape, the callee bound to a local: the builtin and the drop-in then pay
# the same loop and call overhead, and no wrapper adds a call of its own to either side.
def _loop_plain(f, batch):
    start = time.perf_counter()
    for v in batch:
        f(v)
    return time.perf_counter() - start


def _loop_key(f, batch):
    key = KEY
    start = time.perf_counter()
    for v in batch:
        f(v, key=key)
    return time.perf_counter() - start


def _loop_reverse(f, batch):
    start = time.perf_counter()
    for v in batch:
        f(v, reverse=True)
    return time.perf_counter() - start


@dataclass
class SmallCall:
    name: str
    builtin_name: str
    loop: object
    builtin: object
    drop_in: str  # the attribute of vesksort_native
    distribution: str  # the values, a key of SMALL_KINDS
    keyed: bool  # sorts (value, index) pairs of the values by itemgetter(0), else the values
    in_place: bool
    needs_drop_in: bool  # takes key= or reverse=, which older drop-ins refuse
    path: str  # the sweep's path of the same call

    @property
    def kind(self):
        values = SMALL_KINDS[self.distribution]
        return f"({values}, index) pairs" if self.keyed else values


def _sort(distribution):
    return SmallCall("sort(v)", "sorted(v)", _loop_plain, sorted, "sort", distribution,
                     keyed=False, in_place=False, needs_drop_in=False, path="sort()")


# list.sort(v) stands for v.sort(): the same method, called in the same loop shape as the drop-in.
SMALL_CALLS = [_sort(distribution) for distribution in SMALL_KINDS] + [
    SmallCall("sort(v, reverse=True)", "sorted(v, reverse=True)", _loop_reverse, sorted, "sort",
              "rand64", keyed=False, in_place=False, needs_drop_in=True, path="sort(reverse)"),
    SmallCall("sort_in_place(v)", "v.sort()", _loop_plain, list.sort, "sort_in_place", "rand64",
              keyed=False, in_place=True, needs_drop_in=False, path="sort_in_place()"),
    SmallCall("sort(pairs, key=itemgetter(0))", "sorted(pairs, key=itemgetter(0))", _loop_key,
              sorted, "sort", "rand64", keyed=True, in_place=False, needs_drop_in=True,
              path="sort(key)"),
    SmallCall("sort_in_place(pairs, key=itemgetter(0))", "pairs.sort(key=itemgetter(0))",
              _loop_key, list.sort, "sort_in_place", "rand64", keyed=True, in_place=True,
              needs_drop_in=True, path="sort_in_place(key)"),
]


def _small_batches(calls, n, lists, seed):
    """For every (distribution, keyed) of the calls, `lists` lists of n values of that
    distribution, or of (value, index) pairs of those values."""
    generators = {d[0]: d[2] for d in DISTRIBUTIONS}
    batches = {}
    for ident in dict.fromkeys(c.distribution for c in calls):
        # One list of every value, cut: the generators make a long list much quicker than
        # many short ones.
        flat = generators[ident](data_rng(seed, ident, n), n * lists) if n else []
        values = batches[ident, False] = [flat[i * n:(i + 1) * n] for i in range(lists)]
        if any(c.keyed and c.distribution == ident for c in calls):
            batches[ident, True] = [[(value, index) for index, value in enumerate(v)]
                                    for v in values]
    return batches


def _check_small(call, drop_in, batch):
    """The drop-in gives the builtin's result on a sample of the batch."""
    extra = {"key": KEY} if call.keyed else {"reverse": True} if "reverse" in call.name else {}
    for v in batch[:100]:
        want, got = list(v), list(v)
        if call.in_place:
            call.builtin(want, **extra)
            drop_in(got, **extra)
        else:
            want, got = call.builtin(want, **extra), drop_in(got, **extra)
        if got != want:
            raise SystemExit(f"small lists of {call.kind}: {call.name} differs from "
                             f"{call.builtin_name}")


def _time_small(call, drop_in, batch, drop_in_first):
    """One timing of each side, as (builtin, drop-in); in place, each side sorts fresh copies
    made outside the timer."""
    functions, times = (call.builtin, drop_in), [0.0, 0.0]
    for side in (1, 0) if drop_in_first else (0, 1):
        work = [v.copy() for v in batch] if call.in_place else batch
        times[side] = call.loop(functions[side], work)
        del work
    return times


def small_batch_lists(n, elements=SMALL_ELEMENTS):
    # Empty and one-element calls are so quick that a timing over fewer lists is under 10 ms.
    return max(1, elements // n) if n > 1 else 2 * elements


def measure_small(with_drop_in, sizes=SMALL_SIZES, elements=SMALL_ELEMENTS, rounds=SMALL_ROUNDS,
                  min_rounds=SMALL_MIN_ROUNDS, budget_s=SMALL_BUDGET_S, seed=2026,
                  progress=None):
    """Builtin time / drop-in time for every small-list call and n, over batches of lists."""
    start = time.perf_counter()
    calls = [c for c in SMALL_CALLS if with_drop_in or not c.needs_drop_in]
    entries = []
    was_enabled = gc.isenabled()
    gc.disable()  # the batches are large and make no cycles; a collection would land in a run
    try:
        for n in sizes:
            lists = small_batch_lists(n, elements)
            batches = _small_batches(calls, n, lists, seed)
            for call in calls:
                batch = batches[call.distribution, call.keyed]
                drop_in = getattr(vesksort_native, call.drop_in)
                _check_small(call, drop_in, batch)
                builtin_times, drop_in_times = [], []
                cell_start = time.perf_counter()
                while len(builtin_times) < min(min_rounds, rounds) or (
                        len(builtin_times) < rounds
                        and time.perf_counter() - cell_start < budget_s):
                    # Alternate which side runs first, so that neither always follows the other.
                    b, d = _time_small(call, drop_in, batch, len(builtin_times) % 2 == 1)
                    builtin_times.append(b)
                    drop_in_times.append(d)
                    if progress is not None:
                        progress.show(f"small lists of {call.kind}, n={n}: {call.name}, "
                                      f"round {len(builtin_times)}")
                entries.append({
                    "call": call.name, "builtin": call.builtin_name, "kind": call.kind,
                    "distribution": call.distribution, "keyed": call.keyed, "path": call.path,
                    "n": n, "lists": lists, "rounds": len(builtin_times),
                    "builtin_best_s": min(builtin_times), "drop_in_best_s": min(drop_in_times),
                    "ratio": min(builtin_times) / min(drop_in_times),
                    "median_ratio": statistics.median(
                        b / d for b, d in zip(builtin_times, drop_in_times)),
                })
                if progress is not None:
                    progress.step(f"small lists of {call.kind}, n={n}: {call.name}")
            batches = batch = None  # freed before the next length's lists are made
            gc.collect()
    finally:
        if was_enabled:
            gc.enable()
    return {"sizes": list(sizes), "elements": elements, "max_rounds": rounds,
            "seconds": time.perf_counter() - start, "results": entries}
