"""The drop-in layer against the builtins: sort() as sorted(), sort_in_place() as list.sort()."""

import importlib.metadata
import random
from operator import itemgetter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vesksort_native
from vesksort_native import _vesksort

from conftest import assert_same_objects, distinct, refcounts, with_duplicates

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

# Values of every path, unkeyed: (rng, n) -> list.
VALUES = {
    "int64": lambda rng, n: [rng.randint(INT64_MIN, INT64_MAX) for _ in range(n)],
    "small": lambda rng, n: [rng.randrange(-40, 40) for _ in range(n)],
    "dense": lambda rng, n: [rng.randrange(max(1, n)) for _ in range(n)],
    "wide": lambda rng, n: [rng.randint(-(2**70), 2**70) for _ in range(n)],
    "sorted": lambda rng, n: sorted(rng.randrange(10**9) for _ in range(n)),
    "descending": lambda rng, n: sorted((rng.randrange(10**9) for _ in range(n)), reverse=True),
    "bools": lambda rng, n: [rng.random() < 0.5 for _ in range(n)],
    "ints-and-a-bool": lambda rng, n: [rng.randrange(99) for _ in range(n - 1)] + [True][: n > 0],
    "floats": lambda rng, n: [rng.choice((rng.random(), float("nan"), -0.0, 0.0)) for _ in range(n)],
    "mixed": lambda rng, n: [rng.choice((rng.random(), rng.randrange(-9, 9))) for _ in range(n)],
    "strings": lambda rng, n: [str(rng.randrange(10**6)) for _ in range(n)],
    "tuples": lambda rng, n: [(rng.randrange(3), str(rng.randrange(5))) for _ in range(n)],
    "incomparable": lambda rng, n: [rng.choice((1, "a")) for _ in range(n)],
}

def nearly_sorted(rng, n):
    """Sorted 40-bit values with 1% of pairs swapped."""
    values = sorted(rng.randrange(2**40) for _ in range(n))
    for _ in range(n // 100):
        i, j = rng.randrange(n), rng.randrange(n)
        values[i], values[j] = values[j], values[i]
    return values


# Keys given to each item, before any turn: (rng, n) -> list of keys.
KEYS = {
    "int64": lambda rng, n: [rng.randint(INT64_MIN, INT64_MAX) for _ in range(n)],
    "small": lambda rng, n: [rng.randrange(-3, 3) for _ in range(n)],
    "dense": lambda rng, n: [rng.randrange(max(1, n)) for _ in range(n)],
    "wide": lambda rng, n: [rng.randint(-(2**65), 2**65) for _ in range(n)],
    # Nearly sorted and widely spread: the native attempt gives up at its first checkpoint.
    "nearly-sorted": lambda rng, n: nearly_sorted(rng, n),
    "descending": lambda rng, n: [-1000 * i for i in range(n)],
    "bools": lambda rng, n: [rng.random() < 0.5 for _ in range(n)],
    "floats": lambda rng, n: [rng.random() for _ in range(n)],
    "strings": lambda rng, n: [str(rng.randrange(100)) for _ in range(n)],
}

# What happens to the key of item `at` and after: a turn away from int keys, or a failure.
TURNS = ["none", "float", "str", "bool", "overflow", "raise-value-error", "raise-custom"]

SIZES = [0, 1, 2, 3, 17, 300, 2047, 2048, 2500, 9000]


class Boom(Exception):
    pass


class Item:
    """A distinct object per item; the key function looks its key up by identity."""

    __slots__ = ("label",)

    def __init__(self, label):
        self.label = label

    def __repr__(self):
        return f"Item({self.label})"


def make_values(kind, n, seed):
    return with_duplicates(VALUES[kind](random.Random(seed), n), seed)


def make_keyed(kind, turn, n, at, seed):
    """Items, a key function factory and the table it reads. A new key function logs every
    item that it is called with, in order."""
    rng = random.Random(seed)
    items = [Item(i) for i in range(n)]
    keys = KEYS[kind](rng, n)
    if turn != "none" and n:
        at = at % n
        for i in range(at, n):
            keys[i] = {
                "float": keys[i] + 0.5 if type(keys[i]) is int else 0.5,
                "str": "turned",
                "bool": True,
                "overflow": 2**64 + i,
            }.get(turn, keys[i])
    table = {id(item): distinct(key) for item, key in zip(items, keys)}
    failure = {"raise-value-error": ValueError, "raise-custom": Boom}.get(turn)

    def key_function_with(log):
        def key(item):
            log.append(item)
            if failure is not None and item is items[at % n]:
                raise failure(f"key failed at {at % n}")
            return table[id(item)]

        return key

    return items, key_function_with


def outcome(function):
    """(result, exception type and text) of a call."""
    try:
        return function(), None
    except (Exception, Boom) as error:  # noqa: BLE001 - compared with the builtin's
        return None, (type(error), str(error))


def assert_same_log(log, expected):
    assert [id(item) for item in log] == [id(item) for item in expected]


def assert_same_outcome(got, want):
    (result, error), (expected, expected_error) = got, want
    assert error == expected_error
    if expected is not None:
        assert_same_objects(result, expected)


SETTINGS = settings(
    max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)


@SETTINGS
@given(
    kind=st.sampled_from(sorted(VALUES)),
    n=st.sampled_from(SIZES),
    seed=st.integers(0, 2**32),
    reverse=st.booleans(),
)
def test_unkeyed_matches_the_builtins(kind, n, seed, reverse):
    values = make_values(kind, n, seed)
    original = list(values)
    assert_same_outcome(
        outcome(lambda: vesksort_native.sort(values, reverse=reverse)),
        outcome(lambda: sorted(values, reverse=reverse)),
    )
    assert_same_objects(values, original)
    mine, theirs = list(values), list(values)
    assert_same_outcome(
        outcome(lambda: vesksort_native.sort_in_place(mine, reverse=reverse)),
        outcome(lambda: theirs.sort(reverse=reverse)),
    )
    assert_same_objects(mine, theirs)


@SETTINGS
@given(
    kind=st.sampled_from(sorted(KEYS)),
    turn=st.sampled_from(TURNS),
    n=st.sampled_from(SIZES),
    at=st.integers(0, 10**4),
    seed=st.integers(0, 2**32),
    reverse=st.booleans(),
)
def test_keyed_matches_the_builtins(kind, turn, n, at, seed, reverse):
    items, key_with = make_keyed(kind, turn, n, at, seed)
    mine, theirs = [], []
    assert_same_outcome(
        outcome(lambda: vesksort_native.sort(iter(items), key=key_with(mine), reverse=reverse)),
        outcome(lambda: sorted(iter(items), key=key_with(theirs), reverse=reverse)),
    )
    assert_same_log(mine, theirs)

    in_place, builtin = list(items), list(items)
    mine, theirs = [], []
    assert_same_outcome(
        outcome(lambda: vesksort_native.sort_in_place(in_place, key=key_with(mine), reverse=reverse)),
        outcome(lambda: builtin.sort(key=key_with(theirs), reverse=reverse)),
    )
    assert_same_log(mine, theirs)
    assert_same_objects(in_place, builtin)


@pytest.mark.parametrize("n", [3, 3000])
@pytest.mark.parametrize("reverse", [False, True])
def test_equal_keys_keep_their_input_order(n, reverse):
    items = [Item(i) for i in range(n)]
    key = {id(item): item.label % 3 for item in items}.__getitem__
    assert_same_objects(
        vesksort_native.sort(items, key=lambda item: key(id(item)), reverse=reverse),
        sorted(items, key=lambda item: key(id(item)), reverse=reverse),
    )
    values = [distinct(10**12 + i % 3) for i in range(n)]
    assert_same_objects(
        vesksort_native.sort(values, reverse=reverse), sorted(values, reverse=reverse)
    )


def lengths_seen(lst, key):
    seen = []

    def logged(item):
        seen.append(len(lst))
        return key(item)

    vesksort_native.sort_in_place(lst, key=logged)
    return seen


@pytest.mark.parametrize("n", [50, 5000])
@pytest.mark.parametrize(
    "key",
    [itemgetter(0), lambda pair: str(pair[0]), lambda pair: pair[0] if pair[1] else 0.5],
    ids=["int", "str", "float-then-int"],
)
def test_key_functions_see_an_empty_list_as_with_list_sort(key, n):
    pairs = [(i % 7, i) for i in range(n)]
    expected = sorted(pairs, key=key)
    assert lengths_seen(pairs, key) == [0] * n
    assert_same_objects(pairs, expected)


def test_keys_of_nearly_sorted_input_are_computed_once():
    # Widely spread keys in order but for one swapped pair: ordered by the interpreter's sort,
    # which is handed the keys already computed.
    items = [Item(i) for i in range(5000)]
    label = {id(item): 10**9 * item.label for item in items}
    label[id(items[10])], label[id(items[11])] = label[id(items[11])], label[id(items[10])]
    in_place = list(items)
    calls = []
    seen = lengths_seen(in_place, lambda item: calls.append(item) or label[id(item)])
    assert seen == [0] * 5000
    assert_same_log(calls, items)
    assert_same_objects(in_place, sorted(items, key=lambda item: label[id(item)]))


def test_reference_counts_are_kept():
    items = [distinct(10**15 + i % 5) for i in range(3000)]
    keys = [distinct(-i) for i in range(3000)]
    key_of = dict(zip(map(id, items), keys))
    key = lambda item: key_of[id(item)]  # noqa: E731
    before = refcounts(items), refcounts(keys)
    for arguments in ({}, {"reverse": True}, {"key": key}, {"key": str}, {"key": key, "reverse": True}):
        result = vesksort_native.sort(items, **arguments)
        lst = list(items)
        vesksort_native.sort_in_place(lst, **arguments)
        del result, lst
        assert (refcounts(items), refcounts(keys)) == before, arguments


@pytest.mark.parametrize("reverse", [False, True])
def test_a_key_that_resizes_the_list_raises_value_error(reverse):
    lst = list(range(100))
    with pytest.raises(ValueError):
        vesksort_native.sort_in_place(lst, key=lambda x: lst.append(x) or x, reverse=reverse)
    builtin = list(range(100))
    with pytest.raises(ValueError):
        builtin.sort(key=lambda x: builtin.append(x) or x, reverse=reverse)


@pytest.mark.parametrize(
    "arguments",
    [
        {"key": 5},
        {"key": "len"},
        {"reverse": None},
        {"reverse": "yes"},
        {"reverse": 2},
        {"reverse": 0.0},
        {"reverse": []},
        {"key": None, "reverse": 1},
        {"key": abs, "reverse": 2**70},
    ],
    ids=repr,
)
@pytest.mark.parametrize("values", [[], [1], [3, 1, 2], list(range(3000, 0, -1))], ids=len)
def test_odd_arguments_behave_as_the_builtins(arguments, values):
    assert_same_outcome(
        outcome(lambda: vesksort_native.sort(values, **arguments)),
        outcome(lambda: sorted(values, **arguments)),
    )
    mine, theirs = list(values), list(values)
    assert_same_outcome(
        outcome(lambda: vesksort_native.sort_in_place(mine, **arguments)),
        outcome(lambda: theirs.sort(**arguments)),
    )
    assert_same_objects(mine, theirs)


class FailingTruth:
    def __bool__(self):
        raise Boom("no truth value")


def test_the_iterable_is_consumed_before_reverse_is_judged():
    consumed = []

    def generator():
        for i in (2, 1):
            consumed.append(i)
            yield i

    with pytest.raises(Boom):
        vesksort_native.sort(generator(), reverse=FailingTruth())
    assert consumed == [2, 1]


@pytest.mark.parametrize(
    "call",
    [
        lambda: vesksort_native.sort([1], None),
        lambda: vesksort_native.sort(iterable=[1]),
        lambda: vesksort_native.sort([1], cmp=None),
        lambda: vesksort_native.sort(),
        lambda: vesksort_native.sort(5),
        lambda: vesksort_native.sort(5, key=len),
        lambda: vesksort_native.sort(5, reverse=True),
        lambda: vesksort_native.sort_in_place([1], None),
        lambda: vesksort_native.sort_in_place(lst=[1]),
    ],
)
def test_calling_errors_are_type_errors(call):
    with pytest.raises(TypeError):
        call()


def test_sort_never_changes_its_input_and_returns_a_new_list():
    values = list(range(5000, 0, -1))
    for arguments in ({}, {"reverse": True}, {"key": lambda x: -x}, {"key": str}):
        result = vesksort_native.sort(values, **arguments)
        assert result is not values and values == list(range(5000, 0, -1))
        assert result == sorted(values, **arguments)


def test_public_names():
    assert sorted(vesksort_native.__all__) == [
        "__version__",
        "explain",
        "replacing_sorted",
        "sort",
        "sort_in_place",
        "sort_in_place_with_strategy",
        "sort_with_strategy",
    ]
    assert vesksort_native.sort_with_strategy is _vesksort.sort_with_strategy
    assert vesksort_native.sort_in_place_with_strategy is _vesksort.sort_in_place_with_strategy
    assert vesksort_native.sort_in_place([]) is None


@pytest.mark.no_refleak  # the metadata lookup fills caches of its own
def test_version_is_the_installed_one():
    assert vesksort_native.__version__ == importlib.metadata.version("vesksort-native")


@pytest.mark.parametrize("make", [list, tuple], ids=["list", "tuple"])
@pytest.mark.parametrize("reverse", [False, True])
def test_long_inputs_are_copied_whole(make, reverse):
    # From 32,768 items sort() copies a list or a tuple into an item array of its own.
    values = with_duplicates(VALUES["int64"](random.Random(9), 40000))
    source = make(values)
    before = refcounts(values)
    result = vesksort_native.sort(source, reverse=reverse)
    assert_same_objects(result, sorted(values, reverse=reverse))
    assert_same_objects(list(source), values)
    result.append(None)  # the copy's item array grows as any list's does
    del result
    assert refcounts(values) == before
