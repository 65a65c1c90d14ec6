"""The unkeyed sort against sorted(): same objects, same order, nothing changed or leaked."""

import random
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vesksort_native import _vesksort

from conftest import assert_same_objects, distinct, refcounts, with_duplicates

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

# Generators of every path: (name, function of (rng, n) -> list).
DISTRIBUTIONS = {
    "int64": lambda rng, n: [rng.randint(INT64_MIN, INT64_MAX) for _ in range(n)],
    "int32": lambda rng, n: [rng.randrange(2**32) for _ in range(n)],
    "dense": lambda rng, n: [rng.randrange(max(1, n // 3)) for _ in range(n)],
    "few-distinct": lambda rng, n: [rng.choice((-(10**15), 7, 10**15)) for _ in range(n)],
    "sign-crossing": lambda rng, n: [rng.randint(-3000, 3000) for _ in range(n)],
    "nearly-sorted": lambda rng, n: sorted(rng.randrange(10**6) for _ in range(n)),
    "big-ints": lambda rng, n: [rng.randint(-(2**70), 2**70) for _ in range(n)],
    "floats": lambda rng, n: [rng.random() for _ in range(n)],
    "mixed": lambda rng, n: [rng.choice((rng.random(), rng.randrange(99), True)) for _ in range(n)],
    "strings": lambda rng, n: [str(rng.randrange(10**6)) for _ in range(n)],
}

ENTRY_POINTS = ["sort", "sort_with_strategy", "sort_in_place", "sort_in_place_with_strategy"]


def run(entry_point, values):
    """Calls an entry point and returns the sorted list it produced."""
    function = getattr(_vesksort, entry_point)
    if entry_point.startswith("sort_in_place"):
        function(values)
        return values
    result = function(values)
    return result[0] if entry_point == "sort_with_strategy" else result


@settings(max_examples=40, deadline=None)
@given(
    distribution=st.sampled_from(sorted(DISTRIBUTIONS)),
    n=st.one_of(st.integers(0, 40), st.integers(2040, 6000)),
    seed=st.integers(0, 2**32),
    entry_point=st.sampled_from(ENTRY_POINTS),
)
def test_same_objects_as_sorted(distribution, n, seed, entry_point):
    values = with_duplicates(DISTRIBUTIONS[distribution](random.Random(seed), n), seed)
    expected = sorted(values)
    assert_same_objects(run(entry_point, values), expected)


@pytest.mark.parametrize(
    "values",
    [
        [random.Random(1).randint(INT64_MIN, INT64_MAX) for _ in range(20000)],
        pytest.param(
            [random.Random(2).randrange(3000) for _ in range(300000)], marks=pytest.mark.pesado
        ),
        [random.Random(3).randint(-1000, 1000) for _ in range(30000)],
    ],
    ids=["radix-raw", "counting", "radix-rebased"],
)
@pytest.mark.parametrize("entry_point", ENTRY_POINTS)
def test_equal_values_keep_their_order(values, entry_point):
    # Large values so that equal ones are distinct objects; then many equal ones.
    values = [distinct(v * 1000 + 257) if i % 2 else distinct(v) for i, v in enumerate(values)]
    values += [distinct(values[i]) for i in range(0, len(values), 5)]
    random.Random(4).shuffle(values)
    expected = sorted(values)
    assert_same_objects(run(entry_point, values), expected)


@pytest.mark.parametrize(
    "make",
    [
        lambda: [random.Random(5).randint(INT64_MIN, INT64_MAX) for _ in range(5000)],
        pytest.param(
            lambda: [distinct(random.Random(6).randrange(10**6)) for _ in range(260000)],
            marks=pytest.mark.pesado,
        ),
        lambda: [random.random() for _ in range(3000)],
        lambda: list(range(3000)),
    ],
    ids=["radix", "counting", "timsort", "sample-monotonic"],
)
def test_copy_mode_never_touches_its_argument(make):
    values = make()
    snapshot = list(values)
    before = refcounts(snapshot)
    result, _ = _vesksort.sort_with_strategy(values)
    assert result is not values
    assert_same_objects(values, snapshot)
    del result
    assert refcounts(snapshot) == before


@pytest.mark.parametrize(
    "make",
    [
        lambda: [distinct(v) for v in random.Random(7).sample(range(10**7), 5000)],
        pytest.param(
            lambda: [distinct(random.Random(8).randrange(10**6)) for _ in range(260000)],
            marks=pytest.mark.pesado,
        ),
        lambda: [random.random() for _ in range(3000)],
        lambda: [distinct(v) for v in range(10**6, 10**6 + 1)],
    ],
    ids=["radix", "counting", "timsort", "trivial"],
)
@pytest.mark.parametrize("entry_point", ENTRY_POINTS)
def test_reference_counts_balance(make, entry_point):
    values = make()
    objects = list(values)
    before = refcounts(objects)
    list_before = sys.getrefcount(values)
    result = run(entry_point, values)
    assert sorted(objects) == result
    del result
    assert sys.getrefcount(values) == list_before
    assert refcounts(objects) == before


@pytest.mark.parametrize(
    "make",
    [
        lambda: (3, 1, 2),
        lambda: iter([3, 1, 2]),
        lambda: {3: 0, 1: 0, 2: 0},
        lambda: "cab",
        lambda: range(3, 0, -1),
    ],
    ids=["tuple", "iterator", "dict", "str", "range"],
)
def test_copy_mode_takes_any_iterable(make):
    assert _vesksort.sort(make()) == sorted(make())


class ListSubclass(list):
    pass


@pytest.mark.parametrize("entry_point", ["sort_in_place", "sort_in_place_with_strategy"])
@pytest.mark.parametrize("argument", [(3, 1, 2), ListSubclass([3, 1, 2]), None, iter([1])])
def test_in_place_requires_an_exact_list(entry_point, argument):
    with pytest.raises(TypeError, match="^vesk_sort_in_place requer uma list exata$"):
        getattr(_vesksort, entry_point)(argument)


def test_list_subclass_is_copied_in_copy_mode():
    values = ListSubclass(random.Random(9).sample(range(10**6), 5000))
    result, strategy = _vesksort.sort_with_strategy(values)
    assert type(result) is list and result == sorted(values)
    assert strategy == "radix nativo: 2 passagens"


@pytest.mark.parametrize("argument", [5, None, object()])
def test_non_iterable_raises_the_host_error(argument):
    with pytest.raises(TypeError, match="not iterable"):
        _vesksort.sort(argument)


def test_failing_iterator_propagates():
    def generate():
        yield 1
        raise KeyError("boom")

    with pytest.raises(KeyError, match="boom"):
        _vesksort.sort(generate())


def test_threads_sort_private_lists_while_the_lock_is_released():
    import threading

    rng = random.Random(10)
    inputs = [[rng.randint(INT64_MIN, INT64_MAX) for _ in range(50000)] for _ in range(4)]
    results = [None] * len(inputs)

    def work(index):
        for _ in range(3):
            results[index] = _vesksort.sort(inputs[index])

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(inputs))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for values, result in zip(inputs, results):
        assert result == sorted(values)
