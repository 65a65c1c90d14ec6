"""The drop-ins on str and bytes, and on str and bytes keys, against sorted() and list.sort(): the
same objects in the same order (code point order whatever width each str is stored in, lone
surrogates included; bytes in byte order; a prefix first; equal ones kept in their order as
distinct objects), every key computed once, in item order, nothing left behind; explain() names
the native str or bytes path where it is due, and the interpreter's sort, with its reason, for
subclasses and other types among them."""

import random
import re
from operator import itemgetter

import pytest
from hypothesis import strategies as st

from conftest import Item, assert_failing_key_as_builtin, check, distinct, drawn_mixes

RADIX = r"radix sort on prefixes in \d+ levels?"


def native(domain, of, how=RADIX):
    return rf"native: {domain} {of}s, {how}"


def fresh(value):
    """A new object equal to `value` (empty and one-unit Latin-1 strs and bytes stay shared)."""
    return bytes(bytearray(value)) if type(value) is bytes else distinct(value)


# What each kind of list is made of: code points at the edges of the one-, two- and four-byte
# storage of str and of the keys' code (two bytes below U+6F80), lone surrogates beside their
# neighbours, letters that change under lower().
ALPHABETS = {
    "ascii": "\x00\x01ab\x7f",
    "latin1": "\x00a\x7f\x80\xe9\xff",
    "ucs2": "\x00a\xff\u0100\u4e2d\u6f7f\u6f80\uffff",
    "ucs4": "\x00a\x7f\x80\xff\u0100\u6f7f\u6f80\uffff\U00010000\U0001f600\U0010ffff",
    "surrogates": "a\ud7ff\ud800\udbff\udc00\udfff\ue000\uffff\U00010000",
    "cased": "aAzZ\xc9\xe9\xdf\u0130\u4e2d",
    "bytes": b"\x00\x01a\x7f\x80\xfe\xff",
}


def domain_of(value):
    return "bytes" if type(value) is bytes else "str"


def texts(kind, n, seed):
    """n strs (bytes for 'bytes') from ALPHABETS[kind]: a tail of up to 8 units after a stem
    shared with others (up to 200 units; the shorter stems are prefixes of the longer, and one
    differs from the longest in its last unit only); about a quarter repeat an earlier one."""
    alphabet = ALPHABETS[kind]
    units, empty = [alphabet[i : i + 1] for i in range(len(alphabet))], alphabet[:0]
    rng = random.Random(seed)
    long = empty.join(rng.choice(units) for _ in range(200))
    stems = [empty, empty, long[:7], long[:8], long[:16], long[:40], long[:64], long,
             long[:-1] + rng.choice(units)]
    out = []
    for _ in range(n):
        if out and rng.random() < 0.25:
            out.append(fresh(rng.choice(out)))
        else:
            tail = empty.join(rng.choice(units) for _ in range(rng.choice((0, 1, 2, 3, 5, 8))))
            out.append(fresh(rng.choice(stems) + tail))
    return out


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("n", [255, 256, 300, 5000])
@pytest.mark.parametrize("kind", ALPHABETS)
def test_texts_as_sorted(kind, n, keyed, reverse):
    of = "key" if keyed else "value"
    domain = "bytes" if kind == "bytes" else "str"
    path = native(domain, of, ".*") if n < 256 else native(domain, of)
    check(texts(kind, n, n), keyed, reverse, path)


LONG = "ab\x00\xff" * 50
EDGES = ["\x00", "a", "\x7f", "\x80", "\xff", "\u0100", "\uffff", "\U00010000", "\U0010ffff"]

# name: the strs (or bytes) that a list of 400 is drawn from, each of them at least once.
CORNERS = {
    "nuls": ["", "\x00", "\x00\x00", "a", "ab", "ab\x00", "ab\x00\x00", "ab\x00a", "ab\x01", "b"],
    "edges": [edge + tail for edge in EDGES for tail in ("", "\x00", "a", "\U0010ffff")],
    "edges-after-8": ["abcdefgh" + edge + tail for edge in EDGES
                      for tail in ("", "\x00", "\uffff")],
    "edges-after-wide": ["\u0100", "\u0100\uffff"] + ["\u0100\U00010000" + edge for edge in EDGES],
    "surrogates": ["\ud800", "\udfff", "\ud7ff", "\ue000", "\uffff", "\U00010000", "\ud800\udc00",
                   "\udbff\udfff", "a\ud800", "a\U00010000", "a\uffff"],
    "prefix-chain": ["x" * k for k in range(70)],
    # The same 40 to 200 first code points stored one, two and four bytes wide.
    "late-difference": [LONG[:k] + end for k in (40, 63, 64, 65, 199, 200)
                        for end in ("", "\x00", "a", "\uffff", "\U00010000")],
    "bytes-nuls": [b"", b"\x00", b"\x00\x00", b"ab", b"ab\x00", b"ab\x00\x00", b"ab\x01", b"\x7f",
                   b"\x80", b"\xff", b"\xff\x00", b"\xfe\xff"],
    "bytes-late-difference": [LONG.encode("latin-1")[:k] + end for k in (40, 63, 64, 65, 200)
                              for end in (b"", b"\x00", b"\xff")],
}


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("corner", CORNERS)
def test_corner_cases(corner, keyed, reverse):
    base, rng = CORNERS[corner], random.Random(corner)
    values = [fresh(v) for v in base] + [fresh(rng.choice(base)) for _ in range(400 - len(base))]
    rng.shuffle(values)
    check(values, keyed, reverse, native(domain_of(base[0]), "key" if keyed else "value"))


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("position", [1, 300, 599])
@pytest.mark.parametrize("wide", ["\u0100", "\u4e2d", "\U0001f600", "\U0010ffff"])
def test_wider_str_late(wide, position, keyed, reverse):
    """Latin-1 strs, with one stored wider: the first items do not tell the widest kind."""
    values = texts("latin1", 600, position)
    values[position] = values[position] + wide + "\x00"
    check(values, keyed, reverse, native("str", "key" if keyed else "value"))


def in_order(domain, shape):
    values = sorted(set(texts("bytes" if domain == "bytes" else "ucs4", 3000, 11)))
    if shape == "descending":
        values.reverse()
    elif shape == "equal-runs":  # reversing the whole would swap the equal ones
        values = [fresh(value) for i, value in enumerate(values) for _ in range(1 + i % 2)]
    elif shape == "one-swap":
        values[-3], values[-2] = values[-2], values[-3]
    return values


@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("domain", ["str", "bytes"])
@pytest.mark.parametrize(
    "shape, reverse, how",
    [
        ("ascending", False, "already in order"),
        ("ascending", True, "reversed"),
        ("descending", False, "reversed"),
        ("descending", True, "already in order"),
        ("equal-runs", False, ".*"),
        ("equal-runs", True, ".*"),
        ("one-swap", False, "2 runs merged"),
    ],
)
def test_texts_in_order(shape, reverse, how, domain, keyed):
    check(in_order(domain, shape), keyed, reverse, native(domain, "key" if keyed else "value", how))


def pairs(n, seed):
    rng = random.Random(seed)
    return [(rng.randint(0, 3), word) for word in texts("ucs4", n, seed)]


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize(
    "key, values, domain",
    [
        (str.lower, texts("cased", 2000, 1), "str"),
        (lambda word: word[::-1], texts("ucs2", 2000, 2), "str"),
        (str, random.Random(3).choices(range(-(10**6), 10**6), k=2000), "str"),
        (itemgetter(1), pairs(2000, 4), "str"),
        (lambda pair: pair[1].encode(), pairs(2000, 5), "bytes"),
    ],
    ids=["lower", "backwards", "str-of-int", "itemgetter", "encode"],
)
def test_key_functions(key, values, domain, reverse):
    check(values, key, reverse, native(domain, "key"))


class Sub(str):
    pass


class Backwards(str):
    """Orders backwards: a native sort would order it by its code points."""

    def __lt__(self, other):
        return str(self) > str(other)

    def __gt__(self, other):
        return str(self) < str(other)


class SubBytes(bytes):
    pass


# name: (the kind of list, the value put in). Where it does not order with the others sorted()
# raises, and so must the drop-ins, with the same message.
INTRUDERS = {
    "str-subclass": ("ucs4", lambda: Sub("a\u0100")),
    "backwards-str": ("ucs4", lambda: Backwards("a\u0100")),
    "bytes-among-str": ("ucs4", lambda: b"a"),
    "int-among-str": ("ucs4", lambda: 5),
    "none-among-str": ("ucs4", lambda: None),
    "bytes-subclass": ("bytes", lambda: SubBytes(b"a\xff")),
    "bytearray": ("bytes", lambda: bytearray(b"a\xff")),
    "str-among-bytes": ("bytes", lambda: "a"),
    "none-among-bytes": ("bytes", lambda: None),
}


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("keyed", [False, True])
@pytest.mark.parametrize("at", [0, 500, 999], ids=["first", "middle", "last"])
@pytest.mark.parametrize("intruder", INTRUDERS)
def test_intruders(intruder, at, keyed, reverse):
    kind, make = INTRUDERS[intruder]
    values = texts(kind, 1000, at)
    values[at] = make()
    of, domain = ("key" if keyed else "value"), ("bytes" if kind == "bytes" else "str")
    # The first item tells which kind of list this is.
    reason = ".*" if at == 0 else f"a {of} that is not an exact {domain} among {domain} {of}s"
    check(values, keyed, reverse, "interpreter: " + reason)


@pytest.mark.parametrize("entry", ["sort", "sort_in_place"])
@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize("intruder_at", [None, 1000], ids=["native", "after-a-subclass"])
@pytest.mark.parametrize("fails_at", [0, 300, 2999])
@pytest.mark.parametrize("kind", ["ucs4", "bytes"])
def test_key_function_that_raises(kind, fails_at, intruder_at, reverse, entry):
    """After a subclass among the keys, the interpreter's sort computes the keys that follow."""
    keys = texts(kind, 3000, fails_at)
    if intruder_at is not None:
        keys[intruder_at] = (SubBytes if kind == "bytes" else Sub)(keys[intruder_at])
    assert_failing_key_as_builtin(entry, [Item(i, k) for i, k in enumerate(keys)], fails_at,
                                  reverse)


# Where a code point's key takes one byte more: UTF-8's bounds, and the keys' own (two bytes
# below U+6F80, three from it on).
CHARS = ["\x00", "a", "\x7f", "\x80", "\xff", "\u0100", "\u6f7f", "\u6f80", "\uffff", "\ud800",
         "\U00010000", "\U00016f80", "\U0010ffff"]
MAKERS = {
    "str-subclass": Sub,
    "bytes": lambda value: value.encode("utf-8", "surrogatepass"),
    "int": len,
}


@drawn_mixes(st.text(st.sampled_from(CHARS), max_size=20), st.sampled_from([None, *MAKERS]),
             largest=600, examples=30)
def test_random_strs_as_sorted(pool, intruder, n, seed, keyed, reverse):
    """strs from a small pool (many equal ones, as distinct objects), others that extend one of
    the pool's, others random; perhaps one turned into a value of another type."""
    rng = random.Random(seed)

    def tail():
        return "".join(rng.choice(CHARS) for _ in range(rng.randint(0, 20)))

    values = [
        distinct(rng.choice(pool) + tail()) if roll < 0.3
        else distinct(rng.choice(pool)) if roll < 0.7
        else tail()
        for roll in (rng.random() for _ in range(n))
    ]
    if intruder is not None:
        at = rng.randrange(n)
        values[at] = MAKERS[intruder](values[at])
    path = check(values, keyed, reverse)
    if intruder is None and n >= (16 if keyed else 32):
        assert re.fullmatch(native("str", "key" if keyed else "value", ".*"), path), path
    elif path is not None and intruder is not None:
        assert path.startswith("interpreter: "), path


def shared_head(n, seed, head, late):
    """n strs that share `head` (what the first ones share is skipped by every key), with `late`
    (a str without that head, or a wider one) at a later position."""
    rng = random.Random(seed)
    values = [head + "".join(rng.choices("ab\x00", k=rng.randint(0, 9))) for _ in range(n)]
    values[n // 2] = late
    return values


@pytest.mark.parametrize("reverse", [False, True])
@pytest.mark.parametrize(
    "late",
    ["", "https://", "https://www.example.org", "ftp://x", "https://www.example.org/\u4e2d",
     "https://www.\U0001f600", "https://www.example.org/p/" + "a" * 30],
    ids=["empty", "shorter", "head-only", "other", "wide-after", "wide-inside", "long"],
)
def test_strings_that_break_the_shared_head(late, reverse):
    head = "https://www.example.org/p/"
    check(shared_head(3000, 7, head, late), reverse=reverse, path=native("str", "value"))
    check(shared_head(3000, 8, head, late), keyed=True, reverse=reverse,
          path=native("str", "key"))


def long_list(shape, n, seed):
    """Lists long enough that their keys are first split by two bytes at once."""
    rng = random.Random(seed)
    if shape == "words":
        return [distinct("".join(rng.choices("abcdefghij", k=rng.randint(0, 9)))) for _ in range(n)]
    if shape == "bytes-full-range":
        return [bytes(rng.choices(b"\x00\x01\x7f\x80\xfe\xff", k=rng.randint(0, 4)))
                for _ in range(n)]
    if shape == "wide":
        return ["".join(rng.choices("a\xe9\u0416\u4e2d\U0001f600", k=rng.randint(0, 4)))
                for _ in range(n)]
    if shape == "low-byte-only":
        # Keys equal but for what remains of each string: no two bytes to split by.
        return [distinct("abcdefg" + "h" * rng.randint(0, 1)) for _ in range(n)]
    return [distinct("abcdef" + "".join(rng.choices("xy", k=rng.randint(0, 3)))) for _ in range(n)]


@pytest.mark.parametrize("shape", ["words", "bytes-full-range", "wide", "low-byte-only",
                                   "sixth-byte"])
@pytest.mark.parametrize("keyed", [False, True])
def test_long_lists_split_by_two_bytes(shape, keyed):
    values = long_list(shape, 2**15 + 3, 5)
    domain = "bytes" if shape.startswith("bytes") else "str"
    check(values, keyed, reverse=keyed, path=native(domain, "key" if keyed else "value", ".*"))
