"""The drop-ins on tuples with string columns, on bools, and on dates and times, against sorted()
by object identity: a later column is read only where earlier ones tie (so that what sorted()
never compares may be anything), a tuple that ends first comes first, True == 1 == 1.0, datetimes
that share a tzinfo object compare by their fields, fold ignored; different tzinfo objects,
naive beside aware, subclasses and mixed kinds in a tied column go to the interpreter, whose
exception and message the drop-ins then raise."""

import datetime as dt
import random
from operator import itemgetter

import pytest

from conftest import Item, assert_failing_key_as_builtin, check, distinct

COLUMNS = r"native: tuple (value|key)s, column by column \(\d columns? read\)"
MIXED = ("interpreter: tied tuples whose items in a column are not all numbers, dates or times "
         "of one kind, or strings of one type")


def words(rng, n, pool=None, letters="abcdefgh"):
    """n words as distinct objects, drawn from `pool` words when given (ties)."""
    drawn = (["".join(rng.choices(letters, k=rng.randint(0, 9))) for _ in range(pool)]
             if pool else None)
    return [distinct(rng.choice(drawn) if drawn else
                     "".join(rng.choices(letters, k=rng.randint(0, 9)))) for _ in range(n)]


class Str(str):
    pass


class Counted:
    """Compares by `rank`, counting its comparisons."""

    compared = 0

    def __init__(self, rank):
        self.rank = rank

    def __lt__(self, other):
        Counted.compared += 1
        return self.rank < other.rank

    def __eq__(self, other):
        Counted.compared += 1
        return self.rank == other.rank

    __hash__ = None


def tuples(shape, n, seed):
    rng = random.Random(seed)
    if shape == "items":  # sorted(d.items()): unique keys, values never compared
        keys = list(dict.fromkeys(words(rng, 3 * n)))[:n]
        return [(k, {"i": i}) for i, k in enumerate(keys)]
    if shape == "category-price":
        return [(w, distinct(rng.choice([0.5, -0.0, 0.0, 1, 2.25, rng.random()])))
                for w in words(rng, n, 30)]
    if shape == "score-name":
        return [(rng.randrange(20), w) for w in words(rng, n, 40)]
    if shape == "names":
        return [(a, b, i) for i, (a, b) in enumerate(zip(words(rng, n, 20), words(rng, n, 20)))]
    if shape == "bytes-and-wide":
        return [(rng.choice([b"a", b"ab", b""]), rng.choice(["\u4e2d", "a", "\U0001f600", ""]),
                 rng.choice([True, False, 0, 1.0])) for _ in range(n)]
    if shape == "wide-heads":  # strs whose keys take two and three bytes per code point
        pool = "a\x80\u6f7f\u6f80\U0001f600"
        return [("".join(rng.choices(pool, k=rng.randint(0, 9))), i) for i in range(n)]
    if shape == "lengths":  # prefixes of one another, ties to the end
        return [tuple(rng.choice(["a", "b"]) for _ in range(rng.randint(0, 4))) for _ in range(n)]
    if shape == "dates":
        day = dt.date(2000, 1, 1)
        return [(day + dt.timedelta(days=rng.randrange(40)), w) for w in words(rng, n, 30)]
    raise AssertionError(shape)


SHAPES = ["items", "category-price", "score-name", "names", "bytes-and-wide", "wide-heads",
          "lengths", "dates"]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("shape", SHAPES)
def test_tuples_with_string_columns(shape, keyed, reverse):
    check(tuples(shape, 2000, 1), keyed, reverse, COLUMNS)


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize(
    "key, path",
    [(lambda r: (r[1], r[0]), COLUMNS), (itemgetter(1, 0), COLUMNS),
     (lambda r: (r[0] > "d", r[2]), r"native: tuple keys, radix sort in \d passes")],
    ids=["swap", "itemgetter", "bool-first"])
def test_key_tuples(key, path, reverse):
    check(tuples("names", 3000, 2), key, reverse, path)


def test_values_that_no_row_reaches_are_never_compared():
    rng = random.Random(3)
    keys = list(dict.fromkeys(words(rng, 9000)))[:3000]
    values = [(k, Counted(i)) for i, k in enumerate(keys)]
    Counted.compared = 0
    check(values, False, False, r"native: tuple values, column by column \(1 column read\)")
    assert Counted.compared == 0


# name: (the rows put among (word, int) pairs from a few words; the path, None for MIXED)
INTRUDERS = {
    "str-subclass-first": ([(Str("a"), 1)], None),
    "object-where-tied": ([("a", Counted(1)), ("a", Counted(2))], None),
    "object-never-reached": ([("zzzzzzzzzz", Counted(1))], COLUMNS),
    "str-among-ints": ([("a", "x")], None),
    "bytes-among-str": ([(b"a", 1)], None),
    "nan-where-tied": ([("a", float("nan"))], "interpreter: a NaN tuple item"),
    "nested-tuple": ([("a", (1,))], None),
    "list": ([["a", 1]], r"interpreter: a (value|key) that is not an exact tuple among tuples"),
}


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("at", [0, 700, 1999])
@pytest.mark.parametrize("intruder", INTRUDERS)
def test_intruders(intruder, at, keyed, reverse):
    rng = random.Random(4)
    values = [(w, rng.randrange(5)) for w in words(rng, 2000, 12)]
    put, path = INTRUDERS[intruder]
    values[at : at + len(put)] = put
    if intruder == "list" and at == 0:
        path = r"interpreter: a (value|key) that is not an exact int or float"
    check(values, keyed, reverse, MIXED if path is None else path)


@pytest.mark.parametrize("entry", ["sort", "sort_in_place"])
@pytest.mark.parametrize("fails_at", [0, 1, 1500])
def test_key_function_that_raises(entry, fails_at):
    rng = random.Random(5)
    items = [Item(i, k) for i, k in enumerate(zip(words(rng, 2000, 30), words(rng, 2000)))]
    assert_failing_key_as_builtin(entry, items, fails_at, False)


# Bools are the ints 0 and 1: equal to 0, 1, 0.0 and 1.0, which keep their order among them.
BOOLS = {
    "bools": lambda rng: rng.random() < 0.5,
    "with-ints": lambda rng: rng.choice([True, False, 0, 1, -1, 2, 2**40]),
    "with-floats": lambda rng: rng.choice([True, False, 0.0, 1.0, -0.0, 0.5, 1, 0]),
}


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("mix", BOOLS)
def test_bools(mix, keyed, reverse):
    rng = random.Random(6)
    values = [distinct(BOOLS[mix](rng)) for _ in range(3000)]
    kind = {"bools": "bool", "with-ints": "int64", "with-floats": "float"}[mix]
    check(values, keyed, reverse, rf"native: {kind} (value|key)s, .*")


def test_bool_key():
    check(list(range(3000)), lambda x: x % 3 == 0, False, r"native: bool keys, .*")
    check(list(range(3000)), lambda x: x % 3 == 0, True, r"native: bool keys, .*")


UTC2 = dt.timezone(dt.timedelta(hours=2))
UTC3 = dt.timezone(dt.timedelta(hours=3))


class Zone(dt.tzinfo):
    """A tzinfo whose utcoffset() must never be called when every datetime shares it."""

    def utcoffset(self, when):
        raise AssertionError("utcoffset() called")

    def dst(self, when):
        return None


ZONE = Zone()
Date = type("Date", (dt.date,), {})


def moments(rng, n, tz=None, fold=False):
    start = dt.datetime(1, 1, 1) if rng.random() < 0.2 else dt.datetime(2020, 5, 1)
    out = []
    for _ in range(n):
        when = start + dt.timedelta(microseconds=rng.randrange(10**10))
        out.append(when.replace(tzinfo=tz, fold=rng.randrange(2) if fold else 0))
    return out + [dt.datetime.max.replace(tzinfo=tz), dt.datetime.min.replace(tzinfo=tz)]


# name: (values, the path)
def temporal_cases():
    rng = random.Random(7)
    dates = [d.date() for d in moments(rng, 2000)] + [dt.date.min, dt.date.max]
    deltas = [dt.timedelta(microseconds=rng.randrange(-10**14, 10**14)) for _ in range(2000)]
    return {
        "naive": (moments(rng, 2000), "native: datetime"),
        "naive-fold": (moments(rng, 2000, fold=True), "native: datetime"),
        "one-tzinfo": (moments(rng, 2000, UTC2), "native: datetime"),
        "own-tzinfo": (moments(rng, 2000, ZONE, fold=True), "native: datetime"),
        "dates": (dates, "native: date"),
        "timedeltas": (deltas, "native: timedelta"),
        "timedelta-extremes": (deltas + [dt.timedelta.min, dt.timedelta.max],
                               "interpreter: a timedelta (value|key) beyond"),
        "date-and-datetime": (dates + moments(rng, 10),
                              "interpreter: a (value|key) that is not an exact date among date"),
        "subclass": (dates[:1000] + [Date(2001, 1, 1)] + dates[1000:],
                     "interpreter: a (value|key) that is not an exact date among date"),
    }


TEMPORAL = temporal_cases()

# Datetimes of different tzinfo objects: the interpreter's sort compares them through
# utcoffset(), or raises for naive beside aware.
ZONES = {
    "two-tzinfos": lambda rng: moments(rng, 1000, UTC2) + moments(rng, 1000, UTC3),
    "naive-and-aware": lambda rng: moments(rng, 1000) + moments(rng, 1000, UTC2),
}


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("case", TEMPORAL)
def test_dates_and_times(case, keyed, reverse):
    values, path = TEMPORAL[case]
    check([distinct(v) if type(v) is not dt.datetime else v for v in values], keyed, reverse,
          path + ".*")


@pytest.mark.parametrize("reverse", [False, True])
def test_datetimes_in_tuples(reverse):
    rng = random.Random(8)
    when = moments(rng, 300)
    pairs = [(rng.choice(when), i % 7) for i in range(3000)]
    check(pairs, False, reverse, COLUMNS)
    check(pairs, itemgetter(0), reverse, r"native: datetime keys, .*")


# The interpreter's own comparisons of datetimes of different tzinfo objects grow its reference
# counts on every call (sorted() alone does, under the debug interpreter): no leak accounting.
@pytest.mark.no_refleak
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("case", ZONES)
def test_datetimes_of_different_tzinfo_objects(case, keyed, reverse):
    rng = random.Random(9)
    check(ZONES[case](rng), keyed, reverse,
          r"interpreter: datetime (value|key)s with different tzinfo objects")
    when = moments(rng, 300)
    pairs = [(rng.choice(when), i % 7) for i in range(3000)]
    mixed = pairs[:1500] + [(when[0].replace(tzinfo=UTC2), 0)] + pairs[1500:]
    check(mixed, False, reverse, r"interpreter: datetime tuple items with different tzinfo .*")
