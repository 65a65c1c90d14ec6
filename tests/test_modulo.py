"""The module surface: names, documentation, calling forms and result shapes."""

import inspect

import pytest

import vesksort_native
from vesksort_native import _vesksort

UNKEYED_DOCS = {
    "sort": (
        "sort(iterable, /)",
        "Retorna uma nova lista ordenada usando o VeskSort híbrido nativo.",
    ),
    "sort_with_strategy": (
        "sort_with_strategy(iterable, /)",
        "Retorna (lista_ordenada, estrategia_utilizada).",
    ),
    "sort_in_place": (
        "sort_in_place(lista, /)",
        "Ordena uma lista no lugar e retorna None, como list.sort().",
    ),
    "sort_in_place_with_strategy": (
        "sort_in_place_with_strategy(lista, /)",
        "Ordena no lugar e retorna o nome da estratégia utilizada.",
    ),
}


def test_module_identity():
    assert _vesksort.__name__ == "vesksort_native._vesksort"
    assert _vesksort.__doc__ == "Núcleo nativo do VeskSort."


@pytest.mark.parametrize("name", UNKEYED_DOCS)
def test_documentation_and_signature(name):
    function = getattr(_vesksort, name)
    signature, sentence = UNKEYED_DOCS[name]
    assert function.__doc__ == sentence
    assert function.__text_signature__ == signature[len(name) :]
    parameters = list(inspect.signature(function).parameters.values())
    assert len(parameters) == 1
    assert parameters[0].kind is inspect.Parameter.POSITIONAL_ONLY


@pytest.mark.parametrize("name", ["sort_with_strategy", "sort_in_place_with_strategy"])
def test_package_reexports_the_strategy_functions(name):
    assert getattr(vesksort_native, name) is getattr(_vesksort, name)


@pytest.mark.parametrize("name", UNKEYED_DOCS)
@pytest.mark.parametrize(
    "call",
    [lambda f: f(), lambda f: f([1], [2]), lambda f: f(iterable=[1]), lambda f: f(lista=[1])],
    ids=["no-argument", "two-arguments", "keyword-iterable", "keyword-lista"],
)
def test_exactly_one_positional_argument(name, call):
    with pytest.raises(TypeError):
        call(getattr(_vesksort, name))


@pytest.mark.parametrize(
    "values, strategy",
    [([], "trivial"), ([7], "trivial"), ([3, 1, 2], "timsort: entrada pequena")],
)
def test_result_shapes(values, strategy):
    original = list(values)
    expected = sorted(values)

    result = _vesksort.sort(values)
    assert result == expected and result is not values and type(result) is list

    pair = _vesksort.sort_with_strategy(values)
    assert type(pair) is tuple and len(pair) == 2
    assert pair[0] == expected and pair[0] is not values and pair[1] == strategy
    assert values == original

    in_place = list(values)
    assert _vesksort.sort_in_place(in_place) is None
    assert in_place == expected

    in_place = list(values)
    assert _vesksort.sort_in_place_with_strategy(in_place) == strategy
    assert in_place == expected

