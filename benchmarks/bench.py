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


def best_times(functions, values, repeats):
    """Best wall time of each function over `repeats` alternated runs."""
    best = [float("inf")] * len(functions)
    for _ in range(repeats):
        for index, function in enumerate(functions):
            gc.collect()
            start = time.perf_counter()
            result = function(values)
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
    print(f"\n{len(DISTRIBUTIONS) - missed} of {len(DISTRIBUTIONS)} goals met")


if __name__ == "__main__":
    main()
