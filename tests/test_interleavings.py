"""The drop-ins against the builtins where other code gets a turn: key functions, comparisons and
finalizers that look at the list or change it after a native attempt has handed the list over,
other threads that sort the same list or walk the collector's objects, a process short of
address space, and list subclasses."""

import gc
import math
import operator
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import vesksort_native

from conftest import Item, assert_same_objects, beside_thread, child_environment, distinct

EXTRA = Item(-1, 0)  # what key functions, comparisons and finalizers put into the list


class Compared:
    """A key whose comparisons run Python code: `act` at the first one."""

    __slots__ = ("value", "act")

    def __init__(self, value, act):
        self.value = value
        self.act = act

    def _compare(self, other):
        act, self.act = self.act, None
        if act is not None:
            act()
        return other.value if type(other) is Compared else other

    def __lt__(self, other):
        return self.value < self._compare(other)

    def __gt__(self, other):
        return self.value > self._compare(other)


class Label(str):
    pass


def keys_for(kind, n, act):
    """Keys that a native attempt reads up to item 150, then hands over ("str-first": str keys,
    ordered natively throughout)."""
    ints = [(i * 7919) % 1009 - 500 for i in range(n)]
    if kind == "tuple-nan":  # handed over once every key is read
        return [(k % 3, k) for k in ints[:-1]] + [(0, math.nan)]
    if kind == "str-then-subclass":  # str keys read natively, then a subclass
        return [str(k) for k in ints[:150]] + [Label(k) for k in ints[150:]]
    at = 0 if kind == "str-first" else 150
    late = {
        "str-first": [str(k) for k in ints],
        "str": [str(k) for k in ints],
        "beyond-int64": [k * 2**64 for k in ints],
        "nan": [math.nan if i == at else k + 0.5 for i, k in enumerate(ints)],
        "bool": [True] * n,
        "compared": [Compared(k, act if i == at else None) for i, k in enumerate(ints)],
    }[kind]
    return ints[:at] + late[at:]


def outcome_of(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - compared with the builtin's
        return type(error), str(error)
    return None


def assert_as_list_sort(run):
    """run(sorter) -> (outcome, log, list): the same for sort_in_place as for list.sort."""
    expected, ours = run(list.sort), run(vesksort_native.sort_in_place)
    assert ours[:2] == expected[:2]
    assert_same_objects(ours[2], expected[2])


HAND_OVER = ["str-first", "str", "str-then-subclass", "beyond-int64", "nan", "bool", "compared",
             "tuple-nan"]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("act", ["append", "look", "clear"])
@pytest.mark.parametrize("kind", HAND_OVER)
def test_after_the_hand_over_the_list_stays_held(kind, act, reverse):
    """Whatever a key function or a comparison puts into the list stays visible to later key
    calls and comparisons until the end, which drops it and reports it, as list.sort() does."""
    n = 300
    items = [Item(i, None) for i in range(n)]
    acts = {
        "append": lambda lst: lst.append(EXTRA),
        "look": lambda lst: None,
        "clear": lambda lst: lst.clear(),
    }

    def run(sorter):
        lst, seen = list(items), []

        def look():
            seen.append([id(x) for x in lst])

        def act_in_comparison():
            acts[act](lst)
            look()

        keys = keys_for(kind, n, act_in_comparison)

        def key(item):
            if not seen and kind != "compared":
                acts[act](lst)
            look()
            return keys[item.label]

        return outcome_of(lambda: sorter(lst, key=key, reverse=reverse)), seen, lst

    assert_as_list_sort(run)


class Dying:
    """A key whose finalizer appends to `lst` and records its value."""

    __slots__ = ("value", "lst", "died")

    def __init__(self, value, lst, died):
        self.value, self.lst, self.died = value, lst, died

    def __lt__(self, other):
        return self.value < other.value

    def __del__(self):
        self.died.append(self.value)
        self.lst.append(EXTRA)


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("at", [0, 150, 299])
def test_keys_are_released_while_the_list_is_held(at, reverse):
    """The keys computed before the hand-over die while the list is still held, in the order
    in which list.sort() releases its keys: their finalizers' changes are reported and dropped."""
    n = 300
    items = [Item(i, (i * 7919) % 1009) for i in range(n)]

    def run(sorter):
        lst, died = list(items), []

        def key(item):
            if item.label < at:
                return item.key
            return Dying(item.key, lst, died)

        return outcome_of(lambda: sorter(lst, key=key, reverse=reverse)), died, lst

    assert_as_list_sort(run)


# ---- other threads -----------------------------------------------------------------------------


def slow_key(x):
    time.sleep(0.02)  # lets the first sort end while this one holds the list
    return 0


# Lists of 300,000 items whose native sort lets other threads run where it may: (item of index
# i, the arguments of the call).
def halves(i, n=300_000):
    return 2 * i if i < n // 2 else 2 * (i - n // 2) + 1


SHAPES = {
    "ints": (lambda i: distinct((i * 2654435761) % 2**40 - 2**39), {}),
    "floats": (lambda i: ((i * 2654435761) % 2**40) / 3.0, {}),
    "tuples": (lambda i: ((i * 2654435761) % 1000, i % 977), {}),
    "itemgetter": (lambda i: (((i * 2654435761) % 2**40) / 3.0, i), {"key": operator.itemgetter(0)}),
    "strings": (lambda i: f"{(i * 2654435761) % 2**40:x}", {}),
    "str keys": (lambda i: (i, f"{(i * 2654435761) % 2**40:x}"), {"key": operator.itemgetter(1)}),
    # Two sorted halves that interleave (strings beyond the caches leave that merge part way),
    # items appended to a sorted list, descending with equal neighbours: merged by runs.
    "ints in runs": (lambda i: distinct(halves(i)), {}),
    "strings in runs": (lambda i: f"{halves(i):08x}", {}),
    "str keys in runs": (lambda i: (i, f"{halves(i):08x}"), {"key": operator.itemgetter(1)}),
    "strings appended": (lambda i: f"{i if i < 299_900 else (i * 2654435761) % 2**32:08x}", {}),
    "floats descending": (lambda i: float((300_000 - i) // 2), {}),
}


@pytest.mark.no_refleak
@pytest.mark.parametrize("kind", SHAPES)
def test_a_second_sort_in_another_thread_loses_nothing(kind):
    """Another thread that finds the list empty during sort_in_place fills it and sorts it with a
    slow key. list.sort() without a Python key is one step to other threads: every item of the
    first call is in the list at the end, whichever call ends first."""
    make, arguments = SHAPES[kind]
    original = [make(i) for i in range(300_000)]
    intruders = [Item(-2, 0), Item(-3, 0)]
    for _ in range(3):
        lst = list(original)
        running, finished, found = threading.Event(), threading.Event(), []

        def other():
            running.wait()
            while not finished.is_set():
                if not lst:
                    found.append(True)
                    lst.extend(intruders)
                    list.sort(lst, key=slow_key)
                    return

        def call():
            try:
                return vesksort_native.sort_in_place(lst, **arguments)
            except ValueError as error:
                return str(error)

        assert beside_thread(other, running, finished, call) in (None, "list modified during sort")
        kept = {id(x) for x in lst}
        assert all(id(x) in kept for x in original), f"items lost (other thread: {found})"


@pytest.mark.no_refleak
@pytest.mark.parametrize("source", [list, tuple])
@pytest.mark.parametrize("kind", SHAPES)
def test_sort_builds_its_result_where_no_other_thread_sees_it(kind, source):
    """Another thread walks the collector's objects during sort() and appends to every new empty
    list it finds: sorted() never raises for it, and sort() must give sorted()'s result, leaving
    no reference to what was appended behind."""
    make, arguments = SHAPES[kind]
    values = source(make(i) for i in range(300_000))
    expected = sorted(values, **arguments)
    marker = Item(-4, 0)
    baseline = sys.getrefcount(marker)
    collecting = gc.isenabled()
    # Only what the call makes stays in the youngest generation, and short to walk.
    gc.disable()
    gc.freeze()
    try:
        for _ in range(3):
            running, finished, appended = threading.Event(), threading.Event(), []
            known = [x for x in gc.get_objects() if type(x) is list and not x]
            known_ids = {id(x) for x in known}

            def walk():
                running.wait()
                while not finished.is_set():
                    for x in gc.get_objects(0):
                        if type(x) is list and not x and id(x) not in known_ids:
                            x.append(marker)
                            appended.append(True)

            result = beside_thread(walk, running, finished,
                                   lambda: vesksort_native.sort(values, **arguments))
            assert_same_objects(result, expected)
            del result, known
            assert sys.getrefcount(marker) == baseline, f"appended {len(appended)} times"
    finally:
        gc.unfreeze()
        if collecting:
            gc.enable()


# ---- memory ------------------------------------------------------------------------------------

SHORT_OF_MEMORY = """
import random, resource
from operator import itemgetter
import vesksort_native

n = 1_500_000
rng = random.Random(1)
data = {data}
arguments = {arguments}
in_place = list(data)
for line in open("/proc/self/status"):
    if line.startswith("VmSize:"):
        size = int(line.split()[1]) * 1024
limit = size + 40 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
outcomes = []
for call in (lambda: sorted(data, **arguments), lambda: vesksort_native.sort(data, **arguments),
             lambda: list.sort(in_place, **arguments),
             lambda: vesksort_native.sort_in_place(in_place, **arguments)):
    try:
        call()
        outcomes.append("sorted")
    except MemoryError:
        outcomes.append("MemoryError")
print(" ".join(outcomes))
"""

SHORT_OF_MEMORY_CASES = {
    "floats": ("[rng.random() for _ in range(n)]", "{}"),
    "float-keys": ("[(rng.random(), i) for i in range(n)]", "{'key': itemgetter(0)}"),
    "int-pairs": ("[(rng.randrange(2**62), rng.randrange(2**62)) for _ in range(n)]", "{}"),
    "ints": ("[rng.randrange(-2**63, 2**63) for _ in range(n)]", "{'reverse': True}"),
}


@pytest.mark.pesado
@pytest.mark.no_refleak
@pytest.mark.parametrize("case", SHORT_OF_MEMORY_CASES)
def test_no_memory_error_where_the_builtins_sort(case):
    """With room for the builtins' own scratch and not for the native paths', the drop-ins
    sort through the interpreter's sort instead of raising MemoryError."""
    environment = child_environment()
    if "LD_PRELOAD" in environment:
        pytest.skip("the sanitizer runtimes reserve more address space than the limit allows")
    data, arguments = SHORT_OF_MEMORY_CASES[case]
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(SHORT_OF_MEMORY).format(data=data,
                                                                        arguments=arguments)],
        capture_output=True,
        text=True,
        timeout=300,
        env=environment,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["sorted"] * 4


# ---- list subclasses ---------------------------------------------------------------------------


class Sub(list):
    """A list subclass whose own methods list.sort() does not use."""

    def __iter__(self):
        raise AssertionError("list.sort() does not iterate")

    def __len__(self):
        raise AssertionError("list.sort() does not ask the length")

    def sort(self, *args, **kwargs):
        raise AssertionError("list.sort() is not this")


@pytest.mark.parametrize("key", [None, operator.itemgetter(0), str])
@pytest.mark.parametrize("n", [5, 300, 70_000])
def test_sort_in_place_sorts_list_subclasses(n, key):
    values = [((i * 7919) % 1009, i) for i in range(n)] if key else [
        distinct((i * 7919) % 1009 / 4) for i in range(n)
    ]
    theirs, ours = Sub(values), Sub(values)
    list.sort(theirs, key=key, reverse=True)
    assert vesksort_native.sort_in_place(ours, key=key, reverse=True) is None
    assert_same_objects(list(list.__iter__(ours)), list(list.__iter__(theirs)))


@pytest.mark.parametrize("argument", [(3, 1, 2), {3: 1}, None, "cba", iter([2, 1])])
def test_sort_in_place_rejects_what_list_sort_rejects(argument):
    with pytest.raises(TypeError) as expected:
        list.sort(argument)
    with pytest.raises(TypeError) as ours:
        vesksort_native.sort_in_place(argument)
    assert str(ours.value) == str(expected.value)
