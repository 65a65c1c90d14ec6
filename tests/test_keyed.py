"""The keyed int64 sort: argument checks, the three key modes, the cache-list protocol, the
adaptive checkpoint and the ordering paths."""

import random
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vesksort_native import _vesksort as m

from conftest import assert_same_objects, distinct, random_ints, refcounts

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
P = "protótipo keyed-int64: "


class Recorder:
    """A key function that logs the items it is called with."""

    def __init__(self, key):
        self.key = key
        self.calls = []

    def __call__(self, item):
        self.calls.append(item)
        return self.key(item)


def direct(items, key, reverse=False):
    return m._sort_by_int64_key_prototype_with_strategy(items, key, reverse)


def cached(items, keys, reverse=False):
    return m._try_sort_by_cached_int64_keys_prototype(items, keys, reverse)


def prefix(items, keys, key, reverse=False):
    return m._try_sort_by_prefix_cached_int64_keys_prototype(items, keys, key, reverse)


def items_with_keys(keys):
    """Distinct objects carrying the given keys: (key, index) pairs."""
    return [(k, i) for i, k in enumerate(keys)]


def first(pair):
    return pair[0]


# ---- arguments -------------------------------------------------------------------------------

KEYED_NAMES = [
    "_sort_by_int64_key_prototype",
    "_sort_by_int64_key_prototype_with_strategy",
    "_sort_by_int64_key_prototype_with_info",
    "_try_sort_by_cached_int64_keys_prototype",
    "_try_sort_by_cached_int64_keys_prototype_with_info",
    "_try_sort_by_prefix_cached_int64_keys_prototype",
    "_try_sort_by_prefix_cached_int64_keys_prototype_with_info",
]


@pytest.mark.parametrize(
    "name, parser_name",
    [(name, "_sort_by_int64_key_prototype" if "try" not in name else name) for name in KEYED_NAMES],
)
def test_argument_count_errors_name_the_parser(name, parser_name):
    with pytest.raises(TypeError, match=f"^{parser_name}\\(\\)"):
        getattr(m, name)(1)
    with pytest.raises(TypeError):
        getattr(m, name)([], [], len, True, 5)
    with pytest.raises(TypeError):
        getattr(m, name)([], [], reverse=True)


def test_documentation_strings():
    assert m._sort_by_int64_key_prototype.__doc__ == (
        "Protótipo interno: ordena objetos por uma chave int64 estável."
    )
    assert m._try_sort_by_prefix_cached_int64_keys_prototype.__text_signature__ == (
        "(items, keys, key, reverse=False, /)"
    )
    assert m._try_sort_by_cached_int64_keys_prototype_with_info.__doc__ == (
        "Protótipo interno cacheado com diagnóstico estruturado."
    )


@pytest.mark.parametrize(
    "call",
    [
        lambda: m._sort_by_int64_key_prototype([3, 1], None),
        lambda: m._sort_by_int64_key_prototype([], 5),
        lambda: m._try_sort_by_prefix_cached_int64_keys_prototype([1], [], None),
        # The key is checked before the lists.
        lambda: m._try_sort_by_prefix_cached_int64_keys_prototype((1,), (), 5),
    ],
)
def test_key_must_be_callable(call):
    with pytest.raises(TypeError, match="^key deve ser chamável$"):
        call()


def test_non_callable_key_does_not_consume_the_iterator():
    iterator = iter([3, 1, 2])
    with pytest.raises(TypeError):
        m._sort_by_int64_key_prototype(iterator, None)
    assert list(iterator) == [3, 1, 2]


class ListSubclass(list):
    pass


@pytest.mark.parametrize(
    "items, keys",
    [((1,), [1]), ([1], (1,)), (ListSubclass([1]), [1]), ([1], ListSubclass([1])), ("same", "same")],
)
@pytest.mark.parametrize("mode", ["complete", "prefix"])
def test_cache_modes_need_two_distinct_exact_lists(items, keys, mode):
    if items == "same":
        items = keys = []
    with pytest.raises(TypeError, match="^o caminho cacheado requer duas lists exatas e distintas$"):
        if mode == "complete":
            cached(items, keys)
        else:
            prefix(items, keys, len)


def test_lengths():
    with pytest.raises(ValueError, match="^items e cached_keys devem ter o mesmo tamanho$"):
        cached([1, 2, 3], [1, 2, 3, 4])
    with pytest.raises(ValueError, match="^items e cached_keys devem ter o mesmo tamanho$"):
        cached([1, 2, 3], [1])
    with pytest.raises(ValueError, match="^cached_keys não pode ser maior que items$"):
        prefix([1, 2, 3], [1, 2, 3, 4], len)


def test_direct_mode_iterable_errors_propagate():
    with pytest.raises(TypeError, match="not iterable"):
        m._sort_by_int64_key_prototype(5, len)


# ---- key validation --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "key, type_name",
    [(lambda x: "a", "str"), (lambda x: True, "bool"), (lambda x: 1.0, "float"), (lambda x: None, "NoneType")],
)
def test_direct_mode_rejects_non_int_keys(key, type_name):
    with pytest.raises(TypeError) as raised:
        m._sort_by_int64_key_prototype([5, 6, 7], lambda x: 1 if x != 6 else key(x))
    assert str(raised.value) == f"key deve retornar int exato em int64; item 1 retornou {type_name}"


def test_single_item_key_is_still_checked():
    with pytest.raises(TypeError, match="^key deve retornar int exato em int64; item 0 retornou str$"):
        m._sort_by_int64_key_prototype(["a"], str)


def test_long_type_names_are_cut_at_200_bytes():
    Long = type("L" * 300, (), {})
    with pytest.raises(TypeError) as raised:
        m._sort_by_int64_key_prototype([1], lambda x: Long())
    assert str(raised.value).endswith("retornou " + "L" * 200)


@pytest.mark.parametrize("bad", [2**63, -(2**63) - 1, 2**200])
def test_direct_mode_range_error(bad):
    keys = [0, 1, 2, bad, 4]
    with pytest.raises(OverflowError, match="^key result for item 3 is outside the signed int64 range$"):
        m._sort_by_int64_key_prototype(list(range(5)), keys.__getitem__)


def test_extreme_keys_are_accepted():
    keys = [INT64_MAX, -1, INT64_MIN, 0, 2**62, -(2**62)]
    items = items_with_keys(keys)
    result, _ = direct(items, first)
    assert result == sorted(items, key=first)


def test_int_subclass_key_is_refused():
    class Whole(int):
        pass

    with pytest.raises(TypeError, match="retornou Whole$"):
        m._sort_by_int64_key_prototype([1, 2], lambda x: Whole(x))
    items, keys = [1, 2], [1, Whole(2)]
    assert cached(items, keys) is None
    assert keys[1] == 2 and items == [1, 2]


def test_key_exception_propagates_in_direct_mode():
    def key(x):
        if x == 4:
            raise KeyError("at four")
        return x

    with pytest.raises(KeyError, match="at four"):
        m._sort_by_int64_key_prototype(range(10), key)


# ---- the cache-list protocol -----------------------------------------------------------------


@pytest.mark.parametrize("bad", [1.5, "x", True, 2**63, None])
@pytest.mark.parametrize("index", [0, 2, 4])
def test_complete_cache_gives_up_untouched(bad, index):
    items = [distinct(1000 + i) for i in range(5)]
    keys = [distinct(5000 - i) for i in range(5)]
    keys[index] = bad
    items_before, keys_before = list(items), list(keys)
    assert cached(items, keys) is None
    assert_same_objects(items, items_before)
    assert_same_objects(keys, keys_before)


def test_complete_cache_success_empties_the_cache_and_sorts_in_place():
    items = items_with_keys([5, 3, 9, 3, 1])
    keys = [first(x) for x in items]
    expected = sorted(items, key=first)
    result = cached(items, keys)
    assert result is items
    assert_same_objects(items, expected)
    assert keys == []


def test_prefix_calls_the_key_only_past_the_cache():
    items = items_with_keys([50, 40, 30, 20, 10])
    recorder = Recorder(first)
    keys = [50, 40]
    expected = sorted(items, key=first)
    assert prefix(items, keys, recorder) is items
    assert recorder.calls == items_with_keys([50, 40, 30, 20, 10])[2:]
    assert_same_objects(items, expected)
    assert keys == []


def test_prefix_gives_up_with_every_computed_key():
    items = [distinct(1000 + i) for i in range(8)]
    computed = [distinct(10**6 + i) for i in range(8)]
    computed[3] = "x"
    recorder = Recorder(lambda item: computed[items.index(item)])
    keys = []
    items_before = list(items)
    assert prefix(items, keys, recorder) is None
    assert_same_objects(keys, computed[:4])
    assert_same_objects(items, items_before)
    assert recorder.calls == items_before[:4]


def test_prefix_gives_up_after_a_cached_prefix():
    items = [distinct(1000 + i) for i in range(6)]
    entry = [distinct(7000), distinct(7001)]
    keys = list(entry)
    computed = {items[2]: distinct(8000), items[3]: 2**64}
    assert prefix(items, keys, lambda item: computed[item]) is None
    assert_same_objects(keys, entry + [computed[items[2]], keys[3]])
    assert keys[3] == 2**64


def test_prefix_with_bad_cached_key_never_calls_the_key():
    recorder = Recorder(first)
    keys = [1, 2.5]
    assert prefix(items_with_keys([1, 2, 3]), keys, recorder) is None
    assert recorder.calls == [] and keys == [1, 2.5]


@pytest.mark.parametrize("entry", [[], [1, 2]])
def test_key_exception_drops_the_keys_of_this_call(entry):
    items = list(range(100, 110))

    def key(item):
        if item == 105:
            raise ZeroDivisionError("five")
        return distinct(item * 1000)

    keys = list(entry)
    objects = list(entry)
    with pytest.raises(ZeroDivisionError):
        prefix(items, keys, key)
    assert_same_objects(keys, objects)
    assert items == list(range(100, 110))


@pytest.mark.parametrize("mode", ["complete", "prefix"])
def test_single_valid_key_is_consumed(mode):
    items, keys = ["a"], [7]
    result = cached(items, keys) if mode == "complete" else prefix(items, keys, len)
    assert result is items and keys == []


def test_direct_functions_never_give_up():
    rng = random.Random(1)
    values = [rng.randrange(-(10**9), 10**9) for _ in range(2048)]
    values.sort(reverse=True)
    result = m._sort_by_int64_key_prototype(values, lambda v: v * 10**6)
    assert result == sorted(values)


# ---- the adaptive checkpoint -----------------------------------------------------------------


def descending(n, step, start=0):
    return [start - i * step for i in range(n)]


@pytest.mark.parametrize("n, outcome", [(2048, False), (2047, "sorted")])
def test_checkpoint_fires_exactly_at_2048(n, outcome):
    values = descending(n, 10**6)
    items, keys = list(values), []
    recorder = Recorder(lambda v: v)
    result = prefix(items, keys, recorder)
    if outcome is False:
        assert result is False
        assert len(keys) == 2048 and keys == values and items == values
        assert len(recorder.calls) == 2048
    else:
        assert result is items and items == sorted(values) and keys == []


def test_checkpoint_hands_back_the_key_objects():
    items = list(range(4000))
    key_objects = [distinct(-i * 10**6) for i in range(4000)]
    keys = []
    assert prefix(items, keys, lambda i: key_objects[i]) is False
    assert_same_objects(keys, key_objects[:2048])


@pytest.mark.parametrize(
    "start, outcome",
    [(2**29, "native"), (10**6, False)],
    ids=["three-digits", "crossing-zero"],
)
def test_checkpoint_digit_rule_above_32768(start, outcome):
    n = 40000
    rng = random.Random(2)
    head = descending(2048, 1000, start)
    values = head + [rng.randrange(2**29) for _ in range(n - 2048)]
    items, keys = list(values), []
    result = prefix(items, keys, lambda v: v)
    if outcome is False:
        assert result is False and keys == head
    else:
        assert result is items and items == sorted(values) and keys == []


@pytest.mark.parametrize(
    "pattern, gives_up",
    [
        ("constant", False),  # D = 0, S = 0
        ("ascending", False),  # D = 0, S > 64
        ("up-64", True),  # D = 0, S = 64
        ("down-64", True),  # D = 64, S > 64
        ("descending", True),  # D > 64, S = 0
        ("descending-10-rises", True),  # D > 64, S = 10
        ("zigzag", False),  # D > 64, S > 64
    ],
)
def test_checkpoint_direction_table(pattern, gives_up):
    n, step = 5000, 10**9
    if pattern == "constant":
        head = [0] * 2048
    elif pattern == "ascending":
        head = [i * step for i in range(2048)]
    elif pattern == "up-64":
        head = [0] * 2048
        for j in range(64):
            head[30 * j + 5] = step * (j + 1)
        head = sorted(head)  # 64 distinct rises, no descent
    elif pattern == "down-64":
        head = [i * step for i in range(2048)]
        for j in range(64):
            head[30 * j + 10] = -step
    elif pattern == "descending":
        head = [-i * step for i in range(2048)]
    elif pattern == "descending-10-rises":
        head = [-i * step for i in range(2048)]
        for j in range(10):
            head[100 * j + 50] = step
    else:
        head = [(i % 2) * step for i in range(2048)]
    values = head + list(range(n - 2048))
    items, keys = list(values), []
    result = prefix(items, keys, lambda v: v)
    if gives_up:
        assert result is False and keys == head and items == values
    else:
        assert result is items and items == sorted(values)


def test_span_must_exceed_4n():
    # Strictly decreasing by 2 over 2048 keys: span 4094 <= 4 * 2048.
    values = descending(2048, 2)
    items, keys = list(values), []
    assert prefix(items, keys, lambda v: v) is items
    assert items == sorted(values)


def test_checkpoint_is_not_armed_with_a_cached_prefix():
    values = descending(2048, 10**6)
    items, keys = list(values), [values[0]]
    assert prefix(items, keys, lambda v: v) is items
    assert items == sorted(values)


@pytest.mark.parametrize("mode", ["direct", "complete"])
def test_checkpoint_only_in_prefix_mode(mode):
    values = descending(2048, 10**6)
    if mode == "direct":
        assert m._sort_by_int64_key_prototype(values, lambda v: v) == sorted(values)
    else:
        items = list(values)
        assert cached(items, list(values)) is items and items == sorted(values)


# ---- ordering --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "keys, reverse, strategy",
    [
        ([], False, P + "trivial"),
        ([4], False, P + "trivial"),
        ([4, 4, 4], False, P + "já ordenado"),
        ([1, 2, 2, 9], False, P + "já ordenado"),
        ([9, 2, 2, 1], True, P + "já ordenado"),
        ([9, 2, 2, 1], False, P + "radix nativo compacto, 1 passagem"),
        ([1, 2, 1], True, P + "radix nativo compacto, 1 passagem"),
    ],
)
def test_small_paths(keys, reverse, strategy):
    items = items_with_keys(keys)
    result, reported = direct(items, first, reverse)
    assert reported == strategy
    assert_same_objects(result, sorted(items, key=first, reverse=reverse))


def test_reverse_keeps_equal_keys_in_input_order():
    a, b, c = object(), object(), object()
    keys = {a: 1, b: 2, c: 1}
    result, _ = direct([a, b, c], keys.__getitem__, True)
    assert result == [b, a, c]


def test_already_in_order_moves_nothing_in_place():
    items = items_with_keys([9, 7, 7, 1])
    before = list(items)
    keys = [first(x) for x in items]
    assert m._try_sort_by_cached_int64_keys_prototype(items, keys, True) is items
    assert_same_objects(items, before)


def shuffled(values, seed):
    values = list(values)
    random.Random(seed).shuffle(values)
    return values


@pytest.mark.parametrize(
    "keys, strategy",
    [
        (shuffled(range(8191), 1), P + "radix nativo compacto, 2 passagens"),
        (shuffled(list(range(8191)) + [32768], 2), P + "counting nativo estável"),
        (shuffled(list(range(8191)) + [32769], 3), P + "radix nativo compacto, 2 passagens"),
        (random_ints(5000, 0, 2047, seed=5), P + "radix nativo compacto, 1 passagem"),
        (shuffled([-1, 0] * 3000, 6), P + "radix nativo compacto, 1 passagem"),
        pytest.param(
            shuffled(list(range(0, 3999999 * 2, 2))[:1000000] + [3999999], 7),
            P + "counting nativo estável",
            marks=pytest.mark.pesado,
        ),
    ],
    ids=["8191", "8192-span-4n", "8192-span-4n+1", "one-digit", "minus-one-zero", "1e6-span-3999999"],
)
def test_kernel_choice(keys, strategy):
    items = items_with_keys(keys)
    result, reported = direct(items, first)
    assert reported == strategy
    assert_same_objects(result, sorted(items, key=first))


def test_pass_counts_one_to_six():
    rng = random.Random(8)
    for passes in range(1, 7):
        keys = [rng.randrange(2 ** (11 * passes - 1)) for _ in range(3000)]
        if passes == 6:
            keys = [rng.randint(INT64_MIN, INT64_MAX) for _ in range(3000)]
        items = items_with_keys(keys)
        _, reported = direct(items, first)
        suffix = "1 passagem" if passes == 1 else f"{passes} passagens"
        assert reported == P + "radix nativo compacto, " + suffix


KEY_DISTRIBUTIONS = {
    "wide": lambda rng: rng.randint(INT64_MIN, INT64_MAX),
    "40-bit": lambda rng: rng.randrange(2**40),
    "dense": lambda rng: rng.randrange(3000),
    "tiny": lambda rng: rng.randrange(4),
    "sign-crossing": lambda rng: rng.randint(-500, 500),
}


@settings(max_examples=60, deadline=None)
@given(
    distribution=st.sampled_from(sorted(KEY_DISTRIBUTIONS)),
    n=st.one_of(st.integers(0, 30), st.integers(8000, 12000)),
    seed=st.integers(0, 2**32),
    reverse=st.booleans(),
    mode=st.sampled_from(["direct", "complete", "prefix", "prefix-half"]),
)
def test_same_objects_as_sorted_with_key(distribution, n, seed, reverse, mode):
    rng = random.Random(seed)
    draw = KEY_DISTRIBUTIONS[distribution]
    items = [(draw(rng), i) for i in range(n)]
    expected = sorted(items, key=first, reverse=reverse)
    if mode == "direct":
        result = m._sort_by_int64_key_prototype(items, first, reverse)
    elif mode == "complete":
        keys = [first(x) for x in items]
        assert cached(items, keys, reverse) is items
        result = items
    else:
        keys = [first(x) for x in items[: n // 2]] if mode == "prefix-half" else []
        outcome = prefix(items, keys, first, reverse)
        if outcome is False:
            # The checkpoint kept its 2048 keys for a fallback sort.
            assert len(keys) == 2048
            return
        assert outcome is items
        result = items
    assert_same_objects(result, expected)


# ---- what the caller's code may do -----------------------------------------------------------


@pytest.mark.parametrize("change", ["append", "pop", "clear"])
@pytest.mark.parametrize("entry", [[], [0]])
def test_items_resized_by_the_key_function(change, entry):
    items = [distinct(10**6 + i) for i in range(6)]
    snapshot = list(items)
    calls = []

    def key(item):
        calls.append(item)
        if len(calls) == 2:
            getattr(items, change)(*([item] if change == "append" else []))
        return 5

    keys = list(entry)
    with pytest.raises(ValueError, match="^items mudou de tamanho durante o cálculo das chaves$"):
        prefix(items, keys, key)
    assert keys == entry
    assert len(calls) == 2  # the check follows the call that changed the list


def test_key_exception_wins_over_the_resize():
    items = list(range(5))

    def key(item):
        items.append(99)
        raise LookupError("first")

    with pytest.raises(LookupError):
        prefix(items, [], key)


def test_key_function_may_drop_the_item():
    items = [object() for _ in range(5)]
    held = list(items)

    def key(item):
        index = next(i for i, x in enumerate(items) if x is item)
        items[index] = None  # the list lets go of the item while we hold it
        items[index] = item
        return id(item) % 1000

    keys = []
    assert prefix(items, keys, key) is items
    assert sorted(items, key=id) == sorted(held, key=id)


def test_reentrant_key_function():
    def key(item):
        return len(m._sort_by_int64_key_prototype(list(range(item)), lambda x: -x))

    rng = random.Random(9)
    values = [rng.randrange(50) for _ in range(300)]
    assert m._sort_by_int64_key_prototype(values, key) == sorted(values)


# ---- references ------------------------------------------------------------------------------


def key_objects(n, seed):
    rng = random.Random(seed)
    return [distinct(rng.randrange(10**12, 10**13)) for _ in range(n)]


@pytest.mark.parametrize("n", [0, 1, 5000, 9000])
@pytest.mark.parametrize("mode", ["direct", "complete", "prefix"])
def test_reference_counts_on_success(n, mode):
    items = [object() for _ in range(n)]
    objects = key_objects(n, n)
    lookup = dict(zip(map(id, items), objects))
    key = lambda item: lookup[id(item)]  # noqa: E731
    snapshot = list(items)
    items_before, keys_before = refcounts(snapshot), refcounts(objects)
    if mode == "direct":
        result = m._sort_by_int64_key_prototype_with_info(items, key)
        del result
    elif mode == "complete":
        cached(items, list(objects))
    else:
        prefix(items, list(objects[: n // 2]), key)
    assert refcounts(snapshot) == items_before
    assert refcounts(objects) == keys_before


@pytest.mark.parametrize("outcome", ["None", "False", "raise", "resize", "TypeError"])
def test_reference_counts_when_giving_up(outcome):
    n = 3000
    items = [object() for _ in range(n)]
    objects = key_objects(n, 1)
    if outcome == "False":
        objects = [distinct(-i * 10**6) for i in range(n)]
    lookup = dict(zip(map(id, items), objects))

    def key(item):
        value = lookup[id(item)]
        if outcome == "None" and value is objects[100]:
            return "no"
        if outcome == "raise" and value is objects[100]:
            raise RuntimeError
        if outcome == "resize" and value is objects[100]:
            items.append(None)
        return value

    snapshot = list(items)
    items_before, keys_before = refcounts(snapshot), refcounts(objects)
    if outcome == "TypeError":
        with pytest.raises(TypeError):
            m._sort_by_int64_key_prototype(items, lambda item: "no" if item is items[7] else key(item))
    else:
        keys = []
        try:
            prefix(items, keys, key)
        except (RuntimeError, ValueError):
            pass
        del keys
    if outcome == "resize":
        items.pop()
    assert refcounts(snapshot) == items_before
    assert refcounts(objects) == keys_before
    assert sys.getrefcount(items) == 2


@pytest.mark.parametrize("n", [1, 7, 9000])
@pytest.mark.parametrize("reverse", [False, True])
def test_direct_mode_calls_the_key_once_per_item_in_order(n, reverse):
    items = [object() for _ in range(n)]
    rng = random.Random(n)
    lookup = {id(item): rng.randrange(10**6) for item in items}
    recorder = Recorder(lambda item: lookup[id(item)])
    result = m._sort_by_int64_key_prototype(iter(items), recorder, reverse)
    assert_same_objects(recorder.calls, items)
    assert_same_objects(result, sorted(items, key=lambda item: lookup[id(item)], reverse=reverse))
