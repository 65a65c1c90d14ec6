"""The drop-ins on tuples of numbers, and on tuple keys, against sorted() and list.sort(): the
same objects in the same order (equal tuples keep their order as distinct objects, a prefix
comes first, -0.0 equals 0 and 1 equals 1.0), every key computed once, in item order, nothing
left behind; explain() names the native tuple path where it is due, and the interpreter's sort,
with its reason, for NaNs, other types, ints out of range, other values among tuples, long
tuples and a full int64 column among tuples of different lengths."""

import math
import random
from collections import namedtuple
from operator import itemgetter

import pytest
from hypothesis import strategies as st

from conftest import Item, assert_failing_key_as_builtin, check, distinct, drawn_mixes

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
EDGE = 2**53  # the largest int magnitude that orders exactly among floats
NAN = math.nan
ONE_WORD = r"radix sort in \d+ pass(es)?"
ANY = (r"(radix sort in \d+ pass(es)?( over \d+ packed words)?|already in order"
       r"|column by column \(\d+ columns? read\))")
MIXED = ("tied tuples whose items in a column are not all numbers, dates or times of one kind, "
         "or strings of one type")


def native(of, how=ANY):
    return rf"native: tuple {of}s, {how}"


def words(count):
    return rf"radix sort in \d+ passes over {count} packed words"


# Column kinds: a value drawn from the generator given.
COLUMNS = {
    "constant": lambda rng: 7,
    "narrow": lambda rng: rng.randint(0, 3),
    "byte": lambda rng: rng.randint(-128, 127),
    "negative": lambda rng: rng.randint(-(10**12), -(10**12) + 40),
    "wide": lambda rng: rng.randint(INT64_MIN, INT64_MAX),
    "edges": lambda rng: rng.choice((INT64_MIN, INT64_MIN + 1, -1, 0, INT64_MAX - 1, INT64_MAX)),
    "floats": lambda rng: rng.choice(
        (0.0, -0.0, 0, 1, 1.0, -1.5, math.inf, -math.inf, EDGE, -EDGE, float(EDGE), 5e-324,
         rng.uniform(-1e300, 1e300), rng.randint(-EDGE, EDGE))
    ),
}


def rows(kinds, n, seed, lengths=None):
    """n tuples, item j of each drawn from COLUMNS[kinds[j]], each cut to one of `lengths` if
    given; about a third repeat an earlier tuple, as a new tuple of distinct items."""
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        if out and rng.random() < 0.3:
            row = rng.choice(out)
        else:
            row = tuple(COLUMNS[kind](rng) for kind in kinds)
            row = row[: rng.choice(lengths)] if lengths else row
        out.append(tuple(map(distinct, row)))
    return out


# name: (column kinds, lengths to cut the tuples to, how the native path orders them).
SHAPES = {
    "one": (["wide"], None, ONE_WORD),
    "two-narrow": (["narrow", "negative"], None, ONE_WORD),
    "eight-bytes": (["byte"] * 8, None, ONE_WORD),
    "three-wide": (["wide"] * 3, None, words(3)),
    "four": (["constant", "negative", "wide", "edges"], None, words(3)),
    "edges": (["edges", "edges"], None, words(2)),
    "floats": (["floats", "wide", "floats"], None, ANY),
    "prefixes": (["narrow", "narrow", "wide", "narrow"], (0, 1, 2, 3, 4), ANY),
    "lengths-narrow": (["narrow"] * 4, (1, 2, 4), ONE_WORD),
    "constant": (["constant", "constant"], None, "already in order"),
}


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("n", [255, 256, 257, 2048])
@pytest.mark.parametrize("shape", SHAPES)
def test_tuples_as_sorted(shape, n, keyed, reverse):
    kinds, lengths, how = SHAPES[shape]
    of = "key" if keyed else "value"
    path = native(of, ".*") if n < 256 else native(of, how)
    check(rows(kinds, n, n, lengths), keyed, reverse, path)


# Other threads may run meanwhile: one packed word, and several.
LONG = [("two-narrow", True, True), ("prefixes", False, False), ("three-wide", True, False),
        ("two-narrow", False, False), ("prefixes", True, True)]


@pytest.mark.parametrize(
    "shape, keyed, reverse, n",
    [(*case, 70_000) for case in LONG[:2]]
    + [pytest.param(*case, 250_000, marks=pytest.mark.pesado) for case in LONG],
)
def test_long_lists(shape, keyed, reverse, n):
    kinds, lengths, how = SHAPES[shape]
    check(rows(kinds, n, 1, lengths), keyed, reverse, native("key" if keyed else "value", how))


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize(
    "key, path",
    [
        (lambda r: (r[1], r[0]), native("key")),
        (itemgetter(1, 0), native("key")),
        (lambda r: r[1:], native("key")),
        (lambda r: (r[0] > 1, r[2]), native("key")),
    ],
    ids=["lambda", "itemgetter", "slice", "bool-first"],
)
def test_key_functions_that_build_tuples(key, path, reverse):
    check(rows(["narrow", "floats", "wide"], 3000, 5), key, reverse, path)


@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("order", ["ascending", "descending"])
def test_tuples_in_order(order, reverse, keyed):
    values = sorted(rows(["narrow", "wide"], 3000, 3, (1, 2)), reverse=order == "descending")
    check(values, keyed, reverse, native("key" if keyed else "value"))


class Sub(tuple):
    pass


class Int(int):
    pass


Pair = namedtuple("Pair", "a b c")

# name: (the tuples put in, side by side; the interpreter's reason, or None for the native path).
# The other tuples are narrow triples: most tuples put in meet equal prefixes.
INTRUDERS = {
    "nan": ([(1, NAN, 2)], "a NaN tuple item"),
    "bool": ([(1, 2, True)], None),
    "int-subclass": ([(1, Int(2), 3)], MIXED),
    "nested": ([(1, 2, (3,))], MIXED),
    "str-last": ([(1, 2, "a")], MIXED),
    "str-never-compared": ([(99, "a")], None),
    "beyond-int64": ([(1, 2**63, 2)], "an int tuple item outside the signed 64-bit range"),
    "below-int64": ([(1, INT64_MIN - 1, 2)], "an int tuple item outside the signed 64-bit range"),
    "int-edges": ([(INT64_MIN, 2, INT64_MAX)], None),
    "float-then-big-int": ([(1, 0.5, 2), (1, EDGE + 1, 2)], "an int tuple item beyond 2.*53 "
                           "among floats"),
    "big-int-then-float": ([(1, -EDGE - 1, 2), (1, 0.5, 2)], "an int tuple item beyond 2.*53 "
                           "among floats"),
    "edge-int-and-float": ([(1, -EDGE, 2), (1, 0.5, 2), (1, EDGE, 2.0)], None),
    "big-int-other-column": ([(1, 0.5, 2), (3, 2, EDGE + 1)], None),
    "signed-zeros": ([(0.0, -0.0, 0), (-0.0, 0, 0.0), (0, 0.0, -0.0), (1.0, 1, 1.0)], None),
    "subclass": ([Sub((1, 2, 3))], "a {} that is not an exact tuple among tuples"),
    "namedtuple": ([Pair(1, 2, 3)], "a {} that is not an exact tuple among tuples"),
    "int": ([5], "a {} that is not an exact tuple among tuples"),
    "list": ([[1, 2, 3]], "a {} that is not an exact tuple among tuples"),
    "long": ([tuple(range(33))], "a tuple of more than 32 items"),
    "longest": ([tuple(range(32)), (1,) * 32], None),
    "empty": ([(), (), (1,)], None),
    "full-column-prefix": ([(1, INT64_MIN), (1, INT64_MAX), (1,)],
                           "tuples of different lengths with a column spanning every int64"),
    "full-column": ([(1, INT64_MIN), (1, INT64_MAX), (1, 0)], None),
    "nearly-full-column-prefix": ([(1, INT64_MIN + 1), (1, INT64_MAX), (1,)], None),
}


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("at", ["first", "middle", "last"])
@pytest.mark.parametrize("intruder", INTRUDERS)
def test_intruders(intruder, at, keyed, reverse):
    put, reason = INTRUDERS[intruder]
    values = rows(["narrow"] * 3, 1000, 9)
    start = {"first": 0, "middle": 500, "last": 1000 - len(put)}[at]
    values[start : start + len(put)] = [
        tuple(map(distinct, row)) if type(row) is tuple else row for row in put
    ]
    of = "key" if keyed else "value"
    if reason is None:
        path = native(of)
    elif at == "first" and "exact tuple" in reason:  # no tuple first: read as a number
        path = f"interpreter: a {of} that is not an exact int or float"
    else:
        path = "interpreter: " + reason.format(of)
    check(values, keyed, reverse, path)


@pytest.mark.parametrize("entry", ["sort", "sort_in_place"])
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("intruder_at", [None, 1000], ids=["native", "after-an-int"])
@pytest.mark.parametrize("fails_at", [0, 1, 300, 2999])
def test_key_function_that_raises(fails_at, intruder_at, reverse, entry):
    """After an int among tuple keys, the interpreter's sort computes the keys that follow."""
    keys = rows(["narrow", "wide"], 3000, fails_at)
    if intruder_at is not None:
        keys[intruder_at] = 5
    assert_failing_key_as_builtin(entry, [Item(i, k) for i, k in enumerate(keys)], fails_at,
                                  reverse)


FLOAT_SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, math.inf, -math.inf, 5e-324, float(EDGE)]
ITEM = st.one_of(
    st.integers(-3, 3),
    st.integers(-(2**20), 2**20),
    st.integers(-EDGE, EDGE),
    st.floats(allow_nan=False),
    st.sampled_from(FLOAT_SPECIALS + [0, 1, EDGE, -EDGE]),
)
ROW = st.lists(ITEM, max_size=4).map(tuple)
INTRUDER = st.one_of(
    st.none(),
    st.sampled_from([NAN, True, INT64_MIN, INT64_MAX, 2**63, INT64_MIN - 1, EDGE + 1, "a", (1,)]),
)


def orders_natively(values):
    """Whether the native tuple path may take `values`."""
    if any(type(row) is not tuple or len(row) > 32 for row in values):
        return False
    lengths = {len(row) for row in values}
    for j in range(max(lengths)):
        column = [row[j] for row in values if len(row) > j]
        kinds = {type(item) for item in column} - {bool}
        if not kinds <= {int, float} or any(item != item for item in column):
            return False
        ints = [item for item in column if type(item) is int]
        if any(not INT64_MIN <= item <= INT64_MAX for item in ints):
            return False
        if float in kinds and any(abs(item) > EDGE for item in ints):
            return False
        if min(lengths) <= j and {INT64_MIN, INT64_MAX} <= set(ints):
            return False
    return True


@drawn_mixes(ROW, INTRUDER, largest=2500, examples=120)
def test_random_tuples_as_sorted(pool, intruder, n, seed, keyed, reverse):
    """Tuples from a small pool (many equal ones, as distinct objects), half of them with one
    item changed to a random int of its column's width, perhaps one with an intruder added."""
    rng = random.Random(seed)
    values, widths = [], [rng.choice((2, 30, 53, 63)) for _ in range(4)]
    for _ in range(n):
        row = list(rng.choice(pool))
        if row and rng.random() < 0.5:
            j = rng.randrange(len(row))
            row[j] = rng.randint(-(2 ** widths[j]), 2 ** widths[j] - 1)
        values.append(tuple(map(distinct, row)))
    if intruder is not None:
        # A copy: Hypothesis keeps references to what it drew, and drops them at its own time.
        at = rng.randrange(n)
        values[at] = (*values[at], distinct(intruder))
    path = check(values, keyed, reverse)
    # Items that only tied rows would compare may be anything: the native path takes more lists
    # than orders_natively() tells.
    if n >= 256 and orders_natively(values):
        assert path.startswith("native: tuple"), path
