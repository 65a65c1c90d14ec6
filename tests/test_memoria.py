"""Allocation failure at every allocation of a call: the right result or MemoryError, the
stated fallbacks, lists unchanged where promised, and no reference left behind."""

import gc
import random

import pytest

from vesksort_native import _vesksort

from conftest import (
    assert_same_objects,
    call_failing_allocation,
    distinct,
    needs_testcapi,
    refcounts,
)

pytestmark = needs_testcapi


@pytest.fixture(autouse=True)
def without_collector():
    """A collection would start at allocations of the call and move its indices about: a
    sweep could then step over the one allocation whose failure hands counting over to radix."""
    enabled = gc.isenabled()
    gc.disable()
    yield
    if enabled:
        gc.enable()


def dense(n, span, seed):
    rng = random.Random(seed)
    return [distinct(rng.randrange(span) + 1000) for _ in range(n)]


def wide(n, seed):
    rng = random.Random(seed)
    return [rng.randint(-(2**63), 2**63 - 1) for _ in range(n)]


def sweep(entry_point, make_values, strategy_of):
    """Fails allocation k of one call, for k = 0, 1, ... until several calls in a row see no
    failure. Returns the outcomes seen: strategy names and 'MemoryError'."""
    function = getattr(_vesksort, entry_point)
    in_place = entry_point.startswith("sort_in_place")
    outcomes = []
    untouched_in_a_row = 0
    index = 0
    while untouched_in_a_row < 8:
        values = make_values()
        snapshot = list(values)
        expected = sorted(snapshot)
        before = refcounts(snapshot)
        result, error = call_failing_allocation(function, values, index)
        sorted_list = None
        if error is not None:
            assert type(error) is MemoryError, f"allocation {index}: {error!r}"
            outcomes.append("MemoryError")
            untouched_in_a_row = 0
            # Copy mode never touches its argument. In place, the native path writes the list
            # only once every buffer is in hand: a later failure (shaping the strategy name)
            # finds it sorted, an earlier one untouched; the host sort may leave any
            # permutation behind when it fails.
            if not in_place:
                assert_same_objects(values, snapshot)
            elif strategy_of(function, list(snapshot)).startswith("timsort"):
                assert sorted(values, key=id) == sorted(snapshot, key=id)
            elif values[0] is not snapshot[0] or values != snapshot:
                assert_same_objects(values, expected)
            else:
                assert_same_objects(values, snapshot)
        else:
            strategy = result[1] if entry_point == "sort_with_strategy" else result
            if entry_point in ("sort", "sort_in_place"):
                strategy = None
            sorted_list = values if in_place else (result[0] if strategy else result)
            assert_same_objects(sorted_list, expected)
            if strategy is not None:
                outcomes.append(strategy)
            untouched_in_a_row += 1
        del result, error, sorted_list
        assert refcounts(snapshot) == before, f"allocation {index}"
        index += 1
    return outcomes


def strategy_in_place(function, values):
    return _vesksort.sort_in_place_with_strategy(values)


@pytest.mark.pesado
@pytest.mark.parametrize("entry_point", ["sort_with_strategy", "sort_in_place_with_strategy"])
def test_counting_falls_back_to_radix(entry_point):
    # A span of a million counts needs more room than the radix scratch: when the scratch block
    # cannot grow for it, radix takes over.
    outcomes = sweep(entry_point, lambda: dense(250000, 1000000, 1), strategy_in_place)
    assert outcomes.count("radix nativo: 2 passagens") >= 1
    assert "counting nativo estável" in outcomes
    assert "MemoryError" in outcomes  # records, rebuilt records or radix scratch


@pytest.mark.parametrize("entry_point", ["sort_with_strategy", "sort_in_place_with_strategy"])
def test_radix_raises_memory_error(entry_point):
    outcomes = sweep(entry_point, lambda: wide(5000, 2), strategy_in_place)
    assert "MemoryError" in outcomes
    assert set(outcomes) == {"MemoryError", "radix nativo: 6 passagens"}


@pytest.mark.parametrize("entry_point", ["sort", "sort_in_place"])
@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: dense(250000, 600000, 3), marks=pytest.mark.pesado),
        lambda: wide(5000, 4),
    ],
    ids=["counting", "radix"],
)
def test_plain_entry_points(entry_point, make):
    outcomes = sweep(entry_point, make, strategy_in_place)
    assert "MemoryError" in outcomes


@pytest.mark.parametrize("entry_point", ["sort_with_strategy", "sort_in_place_with_strategy"])
@pytest.mark.parametrize(
    "make",
    [
        lambda: [random.Random(5).random() for _ in range(4000)],
        lambda: list(range(10**6, 10**6 + 3000)),
        lambda: [distinct(v) for v in range(3000, 1000, -1)],
    ],
    ids=["floats", "sorted", "small"],
)
def test_timsort_paths(entry_point, make):
    outcomes = sweep(entry_point, make, strategy_in_place)
    assert any(outcome.startswith("timsort: ") for outcome in outcomes)


# ---- the keyed family -------------------------------------------------------------------------

P = "protótipo keyed-int64: "


def keyed_items(n, span, seed):
    rng = random.Random(seed)
    return [(distinct(rng.randrange(span) + 10**6), i) for i in range(n)]


def first(pair):
    return pair[0]


KEYED_CALLS = {
    "direct": lambda items, keys: m_direct(items),
    "direct-info": lambda items, keys: _vesksort._sort_by_int64_key_prototype_with_info(
        items, first
    ),
    "complete": lambda items, keys: _vesksort._try_sort_by_cached_int64_keys_prototype_with_info(
        items, keys
    ),
    "prefix": lambda items, keys: _vesksort._try_sort_by_prefix_cached_int64_keys_prototype_with_info(
        items, keys, first
    ),
}


def m_direct(items):
    return _vesksort._sort_by_int64_key_prototype_with_strategy(items, first, True)


def keyed_sweep(mode, make_items, tries=1):
    """Like `sweep`, for the keyed functions. Returns the outcomes seen: strategy names (with
    the reason and `normalized` flag when the call reports them), None, False, MemoryError.
    Each index is tried `tries` times: what the interpreter allocates before the call reaches
    the module may differ from one call to the next, and move the module's own allocations."""
    outcomes = []
    untouched_in_a_row = 0
    index = 0
    trial = 0
    reverse = mode == "direct"
    while untouched_in_a_row < 8 * tries:
        items = make_items()
        keys = [first(x) for x in items]
        if mode == "prefix":
            keys = keys[: len(keys) // 3]
        snapshot, keys_snapshot = list(items), list(keys)
        expected = sorted(snapshot, key=first, reverse=reverse)
        before, keys_before = refcounts(snapshot), refcounts(keys_snapshot)
        call = KEYED_CALLS[mode]
        result, error = call_failing_allocation(lambda arguments: call(*arguments), (items, keys), index)
        if error is not None:
            assert type(error) is MemoryError, f"allocation {index}: {error!r}"
            outcomes.append("MemoryError")
            untouched_in_a_row = 0
            if mode.startswith("direct"):
                assert_same_objects(items, snapshot)
            elif keys:
                # Failed before the cache was consumed: both lists as they were, or for a
                # prefix call that gave up, some of the computed keys appended.
                assert_same_objects(items, snapshot)
                assert_same_objects(keys[: len(keys_snapshot)], keys_snapshot)
            elif items[0] is snapshot[0] and items == snapshot:
                assert_same_objects(items, snapshot)  # the cache was consumed, nothing moved
            else:
                assert_same_objects(items, expected)  # sorted, then the result failed
        else:
            untouched_in_a_row += 1
            if result is None or result is False:
                outcomes.append(result)
                assert_same_objects(items, snapshot)
            else:
                listing, report = result
                assert_same_objects(listing, expected)
                if isinstance(report, dict):
                    outcomes.append((report["strategy"], report["reason"], report["normalized"]))
                else:
                    outcomes.append(report)
                if not mode.startswith("direct"):
                    assert listing is items and keys == []
                del listing, report
        del result, error
        assert refcounts(snapshot) == before, f"allocation {index}"
        # Whatever the cache list kept, it holds the only references that it took.
        keys.clear()
        assert refcounts(keys_snapshot) == [count - 1 for count in keys_before], index
        trial += 1
        index += trial % tries == 0
    return outcomes


RADIX_FALLBACK = (
    P + "radix nativo compacto, 2 passagens",
    "intervalo amplo ou esparso; Counting Sort inelegível",
    True,
)


@pytest.mark.parametrize("mode", ["direct-info", "complete", "prefix"])
def test_keyed_counting_falls_back_to_radix(mode):
    outcomes = keyed_sweep(mode, lambda: keyed_items(9000, 20000, 6), tries=3)
    # The keys' block grows for the counts; when it cannot, radix takes over.
    assert outcomes.count(RADIX_FALLBACK) >= 1
    assert (P + "counting nativo estável", "intervalo denso elegível para Counting Sort", True) in outcomes
    assert "MemoryError" in outcomes


@pytest.mark.parametrize("mode", ["direct", "complete"])
def test_keyed_radix_raises_memory_error(mode):
    outcomes = keyed_sweep(mode, lambda: keyed_items(3000, 2**40, 7))
    assert "MemoryError" in outcomes
    assert {o if isinstance(o, str) else o[0] for o in outcomes if o != "MemoryError"} == {
        P + "radix nativo compacto, 4 passagens"
    }


def test_keyed_prefix_give_up_paths():
    def make():
        items = keyed_items(3000, 2**40, 8)
        items[2500] = (True, 2500)  # a bool key makes the core give up
        return items

    outcomes = keyed_sweep("prefix", make)
    assert None in outcomes and "MemoryError" in outcomes


def test_keyed_checkpoint_give_up():
    def make():
        return [(distinct(-i * 10**6), i) for i in range(3000)]

    def call(arguments):
        items, keys = arguments
        return _vesksort._try_sort_by_prefix_cached_int64_keys_prototype(items, keys, first)

    for index in range(40):
        items, keys = make(), []
        snapshot = list(items)
        result, error = call_failing_allocation(call, (items, keys), index)
        assert_same_objects(items, snapshot)
        if error is not None:
            assert type(error) is MemoryError
            assert keys == [first(x) for x in snapshot[: len(keys)]]
        else:
            assert result is False and keys == [first(x) for x in snapshot[:2048]]
