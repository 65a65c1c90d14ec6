"""The drop-ins on short lists (up to 255 items), against sorted() by object identity, at every
length around the thresholds: the interpreter's sort below 3 to 8 items (by the kind, and 3 with
a key), the short-list path from there on, the long paths from 256. Ties, reverse, keys, lists in
order and in runs, and a kind that no native path orders among them."""

import datetime as dt
import random
import threading
import time

import pytest

import vesksort_native

from conftest import check, distinct

DAY = dt.date(2024, 1, 1)

# kind: a drawing of one value, from few distinct ones (ties) and many.
KINDS = {
    "int64": lambda rng: rng.choice([rng.randrange(-(2**63), 2**63), rng.randrange(3), True]),
    "float": lambda rng: rng.choice([rng.random(), 0.0, -0.0, 1, 1.0, False]),
    # Both signs: parted by sign before their radix sort.
    "float-signs": lambda rng: rng.choice([rng.uniform(-1e12, 1e12), -2.5, 2.5, -1, 0.0]),
    "str": lambda rng: "".join(rng.choices("ab\xe9\u4e2d", k=rng.randint(0, 9))),
    "bytes": lambda rng: bytes(rng.choices(b"a\x00\xff", k=rng.randint(0, 9))),
    "tuple": lambda rng: (rng.choice("abc"), rng.randrange(3)),
    "date": lambda rng: DAY + dt.timedelta(days=rng.randrange(5)),
}
LENGTHS = [*range(0, 40), 63, 64, 65, 200, 254, 255, 256, 257]


def values(kind, n, seed, shape="random"):
    rng = random.Random(seed)
    out = [distinct(KINDS[kind](rng)) for _ in range(n)]
    if shape == "sorted":
        out.sort()
    elif shape == "appended" and n > 2:
        out[:-2] = sorted(out[:-2])
    return out


# The least length that the short-list path takes, by the first item's type (with a key: 3).
LEAST_NATIVE = {int: 3, bool: 3, float: 4, tuple: 5, str: 8, bytes: 8, dt.date: 6}


def ordered_in_place(a, b):
    """Two values that the drop-ins compare themselves: of one type, int64, float (no NaN) or
    str."""
    return type(a) is type(b) and (type(a) is str or
                                   type(a) is float and a == a and b == b or
                                   type(a) is int and all(-2**63 <= v < 2**63 for v in (a, b)))


def expected_path(items, keyed):
    n = len(items)
    if n < 2:
        return r"(nothing to order|interpreter: fewer than \d+ items)"
    if n == 2 and ordered_in_place(*items):
        return r"native: \w+ (value|key)s, short-list sort"
    least = 3 if keyed else LEAST_NATIVE[type(items[0])]
    if n < least:
        return rf"interpreter: fewer than {least} items"
    return r"native: .*"


def run_at_once(work, count):
    """work(seed) for seeds 0 ... count - 1, each in a thread of its own, all at once."""
    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("kind", KINDS)
def test_every_length(kind, keyed, reverse):
    for n in LENGTHS:
        for shape in ("random", "sorted", "appended"):
            items = values(kind, n, n, shape)
            check(items, keyed, reverse, expected_path(items, keyed))


@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("at", [0, 17, 99])
@pytest.mark.parametrize(
    "intruder, path",
    [(2**64, r"interpreter: an int (value|key) outside the signed 64-bit range"),
     (float("nan"), r"interpreter: (a NaN|an int) (value|key).*"),
     ("x", r"interpreter: a (value|key) that is not an exact int or float"),
     (dt.datetime(2024, 1, 1), r"interpreter: .*")],
    ids=["big-int", "nan", "str", "datetime"])
def test_a_kind_that_sends_the_list_on(intruder, path, at, keyed):
    items = values("int64", 100, at) if intruder != dt.datetime(2024, 1, 1) \
        else values("date", 100, at)
    items[at] = intruder
    check(items, keyed, False, path)


def test_threads_sorting_short_lists_at_once():
    """Each thread sorts lists of its own, of every kind, while the others do."""
    errors = []

    def work(seed):
        lists = [values(kind, 100 + seed, seed) for kind in KINDS]
        for _ in range(200):
            for items in lists:
                for reverse in (False, True):
                    expected = sorted(items, reverse=reverse)
                    result = vesksort_native.sort(items, reverse=reverse)
                    if any(a is not b for a, b in zip(result, expected)):
                        errors.append((seed, reverse))

    run_at_once(work, 3)
    assert not errors


NAN = float("nan")


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize(
    "pair",
    [(1, 2), (2, 1), (5, 5), (-(2**63), 2**63 - 1), (2**63, 1), (2**64, -(2**64)),
     (0.0, -0.0), (NAN, 1.0), (1.0, NAN), (NAN, NAN), (1.5, 1), (True, 0), (True, False),
     ("b", "a"), ("a", "a"), ("\u4e2d", "z"), ("", "\0"), (b"b", b"a"), ((2,), (1,))],
    ids=repr)
def test_two_items(pair, keyed, reverse):
    """Two items: compared natively where both are of one type that compares without running
    any code, by the interpreter's sort otherwise; ties, NaNs and reverse as sorted() has them."""
    check([distinct(v) for v in pair], keyed, reverse)


class Counted:
    """A value whose comparisons are recorded, and which raises at the comparison `fails_at`."""

    def __init__(self, value, log, fails_at=None):
        self.value, self.log, self.fails_at = value, log, fails_at

    def __lt__(self, other):
        self.log.append((self.value, other.value))
        if len(self.log) == self.fails_at:
            raise ValueError("comparison failed")
        return self.value < other.value


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("n", [2, 3, 7, 16, 100, 255])
def test_keys_of_another_kind_compared_as_the_builtin_compares_them(n, reverse):
    """Keys that no native path orders: the same comparisons, in the same order, as
    list.sort(key=...), the same order of the items, and where a comparison raises, the list
    left as list.sort() leaves it. Two items share one key object."""
    rng = random.Random(n)
    values = [rng.randrange(n // 2 + 1) for _ in range(n - 2)]
    for fails_at in (None, 1, n // 2 + 1, 2 * n):
        logs, orders = {}, {}
        for name, sort in (("builtin", list.sort), ("drop-in", vesksort_native.sort_in_place)):
            log = logs[name] = []
            shared = Counted(-1, log, fails_at)
            keys = [Counted(v, log, fails_at) for v in values] + [shared, shared]
            items = [(key, i) for i, key in enumerate(keys)]
            try:
                sort(items, key=lambda item: item[0], reverse=reverse)
            except ValueError as error:
                assert str(error) == "comparison failed"
            orders[name] = [i for _, i in items]
        assert logs["builtin"] == logs["drop-in"]
        assert orders["builtin"] == orders["drop-in"]


class Nesting:
    """A key whose comparisons sort another short list by keys of its own kind, and let other
    threads run: the keys' sort is entered again, in this thread and in others, while it runs."""

    def __init__(self, value, depth):
        self.value, self.depth = value, depth

    def __lt__(self, other):
        if self.depth:
            inner = [(Nesting(v, self.depth - 1), v) for v in (3, 1, 2, 1)]
            vesksort_native.sort_in_place(inner, key=lambda item: item[0])
            assert [v for _, v in inner] == [1, 1, 2, 3]
        time.sleep(0)
        return self.value < other.value


@pytest.mark.no_refleak
def test_keys_sort_entered_again_and_from_other_threads():
    """Short lists whose keys' comparisons sort again, from 3 threads at once: each sort gets a
    list of its own for its keys, and every result is sorted()'s."""
    errors = []

    def work(seed):
        rng = random.Random(seed)
        try:
            for _ in range(30):
                items = [(Nesting(rng.randrange(5), 1), i) for i in range(rng.randrange(2, 12))]
                for reverse in (False, True):
                    expected = sorted(items, key=lambda item: item[0], reverse=reverse)
                    result = vesksort_native.sort(items, key=lambda item: item[0], reverse=reverse)
                    if any(a is not b for a, b in zip(result, expected, strict=True)):
                        errors.append((seed, reverse))
        except Exception as error:  # noqa: BLE001 - reported by the assertion below
            errors.append((seed, repr(error)))

    run_at_once(work, 3)
    assert not errors


@pytest.mark.parametrize("kind, n, path", [
    ("int64", 4095, "short-list sort"), ("int64", 4096, r"radix sort in \d passes"),
    ("float-signs", 1023, "short-list sort"), ("float-signs", 1024, r"radix sort in \d passes"),
    ("narrow", 1000, r"radix sort in \d pass(es)?"), ("halves", 1000, "2 runs merged"),
])
@pytest.mark.parametrize("reverse", [False, True])
def test_unkeyed_numbers_stay_short_up_to_their_own_length(kind, n, path, reverse):
    """Unkeyed ints up to 4095 items and floats up to 1023 stay on the short-list path where a
    sample finds them spread and in no order; ints of a narrow range, and lists in runs, go on."""
    if kind == "narrow":
        items = [distinct(v) for v in random.Random(n).choices(range(-500, 500), k=n)]
    elif kind == "halves":
        items = values("int64", n, n)
        items = sorted(items[: n // 2]) + sorted(items[n // 2:])
    else:  # spread, with a few ties
        rng = random.Random(n)
        draw = (lambda: rng.randrange(-(2**63), 2**63)) if kind == "int64" \
            else (lambda: rng.uniform(-1e12, 1e12))
        pool = [draw() for _ in range(n // 2)]
        items = [distinct(rng.choice(pool)) for _ in range(n)]
    domain = "float" if kind == "float-signs" else "int64"
    check(items, False, reverse, rf"native: {domain} values, {path}")
