"""Benchmark of vesksort_native beside sorted(), NumPy and the kernel-only limit.

Every list length is measured in a fresh process of its own, which makes the data and reports
its figures as JSON lines on its standard output. The headline figures come from a process with
the allocator's own settings, as a user's program runs; a second process per length may keep
freed memory instead (GLIBC_TUNABLES), as a process that sorts again and again does.

Within a process, every implementation runs once per round, in an order shuffled afresh every
round, and the best of the rounds is kept, so that a ratio is not skewed by which side ran while
the machine was busy; the minor page faults of every call are counted as well. The kernel-only
limit comes from a C++ program (benchmarks/nucleos_bench.cpp, built here from the repository's
own kernels) that runs the native steps over the same values with no interpreter.

A small-list section times the drop-ins against the builtins at n = 0, 1, 10 and 100, over
batches of lists, both sides in the same loop shape, alternated round by round (--no-small
leaves it out).

Prints a table at one reference length (1,000,000 when measured), the growth of ns per element
with n, the small-list ratios and the speed goals; writes every figure to a JSON file and, when
matplotlib imports, a plot of ns per element against n (grouped bars of the speed-up over the
builtin when a single length is measured).
"""

import argparse
import array
import datetime
import decimal
import gc
import hashlib
import json
import os
import platform
import random
import resource
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc
from dataclasses import dataclass
from operator import is_, itemgetter
from pathlib import Path

import vesksort_native
from vesksort_native import _vesksort

try:
    import numpy
except ImportError:  # the NumPy rows are left out
    numpy = None

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
ROOT = Path(__file__).resolve().parent.parent
QUICK_SIZES = [10**3, 10**4, 10**5, 10**6]
FULL_SIZES = QUICK_SIZES + [10**7]
REFERENCE_N = 10**6
KEY = itemgetter(0)


def _few_distinct(rng, n):
    pool = [rng.randint(INT64_MIN, INT64_MAX) for _ in range(16)]
    return [rng.choice(pool) for _ in range(n)]


def _one_percent_swapped(rng, values):
    """The list, with n // 100 random pairs of its n positions swapped in place."""
    n = len(values)
    for _ in range(n // 100):
        i, j = rng.randrange(n), rng.randrange(n)
        values[i], values[j] = values[j], values[i]
    return values


def _nearly_sorted(rng, n):
    return _one_percent_swapped(rng, list(range(n)))


def _float(rng):
    return rng.uniform(-1e12, 1e12)


class FloatSubclass(float):
    __slots__ = ()  # no dictionary: as large as a float


def _floats_with(other):
    """Random floats, about half of them replaced by other(rng)."""
    return lambda rng, n: [other(rng) if rng.random() < 0.5 else _float(rng) for _ in range(n)]


def _floats_and_one_nan(rng, n):
    values = [_float(rng) for _ in range(n)]
    values[rng.randrange(n)] = float("nan")
    return values


def _narrow_pairs(rng, n):
    return [(rng.randrange(1000), rng.randrange(10**6)) for _ in range(n)]


def _narrow_pairs_and_one(pair):
    """Narrow pairs, one of them replaced by pair(rng)."""
    def generate(rng, n):
        values = _narrow_pairs(rng, n)
        values[rng.randrange(n)] = pair(rng)
        return values
    return generate


def swap(row):
    """The key that orders tuples by their second column, then their first: name records
    (first, last, id) by last name, then first name."""
    return row[1], row[0]


def multiple_of_three(value):
    """A bool key: the multiples of three after every other value, each side in its order."""
    return value % 3 == 0


LOWERCASE = "abcdefghijklmnopqrstuvwxyz"
# Each string's characters come from one or two of these scripts, so that every kind of str
# (ASCII, Latin-1, two bytes and four bytes a character) is there, alone and side by side.
SCRIPTS = {
    "ASCII": LOWERCASE + LOWERCASE.upper(),
    "Latin-1": "".join(map(chr, range(0xC0, 0x100))),
    "Cyrillic": "".join(map(chr, range(0x410, 0x450))),
    "CJK": "".join(map(chr, range(0x4E00, 0x4E40))),
    "emoji": "".join(map(chr, range(0x1F600, 0x1F640))),
}
SCRIPT_MIXES = [(name,) for name in SCRIPTS] + [
    ("ASCII", "Latin-1"), ("ASCII", "Cyrillic"), ("ASCII", "CJK"), ("ASCII", "emoji"),
    ("Latin-1", "Cyrillic"), ("Cyrillic", "emoji"), ("CJK", "emoji")]
URL_PREFIX = "https://www.example.com/p/"  # 26 characters
FOLDERS = ("src", "lib", "tests", "docs", "core", "utils", "api", "models", "views", "data",
           "io", "cli", "config", "internal", "scripts", "tools")


def _cut(whole, lengths):
    """Consecutive slices of `whole` of the given lengths: one random text (or bytes) made in a
    single call, then cut, is much quicker to make than a string at a time."""
    ends, end = [], 0
    for length in lengths:
        end += length
        ends.append(end)
    return [whole[end - length:end] for length, end in zip(lengths, ends)]


def _lengths(rng, n, low=3, high=12):
    return rng.choices(range(low, high + 1), k=n)


def _random_text(rng, alphabet, length):
    """`length` characters drawn evenly from `alphabet`."""
    if not alphabet.isascii():
        return "".join(rng.choices(alphabet, k=length))
    # Random bytes mapped onto the letters, those past the last whole multiple of the
    # alphabet's size dropped so that every letter is as likely: some 50 times quicker.
    size = len(alphabet)
    table = bytes(ord(alphabet[b % size]) for b in range(256))
    kept = 256 - 256 % size
    dropped = bytes(range(kept, 256))
    chunks, have = [], 0
    while have < length:
        chunk = rng.randbytes((length - have) * 256 // kept + 64).translate(table, dropped)
        chunks.append(chunk)
        have += len(chunk)
    return b"".join(chunks)[:length].decode("ascii")


def _words(rng, n, alphabet=LOWERCASE, low=3, high=12):
    """Random words of `low` to `high` letters."""
    lengths = _lengths(rng, n, low, high)
    return _cut(_random_text(rng, alphabet, sum(lengths)), lengths)


def _distinct_words(rng, count, low=3, high=12):
    words = {}
    while len(words) < count:
        words.update(dict.fromkeys(_words(rng, count, low=low, high=high)))
    return list(words)[:count]


def _urls(rng, n):
    """A shared prefix and one to three path segments of random words."""
    segments = rng.choices(range(1, 4), k=n)
    return [URL_PREFIX + "/".join(words) for words in _cut(_words(rng, sum(segments)), segments)]


def _file_paths(rng, n):
    """Python files of 20 projects, one to three folders deep from a small set of names: paths
    that share prefixes of several lengths."""
    projects = [f"/home/user/projects/{name}/" for name in _distinct_words(rng, 20)]
    depths = rng.choices(range(1, 4), k=n)
    folders = _cut(rng.choices(FOLDERS, k=sum(depths)), depths)
    return [f"{project}{'/'.join(inside)}/{file}.py" for project, inside, file
            in zip(rng.choices(projects, k=n), folders, _words(rng, n))]


def _mixed_kinds(rng, n):
    """Strings of 3 to 12 characters, each from one or two scripts."""
    mixes = rng.choices(range(len(SCRIPT_MIXES)), k=n)
    lengths = _lengths(rng, n)
    # One random text per mix of scripts, cut in the order of the strings that use it.
    by_mix = [[] for _ in SCRIPT_MIXES]
    for mix, length in zip(mixes, lengths):
        by_mix[mix].append(length)
    texts = [iter(_cut(_random_text(rng, "".join(SCRIPTS[name] for name in mix), sum(mine)),
                       mine)) for mix, mine in zip(SCRIPT_MIXES, by_mix)]
    return [next(texts[mix]) for mix in mixes]


def _repeated_words(rng, n):
    return rng.choices(_distinct_words(rng, 1000), k=n)


def _random_bytes(rng, n):
    lengths = _lengths(rng, n)
    return _cut(rng.randbytes(sum(lengths)), lengths)


class StrSubclass(str):
    __slots__ = ()  # no dictionary: as large as a str


def _words_and_subclass(rng, n):
    """Random words, about half of them instances of a str subclass."""
    return [StrSubclass(word) if rng.random() < 0.5 else word for word in _words(rng, n)]


def _words_and_subclass_last(rng, n):
    """Random words, the last of them an instance of a str subclass: found at the very end of
    a scan of the list."""
    values = _words(rng, n)
    values[-1] = StrSubclass(values[-1])
    return values


# Records: tuples whose columns hold str as well as numbers.
def _dict_items(rng, n):
    """The items of a dict whose keys are n distinct words of 6 to 14 letters, each value a
    small dict of its own: what sorted(d.items()) sorts."""
    words = _distinct_words(rng, n, 6, 14)
    return list({word: {"id": i} for i, word in enumerate(words)}.items())


def _categories_and_prices(rng, n):
    """(category, price): one of 50 words, a float price from 0.50 to 500.00, to the cent."""
    categories = _distinct_words(rng, 50)
    return [(category, rng.randint(50, 50_000) / 100) for category in rng.choices(categories, k=n)]


def _scores_and_names(rng, n):
    """sorted(zip(scores, names)): scores from randrange(101), names random words."""
    return list(zip(rng.choices(range(101), k=n), _words(rng, n)))


def _name_records(rng, n):
    """(first, last, id): first and last names drawn from 300 and 500 capitalised words."""
    firsts = [word.capitalize() for word in _distinct_words(rng, 300)]
    lasts = [word.capitalize() for word in _distinct_words(rng, 500)]
    return list(zip(rng.choices(firsts, k=n), rng.choices(lasts, k=n), range(n)))


def _categories_and_objects(rng, n):
    """(category, Decimal): one of 50 words, so that most comparisons of two pairs of a category
    reach their Decimals, which no native path reads (and which compare in C, so that the
    interpreter's sort of a million of them stays quick)."""
    categories = _distinct_words(rng, 50)
    return [(category, decimal.Decimal(rng.randrange(10**6)).scaleb(-2))
            for category in rng.choices(categories, k=n)]


def _words_and_subclass_pairs(rng, n):
    """(word, index) pairs, about half of the words instances of a str subclass."""
    return list(zip(_words_and_subclass(rng, n), range(n)))


# datetime and timedelta
DATETIME_START = datetime.datetime(2019, 1, 1)
DATETIME_SPAN_US = 6 * 365 * 86_400 * 10**6  # six years
TIMEDELTA_SPAN_US = 1000 * 86_400 * 10**6  # a thousand days either way
# Four tzinfo objects of their own: aware datetimes that do not all share one.
ZONES = tuple(datetime.timezone(datetime.timedelta(hours=h)) for h in (-5, 0, 1, 9))


def _datetime(rng):
    """A naive datetime anywhere in six years, to the microsecond."""
    return DATETIME_START + datetime.timedelta(microseconds=rng.randrange(DATETIME_SPAN_US))


def _timedelta(rng):
    """A timedelta of up to a thousand days, negative or positive, to the microsecond."""
    return datetime.timedelta(microseconds=rng.randint(-TIMEDELTA_SPAN_US, TIMEDELTA_SPAN_US))


def _aware_datetime(rng):
    return _datetime(rng).replace(tzinfo=rng.choice(ZONES))


# Lists in order but for a few items, or in a few runs, of any kind of value.
def _appended(draw):
    """A sorted list of n - n // 100 values, and n // 100 more after it."""
    return lambda rng, n: sorted(draw(rng) for _ in range(n - n // 100)) + [
        draw(rng) for _ in range(n // 100)]


def _halves(draw):
    return lambda rng, n: sorted(draw(rng) for _ in range(n // 2)) + sorted(
        draw(rng) for _ in range(n - n // 2))


def _last_two_swapped(draw):
    def generate(rng, n):
        values = sorted(draw(rng) for _ in range(n))
        values[-2], values[-1] = values[-1], values[-2]
        return values
    return generate


def _descending_ties(draw):
    """Descending, each value twice in a row as two objects."""
    def generate(rng, n):
        values = sorted((draw(rng) for _ in range((n + 1) // 2)), reverse=True)
        return [copy for value in values for copy in (value, _distinct(value))][:n]
    return generate


def _distinct(value):
    if type(value) is str:
        return (value + ".")[:-1]
    return type(value)(str(value)) if type(value) is int else float(repr(value))


def _int64(rng):
    return rng.randint(INT64_MIN, INT64_MAX)


def _word(rng):
    return _random_text(rng, LOWERCASE, rng.randint(3, 12))


def _prefix_chains(rng, n):
    """'a' * k for random k below 200: strings that are prefixes of one another."""
    return ["a" * rng.randrange(200) for _ in range(n)]


def _long_equal(rng, n):
    """50 strings of 200 characters, each item a copy of one of them."""
    heads = [_random_text(rng, LOWERCASE, 200) for _ in range(50)]
    return [(rng.choice(heads) + ".")[:-1] for _ in range(n)]


# family: (label, generator of (rng, n)), for each kind of value.
RUN_FAMILIES = {
    "appended": ("sorted + 1% appended", _appended),
    "halves": ("two sorted halves", _halves),
    "swap-last": ("sorted, the last two swapped", _last_two_swapped),
    "desc-ties": ("descending with equal neighbours", _descending_ties),
}
RUN_KINDS = {"int": ("int64", _int64, True), "float": ("floats", _float, False),
             "words": ("words", _word, False)}
RUN_DISTRIBUTIONS = [
    (f"{kind}-{family}", f"{kind_label}: {label}", make(draw), all_ints)
    for kind, (kind_label, draw, all_ints) in RUN_KINDS.items()
    for family, (label, make) in RUN_FAMILIES.items()
] + [
    ("prefix-chains", "prefix chains ('a' * k, k < 200)", _prefix_chains, False),
    ("long-equal", "50 strings of 200 chars, copied", _long_equal, False),
]

# id, label, generator of (rng, n), whether the values are all exact int64
DISTRIBUTIONS = [
    ("rand64", "random 64-bit",
     lambda rng, n: [rng.randint(INT64_MIN, INT64_MAX) for _ in range(n)], True),
    ("rand32", "random 32-bit", lambda rng, n: [rng.randrange(2**32) for _ in range(n)], True),
    ("dense", "dense randrange(n)", lambda rng, n: [rng.randrange(n) for _ in range(n)], True),
    ("perm", "permutation", lambda rng, n: rng.sample(range(n), n), True),
    ("few", "few distinct (16)", _few_distinct, True),
    ("sign", "sign-crossing [-1000, 1000]", lambda rng, n: [rng.randint(-1000, 1000)
                                                           for _ in range(n)], True),
    ("sorted", "already sorted", lambda rng, n: list(range(n)), True),
    ("reversed", "reversed", lambda rng, n: list(range(n, 0, -1)), True),
    ("nearly", "nearly sorted (1% swapped)", _nearly_sorted, True),
    ("floats", "random floats", lambda rng, n: [_float(rng) for _ in range(n)], False),
    ("floats+ints", "floats and small ints", _floats_with(lambda rng: rng.randrange(-1000, 1000)),
     False),
    # The drop-ins hand these to the interpreter's sort.
    ("floats+nan", "floats and one NaN", _floats_and_one_nan, False),
    ("float-subclass", "floats, half of a float subclass",
     _floats_with(lambda rng: FloatSubclass(_float(rng))), False),
    ("floats+bigints", "floats and ints beyond 2**53",
     _floats_with(lambda rng: rng.choice((-1, 1)) * rng.randrange(2**53 + 1, 2**62)), False),
    ("pairs-narrow", "pairs (randrange(1000), randrange(10**6))", _narrow_pairs, False),
    ("pairs-int64", "pairs of random int64",
     lambda rng, n: [(rng.randint(INT64_MIN, INT64_MAX), rng.randint(INT64_MIN, INT64_MAX))
                     for _ in range(n)], False),
    # The pair with a str is the only one whose first column is 1000: no comparison reaches
    # its str.
    ("pairs+str", "narrow pairs, one ending in a str",
     _narrow_pairs_and_one(lambda rng: (1000, "last")), False),
    # The drop-ins hand this one to the interpreter's sort.
    ("pairs+nan", "narrow pairs, one ending in a NaN",
     _narrow_pairs_and_one(lambda rng: (rng.randrange(1000), float("nan"))), False),
    # str and bytes; the keyed rows sort them as the keys of (value, index) pairs.
    ("strings", "hex strings", lambda rng, n: [f"{rng.getrandbits(40):x}" for _ in range(n)],
     False),
    ("words", "random words (3-12 chars)", _words, False),
    ("urls", "URLs with a shared prefix", _urls, False),
    ("paths", "file paths", _file_paths, False),
    ("mixed-kinds", "mixed kinds (ASCII, Latin-1, Cyrillic, CJK, emoji)", _mixed_kinds, False),
    ("words-repeated", "1000 distinct words repeated", _repeated_words, False),
    ("words-sorted", "sorted words", lambda rng, n: sorted(_words(rng, n)), False),
    ("words-nearly", "nearly sorted words (1% swapped)",
     lambda rng, n: _one_percent_swapped(rng, sorted(_words(rng, n))), False),
    ("words-mixed-case", "mixed-case words", lambda rng, n: _words(rng, n, SCRIPTS["ASCII"]),
     False),
    ("bytes", "random bytes (3-12)", _random_bytes, False),
    # The drop-ins hand these to the interpreter's sort.
    ("str-subclass", "words, half of a str subclass", _words_and_subclass, False),
    ("str-subclass-last", "words, the last of a str subclass", _words_and_subclass_last, False),
    # Records with str columns. Under key=swap the name records sort by (last, first).
    ("dict-items", "sorted(d.items()), distinct words (6-14 chars)", _dict_items, False),
    ("category-price", "(category, price), 50 categories", _categories_and_prices, False),
    ("score-name", "(score, name), randrange(101) and words", _scores_and_names, False),
    ("names", "name records (first, last, id)", _name_records, False),
    # datetime and timedelta; the keyed rows sort them as the keys of (value, index) pairs.
    ("datetimes", "naive datetimes (6 years, microseconds)",
     lambda rng, n: [_datetime(rng) for _ in range(n)], False),
    ("timedeltas", "timedeltas (+-1000 days, microseconds)",
     lambda rng, n: [_timedelta(rng) for _ in range(n)], False),
    # The drop-ins hand these to the interpreter's sort.
    ("str-subclass-pairs", "(word, i), half the words of a str subclass",
     _words_and_subclass_pairs, False),
    ("pairs+objects", "(category, Decimal), 50 categories", _categories_and_objects,
     False),
    ("datetimes-zones", "aware datetimes, 4 tzinfo objects",
     lambda rng, n: [_aware_datetime(rng) for _ in range(n)], False),
] + RUN_DISTRIBUTIONS


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
class Path_:
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
        Path_("sorted()", "unkeyed", sorted),
        Path_("list.sort()", "unkeyed", list.sort, _copy),
        Path_("sorted(reverse)", "unkeyed", lambda v: sorted(v, reverse=True)),
        Path_("unkeyed copy", "unkeyed", _vesksort.sort, baseline="sorted()", limit=unkeyed_copy),
        Path_("unkeyed in place", "unkeyed", _vesksort.sort_in_place, _copy,
              baseline="list.sort()", limit=unkeyed_in_place),
        Path_("sorted(key)", "keyed", lambda v: sorted(v, key=KEY)),
        Path_("list.sort(key)", "keyed", lambda v: v.sort(key=KEY), _copy),
        Path_("sorted(key, reverse)", "keyed", lambda v: sorted(v, key=KEY, reverse=True)),
        Path_("key calls", "keyed", lambda v: list(map(KEY, v))),
        Path_("keyed direct", "keyed", lambda v: _vesksort._sort_by_int64_key_prototype(v, KEY),
              baseline="sorted(key)", limit=("key calls", "copy", "keyed scan", "keyed order"),
              ints_only=True),
        Path_("keyed full cache", "keyed",
              lambda a: _vesksort._try_sort_by_cached_int64_keys_prototype(*a),
              _copy_pairs_and_keys, baseline="sorted(key)",
              limit=("keyed scan", "keyed order", "touch"), ints_only=True),
        Path_("keyed prefix", "keyed",
              lambda a: _vesksort._try_sort_by_prefix_cached_int64_keys_prototype(*a, KEY, False),
              _copy_pairs_empty_cache, baseline="list.sort(key)", limit=prefix, ints_only=True),
    ]
    if numpy is not None:
        paths.insert(3, Path_(
            "numpy round trip", "unkeyed",
            lambda v: numpy.sort(numpy.array(v), kind="stable").tolist(), baseline="sorted()",
            where_exact=True))
    if with_drop_in:
        sort, sort_in_place = vesksort_native.sort, vesksort_native.sort_in_place
        paths += [
            Path_("sort()", "unkeyed", sort, baseline="sorted()", limit=unkeyed_copy,
                  drop_in=True, like="unkeyed copy"),
            Path_("sort(reverse)", "unkeyed", lambda v: sort(v, reverse=True),
                  baseline="sorted(reverse)", limit=unkeyed_copy, drop_in=True,
                  like="unkeyed copy"),
            Path_("sort_in_place()", "unkeyed", sort_in_place, _copy, baseline="list.sort()",
                  limit=unkeyed_in_place, drop_in=True, like="unkeyed in place"),
            Path_("sort(key)", "keyed", lambda v: sort(v, key=KEY), baseline="sorted(key)",
                  limit=("copy",) + prefix, drop_in=True, like="keyed prefix"),
            Path_("sort(key, reverse)", "keyed", lambda v: sort(v, key=KEY, reverse=True),
                  baseline="sorted(key, reverse)", limit=("copy",) + prefix, drop_in=True,
                  like="keyed prefix"),
            Path_("sort_in_place(key)", "keyed", lambda v: sort_in_place(v, key=KEY), _copy,
                  baseline="list.sort(key)", limit=prefix, drop_in=True, like="keyed prefix"),
            Path_("sorted(key=swap)", "unkeyed", lambda v: sorted(v, key=swap), key=swap),
            Path_("sort(key=swap)", "unkeyed", lambda v: sort(v, key=swap),
                  baseline="sorted(key=swap)", drop_in=True, key=swap),
            Path_("sorted(key=str.lower)", "unkeyed", lambda v: sorted(v, key=str.lower),
                  key=str.lower, key_takes=str),
            Path_("sort(key=str.lower)", "unkeyed", lambda v: sort(v, key=str.lower),
                  baseline="sorted(key=str.lower)", drop_in=True, key=str.lower, key_takes=str),
            Path_("sorted(key=multiple_of_three)", "unkeyed",
                  lambda v: sorted(v, key=multiple_of_three), key=multiple_of_three,
                  key_takes=int, only=("rand32",)),
            Path_("sort(key=multiple_of_three)", "unkeyed",
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


# ---- Kernel-only limit ------------------------------------------------------------------------

def build_kernel_bench(build_dir):
    """Compiles the kernel-only benchmark with the module's release flags; None without a
    compiler. The binary is named after a hash of its sources, so it is rebuilt on a change."""
    sources = [ROOT / "benchmarks" / "nucleos_bench.cpp",
               ROOT / "src" / "vesksort_native" / "nucleo_radix.cpp",
               ROOT / "src" / "vesksort_native" / "nucleo_contagem.cpp"]
    headers = [ROOT / "src" / "vesksort_native" / name for name in ("vesksort.h", "recursos.h")]
    digest = hashlib.sha1(b"".join(p.read_bytes() for p in sources + headers)).hexdigest()[:12]
    binary = build_dir / f"nucleos_bench-{digest}"
    if binary.exists():
        return binary
    build_dir.mkdir(parents=True, exist_ok=True)
    compiler = os.environ.get("CXX", "g++")
    command = [compiler, "-O3", "-DNDEBUG", "-std=c++20", "-Wall", "-Wextra", "-Wpedantic",
               "-fno-exceptions", "-fno-rtti", f"-I{ROOT / 'src' / 'vesksort_native'}",
               f"-I{sysconfig.get_paths()['include']}", *map(str, sources), "-o", str(binary)]
    try:
        subprocess.run(command, check=True, capture_output=True, text=True)
    except (OSError, subprocess.CalledProcessError) as error:
        detail = getattr(error, "stderr", "") or error
        print(f"kernel-only benchmark not built ({compiler}): {detail}", file=sys.stderr)
        return None
    return binary


class KernelLimit:
    """Runs the kernel-only benchmark over one list of values; keeps the best of each step."""

    def __init__(self, binary, values, mode, work_dir):
        self.binary, self.mode = binary, mode
        handle, self.file = tempfile.mkstemp(suffix=".i64", dir=work_dir)
        # The rank of each object's address among the distinct objects: the stand-ins of the
        # C++ program are laid out as the ints themselves lie in memory.
        ranks = {address: rank for rank, address in enumerate(sorted({id(v) for v in values}))}
        with os.fdopen(handle, "wb") as output:
            array.array("q", values).tofile(output)
            array.array("q", (ranks[id(v)] for v in values)).tofile(output)
        self.best = {}
        self.info = {}

    def run(self, repeats):
        output = subprocess.run([str(self.binary), self.file, self.mode, str(repeats)],
                                check=True, capture_output=True, text=True).stdout
        figures = json.loads(output)
        self.info = {k: figures[k] for k in ("algorithm", "passes")}
        for piece in ("copy", "scan", "order", "write_back", "touch"):
            self.best[piece] = min(self.best.get(piece, float("inf")), figures[piece])

    def close(self):
        os.unlink(self.file)


# ---- Timing -------------------------------------------------------------------------------------

MAX_ROUNDS = 30
GROUP_BUDGET_S = 1.0

# The C library's allocator keeps every freed block for reuse instead of handing it back to the
# system. A page that a process gives back and maps again costs a fault on every run, and on a
# virtual machine that hands freed pages to its host such a fault can cost more than sorting
# the page's elements: the "warm" figures show what is left without them.
WARM_MEMORY_TUNABLES = "glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=68719476736"
MEMORY_MODES = ("default", "warm")  # the headline first


def memory_mode(environ=os.environ):
    return "warm" if WARM_MEMORY_TUNABLES in environ.get("GLIBC_TUNABLES", "") else "default"


def memory_modes(choice, libc=None):
    """The memory modes to measure, the headline first; warm needs glibc's tunables."""
    modes = list(MEMORY_MODES) if choice == "both" else [choice]
    if (libc or platform.libc_ver()[0]) != "glibc" and "warm" in modes:
        print("the C library is not glibc: no warm-memory figures", file=sys.stderr)
        modes.remove("warm")
    return modes


def worker_environment(memory, environ=os.environ):
    """The environment of a fresh process per size. The tunables apply from a process's start;
    the default process gets none at all, as a user's program."""
    environment = {k: v for k, v in environ.items() if k != "GLIBC_TUNABLES"}
    if memory == "warm":
        environment["GLIBC_TUNABLES"] = WARM_MEMORY_TUNABLES
    return environment


def rounds_for(n, rounds):
    """Short runs get more rounds: their best time is otherwise at the mercy of the noise."""
    return max(rounds, min(MAX_ROUNDS, rounds * REFERENCE_N // max(n, 1)))


def progress_mode(quiet, stream=sys.stderr):
    """A line redrawn in place on a terminal; elsewhere (a log, CI) one line per step done."""
    if quiet:
        return None
    return "terminal" if stream.isatty() else "lines"


class Progress:
    def __init__(self, total, mode, stream=sys.stderr):
        self.total, self.done, self.mode, self.stream = total, 0, mode, stream
        self.start = time.perf_counter()

    def _prefix(self):
        return f"[{self.done}/{self.total} {time.perf_counter() - self.start:6.0f}s]"

    def show(self, text):
        if self.mode == "terminal":
            self.stream.write(f"\r{self._prefix()} {text:60.60}")
            self.stream.flush()

    def step(self, text):
        self.done += 1
        if self.mode == "lines":
            self.stream.write(f"{self._prefix()} {text}\n")
            self.stream.flush()

    def finish(self):
        if self.mode == "terminal":
            self.stream.write("\r" + " " * 80 + "\r")


def _minor_faults():
    return resource.getrusage(resource.RUSAGE_SELF).ru_minflt


def time_group(paths, data, rounds, expected, kernels, show):
    """Wall times and minor page faults of every path over alternated rounds; results are
    checked against `expected` in the first round. A group whose rounds are quick gets more of
    them, until GROUP_BUDGET_S is spent or MAX_ROUNDS are done: a run of a few milliseconds is
    at the mercy of a page fault or a timer tick."""
    times = {path.name: [] for path in paths}
    faults = {path.name: [] for path in paths}
    spent = 0.0
    round_index = 0
    while round_index < rounds or (spent < GROUP_BUDGET_S and round_index < MAX_ROUNDS):
        # A fresh order every round: a path that always ran after the same one would inherit
        # that one's traces in the caches and the allocator on every round.
        order = list(paths)
        random.Random(round_index).shuffle(order)
        for path in order:
            # Every timed call starts from the same state of the allocator: a list of this
            # length has just been made and freed, so whichever list the call makes next lands
            # in the same memory, however large a list the previous path left behind.
            scratch = list(data)
            del scratch
            argument = data if path.prepare is None else path.prepare(data)
            faults_before = _minor_faults()
            start = time.perf_counter()
            result = path.function(argument)
            elapsed = time.perf_counter() - start
            faults[path.name].append(_minor_faults() - faults_before)
            if round_index == 0 and path.name != "key calls":
                check_result(path, argument, result, expected)
            del result, argument
            times[path.name].append(elapsed)
            spent += elapsed
        for kernel in kernels:
            kernel.run(max(2, min(50, 2 * REFERENCE_N // max(len(data), 1))))
        show(f"round {round_index + 1}/{max(rounds, round_index + 1)}")
        round_index += 1
    return times, faults


# From this length on, one more call of every native drop-in row runs under tracemalloc.
TRACED_FROM_N = 10**6


def traced_bytes(path, data):
    """The peak of what one call allocates through the interpreter's allocators (its scratch,
    its result, the objects its key calls make): the memory that it may have to map afresh."""
    argument = data if path.prepare is None else path.prepare(data)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = path.function(argument)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    del result, argument
    return peak - before


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


def data_rng(seed, ident, n):
    """The same values for a distribution and length in every process and memory mode."""
    return random.Random(f"{seed}:{ident}:{n}")


def measure(distribution, n, rng, paths, rounds, kernel_binary, work_dir, show):
    """All rows for one distribution and length."""
    ident, label, generate, all_ints = distribution
    values = generate(rng, n)
    pairs = [(value, index) for index, value in enumerate(values)]
    rows = []
    for group, data in (("unkeyed", values), ("keyed", pairs)):
        expected = {reverse: sorted(data, key=KEY if group == "keyed" else None, reverse=reverse)
                    for reverse in (False, True)}
        for key in {p.key for p in paths if p.group == group and p.key
                    and isinstance(data[0], p.key_takes) and (not p.only or ident in p.only)}:
            try:
                expected[key] = sorted(data, key=key)
            except TypeError:  # swapped columns that do not compare (a str and an int, dicts)
                pass
        group_paths = [p for p in paths if p.group == group and (all_ints or not p.ints_only)
                       and (p.key is None or p.key in expected)
                       and not (p.where_exact and not gives(p, data, expected[False]))]
        strategies = {p.name: strategy_of(p, values, pairs) for p in group_paths if p.baseline}
        native = any(is_native(s) for s in strategies.values())
        kernel = None
        if native and all_ints and kernel_binary is not None:  # the C++ program reads int64
            kernel = KernelLimit(kernel_binary, values, group, work_dir)
        gc.collect()
        times, faults = time_group(
            group_paths, data, rounds_for(n, rounds), expected, [kernel] if kernel else [],
            lambda text: show(f"{label}, n={n:,}, {group}: {text}"))
        pieces = {}
        if kernel is not None:
            kernel.close()
            pieces = dict(kernel.best)
            if group == "keyed":
                pieces["keyed scan"] = pieces.pop("scan")
                pieces["keyed order"] = pieces.pop("order")
                pieces["key calls"] = min(times["key calls"]) * 1e9 / n
        for path in group_paths:
            mine = times[path.name]
            best = min(mine)
            row = {
                "distribution": ident, "label": label, "n": n, "group": group,
                "path": path.name, "drop_in": path.drop_in,
                "strategy": strategies.get(path.name, ""),
                "best_s": best, "median_s": statistics.median(mine),
                "runs": len(mine), "ns_per_element": best * 1e9 / n,
                "spread": statistics.median(mine) / best - 1 if best else 0.0,
                "faults": statistics.median(faults[path.name]),
                "faults_best_round": faults[path.name][mine.index(best)],
            }
            if path.baseline:
                base = times[path.baseline]
                row["baseline"] = path.baseline
                row["ratio"] = min(base) / best
                row["median_ratio"] = statistics.median(base) / statistics.median(mine)
                # Both ran in every round, close together: the median of the rounds' own ratios
                # cancels the slow swings of a busy machine that the best times do not.
                row["paired_ratio"] = statistics.median(b / t for b, t in zip(base, mine))
            if path.drop_in and n >= TRACED_FROM_N and is_native(row["strategy"]):
                row["bytes_per_element"] = traced_bytes(path, data) / n
            if path.limit and kernel is not None and is_native(row["strategy"]):
                parts = {p: pieces[p] for p in path.limit}
                row["limit_ns_per_element"] = sum(parts.values())
                row["limit_parts"] = parts
                row["kernel"] = dict(kernel.info)
                row["to_limit"] = row["ns_per_element"] / row["limit_ns_per_element"]
            rows.append(row)
    return rows


# ---- One process per size -----------------------------------------------------------------------

def measure_size(config, report):
    """Every distribution at one length, in this process; `report` receives progress events."""
    paths = build_paths(config["drop_in"])
    kernel_binary = Path(config["kernel"]) if config["kernel"] else None
    distributions = [d for d in DISTRIBUTIONS if d[0] in config["distributions"]]
    n, memory = config["n"], memory_mode()
    rows = []
    was_enabled = gc.isenabled()
    gc.disable()  # the timed calls make no cycles; a collection would land in a random run
    try:
        for distribution in distributions:
            rng = data_rng(config["seed"], distribution[0], n)
            found = measure(distribution, n, rng, paths, config["rounds"], kernel_binary,
                            config["work_dir"], lambda text: report({"round": text}))
            for row in found:
                row["memory"] = memory
            rows += found
            report({"done": f"{distribution[1]}, n={n:,}, {memory} memory"})
            gc.collect()
    finally:
        if was_enabled:
            gc.enable()
    return rows


def worker_main(config_text):
    """The body of a fresh process: figures as one JSON object per line on the original
    standard output, which nothing else may write to."""
    channel = os.fdopen(os.dup(1), "w", buffering=1)
    os.dup2(2, 1)

    def report(event):
        channel.write(json.dumps(event) + "\n")

    report({"rows": measure_size(json.loads(config_text), report)})
    channel.close()


def run_size(config, memory, progress):
    """Measures one length in a fresh process of the given memory mode."""
    command = [sys.executable, str(Path(__file__).resolve()), "--worker", json.dumps(config)]
    with subprocess.Popen(command, stdout=subprocess.PIPE, text=True,
                          env=worker_environment(memory)) as process:
        rows = None
        for line in process.stdout:
            event = json.loads(line)
            if "round" in event:
                progress.show(f"{memory}: {event['round']}")
            elif "done" in event:
                progress.step(event["done"])
            else:
                rows = event["rows"]
    if process.returncode != 0 or rows is None:
        progress.finish()
        raise SystemExit(f"the process measuring n={config['n']:,} with {memory} memory "
                         f"failed (exit status {process.returncode})")
    return rows


# ---- Small lists --------------------------------------------------------------------------------

SMALL_SIZES = (0, 1, 10, 100)
SMALL_ELEMENTS = 200_000  # elements per timed batch
SMALL_ROUNDS = 21
# Every call and n gets at least SMALL_MIN_ROUNDS rounds, and more up to SMALL_ROUNDS while its
# rounds have taken under SMALL_BUDGET_S: a slow drop-in would otherwise stretch the section.
SMALL_MIN_ROUNDS = 7
SMALL_BUDGET_S = 1.0
SMALL_GOALS = {0: 1.10, 1: 1.10, 10: 1.05, 100: 1.05}  # highest drop-in time / builtin time


# One loop per call shape, the callee bound to a local: the builtin and the drop-in then pay
# the same loop and call overhead, and no wrapper adds a call of its own to either side.
def _loop_plain(f, batch):
    start = time.perf_counter()
    for v in batch:
        f(v)
    return time.perf_counter() - start


def _loop_key(f, batch):
    key = KEY
    start = time.perf_counter()
    for v in batch:
        f(v, key=key)
    return time.perf_counter() - start


def _loop_reverse(f, batch):
    start = time.perf_counter()
    for v in batch:
        f(v, reverse=True)
    return time.perf_counter() - start


@dataclass
class SmallCall:
    name: str
    builtin_name: str
    loop: object
    builtin: object
    drop_in: str  # the attribute of vesksort_native
    pairs: bool  # sorts (value, index) pairs by itemgetter(0), else the values
    in_place: bool
    needs_drop_in: bool  # takes key= or reverse=, which older drop-ins refuse


# list.sort(v) stands for v.sort(): the same method, called in the same loop shape as the drop-in.
SMALL_CALLS = [
    SmallCall("sort(v)", "sorted(v)", _loop_plain, sorted, "sort", False, False, False),
    SmallCall("sort(pairs, key=itemgetter(0))", "sorted(pairs, key=itemgetter(0))", _loop_key,
              sorted, "sort", True, False, True),
    SmallCall("sort(v, reverse=True)", "sorted(v, reverse=True)", _loop_reverse, sorted, "sort",
              False, False, True),
    SmallCall("sort_in_place(v)", "v.sort()", _loop_plain, list.sort, "sort_in_place", False,
              True, False),
    SmallCall("sort_in_place(pairs, key=itemgetter(0))", "pairs.sort(key=itemgetter(0))",
              _loop_key, list.sort, "sort_in_place", True, True, True),
]


def _small_batches(rng, n, lists):
    values = [[rng.randint(INT64_MIN, INT64_MAX) for _ in range(n)] for _ in range(lists)]
    pairs = [[(value, index) for index, value in enumerate(v)] for v in values]
    return values, pairs


def _check_small(call, drop_in, batch):
    """The drop-in gives the builtin's result on a sample of the batch."""
    extra = {"key": KEY} if call.pairs else {"reverse": True} if "reverse" in call.name else {}
    for v in batch[:100]:
        want, got = list(v), list(v)
        if call.in_place:
            call.builtin(want, **extra)
            drop_in(got, **extra)
        else:
            want, got = call.builtin(want, **extra), drop_in(got, **extra)
        if got != want:
            raise SystemExit(f"small lists: {call.name} differs from {call.builtin_name}")


def _time_small(call, drop_in, batch, drop_in_first):
    """One timing of each side, as (builtin, drop-in); in place, each side sorts fresh copies
    made outside the timer."""
    functions, times = (call.builtin, drop_in), [0.0, 0.0]
    for side in (1, 0) if drop_in_first else (0, 1):
        work = [v.copy() for v in batch] if call.in_place else batch
        times[side] = call.loop(functions[side], work)
        del work
    return times


def small_batch_lists(n, elements=SMALL_ELEMENTS):
    # Empty and one-element calls are so quick that a timing over fewer lists is under 10 ms.
    return elements // n if n > 1 else 2 * elements


def measure_small(with_drop_in, sizes=SMALL_SIZES, elements=SMALL_ELEMENTS, rounds=SMALL_ROUNDS,
                  min_rounds=SMALL_MIN_ROUNDS, budget_s=SMALL_BUDGET_S, seed=2026,
                  progress=None):
    """Drop-in time / builtin time for every small-list call and n, over batches of lists."""
    start = time.perf_counter()
    calls = [c for c in SMALL_CALLS if with_drop_in or not c.needs_drop_in]
    rng = random.Random(seed)
    entries = []
    was_enabled = gc.isenabled()
    gc.disable()  # the batches are large and make no cycles; a collection would land in a run
    try:
        for n in sizes:
            lists = small_batch_lists(n, elements)
            values, pairs = _small_batches(rng, n, lists)
            for call in calls:
                batch = pairs if call.pairs else values
                drop_in = getattr(vesksort_native, call.drop_in)
                _check_small(call, drop_in, batch)
                builtin_times, drop_in_times = [], []
                cell_start = time.perf_counter()
                while len(builtin_times) < min(min_rounds, rounds) or (
                        len(builtin_times) < rounds
                        and time.perf_counter() - cell_start < budget_s):
                    # Alternate which side runs first, so that neither always follows the other.
                    b, d = _time_small(call, drop_in, batch, len(builtin_times) % 2 == 1)
                    builtin_times.append(b)
                    drop_in_times.append(d)
                    if progress is not None:
                        progress.show(f"small lists, n={n}: {call.name}, "
                                      f"round {len(builtin_times)}")
                entries.append({
                    "call": call.name, "builtin": call.builtin_name, "n": n, "lists": lists,
                    "rounds": len(builtin_times), "builtin_best_s": min(builtin_times),
                    "drop_in_best_s": min(drop_in_times),
                    "ratio": min(drop_in_times) / min(builtin_times),
                    "median_ratio": statistics.median(
                        d / b for b, d in zip(builtin_times, drop_in_times)),
                })
                if progress is not None:
                    progress.step(f"small lists, n={n}: {call.name}")
            del values, pairs
            gc.collect()
    finally:
        if was_enabled:
            gc.enable()
    return {"sizes": list(sizes), "elements": elements, "max_rounds": rounds,
            "seconds": time.perf_counter() - start, "results": entries}


# ---- Report -------------------------------------------------------------------------------------

def headline(rows):
    """The rows measured in a default process, which the table leads with and the goals judge."""
    return [r for r in rows if r.get("memory", "default") == "default"]


def reference_size(sizes):
    return REFERENCE_N if REFERENCE_N in sizes else max(sizes)


def _cell(value, fmt, width):
    return f"{value:{fmt}}" if value is not None else " " * width


def print_table(rows, n, modes):
    """Every path at length n: the default process's figures first, the warm ones beside."""
    by_key = {}
    for r in rows:
        if r["n"] == n:
            by_key.setdefault((r["label"], r["path"]), {})[r.get("memory", "default")] = r
    if not by_key:
        return
    lead = modes[0]
    path_width = max(len("path"), *(len(path) for _, path in by_key))
    strategy_width = max(len("strategy"),
                         *(len(r["strategy"]) for m in by_key.values() for r in m.values()))
    heads = " ".join(f"{m:>7}" for m in modes)
    print(f"\nn = {n:,}: best of alternated rounds, every length in a fresh process\n"
          f"  ratio = baseline time / path time; faults = minor page faults per call (median "
          f"of rounds, {lead} memory)\n"
          f"  limit = the kernel-only steps (ns/el); x lim = path time / limit; B/el = bytes "
          f"that one call allocates at its peak, per element (tracemalloc, from n = "
          f"{TRACED_FROM_N:,})")
    indent = 2 + path_width + 1 + strategy_width + 1 + 8
    span = 8 * len(modes) - 1
    print(f"{'':{indent}} {'ns/el':^{span}} {'ratio':^{span}}")
    print(f"  {'path':{path_width}} {'strategy':{strategy_width}} {'ms':>8} {heads} {heads} "
          f"{'faults':>8} {'limit':>6} {'x lim':>6} {'B/el':>5}")
    label = None
    for (row_label, path), by_mode in by_key.items():
        if row_label != label:
            label = row_label
            print(label)
        first = by_mode.get(lead) or next(iter(by_mode.values()))
        ns = " ".join(_cell(by_mode[m]["ns_per_element"] if m in by_mode else None, "7.1f", 7)
                      for m in modes)
        ratios = " ".join(_cell(by_mode[m].get("ratio") if m in by_mode else None, "6.2f", 6)
                          + ("x" if m in by_mode and "ratio" in by_mode[m] else " ")
                          for m in modes)
        limit = _cell(first.get("limit_ns_per_element"), "6.1f", 6)
        to_limit = _cell(first.get("to_limit"), "5.2f", 5) + ("x" if "to_limit" in first else " ")
        faults = _cell(first.get("faults"), "8.0f", 8)
        fresh = _cell(first.get("bytes_per_element"), "5.1f", 5)
        print(f"  {path:{path_width}} {first['strategy']:{strategy_width}} "
              f"{first['best_s'] * 1e3:8.2f} {ns} {ratios} {faults} {limit} {to_limit} "
              f"{fresh}".rstrip())


def power(n):
    """10^k for a power of ten, else the number itself."""
    k = len(str(n)) - 1
    return f"10^{k}" if n == 10**k else f"{n:,}"


GROWTH_RANGE = (10**4, 10**7)
# Every native path within this factor of its kernel-only limit, at every length measured.
LIMIT_GOAL = 1.3
# Lengths at which a native drop-in maps nothing afresh once a process has sorted twice: it makes
# no minor page fault per call beyond those of its builtin (the objects that a key function
# makes are the interpreter's, and fault for both).
FAULT_RANGE = (10**4, 10**6)
# (path, distributions, length, most bytes per element that one call may allocate), besides a
# fixed FIXED_SCRATCH_BYTES (the radix kernel's tables, whatever the length)
FRESH_MEMORY_GOALS = [("sort()", ("rand64",), 10**7, 24.0)]
FIXED_SCRATCH_BYTES = 256 * 1024


def growth(rows):
    """ns per element of every native path by n, and its growth over GROWTH_RANGE: the largest
    ns/el at the lengths measured in that range over the smallest."""
    table = {}
    for r in headline(rows):
        if r.get("baseline") and is_native(r["strategy"]):
            key = (r["distribution"], r["label"], r["path"])
            table.setdefault(key, {})[r["n"]] = r["ns_per_element"]
    result = []
    low, high = GROWTH_RANGE
    for (ident, label, path), by_n in table.items():
        inside = {n: v for n, v in by_n.items() if low <= n <= high}
        entry = {"distribution": ident, "label": label, "path": path, "by_n": by_n,
                 "sizes": sorted(inside), "growth": None}
        if len(inside) >= 2:
            entry["growth"] = max(inside.values()) / min(inside.values())
        result.append(entry)
    return result


def print_growth(entries):
    if not entries:
        return
    sizes = sorted({n for e in entries for n in e["by_n"]})
    print(f"\nns per element of the native paths by n (default memory); growth = largest / "
          f"smallest ns/el from {power(GROWTH_RANGE[0])} to {power(GROWTH_RANGE[1])}")
    label_width = max(len(e["label"]) for e in entries)
    path_width = max(len(e["path"]) for e in entries)
    print(f"{'distribution':{label_width}} {'path':{path_width}} "
          + " ".join(f"{power(n):>9}" for n in sizes) + f" {'growth':>7}")
    for e in entries:
        cells = " ".join(f"{e['by_n'][n]:9.1f}" if n in e["by_n"] else " " * 9 for n in sizes)
        grown = f"{e['growth']:6.2f}x" if e["growth"] is not None else f"{'-':>7}"
        print(f"{e['label']:{label_width}} {e['path']:{path_width}} {cells} {grown}")


# (path, its baseline, distributions, lengths, lowest ratio of best times)
RATIO_GOALS = [
    ("sort()", "sorted()", ("rand64",), (10**4, 10**5), 8.0),
    ("sort()", "sorted()", ("rand64",), (10**6, 10**7), 12.0),
    ("sort()", "sorted()", ("perm", "dense"), (10**5, 10**6), 8.0),
    ("sort(key)", "sorted(key)", ("rand64",), (10**5, 10**6), 6.0),
    ("sort(reverse)", "sorted(reverse)", ("rand64",), (10**6,), 10.0),
    ("sort()", "sorted()", ("floats",), (10**5,), 6.0),
    ("sort()", "sorted()", ("floats",), (10**6,), 10.0),
    ("sort()", "sorted()", ("floats+ints",), (10**6,), 8.0),
    ("sort(key)", "sorted(key)", ("floats",), (10**5,), 4.0),
    ("sort(key)", "sorted(key)", ("floats",), (10**6,), 6.0),
    ("sort()", "sorted()", ("pairs-narrow",), (10**6,), 20.0),
    ("sort()", "sorted()", ("pairs-int64",), (10**6,), 10.0),
    ("sort(key=swap)", "sorted(key=swap)", ("pairs-narrow",), (10**6,), 8.0),
    ("sort()", "sorted()", ("words",), (10**4,), 8.0),
    ("sort()", "sorted()", ("words",), (10**5,), 10.0),
    ("sort()", "sorted()", ("words", "mixed-kinds"), (10**6,), 12.0),
    ("sort()", "sorted()", ("urls",), (10**6,), 11.0),
    ("sort()", "sorted()", ("paths",), (10**6,), 4.0),
    ("sort()", "sorted()", ("words-repeated",), (10**6,), 6.5),
    ("sort()", "sorted()", ("words-sorted",), (10**4,), 1.0),
    ("sort()", "sorted()", ("words-sorted",), (10**6,), 2.0),
    ("sort()", "sorted()", ("words-nearly",), (10**6,), 2.5),
    ("sort(key)", "sorted(key)", ("words",), (10**5, 10**6), 7.0),
    ("sort(key=str.lower)", "sorted(key=str.lower)", ("words-mixed-case",), (10**6,), 2.5),
    ("sort()", "sorted()", ("bytes",), (10**6,), 10.0),
    ("sort()", "sorted()", ("dict-items",), (10**5,), 8.0),
    ("sort()", "sorted()", ("dict-items", "category-price", "score-name"), (10**6,), 12.0),
    ("sort(key=swap)", "sorted(key=swap)", ("names",), (10**6,), 4.0),
    ("sort()", "sorted()", ("datetimes", "timedeltas"), (10**6,), 10.0),
    ("sort(key)", "sorted(key)", ("datetimes",), (10**6,), 8.0),
    ("sort(key=multiple_of_three)", "sorted(key=multiple_of_three)", ("rand32",), (10**6,),
     1.3),
    # No list in order but for a few items, or in a few runs, sorts slower than under the builtin.
    ("sort()", "sorted()", tuple(d[0] for d in RUN_DISTRIBUTIONS), (10**4, 10**5, 10**6), 1.0),
    ("sort(key)", "sorted(key)", tuple(d[0] for d in RUN_DISTRIBUTIONS), (10**4, 10**5, 10**6),
     1.0),
    ("sort()", "sorted()", ("int-appended", "int-halves"), (10**5,), 1.5),
    ("sort()", "sorted()", ("int-appended", "int-halves"), (10**6,), 2.0),
    ("sort()", "sorted()", ("words-appended",), (10**5, 10**6), 1.5),
]
FALLBACK_TOLERANCE = 1.03
# (path, its baseline, distributions, lengths) that the drop-ins hand to the interpreter's sort:
# judged as every fallback is, and listed as not measured when they were not.
FLOAT_FALLBACKS = ("floats+nan", "float-subclass", "floats+bigints")
TUPLE_FALLBACKS = ("pairs+nan", "str-subclass-pairs", "pairs+objects")
STR_FALLBACKS = ("str-subclass", "str-subclass-last")
DATETIME_FALLBACKS = ("datetimes-zones",)
FALLBACK_DISTRIBUTIONS = FLOAT_FALLBACKS + TUPLE_FALLBACKS + STR_FALLBACKS + DATETIME_FALLBACKS
FALLBACK_GOALS = [
    ("sort()", "sorted()", FALLBACK_DISTRIBUTIONS, (10**5, 10**6)),
    ("sort(key)", "sorted(key)", FALLBACK_DISTRIBUTIONS, (10**5, 10**6)),
]
LABELS = {d[0]: d[1] for d in DISTRIBUTIONS}
CALLS = {"sort()": "sort()", "sort(key)": "sort(key=itemgetter(0)) on (value, index) pairs",
         "sort(reverse)": "sort(reverse=True)",
         "sort(key=swap)": "sort(key=lambda r: (r[1], r[0]))",
         "sort(key=str.lower)": "sort(key=str.lower)",
         "sort(key=multiple_of_three)": "sort(key=lambda x: x % 3 == 0)"}


def _check(text, value, target, met):
    status = "not measured" if met is None else "met" if met else "missed"
    return {"goal": text, "value": value, "target": target,
            "met": None if met is None else bool(met), "status": status}


def limit_goals(rows):
    """Every native row that has a kernel-only limit lies within LIMIT_GOAL of it."""
    limited = [r for r in rows if "to_limit" in r]
    checks = [_check(f"{r['label']}, n={r['n']:,}, {r['path']}: within {LIMIT_GOAL}x of its "
                     f"kernel-only limit", r["to_limit"], LIMIT_GOAL, r["to_limit"] <= LIMIT_GOAL)
              for r in limited]
    if not limited:
        checks.append(_check(f"every native path within {LIMIT_GOAL}x of its kernel-only limit",
                             None, LIMIT_GOAL, None))
    return checks


def fault_goals(rows, found):
    """Every native drop-in row from FAULT_RANGE[0] to FAULT_RANGE[1] makes no more minor page
    faults per call (median of rounds) than its builtin in the same rounds."""
    low, high = FAULT_RANGE
    judged = [r for r in rows if low <= r["n"] <= high and r.get("baseline")
              and is_native(r["strategy"]) and "faults" in r]
    checks = []
    for r in judged:
        base = found.get((r["distribution"], r["n"], r["baseline"]), {}).get("faults", 0)
        checks.append(_check(f"{r['label']}, n={r['n']:,}, {r['path']}: page faults per call "
                             f"<= those of {r['baseline']} ({base:g})", r["faults"], base,
                             r["faults"] <= base))
    if not judged:
        checks.append(_check(f"native paths from {power(low)} to {power(high)}: no page fault "
                             f"per call beyond the builtin's", None, 0, None))
    return checks


def goals(rows):
    """The speed goals, judged on the default process's figures; a goal whose length or
    distribution was not measured is listed as such."""
    rows = headline(rows)
    checks = []
    found = {(r["distribution"], r["n"], r["path"]): r for r in rows}
    for path, baseline, distributions, sizes, target in RATIO_GOALS:
        for ident in distributions:
            for n in sizes:
                text = (f"{LABELS[ident]}, n={n:,}: {CALLS[path]} >= {target:g}x {baseline} "
                        f"(default memory)")
                row = found.get((ident, n, path))
                if row is None:
                    checks.append(_check(text, None, target, None))
                else:
                    checks.append(_check(text, row["ratio"], target, row["ratio"] >= target))
    checks += limit_goals(rows) + fault_goals(rows, found)
    for path, distributions, n, target in FRESH_MEMORY_GOALS:
        for ident in distributions:
            row = found.get((ident, n, path))
            value = row.get("bytes_per_element") if row else None
            checks.append(_check(f"{LABELS[ident]}, n={n:,}: {CALLS[path]} allocates <= "
                                 f"{target:g} bytes per element and {FIXED_SCRATCH_BYTES // 1024} "
                                 f"KiB (tracemalloc peak)", value, target,
                                 None if value is None
                                 else value <= target + FIXED_SCRATCH_BYTES / n))
    # A fallback does the baseline's own work: a difference of 3% is below the spread of the
    # best times on a busy machine, so these take the median of the per-round ratios.
    named = {(ident, n, path): baseline for path, baseline, distributions, sizes in FALLBACK_GOALS
             for ident in distributions for n in sizes}
    fallbacks = [r for r in rows if "paired_ratio" in r and (
        r.get("strategy", "").startswith(FALLBACKS)
        or (r["distribution"], r["n"], r["path"]) in named)]
    for r in fallbacks:
        check = _check(f"{r['label']}, n={r['n']:,}, {r['path']} ({r['strategy']}) no more "
                       f"than 3% slower than {r['baseline']} (median of per-round ratios)",
                       r["paired_ratio"], 1 / FALLBACK_TOLERANCE,
                       r["paired_ratio"] >= 1 / FALLBACK_TOLERANCE)
        checks.append(check)
    for (ident, n, path), baseline in named.items():
        if (ident, n, path) not in found:
            checks.append(_check(f"{LABELS[ident]}, n={n:,}, {path} no more than 3% slower than "
                                 f"{baseline} (median of per-round ratios)",
                                 None, 1 / FALLBACK_TOLERANCE, None))
    if not rows:
        checks.append(_check("Timsort fallbacks no more than 3% slower than the builtin",
                             None, 1 / FALLBACK_TOLERANCE, None))
    return checks


def small_goals(small):
    """Each small-list call at each n costs no more than its builtin, within SMALL_GOALS."""
    # Timings of 10-20 ms swing by a quarter in phases of several rounds on a busy machine, so
    # the best times of the two sides can come from different phases: the per-round ratios,
    # taken seconds apart, do not.
    checks = []
    for e in small["results"] if small else []:
        target = SMALL_GOALS[e["n"]]
        checks.append(_check(f"small lists, n={e['n']}: {e['call']} at most {target:.2f}x the "
                             f"time of {e['builtin']} (median of per-round ratios)",
                             e["median_ratio"], target, e["median_ratio"] <= target))
    return checks


def print_small(small):
    if not small or not small["results"]:
        return
    sizes = small["sizes"]
    print(f"\nSmall lists: drop-in time / builtin time, from best times (median of per-round "
          f"ratios, which the goals judge); batches of {small['elements']:,} elements, lists of "
          f"0 and 1 twice as many; {small['seconds']:.0f} s")
    print(f"{'call':40} {'builtin':33} " + " ".join(f"{'n=' + str(n):>13}" for n in sizes))
    by_call = {}
    for e in small["results"]:
        by_call.setdefault((e["call"], e["builtin"]), {})[e["n"]] = e
    for (call, builtin), by_n in by_call.items():
        cells = " ".join(f"{by_n[n]['ratio']:5.2f} ({by_n[n]['median_ratio']:5.2f})"
                         if n in by_n else " " * 13 for n in sizes)
        print(f"{call:40} {builtin:33} {cells}")


def print_goals(checks):
    if not checks:
        return
    print("\nGoals (ratios from best times, unless stated):")
    for c in checks:
        if c["met"] is False:
            print(f"  MISSED {c['goal']}: {c['value']:.3f} (target {c['target']:.3f})")
    for c in checks:
        if c["met"] is None:
            print(f"  not measured: {c['goal']}")
    met = sum(c["met"] is True for c in checks)
    judged = sum(c["met"] is not None for c in checks)
    print(f"  {met} of {judged} met; {len(checks) - judged} not measured")


def noise(rows):
    spreads = [r["spread"] for r in rows if r["n"] >= 10**5] or [r["spread"] for r in rows]
    if not spreads:
        return {"median_spread": None, "max_spread": None}
    return {"median_spread": statistics.median(spreads), "max_spread": max(spreads)}


# ---- Provenance ---------------------------------------------------------------------------------

def git_state(root=ROOT, environ=os.environ):
    """The commit measured and whether the tree differed from it. Where the repository is out
    of reach (a checkout mounted without its git folder), tools/bench hands them over."""
    try:
        def git(*arguments):
            return subprocess.run(["git", *arguments], cwd=root, capture_output=True, text=True,
                                  check=True, timeout=30).stdout
        return {"commit": git("rev-parse", "HEAD").strip(),
                "dirty": bool(git("status", "--porcelain").strip())}
    except (OSError, subprocess.SubprocessError):
        commit = environ.get("VESKSORT_BENCH_COMMIT") or None
        dirty = {"1": True, "0": False}.get(environ.get("VESKSORT_BENCH_DIRTY", ""))
        return {"commit": commit, "dirty": dirty if commit else None}


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def shown(path, cwd=None):
    """A path as the user knows it: relative to the current folder or to the repository,
    never the absolute path of wherever the benchmark happens to run."""
    path = Path(path).resolve()
    for base in (Path(cwd or os.getcwd()).resolve(), ROOT):
        try:
            return str(path.relative_to(base))
        except ValueError:
            pass
    return str(path)


# ---- Plot ---------------------------------------------------------------------------------------

# Drop-ins in strong colours and thick lines, the prototypes thinner; baselines dashed in greys.
NATIVE_STYLES = {
    "sort()": ("#1f77b4", 2.4), "sort(reverse)": ("#ff7f0e", 2.4),
    "sort_in_place()": ("#2ca02c", 2.4), "sort(key)": ("#d62728", 2.4),
    "sort(key, reverse)": ("#9467bd", 2.4), "sort_in_place(key)": ("#8c564b", 2.4),
    "unkeyed copy": ("#17becf", 1.3), "unkeyed in place": ("#bcbd22", 1.3),
    "keyed direct": ("#e377c2", 1.3), "keyed full cache": ("#7f3c8d", 1.3),
    "keyed prefix": ("#e6ab02", 1.3), "sort(key=swap)": ("#e7298a", 2.4),
    "sort(key=str.lower)": ("#66a61e", 2.4), "sort(key=multiple_of_three)": ("#a6761d", 2.4),
}
BASELINE_STYLES = {
    "sorted()": ("#000000", "--", "o"), "list.sort()": ("#555555", "--", "s"),
    "sorted(reverse)": ("#999999", "--", "^"), "numpy round trip": ("#333333", "-.", "D"),
    "sorted(key)": ("#000000", "--", "o"), "list.sort(key)": ("#555555", "--", "s"),
    "sorted(key, reverse)": ("#999999", "--", "^"), "key calls": ("#777777", ":", "x"),
    "sorted(key=swap)": ("#bbbbbb", "--", "v"), "sorted(key=str.lower)": ("#bbbbbb", "--", "<"),
    "sorted(key=multiple_of_three)": ("#bbbbbb", "--", ">"),
}
GROUP_TITLES = {"unkeyed": "values", "keyed": "(value, index) pairs, key=itemgetter(0)"}


def _style(name):
    if name in NATIVE_STYLES:
        colour, width = NATIVE_STYLES[name]
        return {"color": colour, "linestyle": "-", "linewidth": width, "marker": "o",
                "markersize": 3.5}
    colour, line, marker = BASELINE_STYLES.get(name, ("#aaaaaa", "--", "."))
    return {"color": colour, "linestyle": line, "linewidth": 1.4, "marker": marker,
            "markersize": 4, "markerfacecolor": "none"}


def plot_title(report):
    machine, version = report["machine"], report["version"]
    python = machine["python"].split()[0]
    commit = (version["commit"] or "")[:10] + (" (modified)" if version["dirty"] else "")
    return (f"vesksort_native {version['package']} {commit}".rstrip() + "\n"
            f"Python {python}, {machine['cpu']}, {machine['cpus']} CPUs, {machine['platform']}")


def plot(rows, file, title):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot", file=sys.stderr)
        return False
    rows = headline(rows) or rows
    memory = rows[0].get("memory", "default") if rows else "default"
    sizes = sorted({r["n"] for r in rows})
    if len(sizes) == 1:
        figure = _plot_bars(plt, rows, sizes[0])
        what = f"speed-up over the builtin at n = {sizes[0]:,}"
    else:
        figure = _plot_lines(plt, rows)
        what = "ns per element against n"
    figure.suptitle(f"{title}\n{what}, best of rounds, {memory} memory, a fresh process per "
                    f"length", fontsize=11)
    figure.savefig(file, dpi=100, bbox_inches="tight")
    plt.close(figure)
    return True


def _legend(figure, axes):
    handles = {}
    for axis in axes:
        for handle, name in zip(*axis.get_legend_handles_labels()):
            handles.setdefault(name, handle)
    # Native paths first, as in the styles, then the baselines: a key read top to bottom.
    order = [*NATIVE_STYLES, *BASELINE_STYLES]
    names = sorted(handles, key=lambda name: (order.index(name) if name in order else
                                              len(order), name))
    figure.legend([handles[n] for n in names], names, loc="center left",
                  bbox_to_anchor=(1.0, 0.5), fontsize="medium", frameon=False)


def _plot_lines(plt, rows):
    from matplotlib.ticker import LogLocator, NullFormatter

    labels = list(dict.fromkeys(r["label"] for r in rows))
    per_line = 1 if len(labels) <= 4 else 2  # distributions side by side, each two panels
    lines = (len(labels) + per_line - 1) // per_line
    figure, axes = plt.subplots(lines, 2 * per_line, figsize=(5.2 * 2 * per_line, 3.6 * lines),
                                squeeze=False, layout="constrained")
    used = []
    for index, label in enumerate(labels):
        for offset, group in enumerate(("unkeyed", "keyed")):
            axis = axes[index // per_line][2 * (index % per_line) + offset]
            used.append(axis)
            series = {}
            for r in rows:
                if r["label"] == label and r["group"] == group:
                    series.setdefault(r["path"], {})[r["n"]] = r["ns_per_element"]
            for name, by_n in series.items():
                xs = sorted(by_n)
                axis.loglog(xs, [by_n[n] for n in xs], label=name, **_style(name))
            axis.set_title(f"{label}: {GROUP_TITLES[group]}", fontsize=10)
            axis.set_xlabel("n (list length)")
            axis.set_ylabel("ns per element")
            axis.xaxis.set_major_locator(LogLocator(base=10))
            axis.xaxis.set_minor_formatter(NullFormatter())
            axis.grid(True, which="major", alpha=0.35)
            axis.grid(True, which="minor", alpha=0.12)
    for axis in axes.flat:
        if axis not in used:
            axis.axis("off")
    _legend(figure, used)
    return figure


def _plot_bars(plt, rows, n):
    groups = [g for g in ("unkeyed", "keyed") if any(r["group"] == g for r in rows)]
    figure, axes = plt.subplots(len(groups), 1, figsize=(13, 4.2 * len(groups)), squeeze=False,
                                layout="constrained")
    for axis, group in zip(axes[:, 0], groups):
        mine = [r for r in rows if r["group"] == group and "ratio" in r]
        labels = list(dict.fromkeys(r["label"] for r in mine))
        order = [*NATIVE_STYLES, *BASELINE_STYLES]
        paths = sorted(dict.fromkeys(r["path"] for r in mine),
                       key=lambda p: order.index(p) if p in order else len(order))
        width = 0.8 / max(len(paths), 1)
        for index, path in enumerate(paths):
            by_label = {r["label"]: r["ratio"] for r in mine if r["path"] == path}
            xs = [i + (index - (len(paths) - 1) / 2) * width
                  for i, label in enumerate(labels) if label in by_label]
            style = _style(path)
            axis.bar(xs, [by_label[label] for label in labels if label in by_label], width,
                     label=path, color=style["color"],
                     hatch=None if path in NATIVE_STYLES else "//", edgecolor="white",
                     linewidth=0.5)
        axis.axhline(1.0, color="black", linestyle="--", linewidth=1, label="builtin (1x)")
        axis.set_xticks(range(len(labels)), labels, rotation=20, ha="right")
        axis.set_ylabel("speed-up over the builtin (x)")
        axis.set_title(GROUP_TITLES[group], fontsize=10)
        axis.grid(True, axis="y", alpha=0.35)
        axis.set_axisbelow(True)
    _legend(figure, list(axes[:, 0]))
    return figure


# ---- Command ------------------------------------------------------------------------------------

def parse_sizes(text):
    return [int(float(s)) for s in text.split(",")]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--full", action="store_true",
                        help="sweep n up to 10^7 (default: up to 10^6)")
    parser.add_argument("--sizes", help="comma-separated list lengths, instead of the sweep "
                        "(1e5 and 100000 both work)")
    parser.add_argument("--dist", help="comma-separated distribution ids: "
                        + ", ".join(d[0] for d in DISTRIBUTIONS))
    parser.add_argument("--rounds", type=int, default=5,
                        help="alternated rounds at 10^6 and above; shorter lists get more (5)")
    parser.add_argument("--memory", choices=("default", "warm", "both"), default="both",
                        help="default: every length in a fresh process with the allocator's "
                        "own settings (the headline, which the goals judge); warm: in a fresh "
                        "process whose allocator keeps freed memory (GLIBC_TUNABLES); both "
                        "(the default): the two side by side")
    parser.add_argument("--in-process", action="store_true",
                        help="measure every length in this process, with its own allocator "
                        "settings (a debugging aid: the lengths then share one heap)")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--out", default=str(ROOT / "bench-results"),
                        help="folder of bench.json and bench.png (bench-results/)")
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument("--plot", metavar="PNG",
                        help="where the plot goes instead of OUT/bench.png (the README's "
                        "picture is docs/speed.png)")
    parser.add_argument("--no-kernel", action="store_true", help="leave out the kernel-only limit")
    parser.add_argument("--quiet", action="store_true", help="no progress display")
    parser.add_argument("--no-small", action="store_true",
                        help="leave out the small-list section (n = 0, 1, 10, 100: drop-in "
                        "time / builtin time over batches of lists)")
    arguments = parser.parse_args(argv)

    sizes = (parse_sizes(arguments.sizes) if arguments.sizes
             else FULL_SIZES if arguments.full or os.environ.get("VESKSORT_BENCH_FULL")
             else QUICK_SIZES)
    wanted = arguments.dist.split(",") if arguments.dist else [d[0] for d in DISTRIBUTIONS]
    unknown = set(wanted) - {d[0] for d in DISTRIBUTIONS}
    if unknown:
        parser.error(f"unknown distributions: {', '.join(sorted(unknown))}")
    distributions = [d for d in DISTRIBUTIONS if d[0] in wanted]
    modes = ([memory_mode()] if arguments.in_process else memory_modes(arguments.memory))
    out = Path(arguments.out)
    out.mkdir(parents=True, exist_ok=True)

    with_drop_in = drop_in_available()
    if not with_drop_in:
        print("vesksort_native.sort does not take key= and reverse=: no drop-in rows",
              file=sys.stderr)
    kernel_binary = None if arguments.no_kernel else build_kernel_bench(ROOT / "build" / "bench")
    load_before = os.getloadavg()
    mode = progress_mode(arguments.quiet)
    progress = Progress(len(sizes) * len(modes) * len(distributions), mode)
    rows = []
    try:
        with tempfile.TemporaryDirectory(dir=out) as work_dir:
            for n in sizes:
                config = {"n": n, "distributions": [d[0] for d in distributions],
                          "rounds": arguments.rounds, "seed": arguments.seed,
                          "drop_in": with_drop_in, "work_dir": work_dir,
                          "kernel": str(kernel_binary) if kernel_binary else None}
                # Both memory modes of a length run one after the other, under the same load.
                for memory in modes:
                    if arguments.in_process:
                        rows += measure_size(config, lambda event: (
                            progress.show(event["round"]) if "round" in event
                            else progress.step(event["done"])))
                    else:
                        rows += run_size(config, memory, progress)
    finally:
        progress.finish()
    small = None
    if not arguments.no_small:
        calls = sum(with_drop_in or not c.needs_drop_in for c in SMALL_CALLS)
        small_progress = Progress(len(SMALL_SIZES) * calls, mode)
        try:
            small = measure_small(with_drop_in, seed=arguments.seed, progress=small_progress)
        finally:
            small_progress.finish()
    load_after = os.getloadavg()

    reference = reference_size(sizes)
    growth_entries = growth(rows)
    checks = goals(rows) + small_goals(small)
    machine_noise = noise(headline(rows) or rows)
    if reference != REFERENCE_N:
        print(f"\n10^6 is not among the lengths measured: the table is at n = {reference:,}, "
              f"and goals at lengths not measured are listed as not measured")
    print_table(rows, reference, modes)
    print_growth(growth_entries)
    print_small(small)
    print_goals(checks)
    print(f"\nNoise: the median of (median run / best run - 1) is "
          f"{machine_noise['median_spread']:.1%} (largest {machine_noise['max_spread']:.1%}); "
          f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after, on "
          f"{os.cpu_count()} CPUs")
    explained = {"default": "the allocator's own settings, GLIBC_TUNABLES unset",
                 "warm": f"freed memory kept in the process, GLIBC_TUNABLES={WARM_MEMORY_TUNABLES}"}
    print("Memory: " + "; ".join(f"{m} = {explained[m]}" for m in modes)
          + ("; all lengths in this process" if arguments.in_process
             else "; every length in a fresh process"))

    report = {
        "machine": {"python": sys.version, "platform": platform.platform(), "cpu": cpu_model(),
                    "cpus": os.cpu_count(), "load_before": load_before,
                    "load_after": load_after, "numpy": numpy.__version__ if numpy else None},
        "version": {"package": vesksort_native.__version__, **git_state()},
        "config": {"sizes": sizes, "distributions": [d[0] for d in distributions],
                   "rounds": arguments.rounds, "seed": arguments.seed,
                   "drop_in": with_drop_in, "kernel_limit": kernel_binary is not None,
                   "memory": modes, "warm_tunables": WARM_MEMORY_TUNABLES,
                   "fresh_process_per_size": not arguments.in_process,
                   "reference_n": reference},
        "noise": machine_noise, "results": rows, "growth": growth_entries, "small": small,
        "goals": checks,
    }
    (out / "bench.json").write_text(json.dumps(report, indent=1))
    print(f"figures: {shown(out / 'bench.json')}")
    picture = Path(arguments.plot) if arguments.plot else out / "bench.png"
    if not arguments.no_plot and rows and plot(rows, picture, plot_title(report)):
        print(f"plot:    {shown(picture)}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        worker_main(sys.argv[2])
    else:
        main()
