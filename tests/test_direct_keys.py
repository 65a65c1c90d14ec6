"""Keys by operator.itemgetter of one index are taken from exact tuples and lists without the
call: the same objects as the call gives, every other item and index still going through it (a
tuple subclass's own __getitem__, a dict, an index out of range and the error it raises)."""

import random
import sys
from operator import itemgetter

import pytest

import vesksort_native

from conftest import assert_same_objects, distinct, refcounts


class Shifted(tuple):
    """A tuple whose items are read one place on: itemgetter calls this __getitem__."""

    def __getitem__(self, index):
        return tuple.__getitem__(self, (index + 1) % len(self))


def rows(shape, n, seed):
    rng = random.Random(seed)

    def value():
        return rng.choice([rng.randrange(-(2**63), 2**63), rng.randrange(5)])

    out = []
    for i in range(n):
        row = (value(), distinct(f"w{rng.randrange(50)}"), i)
        if shape == "lists" or (shape == "mixed" and i % 3 == 1):
            row = list(row)
        elif shape == "mixed" and i % 7 == 2:
            row = Shifted(row)
        elif shape == "short" and i == n - 5:
            row = row[:1]
        elif shape == "dicts" and i % 5 == 0:
            row = {0: row[0], 1: row[1], -1: i}
        out.append(row)
    if shape == "sorted":
        out.sort(key=itemgetter(0))
    return out


@pytest.mark.parametrize("index", [0, 1, -1, -3, 2, 2**70, (0, 1)],
                         ids=["0", "1", "-1", "-3", "2", "huge", "two"])
@pytest.mark.parametrize("shape", ["tuples", "lists", "mixed", "short", "dicts", "sorted"])
@pytest.mark.parametrize("reverse", [False, True])
def test_itemgetter_keys_as_the_builtin(shape, index, reverse):
    items = rows(shape, 600, 7)
    key = itemgetter(*index) if isinstance(index, tuple) else itemgetter(index)
    try:
        expected, error = sorted(items, key=key, reverse=reverse), None
    except Exception as raised:  # noqa: BLE001 - the drop-ins must raise the same
        expected, error = None, (type(raised), str(raised))
    counts = refcounts(items), refcounts([item for row in items for item in
                                          (row.values() if type(row) is dict else row)]), \
        sys.getrefcount(key)
    for name in ("sort", "sort_in_place"):
        lst = list(items)
        try:
            if name == "sort":
                result = vesksort_native.sort(lst, key=key, reverse=reverse)
            else:
                vesksort_native.sort_in_place(lst, key=key, reverse=reverse)
                result = lst
        except Exception as raised:  # noqa: BLE001 - compared with the builtin's
            assert (type(raised), str(raised)) == error, name
            assert_same_objects(lst, items)
        else:
            assert error is None, f"{name} returned where sorted() raised {error}"
            assert_same_objects(result, expected)
        del lst
        result = None
    assert counts == (refcounts(items), refcounts([item for row in items for item in
                                                   (row.values() if type(row) is dict else row)]),
                      sys.getrefcount(key))
