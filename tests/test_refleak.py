"""The leak accounting itself: it names a test that keeps objects on every run, a property
test included, and passes one that does not. Runs only in the leak mode."""

import sys

import pytest

if not hasattr(sys, "gettotalrefcount"):
    pytest.skip("needs the debug interpreter of the leak mode", allow_module_level=True)

SAMPLE = """
from hypothesis import given, settings, strategies as st

KEPT = []


def test_keeps_an_object():
    KEPT.append(object())


@settings(max_examples=10)
@given(st.integers())
def test_property_keeps_its_examples(value):
    KEPT.append([value])


def test_fills_a_cache_once():
    if not KEPT:
        KEPT.append(object())


CACHE = []


def test_fills_a_cache_over_six_calls():
    if len(CACHE) < 6:
        CACHE.append(object())


def test_keeps_nothing():
    [object() for _ in range(100)]
"""


@pytest.mark.no_refleak
def test_leaking_tests_are_named(pytester):
    pytester.makepyfile(test_sample=SAMPLE)
    result = pytester.runpytest_inprocess("-p", "refleak", "-p", "no:cacheprovider")
    result.assert_outcomes(passed=3, failed=2)
    result.stdout.fnmatch_lines(
        [
            "refleak: 5 tests run 3 + 3 times each with leak accounting"
            " (property tests on 10 recorded examples)",
            "FAILED test_sample.py::test_keeps_an_object - Failed: leak: references deltas*",
            "FAILED test_sample.py::test_property_keeps_its_examples - Failed: leak:*",
        ]
    )
