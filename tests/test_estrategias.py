"""Which path the unkeyed sort takes, at every boundary of its decisions."""

import random

import pytest

from vesksort_native import _vesksort

from conftest import random_ints

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1


def sample_positions(n):
    return [amostra * (n - 1) // 255 for amostra in range(256)]


def check(values, strategy):
    """Every entry point reports `strategy` for `values` and returns sorted(values)."""
    expected = sorted(values)
    original = list(values)
    result, reported = _vesksort.sort_with_strategy(values)
    assert reported == strategy
    assert result == expected
    assert values == original
    in_place = list(values)
    assert _vesksort.sort_in_place_with_strategy(in_place) == strategy
    assert in_place == expected


@pytest.mark.parametrize("n, strategy", [(0, "trivial"), (1, "trivial"), (2, "timsort: entrada pequena"), (2047, "timsort: entrada pequena")])
def test_size_gates(n, strategy):
    check(random_ints(n, INT64_MIN, INT64_MAX, seed=n), strategy)


def test_2048_is_the_first_native_length():
    check(random_ints(2048, INT64_MIN, INT64_MAX, seed=1), "radix nativo: 6 passagens")


@pytest.mark.parametrize(
    "values",
    [list(range(5000)), list(range(5000, 0, -1)), [int(str(12345)) for _ in range(5000)]],
    ids=["ascending", "descending", "constant"],
)
def test_monotonic_sample(values):
    check(values, "timsort: amostra quase monotônica")


@pytest.mark.parametrize(
    "intruder, index, strategy",
    [
        (True, 0, "timsort: amostra incompatível com int64"),
        (True, 1, "timsort: tipo ou magnitude fora de int64"),
        (2**63, 0, "timsort: magnitude detectada na amostra"),
        (2**63, 1, "timsort: tipo ou magnitude fora de int64"),
        (-(2**63) - 1, 4999, "timsort: magnitude detectada na amostra"),
        (-(2**63) - 1, 4998, "timsort: tipo ou magnitude fora de int64"),
        (2**100, 19, "timsort: magnitude detectada na amostra"),
        (-(2**100), 20, "timsort: tipo ou magnitude fora de int64"),
        (1.5, 19, "timsort: amostra incompatível com int64"),
        (1.5, 18, "timsort: tipo ou magnitude fora de int64"),
    ],
)
def test_intruders(intruder, index, strategy):
    values = random_ints(5000, -(10**9), 10**9, seed=3)
    values[index] = intruder
    check(values, strategy)


def test_int_subclass_is_not_exact():
    class Whole(int):
        pass

    values = random_ints(5000, -1000, 1000, seed=4)
    values[0] = Whole(3)
    check(values, "timsort: amostra incompatível com int64")
    values[0] = 3
    values[1] = Whole(3)
    check(values, "timsort: tipo ou magnitude fora de int64")


@pytest.mark.parametrize("extreme", [INT64_MIN, -1, INT64_MAX, 2**62, -(2**62), 2**60, -(2**60) - 1, 2**30, -(2**30)])
def test_int64_limits_take_the_native_path(extreme):
    values = random_ints(5000, INT64_MIN, INT64_MAX, seed=5)
    values[0] = extreme
    values[1] = extreme
    check(values, "radix nativo: 6 passagens")


def test_five_sampled_dips_pass_the_sample_but_not_the_scan():
    n = 5000
    values = list(range(100, 100 + n))
    for offset, amostra in enumerate([40, 80, 120, 160, 200]):
        values[sample_positions(n)[amostra]] = -offset
    check(values, "timsort: entrada quase monotônica")


@pytest.mark.parametrize(
    "dips, strategy",
    [(39, "timsort: entrada quase monotônica"), (40, "radix nativo: 2 passagens")],
)
def test_scan_threshold_is_n_over_128(dips, strategy):
    # n >> 7 = 39 for n = 5000. Five dips sit on sampled positions so that the sample passes;
    # the others lie between samples. Each dip is one descent of the full scan.
    n = 5000
    values = list(range(100, 100 + n))
    sampled = sample_positions(n)
    dip_positions = [sampled[amostra] for amostra in (40, 80, 120, 160, 200)]
    between = [p for p in range(3, n - 3, 7) if all(abs(p - s) > 2 for s in sampled)]
    dip_positions += between[: dips - 5]
    for p in dip_positions:
        values[p] = -1
    check(values, strategy)


@pytest.mark.parametrize(
    "n, low, high, strategy",
    [
        (250000, 0, 999999, "counting nativo estável"),
        (249999, 0, 999999, "radix nativo: 2 passagens"),
        (250000, 0, 1000000 + 5, "radix nativo: 2 passagens"),
    ],
)
def test_counting_threshold(n, low, high, strategy):
    values = random_ints(n, low, high, seed=n)
    values[0], values[1] = low, high  # pin the span
    check(values, strategy)


@pytest.mark.pesado
@pytest.mark.parametrize(
    "n, strategy", [(1000000, "counting nativo estável"), (999999, "radix nativo: 2 passagens")]
)
def test_counting_span_3999999(n, strategy):
    values = random_ints(n, -2000000, 1999999, seed=7)
    values[0], values[1] = -2000000, 1999999
    check(values, strategy)


@pytest.mark.pesado
def test_span_4000000_never_counts():
    values = random_ints(1000000, 0, 4000000, seed=8)
    values[0], values[1] = 0, 4000000
    check(values, "radix nativo: 2 passagens")


@pytest.mark.parametrize("passes", [1, 2, 3, 4, 5])
def test_pass_count_follows_the_varying_digits(passes):
    values = random_ints(10000, 0, 2 ** (11 * passes) - 1, seed=passes)
    name = "radix nativo: 1 passagem" if passes == 1 else f"radix nativo: {passes} passagens"
    check(values, name)


def test_six_passes_over_the_whole_range():
    check(random_ints(5000, INT64_MIN, INT64_MAX, seed=9), "radix nativo: 6 passagens")


def test_digit_zero_constant_costs_no_pass():
    rng = random.Random(10)
    values = [rng.randrange(0, 2**22, 2048) for _ in range(100000)]
    check(values, "radix nativo: 1 passagem")


def test_sign_crossing_small_range_is_rebased():
    check(random_ints(100000, -1000, 1000, seed=11), "radix nativo: 1 passagem")


def test_minus_one_and_zero_rebased_to_one_pass():
    rng = random.Random(12)
    check([rng.choice((-1, 0)) for _ in range(5000)], "radix nativo: 1 passagem")


def test_no_rebase_when_it_saves_nothing():
    # [0, 2**22): two digits either way.
    check(random_ints(10000, 0, 2**22 - 1, seed=13), "radix nativo: 2 passagens")


def test_offset_range_is_rebased():
    # A span of 2000 around 10**12 varies in four digits raw, in one after rebasing.
    check(random_ints(10000, 10**12, 10**12 + 2000, seed=14), "radix nativo: 1 passagem")


@pytest.mark.parametrize(
    "values, strategy",
    [
        ([1.0, 0.5] * 1500, "timsort: amostra incompatível com int64"),
        (["b", "a"] * 1500, "timsort: amostra incompatível com int64"),
    ],
)
def test_non_int_lists_use_timsort(values, strategy):
    check(values, strategy)


def test_incomparable_elements_raise_the_host_error():
    values = [1, "a"] * 1500
    with pytest.raises(TypeError):
        _vesksort.sort(values)
    with pytest.raises(TypeError):
        _vesksort.sort_in_place(list(values))
