"""Times vesksort_native.sort beside sorted() on the same lists, in one process.

Runs alternate between the two implementations, and the best of several runs is reported,
so that the ratio is not skewed by which one ran while the machine was busy.
"""

import argparse
import gc
import random
import time

import vesksort_native

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

# name, generator of (rng, n), goal: minimum speed-up over sorted() (below 1: largest slow-down)
DISTRIBUTIONS = [
    ("random 64-bit", lambda rng, n: [rng.randint(INT64_MIN, INT64_MAX) for _ in range(n)], 5.0),
    ("random 32-bit", lambda rng, n: [rng.randrange(2**32) for _ in range(n)], 6.0),
    ("dense randrange(n)", lambda rng, n: [rng.randrange(n) for _ in range(n)], 5.0),
    ("permutation", lambda rng, n: rng.sample(range(n), n), 5.0),
    ("already sorted", lambda rng, n: list(range(n)), 1 / 1.03),
]


def best_times(functions, values, repeats, prepare=None):
    """Best wall time of each function over `repeats` alternated runs. With `prepare`, each run
    times function(prepare(values)): the preparation is not timed."""
    best = [float("inf")] * len(functions)
    for _ in range(repeats):
        for index, function in enumerate(functions):
            argument = values if prepare is None else prepare(values)
            gc.collect()
            start = time.perf_counter()
            result = function(argument)
            elapsed = time.perf_counter() - start
            del result
            best[index] = min(best[index], elapsed)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("-n", type=int, default=1_000_000, help="list length (1,000,000)")
    parser.add_argument("--repeats", type=int, default=7, help="runs of each (7)")
    parser.add_argument("--seed", type=int, default=2026)
    arguments = parser.parse_args()

    rng = random.Random(arguments.seed)
    print(f"n = {arguments.n:,}, best of {arguments.repeats} alternated runs\n")
    print(f"{'distribution':20} {'strategy':34} {'sorted()':>10} {'vesksort':>10} "
          f"{'speed-up':>9} {'goal':>7}")
    missed = 0
    for name, generate, goal in DISTRIBUTIONS:
        values = generate(rng, arguments.n)
        _, strategy = vesksort_native.sort_with_strategy(values)
        # Fast cases get more runs: their best time is otherwise at the mercy of the noise.
        (single,) = best_times([sorted], values, 1)
        repeats = arguments.repeats * (5 if single < 0.05 else 1)
        builtin, native = best_times([sorted, vesksort_native.sort], values, repeats)
        ratio = builtin / native
        met = ratio >= goal
        missed += not met
        goal_text = f">={goal:.1f}x" if goal >= 1 else f">={goal:.2f}x"
        print(f"{name:20} {strategy:34} {builtin * 1e3:8.1f}ms {native * 1e3:8.1f}ms "
              f"{ratio:8.2f}x {goal_text:>7} {'' if met else 'MISSED'}")
    missed += keyed_rows(rng, arguments.n, arguments.repeats)
    total = len(DISTRIBUTIONS) + len(KEYED_GOALS)
    print(f"\n{total - missed} of {total} goals met")


# name, goal: minimum speed-up over sorted(pairs, key=itemgetter(0))
KEYED_GOALS = [("keyed direct, itemgetter(0)", 5.0), ("keyed from a full cache", 8.0)]


def keyed_rows(rng, n, repeats):
    """The keyed core on (random 40-bit int, i) pairs beside sorted(pairs, key=itemgetter(0))."""
    from operator import itemgetter

    from vesksort_native import _vesksort

    pairs = [(rng.randrange(2**40), i) for i in range(n)]
    key = itemgetter(0)
    cached_keys = [pair[0] for pair in pairs]

    def builtin(values):
        return sorted(values, key=key)

    def direct(values):
        return _vesksort._sort_by_int64_key_prototype(values, key)

    def from_cache(arguments):
        return _vesksort._try_sort_by_cached_int64_keys_prototype(*arguments)

    # The cached call sorts its items in place and consumes its cache: each run gets fresh
    # copies of both, made outside the timed region.
    timings = best_times([builtin, direct], pairs, repeats)
    timings += best_times([from_cache], pairs, repeats, lambda p: (list(p), list(cached_keys)))
    _, strategy = _vesksort._sort_by_int64_key_prototype_with_strategy(pairs, key)
    missed = 0
    print()
    for (name, goal), native in zip(KEYED_GOALS, timings[1:]):
        ratio = timings[0] / native
        missed += ratio < goal
        print(f"{name:28} {timings[0] * 1e3:8.1f}ms {native * 1e3:8.1f}ms {ratio:8.2f}x "
              f">={goal:.1f}x {'' if ratio >= goal else 'MISSED'}")
    print(f"{'':28} strategy: {strategy}")
    return missed


if __name__ == "__main__":
    main()
