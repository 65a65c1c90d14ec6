"""The one-shot replay callable handed to the interpreter's list sort."""

import gc
import sys

import pytest

from vesksort_native import _vesksort as m

from conftest import distinct

SPENT = "^o replay de chaves é de uso único$"
MISSING = "^o replay não possui uma chave cacheada para este item$"
SHAPE = "^o replay de chaves recebe exatamente um argumento posicional$"


def full(items, keys):
    return m._make_cached_key_replay_prototype(items, keys)


def partial(items, keys, key):
    return m._make_prefix_cached_key_replay_prototype(items, keys, key)


def test_type_surface():
    replay = full([1], [2])
    kind = type(replay)
    assert kind.__name__ == "_CachedKeyReplay" and kind.__module__ == "vesksort_native"
    assert kind.__doc__ == "Callable interno de uso único para replay de chaves."
    assert not hasattr(m, "_CachedKeyReplay")
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})
    assert m._make_cached_key_replay_prototype.__text_signature__ == "(items, cached_keys, /)"


@pytest.mark.parametrize(
    "make",
    [
        lambda shared: full(shared, shared),
        lambda shared: partial(shared, shared, len),
        lambda shared: full((1,), [1]),
        lambda shared: full([1], (1,)),
        lambda shared: partial(type("L", (list,), {})([1]), [], len),
        lambda shared: partial((1,), [], None),  # the list error comes first
    ],
)
def test_factories_need_two_distinct_exact_lists(make):
    with pytest.raises(TypeError, match="^o replay requer duas lists exatas e distintas$"):
        make([])


def test_factory_shape_errors():
    with pytest.raises(ValueError, match="^items e cached_keys devem ter o mesmo tamanho$"):
        full([1, 2], [1])
    message = "^o replay de prefixo requer key chamável e prefixo válido$"
    with pytest.raises(TypeError, match=message):
        partial([1, 2], [], None)
    with pytest.raises(TypeError, match=message):
        partial([1, 2], [1, 2, 3], len)
    with pytest.raises(TypeError, match="_make_prefix_cached_key_replay_prototype"):
        m._make_prefix_cached_key_replay_prototype([1], [])


def test_spent_from_birth():
    replay = full([], [])
    assert sorted([], key=replay) == []
    with pytest.raises(RuntimeError, match=SPENT):
        replay(1)


def test_prefix_replay_answers_in_turn():
    x0, x1, x2 = object(), object(), object()
    k0 = distinct(10**9)
    calls = []

    def f(item):
        calls.append(item)
        return distinct(7000)

    replay = partial([x0, x1, x2], [k0], f)
    assert replay(object()) is k0  # the argument is not looked at for a cached slot
    replay(x1)
    replay(x2)
    assert calls == [x1, x2]
    with pytest.raises(RuntimeError, match=SPENT):
        replay(x0)


def test_equal_length_prefix_never_calls_the_key():
    replay = partial([1, 2], ["a", "b"], lambda x: pytest.fail("called"))
    assert [replay(1), replay(2)] == ["a", "b"]


@pytest.mark.parametrize(
    "call", [lambda r: r(), lambda r: r(1, 2), lambda r: r(1, k=1), lambda r: r(k=1)]
)
def test_call_shape_errors_consume_nothing(call):
    key = distinct(123456)
    replay = full(["x"], [key])
    with pytest.raises(TypeError, match=SHAPE):
        call(replay)
    assert replay("x") is key


def test_shrinking_cache():
    keys = [1, 2, 3]
    replay = full(["a", "b", "c"], keys)
    assert replay(0) == 1
    keys.clear()
    for _ in range(2):
        with pytest.raises(RuntimeError, match=MISSING):
            replay(0)
    with pytest.raises(RuntimeError, match=SPENT):
        replay(0)

    keys = [1, 2, 3]
    replay = partial(["a", "b", "c"], keys, str.upper)
    keys.clear()
    assert [replay("a"), replay("b"), replay("c")] == ["A", "B", "C"]


def test_growing_cache():
    keys = []
    calls = []
    replay = partial(["a", "b"], keys, lambda x: calls.append(x) or x)
    keys.extend(["K", "L", "M"])
    assert [replay("a"), replay("b")] == ["K", "L"]
    assert calls == []
    with pytest.raises(RuntimeError, match=SPENT):
        replay("c")


def test_key_failure_spends_its_slot():
    def f(x):
        if x == "a":
            raise KeyError(x)
        return x

    replay = partial(["a", "b"], [], f)
    with pytest.raises(KeyError):
        replay("a")
    assert replay("b") == "b"


def test_sorting_with_a_replay_and_again():
    items = [3, 1, 2]
    replay = full(items, [30, 10, 20])
    assert sorted(items, key=replay) == [1, 2, 3]
    assert sorted([], key=replay) == []
    with pytest.raises(RuntimeError, match=SPENT):
        sorted([5], key=replay)
    with pytest.raises(RuntimeError, match=SPENT):
        sorted([1, 2, 3, 4], key=full([1, 2, 3], [1, 2, 3]))


def test_fallback_after_the_keyed_core_gives_up():
    items = [distinct(1000 + i) for i in range(6)]
    calls = []

    def key(item):
        calls.append(item)
        return 0.5 if item == 1003 else -item  # a float makes the core give up

    keys = []
    expected = sorted(items, key=lambda item: 0.5 if item == 1003 else -item)
    assert m._try_sort_by_prefix_cached_int64_keys_prototype(items, keys, key) is None
    assert len(keys) == 4  # items 0 to 3, the float included
    items.sort(key=partial(items, keys, key))
    assert items == expected
    assert sorted(map(id, calls)) == sorted(map(id, items))  # each key computed once


def test_reference_counts():
    key_function = lambda x: x  # noqa: E731
    keys = [distinct(10**7)]
    before = sys.getrefcount(key_function), sys.getrefcount(keys), sys.getrefcount(keys[0])
    replay = partial([1, 2], keys, key_function)
    assert replay(1) is keys[0]
    assert replay(2) == 2
    del replay
    assert (sys.getrefcount(key_function), sys.getrefcount(keys), sys.getrefcount(keys[0])) == before


def test_cycle_is_collected():
    keys = [None]
    replay = full([1], keys)
    keys[0] = replay
    del keys, replay
    gc.collect()
    assert not [o for o in gc.get_objects() if type(o).__name__ == "_CachedKeyReplay"]
