"""The drop-ins on lists in order but for a few items, or made of a few sorted runs, for every
native kind of value and key, against sorted() by object identity: stray items appended or put
first, swapped neighbours, sorted halves and blocks, descending runs with equal items (which keep
their order), ties across the runs' boundaries, with and without reverse; explain() names the
runs merged. Lists whose runs are too many or too mixed to merge go on to the other native paths
from wherever the merge stopped. Strings that are prefixes of one another, and long equal
strings, are ordered as sorted() orders them."""

import random

import pytest

from conftest import Item, assert_failing_key_as_builtin, check, distinct

MERGED = r"native: \w+ (value|key)s, (\d+ runs merged|reversed|already in order)"


def fresh(value):
    return bytes(bytearray(value)) if type(value) is bytes else distinct(value)


# kind: a drawing of one value, from few distinct ones (ties) and many.
KINDS = {
    "int64": lambda rng: rng.choice([rng.randrange(-(2**63), 2**63), rng.randrange(-3, 3)]),
    "float": lambda rng: rng.choice([rng.random(), float(rng.randrange(-3, 3)),
                                     rng.randrange(-3, 3), -0.0]),
    # floats alone are merged by their objects' values, before any record is read
    "float-only": lambda rng: rng.choice([rng.random(), 0.0, -0.0, 1.5]),
    "str": lambda rng: rng.choice(["", "a", "ab"])
    + "".join(rng.choices("ab\xe9\u4e2d\U0001f600", k=rng.randint(0, 9))),
    "bytes": lambda rng: bytes(rng.choices(b"a\x00\xff", k=rng.randint(0, 9))),
}


def shaped(kind, shape, n, seed):
    """n values of `kind` in `shape`, each a distinct object."""
    rng = random.Random(seed)
    draw = KINDS[kind]
    values = [draw(rng) for _ in range(n)]
    ordered = sorted(values)
    few = max(1, n // 100)
    if shape == "appended":
        out = ordered[few:] + values[:few]
    elif shape == "put-first":
        out = values[:few] + ordered[few:]
    elif shape == "one-appended":
        out = ordered[1:] + values[:1]
    elif shape == "smallest-last":
        out = ordered[1:] + ordered[:1]
    elif shape == "last-two-swapped":
        out = ordered[:-2] + [ordered[-1], ordered[-2]]
    elif shape == "neighbours-swapped":
        out = list(ordered)
        for i in rng.sample(range(n - 1), few):
            out[i], out[i + 1] = out[i + 1], out[i]
    elif shape == "halves":
        out = sorted(values[: n // 2]) + sorted(values[n // 2 :])
    elif shape == "blocks":  # ascending and descending, of random lengths
        out, start = [], 0
        while start < n:
            end = min(n, start + rng.randint(1, n // 4))
            out += sorted(values[start:end], reverse=rng.random() < 0.5)
            start = end
    elif shape == "descending-ties":  # each value twice, as distinct objects
        out = [value for value in sorted(values[: n // 2], reverse=True) for _ in (0, 1)]
    elif shape == "ties-then-descending":  # equal items, then a smaller one: one descending run
        out = [ordered[-1]] * 5 + sorted(values, reverse=True)
    return [fresh(value) for value in out]


SHAPES = ["appended", "put-first", "one-appended", "last-two-swapped", "neighbours-swapped",
          "halves", "blocks", "descending-ties", "ties-then-descending"]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("shape", SHAPES)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("n", [300, 5000])
def test_runs_as_sorted(kind, shape, n, keyed, reverse):
    check(shaped(kind, shape, n, n), keyed, reverse)


@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "shape, how",
    [
        ("smallest-last", "2 runs merged"),
        ("descending-ties", "reversed"),
        ("ties-then-descending", "reversed"),
    ],
)
def test_runs_path(kind, shape, how, keyed):
    domain = {"int64": "int64", "float": "float", "float-only": "float"}.get(kind, kind)
    of = "key" if keyed else "value"
    check(shaped(kind, shape, 3000, 7), keyed, False, rf"native: {domain} {of}s, {how}")


def interleaved_blocks(kind, blocks, length, seed):
    """`blocks` sorted blocks of random values, few of them equal: runs that overlap
    throughout."""
    rng = random.Random(seed)
    draw = (lambda rng: rng.random()) if kind.startswith("float") else KINDS[kind]
    return [fresh(v) for _ in range(blocks) for v in sorted(draw(rng) for _ in range(length))]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("kind", KINDS)
def test_runs_too_costly_to_merge(kind, keyed, reverse):
    """Runs that interleave throughout look worth merging but cost more than the other native
    paths: the merge stops part way (strings), or the estimate stops it first (numbers, whose
    passes cost less), and the other path finishes from there, as stably."""
    strings = kind in ("str", "bytes")
    values = interleaved_blocks(kind, 64 if strings else 256, 64 if strings else 16, 3)
    path = check(values, keyed, reverse)
    assert path.startswith("native: ") and "runs merged" not in path, path


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("kind", KINDS)
def test_long_first_run_then_runs_too_costly_to_merge(kind, keyed, reverse):
    """The head of a long first run that lies below everything after it stays in place while
    the rest is merged; where that merge stops, the other path orders the whole list, the
    head's keys with it, as stably."""
    rng = random.Random(11)
    head = sorted(KINDS[kind](rng) for _ in range(3000))
    strings = kind in ("str", "bytes")
    tail = interleaved_blocks(kind, 64 if strings else 1024, 64 if strings else 16, 4)
    path = check([fresh(v) for v in head] + tail, keyed, reverse)
    assert path.startswith("native: ") and "runs merged" not in path, path


@pytest.mark.parametrize("keyed", [False, True])
def test_dense_ints_in_many_runs(keyed):
    """Small ints in 64 runs: counting finishes what the merge began."""
    rng = random.Random(5)
    values = [v for _ in range(64) for v in sorted(rng.randrange(1000) for _ in range(64))]
    check(values, keyed, False, r"native: int64 (value|key)s, (counting sort|radix sort in 1 pass)")


def test_random_lists_are_not_taken_for_runs():
    rng = random.Random(9)
    words = ["".join(rng.choices("abcdefgh", k=rng.randint(2, 9))) for _ in range(4000)]
    check(words, False, False, r"native: str values, radix sort on prefixes in \d+ levels?")
    check([rng.randrange(2**40) for _ in range(5000)], False, False,
          r"native: int64 values, radix sort in \d passes")


def chains(unit, tail, n, seed):
    """Strings that are prefixes of one another, shuffled: unit * k + tail."""
    lengths = list(range(n))
    random.Random(seed).shuffle(lengths)
    return [unit * k + tail for k in lengths]


def mixed_chains(n, seed):
    rng = random.Random(seed)
    tails = ["", "\x00", "a", "b", "\u4e2d", "\U0010ffff", "ba", "b\x00"]
    return [fresh("a" * rng.randrange(300) + rng.choice(tails)) for _ in range(n)]


def suffixes(text, seed):
    values = [text[i:] for i in range(len(text))]
    random.Random(seed).shuffle(values)
    return values


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize(
    "values",
    [
        chains("a", "", 700, 1),
        chains("a", "b", 700, 2),
        chains("\u0416", "", 700, 3),
        chains("ab", "\U0001f600", 500, 4),
        chains(b"\x00", b"", 700, 5),
        # repeated: equal strings, as distinct objects, among the chains
        [fresh(s) for s in chains("a", "", 300, 6) * 3],
        # chains that leave the longest at every length, by code points below and above its own,
        # of every width, and tied there: ordered past the point where they leave it
        mixed_chains(2000, 7),
        # the suffixes of a periodic text
        suffixes("abЖ" * 300 + "a", 8),
    ],
    ids=["a", "a-b", "cyrillic", "emoji", "bytes", "repeated", "mixed", "suffixes"],
)
def test_prefix_chains(values, keyed, reverse):
    check(values, keyed, reverse, r"native: \w+ (value|key)s, .*")


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("shape", ["descending-ties", "halves", "appended"])
def test_ascii_strings_equal_in_their_first_bytes(shape, keyed, reverse):
    """ASCII strings that share their first 7 bytes or more (equal ones as distinct objects,
    prefixes of one another, ones going on with "\x00") in runs: told apart past those bytes."""
    rng = random.Random(9)
    heads = ["abcdefg", "abcdefgh", "abcdefg\x00", "abcdefgh\x00z", "abcdefghij", "abcdefgz"]
    values = [rng.choice(heads) + rng.choice(["", "", "a", "\x00", "zz"]) for _ in range(600)]
    if shape == "descending-ties":
        values = [v for v in sorted(values[:300], reverse=True) for _ in (0, 1)]
    elif shape == "halves":
        values = sorted(values[:300]) + sorted(values[300:])
    else:
        values = sorted(values[:590]) + values[590:]
    check([fresh(v) for v in values], keyed, reverse)


@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("width", ["x", "\u4e2d"])
def test_long_equal_strings(width, keyed):
    rng = random.Random(8)
    heads = [width * 600 + str(i) + width * 400 for i in range(20)]
    values = [fresh(rng.choice(heads)) for _ in range(3000)]
    one = width * 1000
    check(values, keyed, False)
    check(values, keyed, True)
    check([one] * 3000 + [width], keyed, False)


def ordered_head(kind, n, head, seed):
    """The first `head` of n values in order, the rest at random."""
    values = shaped(kind, "appended", n, seed)
    return sorted(values[:head]) + values[head:]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize(
    "kind, shape",
    [("str", "descending-ties"), ("str", "appended"), ("bytes", "halves"), ("str", "head"),
     ("bytes", "head")],
)
def test_string_keys_beyond_the_caches(kind, shape, reverse):
    """Keys that sample in order, but for a few, first and over all, or only in their first few
    thousand."""
    n = 40000
    values = ordered_head(kind, n, 6000, 3) if shape == "head" else shaped(kind, shape, n, 5)
    check(values, True, reverse, r"native: (str|bytes) keys, .*")


@pytest.mark.parametrize("at", [100, 4095, 4096, 20000, 39999])
@pytest.mark.parametrize("in_order", [False, True])
def test_string_keys_beyond_the_caches_change_or_raise(at, in_order):
    values = shaped("str", "appended", 40000, 6)
    if in_order:
        values.sort()
    check(values[:at] + [5] + values[at + 1 :], True, False)
    items = [Item(i, value) for i, value in enumerate(values)]
    for entry in ("sort", "sort_in_place"):
        assert_failing_key_as_builtin(entry, items, at, False)


@pytest.mark.parametrize("at", [0, 1, 2999, 4374, 4999])
@pytest.mark.parametrize("intruder", [float("nan"), 7, "x", True])
@pytest.mark.parametrize("shape", ["one-appended", "descending-ties", "halves"])
def test_float_keys_in_order_with_an_intruder(shape, intruder, at):
    """Float keys that sample in order, one of them a NaN, an int, a str or a bool, at a sampled
    place (the sample takes 0, 624, ... 4374 of 5000) or another; and the key raising there."""
    values = shaped("float-only", shape, 5000, 4)
    check(values[:at] + [intruder] + values[at + 1 :], True, False)
    items = [Item(i, value) for i, value in enumerate(values)]
    assert_failing_key_as_builtin("sort", items, at, True)


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("kind", ["int64", "float-only", "str", "bytes"])
def test_head_in_place_below_the_ends_of_descending_runs(kind, keyed, reverse):
    """A long first run followed by strictly descending runs: the smallest item after the first
    run ends one of them, and only the first run's items below it stay where they are."""
    rng = random.Random(5)
    values = sorted({KINDS[kind](rng) for _ in range(12000)})
    rest = set(rng.sample(range(len(values)), 300))
    head = [v for i, v in enumerate(values) if i not in rest]
    tails = [sorted([values[i] for i in sorted(rest)][k::3], reverse=True) for k in range(3)]
    path = check([fresh(v) for v in head + tails[1] + tails[0] + tails[2]], keyed, reverse)
    assert "runs merged" in path, path


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("shape", ["halves", "appended", "blocks", "descending-ties"])
@pytest.mark.parametrize("kind", ["float-only", "str"])
def test_runs_merged_beyond_the_caches(kind, shape, keyed, reverse):
    """Merges long enough to fetch their items ahead of each run's cursor, to both ends."""
    check(shaped(kind, shape, 20000, 13), keyed, reverse)
