"""Allocation failure at every allocation of every entry point, path by path.

A sweep fails allocation k of a call, for k = 0, 1, ... until the call no longer meets a
failure: allocation k alone, a few in a row where a fallback can fail in turn, and every one
from k on. Every call must then give the unhindered outcome, a stated fallback or MemoryError,
never another error; the lists that a call may change are left as it promises, and no
reference to an item, key, key function or list is left behind."""

import functools
import gc
import math
import operator
import random
import sys
from collections.abc import Callable
from typing import NamedTuple

import pytest

import vesksort_native
from vesksort_native import _vesksort

from conftest import distinct

_testcapi = pytest.importorskip("_testcapi")

QUIET = 4  # indices in a row with the unhindered outcome, every way, that end a sweep
MEMORY_ERROR = ("MemoryError",)


@pytest.fixture(autouse=True)
def without_collector():
    """A collection would start at allocations of the call and move its indices about."""
    enabled = gc.isenabled()
    gc.disable()
    yield
    if enabled:
        gc.enable()


def attempt(call, failing):
    """call() with allocations failing[0] ... failing[1] - 1 failing, counted from here (an end
    of 0: every allocation from failing[0] on); None: unhindered. Returns (result, error)."""
    if failing is not None:
        _testcapi.set_nomemory(*failing)
    try:
        result = call()
    except BaseException as error:  # noqa: BLE001 - the trial checks the type
        _testcapi.remove_mem_hooks()
        return None, error
    _testcapi.remove_mem_hooks()
    return result, None


def sweep(trial, fallbacks=(), cascades=(), widths=()):
    """trial(failing) makes a fresh call, checks it and returns its outcome. The unhindered
    outcome comes first. Then, for k = 0, 1, ...:
    - allocation k alone fails: the unhindered outcome, one of `fallbacks` or MemoryError;
    - allocations k ... k + w - 1 fail, for each w in `widths`: the same; so a fallback that
      fails in turn is seen without the interpreter's own next allocations failing as well;
    - every allocation from k on fails: the unhindered outcome, one of `cascades` or
      MemoryError.
    The sweep ends once QUIET indices in a row give the unhindered outcome every way: the call
    makes no allocation there. Returns (unhindered outcome, outcomes of the single failures)."""
    baseline = trial(None)
    outcomes = []
    quiet = 0
    while quiet < QUIET:
        index = len(outcomes)
        assert index < 20000, "the allocations of the call do not end"
        seen = []
        for width in (1, *widths):
            outcome = trial((index, index + width))
            assert outcome in [baseline, MEMORY_ERROR, *fallbacks], (index, width, outcome)
            seen.append(outcome)
        outcomes.append(seen[0])
        cascade = trial((index, 0))
        assert cascade in [baseline, MEMORY_ERROR, *cascades], (index, "on", cascade)
        quiet = quiet + 1 if seen.count(baseline) == len(seen) and cascade == baseline else 0
    return baseline, outcomes


def refcounts(objects):
    return list(map(sys.getrefcount, objects))  # quick enough for 250000 items per call


def identical(got, want):
    return len(got) == len(want) and all(map(operator.is_, got, want))


def permutation(got, want):
    return sorted(map(id, got)) == sorted(map(id, want))


def spread(n, low, high, seed):
    rng = random.Random(seed)
    return [rng.randint(low, high) for _ in range(n)]


# ---- sort, sort_with_strategy, sort_in_place, sort_in_place_with_strategy ---------------------


def unkeyed(values):
    """Equal values as distinct objects, so that stability shows in the identities."""
    return [distinct(value) for value in values]


def nearly_increasing(n):
    """Increasing but for five sampled positions that hold the smallest values: the sample
    sees five descents, the full scan no more than n / 128."""
    values = [10**6 + 10 * i for i in range(n)]
    for sample in (50, 100, 150, 200, 250):
        values[sample * (n - 1) // 255] = 1000 + sample
    return values


UNKEYED_PATHS = {
    "empty": (lambda: [], "trivial"),
    "one": (lambda: [10**7], "trivial"),
    "small": (lambda: spread(600, 10**6, 10**6 + 50, 1), "timsort: entrada pequena"),
    "sample-type": (
        lambda: [0.5] + spread(2999, 10**6, 10**6 + 50, 2),
        "timsort: amostra incompatível com int64",
    ),
    "sample-magnitude": (
        lambda: [2**63] + spread(2999, 10**6, 10**6 + 50, 3),
        "timsort: magnitude detectada na amostra",
    ),
    "sample-monotonic": (
        lambda: sorted(spread(3000, 10**6, 10**6 + 500, 4)),
        "timsort: amostra quase monotônica",
    ),
    "scan-type": (
        lambda: [7, True] + spread(2998, 10**6, 10**6 + 50, 5),
        "timsort: tipo ou magnitude fora de int64",
    ),
    "scan-monotonic": (lambda: nearly_increasing(4096), "timsort: entrada quase monotônica"),
    "radix-1": (
        lambda: [2048 * 1000 + r for r in spread(2500, 0, 2047, 6)],
        "radix nativo: 1 passagem",
    ),
    "radix-6": (lambda: spread(2500, -(2**63), 2**63 - 1, 7), "radix nativo: 6 passagens"),
    "counting": (
        lambda: spread(250000, 10**6, 10**6 + 999999, 8),
        "counting nativo estável",
    ),
}
# Without room for its counts counting hands the rebased keys (20 bits) to radix.
UNKEYED_FALLBACKS = {"counting": "radix nativo: 2 passagens"}
# Counting falls back to radix when its scratch block cannot grow for the counts, and the keyed
# radix grows the block in turn: failing allocations in a row are tried as well.
CHAINED = (2, 3)
UNKEYED_ENTRIES = ["sort", "sort_with_strategy", "sort_in_place", "sort_in_place_with_strategy"]


@functools.cache
def unkeyed_case(path):
    make, strategy = UNKEYED_PATHS[path]
    template = unkeyed(make())
    assert _vesksort.sort_with_strategy(template)[1] == strategy
    return template, sorted(template)


def unkeyed_trial(entry, path, as_tuple, failing):
    function = getattr(_vesksort, entry)
    in_place = entry.startswith("sort_in_place")
    reports = entry.endswith("_with_strategy")
    native = not UNKEYED_PATHS[path][1].startswith("timsort")
    template, expected = unkeyed_case(path)
    values = tuple(template) if as_tuple else list(template)
    counts, list_count = refcounts(template), sys.getrefcount(values)

    result, error = attempt(lambda: function(values), failing)
    if error is not None:
        assert type(error) is MemoryError, f"{error!r}"
        outcome = MEMORY_ERROR
        if not in_place:
            assert identical(values, template)
        elif not native:
            assert permutation(values, template)  # as far as the host sort got
        else:
            # The list is written last; only the strategy name can fail after that.
            assert identical(values, template) or (reports and identical(values, expected))
    else:
        if in_place:
            listing, strategy = values, result
            assert (type(result) is str) if reports else (result is None)
        else:
            listing, strategy = result if reports else (result, None)
            assert type(listing) is list and listing is not values
            assert identical(values, template)
        assert identical(listing, expected)
        outcome = ("sorted", strategy)
        del listing, strategy
    del result, error
    assert refcounts(template) == counts
    assert sys.getrefcount(values) == list_count
    return outcome


def unkeyed_params():
    for entry in UNKEYED_ENTRIES:
        for path in UNKEYED_PATHS:
            marks = [pytest.mark.pesado] if path == "counting" else []
            yield pytest.param(entry, path, False, marks=marks, id=f"{entry}-{path}")
        if not entry.startswith("sort_in_place"):
            yield pytest.param(entry, "radix-6", True, id=f"{entry}-tuple")


@pytest.mark.parametrize(("entry", "path", "as_tuple"), list(unkeyed_params()))
def test_unkeyed(entry, path, as_tuple):
    reports = entry.endswith("_with_strategy")
    fallback = UNKEYED_FALLBACKS.get(path)
    fallbacks = [("sorted", fallback if reports else None)] if fallback else []
    baseline, outcomes = sweep(
        functools.partial(unkeyed_trial, entry, path, as_tuple),
        fallbacks,
        widths=CHAINED if fallback else (),
    )
    assert baseline == ("sorted", UNKEYED_PATHS[path][1] if reports else None)
    if UNKEYED_PATHS[path][1] != "trivial" and not entry.startswith("sort_in_place"):
        assert MEMORY_ERROR in outcomes  # the copy
    if UNKEYED_PATHS[path][1].startswith(("radix", "counting")):
        assert MEMORY_ERROR in outcomes  # the records or the radix scratch
    if fallback and reports:
        assert outcomes.count(fallbacks[0]) >= 1  # the scratch block grown for the counts


# ---- the seven keyed functions ------------------------------------------------------------------

P = "protótipo keyed-int64: "
RADIX_REASON = "intervalo amplo ou esparso; Counting Sort inelegível"
first = operator.itemgetter(0)


def key_that_allocates(item):
    object()  # an allocation of its own in every call, that the sweep makes fail
    return item[0]


def key_refusing(item):
    if item[1] == 300:
        raise ValueError("refused")
    return item[0]


def everywhere(outcome):
    return {"direct": outcome, "complete": outcome, "prefix": outcome}


def with_key(values, index, key):
    values = list(values)
    values[index] = key
    return values


class KeyedPath(NamedTuple):
    values: Callable[[], list]
    # Per key mode: the strategy of a sorted result, None or False for a give-up, or the
    # exception type raised. Modes left out do not apply.
    expect: dict
    reverse: bool = False
    key: Callable = first
    cached: Callable[[int], int] = lambda n: n // 3  # keys cached at entry in prefix mode
    as_tuple: bool = False  # the direct functions are given a tuple


def random_wide(n, seed):
    return spread(n, 10**6, 10**6 + 2**40, seed)


KEYED_PATHS = {
    "empty": KeyedPath(lambda: [], everywhere(P + "trivial")),
    "one": KeyedPath(lambda: [7 * 10**6], everywhere(P + "trivial")),
    "sorted": KeyedPath(
        lambda: sorted(spread(400, 10**6, 10**6 + 90, 11)), everywhere(P + "já ordenado")
    ),
    "sorted-reverse": KeyedPath(
        lambda: sorted(spread(400, 10**6, 10**6 + 90, 12), reverse=True),
        everywhere(P + "já ordenado"),
        reverse=True,
    ),
    "counting": KeyedPath(
        lambda: spread(8200, 10**6, 10**6 + 20000, 13), everywhere(P + "counting nativo estável")
    ),
    "counting-reverse": KeyedPath(
        lambda: spread(8200, 10**6, 10**6 + 20000, 25),
        everywhere(P + "counting nativo estável"),
        reverse=True,
    ),
    "radix-1": KeyedPath(
        lambda: [2048 * 1000 + r for r in spread(500, 0, 2047, 14)],
        everywhere(P + "radix nativo compacto, 1 passagem"),
    ),
    "radix-rebased": KeyedPath(
        lambda: spread(400, -1000, 1000, 15), everywhere(P + "radix nativo compacto, 1 passagem")
    ),
    "radix-4": KeyedPath(
        lambda: random_wide(500, 16), everywhere(P + "radix nativo compacto, 4 passagens")
    ),
    "radix-reverse": KeyedPath(
        lambda: random_wide(500, 17),
        everywhere(P + "radix nativo compacto, 4 passagens"),
        reverse=True,
    ),
    "bad-key": KeyedPath(
        lambda: with_key(random_wide(500, 18), 200, True),
        {"direct": TypeError, "complete": None, "prefix": None},
    ),
    "overflow-key": KeyedPath(
        lambda: with_key(random_wide(500, 19), 200, 2**64),
        {"direct": OverflowError, "complete": None, "prefix": None},
    ),
    "cached-bad-key": KeyedPath(lambda: with_key(random_wide(500, 20), 10, 1.5), {"prefix": None}),
    "checkpoint": KeyedPath(
        lambda: [-i * 10**6 for i in range(2100)], {"prefix": False}, cached=lambda n: 0
    ),
    "checkpoint-passed": KeyedPath(
        lambda: spread(2100, -(2**62), 2**62, 21),
        {"prefix": P + "radix nativo compacto, 6 passagens"},
        cached=lambda n: 0,
    ),
    "key-raises": KeyedPath(
        lambda: random_wide(500, 22),
        {"direct": ValueError, "prefix": ValueError},
        key=key_refusing,
    ),
    "key-allocates": KeyedPath(
        lambda: random_wide(60, 23),
        {mode: P + "radix nativo compacto, 4 passagens" for mode in ("direct", "prefix")},
        key=key_that_allocates,
    ),
    "tuple-input": KeyedPath(
        lambda: random_wide(500, 24),
        {"direct": P + "radix nativo compacto, 4 passagens"},
        as_tuple=True,
    ),
}
KEYED_ENTRIES = {
    "_sort_by_int64_key_prototype": ("direct", "list"),
    "_sort_by_int64_key_prototype_with_strategy": ("direct", "strategy"),
    "_sort_by_int64_key_prototype_with_info": ("direct", "info"),
    "_try_sort_by_cached_int64_keys_prototype": ("complete", "list"),
    "_try_sort_by_cached_int64_keys_prototype_with_info": ("complete", "info"),
    "_try_sort_by_prefix_cached_int64_keys_prototype": ("prefix", "list"),
    "_try_sort_by_prefix_cached_int64_keys_prototype_with_info": ("prefix", "info"),
}


@functools.cache
def keyed_case(path):
    """Items (key, index), each key a distinct object, and the sorted order when there is one."""
    definition = KEYED_PATHS[path]
    template = [(distinct(value), index) for index, value in enumerate(definition.values())]
    try:
        expected = sorted(template, key=first, reverse=definition.reverse)
    except TypeError:
        expected = None
    return template, [item[0] for item in template], expected


def keyed_trial(entry, path, failing):
    function = getattr(_vesksort, entry)
    mode, shape = KEYED_ENTRIES[entry]
    definition = KEYED_PATHS[path]
    template, key_objects, expected = keyed_case(path)
    n = len(template)
    gives_up = definition.expect[mode] in (None, False)
    items = list(template)
    key, reverse = definition.key, definition.reverse
    counts, key_counts = refcounts(template), refcounts(key_objects)
    cached = {"direct": 0, "complete": n, "prefix": definition.cached(n)}[mode]
    keys = key_objects[:cached]
    list_counts = refcounts([items, keys, key])
    argument = tuple(items) if definition.as_tuple else items
    call = {
        "direct": lambda: function(argument, key, reverse),
        "complete": lambda: function(items, keys, reverse),
        "prefix": lambda: function(items, keys, key, reverse),
    }[mode]

    result, error = attempt(call, failing)
    if error is not None:
        if type(error) is MemoryError:
            outcome = MEMORY_ERROR
        else:
            outcome = ("raised", type(error), str(error))
        if mode != "direct" and not gives_up and keys == []:
            # The cache is emptied before the ordering, and the result is shaped after it.
            assert identical(items, template) or (shape == "info" and identical(items, expected))
        else:
            assert identical(items, template)
            # Kept in item order: the entry content, and after a failure while giving up the
            # keys appended so far.
            assert identical(keys[:cached], key_objects[:cached])
            assert len(keys) == cached or (gives_up and mode == "prefix" and len(keys) <= n)
            assert identical(keys, key_objects[: len(keys)])
    elif result is None or result is False:
        assert mode != "direct"
        assert identical(items, template)
        if mode == "complete":
            assert identical(keys, key_objects)
        # Every key computed here appended in item order, the offending one included.
        assert cached <= len(keys) <= n and identical(keys, key_objects[: len(keys)])
        outcome = ("gave up", result, len(keys))
    else:
        listing, report = (result, None) if shape == "list" else result
        assert identical(listing, expected)
        if mode == "direct":
            assert listing is not items and identical(items, template)
        else:
            assert listing is items and keys == []
        if shape == "info":
            assert type(report) is dict
            report = tuple(report.items())
        outcome = ("sorted", report)
        del listing, report
    del result, error, argument
    keys.clear()  # whatever it holds now, the cache list keeps only references of its own
    assert refcounts(template) == counts
    assert refcounts(key_objects) == key_counts
    assert refcounts([items, keys, key]) == list_counts
    return outcome


def counting_fallbacks(entry, path):
    """Without its buffers the keyed counting sort hands the rebased keys to radix."""
    if not path.startswith("counting"):
        return []
    shape = KEYED_ENTRIES[entry][1]
    radix = P + "radix nativo compacto, 2 passagens"
    if shape == "list":
        return []
    if shape == "strategy":
        return [("sorted", radix)]
    n = len(keyed_case(path)[0])
    report = dict(keyed_trial(entry, path, None)[1])
    report.update(
        strategy=radix,
        algorithm="radix",
        reason=RADIX_REASON,
        radix_passes=2,
        normalized=True,
        estimated_variable_auxiliary_bytes=32 * n,
        worst_case_variable_auxiliary_bytes=32 * n,
    )
    return [("sorted", tuple(report.items()))]


def expected_baseline(entry, path, report):
    """Whether the unhindered outcome is the one the path is built for."""
    mode, shape = KEYED_ENTRIES[entry]
    expect = KEYED_PATHS[path].expect[mode]
    if expect is None or expect is False:
        return report[:2] == ("gave up", expect)
    if isinstance(expect, type):
        return report[:2] == ("raised", expect)
    if shape == "list":
        return report == ("sorted", None)
    strategy = report[1] if shape == "strategy" else dict(report[1])["strategy"]
    return report[0] == "sorted" and strategy == expect


KEYED_PARAMS = [
    pytest.param(entry, path, id=f"{entry}-{path}")
    for entry, (mode, _) in KEYED_ENTRIES.items()
    for path, definition in KEYED_PATHS.items()
    if mode in definition.expect
]


@pytest.mark.parametrize(("entry", "path"), KEYED_PARAMS)
def test_keyed(entry, path):
    fallbacks = counting_fallbacks(entry, path)
    baseline, outcomes = sweep(
        functools.partial(keyed_trial, entry, path),
        fallbacks,
        widths=CHAINED if path.startswith("counting") else (),
    )
    assert expected_baseline(entry, path, baseline), baseline
    if keyed_case(path)[0]:
        assert MEMORY_ERROR in outcomes  # the key array at least
    if fallbacks:
        assert outcomes.count(fallbacks[0]) >= 1  # the scratch block grown for the counts


# ---- the replay factories and the replay's calls ------------------------------------------------


class ReplayPath(NamedTuple):
    n: int
    cached: int  # keys in the cache list
    prefix: bool  # made by the prefix factory, with key_that_allocates


REPLAY_PATHS = {
    "full": ReplayPath(40, 40, False),
    "full-empty": ReplayPath(0, 0, False),
    "prefix": ReplayPath(40, 15, True),
    "prefix-empty-cache": ReplayPath(40, 0, True),
    "prefix-full-cache": ReplayPath(40, 40, True),
}
ONE_SHOT = "o replay de chaves é de uso único"


@functools.cache
def replay_case(n):
    template = [(distinct(value), index) for index, value in enumerate(random_wide(n, 30))]
    return template, [item[0] for item in template]


def make_replay(definition, items, keys):
    if definition.prefix:
        return _vesksort._make_prefix_cached_key_replay_prototype(items, keys, key_that_allocates)
    return _vesksort._make_cached_key_replay_prototype(items, keys)


def call_each(replay, items, answers):
    """replay(item) for every item, in order; an answer is the key, or MemoryError (the type:
    the exception's traceback would keep the key function's argument alive). The loop itself
    allocates nothing (small ints, no iterator)."""
    i = 0
    while i < len(items):
        try:
            answers[i] = replay(items[i])
        except MemoryError:
            answers[i] = MemoryError
        i += 1


def replay_trial(path, stage, failing):
    """stage 'factory': the factory call fails, then the replay is called unhindered.
    'calls': the replay is made, then its calls, one per item, fail. 'sort': list.sort fails,
    with the replay as its key."""
    definition = REPLAY_PATHS[path]
    template, key_objects = replay_case(definition.n)
    items = list(template)
    counts, key_counts = refcounts(template), refcounts(key_objects)
    keys = key_objects[: definition.cached]
    list_counts = refcounts([items, keys, key_that_allocates])
    answers = [None] * len(items)

    if stage == "factory":
        replay, error = attempt(lambda: make_replay(definition, items, keys), failing)
        if error is None:
            call_each(replay, items, answers)
    else:
        replay = make_replay(definition, items, keys)
        if stage == "calls":
            _, error = attempt(lambda: call_each(replay, items, answers), failing)
        else:
            _, error = attempt(lambda: items.sort(key=replay), failing)
    assert stage != "calls" or error is None
    if error is not None:
        assert type(error) is MemoryError, f"{error!r}"
        outcome = MEMORY_ERROR
        assert stage == "sort" or all(answer is None for answer in answers)
        assert permutation(items, template)
    elif stage == "sort":
        assert identical(items, sorted(template, key=first))
        outcome = ("sorted",)
    else:
        # A key function's failure reaches the caller unchanged, and spends the slot; a cached
        # answer costs no allocation.
        failed = tuple(i for i, answer in enumerate(answers) if answer is MemoryError)
        assert all(i >= definition.cached for i in failed)
        assert all(
            answer is key for i, (answer, key) in enumerate(zip(answers, key_objects))
            if i not in failed
        )
        outcome = ("answered", failed)
    if replay is not None and stage != "sort":
        with pytest.raises(RuntimeError, match=ONE_SHOT):
            replay(None)
    del replay, answers, error
    keys.clear()
    assert refcounts(template) == counts
    assert refcounts(key_objects) == key_counts
    assert refcounts([items, keys, key_that_allocates]) == list_counts
    return outcome


REPLAY_PARAMS = [
    pytest.param(path, stage, id=f"{stage}-{path}")
    for stage in ("factory", "calls", "sort")
    for path in REPLAY_PATHS
]


@pytest.mark.parametrize(("path", "stage"), REPLAY_PARAMS)
def test_replay(path, stage):
    definition = REPLAY_PATHS[path]
    calls_key = definition.prefix and definition.cached < definition.n
    slots = range(definition.cached, definition.n) if stage == "calls" else ()
    baseline, outcomes = sweep(
        functools.partial(replay_trial, path, stage),
        [("answered", (i,)) for i in slots],
        # Failing from k on, every key-function call from the first one on fails.
        [("answered", tuple(range(i, definition.n))) for i in slots],
    )
    assert baseline == (("sorted",) if stage == "sort" else ("answered", ()))
    if stage == "factory":
        assert MEMORY_ERROR in outcomes  # the instance
    elif stage == "calls":
        # Only the key function's own allocations can fail, one slot each.
        failed = {i for outcome in outcomes for i in outcome[1]}
        assert failed == set(range(definition.cached, definition.n) if calls_key else ())
    elif calls_key:
        assert MEMORY_ERROR in outcomes


# ---- the drop-ins sort() and sort_in_place() --------------------------------------------------


class Keyed:
    __slots__ = ("key",)

    def __init__(self, key):
        self.key = key


def by_key(item):
    return item.key


class Row(tuple):
    pass


class Label(str):
    pass


NAN = float("nan")


def float_specials(n, seed):
    """Floats with signed zeros, infinities, and ints equal to some of them."""
    specials = (-0.0, 0.0, 0, 2**53, float(2**53), -math.inf, 5e-324)
    return [v / 7 if v % 2 else specials[v % 7] for v in spread(n, -(10**6), 10**6, seed)]


# name: (items, key function, reverse); every path of the drop-ins' road.
DROP_IN_PATHS = {
    "small": (lambda: unkeyed(spread(100, 0, 50, 11)), None, False),
    "values-radix": (lambda: unkeyed(spread(3000, -(2**63), 2**63 - 1, 12)), None, False),
    # sort() copies a list this long into an item array of its own.
    "values-long": (lambda: unkeyed(spread(40000, -(2**63), 2**63 - 1, 20)), None, False),
    "values-reverse": (lambda: unkeyed(spread(300, 0, 50, 13)), None, True),
    "values-sorted": (lambda: unkeyed(sorted(spread(3000, 0, 10**9, 14))), None, False),
    "values-floats": (lambda: [x / 7 for x in spread(300, 0, 10**6, 15)], None, False),
    "values-float-specials": (lambda: unkeyed(float_specials(3000, 25)), None, True),
    # A NaN that only the full scan meets, after the records are allocated.
    "values-nan": (lambda: [0.5, NAN] + [x / 7 for x in spread(298, 0, 10**6, 26)], None, False),
    "keyed-one": (lambda: [Keyed(5)], by_key, False),
    "keyed-radix": (lambda: [Keyed(k) for k in spread(3000, -(2**40), 2**40, 16)], by_key, True),
    "keyed-counting": (lambda: [Keyed(k) for k in spread(9000, 0, 9000, 17)], by_key, False),
    "keyed-descending": (lambda: [Keyed(-k) for k in range(300)], by_key, False),
    "keyed-str": (lambda: [Keyed(str(k)) for k in spread(300, 0, 99, 18)], by_key, False),
    "keyed-int-then-float": (
        lambda: [Keyed(k) for k in spread(299, 0, 99, 19)] + [Keyed(0.5)],
        by_key,
        True,
    ),
    "keyed-floats": (lambda: [Keyed(k) for k in float_specials(3000, 27)], by_key, True),
    "keyed-counting-floats": (
        lambda: [Keyed(k * 5e-324) for k in spread(9000, -4000, 4000, 28)],
        by_key,
        False,
    ),
    # Tuples: packed into one word; into three, of different lengths; a NaN met last.
    "values-tuples": (
        lambda: list(zip(spread(300, 0, 3, 30), spread(300, -50, 50, 31))),
        None,
        True,
    ),
    "values-tuple-words": (
        lambda: [tuple(spread(k % 3 + 1, -(2**63), 2**63 - 1, k)) for k in range(300)],
        None,
        False,
    ),
    "values-tuple-nan": (lambda: [(1, x / 7) for x in spread(299, 0, 99, 32)] + [(1, NAN)], None,
                         False),
    "keyed-tuples": (lambda: [Keyed((k % 5, k)) for k in spread(300, -(2**62), 2**62, 33)], by_key,
                     True),
    "keyed-tuple-words": (
        lambda: [Keyed(tuple(spread(3, -(2**63), 2**63 - 1, k))) for k in range(300)],
        by_key,
        False,
    ),
    "values-str": (lambda: [f"w{k:x}" for k in spread(3000, 0, 2**40, 40)], None, False),
    "values-str-wide": (
        lambda: [chr(0x4E00 + k % 50) + str(k) for k in spread(300, 0, 10**6, 41)], None, True),
    "values-bytes": (lambda: [k.to_bytes(5, "big") for k in spread(300, 0, 2**40, 42)], None,
                     False),
    # In order but for 40 stray items: runs found (more than the list of runs holds at first)
    # and merged; 64 interleaving runs of strings, whose merge stops part way for radix.
    "values-runs": (lambda: unkeyed(sorted(spread(2960, 0, 10**9, 44)) + spread(40, 0, 10**9, 45)),
                    None, False),
    "values-str-runs": (
        lambda: sorted(f"w{k:x}" for k in spread(2960, 0, 2**40, 46))
        + [f"w{k:x}" for k in spread(40, 0, 2**40, 47)],
        None,
        True,
    ),
    "values-str-runs-costly": (
        lambda: [w for b in range(64) for w in sorted(f"w{k:x}" for k in spread(64, 0, 2**40, b))],
        None,
        False,
    ),
    "keyed-runs": (lambda: [Keyed(k) for k in sorted(spread(2960, 0, 10**9, 48))
                            + spread(40, 0, 10**9, 49)], by_key, False),
    "keyed-str-runs": (lambda: [Keyed(str(k)) for k in sorted(spread(2960, 0, 10**9, 50), key=str)
                                + spread(40, 0, 10**9, 51)], by_key, True),
    "keyed-str-then-subclass": (
        lambda: [Keyed(str(k)) for k in spread(299, 0, 10**6, 43)] + [Keyed(Label("x"))],
        by_key,
        False,
    ),
    # The interpreter's sort takes over after every key is computed, or after a key that is
    # not an exact tuple.
    "keyed-tuple-nan": (lambda: [Keyed((k, 0.5)) for k in range(299)] + [Keyed((1, NAN))], by_key,
                        False),
    "keyed-tuples-then-subclass": (
        lambda: [Keyed((k, k)) for k in range(299)] + [Keyed(Row((5,)))],
        by_key,
        False,
    ),
    "keyed-float-then-nan": (
        lambda: [Keyed(k / 3) for k in spread(299, 0, 99, 29)] + [Keyed(NAN)],
        by_key,
        False,
    ),
    # Floats in runs, merged by their objects; interleaving so, the merge stops for radix.
    "values-float-runs": (lambda: sorted(x / 7 for x in spread(2900, 0, 10**6, 67))
                          + [x / 7 for x in spread(100, 0, 10**6, 68)], None, True),
    "values-float-runs-costly": (
        lambda: [v for b in range(16) for v in sorted(x / 7 for x in spread(256, 0, 10**9, b))],
        None, False),
    # Short lists: ints, floats after ints, strings in runs and not, string and tuple keys, a key
    # that sends the computed keys to the interpreter's sort.
    "short-ints": (lambda: unkeyed(spread(200, -(2**63), 2**63 - 1, 60)), None, True),
    "short-floats": (lambda: unkeyed(spread(80, 0, 9, 61)) + [0.5] * 9, None, False),
    "short-str": (lambda: [f"w{k:x}" for k in spread(120, 0, 2**40, 62)], None, False),
    "short-str-runs": (lambda: sorted(f"w{k:x}" for k in spread(100, 0, 2**40, 63)) + ["a"],
                       None, True),
    "short-keyed-str": (lambda: [Keyed(str(k)) for k in spread(90, 0, 10**6, 64)], by_key, False),
    "short-keyed-tuples": (lambda: [Keyed((str(k % 7), k)) for k in spread(80, 0, 99, 65)],
                           by_key, True),
    "short-keyed-other": (lambda: [Keyed(str(k)) for k in spread(70, 0, 9, 66)]
                          + [Keyed(Label("x"))], by_key, False),
    # Keys by itemgetter, taken without the call; string keys in order, merged before any is
    # read; a thousand spread ints, on the short-list path.
    "keyed-itemgetter": (lambda: [(k, str(k)) for k in spread(300, -(2**63), 2**63 - 1, 69)],
                         operator.itemgetter(0), True),
    "keyed-itemgetter-str-runs": (
        lambda: [(f"w{k:x}", k) for k in sorted(spread(299, 0, 2**40, 70))] + [("a", 0)],
        operator.itemgetter(0), False),
    "values-ints-spread": (lambda: unkeyed(spread(1000, -(2**63), 2**63 - 1, 71)), None, False),
    # Float keys in order but for a few, merged from their objects; string keys beyond the
    # caches, in order in their first thousands only.
    "keyed-float-runs": (lambda: [Keyed(x / 7) for x in sorted(spread(2990, 0, 10**6, 72))
                                  + spread(10, 0, 10**6, 73)], by_key, True),
    "keyed-str-sampled": (lambda: [Keyed(f"w{k:x}") for k in sorted(spread(5000, 0, 2**40, 74))
                                   + spread(35000, 0, 2**40, 75)], by_key, False),
}


@functools.cache
def drop_in_case(path):
    make, key, reverse = DROP_IN_PATHS[path]
    items = make()
    return items, [key(item) for item in items] if key else [], key, reverse


def drop_in_trial(entry, path, failing):
    """One call of the drop-in `entry` on a fresh list of the path's items: ("sorted",), or the
    error's type name; a sort_in_place that fails leaves the list holding the same items."""
    items, keys, key, reverse = drop_in_case(path)
    counts, key_counts = refcounts(items), refcounts(keys)
    lst = list(items)
    expected = sorted(items, key=key, reverse=reverse)
    function = getattr(vesksort_native, entry)
    result, error = attempt(lambda: function(lst, key=key, reverse=reverse), failing)
    if error is not None:
        outcome = (type(error).__name__,)
        assert identical(lst, items) if entry == "sort" else permutation(lst, items), path
    else:
        assert identical(result if entry == "sort" else lst, expected), path
        outcome = ("sorted",)
    del result, error, lst, expected
    assert (refcounts(items), refcounts(keys)) == (counts, key_counts)
    return outcome


@pytest.mark.parametrize("path", DROP_IN_PATHS)
@pytest.mark.parametrize("entry", ["sort", "sort_in_place"])
def test_drop_in(entry, path):
    baseline, outcomes = sweep(
        functools.partial(drop_in_trial, entry, path),
        widths=CHAINED if path.startswith("keyed-counting") else (),
    )
    assert baseline == ("sorted",)


NO_SCRATCH = "interpreter: no memory for a native sort's scratch"
NATIVE_DROP_IN_PATHS = [
    path for path in DROP_IN_PATHS
    if path not in ("small", "values-sorted", "keyed-one", "values-nan")
    and "-then-" not in path and "-nan" not in path
]


@pytest.mark.parametrize("path", NATIVE_DROP_IN_PATHS)
def test_drop_in_without_scratch_sorts_through_the_interpreter(path):
    """A native path whose scratch is refused hands its items, and its keys, to the
    interpreter's sort: sorted()'s result, where the builtin would not fail either."""
    items, _, key, reverse = drop_in_case(path)
    expected = sorted(items, key=key, reverse=reverse)
    paths = set()
    for index in range(12):
        result, error = attempt(
            lambda: vesksort_native.explain(list(items), key=key, reverse=reverse),
            (index, index + 1),
        )
        if error is None:
            assert identical(result[0], expected), (index, result[1])
            paths.add(result[1])
        else:
            assert type(error) is MemoryError
    assert NO_SCRATCH in paths


# sort() of more values than the allocator keeps blocks for between calls orders keys with 32-bit
# positions and writes the result over its scratch: copied out of a block that the allocator
# keeps, or with the block shrunk in place beyond that ("radix-shrunk").
LONG = 1_100_000


@functools.cache
def long_values(kind):
    rng = random.Random(kind)
    if kind == "radix-shrunk":
        return tuple(rng.randint(-(2**63), 2**63 - 1) for _ in range(1_450_000))
    if kind == "counting":
        return tuple(distinct(rng.randint(-1000, 1000)) for _ in range(LONG))
    if kind == "floats-nan-last":
        return tuple([rng.random() for _ in range(LONG - 1)] + [math.nan])
    if kind == "floats":
        return tuple(rng.random() if i % 3 else rng.randrange(-9, 9) for i in range(LONG))
    return tuple(rng.randint(-(2**63), 2**63 - 1) for _ in range(LONG))


@pytest.mark.pesado
@pytest.mark.no_refleak
@pytest.mark.parametrize("source", [list, tuple])
@pytest.mark.parametrize("kind", ["radix", "radix-shrunk", "counting", "floats",
                                  "floats-nan-last"])
def test_long_sort_by_positions(kind, source):
    """Every allocation of the call failing in turn: sorted()'s result or MemoryError, and every
    item's reference count as it was."""
    values = source(long_values(kind))
    expected = sorted(values, reverse=kind == "floats")
    sample = values[:: len(values) // 1000]
    counts = refcounts(sample)
    outcomes = []
    for failing in [None] + [(k, k + 1) for k in range(6)]:
        result, error = attempt(lambda: vesksort_native.sort(values, reverse=kind == "floats"),
                                failing)
        if error is None:
            assert identical(result, expected), failing
            outcomes.append("sorted")
        else:
            assert type(error) is MemoryError, failing
            outcomes.append("MemoryError")
        del result, error
        assert refcounts(sample) == counts, failing
    assert outcomes[0] == "sorted"
