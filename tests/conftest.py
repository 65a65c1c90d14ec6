import random
import sys

import pytest

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
