"""What the benchmark times: every path (a drop-in call, a builtin, a prototype of the native
module) beside the path that its ratio compares with, and how its result is checked."""

from dataclasses import dataclass
from operator import is_, itemgetter

import vesksort_native
from vesksort_native import _vesksort

try:
    import numpy
except ImportError:  # the NumPy rows are left out
    numpy = None

KEY = itemgetter(0)


def swap(row):
    """The key that orders tuples by their second column, then their first: name records
    (first, last, id) by last name, then first name."""
    return row[1], row[0]


def multiple_of_three(value):
    """A bool key: the multiples of three after every other value, each side in its order."""
    return value % 3 == 0


def drop_in_available():
    """Whether the public sort() and sort_in_place() take key= and reverse=."""
    try:
        vesksort_native.sort([2, 1], key=None, reverse=False)
        vesksort_native.sort_in_place([2, 1], key=None, reverse=False)
    except TypeError:
        return False
    return True


def _copy(data):
    return list(data)


def _copy_pairs_and_keys(data):
    return list(data), [pair[0] for pair in data]


def _copy_pairs_empty_cache(data):
    return list(data), []


@dataclass
class Timed:
    """One thing that is timed: `function(argument)`, where the argument is the group's data or,
    with `prepare`, prepare(data), made outside the timed region."""

    name: str
    group: str  # "unkeyed" (a list of values) or "keyed" (a list of (value, index) pairs)
    function: object
    prepare: object = None
    baseline: str = ""  # the path that the ratio compares with; "" for a baseline
    limit: tuple = ()  # kernel-only pieces (and "key calls") whose sum is the limit
    ints_only: bool = False  # a keyed prototype: defined for int keys only
    # A comparison that gives sorted()'s values for some lists only (NumPy's float64 rounds big
    # ints and puts NaN last): left out where it does not.
    where_exact: bool = False
    drop_in: bool = False
    # An unkeyed path that sorts the values by a key of its own: measured on lists of
    # `key_takes` (tuples, str, int) whose keys compare.
    key: object = None
    key_takes: type = tuple
    only: tuple = ()  # the distributions that a path with a key of its own runs on; () for all
    like: str = ""  # the prototype path whose strategy it reports where explain() is missing


def build_paths(with_drop_in):
    unkeyed_copy = ("copy", "scan", "order", "write_back")
    unkeyed_in_place = ("scan", "order", "write_back")
    prefix = ("key calls", "keyed scan", "keyed order", "touch")
    paths = [
        Timed("sorted()", "unkeyed", sorted),
        Timed("list.sort()", "unkeyed", list.sort, _copy),
        Timed("sorted(reverse)", "unkeyed", lambda v: sorted(v, reverse=True)),
        Timed("unkeyed copy", "unkeyed", _vesksort.sort, baseline="sorted()", limit=unkeyed_copy),
        Timed("unkeyed in place", "unkeyed", _vesksort.sort_in_place, _copy,
              baseline="list.sort()", limit=unkeyed_in_place),
        Timed("sorted(key)", "keyed", lambda v: sorted(v, key=KEY)),
        Timed("list.sort(key)", "keyed", lambda v: v.sort(key=KEY), _copy),
        Timed("sorted(key, reverse)", "keyed", lambda v: sorted(v, key=KEY, reverse=True)),
        Timed("key calls", "keyed", lambda v: list(map(KEY, v))),
        Timed("keyed direct", "keyed", lambda v: _vesksort._sort_by_int64_key_prototype(v, KEY),
              baseline="sorted(key)", limit=("key calls", "copy", "keyed scan", "keyed order"),
              ints_only=True),
        Timed("keyed full cache", "keyed",
              lambda a: _vesksort._try_sort_by_cached_int64_keys_prototype(*a),
              _copy_pairs_and_keys, baseline="sorted(key)",
              limit=("keyed scan", "keyed order", "touch"), ints_only=True),
        Timed("keyed prefix", "keyed",
              lambda a: _vesksort._try_sort_by_prefix_cached_int64_keys_prototype(*a, KEY, False),
              _copy_pairs_empty_cache, baseline="list.sort(key)", limit=prefix, ints_only=True),
    ]
    if numpy is not None:
        paths.insert(3, Timed(
            "numpy round trip", "unkeyed",
            lambda v: numpy.sort(numpy.array(v), kind="stable").tolist(), baseline="sorted()",
            where_exact=True))
    if with_drop_in:
        sort, sort_in_place = vesksort_native.sort, vesksort_native.sort_in_place
        paths += [
            Timed("sort()", "unkeyed", sort, baseline="sorted()", limit=unkeyed_copy,
                  drop_in=True, like="unkeyed copy"),
            Timed("sort(reverse)", "unkeyed", lambda v: sort(v, reverse=True),
                  baseline="sorted(reverse)", limit=unkeyed_copy, drop_in=True,
                  like="unkeyed copy"),
            Timed("sort_in_place()", "unkeyed", sort_in_place, _copy, baseline="list.sort()",
                  limit=unkeyed_in_place, drop_in=True, like="unkeyed in place"),
            Timed("sort(key)", "keyed", lambda v: sort(v, key=KEY), baseline="sorted(key)",
                  limit=("copy",) + prefix, drop_in=True, like="keyed prefix"),
            Timed("sort(key, reverse)", "keyed", lambda v: sort(v, key=KEY, reverse=True),
                  baseline="sorted(key, reverse)", limit=("copy",) + prefix, drop_in=True,
                  like="keyed prefix"),
            Timed("sort_in_place(key)", "keyed", lambda v: sort_in_place(v, key=KEY), _copy,
                  baseline="list.sort(key)", limit=prefix, drop_in=True, like="keyed prefix"),
            Timed("sorted(key=swap)", "unkeyed", lambda v: sorted(v, key=swap), key=swap),
            Timed("sort(key=swap)", "unkeyed", lambda v: sort(v, key=swap),
                  baseline="sorted(key=swap)", drop_in=True, key=swap),
            Timed("sorted(key=str.lower)", "unkeyed", lambda v: sorted(v, key=str.lower),
                  key=str.lower, key_takes=str),
            Timed("sort(key=str.lower)", "unkeyed", lambda v: sort(v, key=str.lower),
                  baseline="sorted(key=str.lower)", drop_in=True, key=str.lower, key_takes=str),
            Timed("sorted(key=multiple_of_three)", "unkeyed",
                  lambda v: sorted(v, key=multiple_of_three), key=multiple_of_three,
                  key_takes=int, only=("rand32",)),
            Timed("sort(key=multiple_of_three)", "unkeyed",
                  lambda v: sort(v, key=multiple_of_three),
                  baseline="sorted(key=multiple_of_three)", drop_in=True, key=multiple_of_three,
                  key_takes=int, only=("rand32",)),
        ]
    return paths


def strategy_of(path, values, pairs):
    """The strategy name that the path reports, or a note on what it does instead."""
    if path.drop_in and hasattr(vesksort_native, "explain"):
        data, key = (pairs, KEY) if path.group == "keyed" else (values, path.key)
        return vesksort_native.explain(data, key=key, reverse="reverse" in path.name)[1]
    name = path.like or path.name
    if name in ("unkeyed copy", "unkeyed in place"):
        return _vesksort.sort_with_strategy(values)[1]
    if name == "keyed direct":
        return _vesksort._sort_by_int64_key_prototype_with_strategy(pairs, KEY)[1]
    if name == "keyed full cache":
        result = _vesksort._try_sort_by_cached_int64_keys_prototype_with_info(
            *_copy_pairs_and_keys(pairs))
    elif name == "keyed prefix":
        result = _vesksort._try_sort_by_prefix_cached_int64_keys_prototype_with_info(
            *_copy_pairs_empty_cache(pairs), KEY, False)
    else:
        return ""
    if result is None or result is False:
        return f"gives up ({result})"
    return result[1]["strategy"]


# The interpreter's own sort, as the prototypes and explain() name it.
FALLBACKS = ("timsort", "interpreter")


def is_native(strategy):
    return bool(strategy) and not strategy.startswith(FALLBACKS + ("gives up", "trivial"))


def check_result(path, argument, result, expected):
    if path.prepare is _copy:
        got = argument
    elif path.prepare is not None:
        if result is None or result is False:  # a cache-mode call gave up
            return
        got = argument[0]
    else:
        got = result
    # expected[reverse]: with a NaN, the reversed order is not the ascending one reversed;
    # expected[key] for a path with a key of its own.
    want = expected[path.key or "reverse" in path.name]
    # sorted()'s very objects, in its order: equal values (words that come twice, equal keys)
    # must keep their order in the list. A round trip through NumPy makes objects of its own.
    same = (got == want if path.where_exact
            else len(got) == len(want) and all(map(is_, got, want)))
    if not same:
        raise SystemExit(f"{path.name}: the result differs from sorted()")


def gives(path, data, want):
    """Whether a path whose results are exact for some lists only gives `want` for this one."""
    try:
        return path.function(data) == want
    except TypeError:  # NumPy sorts the columns of every row of tuples among themselves
        return False

