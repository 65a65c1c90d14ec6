"""Sorts 1,000,000 random signed 64-bit ints with vesksort_native and with sorted()."""

import random
import time

import vesksort_native


def main():
    n = 1_000_000
    rng = random.Random(2026)
    values = [rng.randint(-(2**63), 2**63 - 1) for _ in range(n)]

    # Best of three alternated runs of each: the first call of a process also pays for the
    # memory that the allocator maps in.
    native = builtin = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        result, strategy = vesksort_native.sort_with_strategy(values)
        native = min(native, time.perf_counter() - start)
        start = time.perf_counter()
        expected = sorted(values)
        builtin = min(builtin, time.perf_counter() - start)

    print(f"{n:,} random signed 64-bit ints")
    print(f"  strategy:            {strategy}")
    print(f"  vesksort_native:     {native * 1e3:8.1f} ms (best of 3)")
    print(f"  sorted():            {builtin * 1e3:8.1f} ms (best of 3)")
    print(f"  speed-up:            {builtin / native:8.1f}x")
    if result != expected:
        raise SystemExit("  results differ from sorted()!")
    print("  results equal to sorted(): yes")


if __name__ == "__main__":
    main()
