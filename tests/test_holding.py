"""sort_in_place holds the list as list.sort does: from before the first key call to the end of
the sort the list looks empty to key functions, profile hooks and other threads, a change made
to it meanwhile is reported as the builtin reports it, and the list ends as the builtin leaves
it. The keyed core functions keep the item array whole for the collector and see through a
replaced item even when the new object takes the old one's address."""

import gc
import math
import random
import subprocess
import sys
import textwrap
import threading

import pytest

import vesksort_native
from vesksort_native import _vesksort as m

from conftest import Item, assert_same_objects, beside_thread, child_environment, distinct

MODIFIED = "list modified during sort"
CHANGED = "items mudou durante o cálculo das chaves"
INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


EXTRA = Item(-1, 0)  # what the hooks and key functions put into the list


def nearly_sorted(n):
    """Widely spread keys in order but for one swapped pair: the native attempt gives up at its
    checkpoint, after 2048 keys."""
    keys = [10**9 * i for i in range(n)]
    keys[10], keys[11] = keys[11], keys[10]
    return keys


def make_keys(kind, n):
    rng = random.Random(n)
    ints = [rng.randrange(-(10**12), 10**12) for _ in range(n)]
    if kind == "float-at-5":  # the ints before item 5 become float keys
        return ints[:5] + [k + 0.5 for k in ints[5:]]
    if kind == "overflow-at-5":  # the native attempt gives up at item 5
        return ints[:5] + [k * 2**64 for k in ints[5:]]
    if kind == "str":
        return [str(k) for k in ints]
    if kind in ("floats-in-order", "str-in-order"):
        # In order but for the last two, swapped: merged from the key objects.
        ordered = sorted(k / 3 if kind == "floats-in-order" else str(k) for k in ints)
        return ordered[:-2] + ordered[-1:] + ordered[-2:-1]
    if kind in ("floats", "nan-late"):  # signed zeros among them; a NaN from item 2500 on
        floats = [k / 3 if k % 5 else -0.0 for k in ints]
        return floats[:2500] + [math.nan] * (n - 2500) if kind == "nan-late" else floats
    if kind in ("tuples", "tuples-nan-last"):  # a NaN in the last key, read after every key
        return [(k % 7, k) for k in ints[:-1]] + [(0, math.nan if kind != "tuples" else 0)]
    return nearly_sorted(n) if kind == "nearly-sorted" else ints


def make_list(kind, n):
    """Items and their keys; ints with repeats (distinct objects) when there is no key."""
    if kind == "no-key":
        return [distinct(v) for v in random.Random(n).choices(range(10**6, 10**6 + 9), k=n)]
    return [Item(i, distinct(k)) for i, k in enumerate(make_keys(kind, n))]


def key_logging(calls, change=None, at=None):
    """A key function that logs its items and calls `change` at its call number `at` (at every
    call if None)."""

    def key(item):
        if change is not None and (at is None or len(calls) == at):
            change()
        calls.append(item)
        return item.key

    return key


def outcome_of(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - compared with the builtin's
        error.__traceback__ = None
        return type(error), str(error)
    return None


def replace_keyed(lst, calls):
    """Drops the list's reference to the item keyed last and puts a new object in its slot, in
    that order, so that the new object may take the old one's address."""
    j = max(len(calls) - 1, 0)
    lst[j] = None
    lst[j] = Item(-2, 0)


# What a hook or a key function does to the list; `seen` records what it looked at.
ACTS = {
    "look": lambda lst, seen: seen.append(len(lst)),
    "append": lambda lst, seen: lst.append(EXTRA),
    "clear": lambda lst, seen: lst.clear(),
    "reverse": lambda lst, seen: lst.reverse(),
    # Undone neither by itself nor by reverses around it, as a rotation would be.
    "move-first": lambda lst, seen: lst and lst.insert(len(lst) // 3, lst.pop(0)),
    "replace-first": lambda lst, seen: lst.__setitem__(0, EXTRA),
}


def run_hooked(sorter, lst, act, arguments):
    """Calls sorter(lst, **arguments) under a profile hook that applies `act` at every event
    inside the call (not at its own entry and exit). Returns the outcome and what it saw."""
    depth, seen = 0, []

    def hook(frame, event, arg):
        nonlocal depth
        if arg is sys.setprofile:
            return
        entering = event in ("call", "c_call")
        depth += entering
        if depth >= 2:
            ACTS[act](lst, seen)
        depth -= not entering

    # A collection could run finalizers of other tests' garbage inside the call: their events
    # are no part of the sort.
    collecting = gc.isenabled()
    gc.disable()
    sys.setprofile(hook)
    try:
        sorter(lst, **arguments)
        result = None
    except BaseException as error:  # noqa: BLE001 - compared with the builtin's
        error.__traceback__ = None
        result = type(error), str(error)
    finally:
        sys.setprofile(None)
        if collecting:
            gc.enable()
    return result, seen


def assert_as_builtin(run, objects):
    """run(sorter, lst) -> (outcome, log): the same for sort_in_place as for list.sort, and the
    list ends holding the same objects."""
    theirs, ours = list(objects), list(objects)
    (expected, expected_log), (result, log) = run(list.sort, theirs), run(
        vesksort_native.sort_in_place, ours
    )
    assert result == expected
    assert log == expected_log
    assert_same_objects(ours, theirs)


# ---- profile hooks: deterministic interleavings ----------------------------------------------

# (key kind, n): the native attempt succeeds (also turning to floats), gives up at a key beyond
# int64 or a str key, or at its checkpoint; and no key, where reverse=True is one native step;
# tuple keys, ordered natively or handed over after a NaN in the last one.
HOOKED = [
    ("ints", 1), ("ints", 12), ("ints", 300), ("ints", 3000), ("overflow-at-5", 12),
    ("overflow-at-5", 300), ("float-at-5", 300), ("str", 12), ("nearly-sorted", 3000),
    ("no-key", 12), ("no-key", 300), ("no-key", 3000), ("tuples", 300), ("tuples-nan-last", 300),
]


@pytest.mark.parametrize("act", ACTS)
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("kind, n", HOOKED)
def test_profile_hook_sees_and_changes_the_list_as_under_list_sort(kind, n, reverse, act):
    objects = make_list(kind, n)

    def run(sorter, lst):
        calls = []
        arguments = {"reverse": reverse}
        if kind != "no-key":
            arguments["key"] = key_logging(calls)
        result, seen = run_hooked(sorter, lst, act, arguments)
        return result, (seen, [id(item) for item in calls])

    assert_as_builtin(run, objects)


@pytest.mark.parametrize("event", range(8))
def test_interrupt_from_a_profile_hook_in_a_descending_sort(event):
    """A KeyboardInterrupt at the call's entry leaves the list untouched, at its exit sorted;
    never reversed or partly ordered."""
    objects = make_list("no-key", 300)

    def run(sorter, lst):
        count = 0

        def hook(frame, name, arg):
            nonlocal count
            if arg is sys.setprofile:
                return
            count += 1
            if count == event + 1:
                raise KeyboardInterrupt

        sys.setprofile(hook)
        try:
            sorter(lst, reverse=True)
            result = None
        except KeyboardInterrupt:
            result = KeyboardInterrupt
        finally:
            sys.setprofile(None)
        return result, None

    assert_as_builtin(run, objects)


# ---- key functions that look at or change the list ---------------------------------------------

@pytest.mark.parametrize("act", [*ACTS, "replace-keyed"])
@pytest.mark.parametrize("kind", ["ints", "str"])
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("n", [1, 12, 300, 3000])
def test_key_function_changes_the_list_as_under_list_sort(n, reverse, kind, act):
    objects = make_list(kind, n)

    def run(sorter, lst):
        calls, seen = [], []

        def change():
            if act == "replace-keyed":
                replace_keyed(lst, calls)
            else:
                ACTS[act](lst, seen)

        key = key_logging(calls, change, at=None if act == "look" else n // 2)
        result = outcome_of(lambda: sorter(lst, key=key, reverse=reverse))
        return result, (seen, [id(item) for item in calls])

    assert_as_builtin(run, objects)


@pytest.mark.parametrize(
    "kind, n",
    [
        ("ints", 3000), ("float-at-5", 300), ("overflow-at-5", 300), ("nearly-sorted", 3000),
        ("floats", 3000), ("nan-late", 3000), ("tuples", 3000), ("tuples-nan-last", 3000),
        ("floats-in-order", 3000), ("str-in-order", 40000),
    ],
)
@pytest.mark.parametrize("reverse", [False, True])
def test_key_function_sees_an_empty_list_on_every_path(kind, n, reverse):
    lst, seen = make_list(kind, n), []
    key = key_logging([], lambda: seen.append(len(lst)))
    vesksort_native.sort_in_place(lst, key=key, reverse=reverse)
    assert seen == [0] * n


# ---- the prefix core: a replaced item is seen even at the same address -------------------------


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize(
    "n, j, k, cached", [(12, 3, 8, 0), (12, 1, 8, 4), (3000, 100, 2047, 0), (3000, 0, 2999, 1000)]
)
def test_prefix_core_sees_an_item_replaced_at_the_same_address(n, j, k, cached, reverse):
    """While keying item k the key function drops item j (its last reference but the list's)
    and puts a new object in its slot, which usually takes the freed address."""
    for attempt in range(20):
        rng = random.Random(attempt)
        items = [Item(i, rng.randrange(10**12)) for i in range(n)]
        snapshot = list(items)
        entry = [item.key for item in items[:cached]]
        keys, placed = list(entry), []

        def key(item):
            if item is snapshot[k]:
                snapshot[j] = None
                items[j] = None
                items[j] = Item(-2, 0)
                placed.append(items[j])
            return item.key

        with pytest.raises(ValueError, match=f"^{CHANGED}$"):
            m._try_sort_by_prefix_cached_int64_keys_prototype(items, keys, key, reverse)
        snapshot[j] = placed[0]
        assert_same_objects(items, snapshot)
        assert_same_objects(keys, entry)


# ---- other threads -----------------------------------------------------------------------------

FINALIZED = []


class Carrier:
    """An item in a cycle of its own whose finalizer records it: run by the collector only for
    an object it judged unreachable."""

    def __init__(self, value):
        self.value = value
        self.me = self

    def __del__(self):
        FINALIZED.append(self)


def carried(x):
    return x.value if type(x) is Carrier else x


def float_key(x):
    return float(carried(x) >> 11)  # exact: within 2**53


def tuple_key(x):
    return (carried(x) >> 48, carried(x) & 0xFFFF)


# Each takes a box holding the only reference to the input list and returns the ordered list.
COLLECTED = {
    "keyed-direct": lambda box: m._sort_by_int64_key_prototype(iter(box.pop()), carried),
    "keyed-complete": lambda box: m._try_sort_by_cached_int64_keys_prototype(
        box[0], [carried(x) for x in box.pop()]
    ),
    "keyed-prefix": lambda box: m._try_sort_by_prefix_cached_int64_keys_prototype(
        box.pop(), [], carried
    ),
    "sort-key": lambda box: vesksort_native.sort(iter(box.pop()), key=carried),
    "sort-float-key": lambda box: vesksort_native.sort(iter(box.pop()), key=float_key),
    "sort-tuple-key": lambda box: vesksort_native.sort(iter(box.pop()), key=tuple_key),
    "sort": lambda box: vesksort_native.sort(iter(box.pop())),
    "sort-list": lambda box: vesksort_native.sort(box.pop()),
    "sort-tuple": lambda box: vesksort_native.sort(tuple(box.pop())),
    "sort_in_place": lambda box: vesksort_native.sort_in_place(box[0]) or box.pop(),
}


@pytest.mark.pesado
@pytest.mark.no_refleak
@pytest.mark.parametrize("call", COLLECTED)
def test_collector_thread_never_finalizes_items_being_sorted(call):
    """Another thread collects without pause; the list whose items are being reordered must
    never show it an item twice or not at all."""
    n, rng = 200_000, random.Random(5)
    values = [rng.randint(INT64_MIN, INT64_MAX) for _ in range(n)]
    positions = [] if call.startswith("sort") and "key" not in call else rng.sample(range(n), 2000)
    stop = threading.Event()

    def collect():
        while not stop.is_set():
            gc.collect()

    # The objects from before are left out: each collection is short, and several fall within
    # the reordering of one list.
    gc.freeze()
    collector = threading.Thread(target=collect)
    collector.start()
    try:
        for _ in range(3):
            items = list(values)
            for i in positions:
                items[i] = Carrier(values[i])
            key = {"sort-float-key": float_key, "sort-tuple-key": tuple_key}.get(call, carried)
            expected = [id(x) for x in sorted(items, key=key)]
            box = [items]
            del items
            result = COLLECTED[call](box)
            finalized = {id(x) for x in FINALIZED}
            assert not [x for x in result if id(x) in finalized], "finalized while still held"
            assert [id(x) for x in result] == expected
            del result
            FINALIZED.clear()
    finally:
        stop.set()
        collector.join()
        gc.unfreeze()
        FINALIZED.clear()


@pytest.mark.pesado
@pytest.mark.no_refleak
@pytest.mark.parametrize("mutation", ["reverse", "append", "both"])
@pytest.mark.parametrize("keyed", [True, False])
def test_mutator_thread_during_sort_in_place(keyed, mutation):
    """The outcomes list.sort can have: success, or ValueError for a change it saw; either way
    the original items in sorted order, each once. What the other thread appends during the
    call is dropped; after it, it stays (and it may reverse the sorted list after the call)."""
    rng = random.Random(3)
    original = rng.sample(range(-(2**61), 2**61), 300_000)

    def key(x):
        return -x

    arguments = {"key": key} if keyed else {}
    expected = sorted(original, **arguments)
    markers = [distinct(-7) for _ in range(10_000)]
    marker_ids = {id(x) for x in markers}
    for _ in range(3):
        lst = list(original)
        running, finished = threading.Event(), threading.Event()

        def mutate():
            running.wait()
            for marker in markers:
                if finished.is_set():
                    break
                if mutation != "append":
                    lst.reverse()
                if mutation != "reverse":
                    lst.append(marker)

        result = beside_thread(
            mutate,
            running,
            finished,
            lambda: outcome_of(lambda: vesksort_native.sort_in_place(lst, **arguments)),
        )
        assert result in (None, (ValueError, MODIFIED))
        appended = [id(x) for x in lst if id(x) in marker_ids]
        assert len(set(appended)) == len(appended)
        kept = [x for x in lst if id(x) not in marker_ids]
        if kept and kept[0] is not expected[0]:
            kept.reverse()
        assert_same_objects(kept, expected)


@pytest.mark.pesado
@pytest.mark.no_refleak
@pytest.mark.parametrize("floats", [False, True])
def test_sort_copies_a_list_that_another_thread_empties(floats):
    """sort() of a list whose items nothing else holds, while another thread empties it and
    fills it again: the result holds every item it read, all alive, in order."""
    rng, read = random.Random(9), 0
    for _ in range(3):
        values = rng.sample(range(-(2**52), 2**52), 200_000)
        lst = [float(v) if floats else distinct(v) for v in values]
        fillers = [distinct(7) for _ in range(1000)]
        running, finished = threading.Event(), threading.Event()

        def mutate():
            running.wait()
            while not finished.is_set():
                lst.clear()
                lst.extend(fillers)

        result = beside_thread(mutate, running, finished, lambda: vesksort_native.sort(lst))
        del lst
        if len(result) <= len(fillers):
            continue  # the other thread emptied the list before the call read it
        read += 1
        assert result == sorted(values)
        alone = [distinct(2**60)]
        counts = {sys.getrefcount(result[i]) for i in range(0, len(result), 997)}
        assert counts == {sys.getrefcount(alone[0])}
    assert read


SMALL_STACK = """
import random, threading
import vesksort_native
from vesksort_native import _vesksort as m

size = 64 * 1024  # or the least stack that this interpreter allows, if larger
while True:
    try:
        threading.stack_size(size)
        break
    except ValueError:
        size += 4096
rng = random.Random(4)
ints = [rng.randrange(-2**63, 2**63) for _ in range({n})]
floats = [rng.random() for _ in range({n})]
pairs = [(rng.randrange(-2**63, 2**63), rng.randrange(-2**63, 2**63)) for _ in range({n})]
narrow = [(rng.randrange(1000), rng.randrange(1000)) for _ in range({n})]
calls = [
    (lambda: vesksort_native.sort(ints), lambda: sorted(ints)),
    (lambda: vesksort_native.sort(floats, reverse=True), lambda: sorted(floats, reverse=True)),
    (lambda: vesksort_native.sort(pairs), lambda: sorted(pairs)),
    (lambda: vesksort_native.sort(narrow), lambda: sorted(narrow)),
    (lambda: vesksort_native.sort(pairs, key=lambda p: p[0]), lambda: sorted(pairs, key=lambda p: p[0])),
    (lambda: m._sort_by_int64_key_prototype(ints, abs), lambda: sorted(ints, key=abs)),
    (lambda: m.sort(ints), lambda: sorted(ints)),
]
same = []
def run():
    same.extend(ours() == theirs() for ours, theirs in calls)
thread = threading.Thread(target=run)
thread.start()
thread.join()
print(same)
"""


@pytest.mark.no_refleak
@pytest.mark.parametrize("n", [5000, pytest.param(400_000, marks=pytest.mark.pesado)])
def test_native_paths_run_in_a_thread_with_a_small_stack(n):
    """The builtins sort in a thread started after threading.stack_size(64 KiB) (or the least
    that the interpreter allows); so must the native paths, split or not (a crash here takes the
    interpreter down: hence the process)."""
    environment = child_environment()
    if "ASAN_OPTIONS" in environment:
        # What a bare interpreter leaves allocated at its exit is not ours to count here; the
        # leak mode counts the references of these paths in process.
        environment["ASAN_OPTIONS"] += ":detect_leaks=0"
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(SMALL_STACK).format(n=n)],
        capture_output=True,
        text=True,
        timeout=300,
        env=environment,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["[True,"] + ["True,"] * 5 + ["True]"]
