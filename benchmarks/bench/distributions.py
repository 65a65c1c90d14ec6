"""The lists that the benchmark sorts: every distribution of values, by id.

DISTRIBUTIONS holds (id, label, generator of (rng, n), whether the values are all exact int64);
a generator makes the same list for the same rng, whichever process calls it.
"""

import datetime
import decimal
import random

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1

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

LABELS = {d[0]: d[1] for d in DISTRIBUTIONS}


def data_rng(seed, ident, n):
    """The same values for a distribution and length in every process and memory mode."""
    return random.Random(f"{seed}:{ident}:{n}")
