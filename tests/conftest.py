import os
import random
import re
import sys
import threading
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vesksort_native

try:
    import _testcapi
except ImportError:  # the interpreter's test support is not installed
    _testcapi = None


def distinct(value):
    """A new object equal to `value` (ints in the small-int cache and bools stay shared)."""
    if type(value) is int:
        return int(str(value))
    if type(value) is float:
        return float(repr(value))
    if type(value) is str:
        return (value + ".")[:-1]
    return value


class Item:
    """A distinct object per item, carrying its own key."""

    __slots__ = ("label", "key")

    def __init__(self, label, key):
        self.label = label
        self.key = key

    def __repr__(self):
        return f"Item({self.label}, {self.key!r})"


def assert_same_objects(result, expected):
    """`result` holds exactly the objects of `expected`, in the same order."""
    assert len(result) == len(expected)
    for position, (got, want) in enumerate(zip(result, expected)):
        if got is not want:
            pytest.fail(f"position {position}: {got!r} is not the expected object {want!r}")


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def by_key(item):
    return item.key


def check(values, keyed=False, reverse=False, path=None, entry=None):
    """sort(), sort_in_place() and explain() order `values` exactly as sorted() does: unkeyed,
    keyed by `values` as the keys of Items (`keyed` True) or by the key function `keyed`. They
    call the key once per item in item order and leave every reference count as it was; where
    sorted() raises, they raise the same type with the same message, and sort_in_place() leaves
    the list as list.sort() does. explain() agrees with them and takes `path` (a pattern).
    Returns its path (None after an exception). `entry` makes the input of sort() and explain()
    something other than a list."""
    items = [Item(i, value) for i, value in enumerate(values)] if keyed is True else list(values)
    base = by_key if keyed is True else keyed or None
    expected, error = list(items), None
    try:
        expected.sort(key=base, reverse=reverse)
    except Exception as raised:  # noqa: BLE001 - the drop-ins must raise the same
        error = type(raised), str(raised)
    counts = refcounts(items), refcounts(values)
    taken = None
    for name in ("explain", "sort", "sort_in_place"):
        calls = []

        def key(item):
            calls.append(item)
            return base(item)

        arguments = {"key": key} if base else {}
        lst = list(items)
        source = entry(lst) if entry is not None else lst
        try:
            if name == "explain":
                result, taken = vesksort_native.explain(source, reverse=reverse, **arguments)
            elif name == "sort":
                result = vesksort_native.sort(source, reverse=reverse, **arguments)
            else:
                vesksort_native.sort_in_place(lst, reverse=reverse, **arguments)
                result = lst
        except Exception as raised:  # noqa: BLE001 - compared with the builtin's
            assert (type(raised), str(raised)) == error, name
            result = lst if name == "sort_in_place" else None
            assert_same_objects(lst, expected if name == "sort_in_place" else items)
        else:
            assert error is None, f"{name} returned where sorted() raised {error}"
            assert_same_objects(result, expected)
        if base:
            assert_same_objects(calls, items)
        del result, lst, source, calls, key
    assert (refcounts(items), refcounts(values)) == counts
    if path is not None and error is None:
        assert re.fullmatch(path, taken), taken
    return taken


class Boom(Exception):
    pass


def assert_failing_key_as_builtin(entry, items, fails_at, reverse):
    """The drop-in `entry` with a key function (item.key) that raises at its call number
    `fails_at` (from 0): the very exception object reaches the caller after the same calls as
    under the builtin, and the list is left as it was."""

    def run(sorter):
        lst, calls, raised = list(items), [], []

        def key(item):
            calls.append(item)
            if len(calls) == fails_at + 1:
                raised.append(Boom())
                raise raised[-1]
            return item.key

        with pytest.raises(Boom) as caught:
            sorter(lst, key=key, reverse=reverse)
        assert caught.value is raised[0]
        assert_same_objects(lst, items)
        return calls

    builtin = sorted if entry == "sort" else list.sort
    assert_same_objects(run(getattr(vesksort_native, entry)), run(builtin))


def drawn_mixes(element, intruder, largest, examples):
    """Draws for a property test of the drop-ins: a pool of 1 to 12 `element`s, an `intruder`,
    a length (from 256 to `largest`, or short), a seed, keyed and reverse."""
    return lambda test: settings(max_examples=examples, deadline=None)(
        given(
            pool=st.lists(element, min_size=1, max_size=12),
            intruder=intruder,
            n=st.one_of(st.integers(256, largest), st.integers(2, 40)),
            seed=st.integers(0, 2**32),
            keyed=st.booleans(),
            reverse=st.booleans(),
        )(test)
    )


def random_ints(n, low, high, seed=0):
    rng = random.Random(seed)
    return [rng.randint(low, high) for _ in range(n)]


def with_duplicates(values, seed=0):
    """`values` with every third element replaced by a distinct object equal to another one."""
    rng = random.Random(seed)
    out = list(values)
    for i in range(0, len(out), 3):
        out[i] = distinct(out[rng.randrange(len(out))])
    return out


def call_failing_allocation(function, argument, index):
    """Calls function(argument) with allocation number `index` failing (counted from the
    call). Returns (result, exception)."""
    _testcapi.set_nomemory(index, index + 1)
    try:
        result = function(argument)
    except BaseException as error:  # noqa: BLE001 - the caller checks the type
        _testcapi.remove_mem_hooks()
        return None, error
    _testcapi.remove_mem_hooks()
    return result, None


needs_testcapi = pytest.mark.skipif(_testcapi is None, reason="_testcapi is not installed")


def child_environment():
    """This environment, with the sanitizer runtimes loaded into this process preloaded into
    the child too: tools/sanitize preloads them and then takes LD_PRELOAD out of os.environ,
    and a sanitizer build of the extension imports only where they come first."""
    environment = dict(os.environ)
    try:
        maps = Path("/proc/self/maps").read_text()
    except OSError:
        return environment
    runtimes = {line.split()[-1] for line in maps.splitlines()
                if re.search(r"/lib(asan|ubsan)\.so[.\d]*$", line)}
    if runtimes:
        environment["LD_PRELOAD"] = " ".join(sorted(runtimes))
    return environment


def beside_thread(target, running, finished, call):
    """call() while `target` runs in another thread that switches in often; `running` is set
    just before the call, `finished` right after it."""
    other = threading.Thread(target=target)
    other.start()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        running.set()
        return call()
    finally:
        finished.set()
        other.join()
        sys.setswitchinterval(interval)
