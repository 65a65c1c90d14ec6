"""python3 -m vesksort_native: its help, its version lines and the shape of its speed check."""

import platform
import re
import subprocess
import sys

import pytest

import vesksort_native

from conftest import child_environment

pytestmark = pytest.mark.no_refleak


def run(*arguments):
    return subprocess.run([sys.executable, "-m", "vesksort_native", *arguments],
                          capture_output=True, text=True, timeout=120, check=False,
                          env=child_environment())


@pytest.mark.parametrize("option", ["--help", "-h"])
def test_help(option):
    completed = run(option)
    assert completed.returncode == 0
    assert completed.stdout.startswith("usage: python3 -m vesksort_native")
    for name in ("--quick", "--sizes", "--runs", "--no-check", "--version"):
        assert name in completed.stdout


def test_version_option():
    completed = run("--version")
    assert (completed.returncode, completed.stdout) == (0, vesksort_native.__version__ + "\n")


@pytest.mark.parametrize("arguments", [["--sizes", "x"], ["--sizes", "-5"], ["--runs", "0"],
                                       ["--unknown"]])
def test_bad_arguments(arguments):
    completed = run(*arguments)
    assert completed.returncode == 2
    assert completed.stdout == ""
    assert "error:" in completed.stderr


def test_versions_only():
    assert run("--no-check").stdout.splitlines() == [
        f"vesksort_native {vesksort_native.__version__}",
        f"{platform.python_implementation()} {platform.python_version()} ({sys.executable})",
    ]


CHECK_LINE = re.compile(r"  n=\s*([\d,]+)  (int64|float|words|pairs, key=itemgetter\(0\)|"
                        r"\(int, int\) tuples|int64, 2,000 lists)"
                        r"\s+sorted\(\)\s+[\d.]+ ms\s+sort\(\)\s+[\d.]+ ms\s+ratio\s+([\d.]+|inf)$")


@pytest.mark.parametrize("sizes", [["0", "300"], ["2e3"]])
def test_speed_check_shape(sizes):
    completed = run("--sizes", *sizes, "--runs", "1")
    assert completed.returncode == 0, completed.stderr
    lines = completed.stdout.splitlines()
    assert lines[2] == "speed check (best of 1; ratio = builtin time / drop-in time)"
    rows = [CHECK_LINE.match(line) for line in lines[3:-1]]
    assert all(rows), lines
    assert [(int(row[1].replace(",", "")), row[2]) for row in rows] == [
        (int(float(size)), label) for size in sizes
        for label in ("int64", "float", "words", "pairs, key=itemgetter(0)", "(int, int) tuples")
    ] + [(64, "int64, 2,000 lists")]  # small lists, sorted one call each
    assert re.fullmatch(r"done in [\d.]+ s", lines[-1])
