"""Hostile callers: key functions and elements that change the lists under the sort, re-enter
the module or raise; keys at the edge of what the native paths take; replays in cycles and
after collection; several threads at once. No crash, no leak, and a precise outcome."""

import gc
import random
import sys
import threading

import pytest

import vesksort_native
from vesksort_native import _vesksort as m

from conftest import Item, assert_same_objects, distinct, refcounts

RESIZED = "items mudou de tamanho durante o cálculo das chaves"
CHANGED = "items mudou durante o cálculo das chaves"
MODIFIED = "list modified during sort"
SPENT = "o replay de chaves é de uso único"
MISSING = "o replay não possui uma chave cacheada para este item"
SHAPE = "o replay de chaves recebe exatamente um argumento posicional"
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


class Boom(Exception):
    pass


def key_of(item):
    return item.key


def make_items(keys):
    return [Item(i, distinct(k)) for i, k in enumerate(keys)]


def random_keys(n, seed, span=10**12):
    rng = random.Random(seed)
    return [rng.randrange(-span, span) for _ in range(n)]


def nearly_sorted_keys(n):
    """Widely spread keys in order but for one swapped pair: a prefix call with an empty cache
    gives up at its checkpoint, after the key of item 2047."""
    keys = [10**9 * i for i in range(n)]
    keys[10], keys[11] = keys[11], keys[10]
    return keys


def prefix(items, keys, key, reverse=False):
    return m._try_sort_by_prefix_cached_int64_keys_prototype(items, keys, key, reverse)


def outcome(function):
    """The result of a call, or the exception it raised."""
    try:
        return function()
    except Exception as error:  # noqa: BLE001 - the caller checks what it is
        return error


def described(result):
    """An exception as (type, text); anything else as it is."""
    return (type(result), str(result)) if isinstance(result, BaseException) else result


def assert_error(result, kind, text):
    assert type(result) is kind, result
    assert str(result) == text


def cached_prefix(items, mode):
    """The cache list a core call starts with: a third of the keys in "prefix-cached"."""
    return [item.key for item in items[: len(items) // 3]] if mode == "prefix-cached" else []


def call_core(mode, items, key, reverse=False):
    """One keyed core call. Returns (outcome, cache list at entry, cache list afterwards)."""
    entry = cached_prefix(items, mode)
    keys = list(entry)
    if mode == "direct":
        result = outcome(lambda: m._sort_by_int64_key_prototype(items, key, reverse))
    else:
        result = outcome(lambda: prefix(items, keys, key, reverse))
    return result, entry, keys


CORE_MODES = ["direct", "prefix", "prefix-cached"]


# ---- key functions that change the items -----------------------------------------------------


def swap_ends(lst, extra):
    lst[0], lst[-1] = lst[-1], lst[0]


# What a key function does to the list being sorted; `extra` is an object from outside it.
CHANGES = {
    "append": lambda lst, extra: lst.append(extra),
    "pop": lambda lst, extra: lst.pop(),
    "clear": lambda lst, extra: lst.clear(),
    "reverse": lambda lst, extra: lst.reverse(),
    "swap": swap_ends,
    "replace": lambda lst, extra: lst.__setitem__(0, extra),
}
RESIZING = {"append", "pop", "clear"}


def changing_key(target, change, extra, trigger):
    """A key function that applies `change` to the list `target` during its call number
    `trigger` (from 0) and returns the item's own key."""
    calls = []

    def key(item):
        if len(calls) == trigger:
            CHANGES[change](target(), extra)
        calls.append(item)
        return item.key

    return key, calls


@pytest.mark.parametrize("n, at", [(12, "first"), (12, "last"), (3000, "first"), (3000, 2047)])
@pytest.mark.parametrize("mode", CORE_MODES)
@pytest.mark.parametrize("change", CHANGES)
def test_core_key_function_changes_the_items(change, mode, n, at):
    """Direct mode sorts its own copy; a prefix call refuses a list that changed under it and
    leaves the list as the key function left it and the cache list as it was."""
    items = make_items(random_keys(n, n))
    snapshot, extra = list(items), Item(-1, 0)
    offset = len(cached_prefix(items, mode))
    # The key call that changes the list: the first, the last, or the one for item `at`.
    trigger = 0 if at == "first" else n - offset - 1 if at == "last" else at - offset
    key, calls = changing_key(lambda: items, change, extra, trigger)
    before = refcounts(snapshot)

    result, entry, keys = call_core(mode, items, key)

    expected_state = list(snapshot)
    CHANGES[change](expected_state, extra)
    assert_same_objects(items, expected_state)
    if mode == "direct":
        assert_same_objects(result, sorted(snapshot, key=key_of))
        assert_same_objects(calls, snapshot)
    else:
        assert_error(result, ValueError, RESIZED if change in RESIZING else CHANGED)
        assert_same_objects(keys, entry)
        assert len(calls) == (trigger + 1 if change in RESIZING else n - offset)
    del result, expected_state
    items[:] = snapshot
    calls.clear()
    assert refcounts(snapshot) == before


@pytest.mark.parametrize("change", ["reverse", "swap", "replace"])
def test_checkpoint_does_not_hand_back_keys_of_moved_items(change):
    items = make_items(nearly_sorted_keys(3000))
    snapshot, extra = list(items), Item(-1, 0)
    key, calls = changing_key(lambda: items, change, extra, 2047)  # the call before it
    keys = []
    assert_error(outcome(lambda: prefix(items, keys, key)), ValueError, CHANGED)
    assert keys == [] and len(calls) == 2048
    # Unchanged, the same call gives up at its checkpoint with the 2048 keys.
    items[:] = snapshot
    keys = []
    assert prefix(items, keys, key_of) is False
    assert_same_objects(keys, [item.key for item in snapshot[:2048]])


@pytest.mark.parametrize("n, at", [(12, 0), (12, 11), (3000, 0), (3000, 2999)])
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("change", CHANGES)
def test_layer_key_function_changes_the_items(change, reverse, n, at):
    """sort() works on its own list, as sorted() does; sort_in_place() holds the caller's list
    as list.sort() does, so that the key function meets an empty list: the outcome, the list
    afterwards and the key calls are list.sort()'s."""
    objects = make_items(random_keys(n, 7))
    extra = Item(-1, 0)

    def run(sorter):
        lst = list(objects)
        key, calls = changing_key(lambda: lst, change, extra, at)
        return described(outcome(lambda: sorter(lst, key=key, reverse=reverse))), lst, calls

    for builtin, ours in ((sorted, vesksort_native.sort), (list.sort, vesksort_native.sort_in_place)):
        (expected, expected_list, expected_calls), (result, lst, calls) = run(builtin), run(ours)
        if isinstance(expected, list):
            assert_same_objects(result, expected)
        else:
            assert result == expected
        assert_same_objects(lst, expected_list)
        assert_same_objects(calls, expected_calls)


@pytest.mark.parametrize("at", [1, 5, 2047, 2048, 2999])
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("change", CHANGES)
def test_layer_changes_during_the_fallback_are_the_builtins(change, reverse, at):
    """Past the native attempt (a str key at item 0, or the checkpoint with nearly sorted
    keys) the keys are computed inside list.sort, which shows the key function an empty list:
    the outcome is exactly that of list.sort with the same key function."""
    n = 3000 if at >= 2047 else 12
    # With nearly sorted keys the native attempt computes the keys of items 0 to 2047 itself.
    for turn in ("str", "nearly-sorted") if at >= 2048 else ("str",):
        keys = nearly_sorted_keys(n) if turn == "nearly-sorted" else random_keys(n, at)
        objects = make_items(keys)
        if turn == "str":
            objects[0].key = "first"
            for item in objects[1:]:
                item.key = str(item.key)
        extra = Item(-1, "0")
        seen = []
        for sorter in (list.sort, vesksort_native.sort_in_place):
            lst = list(objects)
            key, calls = changing_key(lambda: lst, change, extra, at)
            result = outcome(lambda: sorter(lst, key=key, reverse=reverse))
            seen.append((described(result), list(lst), calls))
        (builtin, builtin_list, builtin_calls), (ours, our_list, our_calls) = seen
        assert ours == builtin
        assert_same_objects(our_list, builtin_list)
        assert_same_objects(our_calls, builtin_calls)


def test_complete_cache_runs_no_code_of_the_caller():
    """A full cache is read as it is: an object with __index__ in it is not converted, and
    nothing it could do to the lists happens."""

    class Meddling:
        def __index__(self):
            items.reverse()
            keys.clear()
            pytest.fail("converted")

    items = make_items(range(8, 0, -1))
    keys = [item.key for item in items]
    keys[5] = Meddling()
    snapshot, keys_snapshot = list(items), list(keys)
    assert m._try_sort_by_cached_int64_keys_prototype(items, keys) is None
    assert m._try_sort_by_cached_int64_keys_prototype_with_info(items, keys, True) is None
    assert_same_objects(items, snapshot)
    assert_same_objects(keys, keys_snapshot)


# ---- key functions that change the cache list ------------------------------------------------


GROWN = [distinct(-7 - i * 10**9) for i in range(11)]


def grow_by(count):
    return lambda keys: keys.extend(GROWN[:count])


CACHE_CHANGES = {
    "clear": lambda keys: keys.clear(),
    "pop": lambda keys: keys.pop(),
    "replace": lambda keys: keys.__setitem__(0, "replaced"),
    "extend": grow_by(3),
    "extend-past-items": grow_by(11),
}


@pytest.mark.parametrize("end", ["sorted", "gives-up", "raises"])
@pytest.mark.parametrize("change", CACHE_CHANGES)
def test_key_function_changes_the_cache_list(change, end):
    """The cached prefix is read before the first key call, so the order is the true one; the
    cache list then belongs to the key function, and the core only appends to it when it gives
    up, and deletes its first n entries when it succeeds."""
    n = 8
    items = make_items(random_keys(n, 3))
    snapshot = list(items)
    entry = [item.key for item in items[:4]]
    before = refcounts(snapshot), refcounts(entry)
    keys = list(entry)
    error = Boom("last")
    computed = []

    def key(item):
        if not computed:
            CACHE_CHANGES[change](keys)
        if item is items[-1] and end != "sorted":
            if end == "raises":
                raise error
            computed.append("not an int")
            return computed[-1]
        computed.append(item.key)
        return item.key

    result = outcome(lambda: prefix(items, keys, key))
    mutated = list(entry)
    CACHE_CHANGES[change](mutated)
    if end == "sorted":
        assert result is items
        assert_same_objects(items, sorted(snapshot, key=key_of))
        assert_same_objects(keys, mutated[n:])
    elif end == "gives-up":
        assert result is None
        assert_same_objects(items, snapshot)
        assert_same_objects(keys, mutated + computed)
    else:
        assert result is error
        assert_same_objects(items, snapshot)
        assert_same_objects(keys, mutated)
    error.__traceback__ = None  # its frames hold the failing item
    del result, mutated
    keys.clear()
    computed.clear()
    items[:] = snapshot
    assert (refcounts(snapshot), refcounts(entry)) == before


# ---- key functions that re-enter the module ----------------------------------------------------


def negated(x):
    return -x


def replay_sort(lst):
    lst.sort(key=m._make_prefix_cached_key_replay_prototype(lst, [], negated))


# A nested sort of a list of ints: (function, sorts the list itself, expected order).
NESTED = {
    "sort": (m.sort, False, False),
    "sort_with_strategy": (lambda lst: m.sort_with_strategy(lst)[0], False, False),
    "sort_in_place": (m.sort_in_place, True, False),
    "sort_in_place_with_strategy": (m.sort_in_place_with_strategy, True, False),
    "keyed-direct": (lambda lst: m._sort_by_int64_key_prototype(lst, negated), False, True),
    "keyed-direct-info": (
        lambda lst: m._sort_by_int64_key_prototype_with_info(lst, negated, True)[0],
        False,
        False,
    ),
    "keyed-complete": (
        lambda lst: m._try_sort_by_cached_int64_keys_prototype(lst, [-x for x in lst]),
        True,
        True,
    ),
    "keyed-prefix": (lambda lst: prefix(lst, [], negated), True, True),
    "replay": (replay_sort, True, True),
    "layer-sort": (
        lambda lst: vesksort_native.sort(lst, key=negated, reverse=True),
        False,
        False,
    ),
    "layer-sort_in_place": (
        lambda lst: vesksort_native.sort_in_place(lst, reverse=True),
        True,
        True,
    ),
}

OUTER = {
    "direct": lambda lst, key: m._sort_by_int64_key_prototype(lst, key),
    "prefix": lambda lst, key: prefix(lst, [], key),
    "layer-sort_in_place": lambda lst, key: vesksort_native.sort_in_place(lst, key=key),
}


@pytest.mark.parametrize("target", ["same", "other"])
@pytest.mark.parametrize("nested", NESTED)
@pytest.mark.parametrize("outer", OUTER)
def test_key_function_re_enters_the_module(outer, nested, target):
    """Every key call runs a nested sort. Of another list, both sorts come out right; of the
    list being sorted, direct mode is unaffected (its list is its own), a prefix call refuses
    the list once a nested sort has reordered it in place, and sort_in_place(), which holds
    the list as list.sort() does, shows the nested sort an empty list."""
    function, in_place, descending = NESTED[nested]
    values = [distinct(v) for v in random_keys(40, 11, 1000)]
    other_values = [distinct(v) for v in random_keys(40, 12, 1000)]
    lst, other = list(values), list(other_values)
    nested_target = lst if target == "same" else other

    def key(x):
        copy_before = list(nested_target)
        result = function(nested_target)
        got = nested_target if in_place else result
        assert_same_objects(got, sorted(copy_before, reverse=descending))
        return x % 97

    result = outcome(lambda: OUTER[outer](lst, key))
    after_nested = sorted(values, reverse=descending)
    if outer == "prefix" and target == "same" and in_place:
        assert_error(result, ValueError, CHANGED)
        assert_same_objects(lst, after_nested)
        return
    expected = sorted(values, key=lambda x: x % 97)
    if outer == "direct":
        assert_same_objects(result, expected)
        assert_same_objects(lst, after_nested if target == "same" and in_place else values)
    else:
        assert_same_objects(lst, expected)
    if target == "other":
        after = sorted(other_values, reverse=descending) if in_place else other_values
        assert_same_objects(other, after)


@pytest.mark.parametrize("nested", ["sort", "sort_in_place", "keyed-direct"])
def test_native_nested_sorts_of_the_same_large_list(nested):
    """Nested native (radix) sorts of the list that the outer direct call copied."""
    function, in_place, descending = NESTED[nested]
    values = [distinct(v) for v in random_keys(3000, 5, 10**15)]
    lst = list(values)
    calls = []

    def key(x):
        if len(calls) % 500 == 0:
            result = function(lst)
            assert_same_objects(lst if in_place else result, sorted(values, reverse=descending))
        calls.append(x)
        return -x

    result = m._sort_by_int64_key_prototype_with_strategy(lst, key)
    assert_same_objects(result[0], sorted(values, reverse=True))
    assert_same_objects(calls, values)


# ---- a key function that raises at item k ----------------------------------------------------


RAISING_CASES = [(6, "random", k) for k in range(6)] + [
    (2100, kind, k) for kind in ("random", "nearly-sorted") for k in (0, 2046, 2047, 2048, 2099)
]
RAISING_MODES = CORE_MODES + ["layer-sort", "layer-sort_in_place"]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("n, kind, k", RAISING_CASES)
@pytest.mark.parametrize("mode", RAISING_MODES)
def test_key_function_raises_at_item_k(mode, n, kind, k, reverse):
    """The very exception reaches the caller; the lists are as they were (the keys of this call
    dropped). A call that never asks for key k (a cached prefix, or a prefix call that gave up
    at its checkpoint first) ends as it would without the failure."""
    keys = nearly_sorted_keys(n) if kind == "nearly-sorted" else random_keys(n, k)
    items = make_items(keys)
    snapshot = list(items)
    error = Boom(f"item {k}")
    calls = []

    def key(item):
        calls.append(item)
        if item is snapshot[k]:
            raise error
        return item.key

    key_objects = [item.key for item in snapshot]
    before, key_counts = refcounts(snapshot), refcounts(key_objects)
    if mode.startswith("layer"):
        if mode == "layer-sort":
            result = outcome(lambda: vesksort_native.sort(items, key=key, reverse=reverse))
        else:
            result = outcome(lambda: vesksort_native.sort_in_place(items, key=key, reverse=reverse))
        assert result is error
        assert_same_objects(items, snapshot)
        assert_same_objects(calls, snapshot[: k + 1])
    else:
        result, entry, cache = call_core(mode, items, key, reverse)
        offset = len(entry)
        checkpoint_first = mode == "prefix" and kind == "nearly-sorted" and k >= 2048
        if checkpoint_first:
            assert result is False
            assert_same_objects(cache, [item.key for item in snapshot[:2048]])
            assert_same_objects(calls, snapshot[:2048])
        elif k < offset:
            assert_same_objects(result, sorted(snapshot, key=key_of, reverse=reverse))
            assert cache == []
        else:
            assert result is error
            assert_same_objects(cache, entry)
            assert_same_objects(calls, snapshot[offset : k + 1])
        if mode != "direct" and result is not error:
            items[:] = snapshot
        assert_same_objects(items, snapshot)
        del cache, entry
    error.__traceback__ = None  # its frames hold the failing item
    del result
    calls.clear()
    assert refcounts(snapshot) == before
    assert refcounts(key_objects) == key_counts


# ---- keys at the edge of what the native paths take ------------------------------------------


class Whole(int):
    """An int subclass that orders the other way round: only its own comparison may decide."""

    def __lt__(self, other):
        return int(self) > int(other)

    def __gt__(self, other):
        return int(self) < int(other)


class Indexed:
    """Not an int, but convertible to one; the native paths must not convert it."""

    conversions = 0

    def __init__(self, value):
        self.value = value

    def __index__(self):
        Indexed.conversions += 1
        return self.value

    def __lt__(self, other):
        return self.value < getattr(other, "value", other)

    def __gt__(self, other):
        return self.value > getattr(other, "value", other)


HUGE = 10**10000

# The key of item i >= the turning point: (kind of failure in direct mode, key).
EDGE_KEYS = {
    "bool": ("bool", lambda i, v: v % 2 == 0),
    "int-subclass": ("Whole", lambda i, v: Whole(v)),
    "index": ("Indexed", lambda i, v: Indexed(v)),
    "10000-digits": ("range", lambda i, v: HUGE + v if i % 2 else -HUGE - v),
    "2**63": ("range", lambda i, v: 2**63 + v % 5),
    "-(2**63)-1": ("range", lambda i, v: INT64_MIN - 1 - v % 5),
    "2**64": ("range", lambda i, v: 2**64 + v),
    "-(2**200)": ("range", lambda i, v: -(2**200) + v),
}


def edge_keys(kind, n, turn):
    """Valid int keys, then keys of `kind` from item `turn` on."""
    values = random_keys(n, turn, 1000)
    make = EDGE_KEYS[kind][1]
    return [v if i < turn else make(i, v) for i, v in enumerate(values)]


@pytest.mark.parametrize("n, turn", [(7, 0), (7, 3), (7, 6), (3000, 2999)])
@pytest.mark.parametrize("kind", EDGE_KEYS)
def test_edge_keys_in_the_core(kind, n, turn):
    """Only an exact int in the signed 64-bit range is taken: direct mode names the item,
    the cache modes give up with the keys as the protocol leaves them."""
    keys = edge_keys(kind, n, turn)
    items = make_items(range(n))
    key_by_item = {id(item): k for item, k in zip(items, keys)}
    key = lambda item: key_by_item[id(item)]  # noqa: E731
    snapshot = list(items)
    conversions = Indexed.conversions
    type_name = EDGE_KEYS[kind][0]
    with pytest.raises(TypeError if type_name != "range" else OverflowError) as raised:
        m._sort_by_int64_key_prototype(items, key)
    if type_name == "range":
        assert str(raised.value) == f"key result for item {turn} is outside the signed int64 range"
    else:
        assert str(raised.value) == (
            f"key deve retornar int exato em int64; item {turn} retornou {type_name}"
        )
    full = list(keys)
    assert m._try_sort_by_cached_int64_keys_prototype(items, full) is None
    assert_same_objects(full, keys)
    partial = []
    assert prefix(items, partial, key) is None
    assert_same_objects(partial, keys[: turn + 1])
    assert_same_objects(items, snapshot)
    assert Indexed.conversions == conversions


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("n, turn", [(7, 0), (7, 4), (3000, 1500)])
@pytest.mark.parametrize("kind", EDGE_KEYS)
def test_edge_keys_through_the_layer(kind, n, turn, reverse):
    """The layer's result is sorted()'s, with each key computed once, in item order."""
    keys = edge_keys(kind, n, turn)
    items = make_items(range(n))
    key_by_item = {id(item): k for item, k in zip(items, keys)}
    conversions = Indexed.conversions
    calls = []

    def key(item):
        calls.append(item)
        return key_by_item[id(item)]

    expected = sorted(items, key=lambda item: key_by_item[id(item)], reverse=reverse)
    assert_same_objects(vesksort_native.sort(items, key=key, reverse=reverse), expected)
    assert_same_objects(calls, items)
    in_place = list(items)
    calls.clear()
    vesksort_native.sort_in_place(in_place, key=key, reverse=reverse)
    assert_same_objects(in_place, expected)
    assert_same_objects(calls, items)
    assert Indexed.conversions == conversions


# ---- elements whose comparison changes the list ----------------------------------------------


class Context:
    """What the comparisons of one sort do: change `target` at comparison number `when`."""

    def __init__(self):
        self.target, self.change, self.when, self.count = None, None, -1, 0


class Meddler:
    __slots__ = ("value", "context")

    def __init__(self, value, context):
        self.value, self.context = value, context

    def __lt__(self, other):
        context = self.context
        context.count += 1
        if context.count == context.when:
            context.change(context.target)
        return self.value < other.value


COMPARISON_CHANGES = {
    "append": lambda lst: lst.append(Meddler(0, Context())),
    "extend": lambda lst: lst.extend([1, 2, 3]),
    "clear": lambda lst: lst.clear(),
    "pop": lambda lst: lst.pop(),
    "insert": lambda lst: lst.insert(0, "x"),
}

# Sorts of a list of Meddler objects that end in the interpreter's list sort: (ours, builtin).
FALLBACK_SORTS = {
    "sort_in_place": (m.sort_in_place, list.sort),
    "sort_in_place_with_strategy": (
        lambda lst: m.sort_in_place_with_strategy(lst) and None,
        list.sort,
    ),
    "layer": (vesksort_native.sort_in_place, list.sort),
    "layer-reverse": (
        lambda lst: vesksort_native.sort_in_place(lst, reverse=True),
        lambda lst: lst.sort(reverse=True),
    ),
    "layer-keyed": (
        lambda lst: vesksort_native.sort_in_place(lst, key=meddler_key),
        lambda lst: lst.sort(key=meddler_key),
    ),
    "layer-keyed-reverse": (
        lambda lst: vesksort_native.sort_in_place(lst, key=meddler_key, reverse=True),
        lambda lst: lst.sort(key=meddler_key, reverse=True),
    ),
}


def meddler_key(item):
    return item.key


@pytest.mark.parametrize("n", [10, 3000])
@pytest.mark.parametrize("change", COMPARISON_CHANGES)
@pytest.mark.parametrize("entry", FALLBACK_SORTS)
def test_comparisons_that_change_the_list(entry, change, n):
    """The same exception (ValueError "list modified during sort", or the comparison's own)
    and the same final list as the builtin list.sort."""
    context = Context()
    rng = random.Random(n)
    meddlers = [Meddler(rng.randrange(n), context) for _ in range(n)]
    keyed = entry.startswith("layer-keyed")
    objects = make_items(range(n)) if keyed else meddlers
    if keyed:
        for item, meddler in zip(objects, meddlers):
            item.key = meddler
    before = refcounts(objects)
    seen = []
    for sorter in reversed(FALLBACK_SORTS[entry]):
        lst = list(objects)
        context.target, context.change, context.when, context.count = lst, None, 5, 0
        context.change = COMPARISON_CHANGES[change]
        result = outcome(lambda: sorter(lst))
        seen.append((described(result), lst))
    (builtin, builtin_list), (ours, our_list) = seen
    assert ours == builtin
    assert_same_objects(our_list, builtin_list)
    if change in ("append", "extend", "insert"):
        assert builtin == (ValueError, MODIFIED)
    context.target = None
    del seen, builtin_list, our_list, lst, result
    assert refcounts(objects) == before


def test_comparisons_that_change_the_input_of_sort():
    """sort() and sorted() sort a list of their own: changing the input does not disturb them."""
    context = Context()
    meddlers = [Meddler(v, context) for v in random_keys(50, 2, 100)]
    results = []
    for sorter in (sorted, vesksort_native.sort):
        lst = list(meddlers)
        context.target, context.change, context.when, context.count = lst, list.clear, 3, 0
        results.append(sorter(lst))
        assert lst == []
    assert_same_objects(results[1], results[0])


# ---- replays in cycles, after collection and misused -----------------------------------------


def replay_instances():
    return sum(1 for o in gc.get_objects() if type(o).__name__ == "_CachedKeyReplay")


class CallsOnFinalize:
    """Calls its replay from its finalizer: the replay is still whole then."""

    answers = []

    def __init__(self, arguments):
        self.replay, self.arguments = None, arguments

    def __del__(self):
        for argument in self.arguments:
            CallsOnFinalize.answers.append(described(outcome(lambda: self.replay(argument))))


@pytest.mark.parametrize("shape", ["full", "prefix"])
def test_replay_called_by_a_finalizer_during_collection(shape):
    gc.collect()
    count = replay_instances()
    CallsOnFinalize.answers = []
    caller = CallsOnFinalize(["a", "b", "c", "d"])
    if shape == "full":
        keys = [caller, "k1", "k2"]
        caller.replay = m._make_cached_key_replay_prototype([1, 2, 3], keys)
    else:
        keys = [caller]
        caller.replay = m._make_prefix_cached_key_replay_prototype([1, 2, 3], keys, str.upper)
    del caller, keys  # replay -> cache list -> caller -> replay
    gc.collect()
    answers = CallsOnFinalize.answers
    assert type(answers[0]) is CallsOnFinalize
    assert answers[1:] == (["k1", "k2"] if shape == "full" else ["B", "C"]) + [
        (RuntimeError, SPENT)
    ]
    CallsOnFinalize.answers = []
    del answers
    gc.collect()
    assert replay_instances() == count


def test_replay_cycle_through_its_key_function_is_collected():
    gc.collect()
    count = replay_instances()
    holder = []

    def key(x):
        return holder and x

    # replay -> key -> holder -> replay, and replay -> cache list -> holder -> replay
    holder.append(m._make_prefix_cached_key_replay_prototype([1, 2], [holder], key))
    del holder, key
    gc.collect()
    assert replay_instances() == count


def clear_slot():
    """The replay type's own clearing routine, as the collector calls it."""
    ctypes = pytest.importorskip("ctypes")
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
    replay_type = type(m._make_cached_key_replay_prototype([], []))
    tp_clear = 51
    return ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(replay_type, tp_clear))


@pytest.mark.parametrize("shape", ["full", "prefix"])
def test_replay_called_after_the_collector_cleared_it(shape):
    """A cleared replay holds nothing: it answers no slot, spends them in turn, and its
    deallocation after the clearing releases nothing twice."""
    clear = clear_slot()
    keys, key_function = [distinct(10**8), distinct(10**8 + 1)], lambda x: x
    before = sys.getrefcount(keys), sys.getrefcount(key_function)
    if shape == "full":
        replay = m._make_cached_key_replay_prototype(["a", "b"], keys)
    else:
        replay = m._make_prefix_cached_key_replay_prototype(["a", "b", "c"], keys, key_function)
    assert replay("a") is keys[0]
    assert clear(replay) == 0
    assert (sys.getrefcount(keys), sys.getrefcount(key_function)) == before
    assert clear(replay) == 0
    assert_error(outcome(lambda: replay()), TypeError, SHAPE)
    slots = 1 if shape == "full" else 2
    for _ in range(slots):
        assert_error(outcome(lambda: replay("b")), RuntimeError, MISSING)
    assert_error(outcome(lambda: replay("b")), RuntimeError, SPENT)
    assert_error(outcome(lambda: sorted(["z"], key=replay)), RuntimeError, SPENT)
    del replay
    gc.collect()
    assert (sys.getrefcount(keys), sys.getrefcount(key_function)) == before


class PlantsOnFinalize:
    """Puts a fresh object into the dying cache list from its finalizer: that object is freed
    only when the collector clears the cycle, and it calls the replay then."""

    def __init__(self, keys, replay):
        self.keys, self.replay_id = keys, id(replay)

    def __del__(self):
        self.keys.append(CallsOnDealloc(self.replay_id))


class CallsOnDealloc:
    answers = []

    def __init__(self, replay_id):
        self.replay_id = replay_id

    def __del__(self):
        # The replay is no longer reachable by reference; it is still alive, held by the list
        # being cleared, so it is found by its address.
        ctypes = pytest.importorskip("ctypes")
        replay = ctypes.cast(self.replay_id, ctypes.py_object).value
        for argument in "xyz":
            CallsOnDealloc.answers.append(described(outcome(lambda: replay(argument))))


def test_replay_called_while_the_collector_clears_its_cycle():
    """Whichever the collector clears first, the cache list (the replay then finds no cached
    key and asks its key function) or the replay itself (it then has neither), every call
    gets a clean answer."""
    pytest.importorskip("ctypes")
    gc.collect()
    count = replay_instances()
    CallsOnDealloc.answers = []
    keys = []
    replay = m._make_prefix_cached_key_replay_prototype([1, 2, 3, 4], keys, str.upper)
    keys += [PlantsOnFinalize(keys, replay), replay]  # replay -> keys -> replay
    del keys, replay
    gc.collect()
    assert CallsOnDealloc.answers in (["X", "Y", "Z"], [(RuntimeError, MISSING)] * 3)
    assert replay_instances() == count


def replace_second(keys):
    keys[1] = "new"


# Calls of a prefix replay over three items, cache ["k0"], key function str.upper, in order,
# each with its expected answer; some change the cache list first.
REPLAY_SCRIPTS = {
    "more-calls-than-items": [
        ("a", "k0"),
        ("b", "B"),
        ("c", "C"),
        ("d", (RuntimeError, SPENT)),
        ("e", (RuntimeError, SPENT)),
    ],
    "wrong-arguments-between": [
        ((), (TypeError, SHAPE)),
        ("a", "k0"),
        (("b", "c"), (TypeError, SHAPE)),
        ({"key": "b"}, (TypeError, SHAPE)),
        ("b", "B"),
        ("c", "C"),
        ((), (TypeError, SHAPE)),
        ("d", (RuntimeError, SPENT)),
    ],
    "cache-cleared": [("a", "k0"), (list.clear, None), ("b", "B"), ("c", "C")],
    "cache-grown": [
        (lambda k: k.extend(["k1", "k2", "k3"]), None),
        ("a", "k0"),
        ("b", "k1"),
        ("c", "k2"),
        ("d", (RuntimeError, SPENT)),
    ],
    "entry-replaced": [
        (lambda k: k.append("k1"), None),
        (replace_second, None),
        ("a", "k0"),
        ("b", "new"),
        ("c", "C"),
    ],
    "cache-refilled": [
        ("a", "k0"),
        (lambda k: k.__init__(["x", "y", "z"]), None),
        ("b", "y"),
        ("c", "z"),
    ],
}


@pytest.mark.parametrize("script", REPLAY_SCRIPTS)
def test_replay_misuse(script):
    keys = ["k0"]
    replay = m._make_prefix_cached_key_replay_prototype(["a", "b", "c"], keys, str.upper)
    for step, expected in REPLAY_SCRIPTS[script]:
        if callable(step):
            step(keys)
            continue
        if isinstance(step, tuple):
            answer = outcome(lambda: replay(*step))
        elif isinstance(step, dict):
            answer = outcome(lambda: replay(**step))
        else:
            answer = outcome(lambda: replay(step))
        assert described(answer) == expected, step


def test_replay_whose_key_function_calls_it():
    """A nested call takes the next slot: the counter moves before the key function runs."""
    answers = []

    def key(x):
        if x == "a":
            answers.append(replay("nested"))
        return x.upper()

    replay = m._make_prefix_cached_key_replay_prototype(["a", "b", "c", "d"], [], key)
    assert replay("a") == "A"
    assert answers == ["NESTED"]
    assert replay("c") == "C"
    assert replay("d") == "D"
    assert_error(outcome(lambda: replay("e")), RuntimeError, SPENT)


def test_replay_spent_by_a_sort_nested_in_another_replay():
    """A replay used by a sort inside the key function of another replay's sort: the first
    nested sort spends it, the second fails, and its failure ends the outer sort."""
    inner_items = [3, 1, 2]
    inner = m._make_cached_key_replay_prototype(inner_items, [30, 10, 20])
    nested = []

    def key(x):
        nested.append(sorted(inner_items, key=inner))
        return x

    outer = m._make_prefix_cached_key_replay_prototype([2, 1], [], key)
    assert_error(outcome(lambda: sorted([2, 1], key=outer)), RuntimeError, SPENT)
    assert nested == [[1, 2, 3]]


# ---- several threads -------------------------------------------------------------------------


N_THREADED = 50_000


def private_work(seed):
    """(name, call, expected) triples over a thread's own lists, on the native paths."""
    rng = random.Random(seed)
    dense = [distinct(rng.randrange(N_THREADED)) for _ in range(N_THREADED)]
    wide = [rng.randint(INT64_MIN, INT64_MAX) for _ in range(N_THREADED)]
    items = make_items(rng.randrange(10**6) for _ in range(N_THREADED))
    by_key = sorted(items, key=key_of)
    descending = sorted(items, key=key_of, reverse=True)

    def in_place(function, values):
        lst = list(values)
        function(lst)
        return lst

    def complete(values):
        lst = list(values)
        assert m._try_sort_by_cached_int64_keys_prototype(lst, [x.key for x in lst]) is lst
        return lst

    return [
        ("counting", lambda: m.sort(dense), sorted(dense)),
        ("radix", lambda: m.sort_with_strategy(wide)[0], sorted(wide)),
        ("in-place", lambda: in_place(m.sort_in_place, wide), sorted(wide)),
        ("keyed-direct", lambda: m._sort_by_int64_key_prototype(items, key_of), by_key),
        ("keyed-complete", lambda: complete(items), by_key),
        ("layer-key", lambda: vesksort_native.sort(items, key=key_of, reverse=True), descending),
        (
            "layer-in-place",
            lambda: in_place(lambda lst: vesksort_native.sort_in_place(lst, key=key_of), items),
            by_key,
        ),
    ]


def shared_sorts(shared):
    """Sorts of the shared list: the layer's keyed and unkeyed sort_in_place and the core's."""
    return [
        lambda: vesksort_native.sort_in_place(shared, key=lambda x: x % 1000003),
        lambda: m.sort_in_place(shared),
        lambda: prefix(shared, [], lambda x: -x),
        lambda: vesksort_native.sort_in_place(shared, key=lambda x: -x, reverse=True),
        lambda: shared.sort(key=lambda x: x % 7),
    ]


@pytest.mark.no_refleak
def test_threads_sort_private_and_shared_lists():
    """Private lists come out exactly sorted. The shared list, reordered and resized by another
    thread meanwhile, ends with each original object at most once (list.sort drops what was
    appended to a list it was sorting) and every sort of it either succeeds or raises one of
    the ValueErrors that report such a change."""
    works = [private_work(seed) for seed in range(3)]
    rng = random.Random(99)
    originals = [distinct(rng.randrange(10**15)) for _ in range(N_THREADED)]
    shared = list(originals)
    failures, shared_errors = [], []
    barrier, done = threading.Barrier(len(works) + 2), threading.Event()

    def run_private(work):
        barrier.wait()
        for _ in range(2):
            for name, call, expected in work:
                result = outcome(call)
                if isinstance(result, BaseException):
                    failures.append((name, described(result)))
                elif len(result) != len(expected) or any(
                    a is not b and a != b for a, b in zip(result, expected)
                ):
                    failures.append((name, "wrong result"))

    def run_sorter():
        barrier.wait()
        try:
            for _ in range(3):
                for call in shared_sorts(shared):
                    result = outcome(call)
                    if isinstance(result, BaseException):
                        shared_errors.append(described(result))
        finally:
            done.set()

    def run_mutator():
        barrier.wait()
        while not done.is_set():
            shared.reverse()
            try:
                x = shared.pop()
            except IndexError:  # the list is being sorted by list.sort: it looks empty
                continue
            shared.append(x)

    threads = [threading.Thread(target=run_private, args=(work,)) for work in works]
    threads += [threading.Thread(target=run_sorter), threading.Thread(target=run_mutator)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert failures == []
    # A list that grew between the native attempt and the fallback sort has more items than
    # the replay was made for.
    allowed = {(ValueError, RESIZED), (ValueError, CHANGED), (ValueError, MODIFIED)}
    allowed.add((RuntimeError, SPENT))
    assert set(shared_errors) <= allowed
    ids = [id(x) for x in shared]
    assert len(set(ids)) == len(ids)
    assert set(ids) <= {id(x) for x in originals}
    assert len(shared) >= N_THREADED - shared_errors.count((ValueError, MODIFIED))
