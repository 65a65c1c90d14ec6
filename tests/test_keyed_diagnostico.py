"""The diagnostic dictionary of the keyed _with_info functions and its memory estimate."""

import random

import pytest

from vesksort_native import _vesksort as m

from conftest import random_ints

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
P = "protótipo keyed-int64: "
SCOPE = (
    "result-list items and native variable buffers; excludes input objects, allocator "
    "overhead, and fixed stack"
)
KEYS = [
    "strategy", "algorithm", "reason", "n", "key_domain", "key_min", "key_max", "key_span",
    "radix_passes", "normalized", "stable", "reverse", "key_calls",
    "estimated_variable_auxiliary_bytes", "worst_case_variable_auxiliary_bytes",
    "memory_estimate_scope", "prototype",
]


def info(values, reverse=False, mode="direct"):
    """The diagnostic dictionary of sorting `values` by themselves through `mode`."""
    items = list(values)
    if mode == "direct":
        result, diagnostic = m._sort_by_int64_key_prototype_with_info(items, int, reverse)
    elif mode == "complete":
        result, diagnostic = m._try_sort_by_cached_int64_keys_prototype_with_info(
            items, list(values), reverse
        )
        assert result is items
    else:
        result, diagnostic = m._try_sort_by_prefix_cached_int64_keys_prototype_with_info(
            items, [], int, reverse
        )
        assert result is items
    assert result == sorted(values, reverse=bool(reverse))
    assert list(diagnostic) == KEYS
    assert diagnostic["key_domain"] == "signed-int64"
    assert diagnostic["stable"] is True and diagnostic["prototype"] is True
    assert diagnostic["memory_estimate_scope"] == SCOPE
    assert diagnostic["key_calls"] == diagnostic["n"] == len(values)
    return diagnostic


def test_empty_input():
    d = info([])
    assert d["strategy"] == P + "trivial" and d["algorithm"] == "trivial"
    assert d["reason"] == "entrada vazia"
    assert d["key_min"] is d["key_max"] is d["key_span"] is d["radix_passes"] is None
    assert d["normalized"] is False and d["reverse"] is False
    assert d["estimated_variable_auxiliary_bytes"] == 0
    assert d["worst_case_variable_auxiliary_bytes"] == 0


def test_single_element():
    d = info([7])
    assert d["reason"] == "um único elemento"
    assert (d["key_min"], d["key_max"], d["key_span"], d["radix_passes"]) == (7, 7, 0, None)
    assert d["estimated_variable_auxiliary_bytes"] == 16
    assert d["worst_case_variable_auxiliary_bytes"] == 32


@pytest.mark.parametrize(
    "values, reverse, reason",
    [
        ([1, 5, 5, 90], False, "chaves já estão em ordem não decrescente"),
        ([90, 5, 5, 1], True, "chaves já estão em ordem não crescente"),
        ([3, 3, 3], True, "chaves já estão em ordem não crescente"),
    ],
)
def test_already_in_order_reports_its_span(values, reverse, reason):
    d = info(values, reverse)
    assert d["strategy"] == P + "já ordenado" and d["algorithm"] == "already-sorted"
    assert d["reason"] == reason
    assert d["key_span"] == max(values) - min(values)
    assert d["radix_passes"] is None and d["normalized"] is False
    assert d["estimated_variable_auxiliary_bytes"] == 16 * len(values)


def test_radix_three_passes():
    values = random_ints(1000, 0, 2**33 - 1, seed=1)
    d = info(values)
    assert d["strategy"] == P + "radix nativo compacto, 3 passagens"
    assert d["algorithm"] == "radix"
    assert d["reason"] == "intervalo amplo ou esparso; Counting Sort inelegível"
    assert d["radix_passes"] == 3 and d["normalized"] is False
    assert d["estimated_variable_auxiliary_bytes"] == 32000
    assert d["worst_case_variable_auxiliary_bytes"] == 32000


@pytest.mark.parametrize("mode", ["direct", "complete", "prefix"])
def test_counting_estimate(mode):
    values = list(range(8191)) + [32768]
    random.Random(2).shuffle(values)
    d = info(values, mode=mode)
    assert d["strategy"] == P + "counting nativo estável" and d["algorithm"] == "counting"
    assert d["reason"] == "intervalo denso elegível para Counting Sort"
    assert d["normalized"] is True and d["radix_passes"] is None
    assert d["key_span"] == 32768
    assert d["estimated_variable_auxiliary_bytes"] == 20 * 8192 + 8 * 32769
    assert d["worst_case_variable_auxiliary_bytes"] == 32 * 8192


@pytest.mark.parametrize("reverse", [False, True])
def test_full_range(reverse):
    values = random_ints(3000, INT64_MIN, INT64_MAX, seed=4) + [INT64_MIN, INT64_MAX]
    d = info(values, reverse)
    assert d["key_min"] == INT64_MIN and d["key_max"] == INT64_MAX
    assert d["key_span"] == 2**64 - 1
    assert d["radix_passes"] == 6 and d["reverse"] is reverse


def test_rebased_radix_reports_normalized():
    rng = random.Random(5)
    values = [rng.choice((-1, 0)) for _ in range(5000)]
    d = info(values)
    assert d["strategy"] == P + "radix nativo compacto, 1 passagem"
    assert d["radix_passes"] == 1 and d["normalized"] is True and d["key_span"] == 1


def test_reverse_keeps_min_and_max():
    d = info([5, -3, 12, 0], reverse=1)
    assert (d["key_min"], d["key_max"], d["reverse"]) == (-3, 12, True)


def test_reverse_flag_uses_truth_value():
    items = [3, 1, 2]
    result, d = m._sort_by_int64_key_prototype_with_info(items, int, "yes")
    assert result == [3, 2, 1] and d["reverse"] is True


def test_types_of_the_values():
    d = info(random_ints(3000, -50, 10**10, seed=6))
    for name in ("strategy", "algorithm", "reason", "key_domain", "memory_estimate_scope"):
        assert type(d[name]) is str
    for name in ("n", "key_min", "key_max", "key_span", "radix_passes", "key_calls",
                 "estimated_variable_auxiliary_bytes", "worst_case_variable_auxiliary_bytes"):
        assert type(d[name]) is int
    for name in ("normalized", "stable", "reverse", "prototype"):
        assert type(d[name]) is bool
