"""The drop-ins on floats, and on ints among floats, against sorted() and list.sort(): the same
objects in the same order (-0.0, 0.0 and 0 are equal, as are 1 and 1.0), every key computed
once, in item order, nothing left behind; explain() names the native float path where it is
due, and the interpreter's sort, with its reason, for NaNs, other types and ints that a float
cannot hold exactly."""

import math
import random
import sys

import pytest
from hypothesis import strategies as st

from conftest import Item, assert_failing_key_as_builtin, check, distinct, drawn_mixes

EDGE = 2**53  # the largest int magnitude that orders exactly among floats
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
INF, MAX = math.inf, sys.float_info.max
NAN = math.nan
FLOAT_SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, INF, -INF, 5e-324, -5e-324, 2.2250738585072014e-308,
                  MAX, -MAX, float(EDGE), -float(EDGE)]
# Ints equal to some of the floats above, and their neighbours.
SPECIALS = FLOAT_SPECIALS + [0, 1, -1, EDGE - 1, EDGE, -EDGE, -EDGE + 1]
SIZES = [255, 256, 257, 2047, 2048, 2049, 5000]


RADIX = r"radix sort in \d+ pass(es)?"
# Unkeyed ints below 4096 items and floats below 1024 take the short-list path.
SHORT_OR_RADIX = rf"(short-list sort|{RADIX})"


def native(of, how=RADIX, domain="float"):
    return rf"native: {domain} {of}s, {how}"


def numbers(kind, n, seed):
    """'floats' of every magnitude, a third of them specials; 'mixed': those and ints within
    2**53; 'ints': int64 ints only. Equal values are distinct objects."""
    rng = random.Random(seed)

    def one():
        if kind == "ints":
            return rng.choice((rng.randint(INT64_MIN, INT64_MAX), rng.randint(-9, 9)))
        if rng.random() < 0.3:
            return rng.choice(FLOAT_SPECIALS if kind == "floats" else SPECIALS)
        if kind == "mixed" and rng.random() < 0.3:
            return rng.randint(-EDGE, EDGE)
        return math.ldexp(rng.random() - 0.5, rng.randint(-1074, 1024))

    return [distinct(one()) for _ in range(n)]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("n", SIZES)
@pytest.mark.parametrize("kind", ["floats", "mixed", "ints"])
def test_numbers_as_sorted(kind, n, keyed, reverse):
    of = "key" if keyed else "value"
    if n < 16:
        path = "interpreter: fewer than 16 items"
    elif n < 256:
        path = rf"native: {'int64' if kind == 'ints' else 'float'} {of}s, .*"
    else:
        path = native(of, SHORT_OR_RADIX if not keyed and n < 4096 else RADIX,
                      domain="int64" if kind == "ints" else "float")
    check(numbers(kind, n, n), keyed, reverse, path)


# An int, at `position`, among floats (or among ints with floats only where the sample of the
# unkeyed sort does not look), with the floats nearest to it and an equal int elsewhere.
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("position", [0, 5, 299])
@pytest.mark.parametrize("base", ["floats", "ints"])
@pytest.mark.parametrize(
    "value", [EDGE - 1, EDGE, -EDGE, EDGE + 1, -EDGE - 1, INT64_MAX, INT64_MAX + 1]
)
def test_int_at_the_edge_of_floats(value, base, position, keyed, reverse):
    rng = random.Random(position)
    if base == "floats":
        values = [rng.uniform(-2.0 * EDGE, 2.0 * EDGE) for _ in range(300)]
    else:
        values = [rng.randint(-EDGE, EDGE) for _ in range(300)]
    near = float(value)
    values[2:5] = [near, math.nextafter(near, -INF), math.nextafter(near, INF)]
    values[6], values[position] = distinct(value), value
    of = "key" if keyed else "value"
    beyond = r"beyond 2\*\*53 among floats"
    if value > INT64_MAX:  # read as an int beyond int64 if met before any float
        beyond = rf"({beyond}|outside the signed 64-bit range)"
    path = native(of, RADIX if keyed else SHORT_OR_RADIX) if abs(value) <= EDGE \
        else rf"interpreter: an int {of} {beyond}"
    check(values, keyed, reverse, path)


# A NaN where the sample of the unkeyed sort looks (the first and last items, item 499 of
# 1000) and where only the full scan meets it; as a key, also at 2048 and later.
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize(
    "n, position",
    [(256, 0), (256, 1), (256, 255), (1000, 499), (1000, 500), (1000, 999), (3000, 2048),
     (3000, 2999)],
)
def test_nan(n, position, keyed, reverse):
    values = numbers("mixed", n, position)
    values[position] = NAN
    check(values, keyed, reverse, f"interpreter: a NaN {'key' if keyed else 'value'}")


class SubFloat(float):
    pass


class Inverted(float):
    """Orders backwards: a native sort would order it by its value."""

    def __lt__(self, other):
        return float(self) > float(other)

    def __gt__(self, other):
        return float(self) < float(other)


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("position", [0, 5, 999, "all"])
@pytest.mark.parametrize("make", [SubFloat, Inverted], ids=lambda make: make.__name__)
def test_values_of_other_types_among_floats(make, position, keyed, reverse):
    values = numbers("floats", 1000, 7)
    if position == "all":
        values = [make(value) for value in values]
    else:
        values[position] = make(1.0)
    of = "key" if keyed else "value"
    check(values, keyed, reverse, f"interpreter: a {of} that is not an exact int or float")


@pytest.mark.parametrize("entry", ["sort", "sort_in_place"])
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("nan_at", [None, 1000], ids=["native", "after-a-nan"])
@pytest.mark.parametrize("fails_at", [0, 300, 2048, 2999])
def test_key_function_that_raises(fails_at, nan_at, reverse, entry):
    """The key function's own exception reaches the caller after the same calls as under the
    builtin, and leaves the list as it was; after a NaN the interpreter's sort calls it."""
    keys = numbers("mixed", 3000, fails_at)
    if nan_at is not None:
        keys[nan_at] = NAN
    items = [Item(i, key) for i, key in enumerate(keys)]
    assert_failing_key_as_builtin(entry, items, fails_at, reverse)


def strictly(step, n, equal=False):
    """Keys in strict order, or with runs of equal ones (0.0, -0.0, 0 and 1.0, 1) within:
    reversing the whole would swap these."""
    keys = [step * (i - n // 2) for i in range(n)]
    runs = {0: [0.0, -0.0, 0], 1: [1.0, 1]} if equal else {}
    return [run_key for key in keys for run_key in runs.get(key, [key])]


@pytest.mark.parametrize(
    "keys, reverse, path",
    [
        (strictly(0.5, 3000), False, native("key", "already in order")),
        (strictly(0.5, 3000), True, native("key", "reversed")),
        (strictly(-0.5, 3000), False, native("key", "reversed")),
        (strictly(-0.5, 3000), True, native("key", "already in order")),
        (strictly(-0.5, 3000, equal=True), False, native("key", ".*")),
        (strictly(0.5, 3000, equal=True), True, native("key", ".*")),
    ],
    ids=["up", "up-reverse", "down", "down-reverse", "down-equal", "up-equal-reverse"],
)
def test_keys_in_order(keys, reverse, path):
    check(keys, True, reverse, path)


def subnormals(n, seed):
    """Keys a few thousand apart: -0.0, 0.0, and subnormals of either sign."""
    rng = random.Random(seed)
    return [rng.choice((-0.0, rng.randrange(-1000, 1000) * 5e-324)) for _ in range(n)]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize(
    "n, keyed", [(9000, True), pytest.param(300_000, False, marks=pytest.mark.pesado)]
)
def test_dense_floats_counted(n, keyed, reverse):
    of = "key" if keyed else "value"
    check(subnormals(n, n), keyed, reverse, native(of, "counting sort"))


@pytest.mark.parametrize("entry", [tuple, iter], ids=["tuple", "iterator"])
# From 32,768 items sort() copies a list or a tuple on its own.
@pytest.mark.parametrize("n", [2049, pytest.param(40_000, marks=pytest.mark.pesado)])
def test_inputs_other_than_lists(n, entry):
    check(numbers("mixed", n, 1), path=native("value"), entry=entry)


NUMBER = st.one_of(st.floats(allow_nan=False), st.integers(-EDGE, EDGE), st.sampled_from(SPECIALS))
INTRUDER = st.one_of(
    st.none(),
    st.sampled_from([NAN, True, EDGE + 1, -EDGE - 1, INT64_MAX + 1, INT64_MIN - 1]),
    st.builds(SubFloat, st.floats()),
)


def orders_natively(values):
    """Whether a native float path may take `values`: no NaN, nothing but exact ints and
    floats, and among floats no int beyond 2**53."""
    kinds = {type(value) for value in values} - {bool}
    if not kinds <= {int, float} or any(value != value for value in values):
        return False
    return float not in kinds or all(abs(value) <= EDGE for value in values if type(value) is int)


@drawn_mixes(NUMBER, INTRUDER, largest=3000, examples=150)
def test_random_mixes_as_sorted(pool, intruder, n, seed, keyed, reverse):
    """Values from a small pool (many equal ones, as distinct objects) and floats of every
    magnitude, with perhaps one intruder."""
    rng = random.Random(seed)
    values = [
        distinct(rng.choice(pool)) if rng.random() < 0.5
        else math.ldexp(rng.random() - 0.5, rng.randint(-1074, 1024))
        for _ in range(n)
    ]
    if intruder is not None:
        # A copy: Hypothesis keeps references to what it drew, and drops them at its own time.
        copy = SubFloat(intruder) if type(intruder) is SubFloat else distinct(intruder)
        values[rng.randrange(n)] = copy
    path = check(values, keyed, reverse)
    if path.startswith("native: float"):
        assert orders_natively(values), path
