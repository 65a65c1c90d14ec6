"""Radix sorts large enough to be split by their highest digit before the lower passes: every
entry point gives exactly sorted()'s objects, equal values in input order."""

import random

import pytest

import vesksort_native
from vesksort_native import _vesksort as m

from conftest import assert_same_objects, distinct, with_duplicates

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
# The smallest length that is split; one less is sorted by whole-array passes.
SPLIT_FROM = 3 << 17


def uniform(n, low, high, seed):
    rng = random.Random(seed)
    return with_duplicates([rng.randint(low, high) for _ in range(n)], seed)


def one_big_part(n, seed):
    """Almost every value shares the highest varying digit: one part holds nearly all of them."""
    rng = random.Random(seed)
    values = [rng.randrange(2**22) for _ in range(n)]
    for i in rng.sample(range(n), n // 100):
        values[i] = 2**32 + rng.randrange(2**22)
    return with_duplicates(values, seed)


def nested_big_part(n, seed):
    """One part holds nearly every value and is still too large for the cache: it is split again
    by its own highest digit."""
    rng = random.Random(seed)
    values = [rng.randrange(2**33) for _ in range(n)]
    for i in rng.sample(range(n), n // 100):
        values[i] = 2**50 + rng.randrange(2**33)
    return with_duplicates(values, seed)


def few_distinct(n, seed):
    rng = random.Random(seed)
    pool = [rng.randint(INT64_MIN, INT64_MAX) for _ in range(16)]
    return [distinct(rng.choice(pool)) for _ in range(n)]


def passes(count):
    return "1 passagem" if count == 1 else f"{count} passagens"


UNKEYED = [
    pytest.param(lambda: uniform(SPLIT_FROM, INT64_MIN, INT64_MAX, 1), 6, id="int64-at-split"),
    pytest.param(lambda: uniform(SPLIT_FROM - 1, 0, 2**32 - 1, 2), 3, id="uint32-below-split"),
    pytest.param(lambda: uniform(SPLIT_FROM, 0, 2**32 - 1, 3), 3, id="uint32-at-split",
                 marks=pytest.mark.pesado),
    pytest.param(lambda: uniform(600000, -(2**40), 2**40, 4), 4, id="sign-crossing-int41",
                 marks=pytest.mark.pesado),
    pytest.param(lambda: one_big_part(500000, 5), 3, id="one-big-part", marks=pytest.mark.pesado),
    pytest.param(lambda: nested_big_part(500000, 8), 4, id="nested-big-part",
                 marks=pytest.mark.pesado),
    pytest.param(lambda: few_distinct(500000, 6), 6, id="few-distinct", marks=pytest.mark.pesado),
    pytest.param(lambda: uniform(500000, 0, 2**22 - 1, 7), 2, id="two-digits-not-split",
                 marks=pytest.mark.pesado),
]


@pytest.mark.parametrize("make, pass_count", UNKEYED)
def test_unkeyed_entry_points(make, pass_count):
    values = make()
    original = list(values)
    expected = sorted(values)
    strategy = f"radix nativo: {passes(pass_count)}"

    result, reported = m.sort_with_strategy(values)
    assert reported == strategy
    assert_same_objects(result, expected)
    assert_same_objects(values, original)

    in_place = list(values)
    assert m.sort_in_place_with_strategy(in_place) == strategy
    assert_same_objects(in_place, expected)


KEYED = [
    pytest.param(lambda: uniform(SPLIT_FROM, INT64_MIN, INT64_MAX, 11), 6, id="int64-at-split"),
    pytest.param(lambda: uniform(450000, 0, 2**34 - 1, 12), 4, id="uint34",
                 marks=pytest.mark.pesado),
    pytest.param(lambda: one_big_part(450000, 13), 3, id="one-big-part",
                 marks=pytest.mark.pesado),
    pytest.param(lambda: nested_big_part(450000, 15), 4, id="nested-big-part",
                 marks=pytest.mark.pesado),
    pytest.param(lambda: few_distinct(450000, 14), 6, id="few-distinct",
                 marks=pytest.mark.pesado),
]


def first(pair):
    return pair[0]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("make, pass_count", KEYED)
def test_keyed_entry_points(make, pass_count, reverse):
    keys = make()
    items = [(key, index) for index, key in enumerate(keys)]
    original = list(items)
    expected = sorted(items, key=first, reverse=reverse)

    result, strategy = m._sort_by_int64_key_prototype_with_strategy(items, first, reverse)
    assert strategy == f"protótipo keyed-int64: radix nativo compacto, {passes(pass_count)}"
    assert_same_objects(result, expected)
    assert_same_objects(items, original)

    cached = list(items)
    assert m._try_sort_by_cached_int64_keys_prototype(cached, list(keys), reverse) is cached
    assert_same_objects(cached, expected)

    in_prefix, cache = list(items), []
    assert m._try_sort_by_prefix_cached_int64_keys_prototype(
        in_prefix, cache, first, reverse) is in_prefix
    assert_same_objects(in_prefix, expected)
    assert cache == []


@pytest.mark.pesado
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
def test_drop_in_floats_split_twice(keyed, reverse):
    """Floats in [0, 1) share their top exponent bits: the one large part is split again."""
    rng = random.Random(21)
    values = with_duplicates([rng.random() for _ in range(450000)], 21)
    items = [(value, index) for index, value in enumerate(values)] if keyed else values
    key = first if keyed else None
    expected = sorted(items, key=key, reverse=reverse)
    result, path = vesksort_native.explain(items, key=key, reverse=reverse)
    assert path == f"native: float {'keys' if keyed else 'values'}, radix sort in 6 passes"
    assert_same_objects(result, expected)
